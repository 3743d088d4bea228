// The sequence-to-sequence plan against the eager PyTorch reference on random
// bundles: every decoder step's log-probabilities, greedy and beam outputs, and
// batched greedy decoding against the reference and against one-at-a-time decoding.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <ATen/ops/full.h>
#include <c10/core/InferenceMode.h>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/seq2seq.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace {

using detail::JsonValue;

// Decisions closer than this are near-ties that float rounding may flip.
constexpr double kNearTie = 1e-4;
constexpr double kStepTolerance = 1e-5;

std::optional<std::string> optional_string(const JsonValue& value) {
    if (value.is_null()) return std::nullopt;
    return value.as_string("tag");
}

struct Case {
    std::string bundle;
    std::vector<std::string> words;
    std::vector<std::optional<std::string>> tags;
    bool suppress_unk = false;
    int64_t beam_width = 2;
    const JsonValue* json = nullptr;
};

class Seq2SeqReference : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cases_json_ = new JsonValue(
            detail::load_json(testing::fixture_path("seq2seq", "random.json")));
    }
    static void TearDownTestSuite() {
        delete cases_json_;
        cases_json_ = nullptr;
    }

    static std::vector<Case> cases() {
        std::vector<Case> out;
        for (const JsonValue& c : cases_json_->as_array("cases")) {
            Case item;
            item.bundle = c.at("bundle", "case").as_string("bundle");
            for (const JsonValue& w : c.at("words", "case").as_array("words")) {
                item.words.push_back(w.as_string("word"));
            }
            for (const JsonValue& t : c.at("tags", "case").as_array("tags")) {
                item.tags.push_back(optional_string(t));
            }
            item.suppress_unk = c.at("suppress_unk", "case").as_bool("suppress_unk");
            item.beam_width = c.at("beam_width", "case").as_integer("beam_width");
            item.json = &c;
            out.push_back(std::move(item));
        }
        return out;
    }

    static std::filesystem::path bundle_path(const Case& c) {
        return testing::fixture_path("seq2seq", c.bundle);
    }

    static const JsonValue& result(const Case& c, const char* kind, std::size_t i) {
        return c.json->at(kind, "case").as_array(kind)[i];
    }

    static std::optional<int64_t> edit_of(const JsonValue& r) {
        const JsonValue& e = r.at("edit", "result");
        if (e.is_null()) return std::nullopt;
        return e.as_integer("edit");
    }

    static inline JsonValue* cases_json_ = nullptr;
};

TEST_F(Seq2SeqReference, DecoderStepsMatchTheReference) {
    std::size_t rows = 0;
    for (const Case& c : cases()) {
        const Seq2SeqPlan::Impl impl(bundle_path(c), false);
        c10::InferenceMode guard;
        for (std::size_t i = 0; i < c.words.size(); ++i) {
            SCOPED_TRACE(c.bundle + " word " + std::to_string(i) + " '" + c.words[i] + "'");
            const JsonValue& ref = result(c, "greedy", i);
            const detail::Seq2SeqSource source = detail::encode_seq2seq_word(impl.char_vocab, c.words[i]);
            const auto n = static_cast<int64_t>(source.ids.size());
            const at::Tensor src = detail::make_id_tensor(source.ids, {1, n});
            const detail::Seq2SeqEncoded encoded = detail::encode_seq2seq_source(impl, source.ids, c.tags[i]);
            int64_t extended = impl.vocab_size;
            for (const int64_t id : source.ids) {
                if (impl.copy) extended = std::max(extended, id + 1);
            }
            // Teacher-forced along the reference's own choices.
            const auto& tokens = ref.at("tokens", "r").as_array("tokens");
            const auto& steps = ref.at("steps", "r").as_array("steps");
            std::tuple<at::Tensor, at::Tensor> state{encoded.h, encoded.c};
            for (std::size_t s = 0; s < steps.size(); ++s) {
                const int64_t previous =
                    s == 0 ? detail::kSeq2SeqSos : tokens[s - 1].as_integer("token");
                at::Tensor input = at::full({1}, previous, src.options());
                auto [lp, h, c2] = detail::decode_seq2seq_step(impl, input, state, encoded.memory, src,
                                                               extended, c.suppress_unk, nullptr, nullptr);
                state = {h, c2};
                const auto& expected = steps[s].as_array("row");
                ASSERT_EQ(lp.size(1), static_cast<int64_t>(expected.size()));
                const at::Tensor row = lp[0].to(at::kDouble).contiguous();
                const double* got = row.const_data_ptr<double>();
                for (std::size_t j = 0; j < expected.size(); ++j) {
                    const double want = expected[j].as_number("value");
                    if (want <= -1e299) {  // minus infinity, as the fixture writes it
                        EXPECT_TRUE(std::isinf(got[j]) && got[j] < 0) << "column " << j;
                    } else if (want < -1e11) {  // a masked column
                        EXPECT_LT(got[j], -1e11) << "column " << j;
                        EXPECT_FALSE(std::isinf(got[j])) << "column " << j;
                    } else {
                        EXPECT_NEAR(got[j], want, kStepTolerance) << "step " << s << " column " << j;
                    }
                }
                ++rows;
            }
        }
    }
    EXPECT_GT(rows, 1000u);
}

