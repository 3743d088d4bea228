// Compact JSON text of a parsed value, for the JSON tests and the JSON fuzz
// target: doubles as "%.17e", bytes below 0x20, '"' and '\' of strings as
// \u00XX, other bytes as they are, members in the order of their keys.
#pragma once

#include "model/json.hpp"

#include <cstdio>
#include <string>
#include <string_view>

namespace quelbin::testing {

inline void close_json(std::string& out, char bracket) {
    if (out.back() == ',') {
        out.back() = bracket;
    } else {
        out += bracket;
    }
}

inline void write_json(const detail::JsonValue& v, std::string& out) {
    char buffer[40];
    if (v.is_null()) {
        out += "null";
    } else if (v.is_bool()) {
        out += v.as_bool("") ? "true" : "false";
    } else if (v.is_integer()) {
        out += std::to_string(v.as_integer(""));
    } else if (v.is_number()) {
        std::snprintf(buffer, sizeof buffer, "%.17e", v.as_number(""));
        out += buffer;
    } else if (v.is_string()) {
        out += '"';
        for (const unsigned char c : v.as_string("")) {
            const bool escape = c < 0x20 || c == '"' || c == '\\';
            std::snprintf(buffer, sizeof buffer, escape ? "\\u%04x" : "%c", c);
            out += std::string_view(buffer, escape ? 6 : 1);
        }
        out += '"';
    } else if (v.is_array()) {
        out += '[';
        for (const detail::JsonValue& element : v.as_array("")) {
            write_json(element, out);
            out += ',';
        }
        close_json(out, ']');
    } else {
        out += '{';
        for (const auto& [key, value] : v.as_object("")) {
            write_json(detail::JsonValue(key), out);
            out += ':';
            write_json(value, out);
            out += ',';
        }
        close_json(out, '}');
    }
}

// What every input must give: either it parses, and reads back unchanged once
// written out, or it fails with an offset inside the input. Returns the fault
// found, empty for none.
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
    std::string written;
    write_json(value, written);
    return detail::parse_json(written) == value ? "" : "changed on reading back: " + written;
}

}  // namespace quelbin::testing
