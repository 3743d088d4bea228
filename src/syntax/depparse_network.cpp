// The parser's network after the input rows: the highway BiLSTM over one
// sentence or over length-sorted padded batches, and the deep biaffine arc and
// relation scores with their optional linearization and distance terms.
#include <ATen/ops/abs.h>
#include <ATen/ops/addmm.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/diagonal.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/logical_not.h>
#include <ATen/ops/mm.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sign.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/softplus.h>
#include <ATen/ops/zeros.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>
#include <utility>

#include "kernels/parallel_tasks.hpp"
#include "kernels/scratch_pool.hpp"
#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin::detail {

at::Tensor encode_sentence(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                           const at::Tensor* forward_features, const at::Tensor* backward_features) {
    const at::Tensor x = embed_words(impl, words, forward_features, backward_features)[0];
    return impl.encoder->forward(x, {x.size(0)}).unsqueeze(0);
}

DepparseBatches depparse_batches(const DepparsePlan::Impl& impl,
                                 const std::vector<std::vector<DepparseWord>>& sentences) {
    DepparseBatches batches;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        if (!sentences[i].empty()) batches.order.push_back(i);
    }
    std::stable_sort(batches.order.begin(), batches.order.end(),
                     [&](std::size_t a, std::size_t b) { return sentences[a].size() > sentences[b].size(); });
    batches.lengths.reserve(batches.order.size());
    for (const std::size_t i : batches.order) batches.lengths.push_back(static_cast<std::int64_t>(sentences[i].size()) + 1);
    // Only the padded-row budget bounds a batch.
    batches.starts =
        sentence_batches(batches.lengths, std::numeric_limits<std::int64_t>::max(), impl.batch_size);
    return batches;
}

std::vector<at::Tensor> encode_batch(const DepparsePlan::Impl& impl,
                                     const std::vector<std::vector<DepparseWord>>& sentences,
                                     const std::vector<at::Tensor>& forward_features,
                                     const std::vector<at::Tensor>& backward_features) {
    const std::vector<at::Tensor> inputs = embed_sentences(impl, sentences, forward_features, backward_features);
    const DepparseBatches batches = depparse_batches(impl, sentences);
    std::vector<at::Tensor> result(sentences.size());
    run_tasks(batches.starts.size() - 1, [&](std::size_t batch) {
        const std::size_t begin = batches.starts[batch];
        const auto k = static_cast<std::int64_t>(batches.starts[batch + 1] - begin);
        const std::vector<std::int64_t> lengths(batches.lengths.begin() + static_cast<std::ptrdiff_t>(begin),
                                                batches.lengths.begin() + static_cast<std::ptrdiff_t>(begin) + k);
        // The members' rows one after another: the recurrence never runs
        // over padding.
        std::vector<at::Tensor> rows;
        rows.reserve(static_cast<std::size_t>(k));
        for (std::int64_t m = 0; m < k; ++m) rows.push_back(inputs[batches.order[begin + m]]);
        const at::Tensor encoded = impl.encoder->forward(at::cat(rows, 0), lengths);
        std::int64_t offset = 0;
        for (std::int64_t m = 0; m < k; ++m) {
            result[batches.order[begin + m]] = encoded.narrow(0, offset, lengths[m]).unsqueeze(0).contiguous();
            offset += lengths[m];
        }
    });
    return result;
}

