// Prediction of many words: greedy decoding in length-sorted batches, one packed
// encoder call and one decoder step per batch and step; beam search word by
// word. Batches (and groups of words for beam search) run as parallel tasks.
#include <algorithm>
#include <numeric>
#include <vector>

#include <ATen/ops/_pack_padded_sequence.h>
#include <ATen/ops/_pad_packed_sequence.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/full.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/max.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/tensor.h>
#include <c10/core/InferenceMode.h>

#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {

using detail::kSeq2SeqEos;
using detail::kSeq2SeqPad;
using detail::kSeq2SeqSos;
using detail::kSeq2SeqUnk;
using detail::require_seq2seq_tensor;

namespace {

// Greedy decoding of one batch of words, rows in sorted order; fills the results
// at the words' input positions.
void decode_batch(const Seq2SeqPlan::Impl& impl, const std::vector<detail::Seq2SeqSource>& sources,
                  const std::vector<std::optional<std::string>>& tags,
                  const std::vector<std::size_t>& rows, bool suppress_unk,
                  std::vector<Seq2SeqPrediction>& results) {
    const auto B = static_cast<int64_t>(rows.size());
    const auto W = static_cast<int64_t>(sources[rows.front()].ids.size());
    const int64_t T = impl.pos ? W + 1 : W;

    std::vector<int64_t> source_ids(static_cast<std::size_t>(B * W), kSeq2SeqPad);
    std::vector<int64_t> input_ids(static_cast<std::size_t>(B * W), kSeq2SeqPad);
    std::vector<int64_t> pos_ids;
    std::vector<int64_t> lengths(static_cast<std::size_t>(B));
    std::vector<int64_t> limits(static_cast<std::size_t>(B));
    int64_t extended = impl.vocab_size;
    for (int64_t k = 0; k < B; ++k) {
        const std::size_t word = rows[static_cast<std::size_t>(k)];
        const std::vector<int64_t>& ids = sources[word].ids;
        int64_t largest = 0;
        for (std::size_t j = 0; j < ids.size(); ++j) {
            const std::size_t at = static_cast<std::size_t>(k * W) + j;
            source_ids[at] = ids[j];
            input_ids[at] = ids[j] >= impl.vocab_size ? kSeq2SeqUnk : ids[j];
            largest = std::max(largest, ids[j]);
        }
        if (impl.pos) pos_ids.push_back(detail::seq2seq_pos_id(impl, tags[word]));
        lengths[static_cast<std::size_t>(k)] =
            static_cast<int64_t>(ids.size()) + (impl.pos ? 1 : 0);
        const int64_t limit = impl.copy ? std::max(impl.vocab_size, largest + 1) : impl.vocab_size;
        limits[static_cast<std::size_t>(k)] = limit;
        extended = std::max(extended, limit);
    }

    // Encoder: one packed bidirectional LSTM call over the batch.
    const at::Tensor source = detail::make_id_tensor(source_ids, {B, W});
    at::Tensor x = at::embedding(require_seq2seq_tensor(impl, "embedding.weight"),
                                 detail::make_id_tensor(input_ids, {B, W}), kSeq2SeqPad);
    if (impl.pos) {
        const at::Tensor tags_x = at::embedding(require_seq2seq_tensor(impl, "pos_embedding.weight"),
                                                detail::make_id_tensor(pos_ids, {B}), kSeq2SeqPad);
        x = at::cat({tags_x.unsqueeze(1), x}, 1);
    }
    const at::Tensor length_tensor = detail::make_id_tensor(lengths, {B});
    auto [data, batch_sizes] = at::_pack_padded_sequence(x, length_tensor, /*batch_first=*/true);
    const int64_t half = impl.hidden_dim / 2;
    const std::vector<at::Tensor> initial{
        impl.encoder_initial_state[0].expand({2 * impl.num_layers, B, half}).contiguous(),
        impl.encoder_initial_state[1].expand({2 * impl.num_layers, B, half}).contiguous()};
    auto [packed_out, h_n, c_n] =
        at::lstm(data, batch_sizes, initial, impl.encoder_weights, /*has_biases=*/true,
                 impl.num_layers, /*dropout=*/0.0, /*train=*/false, /*bidirectional=*/true);
    const at::Tensor memory = std::get<0>(
        at::_pad_packed_sequence(packed_out, batch_sizes, /*batch_first=*/true, 0.0, T));
    const int64_t top = 2 * impl.num_layers - 1;
    std::tuple<at::Tensor, at::Tensor> state{at::cat({h_n[top], h_n[top - 1]}, 1),
                                             at::cat({c_n[top], c_n[top - 1]}, 1)};
    const at::Tensor mask =
        at::arange(T, length_tensor.options()).unsqueeze(0).ge(length_tensor.unsqueeze(1));
    const at::Tensor limit_tensor = detail::make_id_tensor(limits, {B});

    std::vector<std::optional<int64_t>> edits(static_cast<std::size_t>(B));
    if (impl.edit) {
        const at::Tensor hidden =
            at::relu(at::linear(std::get<0>(state), require_seq2seq_tensor(impl, "edit_clf.0.weight"),
                                require_seq2seq_tensor(impl, "edit_clf.0.bias")));
        const at::Tensor classes =
            std::get<1>(at::max(at::linear(hidden, require_seq2seq_tensor(impl, "edit_clf.2.weight"),
                                           require_seq2seq_tensor(impl, "edit_clf.2.bias")),
                                1))
                .contiguous();
        const int64_t* c = classes.const_data_ptr<int64_t>();
        for (int64_t k = 0; k < B; ++k) edits[static_cast<std::size_t>(k)] = c[k];
    }

    // Greedy loop. A word's output ends at its first <EOS>; its row then leaves the
    // batch, since rows never influence each other and later outputs of a finished
    // word are discarded anyway.
    std::vector<std::vector<int64_t>> outputs(static_cast<std::size_t>(B));
    std::vector<int64_t> live(static_cast<std::size_t>(B));  // batch row of each decoded row
    std::iota(live.begin(), live.end(), int64_t{0});
    at::Tensor rows_memory = memory;
    at::Tensor rows_source = source;
    at::Tensor rows_mask = mask;
    at::Tensor rows_limit = limit_tensor;
    at::Tensor input = at::full({B}, kSeq2SeqSos, source.options());
    for (int64_t step = 0; step < impl.max_dec_len && !live.empty(); ++step) {
        auto [lp, h, c] = detail::decode_seq2seq_step(impl, input, state, rows_memory, rows_source,
                                                      extended, suppress_unk, &rows_mask, &rows_limit);
        state = {h, c};
        input = std::get<1>(at::max(lp, 1)).contiguous();
        const int64_t* next = input.const_data_ptr<int64_t>();
        std::vector<int64_t> keep;
        keep.reserve(live.size());
        for (std::size_t r = 0; r < live.size(); ++r) {
            if (next[r] == kSeq2SeqEos) continue;
            outputs[static_cast<std::size_t>(live[r])].push_back(next[r]);
            keep.push_back(static_cast<int64_t>(r));
        }
        if (keep.size() == live.size()) continue;
        std::vector<int64_t> still;
        still.reserve(keep.size());
        for (const int64_t r : keep) still.push_back(live[static_cast<std::size_t>(r)]);
        live = std::move(still);
        if (live.empty()) break;
        const at::Tensor index = at::tensor(keep, source.options());
        state = {std::get<0>(state).index_select(0, index), std::get<1>(state).index_select(0, index)};
        input = input.index_select(0, index);
        rows_memory = rows_memory.index_select(0, index);
        rows_source = rows_source.index_select(0, index);
        rows_mask = rows_mask.index_select(0, index);
        rows_limit = rows_limit.index_select(0, index);
    }

    for (int64_t k = 0; k < B; ++k) {
        const std::size_t word = rows[static_cast<std::size_t>(k)];
        Seq2SeqPrediction& result = results[word];
        result.text = detail::form_seq2seq_text(outputs[static_cast<std::size_t>(k)],
                                                impl.char_vocab.id2unit, sources[word].oov_units);
        result.edit = edits[static_cast<std::size_t>(k)];
    }
}

}  // namespace

