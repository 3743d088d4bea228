// The tagger's highway BiLSTM over one sentence, or over many in
// length-sorted batches.
#include <algorithm>
#include <numeric>

#include "kernels/parallel_tasks.hpp"
#include "kernels/scratch_pool.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin::detail {

at::Tensor encode_pos_sentence(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                               const at::Tensor* forward_features, const at::Tensor* backward_features) {
    const at::Tensor x = embed_pos_words(impl, words, forward_features, backward_features)[0];
    return impl.tagger->forward(x, {x.size(0)});
}

std::vector<at::Tensor> encode_pos_batch(const POSPlan::Impl& impl,
                                         const std::vector<std::vector<std::string>>& sentences,
                                         const std::vector<at::Tensor>& forward_features,
                                         const std::vector<at::Tensor>& backward_features) {
    const KeyedInputs inputs = pos_inputs(impl, sentences, forward_features, backward_features);
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        if (!sentences[i].empty()) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return sentences[a].size() > sentences[b].size(); });
    std::vector<std::int64_t> lengths(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) lengths[r] = static_cast<std::int64_t>(sentences[order[r]].size());
    const std::vector<std::size_t> starts = sentence_batches(lengths, impl.batch_size, impl.batch_maximum_tokens);

    std::vector<at::Tensor> result(sentences.size());
    LeasePool<Workspace> workspaces;
    run_tasks(starts.size() - 1, [&](std::size_t batch) {
        LeasePool<Workspace>::Lease workspace(workspaces);
        const std::size_t begin = starts[batch];
        const auto m = static_cast<std::int64_t>(starts[batch + 1] - begin);
        const std::vector<std::size_t> sentence_ids(order.begin() + static_cast<std::ptrdiff_t>(begin),
                                                    order.begin() + static_cast<std::ptrdiff_t>(begin) + m);
        const std::vector<std::int64_t> members(lengths.begin() + static_cast<std::ptrdiff_t>(begin),
                                                lengths.begin() + static_cast<std::ptrdiff_t>(begin) + m);
        // The batch's words, member after member: no padded position is
        // computed, and the first layer multiplies each distinct key once.
        const at::Tensor encoded = impl.tagger->forward_products(
            keyed_first_products(*impl.tagger, inputs, sentence_ids, members, *workspace), members, *workspace);
        std::int64_t offset = 0;
        for (std::int64_t j = 0; j < m; ++j) {
            result[order[begin + j]] = encoded.narrow(0, offset, members[j]);
            offset += members[j];
        }
    });
    return result;
}

}  // namespace quelbin::detail
