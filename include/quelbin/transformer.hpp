// A pretrained transformer compiled ahead of time into an AOTInductor package,
// paired with its subword tokenizer: one feature row per word.
#pragma once

#include <quelbin/errors.hpp>
#include <quelbin/subword.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace at {
class Tensor;
}

namespace quelbin {

// The package receives (ids, mask), both int64 [1, n], and must return exactly
// one float32 [1, n, H] tensor. Inputs longer than model_max_length subwords run
// as overlapping windows; each word takes the row of its last subword.
//
// Constructors build the tokenizer first (its errors pass unchanged), then
// check, in order: the package path exists (a file or a directory);
// model_max_length >= 5; intra_op_threads is 0 or ATen's current thread count
// (it is only checked, never set); the package loads. Every failure of the
// encoder itself is a TransformerError. Movable, not copyable; the const
// operations may run on several threads at once.
class TransformerEncoder {
public:
    struct Impl;

    // WordPiece.
    TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                       bool lowercase, bool strip_accents, std::size_t intra_op_threads,
                       std::size_t model_max_length, std::string unknown_token,
                       std::string cls_token, std::string sep_token,
                       std::string continuing_subword_prefix,
                       std::size_t max_input_characters_per_word);
    // Byte-level BPE.
    TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                       std::vector<std::pair<std::string, std::string>> merges,
                       bool add_prefix_space, std::size_t intra_op_threads,
                       std::size_t model_max_length, std::string unknown_token,
                       std::string cls_token, std::string sep_token);
    // XLM-R unigram.
    TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                       std::vector<float> scores, std::vector<std::uint8_t> precompiled_charsmap,
                       std::int64_t unknown_id, std::size_t intra_op_threads,
                       std::size_t model_max_length, std::string cls_token,
                       std::string sep_token);
    ~TransformerEncoder();
    TransformerEncoder(TransformerEncoder&& other) noexcept;
    TransformerEncoder& operator=(TransformerEncoder&& other) noexcept;
    TransformerEncoder(const TransformerEncoder&) = delete;
    TransformerEncoder& operator=(const TransformerEncoder&) = delete;

    // One row of H floats per word, with the class and separator rows around
    // them when keep_endpoints. No words and no endpoints give no rows.
    std::vector<std::vector<float>> encode(const std::vector<std::string>& words,
                                           bool keep_endpoints) const;
    // The same rows as one contiguous float32 [rows, H] tensor ([0, 0] when the
    // tokenizer gives no ids at all).
    at::Tensor encode_words_tensor(const std::vector<std::string>& words, bool keep_endpoints) const;
    // The tokenizer's encoding of the words.
    WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;
    // One row per id from a single run of the model (never windowed); an empty
    // mask means all ones. No ids: no rows, the model is not run.
    std::vector<std::vector<float>> encode_ids(const std::vector<std::int64_t>& input_ids,
                                               const std::vector<std::int64_t>& attention_mask) const;
    // As encode_ids, as a float32 [n, H] tensor ([0, 0] for no ids).
    at::Tensor encode_ids_tensor(const std::vector<std::int64_t>& input_ids,
                                 const std::vector<std::int64_t>& attention_mask) const;

    const std::filesystem::path& model_path() const;
    // The tensor library version the packages must be compiled with.
    static std::string runtime_version();

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