namespace {

// Rows of the first bilinear product multiplied at once.
constexpr std::int64_t kBiaffineRows = 256;
// Heads whose relation products are multiplied at once, about: the relation
// weight is large, and fewer rows per pass spend more of it repacking.
constexpr std::int64_t kRelationHeads = 512;

// Groups of whole sentences of about kBiaffineRows rows, as member indices
// [0, ..., B], from the members' row offsets [0, ..., N]. They depend on the
// lengths alone.
std::vector<std::int64_t> biaffine_groups(const std::vector<std::int64_t>& offsets) {
    const auto B = static_cast<std::int64_t>(offsets.size()) - 1;
    std::vector<std::int64_t> groups{0};
    for (std::int64_t b = 1; b <= B; ++b) {
        if (b == B || offsets[b + 1] - offsets[groups.back()] > kBiaffineRows) groups.push_back(b);
    }
    return groups;
}

// Rows of the widest group.
std::int64_t widest_group(const std::vector<std::int64_t>& offsets, const std::vector<std::int64_t>& groups) {
    std::int64_t widest = 0;
    for (std::size_t g = 0; g + 1 < groups.size(); ++g) {
        widest = std::max(widest, offsets[groups[g + 1]] - offsets[groups[g]]);
    }
    return widest;
}

std::vector<std::int64_t> row_offsets(const std::vector<std::int64_t>& lengths) {
    std::vector<std::int64_t> offsets(lengths.size() + 1, 0);
    for (std::size_t b = 0; b < lengths.size(); ++b) offsets[b + 1] = offsets[b] + lengths[b];
    return offsets;
}

at::Tensor with_ones(const at::Tensor& side, Workspace* workspace = nullptr) {
    const std::int64_t width = side.size(1);
    at::Tensor out = take_or_empty(workspace, {side.size(0), width + 1});
    out.narrow(1, 0, width).copy_(side);
    out.select(1, width).fill_(1.0f);
    return out;
}

// One side of scorer `prefix` over `rows`: relu(W x + b) with a column of ones.
at::Tensor scorer_side(const DepparsePlan::Impl& impl, const at::Tensor& rows, const std::string& prefix,
                       const char* side) {
    return with_ones(at::relu(at::linear(rows, require_depparse_tensor(impl, prefix + side + ".weight"),
                                         require_depparse_tensor(impl, prefix + side + ".bias"))));
}

// Every side but the relation scorer's head side over `rows`, [N, sum of D],
// in one product.
at::Tensor scorer_sides(const DepparsePlan::Impl& impl, const at::Tensor& rows, Workspace* workspace) {
    at::Tensor sides = take_or_empty(workspace, {rows.size(0), impl.side_weight.size(0)});
    return at::addmm_out(sides, impl.side_bias, rows, impl.side_weight.t()).relu_();
}

// Side `key` ("unlabeled.W1", ...) out of scorer_sides, with a column of ones.
at::Tensor side_of(const DepparsePlan::Impl& impl, const at::Tensor& sides, const std::string& key,
                   Workspace* workspace) {
    const std::int64_t width = require_depparse_tensor(impl, key + ".weight").size(0);
    return with_ones(sides.narrow(1, impl.side_column.at(key), width), workspace);
}

// Scorer `name` over B sentences packed one after another, its sides h1 and
// h2 [N, D + 1] over their rows (lengths theirs, the longest n): [B, n, n, O],
// rows dependents, zero past a sentence's length.
at::Tensor packed_biaffine(const DepparsePlan::Impl& impl, const at::Tensor& h1, const at::Tensor& h2,
                           const std::vector<std::int64_t>& lengths, std::int64_t n, std::string_view name,
                           Workspace* workspace = nullptr) {
    const std::string prefix(name);
    const auto B = static_cast<std::int64_t>(lengths.size());
    const at::Tensor& W = require_depparse_tensor(impl, prefix + ".scorer.W_bilin.weight");
    const std::int64_t I1 = W.size(0);
    const std::int64_t I2 = W.size(1);
    const std::int64_t O = W.size(2);
    // t[i, q, o] = sum_p h1[i, p] W[p, q, o], then for every dependent i,
    // s[i, j, o] = sum_q h2[j, q] t[i, q, o]. The first product runs over
    // groups of whole sentences: one sentence at a time would spend most of
    // its time repacking W, and all rows at once would hold N x (I2 O)
    // floats, hundreds of megabytes for the relation scorer.
    const at::Tensor flat = W.reshape({I1, I2 * O});
    const std::vector<std::int64_t> offsets = row_offsets(lengths);
    const std::vector<std::int64_t> groups = biaffine_groups(offsets);
    // One buffer for every group: fresh pages for each would cost a fault per page.
    at::Tensor buffer = take_or_empty(workspace, {widest_group(offsets, groups), I2 * O});
    const bool full = std::all_of(lengths.begin(), lengths.end(), [n](std::int64_t m) { return m == n; });
    at::Tensor scores = take_or_empty(workspace, {B, n, n, O});
    if (!full) scores.zero_();
    for (std::size_t g = 0; g + 1 < groups.size(); ++g) {
        const std::int64_t first = offsets[groups[g]];
        at::Tensor t = buffer.narrow(0, 0, offsets[groups[g + 1]] - first);
        at::mm_out(t, h1.narrow(0, first, t.size(0)), flat);
        for (std::int64_t b = groups[g]; b < groups[g + 1]; ++b) {
            const std::int64_t m = lengths[b];
            const at::Tensor tb = t.narrow(0, offsets[b] - first, m);
            const at::Tensor heads = h2.narrow(0, offsets[b], m);
            at::Tensor entry = scores[b];
            if (m < n) entry = entry.narrow(0, 0, m).narrow(1, 0, m);
            if (O == 1 && m == n) {
                // s[i, j] = (t h2^T)[i, j], straight into the scores.
                at::Tensor out = entry.squeeze(2);
                at::mm_out(out, tb, heads.t());
            } else if (O == 1) {
                entry.copy_(at::mm(tb, heads.t()).unsqueeze(2));
            } else if (m == n) {
                at::bmm_out(entry, heads.unsqueeze(0).expand({m, m, I2}), tb.view({m, I2, O}));
            } else {
                entry.copy_(at::bmm(heads.unsqueeze(0).expand({m, m, I2}), tb.view({m, I2, O})));
            }
        }
    }
    return scores.add_(require_depparse_tensor(impl, prefix + ".scorer.W_bilin.bias"));
}

// Arc log-probabilities [B, n, n] from the scorers' sides over packed rows
// (scorer_sides); mask [B, n] true at real positions, or null when every
// sentence is n long.
at::Tensor packed_arcs(const DepparsePlan::Impl& impl, const at::Tensor& sides, const std::vector<std::int64_t>& lengths,
                       std::int64_t n, const at::Tensor* mask, Workspace* workspace) {
    const auto scorer = [&](const char* name) {
        const std::string prefix(name);
        return packed_biaffine(impl, side_of(impl, sides, prefix + ".W1", workspace),
                               side_of(impl, sides, prefix + ".W2", workspace), lengths, n, name, workspace)
            .squeeze(3);
    };
    at::Tensor arc = scorer("unlabeled");
    at::Tensor offset;  // head minus dependent, [1, n, n], only for the terms that read it
    if (impl.linearization || impl.distance) {
        const at::Tensor range = at::arange(n, at::TensorOptions().dtype(at::kLong));
        offset = range.view({1, 1, n}).sub(range.view({1, n, 1}));
    }
    if (impl.linearization) {
        const at::Tensor lin = scorer("linearization");
        arc = arc.add(at::log_sigmoid(lin.mul(at::sign(offset).to(at::kFloat))));
    }
    if (impl.distance) {
        const at::Tensor d = scorer("distance");
        const at::Tensor predicted = at::softplus(d, 1, 20).add(1);
        arc = arc.sub(at::log(at::abs(offset).to(at::kFloat).sub(predicted).pow(2).div(2).add(1)));
    }
    // No position heads itself: the diagonal of every member, without an n x n mask.
    arc.diagonal(0, 1, 2).fill_(-std::numeric_limits<float>::infinity());
    if (mask != nullptr) arc.masked_fill_(at::logical_not(*mask).unsqueeze(1), -std::numeric_limits<float>::infinity());
    return at::log_softmax(arc, 2);
}

// Arc and label log-probabilities from the scorers over packed rows.
std::pair<at::Tensor, at::Tensor> packed_scores(const DepparsePlan::Impl& impl, const at::Tensor& rows,
                                                const std::vector<std::int64_t>& lengths, std::int64_t n,
                                                const at::Tensor* mask) {
    // On this thread only, so that no sum depends on the thread count.
    const SerialScope serial;
    const at::Tensor sides = scorer_sides(impl, rows, nullptr);
    at::Tensor arc = packed_arcs(impl, sides, lengths, n, mask, nullptr);
    const at::Tensor label = packed_biaffine(impl, side_of(impl, sides, "deprel.W1", nullptr),
                                             scorer_side(impl, rows, "deprel", ".W2"), lengths, n, "deprel");
    return {std::move(arc), at::log_softmax(label, 3)};
}

at::Tensor padding_mask(const std::vector<std::int64_t>& lengths) {
    const std::int64_t longest = *std::max_element(lengths.begin(), lengths.end());
    at::Tensor mask = at::zeros({static_cast<std::int64_t>(lengths.size()), longest}, at::TensorOptions().dtype(at::kBool));
    for (std::size_t m = 0; m < lengths.size(); ++m) mask[static_cast<std::int64_t>(m)].narrow(0, 0, lengths[m]).fill_(true);
    return mask;
}

// Head-side products of the relation scorer for `heads` (indices into the
// encoder's `rows`): row j is U_j[p * O + o] = sum_q W[p, q, o] h2_j[q], h2
// the head side. `out` [heads, I1 * O] receives them when given.
at::Tensor relation_head_products(const DepparsePlan::Impl& impl, const at::Tensor& rows,
                                  const std::vector<std::int64_t>& heads, at::Tensor out = at::Tensor()) {
    const at::Tensor index = at::tensor(heads, at::TensorOptions().dtype(at::kLong));
    const at::Tensor h2 = scorer_side(impl, rows.index_select(0, index), "deprel", ".W2");
    if (!out.defined()) return at::mm(h2, impl.deprel_by_head);
    return at::mm_out(out, h2, impl.deprel_by_head);
}

}  // namespace

