// Model bundle reader, model index resolution and tensor views, over the
// bundles that tests/fixtures/model_bundle.py writes.
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"

#include <ATen/core/Tensor.h>
#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace quelbin {
namespace {

namespace fs = std::filesystem;

fs::path fixture(const std::string& name) { return testing::fixture_path("model_bundle", name); }

std::string substitute(std::string text, const std::string& key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
        text.replace(at, key.size(), value);
        at += value.size();
    }
    return text;
}

// What a call threw: the exact class matters (a ModelBundleError, never a
// JsonError leaking through), then the text.
template <class F>
std::string bundle_error_of(F&& call) {
    try {
        call();
    } catch (const ModelBundleError& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception class: ") + error.what();
    }
    return "<no error>";
}

TEST(ModelBundleCases, EveryCaseGivesItsMessageInCheckOrder) {
    const detail::JsonValue cases = detail::load_json(fixture("cases.json"));
    const auto& rows = cases.at("bundles", "").as_array("");
    ASSERT_GT(rows.size(), 80u);
    for (const detail::JsonValue& row : rows) {
        const std::string& name = row.at("name", "").as_string("");
        const bool verify = row.at("verify", "").as_bool("");
        const fs::path directory = fixture("bundles") / name;
        SCOPED_TRACE(name);
        const detail::JsonValue& expected = row.at("expected", "");
        if (expected.is_null()) {
            ModelBundle bundle(directory, verify);
            EXPECT_EQ(bundle.checksums_verified(), verify);
            EXPECT_EQ(bundle.tensors().size(), 3u);
        } else {
            const std::string message =
                substitute(expected.as_string(""), "{dir}", directory.string());
            EXPECT_EQ(bundle_error_of([&] { ModelBundle bundle(directory, verify); }), message);
        }
    }
}

TEST(ModelIndexCases, EveryCaseResolvesOrFailsWithItsMessage) {
    const detail::JsonValue cases = detail::load_json(fixture("cases.json"));
    const auto& rows = cases.at("indexes", "").as_array("");
    ASSERT_GT(rows.size(), 30u);
    for (const detail::JsonValue& row : rows) {
        const std::string& name = row.at("name", "").as_string("");
        const auto& request = row.at("request", "").as_array("");
        const fs::path root = fixture("indexes") / name;
        SCOPED_TRACE(name);
        auto resolve = [&] {
            return resolve_model_bundle(root, request[0].as_string(""), request[1].as_string(""),
                                        request[2].as_string(""), request[3].as_string(""));
        };
        const std::string expected =
            substitute(row.at("expected", "").as_string(""), "{root}", root.string());
        if (row.at("kind", "").as_string("") == "path") {
            EXPECT_EQ(resolve(), root / expected);
        } else {
            EXPECT_EQ(bundle_error_of(resolve), expected);
        }
    }
}

TEST(ModelIndex, RelativeRootIsMadeAbsolute) {
    const fs::path root = fixture("indexes") / "explicit_package";
    const fs::path relative = fs::relative(root);
    ASSERT_TRUE(relative.is_relative());
    const fs::path found = resolve_model_bundle(relative, "1.14.0", "en", "pos", "combined");
    EXPECT_TRUE(found.is_absolute());
    EXPECT_EQ(found, fs::absolute(relative) / "1.14.0" / "en" / "pos/combined");
}

