// Loading of an NER bundle: configuration and its architecture gate, the
// vocabularies and tag columns, the character LMs, tensor presence and shapes,
// and the LSTM weight lists in ATen's flat parameter order.
#include <quelbin/errors.hpp>

#include <exception>
#include <string>
#include <utility>

#include "extended/ner_impl.hpp"
#include "model/tensor_view.hpp"

namespace quelbin {
namespace detail {
namespace {

const char* const kArchitecture =
    "unsupported NER architecture; the native profile requires static and delta word embeddings, a "
    "bidirectional character LSTM without recurrent dropout, and a standard bidirectional tagger LSTM";

std::int64_t read_ner_config_int(const JsonValue& config, const std::string& key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return 0;
    return value->as_integer("assets.config." + key);
}

bool read_ner_config_bool(const JsonValue& config, const std::string& key, bool fallback) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return fallback;
    return value->as_bool("assets.config." + key);
}

std::unordered_map<std::string, std::int64_t> read_ner_unit2id(const JsonValue& vocab, const std::string& label) {
    const JsonObject& units = vocab.at("_unit2id", label).as_object(label + "._unit2id");
    std::unordered_map<std::string, std::int64_t> map;
    map.reserve(units.size());
    for (const auto& [unit, id] : units) map.emplace(unit, id.as_integer(label + "._unit2id." + unit));
    return map;
}

bool read_lower_flag(const JsonValue& vocab, const std::string& label) {
    const JsonValue* value = vocab.find("lower");
    return value != nullptr && value->as_bool(label + ".lower");
}

std::vector<std::vector<std::string>> read_tag_columns(const JsonValue& vocab) {
    const JsonObject& members = vocab.at("tag", "assets.vocab")
                                    .at("_id2unit", "assets.vocab.tag")
                                    .as_object("assets.vocab.tag._id2unit");
    const std::size_t count = members.size();
    std::vector<std::vector<std::string>> columns(count);
    std::vector<bool> filled(count, false);
    for (const auto& [name, value] : members) {
        unsigned long long number = 0;
        std::size_t used = 0;
        try {
            number = std::stoull(name, &used, 10);
        } catch (const std::exception&) {
            throw NERModelError("NER tag vocabulary column is not numeric: '" + name + "'");
        }
        if (used != name.size() || number >= count || filled[number]) {
            throw NERModelError("NER tag vocabulary columns are not contiguous");
        }
        filled[number] = true;
        const std::string label = "assets.vocab.tag._id2unit." + name;
        for (const JsonValue& tag : value.as_array(label)) columns[number].push_back(tag.as_string(label + "[]"));
    }
    return columns;
}

// "<prefix>weight_ih_l<l>", "weight_hh", "bias_ih", "bias_hh", then the same
// with "_reverse", for every layer: the parameter order of ATen's LSTM. Looked up
// one at a time, so the configured count never sizes anything before the
// tensors confirm it: the first missing tensor ends the load.
std::vector<at::Tensor> collect_lstm_weights(const NERPlan::Impl& impl, const std::string& prefix,
                                             std::int64_t layers) {
    std::vector<at::Tensor> weights;
    for (std::int64_t l = 0; l < layers; ++l) {
        for (const char* suffix : {"", "_reverse"}) {
            for (const char* kind : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
                weights.push_back(impl.require_ner_tensor(prefix + kind + std::to_string(l) + suffix));
            }
        }
    }
    return weights;
}

std::vector<at::Tensor> collect_ner_char_lstm_weights(const NERPlan::Impl& impl) {
    return collect_lstm_weights(impl, "charmodel.charlstm.lstm.", impl.char_num_layers);
}

std::vector<at::Tensor> collect_ner_tagger_lstm_weights(const NERPlan::Impl& impl) {
    return collect_lstm_weights(impl, "taggerlstm.lstm.", impl.num_layers);
}

std::string column_name(const char* prefix, std::size_t k, const char* suffix) {
    return prefix + std::to_string(k) + suffix;
}

}  // namespace
}  // namespace detail

