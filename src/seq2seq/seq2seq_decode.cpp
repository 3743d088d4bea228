// The decoder step (LSTM cell, soft attention, output projection, copy gate),
// greedy decoding and beam search of one word, and the text of emitted ids.
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <ATen/ops/arange.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/exp.h>
#include <ATen/ops/full.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/logaddexp.h>
#include <ATen/ops/lstm_cell.h>
#include <ATen/ops/max.h>
#include <ATen/ops/softmax.h>
#include <ATen/ops/softplus.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/topk.h>
#include <ATen/ops/zeros.h>

#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin::detail {
namespace {

// Fills masked attention scores, output columns without copy mass and columns
// beyond a row's vocabulary limit.
constexpr double kMasked = -1e12;
// Stands in for a zero copy mass before its logarithm is taken.
constexpr double kTinyMass = 1e-12;

// Copy mixing: lp (generation, [B, vocab_size]) becomes the log of
// (1 - p_copy) * p_gen + p_copy * attention pooled by source id, over V columns.
at::Tensor mix_copy(const Seq2SeqPlan::Impl& impl, at::Tensor lp, const at::Tensor& ht,
                    const at::Tensor& log_attention, const at::Tensor& source_ids, int64_t V) {
    const int64_t B = lp.size(0);
    const at::Tensor gate = at::linear(ht, require_seq2seq_tensor(impl, "copy_gate.weight"),
                                       require_seq2seq_tensor(impl, "copy_gate.bias"));
    // The POS position is attended but never copied: renormalise over the characters.
    at::Tensor source_attention = log_attention;
    if (impl.pos) {
        source_attention = at::log_softmax(
            log_attention.narrow(1, 1, log_attention.size(1) - 1), 1);
    }
    const at::Tensor lc = at::log_sigmoid(gate).add(source_attention);  // [B, S]
    // Pool in linear space with each row's maximum taken out, then go back to logs.
    const at::Tensor m = std::get<0>(at::max(lc, 1, /*keepdim=*/true));
    const at::Tensor w = at::exp(lc.sub(m));
    at::Tensor acc = at::zeros({B, V}, lp.options());
    acc.scatter_add_(1, source_ids, w);
    const at::Tensor empty = acc.eq(0);
    at::Tensor copy_lp = at::log(acc.masked_fill(empty, kTinyMass));
    copy_lp.add_(m).masked_fill_(empty, kMasked);
    // log(1 - sigmoid(gate)), in a form that cannot overflow for a large gate.
    const at::Tensor gen_log = at::softplus(gate).neg_();
    if (V > impl.vocab_size) {
        // Unknown source characters get the generation score of <UNK>.
        lp = at::cat({lp, lp.narrow(1, kSeq2SeqUnk, 1).expand({B, V - impl.vocab_size})}, 1);
    }
    return at::logaddexp(copy_lp, lp.add(gen_log));
}

}  // namespace

std::tuple<at::Tensor, at::Tensor, at::Tensor> decode_seq2seq_step(
    const Seq2SeqPlan::Impl& impl, at::Tensor& input_ids,
    const std::tuple<at::Tensor, at::Tensor>& state, const at::Tensor& memory,
    const at::Tensor& source_ids, int64_t extended_vocab_size, bool suppress_unk,
    const at::Tensor* attention_mask, const at::Tensor* vocab_limit) {
    input_ids.masked_fill_(input_ids.ge(impl.vocab_size), kSeq2SeqUnk);
    const at::Tensor e =
        at::embedding(require_seq2seq_tensor(impl, "embedding.weight"), input_ids, kSeq2SeqPad);
    auto [h, c] = at::lstm_cell(e, {std::get<0>(state), std::get<1>(state)},
                                require_seq2seq_tensor(impl, "decoder.lstm_cell.weight_ih"),
                                require_seq2seq_tensor(impl, "decoder.lstm_cell.weight_hh"),
                                require_seq2seq_tensor(impl, "decoder.lstm_cell.bias_ih"),
                                require_seq2seq_tensor(impl, "decoder.lstm_cell.bias_hh"));

    // Soft attention: scores of the memory positions against linear_in(h).
    const at::Tensor q =
        at::linear(h, require_seq2seq_tensor(impl, "decoder.attention_layer.linear_in.weight"));
    at::Tensor scores = at::bmm(memory, q.unsqueeze(2)).squeeze(2);  // [B, T]
    if (attention_mask != nullptr) scores.masked_fill_(*attention_mask, kMasked);
    at::Tensor log_attention;
    at::Tensor attention;
    if (impl.copy) {
        log_attention = at::log_softmax(scores, 1);
        attention = at::exp(log_attention);
    } else {
        attention = at::softmax(scores, 1);
    }
    const at::Tensor context = at::bmm(attention.unsqueeze(1), memory).squeeze(1);  // [B, H]
    const at::Tensor ht = at::tanh(
        at::linear(at::cat({context, h}, 1),
                   require_seq2seq_tensor(impl, "decoder.attention_layer.linear_out.weight")));

    at::Tensor lp = at::log_softmax(at::linear(ht, require_seq2seq_tensor(impl, "dec2vocab.weight"),
                                               require_seq2seq_tensor(impl, "dec2vocab.bias")),
                                    1);
    if (impl.copy) {
        lp = mix_copy(impl, lp, ht, log_attention, source_ids, extended_vocab_size);
        if (vocab_limit != nullptr) {
            const at::Tensor columns = at::arange(lp.size(1), vocab_limit->options());
            lp.masked_fill_(columns.unsqueeze(0).ge(vocab_limit->unsqueeze(1)), kMasked);
        }
    }
    if (suppress_unk) lp.select(1, kSeq2SeqUnk).fill_(-std::numeric_limits<double>::infinity());
    return {lp, h, c};
}

