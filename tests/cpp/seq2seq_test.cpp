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
#include "quelbin/lemmatizer.hpp"
#include "quelbin/model_bundle.hpp"
#include "quelbin/mwt.hpp"
#include "seq2seq/lemma_impl.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace {

using detail::JsonValue;
using Tags = std::vector<std::optional<std::string>>;

std::filesystem::path bundle(const std::string& name) {
    return testing::fixture_path("seq2seq", name);
}

const JsonValue& field(const JsonValue& value, const char* key) { return value.at(key, key); }

std::optional<std::string> tag_of(const JsonValue& t) {
    return t.is_null() ? std::nullopt : std::optional<std::string>(t.as_string(""));
}

std::optional<int64_t> edit_of(const JsonValue& result) {
    const JsonValue& e = field(result, "edit");
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
    for (const int64_t id : source.ids) extended = std::max(extended, impl.copy ? id + 1 : 0);
    const auto& tokens = field(ref, "tokens").as_array("");
    const auto& steps = field(ref, "steps").as_array("");
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
            if (expected <= -1e299) {  // minus infinity
                EXPECT_TRUE(std::isinf(got) && got < 0) << "column " << j;
            } else if (expected < -1e11) {  // masked
                EXPECT_TRUE(got < -1e11 && std::isfinite(got)) << "column " << j;
            } else {
                EXPECT_NEAR(got, expected, 1e-5) << "step " << s << " column " << j;
            }
        }
    }
}

TEST(Seq2SeqReference, StepsAndTextsMatchTheReference) {
    std::size_t compared = 0, skipped = 0;
    const JsonValue cases = detail::load_json(bundle("random.json"));
    for (const JsonValue& c : cases.as_array("")) {
        const std::string name = field(c, "bundle").as_string("");
        const Seq2SeqPlan plan(bundle(name), false);
        const Seq2SeqPlan::Impl impl(bundle(name), false);
        std::vector<std::string> words;
        Tags tags;
        for (const JsonValue& w : field(c, "words").as_array("")) words.push_back(w.as_string(""));
        for (const JsonValue& t : field(c, "tags").as_array("")) tags.push_back(tag_of(t));
        const bool suppress = field(c, "suppress_unk").as_bool("");
        const int64_t width = field(c, "beam_width").as_integer("");
        EXPECT_EQ(plan.configured_beam_size(), field(c, "configured_beam").as_integer("")) << name;
        EXPECT_EQ(plan.bundle().path(), std::filesystem::absolute(bundle(name)));
        const auto many = plan.predict_many(words, tags, 1, suppress);
        const auto configured = plan.predict_many(words, tags, std::nullopt, suppress);
        ASSERT_EQ(many.size(), words.size());
        for (std::size_t i = 0; i < words.size(); ++i) {
            SCOPED_TRACE(name + " word " + std::to_string(i) + " '" + words[i] + "'");
            const JsonValue& greedy = field(c, "greedy").as_array("")[i];
            const JsonValue& beam = field(c, "beam").as_array("")[i];
            const JsonValue& batched = field(c, "many").as_array("")[i];
            expect_steps(impl, words[i], tags[i], suppress, greedy);
            const Seq2SeqPrediction one = plan.predict(words[i], tags[i], 1, suppress);
            const Seq2SeqPrediction wide = plan.predict(words[i], tags[i], width, suppress);
            for (const auto& edit : {one.edit, wide.edit, many[i].edit, configured[i].edit}) {
                EXPECT_EQ(edit, edit_of(greedy));
            }
            // Each text is compared unless its decision is a near-tie. Without a width
            // the configured one decides (the fixture's width when wider than one).
            const bool wide_default = field(c, "configured_beam").as_integer("") > 1;
            for (const auto& [got, ref] :
                 {std::pair{one.text, &greedy}, {wide.text, &beam}, {many[i].text, &batched},
                  {configured[i].text, wide_default ? &beam : &batched}}) {
                const bool near_tie = field(*ref, "margin").as_number("") < 1e-4;
                if (!near_tie) EXPECT_EQ(got, field(*ref, "text").as_string(""));
                ++(near_tie ? skipped : compared);
            }
        }
    }
    // Near-ties are rare; a test that skips most cases checks nothing.
    EXPECT_GT(compared, 20 * skipped);
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
    const Seq2SeqPlan tagged(bundle("bad/shape_dec2vocab"), false);  // fails only once decoding
    const Seq2SeqPlan plain(bundle("random/0"), false);
    const std::optional<std::string> noun("NOUN");  // a valid tag whether used or not
    ASSERT_TRUE(tagged.uses_pos());
    const std::string missing = bundle("bad/none").string();
    const std::string no_tag = "this seq2seq bundle requires a POS tag";
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { Seq2SeqPlan(bundle("bad/processor_pos"), false); },
         "expected a lemma or MWT bundle, got 'pos'"},
        {[&] { Seq2SeqPlan(bundle("bad/assets_not_json"), false); },
         "unexpected end of JSON at JSON byte 11"},
        {[&] { tagged.predict("a", std::nullopt, 0, false); }, no_tag},
        {[&] { tagged.predict_many({"a"}, Tags(1), 2, false); }, no_tag},
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
    for (const char* name :
         {"shape_dec2vocab", "shape_embedding", "shape_copy_gate", "dtype_int_weights"}) {
        SCOPED_TRACE(name);
        const Seq2SeqPlan plan(bundle(std::string("bad/") + name), false);
        const std::optional<std::string> tag("NOUN");
        EXPECT_THROW(plan.predict("abc", tag, 1, false), std::exception);
        EXPECT_THROW(plan.predict("abc", tag, 3, false), std::exception);
        EXPECT_THROW(plan.predict_many({"abc", "a"}, {tag, tag}, 1, false), std::exception);
    }
}

