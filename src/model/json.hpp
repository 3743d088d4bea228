// A small strict JSON reader for model indexes, manifests and assets.
//
// parse_json reports syntax errors with the byte offset where they were found
// ("... at JSON byte N"); the typed accessors report wrong or missing values with
// a dotted path label supplied by the caller ("... at assets.config.use_crf").
#pragma once

#include <quelbin/errors.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quelbin::detail {

class JsonValue;

using JsonArray = std::vector<JsonValue>;
// Members sorted by the byte order of their keys; lookups take a string_view.
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

class JsonValue {
public:
    JsonValue() noexcept = default;
    JsonValue(bool value) noexcept : value_(value) {}
    JsonValue(std::int64_t value) noexcept : value_(value) {}
    JsonValue(double value) noexcept : value_(value) {}
    JsonValue(std::string value) noexcept : value_(std::move(value)) {}
    JsonValue(JsonArray value) noexcept : value_(std::move(value)) {}
    JsonValue(JsonObject value) noexcept : value_(std::move(value)) {}
    // A string literal would otherwise silently become a boolean.
    JsonValue(const char*) = delete;

    bool is_null() const noexcept { return value_.index() == kNull; }
    bool is_bool() const noexcept { return value_.index() == kBool; }
    bool is_integer() const noexcept { return value_.index() == kInteger; }
    bool is_number() const noexcept {
        return value_.index() == kInteger || value_.index() == kDouble;
    }
    bool is_string() const noexcept { return value_.index() == kString; }
    bool is_array() const noexcept { return value_.index() == kArray; }
    bool is_object() const noexcept { return value_.index() == kObject; }

    // Typed access; a value of another kind throws JsonError
    // "expected JSON <type>" followed by " at <label>" when the label is not empty.
    bool as_bool(std::string_view label) const;
    std::int64_t as_integer(std::string_view label) const;  // a double such as 1.0 is refused
    double as_number(std::string_view label) const;         // an integer is converted
    const std::string& as_string(std::string_view label) const;
    const JsonArray& as_array(std::string_view label) const;
    const JsonObject& as_object(std::string_view label) const;

    // The member under key; throws the "object" type error for a non-object and
    // "missing JSON key '<key>'" (with " at <label>") for an absent key.
    const JsonValue& at(std::string_view key, std::string_view label) const;
    // The member under key, or nullptr for an absent key or a non-object.
    const JsonValue* find(std::string_view key) const noexcept;

    [[noreturn]] static void throw_type(std::string_view type, std::string_view label);

    friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.value_ == b.value_; }
    friend bool operator!=(const JsonValue& a, const JsonValue& b) { return !(a == b); }

private:
    enum : std::size_t { kNull, kBool, kInteger, kDouble, kString, kArray, kObject };
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, JsonArray, JsonObject>
        value_{nullptr};
};

// Parses one complete JSON text (white space allowed around it). Nesting deeper
// than kJsonMaxDepth arrays and objects is refused.
JsonValue parse_json(std::string_view text);
inline constexpr std::size_t kJsonMaxDepth = 512;

// The whole file as bytes; "cannot open JSON file: <path>" or
// "cannot read JSON file: <path>" on failure.
std::string load_text_file(const std::filesystem::path& path);
// parse_json over load_text_file(path).
JsonValue load_json(const std::filesystem::path& path);

}  // namespace quelbin::detail
