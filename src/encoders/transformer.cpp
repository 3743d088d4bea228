// TransformerEncoder: a subword tokenizer over a compiled package.
#include <quelbin/transformer.hpp>

#include <quelbin/subword_bpe.hpp>

#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <c10/core/InferenceMode.h>

#include <variant>

#include "encoders/transformer_run.hpp"

namespace quelbin {

// Members are destroyed in reverse: the loader first, the path last.
struct TransformerEncoder::Impl {
    using Tokenizer = std::variant<WordPieceTokenizer, ByteBPETokenizer, XLMRobertaTokenizer>;

    std::filesystem::path model_path;
    Tokenizer tokenizer;
    std::uint64_t model_max_length;
    detail::PackageLoaderPtr loader;

    Impl(std::filesystem::path path, Tokenizer&& words, std::size_t intra_op_threads,
         std::size_t max_length)
        : model_path(std::move(path)), tokenizer(std::move(words)), model_max_length(max_length) {
        loader = detail::load_transformer_package(model_path, intra_op_threads, model_max_length);
    }

    WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const {
        return std::visit([&](const auto& t) { return t.encode(words, add_special_tokens); },
                          tokenizer);
    }

    at::Tensor encode_tensor(const std::vector<std::string>& words, bool keep_endpoints) const {
        const WordPieceEncoding encoding = tokenize(words, true);
        c10::InferenceMode guard;
        if (encoding.input_ids.empty()) return at::empty({0, 0}, at::kFloat);
        const at::Tensor hidden =
            detail::run_transformer_windows(*loader, encoding.input_ids, model_max_length);
        return detail::select_word_rows(hidden, encoding.word_ids, words.size(), keep_endpoints);
    }
};

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary, bool lowercase,
                                       bool strip_accents, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::size_t max_input_characters_per_word)
    : impl_(std::make_unique<Impl>(
          std::move(model_path),
          Impl::Tokenizer(std::in_place_type<WordPieceTokenizer>, std::move(vocabulary), lowercase,
                          strip_accents, std::move(unknown_token), std::move(cls_token),
                          std::move(sep_token), std::move(continuing_subword_prefix),
                          max_input_characters_per_word),
          intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary,
                                       std::vector<std::pair<std::string, std::string>> merges,
                                       bool add_prefix_space, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token)
    : impl_(std::make_unique<Impl>(
          std::move(model_path),
          Impl::Tokenizer(std::in_place_type<ByteBPETokenizer>, std::move(vocabulary),
                          std::move(merges), std::move(unknown_token), std::move(cls_token),
                          std::move(sep_token), add_prefix_space),
          intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary,
                                       std::vector<float> scores,
                                       std::vector<std::uint8_t> precompiled_charsmap,
                                       std::int64_t unknown_id, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string cls_token,
                                       std::string sep_token)
    : impl_(std::make_unique<Impl>(
          std::move(model_path),
          Impl::Tokenizer(std::in_place_type<XLMRobertaTokenizer>, std::move(vocabulary),
                          std::move(scores), std::move(precompiled_charsmap), unknown_id,
                          std::move(cls_token), std::move(sep_token)),
          intra_op_threads, model_max_length)) {}

TransformerEncoder::~TransformerEncoder() = default;
TransformerEncoder::TransformerEncoder(TransformerEncoder&& other) noexcept = default;
TransformerEncoder& TransformerEncoder::operator=(TransformerEncoder&& other) noexcept = default;

std::vector<std::vector<float>> TransformerEncoder::encode(const std::vector<std::string>& words,
                                                           bool keep_endpoints) const {
    return detail::tensor_rows(impl_->encode_tensor(words, keep_endpoints));
}

at::Tensor TransformerEncoder::encode_words_tensor(const std::vector<std::string>& words,
                                                   bool keep_endpoints) const {
    return impl_->encode_tensor(words, keep_endpoints);
}

WordPieceEncoding TransformerEncoder::tokenize(const std::vector<std::string>& words,
                                               bool add_special_tokens) const {
    return impl_->tokenize(words, add_special_tokens);
}

std::vector<std::vector<float>> TransformerEncoder::encode_ids(
    const std::vector<std::int64_t>& input_ids,
    const std::vector<std::int64_t>& attention_mask) const {
    if (input_ids.empty()) return {};
    return detail::tensor_rows(detail::run_transformer(*impl_->loader, input_ids, attention_mask));
}

at::Tensor TransformerEncoder::encode_ids_tensor(const std::vector<std::int64_t>& input_ids,
                                                 const std::vector<std::int64_t>& attention_mask) const {
    if (input_ids.empty()) return at::empty({0, 0}, at::kFloat);
    return detail::run_transformer(*impl_->loader, input_ids, attention_mask);
}

const std::filesystem::path& TransformerEncoder::model_path() const { return impl_->model_path; }

std::string TransformerEncoder::runtime_version() { return "2.13.0"; }

}  // namespace quelbin
