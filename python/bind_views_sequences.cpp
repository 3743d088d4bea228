// Python sequence classes over sentences, tokens, words, entity spans and tree
// children, each with its iterator class. A sequence is a window on the
// document (storage plus range), never a copy; every element access builds a
// new view.
#include "document_use.hpp"
#include "module.hpp"

#include <quelbin/constituency.hpp>
#include <quelbin/document.hpp>

#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <type_traits>

namespace quelbin::python {
namespace {

// The sequence, once its document is known to be free: fetching an element reads
// the document's tables. Tree children are values of their own.
template <typename Seq>
const Seq& fetchable(const Seq& s) {
    if constexpr (std::is_same_v<Seq, TreeSequence>) {
        return s;
    } else {
        return idle(s);
    }
}

// A sequence copy and a position; the length is fixed when it is made.
template <typename Seq>
struct ViewIterator {
    Seq sequence;
    std::uint64_t position = 0;
};

template <typename Seq, typename View>
void bind_iterator(nb::module_& m, const char* name) {
    nb::class_<ViewIterator<Seq>>(m, name)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](ViewIterator<Seq>& it) -> View {
            if (it.position >= it.sequence.size()) throw nb::stop_iteration();
            // A refused fetch leaves the position; a failing one advances it
            // first, so that element is not retried.
            fetchable(it.sequence);
            const std::uint64_t index = it.position++;
            return it.sequence.at(static_cast<std::int64_t>(index));
        });
}

template <typename Seq, typename View>
void bind_sequence(nb::module_& m, const char* name) {
    const std::string repr_prefix = std::string("<quelbin.") + name + " length=";
    nb::class_<Seq>(m, name)
        .def("__len__", [](const Seq& s) { return s.size(); })
        .def("__getitem__", [](const Seq& s, std::int64_t index) -> View { return fetchable(s).at(index); })
        .def("__getitem__",
             [](const Seq& s, const nb::slice& slice) {
                 // Python's slice rules: defaults, the zero-step ValueError and
                 // the adjustment to the length.
                 const auto [start, stop, step, length] = slice.compute(static_cast<size_t>(s.size()));
                 (void)stop;
                 return s.slice(static_cast<std::int64_t>(start), static_cast<std::int64_t>(step),
                                static_cast<std::uint64_t>(length));
             })
        .def("__iter__", [](const Seq& s) { return ViewIterator<Seq>{s, 0}; })
        .def("__reversed__", [](const Seq& s) { return ViewIterator<Seq>{s.reversed(), 0}; })
        .def("__contains__", [](const Seq& s, const View& view) { return s.contains(view); })
        .def("__repr__", [repr_prefix](const Seq& s) { return repr_prefix + std::to_string(s.size()) + ">"; });
}

}  // namespace

void bind_sentence_iterator(nb::module_& m) {
    bind_iterator<SentenceSequence, Sentence>(m, "_SentenceIterator");
}
void bind_sentence_sequence(nb::module_& m) {
    bind_sequence<SentenceSequence, Sentence>(m, "SentenceSequence");
}
void bind_token_iterator(nb::module_& m) { bind_iterator<TokenSequence, Token>(m, "_TokenIterator"); }
void bind_token_sequence(nb::module_& m) { bind_sequence<TokenSequence, Token>(m, "TokenSequence"); }
void bind_word_iterator(nb::module_& m) { bind_iterator<WordSequence, Word>(m, "_WordIterator"); }
void bind_word_sequence(nb::module_& m) { bind_sequence<WordSequence, Word>(m, "WordSequence"); }
void bind_span_iterator(nb::module_& m) { bind_iterator<SpanSequence, Span>(m, "_SpanIterator"); }
void bind_span_sequence(nb::module_& m) { bind_sequence<SpanSequence, Span>(m, "SpanSequence"); }
void bind_tree_iterator(nb::module_& m) {
    bind_iterator<TreeSequence, ConstituencyTree>(m, "_TreeIterator");
}
void bind_tree_sequence(nb::module_& m) {
    bind_sequence<TreeSequence, ConstituencyTree>(m, "TreeSequence");
}

}  // namespace quelbin::python
