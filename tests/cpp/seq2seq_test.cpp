// The sequence-to-sequence plan against the eager PyTorch reference on random bundles
// (every decoder step, greedy, beam and batched texts), and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <ATen/ops/full.h>
#include <c10/core/InferenceMode.h>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace {

using detail::JsonValue;
using Tags = std::vector<std::optional<std::string>>;

// Decisions closer than this are near-ties that float rounding may flip.
constexpr double kNearTie = 1e-4;

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("seq2seq", name); }

const JsonValue& cases() {
    static const JsonValue root = detail::load_json(bundle("random.json"));
    return root;
}

double margin(const JsonValue& result) { return result.at("margin", "").as_number(""); }
std::string text(const JsonValue& result) { return result.at("text", "").as_string(""); }

std::optional<int64_t> edit(const JsonValue& result) {
    const JsonValue& e = result.at("edit", "");
    return e.is_null() ? std::nullopt : std::optional<int64_t>(e.as_integer(""));
}

// Teacher-forced along the reference's own choices, every step's log-probabilities
// agree within 1e-5; masked columns stay finite and below -1e11.
void expect_steps(const Seq2SeqPlan::Impl& impl, const std::string& word,
                  const std::optional<std::string>& tag, bool suppress_unk, const JsonValue& ref) {
    c10::InferenceMode guard;
    const detail::Seq2SeqSource source = detail::encode_seq2seq_word(impl.char_vocab, word);
    const at::Tensor src = detail::make_id_tensor(source.ids, {1, int64_t(source.ids.size())});
    const detail::Seq2SeqEncoded encoded = detail::encode_seq2seq_source(impl, source.ids, tag);
    int64_t extended = impl.vocab_size;
    for (const int64_t id : source.ids) extended = impl.copy ? std::max(extended, id + 1) : extended;
    const auto& tokens = ref.at("tokens", "").as_array("");
    const auto& steps = ref.at("steps", "").as_array("");
    std::tuple<at::Tensor, at::Tensor> state{encoded.h, encoded.c};
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const int64_t previous = s == 0 ? detail::kSeq2SeqSos : tokens[s - 1].as_integer("");
        at::Tensor input = at::full({1}, previous, src.options());
        auto [lp, h, c] = detail::decode_seq2seq_step(impl, input, state, encoded.memory, src,
                                                      extended, suppress_unk, nullptr, nullptr);
        state = {h, c};
        const auto& want = steps[s].as_array("");
        ASSERT_EQ(lp.size(1), int64_t(want.size()));
        const at::Tensor row = lp[0].to(at::kDouble).contiguous();
        for (std::size_t j = 0; j < want.size(); ++j) {
            const double got = row.const_data_ptr<double>()[j], expected = want[j].as_number("");
            if (expected <= -1e299) {
                EXPECT_TRUE(std::isinf(got) && got < 0) << "column " << j;
            } else if (expected < -1e11) {
                EXPECT_TRUE(got < -1e11 && std::isfinite(got)) << "column " << j;
            } else {
                EXPECT_NEAR(got, expected, 1e-5) << "column " << j;
            }
        }
    }
}

TEST(Seq2SeqReference, StepsAndTextsMatchTheReference) {
    std::size_t compared = 0, skipped = 0;
    for (const JsonValue& c : cases().as_array("")) {
        const std::string name = c.at("bundle", "").as_string("");
        const Seq2SeqPlan plan(bundle(name), false);
        const Seq2SeqPlan::Impl impl(bundle(name), false);
        std::vector<std::string> words;
        Tags tags;
        for (const JsonValue& w : c.at("words", "").as_array("")) words.push_back(w.as_string(""));
        for (const JsonValue& t : c.at("tags", "").as_array("")) {
            tags.push_back(t.is_null() ? std::nullopt : std::optional<std::string>(t.as_string("")));
        }
        const bool suppress = c.at("suppress_unk", "").as_bool("");
        const int64_t width = c.at("beam_width", "").as_integer("");
        const bool configured_beam = c.at("configured_beam", "").as_integer("") > 1;
        const auto many = plan.predict_many(words, tags, 1, suppress);
        const auto configured = plan.predict_many(words, tags, std::nullopt, suppress);
        ASSERT_EQ(many.size(), words.size());
        for (std::size_t i = 0; i < words.size(); ++i) {
            SCOPED_TRACE(name + " word " + std::to_string(i) + " '" + words[i] + "'");
            const JsonValue& greedy = c.at("greedy", "").as_array("")[i];
            const JsonValue& beam = c.at("beam", "").as_array("")[i];
            const JsonValue& batched = c.at("many", "").as_array("")[i];
            expect_steps(impl, words[i], tags[i], suppress, greedy);
            const Seq2SeqPrediction one = plan.predict(words[i], tags[i], 1, suppress);
            const Seq2SeqPrediction wide = plan.predict(words[i], tags[i], width, suppress);
            EXPECT_EQ(one.edit, edit(greedy));
            EXPECT_EQ(wide.edit, edit(greedy));
            EXPECT_EQ(many[i].edit, edit(batched));
            EXPECT_EQ(configured[i].edit, edit(greedy));
            // Each text is compared unless its decision is a near-tie.
            for (const auto& [got, ref] : {std::pair{one.text, &greedy}, {wide.text, &beam},
                                           {many[i].text, &batched},
                                           {configured[i].text, configured_beam ? &beam : &batched}}) {
                if (margin(*ref) < kNearTie) {
                    ++skipped;
                } else {
                    EXPECT_EQ(got, text(*ref));
                    ++compared;
                }
            }
        }
    }
    // Near-ties are rare; a test that skips most cases checks nothing.
    EXPECT_GT(compared, 20 * skipped);
}

