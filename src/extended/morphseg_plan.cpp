// Morphological segmentation: bundle loading, word preparation and grouping by
// length, action decoding, and the document operations.
#include "extended/morphseg_impl.hpp"

#include <quelbin/errors.hpp>
#include <quelbin/utf8_text.hpp>

#include <map>
#include <numeric>
#include <utility>

#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"

namespace quelbin {
namespace detail {
namespace {

std::int64_t read_positive_config_integer(const JsonValue& config, const char* key, std::string_view context) {
    const std::int64_t value = config.at(key, context).as_integer(context);
    if (value <= 0) throw MorphSegModelError(std::string("MorphSeg config value must be positive: ") + key);
    return value;
}

std::vector<std::string> read_string_vocabulary(const JsonValue& value, const std::string& context) {
    std::vector<std::string> out;
    const JsonArray& items = value.as_array(context);
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        out.push_back(items[i].as_string(context + "[" + std::to_string(i) + "]"));
    }
    return out;
}

const at::Tensor& require_morphseg_tensor(const MorphSegPlan::Impl& impl, const std::string& name) {
    const auto it = impl.tensors.find(name);
    if (it == impl.tensors.end()) throw MorphSegModelError("missing MorphSeg tensor: '" + name + "'");
    return it->second;
}

void check_morphseg_tensor_shape(const MorphSegPlan::Impl& impl, const std::string& name,
                                 std::vector<std::int64_t> expected) {
    if (require_morphseg_tensor(impl, name).sizes() != c10::IntArrayRef(expected)) {
        throw MorphSegModelError("MorphSeg tensor has an unexpected shape: '" + name + "'");
    }
}

std::string lstm_name(const char* stem, std::int64_t layer, bool reverse) {
    return std::string("encoder.lstm.") + stem + std::to_string(layer) + (reverse ? "_reverse" : "");
}

void validate_morphseg_tensors(const MorphSegPlan::Impl& impl) {
    const auto S = static_cast<std::int64_t>(impl.source_vocabulary.size());
    const auto T = static_cast<std::int64_t>(impl.target_vocabulary.size());
    const std::int64_t E = impl.embedding_size, H = impl.hidden_size, N = impl.num_layers;
    check_morphseg_tensor_shape(impl, "embedding.weight", {S, E});
    check_morphseg_tensor_shape(impl, "encoder.h_0", {2 * N, 1, H});
    check_morphseg_tensor_shape(impl, "encoder.c_0", {2 * N, 1, H});
    for (std::int64_t k = 0; k < N; ++k) {
        for (const bool reverse : {false, true}) {
            check_morphseg_tensor_shape(impl, lstm_name("weight_ih_l", k, reverse), {4 * H, k == 0 ? E : 2 * H});
            check_morphseg_tensor_shape(impl, lstm_name("weight_hh_l", k, reverse), {4 * H, H});
            check_morphseg_tensor_shape(impl, lstm_name("bias_ih_l", k, reverse), {4 * H});
            check_morphseg_tensor_shape(impl, lstm_name("bias_hh_l", k, reverse), {4 * H});
        }
    }
    check_morphseg_tensor_shape(impl, "encoder.reduce_dim.weight", {H, 2 * H});
    check_morphseg_tensor_shape(impl, "encoder.reduce_dim.bias", {H});
    check_morphseg_tensor_shape(impl, "classifier.1.weight", {T, H});
    check_morphseg_tensor_shape(impl, "classifier.1.bias", {T});
}

std::vector<at::Tensor> collect_morphseg_lstm_weights(const MorphSegPlan::Impl& impl) {
    std::vector<at::Tensor> weights;
    weights.reserve(static_cast<std::size_t>(8 * impl.num_layers));
    for (std::int64_t k = 0; k < impl.num_layers; ++k) {
        for (const bool reverse : {false, true}) {
            for (const char* stem : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
                weights.push_back(require_morphseg_tensor(impl, lstm_name(stem, k, reverse)));
            }
        }
    }
    return weights;
}

}  // namespace

std::vector<std::string> decode_morphseg_actions(const MorphSegPlan::Impl& impl,
                                                 const std::vector<std::string>& characters,
                                                 const std::int64_t* actions, std::size_t count) {
    const auto T = static_cast<std::int64_t>(impl.target_vocabulary.size());
    for (std::size_t k = 0; k < count; ++k) {
        if (actions[k] < 1 || actions[k] >= T) {
            throw MorphSegModelError("MorphSeg classifier predicted a padding or out-of-range action");
        }
    }
    if (count != characters.size()) {
        throw MorphSegModelError("MorphSeg produced an action sequence of the wrong length");
    }
    std::string rebuilt;
    for (std::size_t k = 0; k < count; ++k) {
        const MorphSegPlan::Impl::Action& action = impl.actions[static_cast<std::size_t>(actions[k])];
        if (action.erase) continue;
        for (const auto& [copy, text] : action.pieces) rebuilt += copy ? characters[k] : text;
    }
    static const std::string kMarker = " @@";
    std::vector<std::string> morphemes;
    std::size_t start = 0;
    for (std::size_t at = rebuilt.find(kMarker); at != std::string::npos; at = rebuilt.find(kMarker, start)) {
        morphemes.push_back(rebuilt.substr(start, at - start));
        start = at + kMarker.size();
    }
    morphemes.push_back(rebuilt.substr(start));
    return morphemes;
}

}  // namespace detail

MorphSegPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(path), verify_checksums)) {
    if (bundle->processor() != "morphseg") {
        throw MorphSegModelError("expected a morphseg bundle, got '" + bundle->processor() + "'");
    }
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& config = assets.at("config", "assets");
    embedding_size = detail::read_positive_config_integer(config, "embedding_size", "assets.config");
    hidden_size = detail::read_positive_config_integer(config, "hidden_size", "assets.config");
    num_layers = detail::read_positive_config_integer(config, "num_layers", "assets.config");
    batch_size = detail::read_positive_config_integer(config, "batch_size", "assets.config");
    const std::int64_t tau = detail::read_positive_config_integer(config, "tau", "assets.config");
    const bool use_crf = config.at("use_crf", "assets.config").as_bool("assets.config.use_crf");
    const bool use_features = config.at("use_features", "assets.config").as_bool("assets.config.use_features");
    if (num_layers != 2 || tau != 1 || use_crf || use_features) {
        throw MorphSegModelError(
            "unsupported MorphSeg architecture; the native profile requires a two-layer BiLSTM, tau=1, argmax "
            "decoding, and no auxiliary features");
    }
    source_vocabulary =
        detail::read_string_vocabulary(assets.at("source_vocabulary", "assets"), "assets.source_vocabulary");
    target_vocabulary =
        detail::read_string_vocabulary(assets.at("target_vocabulary", "assets"), "assets.target_vocabulary");
    auto reserved = [](const std::vector<std::string>& v) {
        return v.size() >= 2 && v[0] == "<PAD>" && v[1] == "<UNK>";
    };
    if (!reserved(source_vocabulary) || !reserved(target_vocabulary)) {
        throw MorphSegModelError("MorphSeg vocabularies must begin with <PAD>, <UNK>");
    }
    for (std::size_t i = 0; i < source_vocabulary.size(); ++i) {
        if (!source_ids.emplace(source_vocabulary[i], static_cast<std::int64_t>(i)).second) {
            throw MorphSegModelError("MorphSeg source vocabulary contains duplicates");
        }
    }
    for (const TensorDescriptor& descriptor : bundle->tensors()) {
        if (descriptor.dtype != "float32") {
            throw MorphSegModelError("MorphSeg tensors must use float32: '" + descriptor.name + "'");
        }
        tensors.emplace(descriptor.name, detail::view_bundle_tensor<MorphSegModelError>(*bundle, descriptor.name));
    }
    detail::validate_morphseg_tensors(*this);
    lstm_weights = detail::collect_morphseg_lstm_weights(*this);

    for (std::int64_t k = 0; k < num_layers; ++k) {
        layers.emplace_back(std::vector<at::Tensor>(lstm_weights.begin() + 8 * k, lstm_weights.begin() + 8 * (k + 1)));
    }
    const auto S = static_cast<std::int64_t>(source_vocabulary.size());
    if (S * 8 * hidden_size <= detail::kMorphSegTableFloats) {
        std::vector<std::int64_t> all(static_cast<std::size_t>(S));
        std::iota(all.begin(), all.end(), std::int64_t{0});
        first_table.resize(static_cast<std::size_t>(S * 8 * hidden_size));
        detail::morphseg_first_inputs(*this, all.data(), S, first_table.data());
    }
    actions.resize(target_vocabulary.size());
    for (std::size_t a = 0; a < target_vocabulary.size(); ++a) {
        const std::string& text = target_vocabulary[a];
        Action& action = actions[a];
        action.erase = text == "DELETE";
        if (action.erase) continue;
        std::size_t start = 0;
        while (true) {
            const std::size_t plus = text.find('+', start);
            const std::string piece = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
            action.pieces.emplace_back(piece == "COPY", piece);
            if (plus == std::string::npos) break;
            start = plus + 1;
        }
    }
}

