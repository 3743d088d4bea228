// The tagger's classifier heads and the decoding of class ids into tags.
//
// The XPOS and feature classifiers are bilinear in the word's hidden row and
// the embedding of its predicted UPOS. The UPOS takes few values, so each
// bilinear form is first contracted with the embedding of every UPOS that
// occurs, giving one small linear classifier per UPOS, and the rows of each
// UPOS then run as one matrix product: the same logits as the bilinear
// product up to rounding, at a fraction of its cost.
#include <ATen/ops/addmm.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/bilinear.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mm.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/relu.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin::detail {

namespace {

const std::string kNone = "_";

std::vector<std::int64_t> to_ids(const at::Tensor& ids) {
    const at::Tensor values = ids.contiguous();
    return {values.const_data_ptr<std::int64_t>(), values.const_data_ptr<std::int64_t>() + values.numel()};
}

// Rows of each UPOS id, ascending ids.
using UposGroups = std::map<std::int64_t, std::vector<std::int64_t>>;

// Argmax of the bilinear classifier `prefix` over [hidden; 1] and [upos
// embedding; 1], per UPOS group.
std::vector<std::int64_t> conditioned_argmax(const POSPlan::Impl& impl, const at::Tensor& hidden,
                                             const UposGroups& groups, const at::Tensor& embeddings,
                                             const std::string& prefix) {
    const at::Tensor& weight = require_pos_tensor(impl, prefix + ".weight");
    const at::Tensor& bias = require_pos_tensor(impl, prefix + ".bias");
    const std::int64_t classes = weight.size(0);
    const std::int64_t a = weight.size(1) - 1;
    // [classes * (a + 1), b + 1] x [b + 1, groups] -> per group [classes, a + 1].
    const at::Tensor condition =
        at::cat({embeddings, at::ones({embeddings.size(0), 1}, embeddings.options())}, 1);
    const at::Tensor tables =
        at::mm(weight.reshape({classes * (a + 1), weight.size(2)}), condition.t()).t().reshape({-1, classes, a + 1});
    std::vector<std::int64_t> ids(static_cast<std::size_t>(hidden.size(0)));
    std::int64_t g = 0;
    for (const auto& [upos, rows] : groups) {
        const at::Tensor table = tables[g++];
        const at::Tensor x = at::index_select(hidden, 0, make_id_tensor(rows, {static_cast<std::int64_t>(rows.size())}));
        const at::Tensor logits = at::addmm(table.select(1, a).add(bias), x, table.narrow(1, 0, a).t());
        const std::vector<std::int64_t> best = to_ids(at::argmax(logits, 1));
        for (std::size_t r = 0; r < rows.size(); ++r) ids[static_cast<std::size_t>(rows[r])] = best[r];
    }
    return ids;
}

}  // namespace

at::Tensor pos_bilinear_classifier(const POSPlan::Impl& impl, const at::Tensor& hidden, const at::Tensor& condition,
                                   std::string_view prefix) {
    const at::Tensor ones = at::ones({hidden.size(0), 1}, hidden.options());
    const std::string name(prefix);
    return at::bilinear(at::cat({hidden, ones}, 1), at::cat({condition, ones}, 1),
                        require_pos_tensor(impl, name + ".weight"), require_pos_tensor(impl, name + ".bias"));
}

POSClassIds pos_class_ids(const POSPlan::Impl& impl, const at::Tensor& rows) {
    const SerialScope serial;
    POSClassIds ids;
    const at::Tensor upos_hidden =
        at::relu(at::linear(rows, require_pos_tensor(impl, "upos_hid.weight"), require_pos_tensor(impl, "upos_hid.bias")));
    const at::Tensor upos_logits = at::linear(upos_hidden, require_pos_tensor(impl, "upos_clf.weight"),
                                              require_pos_tensor(impl, "upos_clf.bias"));
    ids.upos = to_ids(at::argmax(upos_logits, 1));
    const at::Tensor xpos_hidden =
        at::relu(at::linear(rows, require_pos_tensor(impl, "xpos_hid.weight"), require_pos_tensor(impl, "xpos_hid.bias")));
    const at::Tensor feats_hidden = at::relu(
        at::linear(rows, require_pos_tensor(impl, "ufeats_hid.weight"), require_pos_tensor(impl, "ufeats_hid.bias")));

    UposGroups groups;
    for (std::size_t i = 0; i < ids.upos.size(); ++i) groups[ids.upos[i]].push_back(static_cast<std::int64_t>(i));
    std::vector<std::int64_t> present;
    for (const auto& group : groups) present.push_back(group.first);
    // An id outside the embedding table fails here, in the embedding.
    const at::Tensor embeddings = at::embedding(require_pos_tensor(impl, "upos_emb.weight"),
                                                make_id_tensor(present, {static_cast<std::int64_t>(present.size())}));
    if (impl.xpos_composite) {
        for (std::size_t k = 0; k < impl.xpos_components.size(); ++k) {
            ids.xpos.push_back(conditioned_argmax(impl, xpos_hidden, groups, embeddings,
                                                  "xpos_clf." + std::to_string(k) + ".W_bilin"));
        }
    } else {
        ids.xpos.push_back(conditioned_argmax(impl, xpos_hidden, groups, embeddings, "xpos_clf.W_bilin"));
    }
    for (std::size_t k = 0; k < impl.feats_labels.size(); ++k) {
        ids.feats.push_back(conditioned_argmax(impl, feats_hidden, groups, embeddings,
                                               "ufeats_clf." + std::to_string(k) + ".W_bilin"));
    }
    return ids;
}

