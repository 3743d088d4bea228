// The sentiment bundle loader: configuration, vocabularies, tensor views,
// character models and the shape checks the forward pass relies on.
#include <algorithm>
#include <string>
#include <utility>

#include <c10/core/ScalarType.h>
#include <c10/util/Exception.h>

#include "extended/sentiment_impl.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"

namespace quelbin {
namespace detail {

std::string read_sentiment_config_string(const JsonValue& config, std::string_view key) {
    return config.at(key, "assets.config").as_string("assets.config." + std::string(key));
}

bool read_sentiment_config_bool(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool("assets.config." + std::string(key));
}

std::int64_t read_sentiment_config_int(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return 0;
    return value->as_integer("assets.config." + std::string(key));
}

const at::Tensor& require_sentiment_tensor(const SentimentPlan::Impl& impl, const std::string& name) {
    const auto found = impl.tensors.find(name);
    if (found == impl.tensors.end()) throw SentimentModelError("missing sentiment tensor: '" + name + "'");
    return found->second;
}

}  // namespace detail

namespace {

using detail::JsonValue;

void read_filters(SentimentPlan::Impl& impl, const JsonValue& config) {
    const auto& entries = config.at("filter_sizes", "assets.config").as_array("assets.config.filter_sizes");
    if (entries.empty()) throw SentimentModelError("sentiment classifier has no convolution filters");
    std::int64_t floor = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string context = "assets.config.filter_sizes[" + std::to_string(i) + "]";
        SentimentFilter filter;
        if (entries[i].is_integer()) {
            filter.height = entries[i].as_integer(context);
            floor = std::max(floor, filter.height);
        } else {
            const auto& pair = entries[i].as_array(context);
            if (pair.size() != 2) throw SentimentModelError("sentiment 2D filter must have two dimensions");
            filter.height = pair[0].as_integer(context + "[0]");
            filter.width = pair[1].as_integer(context + "[1]");
            filter.two_dimensional = true;
            // The floor takes a 2-D filter's width, as trained models expect.
            floor = std::max(floor, filter.width);
        }
        if (filter.height < 1 || (filter.two_dimensional && filter.width < 1)) {
            throw SentimentModelError("sentiment convolution dimensions must be positive");
        }
        impl.tallest_filter = std::max(impl.tallest_filter, filter.height);
        impl.filters.push_back(filter);
    }
    impl.min_padded_length = floor;
}

void read_vocabularies(SentimentPlan::Impl& impl, const JsonValue& assets) {
    const JsonValue& labels = assets.at("labels", "assets");
    for (const JsonValue& label : labels.as_array("assets.labels")) {
        impl.labels.push_back(label.as_string("assets.labels[]"));
    }
    if (static_cast<std::int64_t>(impl.labels.size()) != impl.num_classes) {
        throw SentimentModelError("sentiment labels disagree with num_classes");
    }

    const JsonValue& pretrain = assets.at("pretrain_vocab", "assets");
    const auto& unit2id =
        pretrain.at("_unit2id", "assets.pretrain_vocab").as_object("assets.pretrain_vocab._unit2id");
    impl.pretrain_vocab.reserve(unit2id.size());
    for (const auto& [unit, id] : unit2id) {
        impl.pretrain_vocab.emplace(unit, id.as_integer("assets.pretrain_vocab._unit2id." + unit));
    }
    if (const JsonValue* lower = pretrain.find("lower")) {
        impl.pretrain_lower = lower->as_bool("assets.pretrain_vocab.lower");
    }
    const auto pad = impl.pretrain_vocab.find("<PAD>");
    const auto unk = impl.pretrain_vocab.find("<UNK>");
    if (pad == impl.pretrain_vocab.end() || pad->second != 0 || unk == impl.pretrain_vocab.end() ||
        unk->second != 1) {
        throw SentimentModelError("sentiment pretrain vocabulary has invalid PAD/UNK ids");
    }

    const JsonValue* extra = assets.find("extra_vocab");
    if (extra != nullptr && !extra->is_null()) {
        const auto& words = extra->as_array("assets.extra_vocab");
        for (std::size_t p = 0; p < words.size(); ++p) {
            const bool added =
                impl.extra_vocab.emplace(words[p].as_string("assets.extra_vocab[]"), static_cast<std::int64_t>(p))
                    .second;
            // A repeated word would give later words ids past the table's rows.
            if (!added) impl.extra_vocab_has_duplicates = true;
        }
    }
    if ((impl.extra_wordvec_method == "NONE") != impl.extra_vocab.empty()) {
        throw SentimentModelError("sentiment extra vocabulary disagrees with its method");
    }
}

bool is_float32(const at::Tensor& tensor) { return tensor.scalar_type() == at::kFloat; }

// Adds a character model's features to the width; the projection, when there
// is one, must read the model's rows and give charlm_projection columns.
void check_charlm_projection(SentimentPlan::Impl& impl, const detail::NativeCharLM& model,
                             const std::string& direction, std::int64_t& width) {
    if (impl.charlm_projection < 1) {
        width += model.hidden_size();
        return;
    }
    const std::string prefix = "charmodel_" + direction + "_projection";
    const at::Tensor& weight = detail::require_sentiment_tensor(impl, prefix + ".weight");
    const at::Tensor& bias = detail::require_sentiment_tensor(impl, prefix + ".bias");
    if (weight.dim() != 2 || weight.size(1) != model.hidden_size()) {
        throw SentimentModelError("sentiment " + direction + " charLM projection has an invalid input width");
    }
    if (weight.size(0) != impl.charlm_projection || bias.dim() != 1 || bias.size(0) != impl.charlm_projection) {
        throw SentimentModelError("sentiment " + direction + " charLM projection has an invalid output width");
    }
    width += impl.charlm_projection;
}

void validate_sentiment_tensors(SentimentPlan::Impl& impl, const JsonValue& config) {
    const at::Tensor& embedding = detail::require_sentiment_tensor(impl, "embedding.weight");
    const at::Tensor& unk = detail::require_sentiment_tensor(impl, "unk");
    if (embedding.dim() != 2 || embedding.size(0) != static_cast<std::int64_t>(impl.pretrain_vocab.size()) ||
        unk.dim() != 1 || unk.size(0) != embedding.size(1)) {
        throw SentimentModelError("sentiment pretrain embedding dimensions disagree with its vocabulary");
    }
    impl.embedding = embedding;
    impl.unk = unk;
    impl.word_width = embedding.size(1);
    std::int64_t width = impl.word_width;

    if (impl.extra_wordvec_method != "NONE") {
        const at::Tensor& extra = detail::require_sentiment_tensor(impl, "extra_embedding.weight");
        if (extra.dim() != 2 || extra.size(0) != static_cast<std::int64_t>(impl.extra_vocab.size()) ||
            impl.extra_vocab_has_duplicates) {
            throw SentimentModelError("sentiment extra embedding dimensions disagree with its vocabulary");
        }
        if (impl.extra_wordvec_method == "SUM" && extra.size(1) != impl.word_width) {
            throw SentimentModelError("summed sentiment embeddings have different widths");
        }
        if (impl.extra_wordvec_method == "CONCAT") {
            impl.extra_width = extra.size(1);
            width += impl.extra_width;
        }
        impl.extra_embedding = extra;
    }

    if (impl.charlm_forward) check_charlm_projection(impl, *impl.charlm_forward, "forward", width);
    if (impl.charlm_backward) check_charlm_projection(impl, *impl.charlm_backward, "backward", width);
    if (impl.transformer) width += impl.transformer->hidden_size();
    impl.input_width = width;

    if (impl.bilstm) {
        const std::string names[] = {"bilstm.weight_ih_l", "bilstm.weight_hh_l", "bilstm.bias_ih_l",
                                     "bilstm.bias_hh_l"};
        for (const char* layer : {"0", "1"}) {
            for (const char* suffix : {"", "_reverse"}) {
                for (const std::string& name : names) {
                    impl.bilstm_weights.push_back(detail::require_sentiment_tensor(impl, name + layer + suffix));
                }
            }
        }
        if (impl.bilstm_weights[0].dim() != 2 || impl.bilstm_weights[0].size(1) != width) {
            throw SentimentModelError("sentiment BiLSTM input width disagrees with its embedding profile");
        }
        width = 2 * impl.bilstm_hidden_dim;
    }
    impl.feature_width = width;

    std::int64_t pooled = 0;
    for (std::size_t i = 0; i < impl.filters.size(); ++i) {
        const SentimentFilter& filter = impl.filters[i];
        const std::string prefix = "conv_layers." + std::to_string(i);
        SentimentConv conv;
        conv.weight = detail::require_sentiment_tensor(impl, prefix + ".weight");
        conv.bias = detail::require_sentiment_tensor(impl, prefix + ".bias");
        const at::Tensor& weight = conv.weight;
        if (weight.dim() != 4 || weight.size(1) != 1 || weight.size(2) != filter.height) {
            throw SentimentModelError("sentiment convolution tensor disagrees with its configured filter");
        }
        conv.channels = weight.size(0);
        if (filter.two_dimensional) {
            if (weight.size(3) != filter.width || width % filter.width != 0) {
                throw SentimentModelError("sentiment 2D filter does not tile its input width");
            }
            conv.tile = filter.width;
        } else {
            if (weight.size(3) != width) {
                throw SentimentModelError("sentiment full-width convolution has the wrong input width");
            }
            conv.tile = width;
        }
        conv.tiles = width / conv.tile;
        // One bias per channel; anything else could not be added to the channels.
        if (conv.bias.dim() != 1 || conv.bias.size(0) != conv.channels) {
            throw SentimentModelError("sentiment convolution tensor disagrees with its configured filter");
        }
        // A filter with fewer rows than one pooling group could never be pooled.
        if (conv.channels * conv.tiles < impl.maxpool_width) {
            throw SentimentModelError("sentiment maxpool width exceeds the rows of a convolution filter");
        }
        pooled += conv.channels * conv.tiles / impl.maxpool_width;
        impl.convs.push_back(std::move(conv));
    }
    impl.pooled_width = pooled;

    const auto& shapes = config.at("fc_shapes", "assets.config").as_array("assets.config.fc_shapes");
    std::int64_t in = pooled;
    for (std::size_t i = 0; i <= shapes.size(); ++i) {
        const std::int64_t out =
            i < shapes.size() ? shapes[i].as_integer("assets.config.fc_shapes[]") : impl.num_classes;
        const std::string prefix = "fc_layers." + std::to_string(i);
        const at::Tensor& weight = detail::require_sentiment_tensor(impl, prefix + ".weight");
        const at::Tensor& bias = detail::require_sentiment_tensor(impl, prefix + ".bias");
        if (weight.dim() != 2 || weight.size(0) != out || weight.size(1) != in || bias.dim() != 1 ||
            bias.size(0) != out) {
            throw SentimentModelError(
                "sentiment fully connected layer dimensions disagree with the configured architecture");
        }
        impl.fc_weights.push_back(weight);
        impl.fc_biases.push_back(bias);
        in = out;
    }
    impl.fc_layer_count = static_cast<std::int64_t>(shapes.size()) + 1;
}

// The network runs in float32 over the weights in place.
void check_float32(const SentimentPlan::Impl& impl) {
    bool ok = is_float32(impl.embedding) && is_float32(impl.unk) &&
              (!impl.extra_embedding.defined() || is_float32(impl.extra_embedding));
    for (const at::Tensor& t : impl.bilstm_weights) ok = ok && is_float32(t);
    for (const SentimentConv& conv : impl.convs) ok = ok && is_float32(conv.weight) && is_float32(conv.bias);
    for (std::size_t i = 0; i < impl.fc_weights.size(); ++i) {
        ok = ok && is_float32(impl.fc_weights[i]) && is_float32(impl.fc_biases[i]);
    }
    if (impl.charlm_projection >= 1) {
        for (const char* direction : {"forward", "backward"}) {
            const std::string prefix = std::string("charmodel_") + direction + "_projection";
            if (impl.tensors.count(prefix + ".weight") == 0) continue;
            ok = ok && is_float32(impl.tensors.at(prefix + ".weight")) && is_float32(impl.tensors.at(prefix + ".bias"));
        }
    }
    if (!ok) throw SentimentModelError("sentiment network tensors must be float32");
}

// Both layers of the BiLSTM as recurrence kernels; their weights must fit
// bilstm_hidden_dim and the layer below, or no sentence could run.
void build_bilstm(SentimentPlan::Impl& impl) {
    const std::int64_t H = impl.bilstm_hidden_dim;
    for (int layer = 0; layer < 2; ++layer) {
        const std::int64_t in = layer == 0 ? impl.input_width : 2 * H;
        for (int direction = 0; direction < 2; ++direction) {
            const auto* w = &impl.bilstm_weights[static_cast<std::size_t>(layer * 8 + direction * 4)];
            const bool fits = w[0].dim() == 2 && w[0].size(0) == 4 * H && w[0].size(1) == in && w[1].dim() == 2 &&
                              w[1].size(0) == 4 * H && w[1].size(1) == H && w[2].dim() == 1 &&
                              w[2].size(0) == 4 * H && w[3].dim() == 1 && w[3].size(0) == 4 * H;
            if (!fits) throw SentimentModelError("sentiment BiLSTM tensors disagree with bilstm_hidden_dim");
        }
        const std::vector<at::Tensor> weights(impl.bilstm_weights.begin() + layer * 8,
                                              impl.bilstm_weights.begin() + layer * 8 + 8);
        impl.lstm_layers[layer] = std::make_unique<detail::BiLstm>(weights);
    }
}

}  // namespace

SentimentPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(path, verify_checksums)) {
    if (bundle->processor() != "sentiment") {
        throw SentimentModelError("expected a sentiment bundle, got '" + bundle->processor() + "'");
    }
    const JsonValue assets = detail::parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");

    const std::string model_type = detail::read_sentiment_config_string(config, "model_type");
    if (model_type != "CNN" || detail::read_sentiment_config_bool(config, "use_elmo") ||
        detail::read_sentiment_config_bool(config, "use_peft")) {
        throw SentimentModelError(
            "unsupported sentiment architecture; the native profile requires Varnek's CNN classifier "
            "without ELMo or PEFT");
    }
    const JsonValue* max_norm = config.find("extra_wordvec_max_norm");
    if (max_norm != nullptr && !max_norm->is_null()) {
        throw SentimentModelError(
            "sentiment extra-embedding max-norm constraints are not supported by the native profile");
    }
    extra_wordvec_method = detail::read_sentiment_config_string(config, "extra_wordvec_method");
    if (extra_wordvec_method != "NONE" && extra_wordvec_method != "SUM" && extra_wordvec_method != "CONCAT") {
        throw SentimentModelError("unsupported sentiment extra word-vector method: '" + extra_wordvec_method + "'");
    }
    bilstm = detail::read_sentiment_config_bool(config, "bilstm");
    bilstm_hidden_dim = detail::read_sentiment_config_int(config, "bilstm_hidden_dim");
    maxpool_width = detail::read_sentiment_config_int(config, "maxpool_width");
    num_classes = detail::read_sentiment_config_int(config, "num_classes");
    charlm_projection = detail::read_sentiment_config_int(config, "charlm_projection");
    has_charlm_forward = detail::read_sentiment_config_bool(config, "has_charlm_forward");
    has_charlm_backward = detail::read_sentiment_config_bool(config, "has_charlm_backward");
    const JsonValue* bert = config.find("bert_model");
    use_transformer = bert != nullptr && !bert->is_null();
    if (maxpool_width < 1 || num_classes < 1 || (bilstm && bilstm_hidden_dim < 1)) {
        throw SentimentModelError("sentiment dimensions and maxpool width must be positive");
    }
    read_filters(*this, config);
    read_vocabularies(*this, assets);

    tensors = detail::view_bundle_tensors<SentimentModelError>(*bundle);

    if (has_charlm_forward || has_charlm_backward) {
        const JsonValue& charlm = assets.at("charlm", "assets");
        if (has_charlm_forward) {
            charlm_forward = std::make_unique<detail::NativeCharLM>(bundle, "forward_charlm.",
                                                                    charlm.at("forward", "assets.charlm"));
            if (!charlm_forward->is_forward()) {
                throw SentimentModelError("sentiment forward charLM has the wrong direction");
            }
        }
        if (has_charlm_backward) {
            charlm_backward = std::make_unique<detail::NativeCharLM>(bundle, "backward_charlm.",
                                                                     charlm.at("backward", "assets.charlm"));
            if (charlm_backward->is_forward()) {
                throw SentimentModelError("sentiment backward charLM has the wrong direction");
            }
        }
    }
    if (use_transformer) {
        transformer = std::make_unique<detail::NativeTransformer>(bundle, assets.at("transformer", "assets"));
    }

    validate_sentiment_tensors(*this, config);
    check_float32(*this);
    if (bilstm) build_bilstm(*this);
}

SentimentPlan::SentimentPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw SentimentModelError(error.what());
    }
}

SentimentPlan::~SentimentPlan() = default;
SentimentPlan::SentimentPlan(SentimentPlan&& other) noexcept = default;
SentimentPlan& SentimentPlan::operator=(SentimentPlan&& other) noexcept = default;

const ModelBundle& SentimentPlan::bundle() const { return *impl_->bundle; }

}  // namespace quelbin
