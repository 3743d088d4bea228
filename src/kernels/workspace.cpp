#include "kernels/workspace.hpp"

#include <ATen/ops/empty.h>
#include <c10/util/accumulate.h>

namespace quelbin::detail {

at::Tensor Workspace::take(at::IntArrayRef sizes) {
    const std::int64_t n = c10::multiply_integers(sizes);
    // The smallest free buffer that holds n floats; failing that, the largest
    // free one is replaced by one that does, so buffers grow to the requests
    // they serve and number no more than the tensors ever alive at once.
    at::Tensor* fit = nullptr;
    at::Tensor* largest = nullptr;
    for (at::Tensor& buffer : buffers_) {
        // Only views of a buffer are handed out, each holding its storage.
        if (buffer.storage().use_count() != 1) continue;
        if (buffer.numel() >= n) {
            if (fit == nullptr || buffer.numel() < fit->numel()) fit = &buffer;
        } else if (largest == nullptr || buffer.numel() > largest->numel()) {
            largest = &buffer;
        }
    }
    if (fit == nullptr) {
        if (largest != nullptr) {
            *largest = at::Tensor();  // released before its successor is mapped
            fit = largest;
        } else {
            fit = &buffers_.emplace_back();
        }
        *fit = at::empty({n}, at::TensorOptions().dtype(at::kFloat));
    }
    return fit->narrow(0, 0, n).view(sizes);
}

at::Tensor take_or_empty(Workspace* workspace, at::IntArrayRef sizes) {
    return workspace != nullptr ? workspace->take(sizes) : at::empty(sizes, at::TensorOptions().dtype(at::kFloat));
}

}  // namespace quelbin::detail
