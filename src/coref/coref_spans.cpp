// Span prediction for every clustered head word over its sentence, and the
// zero-anaphora decision for all head words at once.
#include <ATen/ops/cat.h>
#include <ATen/ops/conv1d.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "coref/coref_impl.hpp"
#include "kernels/parallel_tasks.hpp"

namespace quelbin::detail {
namespace {

const char* const kPredictorShape = "coref span or zero predictor has an unsupported shape or dtype";

at::Tensor linear_of(const CorefPlan::Impl& impl, const at::Tensor& x, const std::string& layer) {
    return at::linear(x, require_coref_tensor(impl, layer + ".weight"), require_coref_tensor(impl, layer + ".bias"));
}

// Float32 contiguous scores of `count` values, or the predictor error.
at::Tensor checked_scores(const at::Tensor& scores, std::int64_t count) {
    if (scores.scalar_type() != at::kFloat || scores.numel() != count) throw CorefModelError(kPredictorShape);
    return scores.contiguous();
}

// The first span layer split by the blocks of its input (repeated head,
// sentence word, relative position): each block's term is computed once per
// word or position. Weights of other widths keep the plain product, which
// then raises the tensor library's error.
struct SpanLayer {
    bool split = false;
    at::Tensor head_rows;      // [n, O]
    at::Tensor word_rows;      // [n, O]
    at::Tensor position_rows;  // [positions, O], plus the bias
};

SpanLayer split_span_layer(const CorefPlan::Impl& impl, const at::Tensor& features) {
    SpanLayer layer;
    const at::Tensor& weight = require_coref_tensor(impl, "sp.ffnn.0.weight");
    const at::Tensor& bias = require_coref_tensor(impl, "sp.ffnn.0.bias");
    const at::Tensor& embedding = require_coref_tensor(impl, "sp.emb.weight");
    const std::int64_t hidden = features.size(1);
    // The loader has checked that these are float32; positions run to 127.
    if (weight.dim() != 2 || embedding.dim() != 2 || embedding.size(0) < 128 || bias.dim() != 1 ||
        bias.size(0) != weight.size(0) ||
        weight.size(1) != 2 * hidden + embedding.size(1)) {
        return layer;
    }
    layer.head_rows = coref_row_products(features, weight.narrow(1, 0, hidden).t());
    layer.word_rows = coref_row_products(features, weight.narrow(1, hidden, hidden).t());
    run_tasks(1, [&](std::size_t) {
        layer.position_rows = at::linear(embedding, weight.narrow(1, 2 * hidden, embedding.size(1)), bias).contiguous();
    });
    layer.split = true;
    return layer;
}

// The spans of heads that share one sentence, all in one batch: row j of
// each product belongs to head j, so each head sees only its own sentence.
std::vector<std::pair<std::size_t, std::size_t>> predict_sentence_spans(const CorefPlan::Impl& impl,
                                                                        const at::Tensor& features,
                                                                        const SpanLayer& span_layer,
                                                                        const std::vector<std::size_t>& heads,
                                                                        const std::vector<std::size_t>& sentence) {
    const auto count = static_cast<std::int64_t>(heads.size());
    const auto length = static_cast<std::int64_t>(sentence.size());
    const std::int64_t hidden = features.size(1);
    std::vector<std::int64_t> head_rows(heads.begin(), heads.end());
    std::vector<std::int64_t> word_rows(sentence.begin(), sentence.end());
    std::vector<std::int64_t> positions;
    positions.reserve(heads.size() * sentence.size());
    for (const std::size_t head : heads) {
        for (const std::size_t word : sentence) {
            const std::int64_t d = static_cast<std::int64_t>(head) - static_cast<std::int64_t>(word);
            positions.push_back(d >= -63 && d <= 63 ? d + 63 : 127);
        }
    }
    at::Tensor x;
    if (span_layer.split) {
        const std::int64_t outputs = span_layer.head_rows.size(1);
        x = at::empty({count, length, outputs}, features.options());
        float* out = x.data_ptr<float>();
        const float* head_term = span_layer.head_rows.data_ptr<float>();
        const float* word_term = span_layer.word_rows.data_ptr<float>();
        const float* position_term = span_layer.position_rows.data_ptr<float>();
        std::size_t pair = 0;
        for (std::int64_t j = 0; j < count; ++j) {
            for (std::int64_t l = 0; l < length; ++l, ++pair) {
                float* row = out + static_cast<std::int64_t>(pair) * outputs;
                const float* a1 = head_term + head_rows[static_cast<std::size_t>(j)] * outputs;
                const float* a2 = word_term + word_rows[static_cast<std::size_t>(l)] * outputs;
                const float* a3 = position_term + positions[pair] * outputs;
                for (std::int64_t o = 0; o < outputs; ++o) row[o] = std::max(a1[o] + a2[o] + a3[o], 0.0f);
            }
        }
    } else {
        const at::Tensor repeated = at::index_select(features, 0, make_coref_index_tensor(head_rows.data(), {count}))
                                        .unsqueeze(1)
                                        .expand({count, length, hidden});
        const at::Tensor words = at::index_select(features, 0, make_coref_index_tensor(word_rows.data(), {length}))
                                     .unsqueeze(0)
                                     .expand({count, length, hidden});
        const at::Tensor& embedding = require_coref_tensor(impl, "sp.emb.weight");
        const at::Tensor relative =
            at::index_select(embedding, 0, make_coref_index_tensor(positions.data(), {count * length}))
                .reshape({count, length, embedding.size(1)});
        x = at::relu(linear_of(impl, at::cat({repeated, words, relative}, 2), "sp.ffnn.0"));
    }
    x = at::relu(linear_of(impl, x, "sp.ffnn.3"));
    x = linear_of(impl, x, "sp.ffnn.6").transpose(1, 2);
    x = at::conv1d(x, require_coref_tensor(impl, "sp.conv.0.weight"), require_coref_tensor(impl, "sp.conv.0.bias"), 1, 1);
    x = at::conv1d(x, require_coref_tensor(impl, "sp.conv.1.weight"), require_coref_tensor(impl, "sp.conv.1.bias"), 1, 1);
    const at::Tensor scores = checked_scores(x.transpose(1, 2), 2 * count * length);
    const float* data = scores.data_ptr<float>();
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (std::int64_t j = 0; j < count; ++j) {
        spans.push_back(choose_coref_span(heads[static_cast<std::size_t>(j)], sentence, data + 2 * j * length));
    }
    return spans;
}

}  // namespace

std::pair<std::size_t, std::size_t> choose_coref_span(std::size_t head, const std::vector<std::size_t>& sentence,
                                                      const float* scores) {
    std::size_t start = head;
    std::size_t end = head + 1;
    float best_start = -std::numeric_limits<float>::infinity();
    float best_end = best_start;
    for (std::size_t k = 0; k < sentence.size(); ++k) {
        const std::size_t i = sentence[k];
        if (i <= head && scores[2 * k] > best_start) {
            start = i;
            best_start = scores[2 * k];
        }
        if (i >= head && scores[2 * k + 1] > best_end) {
            end = i + 1;
            best_end = scores[2 * k + 1];
        }
    }
    return {start, end};
}

void predict_coref_spans(const CorefPlan::Impl& impl, const at::Tensor& features,
                         const std::vector<std::size_t>& sentence_ids, CorefPrediction& prediction) {
    const std::size_t clusters = prediction.word_clusters.size();
    prediction.span_clusters.assign(clusters, {});
    prediction.zero_words.assign(clusters, {});
    std::vector<std::size_t> heads;
    for (const auto& cluster : prediction.word_clusters) heads.insert(heads.end(), cluster.begin(), cluster.end());
    if (heads.empty()) return;

    // Each sentence's words in ascending order, gathered once, and the
    // positions in `heads` of each sentence's heads.
    std::unordered_map<std::size_t, std::vector<std::size_t>> sentences;
    for (std::size_t i = 0; i < sentence_ids.size(); ++i) sentences[sentence_ids[i]].push_back(i);
    std::vector<std::size_t> order;
    std::unordered_map<std::size_t, std::vector<std::size_t>> heads_of;
    for (std::size_t h = 0; h < heads.size(); ++h) {
        auto& members = heads_of[sentence_ids[heads[h]]];
        if (members.empty()) order.push_back(sentence_ids[heads[h]]);
        members.push_back(h);
    }

    // The heads of one sentence in one batch; groups of sentences run as tasks.
    const SpanLayer span_layer = split_span_layer(impl, features);
    std::vector<std::pair<std::size_t, std::size_t>> spans(heads.size());
    const std::vector<std::size_t> bounds = group_by_weight(order.size(), 4096, [&](std::size_t t) {
        return heads_of[order[t]].size() * sentences[order[t]].size() + 64;
    });
    run_tasks(bounds.size() - 1, [&](std::size_t group) {
        for (std::size_t t = bounds[group]; t < bounds[group + 1]; ++t) {
            const std::vector<std::size_t>& members = heads_of.at(order[t]);
            std::vector<std::size_t> words;
            for (const std::size_t h : members) words.push_back(heads[h]);
            const auto found = predict_sentence_spans(impl, features, span_layer, words, sentences.at(order[t]));
            for (std::size_t j = 0; j < members.size(); ++j) spans[members[j]] = found[j];
        }
    });
    std::size_t next = 0;
    for (std::size_t c = 0; c < clusters; ++c) {
        for (std::size_t j = 0; j < prediction.word_clusters[c].size(); ++j) prediction.span_clusters[c].push_back(spans[next++]);
    }

    if (!impl.use_zeros) return;
    std::vector<std::int64_t> rows(heads.begin(), heads.end());
    const auto count = static_cast<std::int64_t>(rows.size());
    at::Tensor scores;
    run_tasks(1, [&](std::size_t) {
        const at::Tensor selected = at::index_select(features, 0, make_coref_index_tensor(rows.data(), {count}));
        scores = checked_scores(linear_of(impl, at::relu(linear_of(impl, selected, "zeros_predictor.0")),
                                          "zeros_predictor.2")
                                    .squeeze(-1),
                                count);
    });
    const float* score = scores.data_ptr<float>();
    next = 0;
    for (std::size_t c = 0; c < clusters; ++c) {
        for (std::size_t w : prediction.word_clusters[c]) {
            if (score[next++] > 0.0f) prediction.zero_words[c].push_back(w);
        }
    }
}

}  // namespace quelbin::detail
