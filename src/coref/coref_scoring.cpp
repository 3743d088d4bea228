// Antecedent scoring and clustering: a bilinear rough score over all earlier
// words keeps each word's best candidates, a feed-forward scorer rates those
// pairs with distance (and speaker) features against a fixed no-antecedent
// score, and the chosen links are grouped into clusters.
#include <ATen/ops/add.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/full.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/leaky_relu.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/mm.h>
#include <ATen/ops/mul.h>
#include <ATen/ops/topk.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "coref/coref_impl.hpp"
#include "kernels/parallel_tasks.hpp"

namespace quelbin::detail {
namespace {

constexpr float kNoAntecedentScore = 1e-7f;

struct CorefDecisions {
    std::vector<std::int64_t> antecedents;  // a word index or -1, per word
    std::vector<char> mention_flags;        // per word, with singletons only
};

// The first layer of the anaphoricity scorer split by the blocks of its pair
// input (anaphor, antecedent, product, speaker, distance): the antecedent,
// speaker and distance terms are computed once per word or table row instead
// of once per pair. Weights of other widths or types keep the plain product,
// which then raises the tensor library's error.
struct PairLayer {
    bool split = false;
    at::Tensor anaphor_weight;     // [O, H]
    at::Tensor product_weight;     // [O, H]
    at::Tensor antecedent_rows;    // [n, O]: each word's antecedent term
    at::Tensor distance_rows;      // [9, O]: each bucket's term plus the bias
    at::Tensor speaker_rows;       // [2, O], with pairwise speaker features
};

PairLayer split_pair_layer(const CorefPlan::Impl& impl, const at::Tensor& features) {
    PairLayer layer;
    const std::string name = impl.n_hidden_layers > 0 ? "a_scorer.hidden.0" : "a_scorer.out";
    const at::Tensor& weight = require_coref_tensor(impl, name + ".weight");
    const at::Tensor& bias = require_coref_tensor(impl, name + ".bias");
    const at::Tensor& distance = require_coref_tensor(impl, "pw.distance_emb.weight");
    const at::Tensor* speaker = impl.full_pairwise ? &require_coref_tensor(impl, "pw.speaker_emb.weight") : nullptr;
    const std::int64_t hidden = features.size(1);
    const auto is_float_matrix = [](const at::Tensor& t) { return t.dim() == 2 && t.scalar_type() == at::kFloat; };
    // Speaker ids run to 1 (bucket ids to 8, which the loader has checked).
    if (!is_float_matrix(weight) || !is_float_matrix(distance) ||
        (speaker != nullptr && (!is_float_matrix(*speaker) || speaker->size(0) < 2)) ||
        bias.dim() != 1 || bias.scalar_type() != at::kFloat || bias.size(0) != weight.size(0) ||
        (impl.n_hidden_layers == 0 && weight.size(0) != 1)) {
        return layer;
    }
    const std::int64_t speaker_width = speaker != nullptr ? speaker->size(1) : 0;
    if (weight.size(1) != 3 * hidden + speaker_width + distance.size(1)) return layer;

    layer.anaphor_weight = weight.narrow(1, 0, hidden);
    layer.product_weight = weight.narrow(1, 2 * hidden, hidden);
    layer.antecedent_rows = coref_row_products(features, weight.narrow(1, hidden, hidden).t());
    run_tasks(1, [&](std::size_t) {
        layer.distance_rows =
            at::linear(distance, weight.narrow(1, 3 * hidden + speaker_width, distance.size(1)), bias).contiguous();
        if (speaker != nullptr) {
            layer.speaker_rows = at::matmul(*speaker, weight.narrow(1, 3 * hidden, speaker_width).t()).contiguous();
        }
    });
    layer.split = true;
    return layer;
}

// Rough candidates and fine scores of the anaphors [s, e); writes their
// antecedents (and flags) into `decisions`.
void score_coref_batch(const CorefPlan::Impl& impl, const at::Tensor& features, const std::vector<std::string>& speakers,
                       const PairLayer& pair_layer, std::int64_t s, std::int64_t e, std::int64_t k,
                       CorefDecisions& decisions) {
    const std::int64_t n = features.size(0);
    const std::int64_t hidden = features.size(1);
    const std::int64_t b = e - s;
    const at::Tensor anaphors = features.narrow(0, s, b);

    // Rough scores (W F_i + bias) . F_j, with every j >= i masked out.
    const at::Tensor rough_weight = require_coref_tensor(impl, "rough_scorer.bilinear.weight");
    const at::Tensor bilinear = at::linear(anaphors, rough_weight, require_coref_tensor(impl, "rough_scorer.bilinear.bias"));
    at::Tensor rough = at::matmul(bilinear, features.t()).contiguous();
    float* rough_data = rough.data_ptr<float>();
    for (std::int64_t r = 0; r < b; ++r) {
        std::fill(rough_data + r * n + s + r, rough_data + (r + 1) * n, -std::numeric_limits<float>::infinity());
    }
    const auto [values, candidates_tensor] = at::topk(rough, k, 1, true, false);
    const at::Tensor candidates = candidates_tensor.contiguous();
    const std::int64_t* candidate = candidates.data_ptr<std::int64_t>();

    std::vector<std::int64_t> buckets(static_cast<std::size_t>(b * k));
    std::vector<std::int64_t> same_speaker(impl.full_pairwise ? buckets.size() : 0);
    for (std::int64_t r = 0; r < b; ++r) {
        for (std::int64_t j = 0; j < k; ++j) {
            const std::int64_t a = candidate[r * k + j];
            buckets[static_cast<std::size_t>(r * k + j)] = coref_distance_bucket(s + r - a);
            if (impl.full_pairwise) {
                same_speaker[static_cast<std::size_t>(r * k + j)] =
                    speakers[static_cast<std::size_t>(s + r)] == speakers[static_cast<std::size_t>(a)] ? 1 : 0;
            }
        }
    }
    const at::Tensor antecedent_rows = at::index_select(features, 0, candidates.reshape({b * k})).reshape({b, k, hidden});
    const at::Tensor anaphor_rows = anaphors.unsqueeze(1).expand({b, k, hidden});
    at::Tensor x;
    std::int64_t next_layer = 0;
    if (pair_layer.split) {
        // First layer: product term per pair, then the anaphor, antecedent,
        // distance (with the bias) and speaker terms added row by row.
        const at::Tensor anaphor_terms = at::matmul(anaphors, pair_layer.anaphor_weight.t()).contiguous();
        x = at::matmul(at::mul(anaphor_rows, antecedent_rows).reshape({b * k, hidden}), pair_layer.product_weight.t())
                .contiguous();
        const std::int64_t outputs = x.size(1);
        float* out = x.data_ptr<float>();
        const float* anaphor_term = anaphor_terms.data_ptr<float>();
        const float* antecedent_term = pair_layer.antecedent_rows.data_ptr<float>();
        const float* distance_term = pair_layer.distance_rows.data_ptr<float>();
        const float* speaker_term = impl.full_pairwise ? pair_layer.speaker_rows.data_ptr<float>() : nullptr;
        for (std::int64_t r = 0; r < b; ++r) {
            for (std::int64_t j = 0; j < k; ++j) {
                const std::size_t pair = static_cast<std::size_t>(r * k + j);
                float* row = out + static_cast<std::int64_t>(pair) * outputs;
                const float* a1 = anaphor_term + r * outputs;
                const float* a2 = antecedent_term + candidate[pair] * outputs;
                const float* a3 = distance_term + buckets[pair] * outputs;
                for (std::int64_t o = 0; o < outputs; ++o) row[o] += a1[o] + a2[o] + a3[o];
                if (speaker_term != nullptr) {
                    const float* a4 = speaker_term + same_speaker[pair] * outputs;
                    for (std::int64_t o = 0; o < outputs; ++o) row[o] += a4[o];
                }
            }
        }
        x = x.reshape({b, k, outputs});
        if (impl.n_hidden_layers > 0) {
            x = at::leaky_relu(x, 0.01);
            next_layer = 1;
        }
    } else {
        at::Tensor pairwise = at::embedding(require_coref_tensor(impl, "pw.distance_emb.weight"),
                                            make_coref_index_tensor(buckets.data(), {b, k}));
        if (impl.full_pairwise) {
            const at::Tensor speaker = at::embedding(require_coref_tensor(impl, "pw.speaker_emb.weight"),
                                                     make_coref_index_tensor(same_speaker.data(), {b, k}));
            pairwise = at::cat({speaker, pairwise}, 2);
        }
        x = at::cat({anaphor_rows, antecedent_rows, at::mul(anaphor_rows, antecedent_rows), pairwise}, 2);
    }
    for (std::int64_t l = next_layer; l < impl.n_hidden_layers; ++l) {
        const std::string prefix = "a_scorer.hidden." + std::to_string(3 * l);
        x = at::leaky_relu(at::linear(x, require_coref_tensor(impl, prefix + ".weight"),
                                      require_coref_tensor(impl, prefix + ".bias")),
                           0.01);
    }
    const at::Tensor fine =
        (pair_layer.split && impl.n_hidden_layers == 0
             ? x
             : at::linear(x, require_coref_tensor(impl, "a_scorer.out.weight"), require_coref_tensor(impl, "a_scorer.out.bias")))
            .squeeze(2);
    const at::Tensor none = at::full({b, 1}, kNoAntecedentScore, fine.options());
    const at::Tensor totals = at::add(fine, values);

    at::Tensor best;
    if (impl.singletons) {
        const at::Tensor start_map = require_coref_tensor(impl, "a_scorer.start_map.weight").narrow(1, 0, k);
        const at::Tensor scores = at::cat({at::matmul(fine, start_map.t()), none, totals}, 1);
        best = at::argmax(scores.narrow(1, 1, k + 1), 1).contiguous();
        const at::Tensor flags = at::argmax(scores.narrow(1, 0, 2), 1).contiguous();
        const std::int64_t* flag = flags.data_ptr<std::int64_t>();
        for (std::int64_t r = 0; r < b; ++r) decisions.mention_flags[static_cast<std::size_t>(s + r)] = flag[r] == 0;
    } else {
        best = at::argmax(at::cat({none, totals}, 1), 1).contiguous();
    }
    const std::int64_t* column = best.data_ptr<std::int64_t>();
    for (std::int64_t r = 0; r < b; ++r) {
        const std::int64_t j = column[r] - 1;
        decisions.antecedents[static_cast<std::size_t>(s + r)] = j < 0 ? -1 : candidate[r * k + j];
    }
}

}  // namespace

at::Tensor coref_row_products(const at::Tensor& rows, const at::Tensor& right) {
    at::Tensor result = at::empty({rows.size(0), right.size(1)}, rows.options());
    const std::vector<std::size_t> bounds =
        group_by_weight(static_cast<std::size_t>(rows.size(0)), 64, [](std::size_t) { return 1; });
    run_tasks(bounds.size() - 1, [&](std::size_t group) {
        const auto first = static_cast<std::int64_t>(bounds[group]);
        const auto count = static_cast<std::int64_t>(bounds[group + 1]) - first;
        at::Tensor slice = result.narrow(0, first, count);
        at::mm_out(slice, rows.narrow(0, first, count), right);
    });
    return result;
}

std::int64_t coref_distance_bucket(std::int64_t distance) {
    const std::int64_t d = std::max<std::int64_t>(distance, 1);
    if (d < 5) return d - 1;
    return std::min<std::int64_t>(static_cast<std::int64_t>(std::floor(std::log2(static_cast<double>(d)))), 6) + 2;
}

std::vector<std::vector<std::size_t>> build_coref_clusters(const std::vector<std::int64_t>& antecedents,
                                                           const std::vector<char>& mention_flags) {
    const std::size_t n = antecedents.size();
    std::vector<std::vector<std::size_t>> links(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (antecedents[i] < 0) continue;
        const auto j = static_cast<std::size_t>(antecedents[i]);
        links[i].push_back(j);
        links[j].push_back(i);
    }
    std::vector<char> visited(n, 0);
    std::vector<std::vector<std::size_t>> clusters;
    std::vector<std::size_t> stack;
    for (std::size_t u = 0; u < n; ++u) {
        if (links[u].empty() || visited[u]) continue;
        std::vector<std::size_t> component;
        stack.assign(1, u);
        while (!stack.empty()) {
            const std::size_t w = stack.back();
            stack.pop_back();
            if (visited[w]) continue;
            visited[w] = 1;
            component.push_back(w);
            stack.insert(stack.end(), links[w].begin(), links[w].end());
        }
        std::sort(component.begin(), component.end());
        component.erase(std::unique(component.begin(), component.end()), component.end());
        clusters.push_back(std::move(component));
    }
    for (std::size_t i = 0; i < mention_flags.size() && i < n; ++i) {
        if (mention_flags[i] && !visited[i]) clusters.push_back({i});
    }
    std::sort(clusters.begin(), clusters.end());
    return clusters;
}

std::vector<std::vector<std::size_t>> score_coref_clusters(const CorefPlan::Impl& impl, const at::Tensor& features,
                                                           const std::vector<std::string>& speakers) {
    const std::int64_t n = features.size(0);
    const std::int64_t k = std::min(n, impl.rough_k);
    // Anaphors in batches of at most a_scoring_batch_size, and at most 64 so
    // that a batch's pair rows stay in cache; rows do not depend on each other.
    const std::int64_t batch = std::min<std::int64_t>(impl.a_scoring_batch_size, 64);
    const PairLayer pair_layer = split_pair_layer(impl, features);
    CorefDecisions decisions;
    decisions.antecedents.assign(static_cast<std::size_t>(n), -1);
    decisions.mention_flags.assign(impl.singletons ? static_cast<std::size_t>(n) : 0, 0);

    // Anaphor batches are independent: groups of them run as tasks, chosen by
    // the input alone.
    const auto batches = static_cast<std::size_t>((n + batch - 1) / batch);
    const std::vector<std::size_t> bounds = group_by_weight(batches, std::size_t{1} << 20, [&](std::size_t t) {
        const std::int64_t rows = std::min(batch, n - static_cast<std::int64_t>(t) * batch);
        return static_cast<std::size_t>(rows * (n + 4 * k) * features.size(1));
    });
    run_tasks(bounds.size() - 1, [&](std::size_t group) {
        for (std::size_t t = bounds[group]; t < bounds[group + 1]; ++t) {
            const std::int64_t s = static_cast<std::int64_t>(t) * batch;
            score_coref_batch(impl, features, speakers, pair_layer, s, std::min(s + batch, n), k, decisions);
        }
    });
    return build_coref_clusters(decisions.antecedents, decisions.mention_flags);
}

}  // namespace quelbin::detail
