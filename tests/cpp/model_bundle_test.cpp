// The model bundle reader, model index resolution and tensor views.
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"

#include <ATen/core/Tensor.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace quelbin {
namespace {

namespace fs = std::filesystem;
using c10::ScalarType;

fs::path fixture(const std::string& name) { return testing::fixture_path("model_bundle", name); }

// Each case is opened (or resolved) through a relative path, made absolute.
TEST(ModelBundleCases, EachCaseOpensOrFailsWithItsMessage) {
    const detail::JsonValue cases = detail::load_json(fixture("cases.json"));
    ASSERT_GT(cases.as_array("").size(), 50u);
    for (const detail::JsonValue& row : cases.as_array("")) {
        const std::string& name = row.at("name", "").as_string("");
        const fs::path relative = fs::relative(fixture(name));
        std::string got;
        try {
            if (const detail::JsonValue* request = row.find("request")) {
                const auto& r = request->as_array("");
                got = resolve_model_bundle(relative, r[0].as_string(""), r[1].as_string(""),
                                           r[2].as_string(""), r[3].as_string(""))
                          .string();
            } else {
                const ModelBundle bundle(relative, row.at("verify", "").as_bool(""));
                got = std::to_string(bundle.tensors().size()) + " tensors" +
                      (bundle.checksums_verified() ? ", verified" : "");
            }
        } catch (const ModelBundleError& error) {
            got = error.what();
        }
        std::string expected = row.at("expected", "").as_string("");
        const std::size_t at = expected.find("{dir}");
        if (at != std::string::npos) expected.replace(at, 5, fs::absolute(relative).string());
        EXPECT_EQ(got, expected) << name;
    }
}

// Every viewable dtype is read in place, but for a tensor off its element
// alignment, which comes back as an aligned copy.
TEST(TensorViews, ViewsReadTheMappedBytes) {
    const ModelBundle bundle(fixture("views"), false);
    const std::tuple<const char*, ScalarType, std::vector<std::int64_t>> rows[] = {
        {"matrix", ScalarType::Float, {3, 4}}, {"scalar", ScalarType::Double, {}},
        {"ids", ScalarType::Long, {1, 3}}, {"half", ScalarType::Half, {2}},
        {"bytes", ScalarType::Byte, {3}}, {"small", ScalarType::Char, {2}},
        {"shorts", ScalarType::Short, {2}}, {"ints", ScalarType::Int, {2}},
        {"mask", ScalarType::Bool, {3}}, {"brain", ScalarType::BFloat16, {2}},
        {"zero_rows", ScalarType::Float, {0, 4}}, {"odd", ScalarType::Float, {2, 3}},
    };
    for (const auto& [name, type, sizes] : rows) {
        const at::Tensor view = detail::view_bundle_tensor<CharLMModelError>(bundle, name);
        EXPECT_EQ(view.scalar_type(), type) << name;
        EXPECT_EQ(view.sizes().vec(), sizes) << name;
        if (view.numel() == 0) continue;
        const void* mapped = bundle.tensor_data(name);
        EXPECT_EQ(view.data_ptr() == mapped, std::string(name) != "odd") << name;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(view.data_ptr()) % view.element_size(), 0u);
        EXPECT_EQ(std::memcmp(view.data_ptr(), mapped, view.nbytes()), 0) << name;
    }
    const auto ints = detail::view_bundle_tensor<CharLMModelError>(bundle, "in", "ts");
    EXPECT_EQ(ints.data_ptr<std::int32_t>()[1], 70000);
    const ModelBundle verified(fixture("verified"), false);
    EXPECT_EQ(detail::view_bundle_tensors<CharLMModelError>(verified).size(), 3u);
}

// Views fail in the loader's error class; a missing name is the bundle's own error.
TEST(TensorViews, UnviewableTensorsFailInTheLoadersClass) {
    const ModelBundle bundle(fixture("views"), false);
    const std::string unviewable = "ATen view does not support bundle ";
    // (prefix, name or "" for every tensor, expected); viewing every tensor stops
    // at the first unviewable one, even if unused.
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"", "words", unviewable + "dtype: uint32"},
        {"", "pairs", unviewable + "dtype: complex128"},
        {"", "vast", unviewable + "tensor shape: 'vast'"},
        {"char.", "missing", "tensor is not present in bundle: 'char.missing'"},
        {"", "", unviewable + "dtype: uint32"},
    };
    for (const auto& [prefix, name, expected] : cases) {
        std::string got = "<no error>";
        try {
            if (*name) detail::view_bundle_tensor<CharLMModelError>(bundle, prefix, name);
            if (!*name) detail::view_bundle_tensors<CharLMModelError>(bundle);
        } catch (const CharLMModelError& error) {
            got = error.what();
        } catch (const ModelBundleError& error) {
            got = std::string("bundle: ") + error.what();
        }
        EXPECT_EQ(got, (*prefix ? "bundle: " : "") + expected) << name;
    }
}

