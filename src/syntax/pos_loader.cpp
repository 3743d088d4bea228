// Loading of a POS bundle: configuration and architecture gates, vocabularies,
// tensor views, character LMs, the tensor set and its shapes, then the layer
// records and the fast runners built on them.
#include <string>
#include <utility>

#include <c10/util/Exception.h>

#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin {
namespace detail {

namespace {

const char* const kArchitecture =
    "unsupported POS architecture; the native profile requires word/pretrain embeddings, one unidirectional "
    "character LSTM, a non-shared HighwayLSTM, and no recurrent dropout";

std::string config_label(std::string_view key) { return "assets.config." + std::string(key); }

std::vector<std::string> read_string_list(const JsonValue& value, const std::string& path) {
    std::vector<std::string> out;
    const JsonArray& items = value.as_array(path);
    out.reserve(items.size());
    const std::string element = path + "[]";
    for (const JsonValue& item : items) out.push_back(item.as_string(element));
    return out;
}

}  // namespace

std::int64_t read_pos_config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return fallback;
    return value->as_integer(config_label(key));
}

bool read_pos_config_bool(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool(config_label(key));
}

double read_pos_config_number(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return 0.0;
    return value->as_number(config_label(key));
}

std::unordered_map<std::string, std::int64_t> read_pos_unit2id(const JsonValue& vocab, std::string_view path) {
    const std::string label(path);
    const JsonObject& members = vocab.at("_unit2id", label).as_object(label + "._unit2id");
    std::unordered_map<std::string, std::int64_t> out;
    out.max_load_factor(1.0f);
    out.reserve(members.size());
    for (const auto& [unit, id] : members) out.emplace(unit, id.as_integer(label + "._unit2id." + unit));
    return out;
}

std::vector<std::string> read_pos_id2unit(const JsonValue& vocab, std::string_view path) {
    const std::string label(path);
    return read_string_list(vocab.at("_id2unit", label), label + "._id2unit");
}

const at::Tensor& require_pos_tensor(const POSPlan::Impl& impl, std::string_view name) {
    const auto found = impl.tensors.find(std::string(name));
    if (found == impl.tensors.end()) throw POSModelError("missing POS tensor: '" + std::string(name) + "'");
    return found->second;
}

std::vector<at::Tensor> collect_pos_char_lstm_weights(const POSPlan::Impl& impl) {
    std::vector<at::Tensor> weights;
    for (const char* name : {"charmodel.charlstm.lstm.weight_ih_l0", "charmodel.charlstm.lstm.weight_hh_l0",
                             "charmodel.charlstm.lstm.bias_ih_l0", "charmodel.charlstm.lstm.bias_hh_l0"}) {
        weights.push_back(require_pos_tensor(impl, name));
    }
    return weights;
}

std::vector<at::Tensor> collect_pos_highway_lstm_weights(const POSPlan::Impl& impl, std::int64_t k) {
    return collect_highway_lstm_weights(
        [&](std::string_view name) -> const at::Tensor& { return require_pos_tensor(impl, name); }, "taggerlstm",
        k);
}