TEST(ModelBundle, AccessorsOfAValidBundle) {
    const fs::path directory = fixture("bundles") / "verified";
    ModelBundle bundle(fs::relative(directory), true);
    EXPECT_EQ(bundle.path(), fs::absolute(fs::relative(directory)));
    EXPECT_TRUE(bundle.path().is_absolute());
    EXPECT_EQ(bundle.language(), "en");
    EXPECT_EQ(bundle.processor(), "lemma");
    EXPECT_EQ(bundle.package(), "default");
    EXPECT_EQ(bundle.varnek_version(), "1.10.0");
    EXPECT_EQ(bundle.resources_version(), "1.14.0");
    EXPECT_TRUE(bundle.checksums_verified());
    EXPECT_EQ(bundle.tensor_file_size(), 129u);
    EXPECT_EQ(bundle.tensor_names(),
              (std::vector<std::string>{"embedding.weight", "lengths", "flag"}));
    std::ifstream assets(directory / "assets.json", std::ios::binary);
    std::stringstream text;
    text << assets.rdbuf();
    EXPECT_EQ(bundle.assets_json(), text.str());

    const TensorDescriptor& lengths = bundle.tensor("lengths");
    EXPECT_EQ(&lengths, &bundle.tensors()[1]);
    EXPECT_EQ(lengths.dtype, "int64");
    EXPECT_EQ(lengths.shape, (std::vector<std::int64_t>{5}));
    EXPECT_EQ(lengths.offset, 64u);
    EXPECT_EQ(lengths.nbytes, 40u);
    EXPECT_EQ(lengths.sha256.size(), 64u);
    const auto* data = static_cast<const std::int64_t*>(bundle.tensor_data("lengths"));
    EXPECT_EQ(std::vector<std::int64_t>(data, data + 5), (std::vector<std::int64_t>{3, 1, 4, 1, 5}));
    const auto* first = static_cast<const char*>(bundle.tensor_data("embedding.weight"));
    EXPECT_EQ(static_cast<const char*>(bundle.tensor_data("flag")) - first, 128);

    EXPECT_EQ(bundle_error_of([&] { bundle.tensor("Lengths"); }),
              "tensor is not present in bundle: 'Lengths'");
    EXPECT_EQ(bundle_error_of([&] { bundle.tensor_data(""); }), "tensor is not present in bundle: ''");
}

TEST(ModelBundle, EmptyTensorFileAndEdgeRanges) {
    ModelBundle empty(fixture("empty"), true);
    EXPECT_EQ(empty.tensor_file_size(), 0u);
    EXPECT_TRUE(empty.tensors().empty());
    EXPECT_TRUE(empty.checksums_verified());

    ModelBundle edges(fixture("edges"), true);
    EXPECT_EQ(edges.tensor_file_size(), 32u);
    const auto* odd = static_cast<const char*>(edges.tensor_data("odd"));
    EXPECT_EQ(static_cast<const char*>(edges.tensor_data("empty")) - odd, 29);
    float value = 0;
    std::memcpy(&value, odd + 4 * 5, sizeof value);
    EXPECT_EQ(value, 1.0f);
}

TEST(ModelBundle, MoveKeepsEverything) {
    ModelBundle source(fixture("bundles") / "verified", false);
    const void* data = source.tensor_data("lengths");
    ModelBundle moved(std::move(source));
    EXPECT_EQ(moved.tensor_data("lengths"), data);
    ModelBundle target(fixture("empty"), false);
    target = std::move(moved);
    EXPECT_EQ(target.tensor_data("lengths"), data);
    EXPECT_EQ(target.processor(), "lemma");
}

struct DtypeRow {
    const char* tensor;
    c10::ScalarType type;
    std::vector<std::int64_t> sizes;
};

