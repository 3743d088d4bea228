// Opening a model bundle: strict manifest validation in a fixed order, a
// read-only mapping of the tensor file and artifacts, optional SHA-256 checks.
#include <quelbin/model_bundle.hpp>

#include <quelbin/errors.hpp>

#include "model/bundle_paths.hpp"
#include "model/json.hpp"
#include "model/sha256.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

namespace quelbin {

namespace fs = std::filesystem;

namespace detail {
namespace {

// A whole file mapped read-only and private; empty files are not mapped.
struct MappedFile {
    const unsigned char* data = nullptr;
    std::uint64_t size = 0;
    int fd = -1;

    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data != nullptr) ::munmap(const_cast<unsigned char*>(data), size);
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void throw_file_error(const char* what, const fs::path& path, const std::string& reason) {
    throw ModelBundleError(std::string(what) + path.string() + ": " + reason);
}

std::shared_ptr<const MappedFile> map_tensor_file(const fs::path& path) {
    auto file = std::make_shared<MappedFile>();
    // Non-blocking so that a FIFO planted in a bundle cannot hang the open.
    file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file->fd < 0) throw_file_error("cannot open tensor file: ", path, std::strerror(errno));
    struct stat info {};
    if (::fstat(file->fd, &info) != 0 || info.st_size < 0) {
        const std::string reason = std::strerror(info.st_size < 0 ? EOVERFLOW : errno);
        ::close(file->fd);
        file->fd = -1;
        throw_file_error("cannot stat tensor file: ", path, reason);
    }
    // Only a regular file has a stable size to validate against and can be
    // mapped safely; directories, devices and FIFOs are refused.
    if (!S_ISREG(info.st_mode)) {
        ::close(file->fd);
        file->fd = -1;
        throw_file_error("cannot map tensor file: ", path, "not a regular file");
    }
    file->size = static_cast<std::uint64_t>(info.st_size);
    if (file->size == 0) return file;
    void* data = ::mmap(nullptr, static_cast<std::size_t>(file->size), PROT_READ, MAP_PRIVATE,
                        file->fd, 0);
    if (data == MAP_FAILED) {
        const std::string reason = std::strerror(errno);
        ::close(file->fd);
        file->fd = -1;
        throw_file_error("cannot map tensor file: ", path, reason);
    }
    file->data = static_cast<const unsigned char*>(data);
    return file;
}

std::uint64_t read_non_negative_integer(const JsonValue& value, const std::string& label) {
    const std::int64_t number = value.as_integer(label);
    if (number < 0) throw ModelBundleError("expected a non-negative integer at " + label);
    return static_cast<std::uint64_t>(number);
}

std::uint64_t dtype_element_size(std::string_view dtype) noexcept {
    static constexpr std::pair<std::string_view, std::uint64_t> kSizes[] = {
        {"bool", 1},      {"int8", 1},     {"uint8", 1},     {"int16", 2},
        {"uint16", 2},    {"float16", 2},  {"bfloat16", 2},  {"int32", 4},
        {"uint32", 4},    {"float32", 4},  {"int64", 8},     {"uint64", 8},
        {"float64", 8},   {"complex64", 8}, {"complex128", 16},
    };
    for (const auto& [name, size] : kSizes) {
        if (name == dtype) return size;
    }
    return 0;
}

std::string quoted(const char* what, const std::string& name) {
    return std::string(what) + "'" + name + "'";
}

}  // namespace

fs::path read_bundle_relative_path(const JsonValue& value, std::string_view label) {
    fs::path path(value.as_string(label));
    if (path.empty() || path.has_root_directory()) {
        throw ModelBundleError("bundle path must be non-empty and relative at " +
                               std::string(label));
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            throw ModelBundleError("bundle path may not traverse parents at " +
                                   std::string(label));
        }
    }
    return path;
}

}  // namespace detail

struct BundleArtifact {
    std::string path;
    std::string sha256;
    std::shared_ptr<const detail::MappedFile> file;
};

