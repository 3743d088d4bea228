// Language identification: bundle loading, text encoding, the language-subset
// mask, grouping by length, and the plan's public operations.
#include "extended/langid_impl.hpp"

#include <quelbin/errors.hpp>

#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>

#include <limits>
#include <map>
#include <numeric>
#include <unordered_set>
#include <utility>

#include "kernels/parallel_tasks.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"

namespace quelbin {
namespace detail {
namespace {

bool is_langid_dtype(const std::string& dtype) {
    return dtype == "int64" || dtype == "float16" || dtype == "float32" || dtype == "float64" ||
           dtype == "bfloat16";
}

std::int64_t read_langid_config_value(const JsonValue& config, const char* key) {
    const std::int64_t value = config.at(key, "assets.config").as_integer("assets.config");
    if (value <= 0) throw LangIDModelError(std::string("LangID config value must be positive: ") + key);
    return value;
}

const at::Tensor& require_langid_tensor(const LangIDPlan::Impl& impl, const std::string& name) {
    const auto it = impl.tensors.find(name);
    if (it == impl.tensors.end()) throw LangIDModelError("missing LangID weight: '" + name + "'");
    return it->second;
}

void check_langid_tensor_shape(const LangIDPlan::Impl& impl, const std::string& name,
                               std::vector<std::int64_t> expected) {
    if (require_langid_tensor(impl, name).sizes() != c10::IntArrayRef(expected)) {
        throw LangIDModelError("LangID tensor has an unexpected shape: '" + name + "'");
    }
}

std::string lstm_name(const char* stem, std::int64_t layer, bool reverse) {
    return std::string("lstm.") + stem + std::to_string(layer) + (reverse ? "_reverse" : "");
}

std::vector<at::Tensor> load_langid_lstm_weights(const LangIDPlan::Impl& impl) {
    // Not reserved from num_layers: the configured count is bounded only by
    // the tensors that turn out to be present.
    std::vector<at::Tensor> weights;
    for (std::int64_t k = 0; k < impl.num_layers; ++k) {
        for (const bool reverse : {false, true}) {
            for (const char* stem : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
                weights.push_back(require_langid_tensor(impl, lstm_name(stem, k, reverse)));
            }
        }
    }
    return weights;
}

// The one code point of a vocabulary key, or -1 when the key is not exactly
// one well-formed character (such keys never match a text).
std::int64_t single_codepoint(const std::string& key) {
    std::size_t size = 0;
    std::uint32_t value = 0;
    const auto lead = static_cast<unsigned char>(key.empty() ? 0 : key[0]);
    if (key.empty()) return -1;
    if (lead < 0x80) {
        size = 1;
        value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        size = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        size = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        size = 4;
        value = lead & 0x07;
    } else {
        return -1;
    }
    if (key.size() != size) return -1;
    for (std::size_t j = 1; j < size; ++j) {
        const auto byte = static_cast<unsigned char>(key[j]);
        if ((byte & 0xC0) != 0x80) return -1;
        value = value << 6 | (byte & 0x3F);
    }
    static const std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kMinimum[size] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
    return value;
}

}  // namespace

void throw_langid_invalid_utf8(std::size_t offset) {
    throw LangIDModelError("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

std::vector<std::int64_t> encode_langid_text(const LangIDPlan::Impl& impl, const std::string& text) {
    std::vector<std::int64_t> ids;
    ids.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    static const std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ids.push_back(impl.ascii_ids[lead]);
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t value = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            throw_langid_invalid_utf8(i);
        }
        if (size - i < length) throw_langid_invalid_utf8(i);
        for (std::size_t j = 1; j < length; ++j) {
            if ((bytes[i + j] & 0xC0) != 0x80) throw_langid_invalid_utf8(i + j);
            value = value << 6 | (bytes[i + j] & 0x3F);
        }
        if (value < kMinimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            throw_langid_invalid_utf8(i);
        }
        const auto it = impl.codepoint_ids.find(value);
        ids.push_back(it == impl.codepoint_ids.end() ? impl.unk_id : it->second);
        i += length;
    }
    if (ids.empty()) throw LangIDModelError("language identification requires non-empty text");
    return ids;
}

at::Tensor build_langid_subset_mask(const LangIDPlan::Impl& impl, const std::vector<std::string>& subset) {
    if (subset.empty()) return impl.default_mask;
    const std::unordered_set<std::string> allowed(subset.begin(), subset.end());
    const auto count = static_cast<std::int64_t>(impl.tags.size());
    at::Tensor mask = at::empty({count}, at::TensorOptions().dtype(at::kFloat));
    float* values = mask.mutable_data_ptr<float>();
    bool any = false;
    for (std::int64_t t = 0; t < count; ++t) {
        const bool in = allowed.count(impl.tags[static_cast<std::size_t>(t)]) != 0;
        values[t] = in ? 0.0f : -std::numeric_limits<float>::infinity();
        any = any || in;
    }
    if (!any) throw LangIDModelError("LangID language subset contains no known language");
    return mask;
}

}  // namespace detail

LangIDPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(path), verify_checksums)) {
    if (bundle->processor() != "langid") {
        throw LangIDModelError("expected a langid bundle, got '" + bundle->processor() + "'");
    }
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& config = assets.at("config", "assets");
    num_layers = detail::read_langid_config_value(config, "num_layers");
    embedding_dim = detail::read_langid_config_value(config, "embedding_dim");
    hidden_dim = detail::read_langid_config_value(config, "hidden_dim");

    const detail::JsonObject& chars = assets.at("char_to_idx", "assets").as_object("assets.char_to_idx");
    for (const auto& [key, value] : chars) char_ids.emplace(key, value.as_integer("assets.char_to_idx"));
    const auto unk = char_ids.find("UNK");
    const auto pad = char_ids.find("<PAD>");
    if (unk == char_ids.end() || pad == char_ids.end()) {
        throw LangIDModelError("LangID vocabulary lacks UNK or <PAD>");
    }
    unk_id = unk->second;
    pad_id = pad->second;

    const detail::JsonObject& tag_object = assets.at("tag_to_idx", "assets").as_object("assets.tag_to_idx");
    const auto T = static_cast<std::int64_t>(tag_object.size());
    tags.resize(tag_object.size());
    std::vector<bool> seen(tag_object.size(), false);
    for (const auto& [code, value] : tag_object) {
        const std::int64_t id = value.as_integer("assets.tag_to_idx");
        if (id < 0 || id >= T || seen[static_cast<std::size_t>(id)]) {
            throw LangIDModelError("LangID tag ids must be contiguous and unique");
        }
        seen[static_cast<std::size_t>(id)] = true;
        tags[static_cast<std::size_t>(id)] = code;
    }

    for (const TensorDescriptor& descriptor : bundle->tensors()) {
        if (!detail::is_langid_dtype(descriptor.dtype)) {
            throw LangIDModelError("ATen view does not support LangID bundle dtype: " + descriptor.dtype);
        }
        tensors.emplace(descriptor.name, detail::view_bundle_tensor<LangIDModelError>(*bundle, descriptor.name));
    }
    const auto V = static_cast<std::int64_t>(char_ids.size());
    const std::int64_t H = hidden_dim;
    detail::check_langid_tensor_shape(*this, "char_embeds.weight", {V, embedding_dim});
    detail::check_langid_tensor_shape(*this, "hidden_to_tag.weight", {T, 2 * H});
    detail::check_langid_tensor_shape(*this, "hidden_to_tag.bias", {T});
    lstm_weights = detail::load_langid_lstm_weights(*this);
    default_mask = at::zeros({T}, at::TensorOptions().dtype(at::kFloat));

    // Beyond the checks above, the network needs float32 weights, LSTM
    // parameters of the sizes it multiplies, character ids inside the
    // embedding table and at least one tag; a bundle that breaks one of these
    // could not identify anything, so it is refused here rather than at its
    // first text.
    const std::string used[] = {"char_embeds.weight", "hidden_to_tag.weight", "hidden_to_tag.bias"};
    for (const std::string& name : used) {
        if (detail::require_langid_tensor(*this, name).scalar_type() != at::kFloat) {
            throw LangIDModelError("LangID tensors must use float32: '" + name + "'");
        }
    }
    for (std::int64_t k = 0; k < num_layers; ++k) {
        const std::int64_t input = k == 0 ? embedding_dim : 2 * H;
        for (const bool reverse : {false, true}) {
            const std::pair<const char*, std::vector<std::int64_t>> shapes[] = {
                {"weight_ih_l", {4 * H, input}}, {"weight_hh_l", {4 * H, H}},
                {"bias_ih_l", {4 * H}}, {"bias_hh_l", {4 * H}}};
            for (const auto& [stem, expected] : shapes) {
                const std::string name = detail::lstm_name(stem, k, reverse);
                if (detail::require_langid_tensor(*this, name).scalar_type() != at::kFloat) {
                    throw LangIDModelError("LangID tensors must use float32: '" + name + "'");
                }
                detail::check_langid_tensor_shape(*this, name, expected);
            }
        }
    }
    for (const auto& [key, id] : char_ids) {
        if (id < 0 || id >= V) throw LangIDModelError("LangID character ids must lie within the embedding table");
    }
    if (T == 0) throw LangIDModelError("LangID tag table is empty");

    ascii_ids.fill(unk_id);
    for (const auto& [key, id] : char_ids) {
        const std::int64_t codepoint = detail::single_codepoint(key);
        if (codepoint < 0) continue;
        if (codepoint < 0x80) ascii_ids[static_cast<std::size_t>(codepoint)] = id;
        else codepoint_ids.emplace(static_cast<std::uint32_t>(codepoint), id);
    }
    layers.reserve(static_cast<std::size_t>(num_layers));
    for (std::int64_t k = 0; k < num_layers; ++k) {
        const std::vector<at::Tensor> layer(lstm_weights.begin() + 8 * k, lstm_weights.begin() + 8 * (k + 1));
        layers.emplace_back(layer);
    }
    embedding = tensors.at("char_embeds.weight").contiguous();
    tag_weight = tensors.at("hidden_to_tag.weight").contiguous();
    tag_bias = tensors.at("hidden_to_tag.bias").contiguous();
    if (V * 8 * H <= detail::kLangIDTableFloats) {
        std::vector<std::int64_t> ids(static_cast<std::size_t>(V));
        std::iota(ids.begin(), ids.end(), std::int64_t{0});
        first_table.resize(static_cast<std::size_t>(V * 8 * H));
        detail::langid_first_inputs(*this, ids.data(), V, first_table.data());
    }
}

