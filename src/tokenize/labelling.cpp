#include "tokenize/labelling.hpp"

#include "tokenize/bilstm.hpp"
#include "tokenize/features.hpp"

#include <quelbin/errors.hpp>

#include <ATen/core/Tensor.h>
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
#include <numeric>

namespace quelbin::detail {
namespace {

at::Tensor borrow(float* data, at::IntArrayRef sizes) {
    return at::from_blob(data, sizes, at::detail::noopDelete, at::TensorOptions().dtype(at::kFloat));
}

at::Tensor borrow(std::int64_t* data, at::IntArrayRef sizes) {
    return at::from_blob(data, sizes, at::detail::noopDelete, at::TensorOptions().dtype(at::kLong));
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

// The network over ids [B, T] and features [B, T, feat_dim]: arg-max labels [B, T].
at::Tensor run_network(const TokenizerPlan::Impl& impl, const at::Tensor& ids, const at::Tensor& features,
                       const std::vector<at::Tensor>& state, const std::int64_t* lengths) {
    at::Tensor h1;
    if (impl.rnn_embedding_projection.defined()) {
        // The first BiLSTM's input projection as table rows plus the features' share.
        const std::int64_t batch = ids.size(0);
        const std::int64_t steps = ids.size(1);
        at::Tensor projection = at::index_select(impl.rnn_embedding_projection, 0, ids.reshape({batch * steps}));
        if (impl.feat_dim > 0) {
            projection.addmm_(features.reshape({batch * steps, impl.feat_dim}), impl.rnn_feature_weight.t());
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
    std::vector<Labels> results(paragraphs.size());
    const std::int64_t feat_dim = impl.feat_dim;
    const auto row_width = static_cast<std::size_t>(std::max<std::int64_t>(feat_dim, 0));
    std::vector<WindowedParagraph> active;
    active.reserve(kLockstep);
    std::vector<std::int64_t> ids;
    std::vector<float> features;
    std::vector<std::int64_t> lengths;
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
        at::Tensor labels;
        {
            c10::InferenceMode guard;
            const auto b = static_cast<std::int64_t>(batch);
            const auto t = static_cast<std::int64_t>(longest);
            const at::Tensor id_view = borrow(ids.data(), {b, t});
            const at::Tensor feature_view = borrow(features.data(), {b, t, feat_dim});
            const std::vector<at::Tensor> state =
                batch == 1 ? impl.initial_state
                           : std::vector<at::Tensor>{impl.initial_state[0].expand({2, b, impl.hidden_dim}).contiguous(),
                                                     impl.initial_state[1].expand({2, b, impl.hidden_dim}).contiguous()};
            labels = run_network(impl, id_view, feature_view, state, lengths.data()).contiguous();
        }

        // Keep each window's labels up to its last sentence end when the
        // paragraph goes on; the rest is labelled again in the next window.
        const std::int64_t* values = labels.const_data_ptr<std::int64_t>();
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
    // consecutive (sorted) rows, each packed, so that its tensors stay in cache.
    // Sequences never interact, so the grouping changes no label.
    results.resize(batch);
    {
        c10::InferenceMode guard;
        const auto t = static_cast<std::int64_t>(longest);
        for (std::size_t first = 0; first < batch; first += kLockstep) {
            const std::size_t count = std::min(kLockstep, batch - first);
            const auto b = static_cast<std::int64_t>(count);
            const std::int64_t width = lengths[first];
            const at::Tensor id_view = at::from_blob(ids.data() + first * longest, {b, width}, {t, 1},
                                                     at::detail::noopDelete, at::TensorOptions().dtype(at::kLong));
            const at::Tensor feature_view =
                at::from_blob(features.data() + first * row_features, {b, width, feat_dim},
                              {t * feat_dim, feat_dim, 1}, at::detail::noopDelete,
                              at::TensorOptions().dtype(at::kFloat));
            const std::vector<at::Tensor> state = {
                impl.initial_state[0].expand({2, b, impl.hidden_dim}).contiguous(),
                impl.initial_state[1].expand({2, b, impl.hidden_dim}).contiguous()};
            const at::Tensor labels =
                run_network(impl, id_view, feature_view, state, lengths.data() + first).contiguous();
            const std::int64_t* values = labels.const_data_ptr<std::int64_t>();
            for (std::size_t i = 0; i < count; ++i) {
                const auto length = static_cast<std::size_t>(lengths[first + i]);
                results[order[first + i]].assign(values + i * width, values + i * width + length);
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