struct ModelBundle::Impl {
    fs::path path;
    std::string language;
    std::string processor;
    std::string package;
    std::string varnek_version;
    std::string resources_version;
    bool checksums_verified = false;
    std::string assets_json;
    std::vector<TensorDescriptor> tensors;
    // Keys view the names stored in `tensors`, which never reallocates after
    // its one reservation.
    std::unordered_map<std::string_view, std::size_t> index;
    std::shared_ptr<const detail::MappedFile> tensor_file;
    std::vector<BundleArtifact> artifacts;

    void open(const fs::path& directory, bool verify_checksums);
    void read_tensors(const detail::JsonValue& manifest, std::uint64_t alignment);
    void verify(const detail::JsonValue& manifest);
    std::size_t position(std::string_view name) const;
};

namespace {

using detail::JsonValue;

const std::string& identity_string(const JsonValue& manifest, const char* key) {
    return manifest.at(key, "manifest").as_string("");
}

}  // namespace

void ModelBundle::Impl::open(const fs::path& directory, bool verify_checksums) {
    path = fs::absolute(directory);
    if (!fs::is_directory(path)) {
        throw ModelBundleError("model bundle is not a directory: " + path.string());
    }
    const JsonValue manifest = detail::load_json(path / "manifest.json");

    if (manifest.at("format", "manifest").as_string("") != "quelbin-model-bundle") {
        throw ModelBundleError("unsupported model bundle format");
    }
    if (manifest.at("format_version", "manifest").as_integer("") != 1) {
        throw ModelBundleError("unsupported model bundle version");
    }
    if (manifest.at("byte_order", "manifest").as_string("") != "little") {
        throw ModelBundleError("only little-endian bundles are supported");
    }
    language = identity_string(manifest, "language");
    processor = identity_string(manifest, "processor");
    package = identity_string(manifest, "package");
    varnek_version = identity_string(manifest, "varnek_version");
    resources_version = identity_string(manifest, "resources_version");
    const std::uint64_t alignment = detail::read_non_negative_integer(
        manifest.at("tensor_alignment", "manifest"), "manifest.tensor_alignment");
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        throw ModelBundleError("tensor alignment must be a non-zero power of two");
    }

    const JsonValue& assets = manifest.at("assets", "manifest");
    const fs::path assets_path = detail::read_bundle_relative_path(
        assets.at("path", "manifest.assets"), "manifest.assets.path");
    assets_json = detail::load_text_file(path / assets_path);

    const JsonValue& tensor_file_entry = manifest.at("tensor_file", "manifest");
    const fs::path tensor_path = detail::read_bundle_relative_path(
        tensor_file_entry.at("path", "manifest.tensor_file"), "manifest.tensor_file.path");
    tensor_file = detail::map_tensor_file(path / tensor_path);
    const std::uint64_t declared_size = detail::read_non_negative_integer(
        tensor_file_entry.at("size", "manifest.tensor_file"), "manifest.tensor_file.size");
    if (declared_size != tensor_file->size) throw ModelBundleError("tensor file size mismatch");

    if (const JsonValue* list = manifest.find("artifacts")) {
        const auto& entries = list->as_array("manifest.artifacts");
        artifacts.reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string label = "manifest.artifacts[" + std::to_string(i) + "]";
            const JsonValue& entry = entries[i];
            const JsonValue& path_value = entry.at("path", label);
            const fs::path relative = detail::read_bundle_relative_path(path_value, label + ".path");
            auto file = detail::map_tensor_file(path / relative);
            const std::uint64_t size =
                detail::read_non_negative_integer(entry.at("size", label), label + ".size");
            const std::string& written = path_value.as_string("");
            if (size != file->size) {
                throw ModelBundleError(detail::quoted("artifact file size mismatch: ", written));
            }
            std::string digest = entry.at("sha256", label).as_string(label + ".sha256");
            artifacts.push_back(BundleArtifact{written, std::move(digest), std::move(file)});
        }
    }

    read_tensors(manifest, alignment);
    if (verify_checksums) verify(manifest);
}