// Ids past the vocabulary name the word's unknown characters in order; others
// (negative, or past both) are "<UNK>", as are the specials' own spellings.
TEST(Seq2SeqPlanTest, TextOfDecodedIds) {
    const std::vector<std::string> units = {"<PAD>", "<UNK>", "<SOS>", "<EOS>", "a", "b", "c"};
    EXPECT_EQ(detail::form_seq2seq_text({0, 1, 2, 4, 7, 8, 100, -1, 6}, units, {"x"}),
              "<PAD><UNK><SOS>ax<UNK><UNK><UNK>c");
    EXPECT_EQ(detail::form_seq2seq_text({}, units, {}), "");
}

TEST(Seq2SeqPlanTest, LemmaBatchesOfWordsAndTagsMustAgree) {
    const LemmaPlan::Impl impl(bundle("lemma_dict"), false);
    EXPECT_EQ(error_of<LemmaModelError>([&] { impl.lemmatize_many({"a", "b"}, Tags(1)); }),
              "lemma word and POS batches must have equal lengths");
    EXPECT_EQ(impl.lemmatize_many({"la", "Il"}, {std::string("DET"), std::nullopt}),
              (std::vector<std::string>{"le", "il"}));
}

// Plans are moved into their owners: what a plan is moved to keeps its model.
TEST(Seq2SeqPlanTest, PlansKeepTheirModelWhenMoved) {
    const std::optional<std::string> noun("NOUN");
    Seq2SeqPlan seq2seq(bundle("random/0"), false);
    const std::string text = seq2seq.predict("abc", noun, 1, false).text;
    Seq2SeqPlan seq2seq_moved(std::move(seq2seq));
    Seq2SeqPlan seq2seq_assigned(bundle("random/1"), false);
    seq2seq_assigned = std::move(seq2seq_moved);
    EXPECT_EQ(seq2seq_assigned.predict("abc", noun, 1, false).text, text);
    EXPECT_EQ(seq2seq_assigned.bundle().path(), std::filesystem::absolute(bundle("random/0")));

    LemmaPlan lemma(bundle("lemma_dict"), false);
    LemmaPlan lemma_moved(std::move(lemma));
    LemmaPlan lemma_assigned(bundle("lemma_dict"), false);
    lemma_assigned = std::move(lemma_moved);
    EXPECT_EQ(lemma_assigned.lemmatize("la", std::string("DET")), "le");

    MWTPlan mwt(bundle("mwt_dict"), false);
    MWTPlan mwt_moved(std::move(mwt));
    MWTPlan mwt_assigned(bundle("mwt_dict"), false);
    mwt_assigned = std::move(mwt_moved);
    EXPECT_EQ(mwt_assigned.expand("du"), "de le");
    EXPECT_EQ(mwt_assigned.bundle().path(), std::filesystem::absolute(bundle("mwt_dict")));
}

}  // namespace
}  // namespace quelbin
