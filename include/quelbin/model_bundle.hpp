// Model bundles: a directory holding a manifest, an assets JSON file, one raw
// little-endian tensor file mapped read-only, and optional artifact files; and
// the model index that says which bundle serves a processor and package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin {

// One tensor of a bundle: its bytes are [offset, offset + nbytes) of the tensor
// file, densely stored row-major, last dimension fastest.
struct TensorDescriptor {
    std::string name;
    std::string dtype;
    std::vector<std::int64_t> shape;
    std::uint64_t offset = 0;
    std::uint64_t nbytes = 0;
    std::string sha256;
};

class ModelBundle;

namespace detail {
// Shared owner of a bundle's tensor-file mapping: whoever holds it keeps the
// mapped bytes valid, even past the bundle itself (tensor views hold one).
std::shared_ptr<const void> bundle_mapping_owner(const ModelBundle& bundle);
}  // namespace detail

// An opened and validated bundle directory. Move-only; read-only after
// construction, so one bundle may be shared between plans and threads.
class ModelBundle {
public:
    // Opens the bundle directory `path` (made absolute), validates its manifest,
    // maps the tensor file and artifacts and, when `verify_checksums` is set,
    // compares every SHA-256 digest. Throws ModelBundleError.
    ModelBundle(const std::filesystem::path& path, bool verify_checksums);
    ModelBundle(ModelBundle&& other) noexcept;
    ModelBundle& operator=(ModelBundle&& other) noexcept;
    ModelBundle(const ModelBundle&) = delete;
    ModelBundle& operator=(const ModelBundle&) = delete;
    ~ModelBundle();

    const std::filesystem::path& path() const noexcept;
    const std::string& language() const noexcept;
    const std::string& processor() const noexcept;
    const std::string& package() const noexcept;
    const std::string& varnek_version() const noexcept;
    const std::string& resources_version() const noexcept;
    bool checksums_verified() const noexcept;
    std::uint64_t tensor_file_size() const noexcept;

    // Every descriptor, in manifest order.
    const std::vector<TensorDescriptor>& tensors() const noexcept;
    std::vector<std::string> tensor_names() const;
    // Throws ModelBundleError "tensor is not present in bundle: '<name>'".
    const TensorDescriptor& tensor(std::string_view name) const;
    // First byte of the tensor inside the read-only mapping; never write through it.
    const void* tensor_data(std::string_view name) const;

    // The assets file's raw text (parsed by each model loader).
    const std::string& assets_json() const noexcept;

    // True when the manifest lists `relative` among its artifacts (compared
    // after lexical normalisation), so that its size, and its digest when
    // checksums are verified, were checked with the bundle.
    bool has_artifact(const std::filesystem::path& relative) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;

    friend std::shared_ptr<const void> detail::bundle_mapping_owner(const ModelBundle& bundle);
};

// The bundle directory serving `processor` and `package` under
// <absolute model_root>/<resources_version>/<language>/index.json. The package
// "default" accepts any single entry of the processor. Throws ModelBundleError.
std::filesystem::path resolve_model_bundle(const std::filesystem::path& model_root,
                                           std::string_view resources_version,
                                           std::string_view language,
                                           std::string_view processor,
                                           std::string_view package);

}  // namespace quelbin
