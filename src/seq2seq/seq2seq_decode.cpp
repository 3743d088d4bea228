// The decoder step (LSTM cell, soft attention, output projection, copy gate),
// greedy decoding and beam search of one word, and the text of emitted ids.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <ATen/Dispatch.h>
#include <ATen/OpMathType.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/exp.h>
#include <ATen/ops/full.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm_cell.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/softmax.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/topk.h>

#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin::detail {
namespace {

// Fills masked attention scores, output columns without copy mass and columns
// beyond a row's vocabulary limit.
constexpr double kMasked = -1e12;

template <class T>
T stable_log_sigmoid(T x) {
    // log(sigmoid(x)) = min(x, 0) - log1p(exp(-|x|)), finite for every finite x.
    return std::min(x, T(0)) - std::log1p(std::exp(-std::abs(x)));
}

template <class T>
T log_add_exp(T a, T b) {
    if (std::isinf(a) && a == b) return a;
    const T top = std::max(a, b);
    return top + std::log1p(std::exp(-std::abs(a - b)));
}

// Copy mixing, per row: the generation distribution lp ([B, vocab_size]) becomes
// log((1 - p) * p_gen + p * copy) over V columns, where p = sigmoid(gate) and copy
// is the attention over the source positions pooled by source id. Works in log
// space: the row's maximum is taken out before exponentiating and added back
// after the logarithm. Columns of unknown characters take <UNK>'s generation
// score; columns without copy mass and columns at or beyond the row's vocabulary
// limit get -1e12.
at::Tensor mix_copy(const Seq2SeqPlan::Impl& impl, const at::Tensor& lp_in, const at::Tensor& ht,
                    const at::Tensor& log_attention_in, const at::Tensor& source_in, int64_t V,
                    const at::Tensor* vocab_limit) {
    const at::Tensor gate = at::linear(ht, require_seq2seq_tensor(impl, "copy_gate.weight"),
                                       require_seq2seq_tensor(impl, "copy_gate.bias"))
                                .contiguous();
    const at::Tensor lp = lp_in.contiguous();
    const at::Tensor la = log_attention_in.contiguous().to(lp.scalar_type());
    const at::Tensor source = source_in.contiguous();
    const int64_t B = lp.size(0);
    const int64_t vocab = lp.size(1);
    const int64_t T = la.size(1);
    // The POS position is attended but never copied.
    const int64_t first = impl.pos ? 1 : 0;
    const int64_t S = T - first;
    TORCH_CHECK(source.scalar_type() == at::kLong && source.dim() == 2 && source.size(0) == B &&
                    source.size(1) == S && gate.numel() == B && la.size(0) == B && vocab > 1 &&
                    V >= vocab,
                "seq2seq copy inputs have inconsistent shapes");
    at::Tensor limits;
    if (vocab_limit != nullptr) {
        limits = vocab_limit->contiguous();
        TORCH_CHECK(limits.scalar_type() == at::kLong && limits.numel() == B,
                    "seq2seq vocabulary limits have the wrong shape");
    }
    at::Tensor out = at::empty({B, V}, lp.options());
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, lp.scalar_type(),
                                    "seq2seq_copy_mix", [&] {
        using acc_t = at::opmath_type<scalar_t>;
        const scalar_t* lpp = lp.const_data_ptr<scalar_t>();
        const scalar_t* lap = la.const_data_ptr<scalar_t>();
        const scalar_t* gp = gate.const_data_ptr<scalar_t>();
        const int64_t* src = source.const_data_ptr<int64_t>();
        const int64_t* lim = limits.defined() ? limits.const_data_ptr<int64_t>() : nullptr;
        scalar_t* op = out.mutable_data_ptr<scalar_t>();
        std::vector<acc_t> lc(static_cast<std::size_t>(S));
        std::vector<acc_t> acc(static_cast<std::size_t>(V));
        for (int64_t b = 0; b < B; ++b) {
            const acc_t g = static_cast<acc_t>(gp[b]);
            const acc_t copy_log = stable_log_sigmoid(g);
            const acc_t gen_log = stable_log_sigmoid(-g);  // log(1 - sigmoid(g))
            // Source attention renormalised over the character positions.
            const scalar_t* row = lap + b * T + first;
            acc_t norm = 0;
            if (first > 0) {
                acc_t top = -std::numeric_limits<acc_t>::infinity();
                for (int64_t s = 0; s < S; ++s) top = std::max(top, static_cast<acc_t>(row[s]));
                acc_t sum = 0;
                for (int64_t s = 0; s < S; ++s) sum += std::exp(static_cast<acc_t>(row[s]) - top);
                norm = top + std::log(sum);
            }
            acc_t m = -std::numeric_limits<acc_t>::infinity();
            for (int64_t s = 0; s < S; ++s) {
                lc[s] = copy_log + (static_cast<acc_t>(row[s]) - norm);
                m = std::max(m, lc[s]);
            }
            std::fill(acc.begin(), acc.end(), acc_t(0));
            for (int64_t s = 0; s < S; ++s) {
                const int64_t id = src[b * S + s];
                TORCH_CHECK(id >= 0 && id < V, "seq2seq source id ", id, " is outside the output columns");
                acc[static_cast<std::size_t>(id)] += std::exp(lc[s] - m);
            }
            const acc_t gen_unk = static_cast<acc_t>(lpp[b * vocab + kSeq2SeqUnk]) + gen_log;
            const int64_t limit = lim != nullptr ? lim[b] : V;
            for (int64_t j = 0; j < V; ++j) {
                const acc_t mass = acc[static_cast<std::size_t>(j)];
                const acc_t gen = j < vocab ? static_cast<acc_t>(lpp[b * vocab + j]) + gen_log : gen_unk;
                acc_t value;
                if (j >= limit) {
                    value = acc_t(kMasked);
                } else if (mass == 0 && gen > acc_t(kMasked / 2)) {
                    value = gen;  // exactly log(exp(-1e12) + exp(gen)) in floating point
                } else {
                    value = log_add_exp(mass == 0 ? acc_t(kMasked) : std::log(mass) + m, gen);
                }
                op[b * V + j] = static_cast<scalar_t>(value);
            }
        }
    });
    return out;
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
        lp = mix_copy(impl, lp, ht, log_attention, source_ids, extended_vocab_size, vocab_limit);
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
