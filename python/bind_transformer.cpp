// Python class TransformerEncoder.
#include "bind_merges.hpp"
#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/transformer.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_transformer_encoder(nb::module_& m) {
    using Path = std::filesystem::path;
    using Strings = std::vector<std::string>;
    using Ids = std::vector<std::int64_t>;
    // Overloads in this order: WordPiece, byte-level BPE, XLM-R unigram. The
    // package loads with the interpreter lock held.
    nb::class_<TransformerEncoder>(m, "TransformerEncoder")
        .def(nb::init<Path, Strings, bool, bool, std::size_t, std::size_t, std::string, std::string,
                      std::string, std::string, std::size_t>(),
             nb::arg("model_path"), nb::arg("vocabulary"), nb::arg("lowercase") = true,
             nb::arg("strip_accents") = true, nb::arg("intra_op_threads") = 0,
             nb::arg("model_max_length") = 512, nb::arg("unknown_token") = "[UNK]",
             nb::arg("cls_token") = "[CLS]", nb::arg("sep_token") = "[SEP]",
             nb::arg("continuing_subword_prefix") = "##",
             nb::arg("max_input_characters_per_word") = 100)
        .def(
            "__init__",
            [](TransformerEncoder* self, Path model_path, Strings vocabulary, std::vector<MergeArgument> merges,
               bool add_prefix_space, std::size_t intra_op_threads, std::size_t model_max_length,
               std::string unknown_token, std::string cls_token, std::string sep_token) {
                new (self) TransformerEncoder(std::move(model_path), std::move(vocabulary),
                                              merge_pairs(std::move(merges)), add_prefix_space,
                                              intra_op_threads, model_max_length, std::move(unknown_token),
                                              std::move(cls_token), std::move(sep_token));
            },
             nb::arg("model_path"), nb::arg("vocabulary"), nb::arg("merges"),
             nb::arg("add_prefix_space"), nb::arg("intra_op_threads") = 0,
             nb::arg("model_max_length") = 512, nb::arg("unknown_token") = "<unk>",
             nb::arg("cls_token") = "<s>", nb::arg("sep_token") = "</s>")
        .def(nb::init<Path, Strings, std::vector<float>, std::vector<std::uint8_t>, std::int64_t,
                      std::size_t, std::size_t, std::string, std::string>(),
             nb::arg("model_path"), nb::arg("vocabulary"), nb::arg("scores"),
             nb::arg("precompiled_charsmap"), nb::arg("unknown_id"), nb::arg("intra_op_threads") = 0,
             nb::arg("model_max_length") = 512, nb::arg("cls_token") = "<s>",
             nb::arg("sep_token") = "</s>")
        .def("encode", &TransformerEncoder::encode, nb::arg("words"), nb::arg("keep_endpoints") = false,
             Release())
        .def("tokenize", &TransformerEncoder::tokenize, nb::arg("words"),
             nb::arg("add_special_tokens") = true, Release())
        .def("encode_ids", &TransformerEncoder::encode_ids, nb::arg("input_ids"),
             nb::arg("attention_mask") = Ids{}, Release())
        .def_prop_ro("model_path", &TransformerEncoder::model_path)
        .def_static("runtime_version", &TransformerEncoder::runtime_version);
}

}  // namespace quelbin::python