TEST(TensorViews, EveryViewableDtypeReadsTheMappedBytesInPlace) {
    ModelBundle bundle(fixture("views"), true);
    const DtypeRow rows[] = {
        {"matrix", c10::ScalarType::Float, {3, 4}},   {"scalar", c10::ScalarType::Double, {}},
        {"ids", c10::ScalarType::Long, {1, 3}},       {"half", c10::ScalarType::Half, {2}},
        {"bytes", c10::ScalarType::Byte, {3}},        {"small", c10::ScalarType::Char, {2}},
        {"shorts", c10::ScalarType::Short, {2}},      {"ints", c10::ScalarType::Int, {2}},
        {"mask", c10::ScalarType::Bool, {3}},         {"brain", c10::ScalarType::BFloat16, {2}},
        {"zero_rows", c10::ScalarType::Float, {0, 4}},
    };
    for (const DtypeRow& row : rows) {
        SCOPED_TRACE(row.tensor);
        const at::Tensor view = detail::view_bundle_tensor<CharLMModelError>(bundle, row.tensor);
        EXPECT_EQ(view.scalar_type(), row.type);
        EXPECT_EQ(view.sizes().vec(), row.sizes);
        EXPECT_TRUE(view.is_contiguous());
        EXPECT_FALSE(view.requires_grad());
        EXPECT_TRUE(view.device().is_cpu());
        if (view.numel() > 0) EXPECT_EQ(view.data_ptr(), bundle.tensor_data(row.tensor));
    }
    const at::Tensor matrix = detail::view_bundle_tensor<CharLMModelError>(bundle, "matrix");
    const float* m = matrix.data_ptr<float>();
    EXPECT_EQ(m[1 * 4 + 0], 2.0f);  // element [1, 0] is the float at byte 16 of the tensor
    EXPECT_EQ(m[2 * 4 + 3], 5.5f);
    EXPECT_EQ(matrix.stride(0), 4);
    EXPECT_EQ(detail::view_bundle_tensor<CharLMModelError>(bundle, "scalar").dim(), 0);
    EXPECT_EQ(*detail::view_bundle_tensor<CharLMModelError>(bundle, "scalar").data_ptr<double>(), -2.25);
    EXPECT_EQ(detail::view_bundle_tensor<CharLMModelError>(bundle, "ids").data_ptr<std::int64_t>()[1], -2);
    EXPECT_EQ(float(detail::view_bundle_tensor<CharLMModelError>(bundle, "half").data_ptr<c10::Half>()[1]),
              -1.0f);
    const at::Tensor brain = detail::view_bundle_tensor<CharLMModelError>(bundle, "brain");
    EXPECT_EQ(float(brain.data_ptr<c10::BFloat16>()[0]), 1.0f);
    EXPECT_EQ(float(brain.data_ptr<c10::BFloat16>()[1]), -2.0f);
    EXPECT_EQ(detail::view_bundle_tensor<CharLMModelError>(bundle, "ints").data_ptr<std::int32_t>()[0], -70000);
    EXPECT_EQ(detail::view_bundle_tensor<CharLMModelError>(bundle, "mask").data_ptr<bool>()[1], false);
    // The prefixed form joins prefix and key.
    EXPECT_EQ(detail::view_bundle_tensor<CharLMModelError>(bundle, "ma", "trix").data_ptr(),
              matrix.data_ptr());
}

TEST(TensorViews, UnviewableDtypesAndMissingNames) {
    ModelBundle bundle(fixture("views"), false);
    EXPECT_FALSE(detail::bundle_scalar_type("uint16").has_value());
    EXPECT_FALSE(detail::bundle_scalar_type("Float32").has_value());
    EXPECT_EQ(detail::bundle_scalar_type("bfloat16"), c10::ScalarType::BFloat16);
    try {
        detail::view_bundle_tensor<CharLMModelError>(bundle, "words");
        ADD_FAILURE() << "uint32 was viewed";
    } catch (const CharLMModelError& error) {
        EXPECT_STREQ(error.what(), "ATen view does not support bundle dtype: uint32");
    }
    try {
        detail::view_bundle_tensor<DepparseModelError>(bundle, "pairs");
        ADD_FAILURE() << "complex128 was viewed";
    } catch (const DepparseModelError& error) {
        EXPECT_STREQ(error.what(), "ATen view does not support bundle dtype: complex128");
    }
    try {
        detail::view_bundle_tensor<CharLMModelError>(bundle, "vast");
        ADD_FAILURE() << "a shape beyond int64 strides was viewed";
    } catch (const CharLMModelError& error) {
        EXPECT_STREQ(error.what(), "ATen view does not support bundle tensor shape: 'vast'");
    }
    // A missing name is the bundle's own error, not the loader's.
    try {
        detail::view_bundle_tensor<CharLMModelError>(bundle, "charmodel.", "missing");
        ADD_FAILURE() << "missing tensor was viewed";
    } catch (const CharLMModelError&) {
        ADD_FAILURE() << "missing name reported in the loader's class";
    } catch (const ModelBundleError& error) {
        EXPECT_STREQ(error.what(), "tensor is not present in bundle: 'charmodel.missing'");
    }
    // Viewing all tensors stops at the first unviewable one, even if unused.
    try {
        detail::view_bundle_tensors<Seq2SeqModelError>(bundle);
        ADD_FAILURE() << "bundle with uint32 was fully viewed";
    } catch (const Seq2SeqModelError& error) {
        EXPECT_STREQ(error.what(), "ATen view does not support bundle dtype: uint32");
    }
    ModelBundle verified(fixture("bundles") / "verified", false);
    const auto views = detail::view_bundle_tensors<Seq2SeqModelError>(verified);
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(views.at("lengths").data_ptr(), verified.tensor_data("lengths"));
}

