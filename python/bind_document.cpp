// Python classes Document and Sentence: navigation, annotations with their
// setters, CoNLL-U text, the dictionary form (written and read in
// dict_form_*.cpp) and the representations built on it.
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

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quelbin::python {
namespace {

bool wants_conll(const std::string& spec) {
    return !spec.empty() && (spec[0] == 'c' || spec[0] == 'C');
}

// The dictionary form of a view, through the to_dict of the bound class (not
// of a Python subclass that may override it).
template <typename T>
nb::object dict_form(const T& value) {
    return nb::type<T>().attr("to_dict")(nb::cast(value));
}

std::string document_format(const Document& doc, const std::string& spec) {
    idle(doc);
    if (wants_conll(spec)) return doc.to_conll();
    nb::object dumps = nb::module_::import_("json").attr("dumps");
    nb::object text = dumps(dict_form(doc), nb::arg("ensure_ascii") = false);
    if (!nb::isinstance<nb::str>(text)) throw nb::type_error("json.dumps did not return a str");
    return nb::cast<std::string>(text);
}

nb::list read_document_dict(const Document& doc) { return counted_read(doc, document_to_dict); }
nb::list read_sentence_dict(const Sentence& s) { return counted_read(s, sentence_to_dict); }

// JSON of the dictionary form, indented by 2, non-ASCII written as it is.
std::string document_repr(const Document& doc) {
    nb::object dumps = nb::module_::import_("json").attr("dumps");
    nb::object text = dumps(read_document_dict(doc), nb::arg("ensure_ascii") = false,
                            nb::arg("indent") = 2);
    if (!nb::isinstance<nb::str>(text)) throw nb::type_error("json.dumps did not return a str");
    return nb::cast<std::string>(text);
}

std::string sentence_format(const Sentence& sentence, const std::string& spec) {
    idle(sentence);
    if (wants_conll(spec)) return sentence.to_conll();
    return nb::cast<std::string>(nb::repr(dict_form(sentence)));
}

// The empty words ordered by word id, then empty index (stable).
WordSequence sorted_empty_words(const Sentence& sentence) {
    DocumentRead read(sentence);
    const WordSequence stored = sentence.empty_words();
    const DocumentStorage& d = *sentence.storage();
    std::vector<std::uint32_t> rows(stored.rows()->begin(), stored.rows()->end());
    std::stable_sort(rows.begin(), rows.end(), [&d](std::uint32_t a, std::uint32_t b) {
        return std::make_pair(d.word_id[a], d.word_empty_index[a]) <
               std::make_pair(d.word_id[b], d.word_empty_index[b]);
    });
    return WordSequence(sentence.storage(), std::move(rows));
}

// (head word, relation, dependent) for every word with a head and a relation.
// A head of 0 is the sentence's ROOT word; a head outside 1..word count,
// negative heads included, raises IndexError.
nb::list dependencies(const Sentence& sentence) {
    DocumentRead read(sentence);
    const WordSequence words = sentence.words();
    nb::list out;
    for (std::uint64_t i = 0; i < words.size(); ++i) {
        const Word word = words.at(static_cast<std::int64_t>(i));
        const std::optional<std::int32_t> head = word.head();
        std::optional<std::string> relation = word.deprel();
        if (!head || !relation) continue;
        if (*head < 0) throw std::out_of_range("index is outside the sequence");
        Word governor = *head == 0 ? Word(sentence.storage(), kNoRow, sentence.index())
                                   : words.at(static_cast<std::int64_t>(*head) - 1);
        out.append(nb::make_tuple(std::move(governor), std::move(*relation), word));
    }
    return out;
}

nb::list roots(const Sentence& sentence) {
    DocumentRead read(sentence);
    const WordSequence words = sentence.words();
    nb::list out;
    for (std::uint64_t i = 0; i < words.size(); ++i) {
        const Word word = words.at(static_cast<std::int64_t>(i));
        const std::optional<std::int32_t> head = word.head();
        if (head && *head == 0) out.append(word);
    }
    return out;
}

}  // namespace

void bind_document(nb::module_& m) {
    // The result names the class under the module's import name.
    const std::string from_dict_signature =
        "@staticmethod\ndef from_dict(sentences: collections.abc.Sequence, text: object = None) -> " +
        std::string(nb::str(m.attr("__name__")).c_str()) + ".Document";
    nb::class_<Document>(m, "Document")
        .def(nb::init<std::string>(), nb::arg("text") = "")
        .def_static("from_dict", &document_from_dict, nb::arg("sentences"),
                    nb::arg("text") = nb::none(), nb::sig(from_dict_signature.c_str()))
        .def_prop_ro("text", [](const Document& d) { return idle(d).text(); })
        .def_prop_ro("codepoint_count", [](const Document& d) { return idle(d).codepoint_count(); })
        .def(
            "byte_offset",
            [](const Document& d, std::int64_t codepoint_index) {
                idle(d);
                if (codepoint_index < 0) {
                    throw std::out_of_range("code point index is outside the document");
                }
                return d.byte_offset(static_cast<std::uint64_t>(codepoint_index));
            },
            nb::arg("codepoint_index"))
        .def_prop_rw(
            "lang", [](const Document& d) { return idle(d).lang(); },
            [](Document& d, std::optional<std::string> lang) { editable(d).set_lang(lang); })
        .def_prop_ro("sentences", [](const Document& d) { return idle(d).sentences(); })
        .def_prop_ro("ents", [](const Document& d) { return idle(d).ents(); })
        .def_prop_ro("entities", [](const Document& d) { return idle(d).ents(); })
        .def_prop_ro("num_tokens", [](const Document& d) { return idle(d).num_tokens(); })
        .def_prop_ro("num_words", [](const Document& d) { return idle(d).num_words(); })
        .def_prop_rw(
            "coref",
            [](const Document& d) {
                // Each Python chain shares the stored (immutable) chain.
                DocumentRead read(d);
                nb::list out;
                for (const std::shared_ptr<const CorefChain>& chain : d.coref()) {
                    out.append(nb::cast(std::const_pointer_cast<CorefChain>(chain)));
                }
                return out;
            },
            [](Document& d, const std::vector<CorefChain>& chains) { editable(d).set_coref(chains); })
        .def("iter_words", [](const Document& d) { return idle(d).words(); })
        .def("iter_tokens", [](const Document& d) { return idle(d).tokens(); })
        .def("rebuild_entities", [](Document& d) { editable(d).rebuild_entities(); })
        .def("to_dict", &read_document_dict)
        .def("to_conll", [](const Document& d) { return idle(d).to_conll(); })
        .def("__format__", &document_format)
        .def("__repr__", &document_repr)
        .def("__eq__", [](const Document& a, const Document& b) { return a.same_storage(b); })
        .def("__hash__",
             [](const Document& d) { return view_hash(ViewKind::document, d.storage(), 0); });
}

void bind_sentence(nb::module_& m) {
    nb::class_<Sentence>(m, "Sentence")
        .def_prop_ro("index", [](const Sentence& s) { return idle(s).index(); })
        .def_prop_ro("id", [](const Sentence& s) { return idle(s).index(); })
        .def_prop_ro("sent_id", [](const Sentence& s) { return idle(s).sent_id(); })
        .def_prop_ro("speaker", [](const Sentence& s) { return idle(s).speaker(); })
        .def_prop_ro("doc_id", [](const Sentence& s) { return idle(s).doc_id(); })
        .def_prop_ro("text", [](const Sentence& s) { return idle(s).text(); })
        .def_prop_ro("doc", [](const Sentence& s) { return idle(s).doc(); })
        .def_prop_ro("tokens", [](const Sentence& s) { return idle(s).tokens(); })
        .def_prop_ro("words", [](const Sentence& s) { return idle(s).words(); })
        .def_prop_ro("empty_words", &sorted_empty_words)
        .def_prop_ro("all_words", [](const Sentence& s) { return idle(s).all_words(); })
        .def_prop_ro("ents", [](const Sentence& s) { return idle(s).ents(); })
        .def_prop_ro("entities", [](const Sentence& s) { return idle(s).ents(); })
        .def_prop_rw(
            "sentiment", [](const Sentence& s) { return idle(s).sentiment(); },
            [](Sentence& s, std::optional<std::int32_t> value) { editable(s).set_sentiment(value); })
        .def_prop_rw(
            "constituency", [](const Sentence& s) { return idle(s).constituency(); },
            [](Sentence& s, std::optional<ConstituencyTree> tree) {
                editable(s).set_constituency(tree);
            })
        .def_prop_ro("comments", [](const Sentence& s) { return idle(s).comments(); })
        .def_prop_ro("dependencies", &dependencies)
        .def("get_roots", &roots)
        .def("to_dict", &read_sentence_dict)
        .def("to_conll", [](const Sentence& s) { return idle(s).to_conll(); })
        .def("__format__", &sentence_format)
        .def("__repr__", [](const Sentence& s) { return nb::repr(read_sentence_dict(s)); })
        .def("__eq__", [](const Sentence& a, const Sentence& b) { return a.same_view(b); })
        .def("__hash__", [](const Sentence& s) {
            return view_hash(ViewKind::sentence, s.storage(), s.index());
        });
}

}  // namespace quelbin::python
