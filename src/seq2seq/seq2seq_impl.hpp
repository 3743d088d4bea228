// Loaded state of a sequence-to-sequence plan and the routines that encode,
// decode and batch over it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include "quelbin/seq2seq.hpp"

namespace quelbin {

namespace detail {
class JsonValue;

// Reserved ids of every sequence-to-sequence vocabulary.
inline constexpr int64_t kSeq2SeqPad = 0;
inline constexpr int64_t kSeq2SeqUnk = 1;
inline constexpr int64_t kSeq2SeqSos = 2;
inline constexpr int64_t kSeq2SeqEos = 3;

struct Seq2SeqVocab {
    std::vector<std::string> id2unit;
    std::unordered_map<std::string, int64_t> unit2id;
};

// A word encoded for the model: <SOS>, one id per code point, <EOS>. Code points
// missing from the vocabulary get dense ids after it, one per distinct code point.
struct Seq2SeqSource {
    std::vector<int64_t> ids;
    std::vector<std::string> oov_units;
};

// One entry of the beam.
struct Seq2SeqHypothesis {
    double score = 0.0;
    std::vector<int64_t> tokens;
    at::Tensor h;
    at::Tensor c;
    int64_t last_token = kSeq2SeqSos;
};

}  // namespace detail

struct Seq2SeqPlan::Impl {
    // Loads the bundle; every failure of its own is a Seq2SeqModelError, JSON
    // errors leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos,
                              std::optional<int64_t> beam_size, bool suppress_unk) const;
    std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                                const std::vector<std::optional<std::string>>& pos,
                                                std::optional<int64_t> beam_size,
                                                bool suppress_unk) const;

    // Fields are destroyed in reverse order: the views go before the bundle.
    std::shared_ptr<ModelBundle> bundle;
    detail::Seq2SeqVocab char_vocab;
    std::optional<detail::Seq2SeqVocab> pos_vocab;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> encoder_weights;
    std::vector<at::Tensor> encoder_initial_state;
    int64_t vocab_size = 0;
    int64_t emb_dim = 0;
    int64_t hidden_dim = 0;
    int64_t num_layers = 0;
    int64_t max_dec_len = 0;
    int64_t beam_size = 1;
    int64_t batch_size = 50;
    int64_t pos_dim = 0;
    bool pos = false;
    bool edit = false;
    bool copy = false;
};

namespace detail {

// Loader helpers.
Seq2SeqVocab load_seq2seq_vocab(const JsonValue& value, std::string_view path);
int64_t read_seq2seq_config_int(const JsonValue& config, std::string_view key, int64_t fallback);
bool read_seq2seq_config_bool(const JsonValue& config, std::string_view key);
std::vector<at::Tensor> collect_seq2seq_encoder_weights(const Seq2SeqPlan::Impl& impl);

// The tensor view stored under `name`; "missing seq2seq tensor: '<name>'" otherwise.
const at::Tensor& require_seq2seq_tensor(const Seq2SeqPlan::Impl& impl, std::string_view name);

Seq2SeqSource encode_seq2seq_word(const Seq2SeqVocab& vocab, const std::string& word);

// Id of a POS tag for a POS-conditioned plan: its vocabulary entry, or <UNK>.
int64_t seq2seq_pos_id(const Seq2SeqPlan::Impl& impl, const std::optional<std::string>& tag);

// One decoder step for B rows: LSTM cell, soft attention, output projection and,
// with the copy gate, the mixture with the copy distribution over the source.
// Entries of `input_ids` at or above vocab_size are replaced by <UNK> in place.
// Returns the log-probabilities of the next token ([B, V] with copy, else
// [B, vocab_size]) and the new (h, c).
std::tuple<at::Tensor, at::Tensor, at::Tensor> decode_seq2seq_step(
    const Seq2SeqPlan::Impl& impl, at::Tensor& input_ids,
    const std::tuple<at::Tensor, at::Tensor>& state, const at::Tensor& memory,
    const at::Tensor& source_ids, int64_t extended_vocab_size, bool suppress_unk,
    const at::Tensor* attention_mask, const at::Tensor* vocab_limit);

// Encoder pass of one word: memory [1, T, H] and the decoder's initial (h, c) [1, H].
struct Seq2SeqEncoded {
    at::Tensor memory;
    at::Tensor h;
    at::Tensor c;
};

// Encoder pass of one word's source ids (with its POS tag when the plan uses one).
Seq2SeqEncoded encode_seq2seq_source(const Seq2SeqPlan::Impl& impl,
                                     const std::vector<int64_t>& source_ids,
                                     const std::optional<std::string>& pos_tag);

// Greedy decoding of one word; the emitted ids without <EOS>.
std::vector<int64_t> greedy_decode_seq2seq(const Seq2SeqPlan::Impl& impl,
                                           const Seq2SeqEncoded& encoded,
                                           const at::Tensor& source, int64_t extended_vocab_size,
                                           bool suppress_unk);

// Beam search of one word; the best hypothesis of the last step, its tokens cut
// before the first <EOS>.
Seq2SeqHypothesis beam_search_seq2seq(const Seq2SeqPlan::Impl& impl,
                                      const Seq2SeqEncoded& encoded, const at::Tensor& source,
                                      int64_t extended_vocab_size, bool suppress_unk,
                                      int64_t beam_size);

// Text of emitted ids: vocabulary units, the word's own unknown code points for the
// ids after the vocabulary, "<UNK>" for anything else.
std::string form_seq2seq_text(const std::vector<int64_t>& tokens,
                              const std::vector<std::string>& id2unit,
                              const std::vector<std::string>& oov_units);

}  // namespace detail
}  // namespace quelbin
