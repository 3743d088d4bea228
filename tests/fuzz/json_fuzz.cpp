// libFuzzer target for the JSON reader. Every input must either parse, and then
// read back unchanged after being written out again, or fail with a JsonError
// whose offset lies within the input. Build and run with tests/fuzz/run_json_fuzz.sh.
#include "model/json.hpp"
#include "json_writer.hpp"

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>

using quelbin::detail::JsonValue;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const JsonValue value = quelbin::detail::parse_json(text);
        std::string written;
        quelbin::testing::write_json(value, written);
        if (quelbin::detail::parse_json(written) != value) std::abort();
    } catch (const quelbin::detail::JsonError& e) {
        const std::string what = e.what();
        const auto cut = what.rfind(" at JSON byte ");
        if (cut == std::string::npos) std::abort();
        if (std::strtoull(what.c_str() + cut + 14, nullptr, 10) > size) std::abort();
    }
    return 0;
}