POSPrediction decode_pos_row(const POSPlan::Impl& impl, const POSClassIds& ids, std::size_t i) {
    POSPrediction prediction;
    const std::int64_t u = ids.upos[i];
    if (u < 0 || u >= static_cast<std::int64_t>(impl.upos_labels.size())) {
        throw POSModelError("POS classifier produced an invalid id");
    }
    prediction.upos = impl.upos_labels[static_cast<std::size_t>(u)];
    if (!impl.xpos_composite) {
        const std::int64_t v = ids.xpos[0][i];
        if (v < 0 || v >= static_cast<std::int64_t>(impl.xpos_labels.size())) {
            throw POSModelError("XPOS classifier produced an invalid id");
        }
        prediction.xpos = v == 2 && impl.xpos_has_ignore ? kNone : impl.xpos_labels[static_cast<std::size_t>(v)];
    } else {
        for (std::size_t k = 0; k < impl.xpos_components.size(); ++k) {
            const std::int64_t v = ids.xpos[k][i];
            if (v == 2) continue;
            const std::vector<std::string>& labels = impl.xpos_components[k];
            if (v < 0 || v >= static_cast<std::int64_t>(labels.size())) {
                throw POSModelError("composite XPOS classifier produced an invalid id");
            }
            if (!prediction.xpos.empty()) prediction.xpos += impl.xpos_sep;
            prediction.xpos += labels[static_cast<std::size_t>(v)];
        }
        if (prediction.xpos.empty()) prediction.xpos = kNone;
    }
    for (std::size_t k = 0; k < impl.feats_labels.size(); ++k) {
        const std::int64_t f = ids.feats[k][i];
        if (f == 2) continue;
        const auto& [name, values] = impl.feats_labels[k];
        if (f < 0 || f >= static_cast<std::int64_t>(values.size())) {
            throw POSModelError("feature classifier produced an invalid id");
        }
        if (!prediction.feats.empty()) prediction.feats += "|";
        prediction.feats += name + "=" + values[static_cast<std::size_t>(f)];
    }
    if (prediction.feats.empty()) prediction.feats = kNone;
    return prediction;
}

std::vector<POSPrediction> classify_pos_words(const POSPlan::Impl& impl, const at::Tensor& rows, std::int64_t n) {
    const POSClassIds ids = pos_class_ids(impl, rows);
    std::vector<POSPrediction> predictions;
    predictions.reserve(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) predictions.push_back(decode_pos_row(impl, ids, i));
    return predictions;
}

std::vector<std::vector<POSPrediction>> classify_pos_batch(const POSPlan::Impl& impl,
                                                           const std::vector<at::Tensor>& encoded,
                                                           const std::vector<std::vector<std::string>>& sentences) {
    if (encoded.size() != sentences.size()) {
        throw POSModelError("POS encoded and sentence batches must have equal lengths");
    }
    std::vector<std::vector<POSPrediction>> result(sentences.size());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        if (sentences[i].empty()) continue;
        if (!encoded[i].defined() || encoded[i].dim() < 1 ||
            encoded[i].size(0) != static_cast<std::int64_t>(sentences[i].size())) {
            throw POSModelError("POS encoded sentence length does not match its words");
        }
        order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return encoded[a].size(0) > encoded[b].size(0); });
    std::vector<std::int64_t> lengths(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) lengths[r] = encoded[order[r]].size(0);
    const std::vector<std::size_t> starts = sentence_batches(lengths, impl.batch_size, impl.batch_maximum_tokens);
    run_tasks(starts.size() - 1, [&](std::size_t batch) {
        std::vector<at::Tensor> members;
        std::int64_t total = 0;
        for (std::size_t r = starts[batch]; r < starts[batch + 1]; ++r) {
            members.push_back(encoded[order[r]]);
            total += lengths[r];
        }
        std::vector<POSPrediction> predictions = classify_pos_words(impl, at::cat(members, 0), total);
        auto next = predictions.begin();
        for (std::size_t r = starts[batch]; r < starts[batch + 1]; ++r) {
            std::vector<POSPrediction>& out = result[order[r]];
            out.assign(std::make_move_iterator(next), std::make_move_iterator(next + lengths[r]));
            next += lengths[r];
        }
    });
    return result;
}

}  // namespace quelbin::detail
