// libFuzzer target for the JSON reader. Every input must either parse, and then
// read back unchanged after being written out again, or fail with a JsonError
// whose offset lies within the input. Build and run with tests/fuzz/run_json_fuzz.sh.
#include "model/json.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using quelbin::detail::JsonValue;

void write_json(const JsonValue& v, std::string& out) {
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
    } else if (v.is_string()) {
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
            write_json(JsonValue(key), out);
            out += ':';
            write_json(value, out);
        }
        out += '}';
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const JsonValue value = quelbin::detail::parse_json(text);
        std::string written;
        write_json(value, written);
        if (quelbin::detail::parse_json(written) != value) std::abort();
    } catch (const quelbin::detail::JsonError& e) {
        const std::string what = e.what();
        const auto cut = what.rfind(" at JSON byte ");
        if (cut == std::string::npos) std::abort();
        if (std::strtoull(what.c_str() + cut + 14, nullptr, 10) > size) std::abort();
    }
    return 0;
}
