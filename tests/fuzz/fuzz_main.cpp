// The libFuzzer driver of the engine's targets: QUELBIN_FUZZ_TARGET names the
// target (QUELBIN_FUZZ_LIST=1 prints the names); a fault aborts with its text.
#include "targets.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
quelbin::fuzz::Entry entry = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* name = std::getenv("QUELBIN_FUZZ_TARGET");
    if (name != nullptr) entry = quelbin::fuzz::find_target(name);
    if (entry == nullptr) {
        if (std::getenv("QUELBIN_FUZZ_LIST") == nullptr) {
            std::fprintf(stderr, "QUELBIN_FUZZ_TARGET must name one of:\n");
        }
        for (const auto& target : quelbin::fuzz::engine_targets()) std::printf("%s\n", target.name);
        std::exit(name == nullptr && std::getenv("QUELBIN_FUZZ_LIST") != nullptr ? 0 : 2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = entry(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!fault.empty()) {
        std::fprintf(stderr, "fuzz fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
