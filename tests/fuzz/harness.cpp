#include "harness.hpp"

#include "json_writer.hpp"
#include "model/json.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace quelbin::fuzz {

std::vector<std::string_view> split_parts(std::string_view data, std::size_t count) {
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < count) {
        const std::size_t cut = data.find(kPartSeparator);
        if (cut == std::string_view::npos) break;
        parts.push_back(data.substr(0, cut));
        data.remove_prefix(cut + kPartSeparator.size());
    }
    parts.push_back(data);
    parts.resize(count);
    return parts;
}

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        // Shared memory when there is some: targets rewrite files on every input.
        const fs::path parent = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        path = parent / ("quelbin_fuzz_" + std::to_string(::getpid()));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

const fs::path& scratch_dir() {
    static const ScratchDir dir;
    return dir.path;
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("fuzz harness cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("fuzz harness cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path fixtures_dir() {
    if (const char* dir = std::getenv("QUELBIN_FUZZ_FIXTURES")) return dir;
    return QUELBIN_FIXTURES_DIR;
}

fs::path fixture_models_root() { return fixtures_dir() / "fuzz" / "models"; }

fs::path fixture_bundle(std::string_view kind) {
    return fixture_models_root() / "1.14.0" / "en" / std::string(kind);
}

fs::path write_raw_bundle(std::string_view name, std::string_view manifest, std::string_view assets,
                          std::string_view tensors, std::string_view artifact) {
    const fs::path dir = scratch_dir() / std::string(name);
    fs::create_directories(dir);
    write_file(dir / "manifest.json", manifest);
    write_file(dir / "assets.json", assets);
    write_file(dir / "tensors.bin", tensors);
    write_file(dir / "extra.bin", artifact);
    return dir;
}

BundleOverBase::BundleOverBase(const fs::path& base)
    : dir_(scratch_dir() / base.filename()) {
    const detail::JsonValue manifest = detail::load_json(base / "manifest.json");
    fs::create_directories(dir_);
    const std::string& tensor_file =
        manifest.at("tensor_file", "").at("path", "").as_string("");
    fs::copy_file(base / tensor_file, dir_ / tensor_file, fs::copy_options::overwrite_existing);
    if (const detail::JsonValue* artifacts = manifest.find("artifacts")) {
        for (const detail::JsonValue& artifact : artifacts->as_array("")) {
            const fs::path relative = artifact.at("path", "").as_string("");
            fs::create_directories((dir_ / relative).parent_path());
            fs::copy_file(base / relative, dir_ / relative, fs::copy_options::overwrite_existing);
        }
    }
    head_ = "{";
    for (const auto& [key, value] : manifest.as_object("")) {
        if (key == "tensors") {
            base_tensors_ = testing::write_json(value);
            continue;
        }
        // The assets are always written to assets.json; digests are not checked.
        if (key == "assets") {
            head_ += R"("assets":{"path":"assets.json","sha256":""},)";
            continue;
        }
        head_ += testing::write_json(detail::JsonValue(key)) + ":" + testing::write_json(value) + ",";
    }
    head_ += "\"tensors\":";
}

fs::path BundleOverBase::write(std::string_view assets, std::string_view tensors_json) const {
    write_file(dir_ / "assets.json", assets);
    std::string manifest = head_;
    manifest += tensors_json.empty() ? std::string_view(base_tensors_) : tensors_json;
    manifest += "}";
    write_file(dir_ / "manifest.json", manifest);
    return dir_;
}

std::uint64_t touch(const void* data, std::uint64_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < size; ++i) sum += bytes[i];
    return sum;
}

}  // namespace quelbin::fuzz
