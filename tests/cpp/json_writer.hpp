// Compact JSON text of a parsed value, for round-trip checks in the JSON tests
// and the JSON fuzz target.
#pragma once

#include "model/json.hpp"

#include <cstdio>
#include <string>

namespace quelbin::testing {

inline void write_json(const quelbin::detail::JsonValue& v, std::string& out) {
    if (v.is_null()) {
        out += "null";
    } else if (v.is_bool()) {
        out += v.as_bool("") ? "true" : "false";
    } else if (v.is_integer()) {
        out += std::to_string(v.as_integer(""));
    } else if (v.is_number()) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17e", v.as_number(""));
        out += buffer;
    } else if (v.is_string() ) {
        out += '"';
        for (unsigned char c : v.as_string("")) {
            if (c < 0x20 || c == '"' || c == '\\') {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '"';
    } else if (v.is_array()) {
        out += '[';
        const char* sep = "";
        for (const auto& e : v.as_array("")) {
            out += sep;
            sep = ",";
            write_json(e, out);
        }
        out += ']';
    } else {
        out += '{';
        const char* sep = "";
        for (const auto& [key, value] : v.as_object("")) {
            out += sep;
            sep = ",";
            write_json(quelbin::detail::JsonValue(key), out);
            out += ':';
            write_json(value, out);
        }
        out += '}';
    }
}

}  // namespace quelbin::testing