void ModelBundle::Impl::read_tensors(const JsonValue& manifest, std::uint64_t alignment) {
    const auto& entries = manifest.at("tensors", "manifest").as_array("manifest.tensors");
    tensors.reserve(entries.size());
    index.reserve(entries.size());
    const std::uint64_t file_size = tensor_file->size;
    std::uint64_t previous_end = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string label = "manifest.tensors[" + std::to_string(i) + "]";
        const JsonValue& entry = entries[i];
        TensorDescriptor descriptor;
        descriptor.name = entry.at("name", label).as_string(label);
        descriptor.dtype = entry.at("dtype", label).as_string(label);
        descriptor.offset =
            detail::read_non_negative_integer(entry.at("offset", label), label + ".offset");
        descriptor.nbytes =
            detail::read_non_negative_integer(entry.at("nbytes", label), label + ".nbytes");
        descriptor.sha256 = entry.at("sha256", label).as_string(label);
        const std::string shape_label = label + ".shape";
        const auto& dims = entry.at("shape", label).as_array(shape_label);
        descriptor.shape.reserve(dims.size());
        for (const JsonValue& dim : dims) {
            const std::int64_t size = dim.as_integer(shape_label);
            if (size < 0) {
                throw ModelBundleError(
                    detail::quoted("negative tensor dimension for ", descriptor.name));
            }
            descriptor.shape.push_back(size);
        }

        const std::string& name = descriptor.name;
        if (descriptor.offset % alignment != 0) {
            throw ModelBundleError(detail::quoted("misaligned tensor: ", name));
        }
        if (descriptor.offset < previous_end || descriptor.offset > file_size ||
            descriptor.nbytes > file_size - descriptor.offset) {
            throw ModelBundleError(detail::quoted("invalid tensor range: ", name));
        }
        const std::uint64_t element_size = detail::dtype_element_size(descriptor.dtype);
        if (element_size == 0) {
            throw ModelBundleError("unsupported tensor dtype: " + descriptor.dtype);
        }
        std::uint64_t byte_size = element_size;
        for (const std::int64_t size : descriptor.shape) {
            const auto dim = static_cast<std::uint64_t>(size);
            if (dim != 0 && byte_size > std::numeric_limits<std::uint64_t>::max() / dim) {
                throw ModelBundleError(detail::quoted("tensor size overflow: ", name));
            }
            byte_size *= dim;
        }
        if (byte_size != descriptor.nbytes) {
            throw ModelBundleError(
                detail::quoted("tensor byte size does not match dtype and shape: ", name));
        }
        previous_end = descriptor.offset + descriptor.nbytes;
        tensors.push_back(std::move(descriptor));
        const TensorDescriptor& stored = tensors.back();
        if (!index.emplace(std::string_view(stored.name), tensors.size() - 1).second) {
            const std::string duplicate = stored.name;
            tensors.pop_back();
            throw ModelBundleError(detail::quoted("duplicate tensor name: ", duplicate));
        }
    }
}

void ModelBundle::Impl::verify(const JsonValue& manifest) {
    const std::string& assets_digest =
        manifest.at("assets", "manifest").at("sha256", "manifest.assets").as_string("");
    if (detail::sha256_hex(assets_json.data(), assets_json.size()) != assets_digest) {
        throw ModelBundleError("assets checksum mismatch");
    }
    const std::string& file_digest =
        manifest.at("tensor_file", "manifest").at("sha256", "manifest.tensor_file").as_string("");

    // One sweep over the mapping feeds the file digest and every tensor's
    // digest, so each byte comes from disk once; each window is hashed again
    // for the tensors it holds while it is still in cache. Mismatches are
    // reported file first, then tensors in manifest order.
    const unsigned char* base = tensor_file->data;
    const std::uint64_t size = tensor_file->size;
    std::vector<std::size_t> order(tensors.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        return tensors[a].offset < tensors[b].offset;
    });
    detail::Sha256 file_hash;
    std::vector<detail::Sha256> tensor_hash(tensors.size());
    std::vector<std::size_t> active;  // tensors that may overlap the current window
    std::size_t next = 0;
    constexpr std::uint64_t kWindow = 1 << 20;
    for (std::uint64_t start = 0; start < size; start += kWindow) {
        const std::uint64_t end = std::min(size, start + kWindow);
        file_hash.update(base + start, end - start);
        while (next < order.size() && tensors[order[next]].offset < end) active.push_back(order[next++]);
        std::size_t kept = 0;
        for (std::size_t t : active) {
            const TensorDescriptor& d = tensors[t];
            const std::uint64_t from = std::max(start, d.offset);
            const std::uint64_t to = std::min(end, d.offset + d.nbytes);
            if (to > from) tensor_hash[t].update(base + from, to - from);
            if (d.offset + d.nbytes > end) active[kept++] = t;
        }
        active.resize(kept);
    }
    if (file_hash.hex_digest() != file_digest) {
        throw ModelBundleError("tensor file checksum mismatch");
    }
    for (std::size_t t = 0; t < tensors.size(); ++t) {
        if (tensor_hash[t].hex_digest() != tensors[t].sha256) {
            throw ModelBundleError(detail::quoted("tensor checksum mismatch: ", tensors[t].name));
        }
    }
    for (const BundleArtifact& artifact : artifacts) {
        if (detail::sha256_hex(artifact.file->data, artifact.file->size) != artifact.sha256) {
            throw ModelBundleError(detail::quoted("artifact checksum mismatch: ", artifact.path));
        }
    }
    checksums_verified = true;
}

