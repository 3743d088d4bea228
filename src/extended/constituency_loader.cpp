// Loading of a constituency bundle: architecture gates, configuration,
// transition table, vocabularies, tensor views, character LMs, transformer,
// the tensor set and its shapes, then the LSTM weight lists and states.
#include <string>
#include <utility>

#include <ATen/ops/zeros.h>

#include "extended/constituency_impl.hpp"
#include "kernels/bilstm.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"

namespace quelbin {
namespace detail {

namespace {

const char* const kArchitecture =
    "unsupported constituency architecture; the native profile requires IN_ORDER/MAX/LSTM with ReLU, one tree "
    "layer, ordinary output layers, and no parser attention or PEFT";
const char* const kVocabularies = "constituency vocabularies disagree with embedding rows";
const char* const kHidden = "constituency hidden dimensions disagree";

std::string config_label(std::string_view key) { return "assets.config." + std::string(key); }

// Entry i of the list gets id i + 2, a repeated entry keeping its first id.
// Returns whether every entry was distinct.
bool read_id_map(const JsonValue& value, const std::string& path, std::unordered_map<std::string, std::int64_t>& out) {
    const JsonArray& items = value.as_array(path);
    const std::string element = path + "[]";
    bool distinct = true;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        distinct &= out.emplace(items[i].as_string(element), static_cast<std::int64_t>(i) + 2).second;
    }
    return distinct;
}

void read_transitions(ConstituencyPlan::Impl& impl, const JsonValue& assets) {
    const JsonArray& rows = assets.at("transitions", "assets").as_array("assets.transitions");
    impl.transitions.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string context = "assets.transitions[" + std::to_string(i) + "]";
        const std::string& kind = rows[i].at("kind", context).as_string(context + ".kind");
        ConstituencyTransition row;
        if (kind == "open") {
            row.kind = TransitionKind::Open;
            row.open_index = rows[i].at("open_index", context).as_integer(context + ".open_index");
            const std::string labels = context + ".labels";
            for (const JsonValue& label : rows[i].at("labels", context).as_array(labels)) {
                row.labels.push_back(label.as_string(labels + "[]"));
            }
            if (row.labels.empty() || row.open_index < 0) {
                throw ConstituencyModelError("constituency Open transition is incomplete");
            }
        } else if (kind == "shift") {
            row.kind = TransitionKind::Shift;
            impl.has_shift = true;
        } else if (kind == "close") {
            row.kind = TransitionKind::Close;
            impl.has_close = true;
        } else {
            throw ConstituencyModelError("unknown constituency transition kind: '" + kind + "'");
        }
        impl.transitions.push_back(std::move(row));
    }
    if (!impl.has_shift || !impl.has_close || impl.transitions.empty()) {
        throw ConstituencyModelError("constituency transition table is incomplete");
    }
}

std::string layer_name(const std::string& prefix, const char* part, std::int64_t k, bool reverse) {
    return prefix + part + std::to_string(k) + (reverse ? "_reverse" : "");
}

}  // namespace

const std::string& read_constituency_config_string(const JsonValue& config, std::string_view key) {
    return config.at(key, "assets.config").as_string(config_label(key));
}

std::int64_t read_constituency_config_int(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return 0;
    return value->as_integer(config_label(key));
}

bool read_constituency_config_bool(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool(config_label(key));
}

const at::Tensor& require_constituency_tensor(const ConstituencyPlan::Impl& impl, std::string_view name) {
    const auto found = impl.tensors.find(std::string(name));
    if (found == impl.tensors.end()) {
        throw ConstituencyModelError("missing constituency tensor: '" + std::string(name) + "'");
    }
    return found->second;
}

std::vector<at::Tensor> collect_constituency_lstm_weights(const ConstituencyPlan::Impl& impl,
                                                          const std::string& prefix, bool bidirectional) {
    std::vector<at::Tensor> weights;
    for (std::int64_t k = 0; k < impl.num_lstm_layers; ++k) {
        for (const bool reverse : {false, true}) {
            if (reverse && !bidirectional) break;
            for (const char* part : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
                weights.push_back(require_constituency_tensor(impl, layer_name(prefix, part, k, reverse)));
            }
        }
    }
    return weights;
}

