// Python classes Token, Word and Span: properties read the storage at each
// call and setters write through the engine views, so every Python object over
// the same document sees every change. to_dict and the representations give
// the dictionary form written in dict_form_writer.cpp.
#include "dict_form.hpp"
#include "document_use.hpp"
#include "module.hpp"
#include "view_hash.hpp"

#include <quelbin/document.hpp>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelbin::python {
namespace {

using OptString = std::optional<std::string>;

// A read-write optional string property of Word backed by a getter and setter.
template <OptString (Word::*Get)() const, void (Word::*Set)(const OptString&)>
void word_string(nb::class_<Word>& cls, const char* name) {
    cls.def_prop_rw(
        name, [](const Word& w) { return (idle(w).*Get)(); },
        [](Word& w, OptString value) { (editable(w).*Set)(value); });
}

nb::dict plain_word_dict(const Word& w) {
    return counted_read(w, [](const Word& word) { return word_to_dict(word, std::nullopt, {}); });
}
nb::list read_token_dict(const Token& t) { return counted_read(t, token_to_dict); }
nb::dict read_span_dict(const Span& s) { return counted_read(s, span_to_dict); }

}  // namespace

void bind_token(nb::module_& m) {
    nb::class_<Token>(m, "Token")
        .def_prop_ro("id",
                     [](const Token& t) -> nb::object {
                         const auto [first, last] = idle(t).id_range();
                         if (first == last) return nb::make_tuple(first);
                         return nb::make_tuple(first, last);
                     })
        .def_prop_rw(
            "text", [](const Token& t) { return idle(t).text(); },
            [](Token& t, const std::string& text) { editable(t).set_text(text); })
        .def_prop_rw(
            "misc", [](const Token& t) { return idle(t).misc(); },
            [](Token& t, OptString value) { editable(t).set_misc(value); })
        .def_prop_rw(
            "ner", [](const Token& t) { return idle(t).ner(); },
            [](Token& t, OptString value) { editable(t).set_ner(value); })
        .def_prop_rw(
            "multi_ner", [](const Token& t) { return idle(t).multi_ner(); },
            [](Token& t, const std::vector<std::string>& tags) { editable(t).set_multi_ner(tags); })
        .def_prop_ro("start_char", [](const Token& t) { return idle(t).start_char(); })
        .def_prop_ro("end_char", [](const Token& t) { return idle(t).end_char(); })
        .def_prop_rw(
            "manual_expansion", [](const Token& t) { return idle(t).manual_expansion(); },
            [](Token& t, std::optional<bool> value) { editable(t).set_manual_expansion(value); })
        .def_prop_rw(
            "spaces_before", [](const Token& t) { return idle(t).spaces_before(); },
            [](Token& t, const std::string& text) { editable(t).set_spaces_before(text); })
        .def_prop_rw(
            "spaces_after", [](const Token& t) { return idle(t).spaces_after(); },
            [](Token& t, const std::string& text) { editable(t).set_spaces_after(text); })
        .def_prop_ro("words", [](const Token& t) { return idle(t).words(); })
        .def_prop_ro("sent", [](const Token& t) { return idle(t).sent(); })
        .def("is_mwt", [](const Token& t) { return idle(t).is_mwt(); })
        .def("to_dict", &read_token_dict)
        .def("__repr__", [](const Token& t) { return nb::repr(read_token_dict(t)); })
        .def("__eq__", [](const Token& a, const Token& b) { return a.same_view(b); })
        .def("__hash__",
             [](const Token& t) { return view_hash(ViewKind::token, t.storage(), t.index()); });
}

void bind_word(nb::module_& m) {
    nb::class_<Word> cls(m, "Word");
    cls.def_prop_ro("id", [](const Word& w) -> nb::object {
        const std::optional<std::int32_t> empty = idle(w).empty_index();
        if (empty) return nb::make_tuple(w.id(), *empty);
        return nb::int_(w.id());
    });
    cls.def_prop_rw(
        "text", [](const Word& w) { return idle(w).text(); },
        [](Word& w, const std::string& text) { editable(w).set_text(text); });
    word_string<&Word::lemma, &Word::set_lemma>(cls, "lemma");
    word_string<&Word::upos, &Word::set_upos>(cls, "upos");
    word_string<&Word::upos, &Word::set_upos>(cls, "pos");
    word_string<&Word::xpos, &Word::set_xpos>(cls, "xpos");
    word_string<&Word::feats, &Word::set_feats>(cls, "feats");
    cls.def_prop_rw(
        "head", [](const Word& w) { return idle(w).head(); },
        [](Word& w, std::optional<std::int32_t> head) { editable(w).set_head(head); });
    word_string<&Word::deprel, &Word::set_deprel>(cls, "deprel");
    word_string<&Word::deps, &Word::set_deps>(cls, "deps");
    word_string<&Word::misc, &Word::set_misc>(cls, "misc");
    cls.def_prop_ro("start_char", [](const Word& w) { return idle(w).start_char(); });
    cls.def_prop_ro("end_char", [](const Word& w) { return idle(w).end_char(); });
    cls.def_prop_ro("manual_expansion", [](const Word& w) { return idle(w).manual_expansion(); });
    cls.def_prop_rw(
        "morphemes", [](const Word& w) { return idle(w).morphemes(); },
        [](Word& w, const std::vector<std::string>& morphemes) { editable(w).set_morphemes(morphemes); });
    cls.def_prop_ro("coref_chains", [](const Word& w) { return idle(w).coref_chains(); });
    cls.def_prop_ro("parent", [](const Word& w) { return idle(w).parent(); });
    cls.def_prop_ro("sent", [](const Word& w) { return idle(w).sent(); });
    cls.def("to_dict", &plain_word_dict);
    cls.def("__repr__", [](const Word& w) { return nb::repr(plain_word_dict(w)); });
    cls.def("__eq__", [](const Word& a, const Word& b) { return a.same_view(b); });
    cls.def("__hash__", [](const Word& w) {
        return view_hash(ViewKind::word, w.storage(), w.index(), w.sentence_row());
    });
}

void bind_span(nb::module_& m) {
    nb::class_<Span>(m, "Span")
        .def_prop_ro("text", [](const Span& s) { return idle(s).text(); })
        .def_prop_ro("type", [](const Span& s) { return idle(s).type(); })
        .def_prop_ro("start_char", [](const Span& s) { return idle(s).start_char(); })
        .def_prop_ro("end_char", [](const Span& s) { return idle(s).end_char(); })
        .def_prop_ro("tokens", [](const Span& s) { return idle(s).tokens(); })
        .def_prop_ro("words", [](const Span& s) { return idle(s).words(); })
        .def_prop_ro("sent", [](const Span& s) { return idle(s).sent(); })
        .def_prop_ro("doc", [](const Span& s) { return idle(s).doc(); })
        .def("to_dict", &read_span_dict)
        .def("pretty_print",
             [](const Span& s) { return "<Span text=" + idle(s).text() + ";type=" + s.type() + ">"; })
        .def("__repr__", [](const Span& s) { return nb::repr(read_span_dict(s)); })
        .def("__eq__", [](const Span& a, const Span& b) { return a.same_view(b); })
        .def("__hash__",
             [](const Span& s) { return view_hash(ViewKind::span, s.storage(), s.index()); });
}

}  // namespace quelbin::python
