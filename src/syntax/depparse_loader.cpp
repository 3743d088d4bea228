// Loading of a dependency-parser bundle: configuration and architecture gates,
// the UFeats contract, vocabularies, tensor views, character LMs, the tensor
// set and its shapes, then the layer records and the fast runners on them.
#include <limits>
#include <string>
#include <utility>

#include <ATen/ops/cat.h>
#include <c10/util/Exception.h>

#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin {
namespace detail {

namespace {

const char* const kArchitecture =
    "unsupported depparse architecture; the native profile requires word/lemma/POS/pretrain embeddings, one "
    "unidirectional character LSTM, a non-reversed GraphParser HighwayLSTM without recurrent dropout, and "
    "standard deep biaffine heads";
const char* const kDimensions = "depparse tensor dimensions disagree with bundled configuration or vocabularies";

std::string config_label(std::string_view key) { return "assets.config." + std::string(key); }

// The tensor lookup in the shared helpers' form; passed as a temporary, which
// lives as long as the call it is passed to.
struct Requirer {
    const DepparsePlan::Impl& impl;
    const at::Tensor& operator()(std::string_view name) const { return require_depparse_tensor(impl, name); }
};

}  // namespace

std::int64_t read_config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return fallback;
    return value->as_integer(config_label(key));
}

bool read_config_bool(const JsonValue& config, std::string_view key, bool fallback) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return fallback;
    return value->as_bool(config_label(key));
}

double read_config_number(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return 0.0;
    return value->as_number(config_label(key));
}

std::unordered_map<std::string, std::int64_t> read_unit2id(const JsonValue& vocab, std::string_view label) {
    const std::string path(label);
    const JsonObject& members = vocab.at("_unit2id", path).as_object(path + "._unit2id");
    std::unordered_map<std::string, std::int64_t> out;
    out.reserve(members.size());
    for (const auto& [unit, id] : members) out.emplace(unit, id.as_integer(path + "._unit2id." + unit));
    return out;
}

const at::Tensor& require_depparse_tensor(const DepparsePlan::Impl& impl, std::string_view name) {
    const auto found = impl.tensors.find(std::string(name));
    if (found == impl.tensors.end()) {
        throw DepparseModelError("missing depparse tensor: '" + std::string(name) + "'");
    }
    return found->second;
}

std::vector<at::Tensor> collect_depparse_char_lstm_weights(const DepparsePlan::Impl& impl) {
    std::vector<at::Tensor> weights;
    weights.reserve(4);
    for (const char* name : {"charmodel.charlstm.lstm.weight_ih_l0", "charmodel.charlstm.lstm.weight_hh_l0",
                             "charmodel.charlstm.lstm.bias_ih_l0", "charmodel.charlstm.lstm.bias_hh_l0"}) {
        weights.push_back(require_depparse_tensor(impl, name));
    }
    return weights;
}

std::vector<at::Tensor> collect_depparse_highway_lstm_weights(const DepparsePlan::Impl& impl, std::int64_t l) {
    return collect_highway_lstm_weights(Requirer{impl}, "parserlstm", l);
}

