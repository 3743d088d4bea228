// The sentiment network and its batch driver.
//
// A batch is padded to one length T and cut into groups of whole sentences;
// each group runs as one task: word rows, optional BiLSTM, then every filter
// as matrix products of the word rows with the filter's rows, one product per
// filter row k accumulated into the output shifted by k positions, followed by
// ReLU, max pooling and the dense layers. Groups depend only on the input, so
// results do not depend on the thread count.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <ATen/ops/addmm.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include "extended/sentiment_impl.hpp"
#include "kernels/parallel_tasks.hpp"
#include "model/unicode.hpp"
#include "quelbin/errors.hpp"

namespace quelbin {
namespace detail {

namespace {

const std::int64_t* find_sentiment_vocab_entry(const SentimentPlan::Impl& impl, const std::string& form) {
    std::string key = impl.pretrain_lower ? unicode_lower(form) : form;
    // Stored forms write spaces as U+00A0.
    for (std::size_t at = key.find(' '); at != std::string::npos; at = key.find(' ', at + 2)) {
        key.replace(at, 1, "\xC2\xA0");
    }
    const auto found = impl.pretrain_vocab.find(key);
    return found == impl.pretrain_vocab.end() ? nullptr : &found->second;
}

}  // namespace

std::int64_t lookup_sentiment_word(const SentimentPlan::Impl& impl, const std::string& word) {
    if (const std::int64_t* id = find_sentiment_vocab_entry(impl, word)) return *id;
    if (word.size() >= 2 && word.back() == '\'') {
        if (const std::int64_t* id = find_sentiment_vocab_entry(impl, word.substr(0, word.size() - 1))) return *id;
    }
    if (const std::int64_t* id = find_sentiment_vocab_entry(impl, unicode_lower(word))) return *id;
    return 1;
}

}  // namespace detail

namespace {

using Batch = std::vector<const std::vector<std::string>*>;

constexpr std::size_t kDriverBudget = 5000;
// Word positions per task: enough rows for efficient matrix products.
constexpr std::size_t kRowsPerTask = 512;

const float* table_row(const at::Tensor& table, std::int64_t id) {
    if (id < 0 || id >= table.size(0)) throw std::out_of_range("index out of range in self");
    return table.const_data_ptr<float>() + id * table.size(1);
}

// Character-model features of the group's sentences into columns
// [column, column + F) of the rows; padding rows keep their zeros.
void add_charlm_features(const SentimentPlan::Impl& impl, const Batch& group, std::int64_t T,
                         const detail::NativeCharLM& model, const std::string& prefix, float* rows,
                         std::int64_t row_width, std::int64_t column) {
    std::vector<std::vector<std::string>> words;
    words.reserve(group.size());
    for (const auto* sentence : group) words.push_back(*sentence);
    std::vector<at::Tensor> features = model.encode_many(words);
    for (std::size_t b = 0; b < group.size(); ++b) {
        if (group[b]->empty()) continue;
        at::Tensor f = features[b].to(at::kFloat);
        if (impl.charlm_projection >= 1) {
            f = at::linear(f, impl.tensors.at(prefix + ".weight"), impl.tensors.at(prefix + ".bias"));
        }
        f = f.contiguous();
        const std::int64_t width = f.size(1);
        const float* source = f.const_data_ptr<float>();
        for (std::int64_t t = 0; t < f.size(0); ++t) {
            std::memcpy(rows + (static_cast<std::int64_t>(b) * T + t) * row_width + column, source + t * width,
                        sizeof(float) * static_cast<std::size_t>(width));
        }
    }
}

// Transformer rows [words, H] of each sentence (undefined for no words),
// computed on the calling thread before the tasks: the encoder runs its own
// parallel regions.
std::vector<at::Tensor> transformer_rows(const SentimentPlan::Impl& impl, const Batch& sentences) {
    std::vector<at::Tensor> rows(sentences.size());
    if (!impl.transformer) return rows;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        if (!sentences[i]->empty()) rows[i] = impl.transformer->encode(*sentences[i], false).contiguous();
    }
    return rows;
}

// The word features [n * T, input_width] of a group padded to T positions;
// `contextual` holds the group's transformer rows.
at::Tensor word_features(const SentimentPlan::Impl& impl, const Batch& group, std::int64_t T,
                         const std::vector<const at::Tensor*>& contextual) {
    const std::int64_t n = static_cast<std::int64_t>(group.size());
    const std::int64_t width = impl.input_width;
    const std::int64_t E = impl.word_width;
    const bool zero_padding = impl.charlm_forward || impl.charlm_backward || impl.transformer;
    at::Tensor x = zero_padding ? at::zeros({n * T, width}, at::kFloat) : at::empty({n * T, width}, at::kFloat);
    float* rows = x.mutable_data_ptr<float>();
    const bool sum = impl.extra_wordvec_method == "SUM";
    const bool concat = impl.extra_wordvec_method == "CONCAT";
    for (std::int64_t b = 0; b < n; ++b) {
        const auto& words = *group[static_cast<std::size_t>(b)];
        for (std::int64_t t = 0; t < T; ++t) {
            float* row = rows + (b * T + t) * width;
            const bool is_word = t < static_cast<std::int64_t>(words.size());
            const std::string* word = is_word ? &words[static_cast<std::size_t>(t)] : nullptr;
            const std::int64_t id = is_word ? detail::lookup_sentiment_word(impl, *word) : 0;
            const float* vector = id == 1 ? impl.unk.const_data_ptr<float>() : table_row(impl.embedding, id);
            std::memcpy(row, vector, sizeof(float) * static_cast<std::size_t>(E));
            if (sum || concat) {
                std::int64_t extra_id = 0;
                if (is_word) {
                    const auto found = impl.extra_vocab.find(*word);
                    extra_id = found == impl.extra_vocab.end() ? 1 : found->second;
                }
                const float* extra = table_row(impl.extra_embedding, extra_id);
                if (sum) {
                    for (std::int64_t e = 0; e < E; ++e) row[e] += extra[e];
                } else {
                    std::memcpy(row + E, extra, sizeof(float) * static_cast<std::size_t>(impl.extra_width));
                }
            }
        }
    }
    std::int64_t column = E + impl.extra_width;
    if (impl.charlm_forward) {
        add_charlm_features(impl, group, T, *impl.charlm_forward, "charmodel_forward_projection", rows, width,
                            column);
        column += impl.charlm_projection >= 1 ? impl.charlm_projection : impl.charlm_forward->hidden_size();
    }
    if (impl.charlm_backward) {
        add_charlm_features(impl, group, T, *impl.charlm_backward, "charmodel_backward_projection", rows, width,
                            column);
        column += impl.charlm_projection >= 1 ? impl.charlm_projection : impl.charlm_backward->hidden_size();
    }
    if (impl.transformer) {
        const std::int64_t H = impl.transformer->hidden_size();
        for (std::int64_t b = 0; b < n; ++b) {
            const at::Tensor* features = contextual[static_cast<std::size_t>(b)];
            if (features == nullptr || !features->defined()) continue;
            const float* source = features->const_data_ptr<float>();
            for (std::int64_t t = 0; t < features->size(0); ++t) {
                std::memcpy(rows + (b * T + t) * width + column, source + t * H,
                            sizeof(float) * static_cast<std::size_t>(H));
            }
        }
    }
    return x;
}

// Max over the positions t < L and each group of maxpool_width rows of
// ReLU(conv); y is [n * T * J, C] with row (b * T + t) * J + j, and channel c
// of tile j is pooled row c * J + j.
void pool_filter(const float* y, std::int64_t n, std::int64_t T, std::int64_t L, std::int64_t J,
                 std::int64_t C, std::int64_t width, float* pooled, std::int64_t pooled_stride,
                 std::vector<float>& scratch) {
    const std::int64_t rows = C * J;
    const std::int64_t groups = rows / width;
    scratch.resize(static_cast<std::size_t>(rows));
    for (std::int64_t b = 0; b < n; ++b) {
        std::fill(scratch.begin(), scratch.end(), -std::numeric_limits<float>::infinity());
        float* m = scratch.data();
        for (std::int64_t t = 0; t < L; ++t) {
            for (std::int64_t j = 0; j < J; ++j) {
                const float* v = y + ((b * T + t) * J + j) * C;
                if (J == 1) {
                    for (std::int64_t c = 0; c < C; ++c) m[c] = (v[c] > m[c] || v[c] != v[c]) ? v[c] : m[c];
                } else {
                    for (std::int64_t c = 0; c < C; ++c) {
                        float& slot = m[c * J + j];
                        slot = (v[c] > slot || v[c] != v[c]) ? v[c] : slot;
                    }
                }
            }
        }
        float* out = pooled + b * pooled_stride;
        for (std::int64_t g = 0; g < groups; ++g) {
            float best = m[g * width];
            for (std::int64_t r = g * width + 1; r < (g + 1) * width; ++r) {
                best = (m[r] > best || m[r] != m[r]) ? m[r] : best;
            }
            out[g] = (best > 0.0f || best != best) ? best : 0.0f;
        }
    }
}

// Class scores [n, num_classes] of a group padded to T positions.
at::Tensor run_group(const SentimentPlan::Impl& impl, const Batch& group, std::int64_t T,
                     const std::vector<const at::Tensor*>& contextual) {
    const std::int64_t n = static_cast<std::int64_t>(group.size());
    at::Tensor x = word_features(impl, group, T, contextual);
    if (impl.bilstm) {
        x = impl.lstm_layers[0]->forward(x.view({n, T, impl.input_width})).output;
        x = impl.lstm_layers[1]->forward(x).output;
        x = x.reshape({n * T, impl.feature_width});
    }
    at::Tensor pooled = at::empty({n, impl.pooled_width}, at::kFloat);
    std::int64_t offset = 0;
    std::vector<float> scratch;
    for (std::size_t i = 0; i < impl.convs.size(); ++i) {
        const SentimentConv& conv = impl.convs[i];
        const std::int64_t h = impl.filters[i].height;
        const std::int64_t J = conv.tiles;
        const std::int64_t total = n * T * J;
        const at::Tensor tiles = x.view({total, conv.tile});
        at::Tensor y = at::empty({total, conv.channels}, at::kFloat);
        y.copy_(conv.bias.unsqueeze(0).expand({total, conv.channels}));
        const at::Tensor weight = conv.weight.select(1, 0);  // [C, h, w]
        for (std::int64_t k = 0; k < h; ++k) {
            // Output row r takes input row r + k * J: position t + k of the same tile.
            const std::int64_t count = total - k * J;
            if (count <= 0) break;
            at::Tensor out = y.narrow(0, 0, count);
            out.addmm_(tiles.narrow(0, k * J, count), weight.select(1, k).t());
        }
        pool_filter(y.const_data_ptr<float>(), n, T, T - h + 1, J, conv.channels, impl.maxpool_width,
                    pooled.mutable_data_ptr<float>() + offset, impl.pooled_width, scratch);
        offset += conv.channels * J / impl.maxpool_width;
    }
    at::Tensor scores = pooled;
    for (std::size_t k = 0; k < impl.fc_weights.size(); ++k) {
        scores = at::addmm(impl.fc_biases[k], scores, impl.fc_weights[k].t());
        if (k + 1 < impl.fc_weights.size()) scores.clamp_min_(0.0);
    }
    return scores;
}

std::vector<std::vector<std::string>> sentence_tokens(const Document& document) {
    const SentenceSequence sentences = document.sentences();
    std::vector<std::vector<std::string>> result(static_cast<std::size_t>(sentences.size()));
    for (std::size_t i = 0; i < result.size(); ++i) {
        const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(i)).tokens();
        auto& words = result[i];
        words.reserve(static_cast<std::size_t>(tokens.size()));
        for (std::uint64_t k = 0; k < tokens.size(); ++k) words.push_back(tokens.at(static_cast<std::int64_t>(k)).text());
    }
    return result;
}

}  // namespace

