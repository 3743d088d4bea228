// Python classes CorefMention, CorefChain and CorefAttachment: immutable values
// that callers build and store in a document through its coref setter.
#include "dict_form.hpp"

#include <quelbin/coref.hpp>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace quelbin::python {
namespace {

// One integer (an int, or a str or bytes holding one) is a regular word
// position; anything else must hold exactly two integers (word, empty index)
// for a zero-anaphora word.
CorefWordPosition word_position(const nb::object& value, const std::string& name) {
    PyObject* p = value.ptr();
    if (const auto single = single_int32(p, name)) return {*single, std::nullopt};
    const Py_ssize_t length = PyObject_Size(p);
    if (length < 0) throw nb::python_error();
    if (length != 2) {
        throw std::invalid_argument("a zero-anaphora word position must contain two integers");
    }
    const std::int32_t word = int32_item(p, 0, name);
    return {word, int32_item(p, 1, name)};
}

nb::object position_object(const CorefWordPosition& position) {
    if (position.empty_index) return nb::make_tuple(position.word, *position.empty_index);
    return nb::int_(position.word);
}

}  // namespace

void bind_coref_mention(nb::module_& m) {
    nb::class_<CorefMention>(m, "CorefMention")
        .def(
            "__init__",
            [](CorefMention* self, std::int32_t sentence, const nb::object& start_word,
               const nb::object& end_word) {
                const CorefWordPosition start = word_position(start_word, "start_word");
                const CorefWordPosition end = word_position(end_word, "end_word");
                new (self) CorefMention(sentence, start, end);
            },
            nb::arg("sentence"), nb::arg("start_word"), nb::arg("end_word"))
        .def_prop_ro("sentence", [](const CorefMention& c) { return c.sentence(); })
        .def_prop_ro("start_word",
                     [](const CorefMention& c) { return position_object(c.start_word()); })
        .def_prop_ro("end_word",
                     [](const CorefMention& c) { return position_object(c.end_word()); })
        .def("__repr__", [](const CorefMention& c) {
            return "<CorefMention sentence=" + std::to_string(c.sentence()) + ">";
        });
}

void bind_coref_chain(nb::module_& m) {
    nb::class_<CorefChain>(m, "CorefChain")
        .def(nb::init<int, std::vector<CorefMention>, std::string, std::optional<int>>(),
             nb::arg("index"), nb::arg("mentions"), nb::arg("representative_text"),
             nb::arg("representative_index") = nb::none())
        .def_prop_ro("index", [](const CorefChain& c) { return c.index(); })
        .def_prop_ro("mentions",
                     [](nb::handle self) {
                         // Each mention refers into the chain and keeps it alive.
                         const CorefChain& chain = nb::cast<const CorefChain&>(self);
                         nb::list out;
                         for (const CorefMention& mention : chain.mentions()) {
                             out.append(
                                 nb::cast(&mention, nb::rv_policy::reference_internal, self));
                         }
                         return out;
                     })
        .def_prop_ro("representative_text",
                     [](const CorefChain& c) { return c.representative_text(); })
        .def_prop_ro("representative_index",
                     [](const CorefChain& c) { return c.representative_index(); })
        .def("__repr__", [](const CorefChain& c) {
            return "<CorefChain index=" + std::to_string(c.index()) +
                   " representative=" + c.representative_text() + ">";
        });
}

void bind_coref_attachment(nb::module_& m) {
    nb::class_<CorefAttachment>(m, "CorefAttachment")
        .def(
            "__init__",
            [](CorefAttachment* self, const CorefChain& chain, bool is_start, bool is_end,
               bool is_representative) {
                // The attachment owns its own copy of the chain.
                new (self) CorefAttachment(std::make_shared<const CorefChain>(chain), is_start,
                                           is_end, is_representative);
            },
            nb::arg("chain"), nb::arg("is_start"), nb::arg("is_end"),
            nb::arg("is_representative"))
        .def_prop_ro("chain",
                     [](const CorefAttachment& a) {
                         return std::const_pointer_cast<CorefChain>(a.chain());
                     })
        .def_prop_ro("is_start", [](const CorefAttachment& a) { return a.is_start(); })
        .def_prop_ro("is_end", [](const CorefAttachment& a) { return a.is_end(); })
        .def_prop_ro("is_representative",
                     [](const CorefAttachment& a) { return a.is_representative(); })
        .def("to_json", &coref_attachment_to_json)
        .def("__repr__", [](const CorefAttachment& a) {
            return "<CorefAttachment chain=" + std::to_string(a.chain()->index()) + ">";
        });
}

}  // namespace quelbin::python