void validate_constituency_tensors(const ConstituencyPlan::Impl& impl) {
    auto require = [&](const std::string& name) -> const at::Tensor& {
        return require_constituency_tensor(impl, name);
    };
    require("embedding.weight");
    require("delta_embedding.weight");
    if (impl.tag_embedding_dim >= 1) require("tag_embedding.weight");
    for (const char* name : {"word_to_constituent.weight", "word_to_constituent.bias", "transition_embedding.weight",
                             "dummy_embedding.weight", "reduce_linear.weight", "reduce_linear.bias"}) {
        require(name);
    }
    if (impl.boundary_vectors) {
        for (const char* name : {"word_start_embedding", "word_end_embedding", "transition_stack.start_embedding",
                                 "constituent_stack.start_embedding"}) {
            require(name);
        }
    }
    collect_constituency_lstm_weights(impl, "word_lstm.", true);
    collect_constituency_lstm_weights(impl, "transition_stack.lstm.", false);
    collect_constituency_lstm_weights(impl, "constituent_stack.lstm.", false);
    for (std::int64_t k = 0; k < impl.num_output_layers; ++k) {
        require("output_layers." + std::to_string(k) + ".weight");
        require("output_layers." + std::to_string(k) + ".bias");
    }

    const auto rows = [&](const char* name) { return require(name).size(0); };
    const auto count = [](std::size_t n) { return static_cast<std::int64_t>(n); };
    if (rows("embedding.weight") != count(impl.pretrain_vocab.size())) throw ConstituencyModelError(kVocabularies);
    if (rows("delta_embedding.weight") != count(impl.delta_words.size()) + 2) {
        throw ConstituencyModelError(kVocabularies);
    }
    if (impl.tag_embedding_dim >= 1 && rows("tag_embedding.weight") != count(impl.tags.size()) + 2) {
        throw ConstituencyModelError(kVocabularies);
    }
    if (rows("transition_embedding.weight") != count(impl.transitions.size())) {
        throw ConstituencyModelError(kVocabularies);
    }
    const at::Tensor& dummy = require("dummy_embedding.weight");
    if (dummy.dim() != 2 || dummy.size(1) != impl.hidden_size) throw ConstituencyModelError(kHidden);
    if (rows("word_to_constituent.weight") != impl.hidden_size) throw ConstituencyModelError(kHidden);
    const at::Tensor& reduce = require("reduce_linear.weight");
    if (reduce.dim() != 2 || reduce.size(0) != impl.hidden_size || reduce.size(1) != impl.hidden_size) {
        throw ConstituencyModelError(kHidden);
    }
    // The transition stack's initial state is allocated from its configured size.
    if (impl.num_lstm_layers >= 1 &&
        !hidden_size_fits(impl.transition_hidden_size,
                          require(layer_name("transition_stack.lstm.", "weight_hh_l", 0, false)))) {
        throw ConstituencyModelError(kHidden);
    }
}

}  // namespace detail

ConstituencyPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums) {
    using detail::JsonValue;
    bundle = std::make_shared<ModelBundle>(std::move(path), verify_checksums);
    if (bundle->processor() != "constituency") {
        throw ConstituencyModelError("expected a constituency bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = detail::parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");

    const auto refuse_architecture = [] { throw ConstituencyModelError(detail::kArchitecture); };
    const std::pair<const char*, const char*> strings[] = {
        {"transition_scheme", "IN_ORDER"}, {"constituency_composition", "MAX"}, {"transition_stack", "LSTM"},
        {"constituent_stack", "LSTM"},     {"nonlinearity", "relu"},
    };
    for (const auto& [key, accepted] : strings) {
        if (detail::read_constituency_config_string(config, key) != accepted) refuse_architecture();
    }
    if (detail::read_constituency_config_int(config, "num_tree_lstm_layers") != 1) refuse_architecture();
    if (detail::read_constituency_config_int(config, "maxout_k") != 0) refuse_architecture();
    if (detail::read_constituency_config_int(config, "pattn_num_layers") != 0) refuse_architecture();
    if (detail::read_constituency_config_bool(config, "use_rattn")) refuse_architecture();
    if (detail::read_constituency_config_bool(config, "use_peft")) refuse_architecture();

    const std::string& boundary = detail::read_constituency_config_string(config, "sentence_boundary_vectors");
    if (boundary == "EVERYTHING") {
        boundary_vectors = true;
    } else if (boundary != "NONE") {
        throw ConstituencyModelError("unsupported constituency sentence boundary profile: '" + boundary + "'");
    }

    hidden_size = detail::read_constituency_config_int(config, "hidden_size");
    transition_hidden_size = detail::read_constituency_config_int(config, "transition_hidden_size");
    tag_embedding_dim = detail::read_constituency_config_int(config, "tag_embedding_dim");
    transition_embedding_dim = detail::read_constituency_config_int(config, "transition_embedding_dim");
    delta_embedding_dim = detail::read_constituency_config_int(config, "delta_embedding_dim");
    num_lstm_layers = detail::read_constituency_config_int(config, "num_lstm_layers");
    num_output_layers = detail::read_constituency_config_int(config, "num_output_layers");
    for (const std::int64_t value : {hidden_size, transition_hidden_size, transition_embedding_dim,
                                     delta_embedding_dim, num_lstm_layers, num_output_layers}) {
        if (value < 1) throw ConstituencyModelError("constituency model dimensions must be positive");
    }
    if (tag_embedding_dim < 0) throw ConstituencyModelError("constituency model dimensions must be positive");

    const std::string& tag_source = assets.at("runtime_contract", "assets")
                                        .at("tag_source", "assets.runtime_contract")
                                        .as_string("assets.runtime_contract.tag_source");
    if (tag_source == "xpos") {
        uses_xpos = true;
    } else if (tag_source != "upos") {
        throw ConstituencyModelError("unsupported constituency tag source: '" + tag_source + "'");
    }

    unary_limit = assets.at("unary_limit", "assets").as_integer("assets.unary_limit");
    if (unary_limit < 0) throw ConstituencyModelError("constituency unary limit cannot be negative");

    for (const JsonValue& label : assets.at("root_labels", "assets").as_array("assets.root_labels")) {
        root_labels.insert(label.as_string("assets.root_labels[]"));
    }
    if (root_labels.empty()) throw ConstituencyModelError("constituency model has no root labels");

    detail::read_transitions(*this, assets);

    // A word or tag listed twice would leave an embedding row that no id
    // reaches and shift every later entry's row: refused as a size mismatch.
    if (!detail::read_id_map(assets.at("delta_words", "assets"), "assets.delta_words", delta_words)) {
        throw ConstituencyModelError(detail::kVocabularies);
    }
    if (!detail::read_id_map(assets.at("tags", "assets"), "assets.tags", tags) && tag_embedding_dim >= 1) {
        throw ConstituencyModelError(detail::kVocabularies);
    }

    const JsonValue& pretrain = assets.at("pretrain_vocab", "assets");
    const detail::JsonObject& units =
        pretrain.at("_unit2id", "assets.pretrain_vocab").as_object("assets.pretrain_vocab._unit2id");
    pretrain_vocab.reserve(units.size());
    for (const auto& [unit, id] : units) {
        pretrain_vocab.emplace(unit, id.as_integer("assets.pretrain_vocab._unit2id." + unit));
    }
    if (const JsonValue* lower = pretrain.find("lower")) pretrain_lower = lower->as_bool("assets.pretrain_vocab.lower");
    const auto pad = pretrain_vocab.find("<PAD>");
    const auto unk = pretrain_vocab.find("<UNK>");
    if (pad == pretrain_vocab.end() || pad->second != 0 || unk == pretrain_vocab.end() || unk->second != 1) {
        throw ConstituencyModelError("constituency pretrain vocabulary has invalid PAD/UNK ids");
    }

    tensors = detail::view_bundle_tensors<ConstituencyModelError>(*bundle);

    has_forward_charlm = tensors.count("forward_charlm.char_emb.weight") != 0;
    has_backward_charlm = tensors.count("backward_charlm.char_emb.weight") != 0;
    if (has_forward_charlm || has_backward_charlm) {
        const JsonValue* charlm = assets.find("charlm");
        if (charlm == nullptr || !charlm->is_object()) {
            throw ConstituencyModelError("constituency charLM tensors have no assets");
        }
        // Each direction is built only when its own tensors are there.
        if (has_forward_charlm) {
            forward_charlm = std::make_unique<detail::NativeCharLM>(bundle, "forward_charlm.",
                                                                    charlm->at("forward", "assets.charlm"));
            if (!forward_charlm->is_forward()) {
                throw ConstituencyModelError("constituency forward charLM has the wrong direction");
            }
        }
        if (has_backward_charlm) {
            backward_charlm = std::make_unique<detail::NativeCharLM>(bundle, "backward_charlm.",
                                                                     charlm->at("backward", "assets.charlm"));
            if (backward_charlm->is_forward()) {
                throw ConstituencyModelError("constituency backward charLM has the wrong direction");
            }
        }
    }

    const JsonValue* bert = config.find("bert_model");
    if (bert != nullptr && !bert->is_null()) {
        uses_transformer = true;
        transformer = std::make_unique<detail::NativeTransformer>(bundle, assets.at("transformer", "assets"));
    }

    detail::validate_constituency_tensors(*this);

    word_lstm_weights = detail::collect_constituency_lstm_weights(*this, "word_lstm.", true);
    transition_lstm_weights = detail::collect_constituency_lstm_weights(*this, "transition_stack.lstm.", false);
    constituent_lstm_weights = detail::collect_constituency_lstm_weights(*this, "constituent_stack.lstm.", false);

    const at::Tensor& embedding = detail::require_constituency_tensor(*this, "embedding.weight");
    const auto zeros = [&](std::int64_t layers, std::int64_t size) {
        return at::zeros({layers, 1, size}, embedding.options());
    };
    word_lstm_state = {zeros(2 * num_lstm_layers, hidden_size), zeros(2 * num_lstm_layers, hidden_size)};
    transition_lstm_state = {zeros(num_lstm_layers, transition_hidden_size),
                             zeros(num_lstm_layers, transition_hidden_size)};
    constituent_lstm_state = {zeros(num_lstm_layers, hidden_size), zeros(num_lstm_layers, hidden_size)};

    transition_runner =
        detail::make_constituency_stack_runner(transition_lstm_weights, num_lstm_layers, transition_hidden_size);
    constituent_runner = detail::make_constituency_stack_runner(constituent_lstm_weights, num_lstm_layers, hidden_size);

    for (std::int64_t k = 0; k < num_output_layers; ++k) {
        const std::string name = "output_layers." + std::to_string(k);
        output_layers.emplace_back(detail::require_constituency_tensor(*this, name + ".weight"),
                                   detail::require_constituency_tensor(*this, name + ".bias"));
    }
}

}  // namespace quelbin