at::Tensor SentimentPlan::Impl::forward(const Batch& batch) const {
    if (batch.empty()) return at::empty({0, num_classes}, at::kFloat);
    std::int64_t longest = 0;
    for (const auto* sentence : batch) longest = std::max(longest, static_cast<std::int64_t>(sentence->size()));
    c10::InferenceMode guard;
    const std::vector<at::Tensor> rows = transformer_rows(*this, batch);
    std::vector<const at::Tensor*> contextual;
    for (const at::Tensor& r : rows) contextual.push_back(&r);
    return run_group(*this, batch, padded_length(longest), contextual);
}

std::int64_t SentimentPlan::Impl::padded_length(std::int64_t longest) const {
    return std::max({min_padded_length, tallest_filter, longest});
}

at::Tensor SentimentPlan::Impl::score_many(const Batch& sentences, std::size_t batch_size) const {
    if (batch_size == 0) throw std::invalid_argument("sentiment batch_size must be positive");
    if (sentences.empty()) return at::empty({0, num_classes}, at::kFloat);
    c10::InferenceMode guard;
    const std::size_t count = sentences.size();
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return sentences[a]->size() > sentences[b]->size(); });

    // Batches by word budget, then tasks of whole sentences inside each batch.
    struct Task {
        std::size_t first;
        std::size_t last;
        std::int64_t padded;
    };
    std::vector<Task> tasks;
    for (std::size_t start = 0; start < count;) {
        std::size_t end = start + 1;
        std::size_t words = sentences[order[start]]->size();
        if (words <= batch_size) {
            while (end < count && words + sentences[order[end]]->size() <= batch_size) {
                words += sentences[order[end]]->size();
                ++end;
            }
        }
        const std::int64_t T = padded_length(static_cast<std::int64_t>(sentences[order[start]]->size()));
        const auto bounds = detail::group_by_weight(end - start, kRowsPerTask,
                                                    [&](std::size_t) { return static_cast<std::size_t>(T); });
        for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
            tasks.push_back({start + bounds[g], start + bounds[g + 1], T});
        }
        start = end;
    }

    const std::vector<at::Tensor> contextual = transformer_rows(*this, sentences);
    at::Tensor scores = at::empty({static_cast<std::int64_t>(count), num_classes}, at::kFloat);
    float* rows = scores.mutable_data_ptr<float>();
    detail::run_tasks(tasks.size(), [&](std::size_t index) {
        const Task& task = tasks[index];
        Batch group;
        group.reserve(task.last - task.first);
        std::vector<const at::Tensor*> group_rows;
        for (std::size_t i = task.first; i < task.last; ++i) {
            group.push_back(sentences[order[i]]);
            group_rows.push_back(&contextual[order[i]]);
        }
        const at::Tensor own = run_group(*this, group, task.padded, group_rows).contiguous();
        const float* data = own.const_data_ptr<float>();
        for (std::size_t i = task.first; i < task.last; ++i) {
            std::memcpy(rows + static_cast<std::int64_t>(order[i]) * num_classes,
                        data + static_cast<std::int64_t>(i - task.first) * num_classes,
                        sizeof(float) * static_cast<std::size_t>(num_classes));
        }
    });
    return scores;
}

