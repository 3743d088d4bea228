// The multi-word-token plan: bundle loading, the expansion dictionary with case
// restoration, the split-point classifier and the sequence-to-sequence fallback.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ATen/ops/embedding.h>
#include <ATen/ops/gt.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include "model/json.hpp"
#include "kernels/bilstm.hpp"
#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"
#include "quelbin/document_storage.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "quelbin/utf8_text.hpp"
#include "seq2seq/mwt_impl.hpp"

namespace quelbin {
namespace detail {

std::vector<std::string> split_code_points(const std::string& text) {
    const Utf8Text utf8(text);
    std::vector<std::string> units;
    units.reserve(utf8.codepoint_count());
    for (std::size_t i = 0; i < utf8.codepoint_count(); ++i) {
        units.emplace_back(text, utf8.byte_offset(i), utf8.byte_offset(i + 1) - utf8.byte_offset(i));
    }
    return units;
}

const at::Tensor& require_mwt_tensor(const MWTPlan::Impl& impl, std::string_view name) {
    const auto it = impl.tensors.find(std::string(name));
    if (it == impl.tensors.end()) {
        throw MWTModelError("missing MWT tensor: '" + std::string(name) + "'");
    }
    return it->second;
}

std::vector<at::Tensor> collect_mwt_encoder_weights(const MWTPlan::Impl& impl) {
    // Not reserved from num_layers: the configured count is bounded only by
    // the tensors that turn out to be present.
    std::vector<at::Tensor> weights;
    for (int64_t k = 0; k < impl.num_layers; ++k) {
        for (const char* suffix : {"", "_reverse"}) {
            for (const char* kind : {"weight_ih", "weight_hh", "bias_ih", "bias_hh"}) {
                weights.push_back(require_mwt_tensor(
                    impl, std::string("encoder.") + kind + "_l" + std::to_string(k) + suffix));
            }
        }
    }
    return weights;
}

}  // namespace detail

namespace {

const char* const kClassifierTensors[] = {"output_layer.0.weight", "output_layer.0.bias",
                                          "output_layer.2.weight", "output_layer.2.bias"};

}  // namespace

MWTPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(path, verify_checksums)) {
    if (bundle->processor() != "mwt") {
        throw MWTModelError("expected an MWT bundle, got '" + bundle->processor() + "'");
    }
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& config = assets.at("config", "assets");
    // The configuration's type errors carry no location.
    dict_only = config.at("dict_only", "assets.config").as_bool("");
    ensemble_dict = config.at("ensemble_dict", "assets.config").as_bool("");
    const detail::JsonValue* exact = config.find("force_exact_pieces");
    force_exact_pieces = exact != nullptr && !exact->is_null() && exact->as_bool("");
    vocab_size = config.at("vocab_size", "assets.config").as_integer("");
    hidden_dim = config.at("hidden_dim", "assets.config").as_integer("");
    num_layers = config.at("num_layers", "assets.config").as_integer("");

    const auto& entries = assets.at("expansion_dict", "assets").as_object("assets.expansion_dict");
    expansion_dict.reserve(entries.size());
    for (const auto& [token, expansion] : entries) {
        expansion_dict.emplace(token, expansion.as_string("assets.expansion_dict"));
    }
    const auto& units = assets.at("vocab", "assets")
                            .at("_unit2id", "assets.vocab")
                            .as_object("assets.vocab._unit2id");
    unit2id.reserve(units.size());
    for (const auto& [unit, id] : units) unit2id.emplace(unit, id.as_integer("assets.vocab._unit2id"));

    if (dict_only) return;
    if (!force_exact_pieces) {
        seq2seq = std::make_unique<Seq2SeqPlan>(std::move(path), verify_checksums);
        return;
    }

    // The split-point classifier. Without a layer or a hidden unit per
    // direction no state could be built.
    if (num_layers < 1 || hidden_dim < 2) {
        throw MWTModelError("invalid MWT classifier dimensions in assets.config");
    }
    for (const TensorDescriptor& descriptor : bundle->tensors()) {
        if (descriptor.dtype != "float32" && descriptor.dtype != "int64") {
            throw MWTModelError("MWT tensor dtype is unsupported: " + descriptor.dtype);
        }
        tensors.emplace(descriptor.name,
                        detail::view_bundle_tensor<MWTModelError>(*bundle, descriptor.name));
    }
    embedding = detail::require_mwt_tensor(*this, "embedding.weight");
    encoder_weights = detail::collect_mwt_encoder_weights(*this);
    for (const char* name : kClassifierTensors) detail::require_mwt_tensor(*this, name);
    if (!detail::hidden_size_fits(hidden_dim / 2, encoder_weights[1])) {
        throw MWTModelError("invalid MWT classifier dimensions in assets.config");
    }
    encoder_initial_state = {at::zeros({2 * num_layers, 1, hidden_dim / 2}, embedding.options()),
                             at::zeros({2 * num_layers, 1, hidden_dim / 2}, embedding.options())};
    output0_weight = tensors.at(kClassifierTensors[0]);
    output0_bias = tensors.at(kClassifierTensors[1]);
    output2_weight = tensors.at(kClassifierTensors[2]);
    output2_bias = tensors.at(kClassifierTensors[3]);
}

