// Python classes WordPieceEncoding and WordPieceTokenizer.
#include "bind_subword_words.hpp"
#include "module.hpp"

#include <quelbin/subword.hpp>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quelbin::python {

namespace {

// Python ints for the values 0 .. kKeptInts - 1, each made on first use and
// kept for the life of the module, so that a list of ids or word indices costs
// a reference count per element instead of an allocation. Used with the
// interpreter lock held.
constexpr std::int64_t kKeptInts = std::int64_t{1} << 18;
std::vector<PyObject*>& kept_ints() {
    static std::vector<PyObject*>* ints = new std::vector<PyObject*>();  // never freed
    return *ints;
}

PyObject* int_object(std::int64_t v) {
    if (v < 0 || v >= kKeptInts) return PyLong_FromLongLong(v);
    std::vector<PyObject*>& ints = kept_ints();
    if (static_cast<std::size_t>(v) >= ints.size()) {
        ints.resize(std::max<std::size_t>(static_cast<std::size_t>(v) + 1, ints.size() * 2), nullptr);
    }
    PyObject*& kept = ints[static_cast<std::size_t>(v)];
    if (kept == nullptr) {
        kept = PyLong_FromLongLong(v);
        if (kept == nullptr) return nullptr;
    }
    Py_INCREF(kept);
    return kept;
}

// A new list of the values, in order.
nb::typed<nb::list, int> int_list(const std::vector<std::int64_t>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) throw nb::python_error();
    std::vector<PyObject*>& ints = kept_ints();
    PyObject* const* kept = ints.data();
    std::size_t kept_count = ints.size();
    PyObject** const items = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        PyObject* item;
        if (static_cast<std::uint64_t>(v) < kept_count && kept[v] != nullptr) {
            item = kept[v];
            Py_INCREF(item);
        } else {
            item = int_object(v);
            if (item == nullptr) {
                Py_DECREF(list);
                throw nb::python_error();
            }
            kept = ints.data();  // int_object may have grown the table
            kept_count = ints.size();
        }
        items[i] = item;
    }
    return nb::steal<nb::typed<nb::list, int>>(list);
}

}  // namespace

void bind_wordpiece_encoding(nb::module_& m) {
    // No constructor: encodings come only from the tokenizers. Each read
    // copies the field into a new list.
    nb::class_<WordPieceEncoding>(m, "WordPieceEncoding")
        .def_prop_ro("input_ids", [](const WordPieceEncoding& e) { return int_list(e.input_ids); })
        .def_prop_ro("attention_mask",
                     [](const WordPieceEncoding& e) { return int_list(e.attention_mask); })
        .def_prop_ro("word_ids", [](const WordPieceEncoding& e) { return int_list(e.word_ids); });
}

void bind_wordpiece_tokenizer(nb::module_& m) {
    nb::class_<WordPieceTokenizer>(m, "WordPieceTokenizer")
        .def(nb::init<std::vector<std::string>, bool, bool, std::string, std::string, std::string,
                      std::string, std::size_t>(),
             nb::arg("vocabulary"), nb::arg("lowercase") = true, nb::arg("strip_accents") = true,
             nb::arg("unknown_token") = "[UNK]", nb::arg("cls_token") = "[CLS]",
             nb::arg("sep_token") = "[SEP]", nb::arg("continuing_subword_prefix") = "##",
             nb::arg("max_input_characters_per_word") = 100)
        .def("encode", &encode_word_views<WordPieceTokenizer>, nb::arg("words"),
             nb::arg("add_special_tokens") = true)
        .def_prop_ro("vocabulary_size", &WordPieceTokenizer::vocabulary_size)
        .def_prop_ro("cache_size", &WordPieceTokenizer::cache_size)
        .def_prop_ro_static("highway_enabled",
                            [](nb::handle) { return WordPieceTokenizer::highway_enabled(); });
}

}  // namespace quelbin::python
