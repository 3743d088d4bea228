// Python classes ByteBPETokenizer and XLMRobertaTokenizer.
#include "bind_merges.hpp"
#include "bind_subword_words.hpp"
#include "module.hpp"

#include <quelbin/subword_bpe.hpp>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_byte_bpe_tokenizer(nb::module_& m) {
    nb::class_<ByteBPETokenizer>(m, "ByteBPETokenizer")
        .def(
            "__init__",
            [](ByteBPETokenizer* self, std::vector<std::string> vocabulary, std::vector<MergeArgument> merges,
               std::string unknown_token, std::string cls_token, std::string sep_token, bool add_prefix_space) {
                new (self) ByteBPETokenizer(std::move(vocabulary), merge_pairs(std::move(merges)),
                                            std::move(unknown_token), std::move(cls_token),
                                            std::move(sep_token), add_prefix_space);
            },
             nb::arg("vocabulary"), nb::arg("merges"), nb::arg("unknown_token") = "<unk>",
             nb::arg("cls_token") = "<s>", nb::arg("sep_token") = "</s>",
             nb::arg("add_prefix_space") = false)
        .def("encode", &encode_word_views<ByteBPETokenizer>, nb::arg("words"),
             nb::arg("add_special_tokens") = true)
        .def("tokenize", &ByteBPETokenizer::tokenize, nb::arg("text"),
             Release())
        .def_prop_ro("vocabulary_size", &ByteBPETokenizer::vocabulary_size)
        .def_prop_ro("cache_size", &ByteBPETokenizer::cache_size)
        .def_prop_ro_static("highway_enabled",
                            [](nb::handle) { return ByteBPETokenizer::highway_enabled(); });
}

void bind_xlm_roberta_tokenizer(nb::module_& m) {
    nb::class_<XLMRobertaTokenizer>(m, "XLMRobertaTokenizer")
        .def(nb::init<std::vector<std::string>, std::vector<float>, std::vector<std::uint8_t>,
                      std::int64_t, std::string, std::string>(),
             nb::arg("vocabulary"), nb::arg("scores"), nb::arg("precompiled_charsmap"),
             nb::arg("unknown_id"), nb::arg("cls_token") = "<s>", nb::arg("sep_token") = "</s>")
        .def("encode", &encode_word_views<XLMRobertaTokenizer>, nb::arg("words"),
             nb::arg("add_special_tokens") = true)
        .def("tokenize", &XLMRobertaTokenizer::tokenize, nb::arg("text"),
             Release())
        .def_prop_ro("vocabulary_size", &XLMRobertaTokenizer::vocabulary_size)
        .def_prop_ro("cache_size", &XLMRobertaTokenizer::cache_size)
        .def_prop_ro_static("highway_enabled",
                            [](nb::handle) { return XLMRobertaTokenizer::highway_enabled(); });
}

}  // namespace quelbin::python
