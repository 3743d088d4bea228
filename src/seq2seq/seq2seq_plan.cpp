// The plan handle, word encoding and the prediction of one word.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/max.h>
#include <ATen/ops/relu.h>
#include <c10/core/InferenceMode.h>

#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/utf8_text.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace detail {

const at::Tensor& require_seq2seq_tensor(const Seq2SeqPlan::Impl& impl, std::string_view name) {
    const auto it = impl.tensors.find(std::string(name));
    if (it == impl.tensors.end()) {
        throw Seq2SeqModelError("missing seq2seq tensor: '" + std::string(name) + "'");
    }
    return it->second;
}

Seq2SeqSource encode_seq2seq_word(const Seq2SeqVocab& vocab, const std::string& word) {
    const Utf8Text text(word);
    const auto known = static_cast<int64_t>(vocab.id2unit.size());
    Seq2SeqSource source;
    std::unordered_map<std::string, int64_t> unknown;
    source.ids.reserve(text.codepoint_count() + 2);
    source.ids.push_back(kSeq2SeqSos);
    for (std::size_t i = 0; i < text.codepoint_count(); ++i) {
        const std::string unit = text.slice(i, i + 1);
        const auto it = vocab.unit2id.find(unit);
        if (it != vocab.unit2id.end()) {
            source.ids.push_back(it->second);
            continue;
        }
        // Equal unknown code points share one id after the vocabulary.
        const auto [seen, added] =
            unknown.emplace(unit, known + static_cast<int64_t>(source.oov_units.size()));
        if (added) source.oov_units.push_back(unit);
        source.ids.push_back(seen->second);
    }
    source.ids.push_back(kSeq2SeqEos);
    return source;
}

int64_t seq2seq_pos_id(const Seq2SeqPlan::Impl& impl, const std::optional<std::string>& tag) {
    if (!tag) throw Seq2SeqModelError("this seq2seq bundle requires a POS tag");
    const auto it = impl.pos_vocab->unit2id.find(*tag);
    return it == impl.pos_vocab->unit2id.end() ? kSeq2SeqUnk : it->second;
}

Seq2SeqEncoded encode_seq2seq_source(const Seq2SeqPlan::Impl& impl,
                                     const std::vector<int64_t>& source_ids,
                                     const std::optional<std::string>& pos_tag) {
    const auto n = static_cast<int64_t>(source_ids.size());
    // Unknown characters reach the encoder as <UNK>; the source keeps their ids for copying.
    std::vector<int64_t> input_ids = source_ids;
    for (int64_t& id : input_ids) {
        if (id >= impl.vocab_size) id = kSeq2SeqUnk;
    }
    at::Tensor input = at::embedding(require_seq2seq_tensor(impl, "embedding.weight"),
                                     make_id_tensor(input_ids, {1, n}), kSeq2SeqPad);
    std::vector<int64_t> pos_id;
    if (impl.pos) {
        pos_id.push_back(seq2seq_pos_id(impl, pos_tag));
        const at::Tensor tag = at::embedding(require_seq2seq_tensor(impl, "pos_embedding.weight"),
                                             make_id_tensor(pos_id, {1}));
        input = at::cat({tag.unsqueeze(0), input}, 1);
    }
    auto [memory, h_n, c_n] = at::lstm(input, impl.encoder_initial_state, impl.encoder_weights,
                                       /*has_biases=*/true, impl.num_layers, /*dropout=*/0.0,
                                       /*train=*/false, /*bidirectional=*/true,
                                       /*batch_first=*/true);
    // The last layer's backward state first, then its forward state.
    const int64_t top = 2 * impl.num_layers - 1;
    return {memory, at::cat({h_n[top], h_n[top - 1]}, 1), at::cat({c_n[top], c_n[top - 1]}, 1)};
}

}  // namespace detail

using detail::kSeq2SeqUnk;
using detail::require_seq2seq_tensor;

Seq2SeqPrediction Seq2SeqPlan::Impl::predict(const std::string& word,
                                             const std::optional<std::string>& pos_tag,
                                             std::optional<int64_t> beam,
                                             bool suppress_unk) const {
    // One word is one task: its small products stay on this thread.
    const detail::SerialScope serial;
    c10::InferenceMode guard;
    detail::Seq2SeqSource source = detail::encode_seq2seq_word(char_vocab, word);
    const auto n = static_cast<int64_t>(source.ids.size());
    const at::Tensor source_tensor = detail::make_id_tensor(source.ids, {1, n});

    const detail::Seq2SeqEncoded encoded = detail::encode_seq2seq_source(*this, source.ids, pos_tag);

    int64_t extended = vocab_size;
    if (copy) extended = std::max(vocab_size, *std::max_element(source.ids.begin(), source.ids.end()) + 1);

    Seq2SeqPrediction prediction;
    if (edit) {
        const at::Tensor hidden = at::relu(at::linear(encoded.h,
                                                      require_seq2seq_tensor(*this, "edit_clf.0.weight"),
                                                      require_seq2seq_tensor(*this, "edit_clf.0.bias")));
        const at::Tensor scores = at::linear(hidden, require_seq2seq_tensor(*this, "edit_clf.2.weight"),
                                             require_seq2seq_tensor(*this, "edit_clf.2.bias"));
        prediction.edit = std::get<1>(at::max(scores, 1)).item<int64_t>();
    }

    const int64_t width = beam.value_or(beam_size);
    if (width < 1) throw Seq2SeqModelError("beam size must be positive");
    std::vector<int64_t> tokens;
    if (width == 1) {
        tokens = detail::greedy_decode_seq2seq(*this, encoded, source_tensor, extended, suppress_unk);
    } else {
        tokens = detail::beam_search_seq2seq(*this, encoded, source_tensor, extended, suppress_unk,
                                             width)
                     .tokens;
    }
    prediction.text = detail::form_seq2seq_text(tokens, char_vocab.id2unit, source.oov_units);
    return prediction;
}

Seq2SeqPlan::Seq2SeqPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw Seq2SeqModelError(error.what());
    }
}

Seq2SeqPlan::~Seq2SeqPlan() = default;
Seq2SeqPlan::Seq2SeqPlan(Seq2SeqPlan&& other) noexcept = default;
Seq2SeqPlan& Seq2SeqPlan::operator=(Seq2SeqPlan&& other) noexcept = default;

const ModelBundle& Seq2SeqPlan::bundle() const { return *impl_->bundle; }
bool Seq2SeqPlan::uses_pos() const { return impl_->pos; }
int64_t Seq2SeqPlan::configured_beam_size() const { return impl_->beam_size; }

Seq2SeqPrediction Seq2SeqPlan::predict(const std::string& word,
                                       const std::optional<std::string>& pos,
                                       std::optional<int64_t> beam_size,
                                       bool suppress_unk) const {
    return impl_->predict(word, pos, beam_size, suppress_unk);
}

std::vector<Seq2SeqPrediction> Seq2SeqPlan::predict_many(
    const std::vector<std::string>& words, const std::vector<std::optional<std::string>>& pos,
    std::optional<int64_t> beam_size, bool suppress_unk) const {
    return impl_->predict_many(words, pos, beam_size, suppress_unk);
}

}  // namespace quelbin