at::Tensor deep_biaffine(const DepparsePlan::Impl& impl, const at::Tensor& encoded, std::string_view name) {
    const std::int64_t n = encoded.size(1);
    const at::Tensor rows = encoded.reshape({-1, encoded.size(2)});
    const std::string prefix(name);
    return packed_biaffine(impl, scorer_side(impl, rows, prefix, ".W1"), scorer_side(impl, rows, prefix, ".W2"),
                           std::vector<std::int64_t>(static_cast<std::size_t>(encoded.size(0)), n), n, name);
}

std::pair<at::Tensor, at::Tensor> score_sentence(const DepparsePlan::Impl& impl, const at::Tensor& encoded,
                                                 const at::Tensor* mask) {
    const std::int64_t n = encoded.size(1);
    if (mask != nullptr && (mask->dim() != 2 || mask->size(0) != encoded.size(0) || mask->size(1) != n)) {
        throw DepparseModelError("depparse padding mask does not match encoded input");
    }
    return packed_scores(impl, encoded.reshape({-1, encoded.size(2)}),
                         std::vector<std::int64_t>(static_cast<std::size_t>(encoded.size(0)), n), n, mask);
}

namespace {

// Scores one batch whose sentences are packed in `rows` one after another,
// lengths n + 1 in that order (the first the longest), and hands member m's cut
// [1, n + 1, n + 1] arc and [1, n + 1, n + 1, L] label scores to `consume`.
void score_packed_batch(const DepparsePlan::Impl& impl, const at::Tensor& rows, const std::vector<std::int64_t>& lengths,
                        c10::function_ref<void(std::size_t, at::Tensor, at::Tensor)> consume) {
    const auto k = static_cast<std::int64_t>(lengths.size());
    const at::Tensor mask = padding_mask(lengths);
    // The scorers never multiply padding.
    const auto [arc, label] = packed_scores(impl, rows, lengths, mask.size(1), &mask);
    for (std::int64_t m = 0; m < k; ++m) {
        const std::int64_t length = lengths[m];
        consume(static_cast<std::size_t>(m), arc[m].narrow(0, 0, length).narrow(1, 0, length).unsqueeze(0).contiguous(),
                label[m].narrow(0, 0, length).narrow(1, 0, length).unsqueeze(0).contiguous());
    }
}

// The relation cube of the sentence at `offset` (length rows) in a packed
// batch, filled lazily: cell (d, h) holds log_softmax(h1_d U_h + bias).
// `chosen` [J, I1 * O] holds U for the heads `heads` of its first tree
// (sentence positions); the first cell read under any other head computes all
// the rest in one product.
DepparseLabelCube relation_cube(const DepparsePlan::Impl& impl, const at::Tensor& rows, const at::Tensor& dependents,
                                std::int64_t offset, std::int64_t length, const std::vector<std::int64_t>& heads,
                                const at::Tensor& chosen) {
    const at::Tensor bias = require_depparse_tensor(impl, "deprel.scorer.W_bilin.bias").contiguous();
    const std::int64_t O = bias.size(0);
    const std::int64_t I1 = dependents.size(1);
    std::vector<at::Tensor> by_head(static_cast<std::size_t>(length));
    for (std::size_t j = 0; j < heads.size(); ++j) {
        by_head[static_cast<std::size_t>(heads[j])] = chosen[static_cast<std::int64_t>(j)];
    }
    DepparseLabelCube cube;
    cube.n = length;
    cube.labels = O;
    cube.fill = [&impl, rows, sentence = dependents.narrow(0, offset, length).contiguous(), bias, offset, length, I1,
                 O, by_head = std::move(by_head),
                 scores = std::vector<float>(static_cast<std::size_t>(O))](std::int64_t d, std::int64_t h,
                                                                           double* out) mutable {
        if (!by_head[static_cast<std::size_t>(h)].defined()) {
            std::vector<std::int64_t> missing;
            for (std::int64_t j = 0; j < length; ++j) {
                if (!by_head[static_cast<std::size_t>(j)].defined()) missing.push_back(offset + j);
            }
            const at::Tensor more = relation_head_products(impl, rows, missing);
            for (std::size_t i = 0; i < missing.size(); ++i) {
                by_head[static_cast<std::size_t>(missing[i] - offset)] = more[static_cast<std::int64_t>(i)];
            }
        }
        // scores[o] = bias[o] + sum_p h1_d[p] U_h[p, o], then log_softmax.
        const float* u = by_head[static_cast<std::size_t>(h)].const_data_ptr<float>();
        const float* x = sentence.const_data_ptr<float>() + d * I1;
        std::copy_n(bias.const_data_ptr<float>(), O, scores.begin());
        for (std::int64_t p = 0; p < I1; ++p) {
            const float xp = x[p];
            const float* row = u + p * O;
            for (std::int64_t o = 0; o < O; ++o) scores[static_cast<std::size_t>(o)] += xp * row[o];
        }
        const float top = *std::max_element(scores.begin(), scores.end());
        float sum = 0.0f;
        for (const float v : scores) sum += std::exp(v - top);
        const float shift = top + std::log(sum);
        for (std::int64_t o = 0; o < O; ++o) out[o] = static_cast<double>(scores[static_cast<std::size_t>(o)] - shift);
    };
    return cube;
}

// Parses one batch whose sentences are packed in `rows` one after another,
// lengths n + 1 in that order: arc scores, the best tree of every member, then
// relations scored only under the heads decoding reads (those of the trees at
// once, per group of sentences). Member m's predictions go to `consume`, or
// its error to `fail`.
void parse_packed_batch(const DepparsePlan::Impl& impl, const at::Tensor& rows, const std::vector<std::int64_t>& lengths,
                        Workspace& workspace,
                        c10::function_ref<void(std::size_t, std::vector<DepparsePrediction>)> consume,
                        c10::function_ref<void(std::size_t, std::exception_ptr)> fail) {
    // On this thread only, so that no sum depends on the thread count.
    const SerialScope serial;
    const at::Tensor mask = padding_mask(lengths);
    const at::Tensor sides = scorer_sides(impl, rows, &workspace);
    const at::Tensor arcs = packed_arcs(impl, sides, lengths, mask.size(1), &mask, &workspace);
    const at::Tensor dependents = side_of(impl, sides, "deprel.W1", &workspace);
    const std::vector<std::int64_t> offsets = row_offsets(lengths);
    const std::size_t B = lengths.size();
    for (std::size_t first = 0; first < B;) {
        // Members' best trees and the distinct heads each chose (sentence
        // positions, increasing), their rows in the batch gathered until
        // about kRelationHeads: the heads' products then share one pass over
        // the relation weight.
        std::vector<DepparseArcs> arc_rows;  // views into `arcs`
        std::vector<std::vector<std::int64_t>> trees;
        std::vector<std::vector<std::int64_t>> heads;
        std::vector<std::int64_t> chosen;
        std::size_t end = first;
        for (; end < B && static_cast<std::int64_t>(chosen.size()) < kRelationHeads; ++end) {
            const std::int64_t length = lengths[end];
            arc_rows.emplace_back();
            trees.emplace_back();
            heads.emplace_back();
            try {
                arc_rows.back() = depparse_arcs(arcs[static_cast<std::int64_t>(end)].narrow(0, 0, length).narrow(1, 0, length));
                DepparseMatrix scores;
                widen_arcs(arc_rows.back(), scores);
                trees.back() = decode_single_root(scores);
            } catch (...) {
                fail(end, std::current_exception());
                continue;
            }
            std::vector<std::int64_t>& own = heads.back();
            own.assign(trees.back().begin() + 1, trees.back().end());
            std::sort(own.begin(), own.end());
            own.erase(std::unique(own.begin(), own.end()), own.end());
            for (const std::int64_t h : own) chosen.push_back(offsets[end] + h);
        }
        // The head-side products of those heads in one product; the others
        // only if the head constraints ask for a relation under them.
        at::Tensor products;
        if (!chosen.empty()) {
            products = workspace.take({static_cast<std::int64_t>(chosen.size()), impl.deprel_by_head.size(1)});
            relation_head_products(impl, rows, chosen, products);
        }
        std::int64_t next = 0;
        for (std::size_t m = first; m < end; ++m) {
            const std::vector<std::int64_t>& own = heads[m - first];
            if (own.empty()) continue;  // decoding failed
            const auto count = static_cast<std::int64_t>(own.size());
            DepparseLabelCube cube =
                relation_cube(impl, rows, dependents, offsets[m], lengths[m], own, products.narrow(0, next, count));
            next += count;
            try {
                consume(m, relate_heads(impl, arc_rows[m - first], cube, std::move(trees[m - first])));
            } catch (...) {
                fail(m, std::current_exception());
            }
        }
        first = end;
    }
}

std::vector<std::int64_t> batch_lengths(const DepparseBatches& batches, std::size_t batch) {
    return {batches.lengths.begin() + static_cast<std::ptrdiff_t>(batches.starts[batch]),
            batches.lengths.begin() + static_cast<std::ptrdiff_t>(batches.starts[batch + 1])};
}

// Scores the padded batches and hands every sentence's cut [1, n + 1, n + 1]
// arc and [1, n + 1, n + 1, L] label scores to `consume`, inside the batch's
// task, with its gathering index.
void score_batches(const DepparsePlan::Impl& impl, const std::vector<at::Tensor>& encoded,
                   const std::vector<std::vector<DepparseWord>>& sentences,
                   c10::function_ref<void(std::size_t, at::Tensor, at::Tensor)> consume) {
    if (encoded.size() != sentences.size()) {
        throw DepparseModelError("depparse encoded and sentence batches must have equal lengths");
    }
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        if (sentences[i].empty()) continue;
        const at::Tensor& e = encoded[i];
        if (!e.defined() || e.dim() != 3 || e.size(0) != 1 ||
            e.size(1) != static_cast<std::int64_t>(sentences[i].size()) + 1) {
            throw DepparseModelError("depparse encoded sentence length does not match its words");
        }
    }
    const DepparseBatches batches = depparse_batches(impl, sentences);
    run_tasks(batches.starts.size() - 1, [&](std::size_t batch) {
        const std::size_t begin = batches.starts[batch];
        std::vector<at::Tensor> rows;
        for (std::size_t m = begin; m < batches.starts[batch + 1]; ++m) rows.push_back(encoded[batches.order[m]][0]);
        score_packed_batch(impl, at::cat(rows, 0), batch_lengths(batches, batch),
                           [&](std::size_t m, at::Tensor arc, at::Tensor label) {
                               consume(batches.order[begin + m], std::move(arc), std::move(label));
                           });
    });
}

}  // namespace

