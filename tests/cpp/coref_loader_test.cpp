// Loading coref bundles: the order in which the loader checks a bundle.
#include <gtest/gtest.h>

#include <quelbin/coref_plan.hpp>
#include <quelbin/errors.hpp>

#include "fixtures.hpp"

namespace quelbin {
namespace {

// "<kind>: <message>" of loading the bundle, or "loads".
std::string load_outcome(const std::string& group, const std::string& name) {
    try {
        CorefPlan plan(testing::fixture_path(group, name), false);
        return "loads";
    } catch (const CorefModelError& error) {
        return std::string("coref: ") + error.what();
    } catch (const detail::JsonError& error) {
        return std::string("json: ") + error.what();
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
}

// Each refused bundle has two faults; the load reports the one it checks first.
TEST(CorefLoader, RefusalsInCheckOrder) {
    const std::pair<const char*, std::string> rows[] = {
        {"processor_before_json", "coref: expected a coref bundle, got 'ner'"},
        {"integers_before_dims", "json: expected JSON integer at assets.config.rough_k"},
        {"booleans_before_dims", "json: expected JSON boolean at assets.config.singletons"},
        {"dims_before_dtype", "coref: coref config dimensions are invalid"},
        {"dtype_before_width", "coref: ATen view does not support coref bundle dtype: uint8"},
        {"width_before_ids", "coref: coref transformer hidden size disagrees with config"},
        {"ids_before_overrides", "json: expected JSON integer at assets.transformer.tokenizer.eos_id"},
        {"negative_before_tensors", "coref: coref tokenizer ids must not be negative"},
        {"presence_before_dims", "coref: missing coref tensor: 'sp.emb.weight'"},
        {"dims_before_predictors", "coref: coref tensor dimensions disagree"},
        {"no_hidden_layers", "loads"},
    };
    for (const auto& [name, expected] : rows) EXPECT_EQ(load_outcome("coref/refusals", name), expected) << name;
}

}  // namespace
}  // namespace quelbin
