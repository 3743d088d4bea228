// Tensor views: ATen tensors that read a bundle's mapped tensor file in place,
// and tensors over the engine's own id buffers. Nothing is copied.
//
// A bundle view shares ownership of the mapping, so the mapped bytes stay valid
// for as long as the view (or any tensor aliasing it) lives, even past the
// ModelBundle. The mapping is read-only: never write through a view; an
// in-place operation needs a copy first (`view.clone()`). A tensor stored off
// its element alignment (possible with a small tensor_alignment) is the one
// exception to zero-copy: it comes back as an aligned copy.
#pragma once

#include <quelbin/model_bundle.hpp>

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quelbin::detail {

// Scalar type for a bundle dtype name; empty for names without a view
// ("uint16", "uint32", "uint64", "complex64", "complex128" and unknown ones).
std::optional<c10::ScalarType> bundle_scalar_type(std::string_view dtype) noexcept;

// Called with the full message when a tensor's dtype has no view; must throw.
using ViewErrorThrower = void (*)(const std::string& message);

// The view of tensor `name`. A name not in the bundle throws the bundle's own
// ModelBundleError; an unviewable dtype calls `fail` with
// "ATen view does not support bundle dtype: <dtype>".
at::Tensor view_bundle_tensor(const ModelBundle& bundle, std::string_view name,
                              ViewErrorThrower fail);

// Every tensor of the bundle, viewed in manifest order; the first unviewable
// dtype ends the walk through `fail`.
std::unordered_map<std::string, at::Tensor> view_bundle_tensors(const ModelBundle& bundle,
                                                                ViewErrorThrower fail);

template <class Error>
[[noreturn]] void throw_view_error(const std::string& message) {
    throw Error(message);
}

// Convenience forms taking the loader's error class, e.g.
// view_bundle_tensor<CharLMModelError>(bundle, "charmodel_forward.", "decoder.weight").
template <class Error>
at::Tensor view_bundle_tensor(const ModelBundle& bundle, std::string_view name) {
    return view_bundle_tensor(bundle, name, &throw_view_error<Error>);
}

template <class Error>
at::Tensor view_bundle_tensor(const ModelBundle& bundle, std::string_view prefix,
                              std::string_view key) {
    std::string full(prefix);
    full += key;
    return view_bundle_tensor(bundle, full, &throw_view_error<Error>);
}

template <class Error>
std::unordered_map<std::string, at::Tensor> view_bundle_tensors(const ModelBundle& bundle) {
    return view_bundle_tensors(bundle, &throw_view_error<Error>);
}

// An int64 tensor of `sizes` over the caller's buffer, neither copied nor owned:
// the buffer must stay alive and unchanged until every operator reading the
// tensor has returned. Throws std::invalid_argument when the sizes do not
// cover exactly the buffer.
at::Tensor make_id_tensor(const std::vector<std::int64_t>& ids, c10::IntArrayRef sizes);

}  // namespace quelbin::detail
