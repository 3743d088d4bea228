#include "tokenize/labelling.hpp"

#include "tokenize/bilstm.hpp"
#include "tokenize/features.hpp"

#include "model/parallel_tasks.hpp"

#include <quelbin/errors.hpp>

#include <ATen/core/Tensor.h>
#include <ATen/ops/addmm.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/sigmoid.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

// Vector extensions return 32-byte vectors from inline helpers; their ABI never
// crosses this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace quelbin::detail {
namespace {

at::Tensor borrow(float* data, at::IntArrayRef sizes) {
    return at::from_blob(data, sizes, at::detail::noopDelete, at::TensorOptions().dtype(at::kFloat));
}

std::int64_t unit_id(const TokenizerPlan::Impl& impl, const CharUnit& unit) {
    const auto found = impl.unit2id.find(unit.text);
    return found == impl.unit2id.end() ? impl.unk_id : found->second;
}

// Runs one BiLSTM, padded [B, T, in] -> [B, T, 2H]; with lengths, padding never
// enters the recurrence and its outputs are zero, as with packed sequences.
at::Tensor run_bilstm(const std::shared_ptr<const BiLstm>& prepared, const std::vector<at::Tensor>& weights,
                      const at::Tensor& input, const std::vector<at::Tensor>& state, const std::int64_t* lengths) {
    if (prepared) return prepared->forward(input, lengths, state[0], state[1]).output;
    // Weights without LSTM shapes: preparing them again raises the shape error.
    return BiLstm(weights).forward(input, lengths, state[0], state[1]).output;
}

// The network in ATen operators over ids [B, T] and features [B, T, feat_dim]:
// arg-max labels [B, T].
at::Tensor run_network_aten(const TokenizerPlan::Impl& impl, const at::Tensor& ids, const at::Tensor& features,
                            const std::vector<at::Tensor>& state, const std::int64_t* lengths) {
    at::Tensor h1;
    if (impl.rnn_embedding_projection.defined()) {
        // The first BiLSTM's input projection as table rows plus the features' share.
        const std::int64_t batch = ids.size(0);
        const std::int64_t steps = ids.size(1);
        at::Tensor projection = at::index_select(impl.rnn_embedding_projection, 0, ids.reshape({batch * steps}));
        if (impl.feat_dim > 0) {
            projection.addmm_(features.reshape({batch * steps, impl.feat_dim}), impl.rnn_feature_weight);
        }
        h1 = impl.rnn->forward_projected(projection.view({batch, steps, projection.size(1)}), lengths, state[0],
                                         state[1])
                 .output;
    } else {
        const at::Tensor embedded = at::embedding(impl.tokenizer_weight("embeddings.weight"), ids, impl.pad_id);
        const at::Tensor input = at::cat({embedded, features}, -1);
        h1 = run_bilstm(impl.rnn, impl.rnn_weights, input, state, lengths);
    }

    at::Tensor tok = at::linear(h1, impl.tokenizer_weight("tok_clf.weight"), impl.tokenizer_weight("tok_clf.bias"));
    at::Tensor sent =
        at::linear(h1, impl.tokenizer_weight("sent_clf.weight"), impl.tokenizer_weight("sent_clf.bias"));
    at::Tensor mwt;
    if (impl.use_mwt) {
        mwt = at::linear(h1, impl.tokenizer_weight("mwt_clf.weight"), impl.tokenizer_weight("mwt_clf.bias"));
    }

    at::Tensor input2 = h1;
    if (impl.hier_invtemp > 0) {
        const at::Tensor gate = at::sigmoid(tok.neg().mul(impl.hier_invtemp)).neg().add(1.0);
        input2 = h1.mul(gate);
    }
    const at::Tensor h2 = run_bilstm(impl.rnn2, impl.rnn2_weights, input2, state, lengths);

    tok = tok.add(at::linear(h2, impl.tokenizer_weight("tok_clf2.weight")));
    sent = sent.add(at::linear(h2, impl.tokenizer_weight("sent_clf2.weight")));

    const at::Tensor nt = at::log_sigmoid(tok.neg());
    const at::Tensor t = at::log_sigmoid(tok);
    const at::Tensor ns = at::log_sigmoid(sent.neg());
    const at::Tensor s = at::log_sigmoid(sent);
    at::Tensor scores;
    if (impl.use_mwt) {
        mwt = mwt.add(at::linear(h2, impl.tokenizer_weight("mwt_clf2.weight")));
        const at::Tensor nm = at::log_sigmoid(mwt.neg());
        const at::Tensor m = at::log_sigmoid(mwt);
        const at::Tensor t_ns = t.add(ns);
        const at::Tensor t_s = t.add(s);
        scores = at::cat({nt, t_ns.add(nm), t_s.add(nm), t_ns.add(m), t_s.add(m)}, -1);
    } else {
        scores = at::cat({nt, t.add(ns), t.add(s)}, -1);
    }
    return at::argmax(scores, -1);
}

// Buffers of the direct path, kept across the rounds of one call so that large
// arrays are not allocated (and page-faulted) again for every batch.
struct Workspace {
    TaskBuffer<float> projection;  // [B * T][8H], first level then second level
    TaskBuffer<float> h1;          // [B * T][2H]
    TaskBuffer<float> h2;          // [B * T][2H]
    TaskBuffer<float> heads;       // [B * T][heads]: tok, sent, mwt
};

// A batch of sequences: sequence b's ids start at ids + b * stride, its
// features at features + b * stride * feat_dim, its labels at labels + b * stride.
struct NetworkBatch {
    const std::int64_t* ids;
    const float* features;
    std::int64_t batch;
    std::int64_t steps;   // longest length
    std::int64_t stride;  // >= steps
    const std::int64_t* lengths;
    std::int64_t* labels;
};

// Row loops of the direct path, compiled for AVX-512, AVX2/FMA and the base
// instruction set and chosen at run time; eight floats are one vector.
typedef float Lanes __attribute__((vector_size(32)));

// The helpers are always inlined, so that each clone runs them with its own
// instruction set (a call between clones would pass vectors under two ABIs).
#define QUELBIN_ROW_INLINE inline __attribute__((always_inline))

QUELBIN_ROW_INLINE Lanes load_lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

QUELBIN_ROW_INLINE void store_lanes(float* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define QUELBIN_ROW_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define QUELBIN_ROW_KERNEL
#endif

// row[0, width) += value * column[0, width).
QUELBIN_ROW_INLINE void add_scaled(float* row, float value, const float* column, std::int64_t width) {
    std::int64_t j = 0;
    for (; j + 8 <= width; j += 8) store_lanes(row + j, load_lanes(row + j) + value * load_lanes(column + j));
    for (; j < width; ++j) row[j] += value * column[j];
}

// The first BiLSTM's input projection of `count` units: each row is the table
// row of its id plus value * weight row f for each nonzero feature f.
QUELBIN_ROW_KERNEL
void project_units(const std::int64_t* ids, const float* features, std::int64_t feat_dim, std::int64_t count,
                   const float* table, const float* feature_weight, std::int64_t width, float* out) {
    for (std::int64_t t = 0; t < count; ++t) {
        float* row = out + t * width;
        std::memcpy(row, table + ids[t] * width, static_cast<std::size_t>(width) * sizeof(float));
        for (std::int64_t f = 0; f < feat_dim; ++f) {
            const float value = features[t * feat_dim + f];
            if (value != 0.0f) add_scaled(row, value, feature_weight + f * width, width);
        }
    }
}

// For `rows` rows x of `width` floats: out[k] = (bias ? bias[k] : out[k]) +
// x . weight[k] for the `count` heads (weight is [count][width]).
QUELBIN_ROW_KERNEL
void apply_heads(const float* x, std::int64_t rows, std::int64_t width, const float* weight, std::int64_t count,
                 const float* bias, float* out) {
    for (std::int64_t r = 0; r < rows; ++r, x += width, out += count) {
        for (std::int64_t k = 0; k < count; ++k) {
            const float* w = weight + k * width;
            Lanes partial{};
            std::int64_t j = 0;
            for (; j + 8 <= width; j += 8) partial += load_lanes(x + j) * load_lanes(w + j);
            float sum = 0.0f;
            for (; j < width; ++j) sum += x[j] * w[j];
            for (int lane = 0; lane < 8; ++lane) sum += partial[lane];
            out[k] = (bias != nullptr ? bias[k] : out[k]) + sum;
        }
    }
}

// Each of `rows` rows of `width` floats times its gate 1 - sigmoid(-invtemp *
// tok), tok being the first of the row's `count` head scores.
QUELBIN_ROW_KERNEL
void gate_rows(float* x, std::int64_t rows, std::int64_t width, const float* heads, std::int64_t count,
               float invtemp) {
    for (std::int64_t r = 0; r < rows; ++r, x += width) {
        const float gate = 1.0f - 1.0f / (1.0f + std::exp(heads[r * count] * invtemp));
        std::int64_t j = 0;
        for (; j + 8 <= width; j += 8) store_lanes(x + j, load_lanes(x + j) * gate);
        for (; j < width; ++j) x[j] *= gate;
    }
}

float log_sigmoid(float x) { return std::min(x, 0.0f) - std::log1p(std::exp(-std::abs(x))); }

// The arg-max label of one unit from its summed head scores, with the scores
// formed as the ATen path forms them.
std::int64_t best_label(const float* heads, bool use_mwt) {
    const float tok = heads[0];
    const float sent = heads[1];
    const float nt = log_sigmoid(-tok);
    const float t = log_sigmoid(tok);
    const float ns = log_sigmoid(-sent);
    const float s = log_sigmoid(sent);
    float scores[5];
    int count = 3;
    scores[0] = nt;
    if (use_mwt) {
        const float nm = log_sigmoid(-heads[2]);
        const float m = log_sigmoid(heads[2]);
        const float t_ns = t + ns;
        const float t_s = t + s;
        scores[1] = t_ns + nm;
        scores[2] = t_s + nm;
        scores[3] = t_ns + m;
        scores[4] = t_s + m;
        count = 5;
    } else {
        scores[1] = t + ns;
        scores[2] = t + s;
    }
    int best = 0;
    for (int k = 1; k < count; ++k) {
        if (scores[k] > scores[best]) best = k;
    }
    return best;
}

// The network with the prepared weights, straight on the workspace's buffers:
// only the steps within each sequence's length are computed.
void run_network_direct(const TokenizerPlan::Impl& impl, const NetworkBatch& job, Workspace& work) {
    const std::int64_t H = impl.hidden_dim;
    const std::int64_t G = 8 * H;
    const std::int64_t W = 2 * H;
    const std::int64_t F = impl.feat_dim;
    const std::int64_t K = impl.head_weight1.size(0);
    const std::int64_t B = job.batch;
    const std::int64_t T = job.steps;
    const auto rows = static_cast<std::size_t>(B * T);
    work.projection.resize(rows * G);
    work.h1.resize(rows * W);
    work.h2.resize(rows * W);
    work.heads.resize(rows * K);
    float* projection = work.projection.data();
    float* h1 = work.h1.data();
    float* h2 = work.h2.data();
    float* heads = work.heads.data();
    const float* head_weight1 = impl.head_weight1.const_data_ptr<float>();
    const float* head_weight2 = impl.head_weight2.const_data_ptr<float>();
    const float* head_bias1 = impl.head_bias1.const_data_ptr<float>();
    const auto view = [](float* data, std::int64_t first, std::int64_t count, std::int64_t width) {
        return borrow(data + first * width, {count, width});
    };

    // First level: a table row per unit plus its features' share.
    const float* table = impl.rnn_embedding_projection.const_data_ptr<float>();
    const float* feature_weight = F > 0 ? impl.rnn_feature_weight.const_data_ptr<float>() : nullptr;
    for (std::int64_t b = 0; b < B; ++b) {
        project_units(job.ids + b * job.stride, job.features + b * job.stride * F, F, job.lengths[b], table,
                      feature_weight, G, projection + b * T * G);
    }
    impl.rnn->run_projected(projection, B, T, job.lengths, h1);

    // First-level heads, the hierarchical gate, and the second level's input projection.
    for (std::int64_t b = 0; b < B; ++b) {
        const std::int64_t length = job.lengths[b];
        if (length == 0) continue;
        apply_heads(h1 + b * T * W, length, W, head_weight1, K, head_bias1, heads + b * T * K);
        if (impl.hier_invtemp > 0) {
            gate_rows(h1 + b * T * W, length, W, heads + b * T * K, K, static_cast<float>(impl.hier_invtemp));
        }
        const at::Tensor h1_b = view(h1, b * T, length, W);
        at::Tensor projection_b = view(projection, b * T, length, G);
        at::addmm_out(projection_b, impl.rnn2->bias(), h1_b, impl.rnn2->input_weight().t());
    }
    impl.rnn2->run_projected(projection, B, T, job.lengths, h2);

    for (std::int64_t b = 0; b < B; ++b) {
        const std::int64_t length = job.lengths[b];
        if (length == 0) continue;
        apply_heads(h2 + b * T * W, length, W, head_weight2, K, nullptr, heads + b * T * K);
        for (std::int64_t t = 0; t < length; ++t) {
            job.labels[b * job.stride + t] = best_label(heads + (b * T + t) * K, impl.use_mwt);
        }
    }
}

// Labels for a batch: the direct path when the weights are prepared for it and
// every id has a table row, else ATen operators.
void run_network(const TokenizerPlan::Impl& impl, const NetworkBatch& job, Workspace& work) {
    if (job.batch == 0 || job.steps == 0) return;
    bool direct = impl.head_weight1.defined();
    const std::int64_t vocabulary = direct ? impl.rnn_embedding_projection.size(0) : 0;
    for (std::int64_t b = 0; b < job.batch && direct; ++b) {
        for (std::int64_t t = 0; t < job.lengths[b]; ++t) {
            const std::int64_t id = job.ids[b * job.stride + t];
            if (id < 0 || id >= vocabulary) {
                direct = false;
                break;
            }
        }
    }
    if (direct) {
        run_network_direct(impl, job, work);
        return;
    }
    const std::int64_t F = impl.feat_dim;
    const at::Tensor ids = at::from_blob(const_cast<std::int64_t*>(job.ids), {job.batch, job.steps}, {job.stride, 1},
                                         at::detail::noopDelete, at::TensorOptions().dtype(at::kLong));
    const at::Tensor features =
        at::from_blob(const_cast<float*>(job.features), {job.batch, job.steps, F}, {job.stride * F, F, 1},
                      at::detail::noopDelete, at::TensorOptions().dtype(at::kFloat));
    const std::vector<at::Tensor> state =
        job.batch == 1 ? impl.initial_state
                       : std::vector<at::Tensor>{impl.initial_state[0].expand({2, job.batch, impl.hidden_dim}).contiguous(),
                                                 impl.initial_state[1].expand({2, job.batch, impl.hidden_dim}).contiguous()};
    const at::Tensor labels = run_network_aten(impl, ids, features, state, job.lengths).contiguous();
    const std::int64_t* values = labels.const_data_ptr<std::int64_t>();
    for (std::int64_t b = 0; b < job.batch; ++b) {
        std::copy_n(values + b * job.steps, job.lengths[b], job.labels + b * job.stride);
    }
}

}  // namespace

void apply_final_label_rule(Labels& labels) {
    if (labels.empty()) return;
    std::int64_t& last = labels.back();
    if (last == 0 || last == 1) last = 2;
    else if (last == 3) last = 4;
}

namespace {

// How many paragraphs run their windows side by side in the windowed path: the
// recurrence then reuses each block of weights across them, while the per-round
// tensors stay small enough for the caches (more is slower here).
constexpr std::size_t kLockstep = 4;

// A paragraph going through its windows.
struct WindowedParagraph {
    std::size_t position = 0;  // in the input list
    const Paragraph* paragraph = nullptr;
    std::vector<float> features;
    std::vector<std::int64_t> ids;
    std::size_t start = 0;  // first unit of the next window
    Labels labels;
};

}  // namespace

Labels label_paragraph(const TokenizerPlan::Impl& impl, const Paragraph& paragraph) {
    std::vector<Labels> labels = label_paragraphs_windowed(impl, {std::cref(paragraph)});
    return std::move(labels.front());
}

std::vector<Labels> label_paragraphs_windowed(const TokenizerPlan::Impl& impl,
                                              const std::vector<std::reference_wrapper<const Paragraph>>& paragraphs) {
    // One task's work: its products stay on this thread.
    const SerialScope serial;
    std::vector<Labels> results(paragraphs.size());
    const std::int64_t feat_dim = impl.feat_dim;
    const auto row_width = static_cast<std::size_t>(std::max<std::int64_t>(feat_dim, 0));
    std::vector<WindowedParagraph> active;
    active.reserve(kLockstep);
    std::vector<std::int64_t> ids;
    std::vector<float> features;
    std::vector<std::int64_t> lengths;
    std::vector<std::int64_t> round_labels;
    Workspace work;
    // Paragraphs are admitted longest first, so that those running side by side
    // have windows of about the same length and few steps run part-empty. An
    // empty one gets no labels and runs neither features nor network nor mask.
    std::vector<std::size_t> admission(paragraphs.size());
    std::iota(admission.begin(), admission.end(), std::size_t{0});
    std::stable_sort(admission.begin(), admission.end(), [&](std::size_t a, std::size_t b) {
        return paragraphs[a].get().size() > paragraphs[b].get().size();
    });
    std::size_t next = 0;
    while (true) {
        while (active.size() < kLockstep && next < paragraphs.size()) {
            const Paragraph& paragraph = paragraphs[admission[next]];
            if (!paragraph.empty()) {
                WindowedParagraph entry;
                entry.position = admission[next];
                entry.paragraph = &paragraph;
                entry.features = compute_unit_features(impl, paragraph);
                entry.ids.resize(paragraph.size());
                for (std::size_t i = 0; i < paragraph.size(); ++i) entry.ids[i] = unit_id(impl, paragraph[i]);
                entry.labels.reserve(paragraph.size());
                active.push_back(std::move(entry));
            }
            ++next;
        }
        if (active.empty()) break;

        // One round: the current window of every active paragraph, each its own
        // sequence from the zero state.
        const std::size_t batch = active.size();
        lengths.clear();
        std::size_t longest = 0;
        for (const WindowedParagraph& entry : active) {
            const std::size_t window = std::min(entry.paragraph->size() - entry.start, kInferenceWindow);
            if (window == 0) throw TokenizerModelError("invalid tokenizer inference window");
            lengths.push_back(static_cast<std::int64_t>(window));
            longest = std::max(longest, window);
        }
        ids.assign(batch * longest, impl.pad_id);
        features.assign(batch * longest * row_width, 0.0f);
        for (std::size_t i = 0; i < batch; ++i) {
            const WindowedParagraph& entry = active[i];
            const auto window = static_cast<std::size_t>(lengths[i]);
            std::copy_n(entry.ids.data() + entry.start, window, ids.data() + i * longest);
            std::copy_n(entry.features.data() + entry.start * row_width, window * row_width,
                        features.data() + i * longest * row_width);
        }
        round_labels.resize(batch * longest);
        {
            c10::InferenceMode guard;
            const NetworkBatch job{ids.data(), features.data(), static_cast<std::int64_t>(batch),
                                   static_cast<std::int64_t>(longest), static_cast<std::int64_t>(longest),
                                   lengths.data(), round_labels.data()};
            run_network(impl, job, work);
        }

        // Keep each window's labels up to its last sentence end when the
        // paragraph goes on; the rest is labelled again in the next window.
        const std::int64_t* values = round_labels.data();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < batch; ++i) {
            WindowedParagraph& entry = active[i];
            const std::int64_t* row = values + i * longest;
            const auto window = static_cast<std::size_t>(lengths[i]);
            std::size_t keep = window;
            if (entry.start + window < entry.paragraph->size()) {
                for (std::size_t k = window; k > 0; --k) {
                    if (row[k - 1] == 2 || row[k - 1] == 4) {
                        keep = k;
                        break;
                    }
                }
            }
            entry.labels.insert(entry.labels.end(), row, row + keep);
            entry.start += keep;
            if (entry.start < entry.paragraph->size()) {
                if (kept != i) active[kept] = std::move(entry);
                ++kept;
                continue;
            }
            apply_final_label_rule(entry.labels);
            mask_emails_and_urls(*entry.paragraph, entry.labels);
            results[entry.position] = std::move(entry.labels);
        }
        active.resize(kept);
    }
    return results;
}

