// Loading of a coref bundle: configuration, tensor views, the transformer and
// its window ids, subword-id overrides, then tensor presence and shapes.
#include <ATen/ops/clone.h>
#include <ATen/ops/from_blob.h>

#include <array>
#include <string>
#include <utility>

#include "coref/coref_impl.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"

namespace quelbin {
namespace detail {
namespace {

std::int64_t read_coref_config_int(const JsonValue& config, const std::string& key) {
    return config.at(key, "assets.config").as_integer("assets.config." + key);
}

bool read_coref_config_bool(const JsonValue& config, const std::string& key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool("assets.config." + key);
}

bool coref_dtype(const std::string& dtype) {
    static const std::array<const char*, 5> accepted = {"int64", "float16", "float32", "float64", "bfloat16"};
    for (const char* name : accepted) {
        if (dtype == name) return true;
    }
    return false;
}

// The span and zero predictors' scores are read as raw float32 values, one
// pair per sentence word and one value per head word: their weights must be
// float32 and their convolutions and outputs of the widths that give that.
void validate_coref_predictors(const CorefPlan::Impl& impl) {
    static const char* const names[] = {
        "sp.ffnn.0.weight", "sp.ffnn.0.bias", "sp.ffnn.3.weight", "sp.ffnn.3.bias", "sp.ffnn.6.weight",
        "sp.ffnn.6.bias", "sp.conv.0.weight", "sp.conv.0.bias", "sp.conv.1.weight", "sp.conv.1.bias",
        "sp.emb.weight", "zeros_predictor.0.weight", "zeros_predictor.0.bias", "zeros_predictor.2.weight",
        "zeros_predictor.2.bias"};
    bool sound = true;
    for (const char* name : names) sound = sound && require_coref_tensor(impl, name).scalar_type() == at::kFloat;
    const at::Tensor& conv0 = require_coref_tensor(impl, "sp.conv.0.weight");
    const at::Tensor& conv1 = require_coref_tensor(impl, "sp.conv.1.weight");
    const at::Tensor& zeros = require_coref_tensor(impl, "zeros_predictor.2.weight");
    sound = sound && conv0.dim() == 3 && conv0.size(2) == 3 && conv1.dim() == 3 && conv1.size(2) == 3 &&
            conv1.size(0) == 2 && zeros.dim() == 2 && zeros.size(0) == 1;
    if (!sound) throw CorefModelError("coref span or zero predictor has an unsupported shape or dtype");
}

}  // namespace

const at::Tensor& require_coref_tensor(const CorefPlan::Impl& impl, std::string_view name) {
    const auto it = impl.tensors.find(std::string(name));
    if (it == impl.tensors.end()) throw CorefModelError("missing coref tensor: '" + std::string(name) + "'");
    return it->second;
}

void validate_coref_tensors(const CorefPlan::Impl& impl) {
    static const char* const always[] = {
        "we.attn.weight",           "we.attn.bias",           "rough_scorer.bilinear.weight",
        "rough_scorer.bilinear.bias", "pw.distance_emb.weight", "a_scorer.out.weight",
        "a_scorer.out.bias",        "sp.ffnn.0.weight",       "sp.ffnn.0.bias",
        "sp.ffnn.3.weight",         "sp.ffnn.3.bias",         "sp.ffnn.6.weight",
        "sp.ffnn.6.bias",           "sp.conv.0.weight",       "sp.conv.0.bias",
        "sp.conv.1.weight",         "sp.conv.1.bias",         "sp.emb.weight",
        "zeros_predictor.0.weight", "zeros_predictor.0.bias", "zeros_predictor.2.weight",
        "zeros_predictor.2.bias"};
    for (const char* name : always) require_coref_tensor(impl, name);
    for (std::int64_t i = 0; i < impl.n_hidden_layers; ++i) {
        const std::string prefix = "a_scorer.hidden." + std::to_string(3 * i);
        require_coref_tensor(impl, prefix + ".weight");
        require_coref_tensor(impl, prefix + ".bias");
    }
    if (impl.singletons) require_coref_tensor(impl, "a_scorer.start_map.weight");
    if (impl.full_pairwise) require_coref_tensor(impl, "pw.speaker_emb.weight");

    const std::int64_t hidden = impl.hidden_size;
    const at::Tensor& rough = require_coref_tensor(impl, "rough_scorer.bilinear.weight");
    // A weight of fewer than two dimensions fails here with the library's own error.
    const bool agree = require_coref_tensor(impl, "we.attn.weight").size(1) == hidden && rough.dim() == 2 &&
                       rough.size(0) == hidden && rough.size(1) == hidden &&
                       require_coref_tensor(impl, "pw.distance_emb.weight").size(0) == 9;
    if (!agree) throw CorefModelError("coref tensor dimensions disagree");
}

at::Tensor make_coref_index_tensor(const std::int64_t* data, c10::IntArrayRef sizes) {
    return at::from_blob(const_cast<std::int64_t*>(data), sizes, at::TensorOptions().dtype(at::kLong)).clone();
}

}  // namespace detail

CorefPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_dir), verify_checksums)) {
    using namespace detail;
    if (bundle->processor() != "coref") {
        throw CorefModelError("expected a coref bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");
    hidden_size = read_coref_config_int(config, "hidden_size");
    embedding_size = read_coref_config_int(config, "embedding_size");
    sp_embedding_size = read_coref_config_int(config, "sp_embedding_size");
    a_scoring_batch_size = read_coref_config_int(config, "a_scoring_batch_size");
    n_hidden_layers = read_coref_config_int(config, "n_hidden_layers");
    rough_k = read_coref_config_int(config, "rough_k");
    bert_window_size = read_coref_config_int(config, "bert_window_size");
    singletons = read_coref_config_bool(config, "singletons");
    full_pairwise = read_coref_config_bool(config, "full_pairwise");
    use_zeros = read_coref_config_bool(config, "use_zeros");
    if (hidden_size < 1 || embedding_size < 1 || sp_embedding_size < 1 || a_scoring_batch_size < 1 ||
        rough_k < 1 || bert_window_size < 5 || n_hidden_layers < 0) {
        throw CorefModelError("coref config dimensions are invalid");
    }

    for (const TensorDescriptor& descriptor : bundle->tensors()) {
        if (!coref_dtype(descriptor.dtype)) {
            throw CorefModelError("ATen view does not support coref bundle dtype: " + descriptor.dtype);
        }
        tensors.emplace(descriptor.name, view_bundle_tensor<CorefModelError>(*bundle, descriptor.name));
    }

    const JsonValue& transformer_assets = assets.at("transformer", "assets");
    transformer = std::make_unique<NativeTransformer>(bundle, transformer_assets);
    if (transformer->hidden_size() != hidden_size) {
        throw CorefModelError("coref transformer hidden size disagrees with config");
    }

    const JsonValue& tokenizer = transformer_assets.at("tokenizer", "assets.transformer");
    const auto read_id = [&](const char* key) {
        return tokenizer.at(key, "assets.transformer.tokenizer")
            .as_integer(std::string("assets.transformer.tokenizer.") + key);
    };
    cls_id = read_id("cls_id");
    sep_id = read_id("sep_id");
    pad_id = read_id("pad_id");
    eos_id = read_id("eos_id");

    const JsonObject& overrides = assets.at("runtime_contract", "assets")
                                      .at("tokenizer_map_ids", "assets.runtime_contract")
                                      .as_object("assets.runtime_contract.tokenizer_map_ids");
    bool negative = coref_first_id(*this) < 0 || coref_last_id(*this) < 0;
    for (const auto& [word, value] : overrides) {
        std::vector<std::int64_t> ids;
        for (const JsonValue& id : value.as_array("assets.runtime_contract.tokenizer_map_ids." + word)) {
            ids.push_back(id.as_integer(""));
            negative = negative || ids.back() < 0;
        }
        tokenizer_map_ids.emplace(word, std::move(ids));
    }
    // Window ids reach the compiled transformer unchecked; a negative one
    // would index before its embedding table.
    if (negative) throw CorefModelError("coref tokenizer ids must not be negative");

    validate_coref_tensors(*this);
    validate_coref_predictors(*this);
}

}  // namespace quelbin
