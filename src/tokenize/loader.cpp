// Loading and validating a tokenizer bundle.
#include "kernels/bilstm.hpp"
#include "tokenize/char_units.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include "model/json.hpp"
#include "model/tensor_view.hpp"

#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include <ATen/ops/addmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>

#include <array>

namespace quelbin {
namespace {

const std::unordered_set<std::string>& known_features() {
    static const std::unordered_set<std::string> names = [] {
        std::unordered_set<std::string> set;
        set.max_load_factor(1.0f);
        for (const char* name : {"space_before", "capitalized", "numeric", "end_of_para", "start_of_para",
                                 "labeled_field", "phone_id", "date_pattern", "currency"}) {
            set.insert(name);
        }
        return set;
    }();
    return names;
}

constexpr std::array<const char*, 26> kRequiredTensors = {
    "embeddings.weight",
    "rnn.weight_ih_l0",
    "rnn.weight_hh_l0",
    "rnn.bias_ih_l0",
    "rnn.bias_hh_l0",
    "rnn.weight_ih_l0_reverse",
    "rnn.weight_hh_l0_reverse",
    "rnn.bias_ih_l0_reverse",
    "rnn.bias_hh_l0_reverse",
    "tok_clf.weight",
    "tok_clf.bias",
    "sent_clf.weight",
    "sent_clf.bias",
    "mwt_clf.weight",
    "mwt_clf.bias",
    "rnn2.weight_ih_l0",
    "rnn2.weight_hh_l0",
    "rnn2.bias_ih_l0",
    "rnn2.bias_hh_l0",
    "rnn2.weight_ih_l0_reverse",
    "rnn2.weight_hh_l0_reverse",
    "rnn2.bias_ih_l0_reverse",
    "rnn2.bias_hh_l0_reverse",
    "tok_clf2.weight",
    "sent_clf2.weight",
    "mwt_clf2.weight",
};

constexpr std::array<const char*, 8> kLstmWeightNames = {
    "weight_ih_l0",         "weight_hh_l0",         "bias_ih_l0",         "bias_hh_l0",
    "weight_ih_l0_reverse", "weight_hh_l0_reverse", "bias_ih_l0_reverse", "bias_hh_l0_reverse",
};

bool present(const detail::JsonValue& config, std::string_view key) { return config.find(key) != nullptr; }

bool present_and_not_null(const detail::JsonValue& config, std::string_view key) {
    const detail::JsonValue* value = config.find(key);
    return value != nullptr && !value->is_null();
}

}  // namespace

TokenizerPlan::Impl::Impl(const std::filesystem::path& bundle_dir, bool verify_checksums) {
    unit2id.max_load_factor(1.0f);
    tensors.max_load_factor(1.0f);
    lexicon_words.max_load_factor(1.0f);
    lexicon_prefixes.max_load_factor(1.0f);
    lexicon_suffixes.max_load_factor(1.0f);

    bundle = std::make_shared<ModelBundle>(bundle_dir, verify_checksums);
    if (bundle->processor() != "tokenize") {
        throw TokenizerModelError("expected a tokenize bundle, got '" + bundle->processor() + "'");
    }

    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& config = assets.at("config", "assets");
    const detail::JsonValue& vocab = assets.at("vocab", "assets");

    constexpr std::string_view kConfig = "assets.config";
    emb_dim = config.at("emb_dim", kConfig).as_integer("");
    hidden_dim = config.at("hidden_dim", kConfig).as_integer("");
    feat_dim = config.at("feat_dim", kConfig).as_integer("");
    rnn_layers = config.at("rnn_layers", kConfig).as_integer("");
    hierarchical = config.at("hierarchical", kConfig).as_bool("");
    use_mwt = config.at("use_mwt", kConfig).as_bool("");
    hier_invtemp = config.at("hier_invtemp", kConfig).as_number("");
    skip_newline = config.at("skip_newline", kConfig).as_bool("");
    shorthand = config.at("shorthand", kConfig).as_string("");
    lang = config.at("lang", kConfig).as_string("");

    if (const detail::JsonValue* value = config.find("batch_size")) {
        batch_size = value->as_integer("assets.config.batch_size");
        if (batch_size < 1) throw TokenizerModelError("tokenizer batch size must be positive");
    } else {
        batch_size = 32;
    }
    if (present_and_not_null(config, "charlm_forward_file")) {
        throw TokenizerModelError("character-LM tokenizers are not supported by this profile");
    }
    if (present_and_not_null(config, "conv_res")) {
        throw TokenizerModelError("convolutional residual tokenizers are not supported");
    }
    if (rnn_layers != 1 || !hierarchical) {
        throw TokenizerModelError("this tokenizer profile requires a one-layer hierarchical model");
    }
    use_dictionary = present(config, "use_dictionary") ? config.at("use_dictionary", kConfig).as_bool("") : false;
    num_dict_feat = 0;
    if (use_dictionary) {
        num_dict_feat = config.at("num_dict_feat", kConfig).as_integer("");
        if (num_dict_feat < 1) {
            throw TokenizerModelError("dictionary tokenizer feature window must be positive");
        }
        const detail::JsonArray& entries = assets.at("lexicon", "assets").as_array("assets.lexicon");
        for (const detail::JsonValue& entry : entries) {
            const std::string& word = entry.as_string("assets.lexicon[]");
            const std::vector<detail::CharUnit> units = detail::to_char_units(word);
            if (units.size() < 2) continue;
            lexicon_words.insert(word);
            std::string prefix;
            for (std::size_t k = 0; k + 1 < units.size(); ++k) {
                prefix += units[k].text;
                lexicon_prefixes.insert(prefix);
            }
            std::string suffix;
            for (std::size_t k = units.size() - 1; k >= 1; --k) {
                suffix.insert(0, units[k].text);
                lexicon_suffixes.insert(suffix);
            }
        }
    }

    const detail::JsonArray& names =
        config.at("feat_funcs", kConfig).as_array("assets.config.feat_funcs");
    for (const detail::JsonValue& name : names) feat_funcs.push_back(name.as_string("assets.config.feat_funcs[]"));
    for (const std::string& name : feat_funcs) {
        if (known_features().count(name) == 0) throw TokenizerModelError("unsupported tokenizer feature: " + name);
    }

    const detail::JsonObject& units =
        vocab.at("_unit2id", "assets.vocab").as_object("assets.vocab._unit2id");
    unit2id.reserve(units.size());
    for (const auto& [key, value] : units) unit2id.emplace(key, value.as_integer("assets.vocab._unit2id"));
    const auto pad = unit2id.find("<PAD>");
    const auto unk = unit2id.find("<UNK>");
    if (pad == unit2id.end() || unk == unit2id.end()) {
        throw TokenizerModelError("tokenizer vocabulary lacks <PAD> or <UNK>");
    }
    pad_id = pad->second;
    unk_id = unk->second;

    for (const TensorDescriptor& descriptor : bundle->tensors()) {
        if (descriptor.dtype != "float32") {
            throw TokenizerModelError("the native tokenizer currently requires float32 weights");
        }
        tensors.emplace(descriptor.name,
                        detail::view_bundle_tensor<TokenizerModelError>(*bundle, descriptor.name));
    }
    for (const char* name : kRequiredTensors) {
        if (!use_mwt && std::string_view(name).substr(0, 4) == "mwt_") continue;
        if (tensors.count(name) == 0) {
            throw TokenizerModelError(std::string("tokenizer bundle lacks required tensor: '") + name + "'");
        }
    }
    for (const char* name : kLstmWeightNames) rnn_weights.push_back(tokenizer_weight(std::string("rnn.") + name));
    for (const char* name : kLstmWeightNames) rnn2_weights.push_back(tokenizer_weight(std::string("rnn2.") + name));
    if (hidden_dim < 0) throw TokenizerModelError("tokenizer hidden_dim must not be negative");
    // The state is allocated here, before any shape check.
    if (!detail::hidden_size_fits(hidden_dim, rnn_weights[1])) {
        throw TokenizerModelError("tokenizer hidden_dim exceeds the size of its LSTM weights");
    }
    initial_state = {at::zeros({2, 1, hidden_dim}, at::kFloat), at::zeros({2, 1, hidden_dim}, at::kFloat)};
    // Every character gets feat_dim feature columns, 2 * num_dict_feat of them
    // from the dictionary, before the network reads them: neither count may
    // exceed what the first LSTM's input weights could take.
    if (!detail::hidden_size_fits(feat_dim, rnn_weights[0])) {
        throw TokenizerModelError("tokenizer feat_dim exceeds the size of its LSTM weights");
    }
    if (!detail::hidden_size_fits(num_dict_feat, rnn_weights[0])) {
        throw TokenizerModelError("dictionary tokenizer feature window exceeds the size of its LSTM weights");
    }
    // Shapes are checked by the network when it runs, not at load.
    try {
        rnn = std::make_shared<const detail::BiLstm>(rnn_weights);
        rnn2 = std::make_shared<const detail::BiLstm>(rnn2_weights);
    } catch (const c10::Error&) {
        rnn.reset();
        rnn2.reset();
    }
    const at::Tensor& embeddings = tokenizer_weight("embeddings.weight");
    constexpr std::int64_t kMaxTableFloats = std::int64_t{1} << 23;
    if (rnn && embeddings.dim() == 2 && feat_dim >= 0 && embeddings.size(1) + feat_dim == rnn->input_size() &&
        embeddings.size(0) * rnn->input_weight().size(0) <= kMaxTableFloats) {
        const std::int64_t width = embeddings.size(1);
        rnn_embedding_projection =
            at::addmm(rnn->bias(), embeddings, rnn->input_weight().narrow(1, 0, width).t()).contiguous();
        rnn_feature_weight = rnn->input_weight().narrow(1, width, feat_dim).t().contiguous();
        prepare_heads();
    }
}

void TokenizerPlan::Impl::prepare_heads() {
    const std::int64_t width = 2 * hidden_dim;
    if (!rnn2 || rnn->hidden_size() != hidden_dim || rnn2->hidden_size() != hidden_dim ||
        rnn2->input_size() != width) {
        return;
    }
    std::vector<std::string> heads = {"tok_clf", "sent_clf"};
    if (use_mwt) heads.emplace_back("mwt_clf");
    std::vector<at::Tensor> first;
    std::vector<at::Tensor> second;
    std::vector<at::Tensor> biases;
    for (const std::string& head : heads) {
        const at::Tensor& weight = tokenizer_weight(head + ".weight");
        const at::Tensor& bias = tokenizer_weight(head + ".bias");
        const at::Tensor& weight2 = tokenizer_weight(head + "2.weight");
        for (const at::Tensor* tensor : {&weight, &bias, &weight2}) {
            if (tensor->scalar_type() != at::kFloat) return;
        }
        if (weight.sizes() != at::IntArrayRef({1, width}) || weight2.sizes() != at::IntArrayRef({1, width}) ||
            bias.sizes() != at::IntArrayRef({1})) {
            return;
        }
        first.push_back(weight);
        second.push_back(weight2);
        biases.push_back(bias);
    }
    head_weight1 = at::cat(first, 0).contiguous();
    head_weight2 = at::cat(second, 0).contiguous();
    head_bias1 = at::cat(biases, 0).contiguous();
}

const at::Tensor& TokenizerPlan::Impl::tokenizer_weight(const std::string& name) const {
    const auto found = tensors.find(name);
    if (found == tensors.end()) throw TokenizerModelError("missing tokenizer weight: '" + name + "'");
    return found->second;
}

}  // namespace quelbin