// Views go before the bundle that maps their memory.
MorphSegPlan::Impl::~Impl() {
    layers.clear();
    lstm_weights.clear();
    tensors.clear();
    source_ids.clear();
    target_vocabulary.clear();
    source_vocabulary.clear();
    bundle.reset();
}

std::vector<std::vector<std::string>> MorphSegPlan::Impl::segment_many(const std::vector<std::string>& words) const {
    std::vector<std::vector<std::string>> codepoints;
    std::vector<std::vector<std::int64_t>> ids;
    codepoints.reserve(words.size());
    ids.reserve(words.size());
    std::map<std::size_t, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const Utf8Text text(detail::unicode_nfkc_casefold_nfc(words[i]));
        std::vector<std::string> characters;
        std::vector<std::int64_t> word_ids;
        characters.reserve(text.codepoint_count());
        word_ids.reserve(text.codepoint_count());
        for (std::size_t k = 0; k < text.codepoint_count(); ++k) {
            characters.push_back(text.slice(k, k + 1));
            const auto it = source_ids.find(characters.back());
            word_ids.push_back(it == source_ids.end() ? 1 : it->second);
        }
        if (!characters.empty()) groups[characters.size()].push_back(i);
        codepoints.push_back(std::move(characters));
        ids.push_back(std::move(word_ids));
    }
    std::vector<std::vector<std::string>> results(words.size());
    // All groups in one run of tasks: see run_batch.
    std::vector<std::size_t> order;
    order.reserve(words.size());
    for (const auto& [length, group] : groups) order.insert(order.end(), group.begin(), group.end());
    run_batch(codepoints, ids, order, results);
    return results;
}

MorphSegPlan::MorphSegPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw MorphSegModelError(error.what());
    }
}

MorphSegPlan::~MorphSegPlan() = default;
MorphSegPlan::MorphSegPlan(MorphSegPlan&& other) noexcept = default;
MorphSegPlan& MorphSegPlan::operator=(MorphSegPlan&& other) noexcept = default;

const ModelBundle& MorphSegPlan::bundle() const { return *impl_->bundle; }

std::vector<std::string> MorphSegPlan::segment(const std::string& word) const {
    return impl_->segment_many({word}).front();
}

std::vector<std::vector<std::string>> MorphSegPlan::segment_many(const std::vector<std::string>& words) const {
    return impl_->segment_many(words);
}

Document MorphSegPlan::process(Document document) const {
    const WordSequence words = document.words();
    std::vector<std::string> texts;
    texts.reserve(words.size());
    for (std::size_t k = 0; k < words.size(); ++k) texts.push_back(words.at(static_cast<std::int64_t>(k)).text());
    const std::vector<std::vector<std::string>> results = impl_->segment_many(texts);
    for (std::size_t k = 0; k < results.size(); ++k) words.at(static_cast<std::int64_t>(k)).set_morphemes(results[k]);
    return document;
}

std::vector<Document> MorphSegPlan::process_bulk(std::vector<Document> documents) const {
    std::vector<std::string> texts;
    std::vector<std::pair<std::size_t, std::size_t>> places;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        const WordSequence words = documents[d].words();
        for (std::size_t k = 0; k < words.size(); ++k) {
            texts.push_back(words.at(static_cast<std::int64_t>(k)).text());
            places.emplace_back(d, k);
        }
    }
    const std::vector<std::vector<std::string>> results = impl_->segment_many(texts);
    for (std::size_t j = 0; j < results.size(); ++j) {
        documents[places[j].first].words().at(static_cast<std::int64_t>(places[j].second)).set_morphemes(results[j]);
    }
    return documents;
}

}  // namespace quelbin