bool is_mapped(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    const std::string name = " " + fs::canonical(file).string();
    for (std::string line; std::getline(maps, line);) {
        const std::size_t size = name.size();
        if (line.size() >= size && line.compare(line.size() - size, size, name) == 0) return true;
    }
    return false;
}

// The mapping lives as long as the bundle, its views or a tensor aliasing them,
// and a failed open leaves nothing mapped.
TEST(TensorViews, TheMappingGoesWithItsLastHolder) {
    auto bundle = std::make_unique<ModelBundle>(fixture("views"), false);
    at::Tensor view = detail::view_bundle_tensor<POSModelError>(*bundle, "matrix");
    at::Tensor alias = view.select(0, 2);
    bundle.reset();
    view.reset();
    EXPECT_TRUE(is_mapped(fixture("views") / "tensors.bin"));
    EXPECT_EQ(alias.data_ptr<float>()[3], 5.5f);
    alias.reset();
    EXPECT_FALSE(is_mapped(fixture("views") / "tensors.bin"));
    EXPECT_THROW(ModelBundle(fixture("duplicate_name"), false), ModelBundleError);
    EXPECT_FALSE(is_mapped(fixture("duplicate_name") / "tensors.bin"));
}

// A moved bundle keeps the mapping; the one it is assigned over lets its own go.
TEST(TensorViews, MovedBundlesKeepTheirMapping) {
    ModelBundle views(fixture("views"), false);
    ModelBundle moved(std::move(views));
    ModelBundle assigned(fixture("verified"), false);
    ASSERT_TRUE(is_mapped(fixture("verified") / "tensors.bin"));
    assigned = std::move(moved);
    EXPECT_FALSE(is_mapped(fixture("verified") / "tensors.bin"));
    EXPECT_EQ(assigned.path(), fs::absolute(fixture("views")));
    const std::vector<std::string> names = assigned.tensor_names();
    EXPECT_EQ(names.size(), 15u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "matrix"), 1);
    EXPECT_EQ(detail::view_bundle_tensor<POSModelError>(assigned, "matrix").select(0, 2)
                  .data_ptr<float>()[3], 5.5f);
}

TEST(TensorViewsDeathTest, TheMappingIsReadOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const ModelBundle bundle(fixture("views"), false);
    const at::Tensor view = detail::view_bundle_tensor<POSModelError>(bundle, "matrix");
    EXPECT_DEATH(static_cast<volatile float*>(view.data_ptr<float>())[0] = 2.0f, "");
}

// An id tensor wraps the caller's buffer, which its sizes must cover exactly.
TEST(IdTensors, WrapTheBufferTheSizesCover) {
    const std::vector<std::int64_t> ids{4, 5, 6, 7, 8, 9}, none;
    const at::Tensor batch = detail::make_id_tensor(ids, {2, 3});
    EXPECT_EQ(batch.scalar_type(), ScalarType::Long);
    EXPECT_EQ(batch.data_ptr<std::int64_t>(), ids.data());
    EXPECT_EQ(batch.sizes().vec(), (std::vector<std::int64_t>{2, 3}));
    constexpr std::int64_t kHuge = std::int64_t{1} << 62;
    const std::tuple<const std::vector<std::int64_t>*, std::vector<std::int64_t>, bool> cases[] = {
        {&ids, {6}, true}, {&none, {0, 5}, true}, {&ids, {5}, false}, {&ids, {7}, false},
        {&ids, {-2, -3}, false}, {&ids, {0}, false}, {&ids, {kHuge, 4, 2}, false},
        {&none, {kHuge, 4, 0}, false},
    };
    for (const auto& [buffer, sizes, fits] : cases) {
        bool made = true;
        try {
            detail::make_id_tensor(*buffer, sizes);
        } catch (const std::invalid_argument&) {
            made = false;
        }
        EXPECT_EQ(made, fits) << ::testing::PrintToString(sizes);
    }
}

}  // namespace
}  // namespace quelbin
