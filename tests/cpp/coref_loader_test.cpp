// Loading coref bundles: every refusal in check order, and what loads.
#include <gtest/gtest.h>

#include <c10/util/Exception.h>

#include <quelbin/coref_plan.hpp>
#include <quelbin/model_bundle.hpp>
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
    } catch (const c10::Error&) {
        return "library";
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
}

TEST(CorefLoader, RefusalsInCheckOrder) {
    const std::string invalid = "coref: coref config dimensions are invalid";
    const std::string disagree = "coref: coref tensor dimensions disagree";
    const std::string negative = "coref: coref tokenizer ids must not be negative";
    const std::string predictor = "coref: coref span or zero predictor has an unsupported shape or dtype";
    const std::pair<const char*, std::string> rows[] = {
        {"processor", "coref: expected a coref bundle, got 'ner'"},
        {"processor_before_json", "coref: expected a coref bundle, got 'ner'"},
        {"malformed", "json: expected object key at JSON byte 1"},
        {"no_hidden_size", "json: missing JSON key 'hidden_size' at assets.config"},
        {"float_hidden_size", "json: expected JSON integer at assets.config.hidden_size"},
        {"null_rough_k", "json: expected JSON integer at assets.config.rough_k"},
        {"text_singletons", "json: expected JSON boolean at assets.config.singletons"},
        {"window_4", invalid},
        {"window_5", "loads"},
        {"negative_layers", invalid},
        {"zero_batch", invalid},
        {"dims_before_dtype", invalid},
        {"int32_extra", "coref: ATen view does not support coref bundle dtype: int32"},
        {"bool_extra", "coref: ATen view does not support coref bundle dtype: bool"},
        {"float16_extra", "loads"},
        {"dtype_before_width", "coref: ATen view does not support coref bundle dtype: uint8"},
        {"transformer_width", "coref: coref transformer hidden size disagrees with config"},
        {"no_cls_id", "json: missing JSON key 'cls_id' at assets.transformer.tokenizer"},
        {"text_eos_id", "json: expected JSON integer at assets.transformer.tokenizer.eos_id"},
        {"no_runtime_contract", "json: missing JSON key 'runtime_contract' at assets"},
        {"override_not_array", "json: expected JSON array at assets.runtime_contract.tokenizer_map_ids.word"},
        {"override_float", "json: expected JSON integer"},
        {"frame_ids_negative", negative},
        {"sep_falls_back", "loads"},
        {"override_negative", negative},
        {"ids_before_tensors", negative},
        {"no_sp_emb", "coref: missing coref tensor: 'sp.emb.weight'"},
        {"no_zeros_predictor", "coref: missing coref tensor: 'zeros_predictor.0.weight'"},
        {"no_second_hidden", "coref: missing coref tensor: 'a_scorer.hidden.3.weight'"},
        {"no_hidden_layers", "loads"},
        {"no_start_map", "coref: missing coref tensor: 'a_scorer.start_map.weight'"},
        {"no_speaker_emb", "coref: missing coref tensor: 'pw.speaker_emb.weight'"},
        {"distance_rows", disagree},
        {"rough_3d", disagree},
        {"attn_width", disagree},
        {"attn_1d", "library"},
        {"dims_before_predictors", disagree},
        {"conv_width", predictor},
        {"conv_outputs", predictor},
        {"zero_outputs", predictor},
        {"span_float64", predictor},
        {"zero_bfloat16", predictor},
    };
    for (const auto& [name, expected] : rows) EXPECT_EQ(load_outcome("coref/refusals", name), expected) << name;
}

TEST(CorefLoader, FlagsReadFalseWhenAbsentOrNull) {
    const CorefPlan absent(testing::fixture_path("coref/refusals", "flags_absent"), true);
    EXPECT_FALSE(absent.predicts_singletons());
    EXPECT_TRUE(absent.bundle().checksums_verified());
    EXPECT_FALSE(CorefPlan(testing::fixture_path("coref/refusals", "null_zeros_flag"), false).predicts_zero_anaphora());
    CorefPlan zeros(testing::fixture_path("coref", "zeros"), false);
    EXPECT_TRUE(zeros.predicts_singletons());
    EXPECT_TRUE(zeros.predicts_zero_anaphora());
    CorefPlan moved(std::move(zeros));
    EXPECT_TRUE(moved.predicts_zero_anaphora());
}

}  // namespace
}  // namespace quelbin