std::vector<int64_t> greedy_decode_seq2seq(const Seq2SeqPlan::Impl& impl,
                                           const Seq2SeqEncoded& encoded,
                                           const at::Tensor& source, int64_t extended_vocab_size,
                                           bool suppress_unk) {
    std::vector<int64_t> out;
    std::tuple<at::Tensor, at::Tensor> state{encoded.h, encoded.c};
    int64_t current = kSeq2SeqSos;
    for (int64_t step = 0; step < impl.max_dec_len; ++step) {
        at::Tensor input = at::full({1}, current, source.options());
        auto [lp, h, c] = decode_seq2seq_step(impl, input, state, encoded.memory, source,
                                              extended_vocab_size, suppress_unk, nullptr, nullptr);
        state = {h, c};
        const int64_t next = at::argmax(lp, 1).item<int64_t>();
        if (next == kSeq2SeqEos) break;
        out.push_back(next);
        current = next;
    }
    return out;
}

Seq2SeqHypothesis beam_search_seq2seq(const Seq2SeqPlan::Impl& impl,
                                      const Seq2SeqEncoded& encoded, const at::Tensor& source,
                                      int64_t extended_vocab_size, bool suppress_unk,
                                      int64_t beam_size) {
    std::vector<Seq2SeqHypothesis> beam(1);
    beam[0].h = encoded.h;
    beam[0].c = encoded.c;
    for (int64_t step = 0; step < impl.max_dec_len; ++step) {
        const int64_t K = static_cast<int64_t>(beam.size());
        std::vector<int64_t> last(beam.size());
        std::vector<at::Tensor> hs, cs;
        std::vector<double> scores(beam.size());
        for (std::size_t r = 0; r < beam.size(); ++r) {
            last[r] = beam[r].last_token;
            hs.push_back(beam[r].h);
            cs.push_back(beam[r].c);
            scores[r] = beam[r].score;
        }
        at::Tensor input = at::tensor(last, source.options());
        const at::Tensor memory = encoded.memory.expand({K, -1, -1}).contiguous();
        const at::Tensor src = source.expand({K, -1}).contiguous();
        auto [lp, h, c] = decode_seq2seq_step(impl, input, {at::cat(hs, 0), at::cat(cs, 0)},
                                              memory, src, extended_vocab_size, suppress_unk,
                                              nullptr, nullptr);
        const int64_t width = lp.size(1);
        const at::Tensor totals = lp.add(at::tensor(scores, lp.options()).unsqueeze(1));
        const int64_t take = std::min(beam_size, K * width);
        auto [values, indices] = at::topk(totals.reshape({-1}), take);
        const at::Tensor values64 = values.to(at::kDouble).contiguous();
        const at::Tensor indices64 = indices.contiguous();
        const double* v = values64.const_data_ptr<double>();
        const int64_t* x = indices64.const_data_ptr<int64_t>();
        std::vector<Seq2SeqHypothesis> next(static_cast<std::size_t>(take));
        for (int64_t i = 0; i < take; ++i) {
            const int64_t r = x[i] / width;
            const int64_t token = x[i] - r * width;
            Seq2SeqHypothesis& hyp = next[static_cast<std::size_t>(i)];
            hyp.score = v[i];
            hyp.tokens = beam[static_cast<std::size_t>(r)].tokens;
            hyp.tokens.push_back(token);
            hyp.h = h.narrow(0, r, 1);
            hyp.c = c.narrow(0, r, 1);
            hyp.last_token = token;
        }
        beam = std::move(next);
        if (beam.front().last_token == kSeq2SeqEos) break;
    }
    Seq2SeqHypothesis best = std::move(beam.front());
    const auto eos = std::find(best.tokens.begin(), best.tokens.end(), kSeq2SeqEos);
    best.tokens.erase(eos, best.tokens.end());
    return best;
}

std::string form_seq2seq_text(const std::vector<int64_t>& tokens,
                              const std::vector<std::string>& id2unit,
                              const std::vector<std::string>& oov_units) {
    const auto n = static_cast<int64_t>(id2unit.size());
    const auto oov = static_cast<int64_t>(oov_units.size());
    std::string text;
    for (const int64_t t : tokens) {
        if (t >= 0 && t < n) {
            text += id2unit[static_cast<std::size_t>(t)];
        } else if (t - n >= 0 && t - n < oov) {
            text += oov_units[static_cast<std::size_t>(t - n)];
        } else {
            text += "<UNK>";
        }
    }
    return text;
}

}  // namespace quelbin::detail
