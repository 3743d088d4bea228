// A package compiled ahead of time in Python runs from C++ and gives the
// outputs eager PyTorch gave.
#include <gtest/gtest.h>

#include <ATen/ops/allclose.h>
#include <ATen/ops/from_blob.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "fixtures.hpp"

namespace {

TEST(AOTInductor, CompiledPackageMatchesEagerOutputs) {
    std::vector<float> storage[4];
    auto load = [&](int i, const char* name, std::vector<int64_t> shape) {
        storage[i] = quelbin::testing::read_f32(quelbin::testing::fixture_path("aoti_tiny", name));
        return at::from_blob(storage[i].data(), shape, at::kFloat);
    };
    torch::inductor::AOTIModelPackageLoader loader(
        quelbin::testing::fixture_path("aoti_tiny", "tiny.pt2").string());
    const std::vector<at::Tensor> outputs =
        loader.run({load(0, "x.f32", {3, 4, 8}), load(1, "mask.f32", {3, 4})});
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_TRUE(at::allclose(outputs[0], load(2, "out0.f32", {3, 4, 5}), 1e-5, 1e-5));
    EXPECT_TRUE(at::allclose(outputs[1], load(3, "out1.f32", {3, 4, 5}), 1e-5, 1e-5));
    // A row masked out in the input stays zero after the compiled layer norm.
    EXPECT_EQ(outputs[0][0][3].abs().sum().item<float>(), 0.0f);
}

}  // namespace
