// Tensor views over bundle mappings and engine id buffers.
#include "model/tensor_view.hpp"

#include <ATen/ops/from_blob.h>

#include <limits>
#include <stdexcept>
#include <utility>

namespace quelbin::detail {

namespace {

struct DtypeRow {
    std::string_view name;
    c10::ScalarType type;
};

constexpr DtypeRow kViewDtypes[] = {
    {"uint8", c10::ScalarType::Byte},     {"int8", c10::ScalarType::Char},
    {"int16", c10::ScalarType::Short},    {"int32", c10::ScalarType::Int},
    {"int64", c10::ScalarType::Long},     {"float16", c10::ScalarType::Half},
    {"float32", c10::ScalarType::Float},  {"float64", c10::ScalarType::Double},
    {"bool", c10::ScalarType::Bool},      {"bfloat16", c10::ScalarType::BFloat16},
};

// ATen computes element counts and contiguous strides in int64 and refuses
// shapes whose product of max(size, 1) leaves that range.
bool fits_aten_shape(c10::IntArrayRef sizes) noexcept {
    std::uint64_t product = 1;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (const std::int64_t size : sizes) {
        if (size < 0) return false;
        const std::uint64_t factor = size == 0 ? 1 : static_cast<std::uint64_t>(size);
        if (product > kMax / factor) return false;
        product *= factor;
    }
    return true;
}

// The tensor's storage context: one share of the mapping.
using MappingShare = std::shared_ptr<const void>;

void release_mapping_share(void* context) {
    delete static_cast<MappingShare*>(context);
}

at::Tensor make_view(const TensorDescriptor& descriptor, const void* data,
                     const MappingShare& owner, ViewErrorThrower fail) {
    const std::optional<c10::ScalarType> type = bundle_scalar_type(descriptor.dtype);
    if (!type) {
        fail("ATen view does not support bundle dtype: " + descriptor.dtype);
        throw std::logic_error("tensor view error handler returned");
    }
    if (!fits_aten_shape(descriptor.shape)) {
        fail("ATen view does not support bundle tensor shape: '" + descriptor.name + "'");
        throw std::logic_error("tensor view error handler returned");
    }
    // The maker owns the share from .context() on, also when make_tensor throws.
    // The mapping is PROT_READ: the const_cast only satisfies the API.
    return at::for_blob(const_cast<void*>(data), descriptor.shape)
        .context(new MappingShare(owner), &release_mapping_share)
        .options(at::TensorOptions().dtype(*type).device(c10::kCPU))
        .make_tensor();
}

}  // namespace

std::optional<c10::ScalarType> bundle_scalar_type(std::string_view dtype) noexcept {
    for (const DtypeRow& row : kViewDtypes) {
        if (row.name == dtype) return row.type;
    }
    return std::nullopt;
}

at::Tensor view_bundle_tensor(const ModelBundle& bundle, std::string_view name,
                              ViewErrorThrower fail) {
    const TensorDescriptor& descriptor = bundle.tensor(name);
    const void* data = bundle.tensor_data(name);
    return make_view(descriptor, data, bundle_mapping_owner(bundle), fail);
}

std::unordered_map<std::string, at::Tensor> view_bundle_tensors(const ModelBundle& bundle,
                                                                ViewErrorThrower fail) {
    const MappingShare owner = bundle_mapping_owner(bundle);
    std::unordered_map<std::string, at::Tensor> views;
    views.reserve(bundle.tensors().size());
    for (const TensorDescriptor& descriptor : bundle.tensors()) {
        views.emplace(descriptor.name,
                      make_view(descriptor, bundle.tensor_data(descriptor.name), owner, fail));
    }
    return views;
}

at::Tensor make_id_tensor(const std::vector<std::int64_t>& ids, c10::IntArrayRef sizes) {
    bool empty = false;
    bool too_large = false;
    std::uint64_t count = 1;
    for (const std::int64_t size : sizes) {
        if (size < 0) throw std::invalid_argument("id tensor size is negative");
        const auto dim = static_cast<std::uint64_t>(size);
        if (dim == 0) empty = true;
        else if (count > ids.size() / dim) too_large = true;
        else count *= dim;
    }
    if (empty) count = 0;
    if ((too_large && !empty) || count != ids.size() || !fits_aten_shape(sizes)) {
        throw std::invalid_argument("id tensor sizes do not match the id buffer");
    }
    return at::for_blob(const_cast<std::int64_t*>(ids.data()), sizes)
        .options(at::TensorOptions().dtype(c10::ScalarType::Long).device(c10::kCPU))
        .make_tensor();
}

}  // namespace quelbin::detail