void validate_depparse_tensors(const DepparsePlan::Impl& impl) {
    const auto require = [&](const std::string& name) -> const at::Tensor& {
        return require_depparse_tensor(impl, name);
    };
    for (const char* name : {"word_emb.weight", "lemma_emb.weight", "upos_emb.weight", "pretrained_emb.weight",
                             "trans_pretrained.weight", "parserlstm_h_init", "parserlstm_c_init"}) {
        require(name);
    }
    bind_biaffine_tensors(Requirer{impl}, "unlabeled");
    bind_biaffine_tensors(Requirer{impl}, "deprel");
    if (impl.composite_xpos) {
        for (std::size_t i = 0; i < impl.xpos_component_vocabs.size(); ++i) {
            require("xpos_emb." + std::to_string(i) + ".weight");
        }
    } else {
        require("xpos_emb.weight");
    }
    if (!impl.charlm) {
        for (const char* name : {"charmodel.char_emb.weight", "charmodel.char_attn.weight", "charmodel.charlstm_h_init",
                                 "charmodel.charlstm_c_init"}) {
            require(name);
        }
        collect_depparse_char_lstm_weights(impl);
        require("trans_char.weight");
    }
    for (std::int64_t l = 0; l < impl.num_layers; ++l) {
        collect_depparse_highway_lstm_weights(impl, l);
        const std::string index = std::to_string(l);
        for (const char* part : {"parserlstm.highway.", "parserlstm.gate."}) {
            require(part + index + ".weight");
            require(part + index + ".bias");
        }
    }
    if (impl.linearization) bind_biaffine_tensors(Requirer{impl}, "linearization");
    if (impl.distance) bind_biaffine_tensors(Requirer{impl}, "distance");
    for (std::uint64_t i = 0; i < impl.ufeats_count; ++i) require("ufeats_emb." + std::to_string(i) + ".weight");

    const auto count = [](std::size_t n) { return static_cast<std::int64_t>(n); };
    std::int64_t width = impl.charlm ? impl.forward_charlm->hidden_size() + impl.backward_charlm->hidden_size()
                                     : impl.transformed_dim;
    width += impl.transformed_dim + 2 * impl.word_emb_dim + 2 * impl.tag_emb_dim;
    if (impl.use_transformer) width += impl.transformer->hidden_size();
    const at::Tensor& word = require("word_emb.weight");
    const at::Tensor& lemma = require("lemma_emb.weight");
    const bool agree = word.size(0) == count(impl.word_vocab.size()) && word.size(1) == impl.word_emb_dim &&
                       lemma.size(0) == count(impl.lemma_vocab.size()) && lemma.size(1) == impl.word_emb_dim &&
                       require("upos_emb.weight").size(0) == count(impl.upos_vocab.size()) &&
                       require("pretrained_emb.weight").size(0) == count(impl.pretrain_vocab.size()) &&
                       require("parserlstm.lstm.0.lstm.weight_ih_l0").size(1) == width &&
                       require("deprel.scorer.W_bilin.bias").size(0) == count(impl.deprel_labels.size()) - 4;
    if (!agree) throw DepparseModelError(kDimensions);
    if (impl.composite_xpos) {
        for (std::size_t i = 0; i < impl.xpos_component_vocabs.size(); ++i) {
            if (require("xpos_emb." + std::to_string(i) + ".weight").size(0) !=
                count(impl.xpos_component_vocabs[i].size())) {
                throw DepparseModelError("composite XPOS embedding dimensions disagree with its vocabulary");
            }
        }
    } else if (require("xpos_emb.weight").size(0) != count(impl.xpos_vocab.size())) {
        throw DepparseModelError("XPOS embedding dimensions disagree with its vocabulary");
    }
    if (impl.charlm) return;
    if (require("charmodel.char_emb.weight").size(0) != count(impl.char_vocab.size())) {
        throw DepparseModelError("depparse character tensor dimensions disagree with its vocabulary");
    }
}

}  // namespace detail

DepparsePlan::Impl::~Impl() = default;

DepparsePlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums) {
    using detail::JsonValue;
    bundle = std::make_shared<ModelBundle>(std::move(bundle_dir), verify_checksums);
    if (bundle->processor() != "depparse") {
        throw DepparseModelError("expected a depparse bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = detail::parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");

    word_emb_dim = detail::read_config_int(config, "word_emb_dim", 0);
    tag_emb_dim = detail::read_config_int(config, "tag_emb_dim", 0);
    transformed_dim = detail::read_config_int(config, "transformed_dim", 0);
    char_emb_dim = detail::read_config_int(config, "char_emb_dim", 0);
    char_hidden_dim = detail::read_config_int(config, "char_hidden_dim", 0);
    hidden_dim = detail::read_config_int(config, "hidden_dim", 0);
    num_layers = detail::read_config_int(config, "num_layers", 0);
    batch_size = detail::read_config_int(config, "batch_size", 5000);
    deep_biaff_hidden_dim = detail::read_config_int(config, "deep_biaff_hidden_dim", 0);
    linearization = detail::read_config_bool(config, "linearization", false);
    distance = detail::read_config_bool(config, "distance", false);
    charlm = detail::read_config_bool(config, "charlm", false);
    const JsonValue* bert = config.find("bert_model");
    use_transformer = bert != nullptr && !bert->is_null();

    const auto gate = [](bool passes) {
        if (!passes) throw DepparseModelError(detail::kArchitecture);
    };
    gate(detail::read_config_bool(config, "char", false));
    gate(detail::read_config_bool(config, "pretrain", false));
    for (const char* key : {"char_bidirectional", "use_arc_embedding", "reversed"}) {
        gate(!detail::read_config_bool(config, key, false));
    }
    for (const char* key : {"use_upos", "use_xpos", "use_ufeats"}) gate(detail::read_config_bool(config, key, true));
    if (!charlm) {
        gate(detail::read_config_int(config, "char_num_layers", 0) == 1);
        gate(detail::read_config_number(config, "char_rec_dropout") == 0.0);
    }
    gate(detail::read_config_number(config, "rec_dropout") == 0.0);
    for (const std::int64_t value : {word_emb_dim, tag_emb_dim, transformed_dim, char_emb_dim, char_hidden_dim,
                                     hidden_dim, num_layers, batch_size, deep_biaff_hidden_dim}) {
        gate(value >= 1);
    }

    const std::string& contract = assets.at("runtime_contract", "assets")
                                      .at("depparse_ufeats_input", "assets.runtime_contract")
                                      .as_string("assets.runtime_contract.depparse_ufeats_input");
    if (contract != "duplicated_pos_emb") {
        throw DepparseModelError(
            "unsupported depparse UFeats input contract; released Varnek 1.14 checkpoints require "
            "duplicated_pos_emb");
    }

    const JsonValue& vocab = assets.at("vocab", "assets");
    const std::string& xpos_class = vocab.at("_key2class", "assets.vocab")
                                        .at("xpos", "assets.vocab._key2class")
                                        .as_string("assets.vocab._key2class.xpos");
    if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") {
        throw DepparseModelError("unsupported XPOS vocabulary class: " + xpos_class);
    }
    composite_xpos = xpos_class == "XPOSVocab";

    const JsonValue& word = vocab.at("word", "assets.vocab");
    word_vocab = detail::read_unit2id(word, "assets.vocab.word");
    if (const JsonValue* lower = word.find("lower")) word_lower = lower->as_bool("assets.vocab.word.lower");
    const JsonValue& lemma = vocab.at("lemma", "assets.vocab");
    lemma_vocab = detail::read_unit2id(lemma, "assets.vocab.lemma");
    if (const JsonValue* lower = lemma.find("lower")) lemma_lower = lower->as_bool("assets.vocab.lemma.lower");
    char_vocab = detail::read_unit2id(vocab.at("char", "assets.vocab"), "assets.vocab.char");
    upos_vocab = detail::read_unit2id(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");

    const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
    if (composite_xpos) {
        if (xpos.at("keyed", "assets.vocab.xpos").as_bool("assets.vocab.xpos.keyed")) {
            throw DepparseModelError("keyed composite XPOS vocabularies are unsupported");
        }
        xpos_sep = xpos.at("sep", "assets.vocab.xpos").as_string("assets.vocab.xpos.sep");
        const detail::JsonObject& components =
            xpos.at("_unit2id", "assets.vocab.xpos").as_object("assets.vocab.xpos._unit2id");
        std::vector<std::pair<unsigned long long, std::unordered_map<std::string, std::int64_t>>> numbered;
        numbered.reserve(components.size());
        for (const auto& [key, value] : components) {
            const unsigned long long index = detail::composite_xpos_key<DepparseModelError>(key);
            const std::string label = "assets.vocab.xpos._unit2id." + key;
            const detail::JsonObject& units = value.as_object(label);
            std::unordered_map<std::string, std::int64_t> map;
            map.reserve(units.size());
            for (const auto& [unit, id] : units) map.emplace(unit, id.as_integer(label + "." + unit));
            numbered.emplace_back(index, std::move(map));
        }
        xpos_component_vocabs = detail::order_composite_xpos_components<DepparseModelError>(std::move(numbered));
    } else {
        xpos_vocab = detail::read_unit2id(xpos, "assets.vocab.xpos");
        if (const JsonValue* ignore = xpos.find("ignore")) {
            xpos_ignore = !ignore->as_array("assets.vocab.xpos.ignore").empty();
        }
    }

    pretrain_vocab = detail::read_unit2id(assets.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");

    const detail::JsonArray& deprels = vocab.at("deprel", "assets.vocab")
                                           .at("_id2unit", "assets.vocab.deprel")
                                           .as_array("assets.vocab.deprel._id2unit");
    deprel_labels.reserve(deprels.size());
    for (const JsonValue& label : deprels) deprel_labels.push_back(label.as_string("assets.vocab.deprel._id2unit[]"));

    const JsonValue& feats = vocab.at("feats", "assets.vocab");
    if (!feats.at("keyed", "assets.vocab.feats").as_bool("assets.vocab.feats.keyed") ||
        feats.at("sep", "assets.vocab.feats").as_string("assets.vocab.feats.sep") != "|") {
        throw DepparseModelError("the native depparse profile requires keyed, pipe-separated morphological features");
    }
    ufeats_count = feats.at("_id2unit", "assets.vocab.feats").as_object("assets.vocab.feats._id2unit").size();

    tensors = detail::view_bundle_tensors<DepparseModelError>(*bundle);

    if (charlm) {
        const JsonValue& models = assets.at("charlm", "assets");
        forward_charlm =
            std::make_unique<detail::NativeCharLM>(bundle, "charmodel_forward.", models.at("forward", "assets.charlm"));
        backward_charlm = std::make_unique<detail::NativeCharLM>(bundle, "charmodel_backward.",
                                                                 models.at("backward", "assets.charlm"));
        if (!forward_charlm->is_forward() || backward_charlm->is_forward()) {
            throw DepparseModelError("depparse charLM directions disagree with their asset slots");
        }
    }
    if (use_transformer) {
        transformer = std::make_unique<detail::NativeTransformer>(bundle, assets.at("transformer", "assets"));
    }

    detail::validate_depparse_tensors(*this);
    if (!charlm) {
        char_lstm_weights = detail::collect_depparse_char_lstm_weights(*this);
        char_lstm_state = {detail::require_depparse_tensor(*this, "charmodel.charlstm_h_init"),
                           detail::require_depparse_tensor(*this, "charmodel.charlstm_c_init")};
    }
    highway_layers.reserve(static_cast<std::size_t>(num_layers));
    for (std::int64_t l = 0; l < num_layers; ++l) {
        highway_layers.push_back(detail::make_highway_layer(detail::Requirer{*this}, "parserlstm", l));
    }

    // The fast runners check the recurrent shapes and dtypes the checks above
    // leave open, so that a bundle that cannot run is refused here.
    try {
        if (!charlm) {
            char_model = std::make_unique<detail::GatedCharLstm>(
                detail::require_depparse_tensor(*this, "charmodel.char_emb.weight"), char_lstm_weights,
                char_lstm_state[0], char_lstm_state[1],
                detail::require_depparse_tensor(*this, "charmodel.char_attn.weight"));
        }
        encoder = std::make_unique<detail::HighwayStack>(highway_layers);
        // Every scorer: two relu sides [D, 2H] over the encoder's rows, then
        // a bilinear weight [D1 + 1, D2 + 1, O]; one output for the arc terms.
        // The sides are stacked for one product, but for the relation
        // scorer's head side.
        std::vector<at::Tensor> side_weights;
        std::vector<at::Tensor> side_biases;
        std::int64_t column = 0;
        for (const auto& [name, enabled] : {std::pair<const char*, bool>{"unlabeled", true}, {"deprel", true},
                                            {"linearization", linearization}, {"distance", distance}}) {
            if (!enabled) continue;
            const std::string prefix(name);
            const auto tensor = [&](const std::string& suffix) -> const at::Tensor& {
                return detail::require_depparse_tensor(*this, prefix + suffix);
            };
            std::int64_t sides[2] = {0, 0};
            for (int side = 0; side < 2; ++side) {
                const std::string key = side == 0 ? ".W1" : ".W2";
                const at::Tensor& weight = tensor(key + ".weight");
                const at::Tensor& bias = tensor(key + ".bias");
                TORCH_CHECK(weight.scalar_type() == at::kFloat && bias.scalar_type() == at::kFloat &&
                                weight.dim() == 2 && weight.size(1) == encoder->output_size() &&
                                bias.sizes() == at::IntArrayRef({weight.size(0)}),
                            prefix, " scorer sides must be float32 [D, ", encoder->output_size(), "] with a [D] bias");
                sides[side] = weight.size(0) + 1;
                if (prefix == "deprel" && side == 1) continue;
                side_weights.push_back(weight);
                side_biases.push_back(bias);
                side_column[prefix + key] = column;
                column += weight.size(0);
            }
            const at::Tensor& W = tensor(".scorer.W_bilin.weight");
            const std::int64_t outputs = prefix == "deprel" ? static_cast<std::int64_t>(deprel_labels.size()) - 4 : 1;
            TORCH_CHECK(W.scalar_type() == at::kFloat && W.sizes() == at::IntArrayRef({sides[0], sides[1], outputs}) &&
                            tensor(".scorer.W_bilin.bias").sizes() == at::IntArrayRef({outputs}) &&
                            tensor(".scorer.W_bilin.bias").scalar_type() == at::kFloat,
                        prefix, " bilinear weight must be float32 [", sides[0], ", ", sides[1], ", ", outputs,
                        "] with a [", outputs, "] bias, got ", W.sizes());
        }
        side_weight = at::cat(side_weights, 0).contiguous();
        side_bias = at::cat(side_biases, 0).contiguous();
        const at::Tensor& relation = detail::require_depparse_tensor(*this, "deprel.scorer.W_bilin.weight");
        deprel_by_head = relation.permute({1, 0, 2}).contiguous().view({relation.size(1), -1});
    } catch (const c10::Error& error) {
        throw DepparseModelError(std::string("depparse weights do not fit the native kernels: ") +
                                 error.what_without_backtrace());
    }
}

}  // namespace quelbin