std::size_t ModelBundle::Impl::position(std::string_view name) const {
    const auto found = index.find(name);
    if (found == index.end()) {
        throw ModelBundleError("tensor is not present in bundle: '" + std::string(name) + "'");
    }
    return found->second;
}

ModelBundle::ModelBundle(const fs::path& path, bool verify_checksums)
    : impl_(std::make_unique<Impl>()) {
    try {
        impl_->open(path, verify_checksums);
    } catch (const detail::JsonError& error) {
        throw ModelBundleError(error.what());
    }
}

ModelBundle::ModelBundle(ModelBundle&& other) noexcept = default;
ModelBundle& ModelBundle::operator=(ModelBundle&& other) noexcept = default;
ModelBundle::~ModelBundle() = default;

const fs::path& ModelBundle::path() const noexcept { return impl_->path; }
const std::string& ModelBundle::language() const noexcept { return impl_->language; }
const std::string& ModelBundle::processor() const noexcept { return impl_->processor; }
const std::string& ModelBundle::package() const noexcept { return impl_->package; }
const std::string& ModelBundle::varnek_version() const noexcept { return impl_->varnek_version; }
const std::string& ModelBundle::resources_version() const noexcept {
    return impl_->resources_version;
}
bool ModelBundle::checksums_verified() const noexcept { return impl_->checksums_verified; }
std::uint64_t ModelBundle::tensor_file_size() const noexcept { return impl_->tensor_file->size; }
const std::vector<TensorDescriptor>& ModelBundle::tensors() const noexcept {
    return impl_->tensors;
}

std::vector<std::string> ModelBundle::tensor_names() const {
    std::vector<std::string> names;
    names.reserve(impl_->tensors.size());
    for (const TensorDescriptor& descriptor : impl_->tensors) names.push_back(descriptor.name);
    return names;
}

const TensorDescriptor& ModelBundle::tensor(std::string_view name) const {
    return impl_->tensors[impl_->position(name)];
}

const void* ModelBundle::tensor_data(std::string_view name) const {
    const TensorDescriptor& descriptor = tensor(name);
    // An empty tensor file is not mapped; its only tensors are empty ones at 0.
    if (impl_->tensor_file->data == nullptr) return nullptr;
    return impl_->tensor_file->data + descriptor.offset;
}

const std::string& ModelBundle::assets_json() const noexcept { return impl_->assets_json; }

bool ModelBundle::has_artifact(const fs::path& relative) const {
    const fs::path wanted = relative.lexically_normal();
    for (const BundleArtifact& artifact : impl_->artifacts) {
        if (fs::path(artifact.path).lexically_normal() == wanted) return true;
    }
    return false;
}

std::shared_ptr<const void> detail::bundle_mapping_owner(const ModelBundle& bundle) {
    if (!bundle.impl_) return nullptr;
    return bundle.impl_->tensor_file;
}

}  // namespace quelbin
