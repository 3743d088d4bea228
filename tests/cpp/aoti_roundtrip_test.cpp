// A package compiled ahead of time in Python runs from C++ and gives the
// outputs that eager PyTorch gave.
#include <gtest/gtest.h>

#include <ATen/ops/from_blob.h>
#include <ATen/ops/allclose.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "fixtures.hpp"

namespace {

at::Tensor load(const std::string& name, std::vector<int64_t> shape, std::vector<float>& storage) {
    storage = quelbin::testing::read_f32(quelbin::testing::fixture_path("aoti_tiny", name));
    return at::from_blob(storage.data(), shape, at::kFloat);
}

TEST(AOTInductor, CompiledPackageMatchesEagerOutputs) {
    std::vector<float> xs, masks, e0, e1;
    at::Tensor x = load("x.f32", {3, 4, 8}, xs);
    at::Tensor mask = load("mask.f32", {3, 4}, masks);
    at::Tensor expected0 = load("out0.f32", {3, 4, 5}, e0);
    at::Tensor expected1 = load("out1.f32", {3, 4, 5}, e1);

    torch::inductor::AOTIModelPackageLoader loader(
        quelbin::testing::fixture_path("aoti_tiny", "tiny.pt2").string());
    std::vector<at::Tensor> outputs = loader.run({x, mask});
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].sizes(), expected0.sizes());
    EXPECT_TRUE(at::allclose(outputs[0], expected0, 1e-5, 1e-5));
    EXPECT_TRUE(at::allclose(outputs[1], expected1, 1e-5, 1e-5));
    // Rows masked out in the input stay zero after the compiled layer norm.
    EXPECT_EQ(outputs[0][0][3].abs().sum().item<float>(), 0.0f);
}

}  // namespace
