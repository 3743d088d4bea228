// The NER network over one sentence: word, delta and character features, the
// bidirectional tagger LSTM, the classifier chain and CRF decoding.
#include <quelbin/errors.hpp>
#include <quelbin/utf8_text.hpp>

#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "extended/ner_decode.hpp"
#include "extended/ner_impl.hpp"
#include "model/unicode.hpp"

namespace quelbin::detail {
namespace {

at::Tensor as_float(const at::Tensor& tensor) { return tensor.to(at::kFloat).contiguous(); }

// One stack of `layers` bidirectional layers from ATen's flat weight list and
// the [2 * layers, 1, H] initial states.
NERPlan::Impl::LstmStack make_stack(const std::vector<at::Tensor>& weights, const std::vector<at::Tensor>& state,
                                    std::int64_t layers, std::int64_t input_size) {
    NERPlan::Impl::LstmStack stack;
    const at::Tensor h = as_float(state[0]);
    const at::Tensor c = as_float(state[1]);
    for (std::int64_t l = 0; l < layers; ++l) {
        std::vector<at::Tensor> layer;
        for (std::int64_t j = 0; j < 8; ++j) layer.push_back(as_float(weights[static_cast<std::size_t>(8 * l + j)]));
        auto lstm = std::make_unique<BiLstm>(layer);
        TORCH_CHECK(lstm->input_size() == input_size, "LSTM layer ", l, " takes ", lstm->input_size(),
                    " features, got ", input_size);
        const std::int64_t H = lstm->hidden_size();
        for (const at::Tensor* s : {&h, &c}) {
            TORCH_CHECK(s->dim() == 3 && s->size(0) == 2 * layers && s->size(1) == 1 && s->size(2) == H,
                        "LSTM initial state has shape ", s->sizes(), ", expected [", 2 * layers, ", 1, ", H, "]");
        }
        stack.h0.push_back(h.narrow(0, 2 * l, 2).contiguous());
        stack.c0.push_back(c.narrow(0, 2 * l, 2).contiguous());
        stack.layers.push_back(std::move(lstm));
        input_size = 2 * H;
    }
    return stack;
}

// Runs the stack over [B, T, in]; returns the top layer's output and final states.
BiLstmOutput run_stack(const NERPlan::Impl::LstmStack& stack, at::Tensor input, const std::int64_t* lengths) {
    const std::int64_t B = input.size(0);
    BiLstmOutput out;
    for (std::size_t l = 0; l < stack.layers.size(); ++l) {
        const at::Tensor& h0 = stack.h0[l];
        const at::Tensor& c0 = stack.c0[l];
        out = stack.layers[l]->forward(input, lengths, B == 1 ? h0 : h0.expand({2, B, h0.size(2)}).contiguous(),
                                       B == 1 ? c0 : c0.expand({2, B, c0.size(2)}).contiguous());
        input = out.output;
    }
    return out;
}

std::int64_t lookup(const std::unordered_map<std::string, std::int64_t>& vocab, const std::string& key) {
    const auto it = vocab.find(key);
    return it == vocab.end() ? 1 : it->second;
}

const float* table_row(const at::Tensor& table, std::int64_t id) {
    TORCH_CHECK(id >= 0 && id < table.size(0), "index ", id, " is out of range for an embedding of ", table.size(0),
                " rows");
    return table.const_data_ptr<float>() + id * table.size(1);
}

std::string lowered_if(bool lower, const std::string& word) { return lower ? unicode_lower(word) : word; }

}  // namespace

void prepare_ner_network(NERPlan::Impl& impl) {
    impl.word_table = as_float(impl.require_ner_tensor("word_emb.weight"));
    impl.delta_table = as_float(impl.require_ner_tensor("delta_emb.weight"));
    if (!impl.charlm) impl.char_table = as_float(impl.require_ner_tensor("charmodel.char_emb.weight"));
    if (impl.input_transform) {
        impl.transform_weight = as_float(impl.require_ner_tensor("input_transform.weight"));
        impl.transform_bias = as_float(impl.require_ner_tensor("input_transform.bias"));
    }
    for (std::int64_t k = 0; k <= impl.predict_tagset; ++k) {
        const NERPlan::Impl::TagClassifier& clf = impl.classifiers[static_cast<std::size_t>(k)];
        impl.runnable_classifiers.push_back({as_float(clf.weight), as_float(clf.bias), as_float(clf.transitions)});
    }
    try {
        if (!impl.charlm) {
            impl.char_stack = make_stack(impl.char_lstm_weights, impl.char_lstm_state, impl.char_num_layers,
                                         impl.char_emb_dim);
        }
        impl.tagger_stack = make_stack(impl.tagger_lstm_weights, impl.tagger_lstm_state, impl.num_layers,
                                       impl.input_width);
    } catch (const c10::Error& error) {
        impl.char_stack = {};
        impl.tagger_stack = {};
        impl.network_error = error.what_without_backtrace();
    }
}

void encode_ner_charlm(const NERPlan::Impl& impl, const std::vector<const std::vector<std::string>*>& sentences,
                       std::vector<at::Tensor>& forward, std::vector<at::Tensor>& backward) {
    std::vector<std::vector<std::string>> words;
    words.reserve(sentences.size());
    for (const std::vector<std::string>* sentence : sentences) {
        words.emplace_back();
        words.back().reserve(sentence->size());
        for (const std::string& word : *sentence) words.back().push_back(lowered_if(impl.char_lowercase, word));
    }
    forward = impl.charlm_forward->encode_many(words);
    backward = impl.charlm_backward->encode_many(words);
}

at::Tensor embed_ner_words(const NERPlan::Impl& impl, const NERSentence& sentence) {
    const std::vector<std::string>& words = *sentence.words;
    const auto n = static_cast<std::int64_t>(words.size());
    const std::int64_t E = impl.word_emb_dim;
    const std::int64_t D = impl.input_width;
    at::Tensor x = at::empty({n, D}, at::TensorOptions().dtype(at::kFloat));
    float* out = x.data_ptr<float>();

    std::vector<std::int64_t> char_ids;
    std::vector<std::int64_t> lengths;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::string& word = words[static_cast<std::size_t>(i)];
        std::string key = lowered_if(impl.lowercase, word);
        std::string delta_key = lowered_if(impl.delta_lower, key);
        key = lowered_if(impl.word_lower, key);
        std::string pretrained;
        pretrained.reserve(key.size());
        for (const char c : key) {
            if (c == ' ') {
                pretrained += "\xC2\xA0";
            } else {
                pretrained += c;
            }
        }
        const std::int64_t word_id = lookup(impl.word_vocab, pretrained);
        std::int64_t delta_id = lookup(impl.delta_vocab, delta_key);
        if (word_id != 1 && delta_id == 1) delta_id = 0;
        const float* w = table_row(impl.word_table, word_id);
        const float* d = table_row(impl.delta_table, delta_id);
        float* row = out + i * D;
        for (std::int64_t j = 0; j < E; ++j) row[j] = w[j] + d[j];

        if (!impl.charlm) {
            const Utf8Text text(lowered_if(impl.char_lowercase, word));
            if (text.codepoint_count() == 0) throw NERModelError("NER cannot encode an empty token");
            for (std::size_t c = 0; c < text.codepoint_count(); ++c) {
                char_ids.push_back(lookup(impl.char_vocab, text.slice(c, c + 1)));
            }
            lengths.push_back(static_cast<std::int64_t>(text.codepoint_count()));
        }
    }

