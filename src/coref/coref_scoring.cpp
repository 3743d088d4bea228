// Antecedent scoring and clustering: a bilinear rough score over all earlier
// words keeps each word's best candidates, a feed-forward scorer rates those
// pairs with distance (and speaker) features against a fixed no-antecedent
// score, and the chosen links are grouped into clusters.
#include <ATen/ops/add.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/full.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/leaky_relu.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
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

// Rough candidates and fine scores of the anaphors [s, e); writes their
// antecedents (and flags) into `decisions`.
void score_coref_batch(const CorefPlan::Impl& impl, const at::Tensor& features, const std::vector<std::string>& speakers,
                       std::int64_t s, std::int64_t e, std::int64_t k, CorefDecisions& decisions) {
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
    at::Tensor pairwise = at::embedding(require_coref_tensor(impl, "pw.distance_emb.weight"),
                                        make_coref_index_tensor(buckets.data(), {b, k}));
    if (impl.full_pairwise) {
        const at::Tensor speaker = at::embedding(require_coref_tensor(impl, "pw.speaker_emb.weight"),
                                                 make_coref_index_tensor(same_speaker.data(), {b, k}));
        pairwise = at::cat({speaker, pairwise}, 2);
    }

    const at::Tensor antecedent_rows = at::index_select(features, 0, candidates.reshape({b * k})).reshape({b, k, hidden});
    const at::Tensor anaphor_rows = anaphors.unsqueeze(1).expand({b, k, hidden});
    at::Tensor x = at::cat({anaphor_rows, antecedent_rows, at::mul(anaphor_rows, antecedent_rows), pairwise}, 2);
    for (std::int64_t l = 0; l < impl.n_hidden_layers; ++l) {
        const std::string prefix = "a_scorer.hidden." + std::to_string(3 * l);
        x = at::leaky_relu(at::linear(x, require_coref_tensor(impl, prefix + ".weight"),
                                      require_coref_tensor(impl, prefix + ".bias")),
                           0.01);
    }
    const at::Tensor fine =
        at::linear(x, require_coref_tensor(impl, "a_scorer.out.weight"), require_coref_tensor(impl, "a_scorer.out.bias"))
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
    const std::int64_t batch = impl.a_scoring_batch_size;
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
            score_coref_batch(impl, features, speakers, s, std::min(s + batch, n), k, decisions);
        }
    });
    return build_coref_clusters(decisions.antecedents, decisions.mention_flags);
}

}  // namespace quelbin::detail