void validate_pos_tensors(const POSPlan::Impl& impl) {
    auto require = [&](const std::string& name) -> const at::Tensor& { return require_pos_tensor(impl, name); };
    for (const char* name : {"word_emb.weight", "pretrained_emb.weight", "trans_pretrained.weight", "taggerlstm_h_init",
                             "taggerlstm_c_init", "upos_hid.weight", "upos_hid.bias", "upos_clf.weight",
                             "upos_clf.bias", "upos_emb.weight", "xpos_hid.weight", "xpos_hid.bias",
                             "ufeats_hid.weight", "ufeats_hid.bias"}) {
        require(name);
    }
    if (impl.xpos_composite) {
        for (std::size_t k = 0; k < impl.xpos_components.size(); ++k) {
            require("xpos_clf." + std::to_string(k) + ".W_bilin.weight");
            require("xpos_clf." + std::to_string(k) + ".W_bilin.bias");
        }
    } else {
        require("xpos_clf.W_bilin.weight");
        require("xpos_clf.W_bilin.bias");
    }
    if (!impl.use_charlm) {
        for (const char* name : {"charmodel.char_emb.weight", "charmodel.char_attn.weight", "charmodel.charlstm_h_init",
                                 "charmodel.charlstm_c_init", "charmodel.charlstm.lstm.weight_ih_l0",
                                 "charmodel.charlstm.lstm.weight_hh_l0", "charmodel.charlstm.lstm.bias_ih_l0",
                                 "charmodel.charlstm.lstm.bias_hh_l0", "trans_char.weight"}) {
            require(name);
        }
    } else if (impl.charlm_transform_dim >= 1) {
        require("charmodel_forward_transform.weight");
        require("charmodel_backward_transform.weight");
    }
    for (std::int64_t k = 0; k < impl.num_layers; ++k) {
        collect_pos_highway_lstm_weights(impl, k);
        const std::string index = std::to_string(k);
        for (const char* part : {".highway.", ".gate."}) {
            require("taggerlstm" + std::string(part) + index + ".weight");
            require("taggerlstm" + std::string(part) + index + ".bias");
        }
    }
    for (std::size_t k = 0; k < impl.feats_labels.size(); ++k) {
        require("ufeats_clf." + std::to_string(k) + ".W_bilin.weight");
        require("ufeats_clf." + std::to_string(k) + ".W_bilin.bias");
    }

    const auto size = [](std::size_t n) { return static_cast<std::int64_t>(n); };
    const char* const kVocabularies = "POS tensor dimensions disagree with bundled vocabularies";
    const at::Tensor& word_emb = require("word_emb.weight");
    if (word_emb.size(0) != size(impl.word_vocab.size())) throw POSModelError(kVocabularies);
    if (word_emb.size(1) != impl.word_emb_dim) throw POSModelError(kVocabularies);
    if (require("pretrained_emb.weight").size(0) != size(impl.pretrain_vocab.size())) {
        throw POSModelError(kVocabularies);
    }
    if (require("upos_clf.weight").size(0) != size(impl.upos_labels.size())) throw POSModelError(kVocabularies);
    if (impl.xpos_composite) {
        for (std::size_t k = 0; k < impl.xpos_components.size(); ++k) {
            if (require("xpos_clf." + std::to_string(k) + ".W_bilin.weight").size(0) !=
                size(impl.xpos_components[k].size())) {
                throw POSModelError("composite XPOS tensor dimensions disagree with its vocabulary");
            }
        }
    } else if (require("xpos_clf.W_bilin.weight").size(0) != size(impl.xpos_labels.size())) {
        throw POSModelError("XPOS tensor dimensions disagree with its vocabulary");
    }
    if (!impl.use_charlm && require("charmodel.char_emb.weight").size(0) != size(impl.char_vocab.size())) {
        throw POSModelError("POS character tensor dimensions disagree with its vocabulary");
    }
    std::int64_t input = impl.word_emb_dim + impl.transformed_dim;
    if (!impl.use_charlm) {
        input += impl.transformed_dim;
    } else if (impl.charlm_transform_dim >= 1) {
        input += 2 * impl.charlm_transform_dim;
    } else {
        input += impl.charlm_forward->hidden_size() + impl.charlm_backward->hidden_size();
    }
    if (impl.use_transformer) input += impl.transformer->hidden_size();
    if (require("taggerlstm.lstm.0.lstm.weight_ih_l0").size(1) != input) {
        throw POSModelError("POS tagger input size disagrees with its embedding profile");
    }
}

}  // namespace detail

POSPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums) {
    using detail::JsonValue;
    bundle = std::make_shared<ModelBundle>(std::move(path), verify_checksums);
    if (bundle->processor() != "pos") {
        throw POSModelError("expected a POS bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = detail::parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");

    word_emb_dim = detail::read_pos_config_int(config, "word_emb_dim", 0);
    transformed_dim = detail::read_pos_config_int(config, "transformed_dim", 0);
    char_emb_dim = detail::read_pos_config_int(config, "char_emb_dim", 0);
    char_hidden_dim = detail::read_pos_config_int(config, "char_hidden_dim", 0);
    hidden_dim = detail::read_pos_config_int(config, "hidden_dim", 0);
    num_layers = detail::read_pos_config_int(config, "num_layers", 0);
    tag_emb_dim = detail::read_pos_config_int(config, "tag_emb_dim", 0);
    batch_size = detail::read_pos_config_int(config, "batch_size", 250);
    batch_maximum_tokens = detail::read_pos_config_int(config, "batch_maximum_tokens", 5000);
    charlm_transform_dim = detail::read_pos_config_int(config, "charlm_transform_dim", 0);
    use_charlm = detail::read_pos_config_bool(config, "charlm");

    const auto refuse_architecture = [] { throw POSModelError(detail::kArchitecture); };
    if (!detail::read_pos_config_bool(config, "char")) refuse_architecture();
    if (!detail::read_pos_config_bool(config, "pretrain")) refuse_architecture();
    if (detail::read_pos_config_bool(config, "char_bidirectional")) refuse_architecture();
    if (detail::read_pos_config_bool(config, "share_hid")) refuse_architecture();
    if (!use_charlm) {
        if (detail::read_pos_config_int(config, "char_num_layers", 0) != 1) refuse_architecture();
        if (detail::read_pos_config_number(config, "char_rec_dropout") != 0.0) refuse_architecture();
    }
    if (detail::read_pos_config_number(config, "rec_dropout") != 0.0) refuse_architecture();
    for (const std::int64_t value : {word_emb_dim, transformed_dim, char_emb_dim, char_hidden_dim, hidden_dim,
                                     num_layers, tag_emb_dim, batch_size, batch_maximum_tokens}) {
        if (value < 1) refuse_architecture();
    }

    const JsonValue* bert = config.find("bert_model");
    use_transformer = bert != nullptr && !bert->is_null();

    const JsonValue& vocab = assets.at("vocab", "assets");
    const std::string& xpos_class =
        vocab.at("_key2class", "assets.vocab").at("xpos", "assets.vocab._key2class").as_string("");
    if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") {
        throw POSModelError("unsupported XPOS vocabulary class: " + xpos_class);
    }
    const JsonValue& word = vocab.at("word", "assets.vocab");
    word_vocab = detail::read_pos_unit2id(word, "assets.vocab.word");
    if (const JsonValue* lower = word.find("lower")) word_lower = lower->as_bool("assets.vocab.word.lower");
    char_vocab = detail::read_pos_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
    upos_labels = detail::read_pos_id2unit(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");

    const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
    if (xpos_class == "XPOSVocab") {
        xpos_composite = true;
        if (xpos.at("keyed", "assets.vocab.xpos").as_bool("assets.vocab.xpos.keyed")) {
            throw POSModelError("keyed composite XPOS vocabularies are unsupported");
        }
        xpos_sep = xpos.at("sep", "assets.vocab.xpos").as_string("assets.vocab.xpos.sep");
        const detail::JsonObject& components =
            xpos.at("_id2unit", "assets.vocab.xpos").as_object("assets.vocab.xpos._id2unit");
        std::vector<std::pair<unsigned long long, std::vector<std::string>>> numbered;
        for (const auto& [key, value] : components) {
            const unsigned long long number = detail::composite_xpos_key<POSModelError>(key);
            numbered.emplace_back(number, detail::read_string_list(value, "assets.vocab.xpos._id2unit." + key));
        }
        xpos_components = detail::order_composite_xpos_components<POSModelError>(std::move(numbered));
    } else {
        xpos_labels = detail::read_pos_id2unit(xpos, "assets.vocab.xpos");
        if (const JsonValue* ignore = xpos.find("ignore")) {
            xpos_has_ignore = !ignore->as_array("assets.vocab.xpos.ignore").empty();
        }
    }

    pretrain_vocab = detail::read_pos_unit2id(assets.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");

    const JsonValue& feats = vocab.at("feats", "assets.vocab");
    if (!feats.at("keyed", "assets.vocab.feats").as_bool("assets.vocab.feats.keyed") ||
        feats.at("sep", "assets.vocab.feats").as_string("assets.vocab.feats.sep") != "|") {
        throw POSModelError("the native POS profile requires keyed, pipe-separated morphological features");
    }
    for (const auto& [name, values] :
         feats.at("_id2unit", "assets.vocab.feats").as_object("assets.vocab.feats._id2unit")) {
        feats_labels.emplace_back(name, detail::read_string_list(values, "assets.vocab.feats._id2unit." + name));
    }

    tensors = detail::view_bundle_tensors<POSModelError>(*bundle);

    if (use_charlm) {
        const JsonValue& charlm = assets.at("charlm", "assets");
        charlm_forward = std::make_unique<detail::NativeCharLM>(bundle, "charmodel_forward.",
                                                                charlm.at("forward", "assets.charlm"));
        charlm_backward = std::make_unique<detail::NativeCharLM>(bundle, "charmodel_backward.",
                                                                 charlm.at("backward", "assets.charlm"));
        if (!charlm_forward->is_forward() || charlm_backward->is_forward()) {
            throw POSModelError("POS charLM directions disagree with their asset slots");
        }
    }
    if (use_transformer) {
        transformer = std::make_unique<detail::NativeTransformer>(bundle, assets.at("transformer", "assets"));
    }

    detail::validate_pos_tensors(*this);

    if (!use_charlm) {
        char_lstm_weights = detail::collect_pos_char_lstm_weights(*this);
        char_lstm_state = {detail::require_pos_tensor(*this, "charmodel.charlstm_h_init"),
                           detail::require_pos_tensor(*this, "charmodel.charlstm_c_init")};
    }
    tagger_layers.reserve(static_cast<std::size_t>(num_layers));
    for (std::int64_t k = 0; k < num_layers; ++k) {
        tagger_layers.push_back(detail::make_highway_layer(
            [&](std::string_view name) -> const at::Tensor& { return detail::require_pos_tensor(*this, name); },
            "taggerlstm", k));
    }

    // The fast runners check the shapes and dtypes the checks above leave open.
    try {
        if (!use_charlm) {
            char_model = std::make_unique<detail::GatedCharLstm>(
                detail::require_pos_tensor(*this, "charmodel.char_emb.weight"), char_lstm_weights,
                char_lstm_state[0], char_lstm_state[1], detail::require_pos_tensor(*this, "charmodel.char_attn.weight"));
        }
        tagger = std::make_unique<detail::HighwayStack>(tagger_layers);
    } catch (const c10::Error& error) {
        throw POSModelError(std::string("POS weights do not fit the native kernels: ") + error.what_without_backtrace());
    }
}

}  // namespace quelbin
