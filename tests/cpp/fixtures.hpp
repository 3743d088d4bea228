// Access to the files that tests/make_fixtures.py writes before the C++ tests run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelbin::testing {

inline std::filesystem::path fixture_path(const std::string& group, const std::string& name) {
    return std::filesystem::path(QUELBIN_FIXTURES_DIR) / group / name;
}

// A file of raw float32 values.
inline std::vector<float> read_f32(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open fixture " + path.string());
    std::vector<float> values(static_cast<std::size_t>(in.tellg()) / sizeof(float));
    in.seekg(0).read(reinterpret_cast<char*>(values.data()),
                     static_cast<std::streamsize>(values.size() * sizeof(float)));
    return values;
}

}  // namespace quelbin::testing