TEST_F(Seq2SeqReference, GreedyAndBeamOutputsMatchTheReference) {
    std::size_t compared = 0, skipped = 0;
    for (const Case& c : cases()) {
        const Seq2SeqPlan plan(bundle_path(c), false);
        const Seq2SeqPlan::Impl impl(bundle_path(c), false);
        for (std::size_t i = 0; i < c.words.size(); ++i) {
            SCOPED_TRACE(c.bundle + " word " + std::to_string(i) + " '" + c.words[i] + "'");
            const JsonValue& greedy = result(c, "greedy", i);
            const Seq2SeqPrediction g = plan.predict(c.words[i], c.tags[i], 1, c.suppress_unk);
            EXPECT_EQ(g.edit, edit_of(greedy));
            if (greedy.at("margin", "r").as_number("margin") < kNearTie) {
                ++skipped;
            } else {
                EXPECT_EQ(g.text, greedy.at("text", "r").as_string("text"));
                ++compared;
            }

            const JsonValue& beam = result(c, "beam", i);
            const Seq2SeqPrediction b = plan.predict(c.words[i], c.tags[i], c.beam_width, c.suppress_unk);
            EXPECT_EQ(b.edit, edit_of(greedy));
            if (beam.at("margin", "r").as_number("margin") < kNearTie) {
                ++skipped;
                continue;
            }
            ++compared;
            EXPECT_EQ(b.text, beam.at("text", "r").as_string("text"));
            c10::InferenceMode guard;
            const detail::Seq2SeqSource source = detail::encode_seq2seq_word(impl.char_vocab, c.words[i]);
            const auto n = static_cast<int64_t>(source.ids.size());
            int64_t extended = impl.vocab_size;
            for (const int64_t id : source.ids) {
                if (impl.copy) extended = std::max(extended, id + 1);
            }
            const detail::Seq2SeqHypothesis best = detail::beam_search_seq2seq(
                impl, detail::encode_seq2seq_source(impl, source.ids, c.tags[i]),
                detail::make_id_tensor(source.ids, {1, n}), extended, c.suppress_unk, c.beam_width);
            const double score = beam.at("score", "r").as_number("score");
            if (std::isfinite(score)) {
                EXPECT_NEAR(best.score, score, kStepTolerance * (1 + impl.max_dec_len));
            }
            std::vector<int64_t> want;
            for (const JsonValue& t : beam.at("tokens", "r").as_array("tokens")) {
                want.push_back(t.as_integer("token"));
            }
            EXPECT_EQ(best.tokens, want);
        }
    }
    // Near-ties are rare; a test that skips most cases checks nothing.
    EXPECT_GT(compared, 20 * skipped);
}

TEST_F(Seq2SeqReference, BatchedGreedyMatchesReferenceAndSingleWords) {
    std::size_t compared = 0, skipped = 0;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.bundle);
        const Seq2SeqPlan plan(bundle_path(c), false);
        const std::vector<Seq2SeqPrediction> many =
            plan.predict_many(c.words, c.tags, 1, c.suppress_unk);
        ASSERT_EQ(many.size(), c.words.size());
        for (std::size_t i = 0; i < c.words.size(); ++i) {
            SCOPED_TRACE("word " + std::to_string(i) + " '" + c.words[i] + "'");
            const JsonValue& ref = result(c, "many", i);
            EXPECT_EQ(many[i].edit, edit_of(ref));
            const double margin = std::min(ref.at("margin", "r").as_number("margin"),
                                           result(c, "greedy", i).at("margin", "r").as_number("margin"));
            if (margin < kNearTie) {
                ++skipped;
                continue;
            }
            ++compared;
            EXPECT_EQ(many[i].text, ref.at("text", "r").as_string("text"));
            EXPECT_EQ(many[i].text, plan.predict(c.words[i], c.tags[i], 1, c.suppress_unk).text);
        }
        // Without an explicit width the configured one decides; beam search then
        // runs word by word and equals single predictions exactly.
        const std::vector<Seq2SeqPrediction> configured =
            plan.predict_many(c.words, c.tags, std::nullopt, c.suppress_unk);
        ASSERT_EQ(configured.size(), c.words.size());
        if (plan.configured_beam_size() > 1) {
            for (std::size_t i = 0; i < c.words.size(); ++i) {
                const Seq2SeqPrediction one =
                    plan.predict(c.words[i], c.tags[i], std::nullopt, c.suppress_unk);
                EXPECT_EQ(configured[i].text, one.text);
                EXPECT_EQ(configured[i].edit, one.edit);
            }
        }
    }
    EXPECT_GT(compared, 20 * skipped);
}

}  // namespace
}  // namespace quelbin
