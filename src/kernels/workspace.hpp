// Float tensors that one task reuses from batch to batch. A buffer is handed
// out again only once no tensor refers to it any more, so a tensor that
// outlives its batch (a result the caller keeps) is never overwritten. Fresh
// buffers cost a first touch of every page, about a tenth of the time of the
// large products that fill them.
#pragma once

#include <ATen/core/Tensor.h>

#include <vector>

namespace quelbin::detail {

class Workspace {
public:
    // A contiguous float32 tensor of `sizes`, its values unspecified.
    at::Tensor take(at::IntArrayRef sizes);

private:
    std::vector<at::Tensor> buffers_;  // flat
};

// Workspace::take, or a fresh tensor without a workspace.
at::Tensor take_or_empty(Workspace* workspace, at::IntArrayRef sizes);

}  // namespace quelbin::detail
