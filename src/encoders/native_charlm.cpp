// Loading of a character language model and the id sequences it reads.
#include "encoders/native_charlm.hpp"

#include <quelbin/errors.hpp>
#include <quelbin/utf8_text.hpp>

#include <ATen/ops/empty.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <utility>

#include "model/tensor_view.hpp"

namespace quelbin::detail {

std::vector<std::string> split_codepoints(const std::string& word) {
    const Utf8Text text(word);
    std::vector<std::string> units;
    units.reserve(text.codepoint_count());
    for (std::size_t i = 0; i < text.codepoint_count(); ++i) units.push_back(text.slice(i, i + 1));
    return units;
}

NativeCharLM::NativeCharLM(std::shared_ptr<ModelBundle> bundle, std::string prefix,
                           const JsonValue& assets)
    : bundle_(std::move(bundle)), prefix_(std::move(prefix)) {
    const JsonValue& config = assets.at("config", "charlm assets");
    hidden_ = config.at("char_hidden_dim", "charlm assets.config")
                  .as_integer("charlm assets.config.char_hidden_dim");
    layers_ = config.at("char_num_layers", "charlm assets.config")
                  .as_integer("charlm assets.config.char_num_layers");
    const JsonValue* dropout = config.find("char_rec_dropout");
    // The dropout is read only once the sizes pass.
    if (hidden_ < 1 || layers_ < 1 ||
        (dropout != nullptr && dropout->as_number("charlm assets.config.char_rec_dropout") != 0.0)) {
        throw CharLMModelError(
            "unsupported character language model; hidden size and layer count must be positive "
            "and recurrent dropout must be zero");
    }
    forward_ = assets.at("is_forward_lm", "charlm assets").as_bool("charlm assets.is_forward_lm");

    const JsonObject& units = assets.at("vocab", "charlm assets")
                                  .at("_unit2id", "charlm assets.vocab")
                                  .as_object("charlm assets.vocab._unit2id");
    vocab_.reserve(units.size());
    for (const auto& [unit, id] : units) {
        vocab_.emplace(unit, id.as_integer("charlm assets.vocab._unit2id." + unit));
    }
    if (vocab_.count("\n") == 0 || vocab_.count(" ") == 0) {
        throw CharLMModelError("character language model vocabulary has no start/end symbols");
    }

    char_emb_ = bundle_tensor("char_emb.weight");
    h_init_ = bundle_tensor("charlstm_h_init");
    c_init_ = bundle_tensor("charlstm_c_init");
    const bool shapes_match = char_emb_.dim() == 2 &&
                              char_emb_.size(0) == static_cast<std::int64_t>(units.size()) &&
                              h_init_.sizes() == c10::IntArrayRef{layers_, 1, hidden_} &&
                              c_init_.sizes() == h_init_.sizes();
    if (!shapes_match) {
        throw CharLMModelError("character language model tensors do not match its assets");
    }

    lstm_params_.reserve(static_cast<std::size_t>(4 * layers_));
    for (std::int64_t k = 0; k < layers_; ++k) {
        const std::string layer = std::to_string(k);
        for (const char* kind : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
            lstm_params_.push_back(bundle_tensor("charlstm.lstm." + std::string(kind) + layer));
        }
    }
}

at::Tensor NativeCharLM::bundle_tensor(std::string_view name) const {
    return view_bundle_tensor<CharLMModelError>(*bundle_, prefix_, name);
}

std::int64_t NativeCharLM::unknown_id() const {
    const auto it = vocab_.find("<UNK>");
    return it == vocab_.end() ? 1 : it->second;
}

CharLMInput NativeCharLM::char_input(const std::vector<std::string>& words) const {
    std::vector<std::string> order(words);
    if (!forward_) {
        std::reverse(order.begin(), order.end());
        for (std::string& word : order) {
            std::vector<std::string> units = split_codepoints(word);
            word.clear();
            for (auto unit = units.rbegin(); unit != units.rend(); ++unit) word += *unit;
        }
    }
    const std::int64_t fallback = unknown_id();
    const std::int64_t space = vocab_.at(" ");
    CharLMInput input;
    input.ids.reserve(8 * order.size() + 1);
    input.positions.reserve(order.size());
    input.ids.push_back(vocab_.at("\n"));
    for (const std::string& word : order) {
        for (const std::string& unit : split_codepoints(word)) {
            const auto it = vocab_.find(unit);
            input.ids.push_back(it == vocab_.end() ? fallback : it->second);
        }
        input.ids.push_back(space);
        input.positions.push_back(static_cast<std::int64_t>(input.ids.size()) - 1);
    }
    if (!forward_) std::reverse(input.positions.begin(), input.positions.end());
    return input;
}

at::Tensor NativeCharLM::encode(const std::vector<std::string>& words) const {
    c10::InferenceMode guard;
    std::vector<CharLMInput> inputs;
    inputs.push_back(char_input(words));
    std::vector<at::Tensor> results(1);
    run(inputs, results);
    return results[0];
}

std::vector<at::Tensor> NativeCharLM::encode_many(
    const std::vector<std::vector<std::string>>& sentences) const {
    c10::InferenceMode guard;
    std::vector<CharLMInput> inputs;
    inputs.reserve(sentences.size());
    for (const auto& words : sentences) inputs.push_back(char_input(words));
    std::vector<at::Tensor> results(sentences.size());
    run(inputs, results);
    return results;
}

}  // namespace quelbin::detail
