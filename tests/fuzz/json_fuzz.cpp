// libFuzzer target for the JSON reader, built and run by run_json_fuzz.sh: every
// input parses and reads back unchanged, or fails at an offset inside it.
#include "json_writer.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!quelbin::testing::json_fuzz_fault(text).empty()) std::abort();
    return 0;
}
