// Shared pieces of the fuzz targets: cutting one input into parts, a scratch
// directory per process, writing bundles into it, and sorting an outcome into
// "failed with the module's own error" (fine) or anything else (a fault).
#pragma once

#include <quelbin/errors.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace quelbin::fuzz {

namespace fs = std::filesystem;

// The separator between the parts of one input.
inline constexpr std::string_view kPartSeparator = "\n====\n";

// At most `count` parts; the last one keeps any further separators, and
// missing parts are empty.
std::vector<std::string_view> split_parts(std::string_view data, std::size_t count);

// A directory private to this process, removed when it exits.
const fs::path& scratch_dir();
void write_file(const fs::path& path, std::string_view bytes);
std::string read_file(const fs::path& path);

// The fixtures directory the test run writes (QUELBIN_FUZZ_FIXTURES overrides
// the one compiled in), and its model tree of small working bundles.
fs::path fixtures_dir();
fs::path fixture_models_root();             // <fixtures>/fuzz/models
fs::path fixture_bundle(std::string_view kind);  // <models root>/1.14.0/en/<kind>

// A bundle written under the scratch directory from raw file contents.
fs::path write_raw_bundle(std::string_view name, std::string_view manifest, std::string_view assets,
                          std::string_view tensors, std::string_view artifact);

// A working bundle whose assets and tensor list are replaced from the input
// while its identity, tensor file and artifacts stay: write() returns a
// directory holding the base's files, `assets` as assets.json and a manifest whose "tensors"
// member is `tensors_json` verbatim (the base list when it is empty).
class BundleOverBase {
public:
    explicit BundleOverBase(const fs::path& base);
    fs::path write(std::string_view assets, std::string_view tensors_json) const;

private:
    fs::path dir_;
    std::string head_;          // the manifest up to the "tensors" member
    std::string base_tensors_;  // the base's tensor list
};

// "" when fn returns or throws an exception of one of the Accepted classes
// (or a class derived from one); otherwise the type and message of what
// escaped, which the caller reports as a fault.
template <class... Accepted, class Fn>
std::string outcome(Fn&& fn) {
    try {
        fn();
        return {};
    } catch (const std::exception& error) {
        if ((... || (dynamic_cast<const Accepted*>(&error) != nullptr))) {
            if (error.what()[0] == '\0') return "an accepted error without a message";
            return {};
        }
        return std::string("unexpected ") + typeid(error).name() + ": " + error.what();
    } catch (...) {
        return "an exception that is no std::exception";
    }
}

// Reads every byte of a buffer so that the sanitizers see an out-of-range view.
std::uint64_t touch(const void* data, std::uint64_t size);

}  // namespace quelbin::fuzz