std::vector<Labels> label_paragraphs(const TokenizerPlan::Impl& impl,
                                     const std::vector<std::reference_wrapper<const Paragraph>>& paragraphs) {
    const SerialScope serial;
    std::vector<Labels> results;
    const std::size_t batch = paragraphs.size();
    if (batch == 0) return results;
    for (const Paragraph& paragraph : paragraphs) {
        // Packing needs at least one step per sequence; callers never queue an
        // empty paragraph.
        if (paragraph.empty()) throw TokenizerModelError("invalid tokenizer inference window");
    }

    std::vector<std::size_t> order(batch);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return paragraphs[a].get().size() > paragraphs[b].get().size();
    });
    const std::size_t longest = paragraphs[order.front()].get().size();
    const std::int64_t feat_dim = impl.feat_dim;
    const std::size_t row_features = longest * static_cast<std::size_t>(std::max<std::int64_t>(feat_dim, 0));

    std::vector<std::int64_t> ids(batch * longest, impl.pad_id);
    std::vector<float> features(batch * row_features, 0.0f);
    std::vector<std::int64_t> lengths;
    lengths.reserve(batch);
    for (std::size_t i = 0; i < batch; ++i) {
        const Paragraph& paragraph = paragraphs[order[i]];
        lengths.push_back(static_cast<std::int64_t>(paragraph.size()));
        std::int64_t* id_row = ids.data() + i * longest;
        for (std::size_t k = 0; k < paragraph.size(); ++k) id_row[k] = unit_id(impl, paragraph[k]);
        compute_unit_features_into(impl, paragraph, features.data() + i * row_features);
    }

    // One guard for the batch; the network runs over groups of kLockstep
    // consecutive (sorted) rows, each packed, so that its buffers stay in cache.
    // Sequences never interact, so the grouping changes no label.
    results.resize(batch);
    {
        c10::InferenceMode guard;
        Workspace work;
        std::vector<std::int64_t> labels(kLockstep * longest);
        for (std::size_t first = 0; first < batch; first += kLockstep) {
            const std::size_t count = std::min(kLockstep, batch - first);
            const NetworkBatch job{ids.data() + first * longest, features.data() + first * row_features,
                                   static_cast<std::int64_t>(count), lengths[first],
                                   static_cast<std::int64_t>(longest), lengths.data() + first, labels.data()};
            run_network(impl, job, work);
            for (std::size_t i = 0; i < count; ++i) {
                const auto length = static_cast<std::size_t>(lengths[first + i]);
                results[order[first + i]].assign(labels.data() + i * longest, labels.data() + i * longest + length);
            }
        }
    }
    for (std::size_t i = 0; i < batch; ++i) {
        const std::size_t position = order[i];
        Labels& slot = results[position];
        apply_final_label_rule(slot);
        mask_emails_and_urls(paragraphs[position], slot);
    }
    return results;
}

void flush_paragraph_queue(const TokenizerPlan::Impl& impl,
                           std::vector<std::reference_wrapper<const Paragraph>>& queue,
                           std::vector<std::size_t>& destinations, std::vector<Labels>& results) {
    if (queue.empty()) return;
    std::vector<Labels> labels = label_paragraphs(impl, queue);
    for (std::size_t i = 0; i < labels.size(); ++i) results[destinations[i]] = std::move(labels[i]);
    queue.clear();
    destinations.clear();
}

}  // namespace quelbin::detail