// Views go before the bundle that maps their memory.
LangIDPlan::Impl::~Impl() {
    layers.clear();
    embedding = tag_weight = tag_bias = at::Tensor();
    default_mask = at::Tensor();
    lstm_weights.clear();
    tensors.clear();
    tags.clear();
    char_ids.clear();
    bundle.reset();
}

std::vector<std::string> LangIDPlan::Impl::identify_batch(const std::vector<std::string>& texts,
                                                          const std::vector<std::string>& subset) const {
    if (texts.empty()) return {};
    std::vector<std::vector<std::int64_t>> encoded;
    encoded.reserve(texts.size());
    for (const std::string& text : texts) encoded.push_back(detail::encode_langid_text(*this, text));
    std::map<std::size_t, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < encoded.size(); ++i) groups[encoded[i].size()].push_back(i);
    const at::Tensor mask = detail::build_langid_subset_mask(*this, subset);

    // The groups, longest first, are cut into tasks of about
    // kLangIDTaskPositions positions that may span neighbouring lengths: a
    // long text rarely shares its length with another, and a recurrence over
    // several rows runs far faster than over one. The cut depends on the
    // input alone, never on the thread count.
    std::vector<std::size_t> order;
    order.reserve(texts.size());
    for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
        order.insert(order.end(), group->second.begin(), group->second.end());
    }
    std::vector<std::size_t> bounds{0};
    std::int64_t weight = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto length = static_cast<std::int64_t>(encoded[order[i]].size());
        // A task's buffers are sized by its longest (first) text.
        const std::int64_t first = static_cast<std::int64_t>(encoded[order[bounds.back()]].size());
        if (i > bounds.back() && (weight + first > detail::kLangIDTaskPositions ||
                                  i - bounds.back() >= detail::kLangIDTaskRows)) {
            bounds.push_back(i);
            weight = 0;
        }
        weight += std::max(length, static_cast<std::int64_t>(encoded[order[bounds.back()]].size()));
    }
    bounds.push_back(order.size());
    std::vector<std::int64_t> ids(texts.size(), -1);
    std::vector<std::int64_t> ordered_ids(order.size(), -1);
    const float* mask_values = mask.const_data_ptr<float>();
    detail::ScratchPool<float> scratch;
    detail::run_tasks(bounds.size() - 1, [&](std::size_t t) {
        detail::run_langid_rows(*this, encoded, order.data() + bounds[t], bounds[t + 1] - bounds[t], mask_values,
                                ordered_ids.data() + bounds[t], scratch);
    });
    for (std::size_t i = 0; i < order.size(); ++i) ids[order[i]] = ordered_ids[i];
    const auto T = static_cast<std::int64_t>(tags.size());
    std::vector<std::string> codes(texts.size());
    for (const auto& [length, group] : groups) {
        for (const std::size_t i : group) {
            if (ids[i] < 0 || ids[i] >= T) throw LangIDModelError("LangID classifier produced an invalid tag id");
            codes[i] = tags[static_cast<std::size_t>(ids[i])];
        }
    }
    return codes;
}

LangIDPlan::LangIDPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw LangIDModelError(error.what());
    }
}

LangIDPlan::~LangIDPlan() = default;
LangIDPlan::LangIDPlan(LangIDPlan&& other) noexcept = default;
LangIDPlan& LangIDPlan::operator=(LangIDPlan&& other) noexcept = default;

const ModelBundle& LangIDPlan::bundle() const { return *impl_->bundle; }

std::string LangIDPlan::identify(const std::string& text, const std::vector<std::string>& lang_subset) const {
    return impl_->identify_batch({text}, lang_subset).front();
}

std::vector<std::string> LangIDPlan::identify_many(const std::vector<std::string>& texts,
                                                   const std::vector<std::string>& lang_subset) const {
    return impl_->identify_batch(texts, lang_subset);
}

}  // namespace quelbin