std::optional<std::string> MWTPlan::Impl::lookup_expansion(const std::string& token) const {
    if (const auto exact = expansion_dict.find(token); exact != expansion_dict.end()) {
        return exact->second;
    }
    if (detail::unicode_is_upper(token)) {
        const auto found = expansion_dict.find(detail::unicode_lower(token));
        if (found != expansion_dict.end()) return detail::unicode_upper(found->second);
    }
    const std::vector<std::string> units = detail::split_code_points(token);
    if (units.empty() || !detail::unicode_is_upper(units.front())) return std::nullopt;
    std::string rest;
    for (std::size_t i = 1; i < units.size(); ++i) rest += units[i];
    if (!detail::unicode_is_lower(rest)) return std::nullopt;
    const auto found = expansion_dict.find(detail::unicode_lower(token));
    if (found == expansion_dict.end()) return std::nullopt;
    const std::string& expansion = found->second;
    if (expansion.empty()) return expansion;
    const Utf8Text text(expansion);
    const std::size_t first = text.byte_offset(1);
    return detail::unicode_upper(std::string_view(expansion).substr(0, first)) + expansion.substr(first);
}

std::string MWTPlan::Impl::classify_pieces(const std::string& token) const {
    c10::InferenceMode guard;
    const std::vector<std::string> units = detail::split_code_points(token);
    const auto n = static_cast<int64_t>(units.size());
    std::vector<int64_t> ids;
    ids.reserve(units.size() + 2);
    ids.push_back(2);
    for (const std::string& unit : units) {
        const auto it = unit2id.find(unit);
        ids.push_back(it == unit2id.end() ? 1 : it->second);
    }
    ids.push_back(3);
    const at::Tensor input = at::embedding(embedding, detail::make_id_tensor(ids, {1, n + 2}));
    const at::Tensor output = std::get<0>(at::lstm(input, encoder_initial_state, encoder_weights,
                                                   /*has_biases=*/true, num_layers, /*dropout=*/0.0,
                                                   /*train=*/false, /*bidirectional=*/true,
                                                   /*batch_first=*/true));
    const at::Tensor scores = at::linear(at::relu(at::linear(output, output0_weight, output0_bias)),
                                         output2_weight, output2_bias);
    // A tie is no boundary.
    const at::Tensor boundary = at::gt(scores.select(2, 1), scores.select(2, 0)).contiguous();
    const bool* predicted = boundary.data_ptr<bool>();

    std::string pieces;
    pieces.reserve(token.size() + units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (predicted[i + 1]) pieces += ' ';
        pieces += units[i];
    }
    const std::size_t first = pieces.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    const std::size_t last = pieces.find_last_not_of(' ');
    return pieces.substr(first, last - first + 1);
}

std::string MWTPlan::Impl::expand(const std::string& token) const {
    if (dict_only || ensemble_dict) {
        if (std::optional<std::string> found = lookup_expansion(token)) return std::move(*found);
        if (dict_only) return token;
    }
    if (force_exact_pieces) return classify_pieces(token);

    std::string text =
        seq2seq->predict(token, std::nullopt, std::nullopt, /*suppress_unk=*/true).text;
    for (const char* symbol : {"<PAD>", "<UNK>", "<SOS>", "<EOS>"}) {
        const std::string_view marker(symbol);
        for (std::size_t pos = text.find(marker); pos != std::string::npos; pos = text.find(marker, pos)) {
            text.erase(pos, marker.size());
        }
    }
    if (text.empty() || text.find(' ') == std::string::npos) return token;
    return text;
}

MWTPlan::MWTPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw MWTModelError(error.what());
    }
}

MWTPlan::~MWTPlan() = default;
MWTPlan::MWTPlan(MWTPlan&& other) noexcept = default;
MWTPlan& MWTPlan::operator=(MWTPlan&& other) noexcept = default;

const ModelBundle& MWTPlan::bundle() const { return *impl_->bundle; }

std::string MWTPlan::expand(const std::string& token) const { return impl_->expand(token); }

Document MWTPlan::process(const Document& document) const {
    const Impl& impl = *impl_;
    if (impl.dict_only) {
        return detail::rewrite_mwt_document(document,
                                            [&impl](const std::string& token) { return impl.expand(token); });
    }
    // The distinct texts of the marked tokens are expanded first, groups of
    // them as parallel tasks; the rewrite then looks them up.
    const DocumentStorage& d = *document.storage();
    std::vector<std::string> texts;
    std::unordered_map<std::string, std::size_t> slots;
    for (std::size_t t = 0; t < d.token_count(); ++t) {
        const std::optional<std::string> misc = d.pool.optional(d.token_misc[t]);
        if (!misc || !detail::misc_marks_mwt(*misc)) continue;
        std::string text = d.pool.get(d.token_text[t]);
        if (slots.emplace(text, texts.size()).second) texts.push_back(std::move(text));
    }
    constexpr std::size_t kTaskTokens = 64;
    std::vector<std::string> expansions(texts.size());
    detail::run_tasks((texts.size() + kTaskTokens - 1) / kTaskTokens, [&](std::size_t task) {
        const std::size_t end = std::min(texts.size(), (task + 1) * kTaskTokens);
        for (std::size_t i = task * kTaskTokens; i < end; ++i) expansions[i] = impl.expand(texts[i]);
    });
    return detail::rewrite_mwt_document(document, [&](const std::string& token) {
        const auto found = slots.find(token);
        return found != slots.end() ? expansions[found->second] : impl.expand(token);
    });
}

}  // namespace quelbin