    std::int64_t offset = E;
    if (impl.transformer) {
        const at::Tensor rows = as_float(sentence.transformer_features);
        TORCH_CHECK(rows.dim() == 2 && rows.size(0) == n && offset + rows.size(1) <= D,
                    "transformer features have shape ", rows.sizes());
        const std::int64_t width = rows.size(1);
        const float* source = rows.const_data_ptr<float>();
        for (std::int64_t i = 0; i < n; ++i) {
            std::memcpy(out + i * D + offset, source + i * width, static_cast<std::size_t>(width) * sizeof(float));
        }
        offset += width;
    }
    if (!impl.charlm) {
        // Every word is its own sequence; one padded run over the sentence's words.
        const std::int64_t longest = *std::max_element(lengths.begin(), lengths.end());
        const std::int64_t C = impl.char_emb_dim;
        at::Tensor chars = at::zeros({n, longest, C}, at::TensorOptions().dtype(at::kFloat));
        float* c_out = chars.data_ptr<float>();
        std::size_t next = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t t = 0; t < lengths[static_cast<std::size_t>(i)]; ++t) {
                std::memcpy(c_out + (i * longest + t) * C, table_row(impl.char_table, char_ids[next++]),
                            static_cast<std::size_t>(C) * sizeof(float));
            }
        }
        const BiLstmOutput encoded = run_stack(impl.char_stack, chars, lengths.data());
        const std::int64_t H = encoded.h_n.size(2);
        TORCH_CHECK(offset + 2 * H == D, "character LSTM features have ", 2 * H, " values, expected ", D - offset);
        const float* h_n = encoded.h_n.const_data_ptr<float>();
        for (std::int64_t i = 0; i < n; ++i) {
            float* row = out + i * D + offset;
            std::memcpy(row, h_n + i * H, static_cast<std::size_t>(H) * sizeof(float));
            std::memcpy(row + H, h_n + (n + i) * H, static_cast<std::size_t>(H) * sizeof(float));
        }
    } else {
        for (const at::Tensor* features : {&sentence.forward_features, &sentence.backward_features}) {
            const at::Tensor rows = as_float(*features);
            TORCH_CHECK(rows.dim() == 2 && rows.size(0) == n && offset + rows.size(1) <= D,
                        "character LM features have shape ", rows.sizes());
            const std::int64_t width = rows.size(1);
            const float* source = rows.const_data_ptr<float>();
            for (std::int64_t i = 0; i < n; ++i) {
                std::memcpy(out + i * D + offset, source + i * width, static_cast<std::size_t>(width) * sizeof(float));
            }
            offset += width;
        }
        TORCH_CHECK(offset == D, "word features have ", offset, " values, expected ", D);
    }
    if (impl.input_transform) x = at::linear(x, impl.transform_weight, impl.transform_bias);
    return x;
}

