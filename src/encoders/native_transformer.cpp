// The transformer section of a model bundle (see native_transformer.hpp).
#include "encoders/native_transformer.hpp"

#include <quelbin/errors.hpp>

#include <ATen/ops/empty.h>

#include <utility>

namespace quelbin::detail {

namespace {

constexpr const char* kSection = "assets.transformer";
constexpr const char* kTokenizer = "assets.transformer.tokenizer";

std::string path_of(const char* object, const char* key) {
    return std::string(object) + "." + key;
}

const std::string& string_at(const JsonValue& object, const char* label, const char* key) {
    return object.at(key, label).as_string(path_of(label, key));
}

bool bool_at(const JsonValue& object, const char* label, const char* key) {
    return object.at(key, label).as_bool(path_of(label, key));
}

std::int64_t positive_at(const JsonValue& object, const char* label, const char* key) {
    const std::string path = path_of(label, key);
    const std::int64_t value = object.at(key, label).as_integer(path);
    if (value <= 0) throw TransformerError(path + " must be positive");
    return value;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::vector<std::uint8_t> decode_charsmap_base64(const std::string& text) {
    if (text.size() % 4 != 0) throw TransformerError("invalid base64 tokenizer charsmap length");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t group = 0; group < text.size(); group += 4) {
        std::uint32_t value = 0;
        int padding = 0;
        for (std::size_t i = group; i < group + 4; ++i) {
            int bits = 0;
            if (text[i] == '=') {
                ++padding;
            } else {
                bits = base64_value(text[i]);
                if (bits < 0 || padding > 0) throw TransformerError("invalid base64 tokenizer charsmap");
            }
            value = value << 6 | static_cast<std::uint32_t>(bits);
        }
        bytes.push_back(static_cast<std::uint8_t>(value >> 16));
        if (padding <= 1) bytes.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
        if (padding == 0) bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
    return bytes;
}

NativeTransformer::NativeTransformer(std::shared_ptr<ModelBundle> bundle, const JsonValue& assets)
    : bundle_(std::move(bundle)) {
    if (assets.at("backend", kSection).as_string("") != "aotinductor") {
        throw TransformerError("unsupported transformer runtime backend");
    }
    const std::filesystem::path artifact = string_at(assets, kSection, "artifact");
    // One plain file name: not empty, no root, no directory part, and not "."
    // or "..", which would name the bundle directory or its parent.
    if (artifact.empty() || artifact.has_root_directory() || artifact.has_parent_path() ||
        artifact == "." || artifact == "..") {
        throw TransformerError("transformer artifact must be a bundle-local filename");
    }
    // The package is native code the loader runs: only a listed artifact has had
    // its size and digest checked with the rest of the bundle.
    if (!bundle_->has_artifact(artifact)) {
        throw TransformerError("transformer artifact is not listed in the bundle manifest: " +
                               artifact.string());
    }
    hidden_size_ = positive_at(assets, kSection, "hidden_size");
    const auto max_length = static_cast<std::size_t>(positive_at(assets, kSection, "model_max_length"));

    const JsonValue& tokenizer = assets.at("tokenizer", kSection);
    const std::string& type = string_at(tokenizer, kTokenizer, "type");
    std::vector<std::string> vocabulary;
    const auto& entries = tokenizer.at("vocabulary", kTokenizer)
                              .as_array("assets.transformer.tokenizer.vocabulary");
    vocabulary.reserve(entries.size());
    for (const JsonValue& entry : entries) {
        vocabulary.push_back(entry.as_string("assets.transformer.tokenizer.vocabulary[]"));
    }
    std::filesystem::path model_path = bundle_->path() / artifact;

    if (type == "ByteBPE") {
        std::vector<std::pair<std::string, std::string>> merges;
        const auto& list = tokenizer.at("merges", kTokenizer).as_array("assets.transformer.tokenizer.merges");
        merges.reserve(list.size());
        for (const JsonValue& merge : list) {
            const auto& pair = merge.as_array("assets.transformer.tokenizer.merges[]");
            if (pair.size() != 2) throw TransformerError("byte BPE merge must contain exactly two tokens");
            merges.emplace_back(pair[0].as_string("assets.transformer.tokenizer.merges[][0]"),
                                pair[1].as_string("assets.transformer.tokenizer.merges[][1]"));
        }
        const bool add_prefix_space = bool_at(tokenizer, kTokenizer, "add_prefix_space");
        std::string unknown = string_at(tokenizer, kTokenizer, "unknown_token");
        std::string cls = string_at(tokenizer, kTokenizer, "cls_token");
        std::string sep = string_at(tokenizer, kTokenizer, "sep_token");
        encoder_ = std::make_unique<TransformerEncoder>(
            std::move(model_path), std::move(vocabulary), std::move(merges), add_prefix_space, 0,
            max_length, std::move(unknown), std::move(cls), std::move(sep));
    } else if (type == "XLMRobertaUnigram") {
        std::vector<float> scores;
        const auto& list = tokenizer.at("scores", kTokenizer).as_array("assets.transformer.tokenizer.scores");
        scores.reserve(list.size());
        for (const JsonValue& score : list) {
            scores.push_back(static_cast<float>(score.as_number("assets.transformer.tokenizer.scores[]")));
        }
        std::vector<std::uint8_t> charsmap =
            decode_charsmap_base64(string_at(tokenizer, kTokenizer, "precompiled_charsmap"));
        const std::int64_t unknown_id =
            tokenizer.at("unknown_id", kTokenizer).as_integer("assets.transformer.tokenizer.unknown_id");
        std::string cls = string_at(tokenizer, kTokenizer, "cls_token");
        std::string sep = string_at(tokenizer, kTokenizer, "sep_token");
        encoder_ = std::make_unique<TransformerEncoder>(
            std::move(model_path), std::move(vocabulary), std::move(scores), std::move(charsmap),
            unknown_id, 0, max_length, std::move(cls), std::move(sep));
    } else if (type == "WordPiece") {
        const bool lowercase = bool_at(tokenizer, kTokenizer, "lowercase");
        const bool strip_accents = bool_at(tokenizer, kTokenizer, "strip_accents");
        std::string unknown = string_at(tokenizer, kTokenizer, "unknown_token");
        std::string cls = string_at(tokenizer, kTokenizer, "cls_token");
        std::string sep = string_at(tokenizer, kTokenizer, "sep_token");
        std::string prefix = string_at(tokenizer, kTokenizer, "continuing_subword_prefix");
        const auto max_chars =
            static_cast<std::size_t>(positive_at(tokenizer, kTokenizer, "max_input_characters_per_word"));
        encoder_ = std::make_unique<TransformerEncoder>(
            std::move(model_path), std::move(vocabulary), lowercase, strip_accents, 0, max_length,
            std::move(unknown), std::move(cls), std::move(sep), std::move(prefix), max_chars);
    } else {
        throw TransformerError("unsupported native transformer tokenizer type: " + type);
    }
}

NativeTransformer::~NativeTransformer() { encoder_.reset(); }

at::Tensor NativeTransformer::checked(at::Tensor features) const {
    if (features.size(0) == 0) return at::empty({0, hidden_size_}, at::kFloat);
    if (features.size(1) != hidden_size_) {
        throw TransformerError("AOTInductor transformer output hidden size disagrees with assets");
    }
    return features;
}

at::Tensor NativeTransformer::encode(const std::vector<std::string>& words, bool keep_endpoints) const {
    return checked(encoder_->encode_words_tensor(words, keep_endpoints));
}

WordPieceEncoding NativeTransformer::tokenize(const std::vector<std::string>& words,
                                              bool add_special_tokens) const {
    return encoder_->tokenize(words, add_special_tokens);
}

at::Tensor NativeTransformer::encode_ids(const std::vector<std::int64_t>& input_ids,
                                         const std::vector<std::int64_t>& attention_mask) const {
    if (input_ids.empty()) return at::empty({0, hidden_size_}, at::kFloat);
    return checked(encoder_->encode_ids_tensor(input_ids, attention_mask));
}

}  // namespace quelbin::detail
