// Word features for coreference: subword ids per word, transformer windows cut
// back to sentence starts, and attention pooling of each word's subwords.
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "coref/coref_impl.hpp"
#include "kernels/parallel_tasks.hpp"

namespace quelbin::detail {

std::vector<std::pair<std::int64_t, std::int64_t>> coref_windows(const std::vector<std::int64_t>& subword_word,
                                                                 const std::vector<std::size_t>& sentence_ids,
                                                                 std::int64_t window_size) {
    const auto m = static_cast<std::int64_t>(subword_word.size());
    const std::int64_t capacity = window_size - 2;
    const auto sentence_of = [&](std::int64_t subword) {
        return sentence_ids[static_cast<std::size_t>(subword_word[static_cast<std::size_t>(subword)])];
    };
    std::vector<std::pair<std::int64_t, std::int64_t>> windows;
    std::int64_t start = 0;
    while (start < m) {
        const std::int64_t limit = start + capacity;
        std::int64_t end = m;
        if (limit < m) {
            const std::size_t cut_sentence = sentence_of(limit);
            std::int64_t c = limit;
            while (c > start && sentence_of(c - 1) == cut_sentence) --c;
            end = c > start ? c : limit;
        }
        windows.emplace_back(start, end);
        start = end;
    }
    return windows;
}

CorefSubwordFeatures encode_coref_subwords(const CorefPlan::Impl& impl, const std::vector<std::string>& words,
                                           const std::vector<std::size_t>& sentence_ids) {
    std::vector<std::int64_t> subword_ids;
    std::vector<std::int64_t> subword_word;
    CorefSubwordFeatures result;
    result.word_subword_ranges.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto found = impl.tokenizer_map_ids.find(words[i]);
        std::vector<std::int64_t> tokenized;
        if (found == impl.tokenizer_map_ids.end()) tokenized = impl.transformer->tokenize({words[i]}, false).input_ids;
        const std::vector<std::int64_t>& ids = found != impl.tokenizer_map_ids.end() ? found->second : tokenized;
        if (ids.empty()) throw CorefModelError("coref tokenizer produced a blank word at index " + std::to_string(i));
        const auto first = static_cast<std::int64_t>(subword_ids.size());
        subword_ids.insert(subword_ids.end(), ids.begin(), ids.end());
        subword_word.insert(subword_word.end(), ids.size(), static_cast<std::int64_t>(i));
        result.word_subword_ranges.emplace_back(first, static_cast<std::int64_t>(subword_ids.size()));
    }

    // The compiled transformer has one runner: windows run one after another,
    // each at its own length, with no padding, and each on this thread alone,
    // so that its rows do not depend on the thread count.
    std::vector<at::Tensor> outputs;
    for (const auto& [start, end] : coref_windows(subword_word, sentence_ids, impl.bert_window_size)) {
        std::vector<std::int64_t> ids;
        ids.reserve(static_cast<std::size_t>(end - start) + 2);  // the window may be far wider than the text
        ids.push_back(coref_first_id(impl));
        ids.insert(ids.end(), subword_ids.begin() + start, subword_ids.begin() + end);
        ids.push_back(coref_last_id(impl));
        const std::vector<std::int64_t> mask(ids.size(), 1);
        const SerialScope serial;
        outputs.push_back(impl.transformer->encode_ids(ids, mask).narrow(0, 1, end - start));
    }
    result.subword_features = outputs.empty()
                                  ? at::empty({0, impl.hidden_size}, at::TensorOptions().dtype(at::kFloat))
                                  : at::cat(outputs, 0).contiguous();
    return result;
}

at::Tensor pool_coref_words(const CorefPlan::Impl& impl, const CorefSubwordFeatures& features) {
    const at::Tensor& rows = features.subword_features;
    const auto n = static_cast<std::int64_t>(features.word_subword_ranges.size());
    const std::int64_t hidden = rows.size(1);
    at::Tensor logits;
    {
        const SerialScope serial;
        logits = at::linear(rows, require_coref_tensor(impl, "we.attn.weight"), require_coref_tensor(impl, "we.attn.bias"))
                     .reshape({rows.size(0)})
                     .contiguous();
    }
    at::Tensor pooled = at::empty({n, hidden}, at::TensorOptions().dtype(at::kFloat));
    const float* values = rows.data_ptr<float>();
    const float* scores = logits.data_ptr<float>();
    float* out = pooled.data_ptr<float>();
    // Softmax over each word's logits, then the weighted sum of its rows, in
    // groups of words that depend only on the input.
    const std::vector<std::size_t> bounds = group_by_weight(
        static_cast<std::size_t>(n), std::size_t{1} << 18, [&](std::size_t i) {
            const auto& [first, end] = features.word_subword_ranges[i];
            return static_cast<std::size_t>((end - first) * hidden);
        });
    run_tasks(bounds.size() - 1, [&](std::size_t group) {
        std::vector<float> weights;
        for (std::size_t i = bounds[group]; i < bounds[group + 1]; ++i) {
            const auto [first, end] = features.word_subword_ranges[i];
            const float top = *std::max_element(scores + first, scores + end);
            weights.assign(static_cast<std::size_t>(end - first), 0.0f);
            float total = 0.0f;
            for (std::int64_t s = first; s < end; ++s) total += weights[s - first] = std::exp(scores[s] - top);
            float* row = out + static_cast<std::int64_t>(i) * hidden;
            std::fill(row, row + hidden, 0.0f);
            for (std::int64_t s = first; s < end; ++s) {
                const float w = weights[s - first] / total;
                const float* source = values + s * hidden;
                for (std::int64_t h = 0; h < hidden; ++h) row[h] += w * source[h];
            }
        }
    });
    return pooled;
}

}  // namespace quelbin::detail