std::vector<std::int64_t> SentimentPlan::Impl::classify_many(const Batch& sentences, std::size_t batch_size) const {
    const at::Tensor scores = score_many(sentences, batch_size);
    c10::InferenceMode guard;
    const at::Tensor best = at::argmax(scores, 1).contiguous();
    const std::int64_t* data = best.const_data_ptr<std::int64_t>();
    return std::vector<std::int64_t>(data, data + best.numel());
}

std::int64_t SentimentPlan::classify(const std::vector<std::string>& words) const {
    return impl_->classify_many({&words}, kDriverBudget).front();
}

std::vector<std::int64_t> SentimentPlan::classify_many(const std::vector<std::vector<std::string>>& sentences,
                                                       std::size_t batch_size) const {
    Batch pointers;
    pointers.reserve(sentences.size());
    for (const auto& sentence : sentences) pointers.push_back(&sentence);
    return impl_->classify_many(pointers, batch_size);
}

Document SentimentPlan::process(Document document) const {
    const std::vector<std::vector<std::string>> words = sentence_tokens(document);
    const std::vector<std::int64_t> classes = classify_many(words, kDriverBudget);
    const SentenceSequence sentences = document.sentences();
    for (std::size_t i = 0; i < classes.size(); ++i) {
        sentences.at(static_cast<std::int64_t>(i)).set_sentiment(static_cast<std::int32_t>(classes[i]));
    }
    return document;
}

std::vector<Document> SentimentPlan::process_bulk(std::vector<Document> documents) const {
    std::vector<std::vector<std::string>> words;
    std::vector<std::size_t> counts;
    counts.reserve(documents.size());
    for (const Document& document : documents) {
        std::vector<std::vector<std::string>> own = sentence_tokens(document);
        counts.push_back(own.size());
        for (auto& sentence : own) words.push_back(std::move(sentence));
    }
    const std::vector<std::int64_t> classes = classify_many(words, kDriverBudget);
    std::size_t k = 0;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        const SentenceSequence sentences = documents[d].sentences();
        for (std::size_t i = 0; i < counts[d]; ++i) {
            sentences.at(static_cast<std::int64_t>(i)).set_sentiment(static_cast<std::int32_t>(classes[k++]));
        }
    }
    return documents;
}

}  // namespace quelbin
