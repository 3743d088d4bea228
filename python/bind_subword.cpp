// Python classes WordPieceEncoding and WordPieceTokenizer.
#include "bind_subword_words.hpp"
#include "module.hpp"

#include <quelbin/subword.hpp>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_wordpiece_encoding(nb::module_& m) {
    // No constructor: encodings come only from the tokenizers. Each read
    // copies the field into a new list.
    nb::class_<WordPieceEncoding>(m, "WordPieceEncoding")
        .def_ro("input_ids", &WordPieceEncoding::input_ids)
        .def_ro("attention_mask", &WordPieceEncoding::attention_mask)
        .def_ro("word_ids", &WordPieceEncoding::word_ids);
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