const at::Tensor& NERPlan::Impl::require_ner_tensor(std::string_view name) const {
    const auto it = tensors.find(std::string(name));
    if (it == tensors.end()) throw NERModelError("missing NER tensor: '" + std::string(name) + "'");
    return it->second;
}

NERPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_dir), verify_checksums)) {
    using namespace detail;
    if (bundle->processor() != "ner") {
        throw NERModelError("expected an NER bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");

    word_emb_dim = read_ner_config_int(config, "word_emb_dim");
    char_emb_dim = read_ner_config_int(config, "char_emb_dim");
    char_hidden_dim = read_ner_config_int(config, "char_hidden_dim");
    char_num_layers = read_ner_config_int(config, "char_num_layers");
    hidden_dim = read_ner_config_int(config, "hidden_dim");
    num_layers = read_ner_config_int(config, "num_layers");
    predict_tagset = read_ner_config_int(config, "predict_tagset");
    lowercase = read_ner_config_bool(config, "lowercase", true);
    char_lowercase = read_ner_config_bool(config, "char_lowercase", false);
    input_transform = read_ner_config_bool(config, "input_transform", false);
    connect_output_layers = read_ner_config_bool(config, "connect_output_layers", false);
    charlm = read_ner_config_bool(config, "charlm", false);
    const bool char_model = read_ner_config_bool(config, "char", false);

    if (!char_model || word_emb_dim < 1 || char_emb_dim < 1 || char_hidden_dim < 1 || char_num_layers < 1 ||
        hidden_dim < 1 || num_layers < 1) {
        throw NERModelError(kArchitecture);
    }
    const JsonValue* dropout = config.find("char_rec_dropout");
    if (dropout != nullptr && !dropout->is_null() &&
        dropout->as_number("assets.config.char_rec_dropout") != 0.0) {
        throw NERModelError(kArchitecture);
    }
    const JsonValue* bert = config.find("bert_model");
    transformer = bert != nullptr && !bert->is_null();
    const JsonValue* scheme = config.find("scheme");
    if (scheme != nullptr && !scheme->is_null() && scheme->as_string("assets.config.scheme") != "bioes") {
        throw NERModelError("the native NER profile requires BIOES tags");
    }

    const JsonValue& vocab = assets.at("vocab", "assets");
    const JsonValue& classes = vocab.at("_key2class", "assets.vocab");
    const std::pair<const char*, const char*> layout[] = {
        {"char", "CharVocab"}, {"word", "PretrainedWordVocab"}, {"delta", "WordVocab"}, {"tag", "CompositeVocab"}};
    for (const auto& [key, expected] : layout) {
        if (classes.at(key, "assets.vocab._key2class").as_string("") != expected) {
            throw NERModelError("unsupported NER vocabulary layout");
        }
    }
    const JsonValue& word = vocab.at("word", "assets.vocab");
    const JsonValue& delta = vocab.at("delta", "assets.vocab");
    word_vocab = read_ner_unit2id(word, "assets.vocab.word");
    delta_vocab = read_ner_unit2id(delta, "assets.vocab.delta");
    char_vocab = read_ner_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
    word_lower = read_lower_flag(word, "assets.vocab.word");
    delta_lower = read_lower_flag(delta, "assets.vocab.delta");

    tag_columns = read_tag_columns(vocab);
    const auto columns = static_cast<std::int64_t>(tag_columns.size());
    if (predict_tagset < 0 || predict_tagset >= columns) throw NERModelError("NER predict_tagset is out of range");

    tensors = view_bundle_tensors<NERModelError>(*bundle);

    if (charlm) {
        const JsonValue& charlm_assets = assets.at("charlm", "assets");
        charlm_forward = std::make_unique<NativeCharLM>(bundle, "charmodel_forward.",
                                                        charlm_assets.at("forward", "assets.charlm"));
        charlm_backward = std::make_unique<NativeCharLM>(bundle, "charmodel_backward.",
                                                         charlm_assets.at("backward", "assets.charlm"));
        if (!charlm_forward->is_forward() || charlm_backward->is_forward()) {
            throw NERModelError("NER charLM directions disagree with their asset slots");
        }
    }
    if (transformer) {
        transformer_encoder = std::make_unique<NativeTransformer>(bundle, assets.at("transformer", "assets"));
    }

    // Presence, in the order the network reads them.
    for (const char* name : {"word_emb.weight", "delta_emb.weight", "taggerlstm_h_init", "taggerlstm_c_init"}) {
        require_ner_tensor(name);
    }
    if (!charlm) {
        for (const char* name : {"charmodel.char_emb.weight", "charmodel.charlstm_h_init", "charmodel.charlstm_c_init"}) {
            require_ner_tensor(name);
        }
        char_lstm_weights = collect_ner_char_lstm_weights(*this);
    }
    tagger_lstm_weights = collect_ner_tagger_lstm_weights(*this);
    if (input_transform) {
        require_ner_tensor("input_transform.weight");
        require_ner_tensor("input_transform.bias");
    }
    for (std::size_t k = 0; k < tag_columns.size(); ++k) {
        require_ner_tensor(column_name("tag_clfs.", k, ".weight"));
        require_ner_tensor(column_name("tag_clfs.", k, ".bias"));
        require_ner_tensor(column_name("crits.", k, "._transitions"));
    }

    // Shapes.
    const at::Tensor& word_emb = require_ner_tensor("word_emb.weight");
    const at::Tensor& delta_emb = require_ner_tensor("delta_emb.weight");
    if (word_emb.size(0) != static_cast<std::int64_t>(word_vocab.size()) || word_emb.size(1) != word_emb_dim ||
        delta_emb.size(0) != static_cast<std::int64_t>(delta_vocab.size()) || delta_emb.size(1) != word_emb_dim) {
        throw NERModelError("NER embedding dimensions disagree with bundled vocabularies");
    }
    if (!charlm) {
        const at::Tensor& char_emb = require_ner_tensor("charmodel.char_emb.weight");
        if (char_emb.size(0) != static_cast<std::int64_t>(char_vocab.size()) || char_emb.size(1) != char_emb_dim) {
            throw NERModelError("NER character embedding dimensions disagree with its vocabulary");
        }
    }
    input_width = word_emb_dim + (transformer ? transformer_encoder->hidden_size() : 0) + (charlm ? charlm_forward->hidden_size() + charlm_backward->hidden_size()
                                         : 2 * char_hidden_dim);
    const char* const input_message = "NER tagger input size disagrees with its embedding profile";
    if (input_transform) {
        const at::Tensor& weight = require_ner_tensor("input_transform.weight");
        if (weight.size(0) != input_width || weight.size(1) != input_width ||
            require_ner_tensor("input_transform.bias").size(0) != input_width) {
            throw NERModelError(input_message);
        }
    }
    if (require_ner_tensor("taggerlstm.lstm.weight_ih_l0").size(1) != input_width) throw NERModelError(input_message);
    for (std::size_t k = 0; k < tag_columns.size(); ++k) {
        const auto T = static_cast<std::int64_t>(tag_columns[k].size());
        const at::Tensor& transitions = require_ner_tensor(column_name("crits.", k, "._transitions"));
        if (require_ner_tensor(column_name("tag_clfs.", k, ".weight")).size(0) != T ||
            require_ner_tensor(column_name("tag_clfs.", k, ".bias")).size(0) != T || transitions.size(0) != T ||
            transitions.size(1) != T) {
            throw NERModelError("NER classifier dimensions disagree with tag vocabulary");
        }
    }

    if (!charlm) {
        char_lstm_state = {require_ner_tensor("charmodel.charlstm_h_init"),
                           require_ner_tensor("charmodel.charlstm_c_init")};
    }
    tagger_lstm_state = {require_ner_tensor("taggerlstm_h_init"), require_ner_tensor("taggerlstm_c_init")};
    for (std::size_t k = 0; k < tag_columns.size(); ++k) {
        classifiers.push_back({require_ner_tensor(column_name("tag_clfs.", k, ".weight")),
                               require_ner_tensor(column_name("tag_clfs.", k, ".bias")),
                               require_ner_tensor(column_name("crits.", k, "._transitions"))});
    }
    prepare_ner_network(*this);
}

}  // namespace quelbin
