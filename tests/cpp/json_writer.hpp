// Compact JSON text of a parsed value, for the JSON tests and fuzz target:
// doubles as "%.17e", string bytes below 0x20, '"' and '\' as \u00XX, other
// bytes as they are, members in the order of their keys.
#pragma once

#include "model/json.hpp"

#include <cstdio>
#include <string>
#include <utility>

namespace quelbin::testing {

inline std::string write_json(const detail::JsonValue& v) {
    char buffer[40];
    if (v.is_null()) return "null";
    if (v.is_bool()) return v.as_bool("") ? "true" : "false";
    if (v.is_integer()) return std::to_string(v.as_integer(""));
    if (v.is_number()) {
        return std::string(buffer, std::snprintf(buffer, sizeof buffer, "%.17e", v.as_number("")));
    }
    std::string out;
    if (v.is_string()) {
        for (const unsigned char c : v.as_string("")) {
            const bool escape = c < 0x20 || c == '"' || c == '\\';
            out.append(buffer, std::snprintf(buffer, sizeof buffer, escape ? "\\u%04x" : "%c", c));
        }
        return "\"" + out + "\"";
    }
    const char* separator = "";
    if (v.is_array()) {
        for (const detail::JsonValue& element : v.as_array("")) {
            out += std::exchange(separator, ",") + write_json(element);
        }
        return "[" + out + "]";
    }
    for (const auto& [key, value] : v.as_object("")) {
        out += std::exchange(separator, ",") + write_json(detail::JsonValue(key)) + ":";
        out += write_json(value);
    }
    return "{" + out + "}";
}

// What every input must give: either it parses and reads back unchanged once
// written out, or it fails at an offset inside the input. Returns the fault.
inline std::string json_fuzz_fault(std::string_view text) {
    detail::JsonValue value;
    try {
        value = detail::parse_json(text);
    } catch (const detail::JsonError& error) {
        const std::string what = error.what();
        const auto cut = what.rfind(" at JSON byte ");
        if (cut != std::string::npos && std::stoull(what.substr(cut + 14)) <= text.size()) return "";
        return "bad error: " + what;
    }
    const std::string written = write_json(value);
    return detail::parse_json(written) == value ? "" : "changed on reading back: " + written;
}

}  // namespace quelbin::testing