std::vector<std::string> tag_ner_sentence(const NERPlan::Impl& impl, const NERSentence& sentence) {
    TORCH_CHECK(impl.network_error.empty(), impl.network_error);
    const at::Tensor x = embed_ner_words(impl, sentence);
    const at::Tensor features = run_stack(impl.tagger_stack, x.unsqueeze(0), nullptr).output.squeeze(0);

    at::Tensor scores;
    for (std::int64_t k = 0; k <= impl.predict_tagset; ++k) {
        const NERPlan::Impl::TagClassifier& clf = impl.runnable_classifiers[static_cast<std::size_t>(k)];
        const at::Tensor input =
            impl.connect_output_layers && k >= 1 ? at::cat({features, scores}, 1) : features;
        scores = at::linear(input, clf.weight, clf.bias);
    }
    const at::Tensor emissions = scores.to(at::kFloat).contiguous();
    const at::Tensor& transitions = impl.runnable_classifiers.back().transitions;
    if (emissions.dim() != 2 || transitions.dim() != 2 || emissions.size(1) < 1 ||
        transitions.size(0) != emissions.size(1) || transitions.size(1) != emissions.size(1)) {
        throw NERModelError("NER CRF tensors have incompatible dimensions");
    }
    const std::vector<std::int64_t> path = viterbi_decode(
        emissions.const_data_ptr<float>(), emissions.size(0), emissions.size(1), transitions.const_data_ptr<float>());
    std::vector<std::string> tags =
        ner_tags_from_path(path, impl.tag_columns[static_cast<std::size_t>(impl.predict_tagset)]);
    repair_bioes_tags(tags);
    return tags;
}

}  // namespace quelbin::detail