TEST(Seq2SeqPlanTest, WordEncodingAndTexts) {
    detail::Seq2SeqVocab vocab;
    vocab.id2unit = {"<PAD>", "<UNK>", "<SOS>", "<EOS>", "a", "b"};
    for (std::size_t i = 0; i < vocab.id2unit.size(); ++i) vocab.unit2id[vocab.id2unit[i]] = int64_t(i);
    const detail::Seq2SeqSource source = detail::encode_seq2seq_word(vocab, "x\xC3\xA9" "ax<");
    EXPECT_EQ(source.ids, (std::vector<int64_t>{2, 6, 7, 4, 6, 8, 3}));
    EXPECT_EQ(source.oov_units, (std::vector<std::string>{"x", "\xC3\xA9", "<"}));
    EXPECT_EQ(detail::form_seq2seq_text({0, 1, 4, 6, 8, 9, -1}, vocab.id2unit, source.oov_units),
              "<PAD><UNK>ax<<UNK><UNK>");
}

template <class Error>
std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(Seq2SeqPlanTest, RefusalsComeInTheirOrder) {
    const Seq2SeqPlan shaped(bundle("bad/shape_dec2vocab"), false);  // uses POS tags
    const Seq2SeqPlan plain(bundle("random/0"), false);
    const std::optional<std::string> noun("NOUN");  // a valid tag whether used or not
    ASSERT_TRUE(shaped.uses_pos());
    const std::string missing = bundle("bad/none").string();
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { Seq2SeqPlan(bundle("bad/processor_pos"), false); },
         "expected a lemma or MWT bundle, got 'pos'"},
        {[&] { Seq2SeqPlan(bundle("bad/assets_not_json"), false); },
         "unexpected end of JSON at JSON byte 11"},
        {[&] { shaped.predict("a", std::nullopt, 0, false); }, "this seq2seq bundle requires a POS tag"},
        {[&] { shaped.predict_many({"a"}, Tags(1), 2, false); }, "this seq2seq bundle requires a POS tag"},
        {[&] { plain.predict("a", noun, 0, false); }, "beam size must be positive"},
        {[&] { plain.predict_many({}, {}, 0, false); }, "beam size must be positive"},
        {[&] { plain.predict_many({"a"}, Tags(2), 0, false); },
         "seq2seq text and POS batches must have equal lengths"},
    };
    for (const auto& [call, message] : rows) EXPECT_EQ(error_of<Seq2SeqModelError>(call), message);
    // Errors of the bundle itself pass unchanged.
    EXPECT_EQ(error_of<ModelBundleError>([&] { Seq2SeqPlan(missing, false); }),
              "model bundle is not a directory: " + std::filesystem::absolute(missing).string());
}

TEST(Seq2SeqPlanTest, InconsistentShapesFailAtPredictionWithoutCrashing) {
    for (const char* name : {"shape_dec2vocab", "shape_embedding", "shape_copy_gate", "dtype_int_weights"}) {
        SCOPED_TRACE(name);
        const Seq2SeqPlan plan(bundle(std::string("bad/") + name), false);
        const std::optional<std::string> tag("NOUN");
        EXPECT_THROW(plan.predict("abc", tag, 1, false), std::exception);
        EXPECT_THROW(plan.predict("abc", tag, 3, false), std::exception);
        EXPECT_THROW(plan.predict_many({"abc", "a"}, {tag, tag}, 1, false), std::exception);
    }
}

}  // namespace
}  // namespace quelbin