std::vector<std::pair<at::Tensor, at::Tensor>> score_batch(const DepparsePlan::Impl& impl,
                                                           const std::vector<at::Tensor>& encoded,
                                                           const std::vector<std::vector<DepparseWord>>& sentences) {
    std::vector<std::pair<at::Tensor, at::Tensor>> result(sentences.size());
    score_batches(impl, encoded, sentences, [&](std::size_t i, at::Tensor arc, at::Tensor label) {
        result[i] = {std::move(arc), std::move(label)};
    });
    return result;
}

std::vector<DepparsePrediction> parse_encoded_sentence(const DepparsePlan::Impl& impl, const at::Tensor& encoded) {
    Workspace workspace;
    std::vector<DepparsePrediction> predictions;
    std::exception_ptr error;
    parse_packed_batch(
        impl, encoded[0], {encoded.size(1)}, workspace,
        [&](std::size_t, std::vector<DepparsePrediction> result) { predictions = std::move(result); },
        [&](std::size_t, std::exception_ptr failure) { error = std::move(failure); });
    if (error) std::rethrow_exception(error);
    return predictions;
}

std::vector<std::vector<DepparsePrediction>> parse_sentences(const DepparsePlan::Impl& impl,
                                                             const std::vector<std::vector<DepparseWord>>& sentences,
                                                             const std::vector<at::Tensor>& forward_features,
                                                             const std::vector<at::Tensor>& backward_features) {
    const KeyedInputs inputs = depparse_inputs(impl, sentences, forward_features, backward_features);
    const DepparseBatches batches = depparse_batches(impl, sentences);
    std::vector<std::vector<DepparsePrediction>> result(sentences.size());
    std::vector<std::exception_ptr> errors(sentences.size());
    LeasePool<Workspace> workspaces;
    run_tasks(batches.starts.size() - 1, [&](std::size_t batch) {
        LeasePool<Workspace>::Lease workspace(workspaces);
        const std::size_t begin = batches.starts[batch];
        const std::vector<std::int64_t> lengths = batch_lengths(batches, batch);
        const std::vector<std::size_t> members(batches.order.begin() + static_cast<std::ptrdiff_t>(begin),
                                               batches.order.begin() + static_cast<std::ptrdiff_t>(batches.starts[batch + 1]));
        // The members' rows one after another: the recurrence never runs over
        // padding.
        const at::Tensor packed = impl.encoder->forward_products(
            keyed_first_products(*impl.encoder, inputs, members, lengths, *workspace), lengths, *workspace);
        parse_packed_batch(
            impl, packed, lengths, *workspace,
            [&](std::size_t m, std::vector<DepparsePrediction> predictions) {
                result[batches.order[begin + m]] = std::move(predictions);
            },
            [&](std::size_t m, std::exception_ptr error) { errors[batches.order[begin + m]] = std::move(error); });
    });
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
    return result;
}

}  // namespace quelbin::detail