std::vector<Seq2SeqPrediction> Seq2SeqPlan::Impl::predict_many(
    const std::vector<std::string>& words, const std::vector<std::optional<std::string>>& tags,
    std::optional<int64_t> beam, bool suppress_unk) const {
    if (words.size() != tags.size()) {
        throw Seq2SeqModelError("seq2seq text and POS batches must have equal lengths");
    }
    const int64_t width = beam.value_or(beam_size);
    if (width < 1) throw Seq2SeqModelError("beam size must be positive");

    std::vector<Seq2SeqPrediction> results(words.size());
    const auto step = static_cast<std::size_t>(batch_size);
    if (width != 1) {
        // Beam search word by word, batch_size consecutive words per task.
        detail::run_tasks((words.size() + step - 1) / step, [&](std::size_t task) {
            const std::size_t end = std::min(words.size(), (task + 1) * step);
            for (std::size_t i = task * step; i < end; ++i) {
                results[i] = predict(words[i], tags[i], width, suppress_unk);
            }
        });
        return results;
    }

    c10::InferenceMode guard;
    std::vector<detail::Seq2SeqSource> sources;
    sources.reserve(words.size());
    for (const std::string& word : words) {
        sources.push_back(detail::encode_seq2seq_word(char_vocab, word));
    }
    std::vector<std::size_t> order(words.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return sources[a].ids.size() > sources[b].ids.size();
    });
    // Each batch of batch_size words (in sorted order) is one task; its rows
    // and results are its own.
    detail::run_tasks((order.size() + step - 1) / step, [&](std::size_t task) {
        const std::size_t start = task * step;
        const std::size_t end = std::min(order.size(), start + step);
        const std::vector<std::size_t> rows(order.begin() + static_cast<std::ptrdiff_t>(start),
                                            order.begin() + static_cast<std::ptrdiff_t>(end));
        decode_batch(*this, sources, tags, rows, suppress_unk, results);
    });
    return results;
}

}  // namespace quelbin