#ifdef __linux__
bool is_mapped(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string name = file.string();
    while (std::getline(maps, line)) {
        if (line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) {
            return true;
        }
    }
    return false;
}

TEST(TensorViews, ViewsShareTheMappingWhichGoesWithTheLastHolder) {
    const fs::path file = fs::absolute(fixture("edges") / "tensors.bin");
    ASSERT_FALSE(is_mapped(file));
    auto bundle = std::make_shared<ModelBundle>(fixture("edges"), false);
    EXPECT_TRUE(is_mapped(file));
    at::Tensor view = detail::view_bundle_tensor<POSModelError>(*bundle, "odd");
    at::Tensor alias = view.select(0, 1);  // aliases the weights, as some operators do
    bundle.reset();
    EXPECT_TRUE(is_mapped(file));
    EXPECT_EQ(view.data_ptr<float>()[5], 1.0f);
    view.reset();
    EXPECT_TRUE(is_mapped(file));
    EXPECT_EQ(alias.data_ptr<float>()[0], 1.0f);
    alias.reset();
    EXPECT_FALSE(is_mapped(file));

    // Without views, the bundle's destruction unmaps at once; a failed open
    // leaves nothing mapped.
    { ModelBundle again(fixture("edges"), true); EXPECT_TRUE(is_mapped(file)); }
    EXPECT_FALSE(is_mapped(file));
    const fs::path broken = fs::absolute(fixture("bundles") / "duplicate_name" / "tensors.bin");
    EXPECT_THROW(ModelBundle(fixture("bundles") / "duplicate_name", false), ModelBundleError);
    EXPECT_FALSE(is_mapped(broken));
}
#endif

TEST(TensorViewsDeathTest, TheMappingIsReadOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ModelBundle bundle(fixture("edges"), false);
            at::Tensor view = detail::view_bundle_tensor<POSModelError>(bundle, "odd");
            static_cast<volatile float*>(view.data_ptr<float>())[0] = 2.0f;
        },
        "");
}

TEST(IdTensors, WrapTheCallersBufferWithoutCopy) {
    std::vector<std::int64_t> ids{4, 5, 6, 7, 8, 9};
    const at::Tensor batch = detail::make_id_tensor(ids, {2, 3});
    EXPECT_EQ(batch.scalar_type(), c10::ScalarType::Long);
    EXPECT_EQ(batch.sizes().vec(), (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(batch.data_ptr<std::int64_t>(), ids.data());
    EXPECT_EQ(batch.data_ptr<std::int64_t>()[4], 8);
    EXPECT_EQ(detail::make_id_tensor(ids, {6}).dim(), 1);

    std::vector<std::int64_t> none;
    EXPECT_EQ(detail::make_id_tensor(none, {0, 5}).numel(), 0);
    const std::vector<std::vector<std::int64_t>> wrong = {
        {5}, {7}, {2, 2}, {-2, -3}, {0}, {std::int64_t{1} << 62, 4, 2}};
    EXPECT_THROW(detail::make_id_tensor(none, {std::int64_t{1} << 62, 4, 0}), std::invalid_argument);
    for (const auto& sizes : wrong) {
        EXPECT_THROW(detail::make_id_tensor(ids, sizes), std::invalid_argument);
    }
}

}  // namespace
}  // namespace quelbin
