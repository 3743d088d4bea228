// The sequence-to-sequence plan on hand-made models with known outputs: word
// encoding, text forming, copying, <UNK> suppression, loader checks and the
// failures of prediction.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "quelbin/seq2seq.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace {

using Tags = std::vector<std::optional<std::string>>;
const std::optional<std::string> kNoTag;

std::filesystem::path fixed(const std::string& name) {
    return testing::fixture_path("seq2seq", "fixed/" + name);
}

std::filesystem::path bad(const std::string& name) {
    return testing::fixture_path("seq2seq", "bad/" + name);
}

template <class Error, class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error>";
}

detail::Seq2SeqVocab abc_vocab() {
    detail::Seq2SeqVocab vocab;
    vocab.id2unit = {"<PAD>", "<UNK>", "<SOS>", "<EOS>", "a", "b", "c"};
    for (std::size_t i = 0; i < vocab.id2unit.size(); ++i) {
        vocab.unit2id[vocab.id2unit[i]] = static_cast<int64_t>(i);
    }
    return vocab;
}

TEST(Seq2SeqEncoding, WordsBecomeIdsWithDenseUnknownIds) {
    struct Row {
        std::string word;
        std::vector<int64_t> ids;
        std::vector<std::string> oov;
    };
    const std::vector<Row> rows = {
        {"", {2, 3}, {}},
        {"abc", {2, 4, 5, 6, 3}, {}},
        {"xyx", {2, 7, 8, 7, 3}, {"x", "y"}},
        {"\xC3\xA9" "a\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9", {2, 7, 4, 8, 9, 7, 3},
         {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}},
        // Reserved units are characters like any other when spelled out.
        {"<", {2, 7, 3}, {"<"}},
    };
    const detail::Seq2SeqVocab vocab = abc_vocab();
    for (const Row& row : rows) {
        const detail::Seq2SeqSource source = detail::encode_seq2seq_word(vocab, row.word);
        EXPECT_EQ(source.ids, row.ids) << row.word;
        EXPECT_EQ(source.oov_units, row.oov) << row.word;
    }
    EXPECT_EQ(error_of<std::invalid_argument>([&] { detail::encode_seq2seq_word(vocab, "ab\xC0\x80"); }),
              "invalid UTF-8 sequence at byte offset 2");
}

TEST(Seq2SeqEncoding, TextKeepsSpecialsAndMapsUnknownIds) {
    const detail::Seq2SeqVocab vocab = abc_vocab();
    EXPECT_EQ(detail::form_seq2seq_text({0, 1, 2, 4, 7, 8, 100, -1, 6}, vocab.id2unit, {"x"}),
              "<PAD><UNK><SOS>ax<UNK><UNK><UNK>c");
    EXPECT_EQ(detail::form_seq2seq_text({}, vocab.id2unit, {}), "");
}

// Models with all-zero weights: the output distribution is softmax(dec2vocab.bias)
// at every step and attention is uniform over the encoder positions.
TEST(Seq2SeqFixedModels, OutputsFollowTheBiasAndTheCopyGate) {
    struct Row {
        std::string bundle;
        std::string word;
        std::optional<std::string> tag;
        int64_t beam;
        bool suppress_unk;
        std::string text;
    };
    const std::vector<Row> rows = {
        {"unk_first", "ab", kNoTag, 1, false, "<UNK><UNK><UNK><UNK>"},
        {"unk_first", "ab", kNoTag, 1, true, "aaaa"},
        {"unk_first", "ab", kNoTag, 3, true, "aaaa"},
        {"unk_first", "", kNoTag, 2, false, "<UNK><UNK><UNK><UNK>"},
        {"eos_second", "abc", kNoTag, 1, true, ""},
        {"eos_second", "abc", kNoTag, 4, true, ""},
        {"eos_second", "abc", kNoTag, 1, false, "<UNK><UNK><UNK><UNK>"},
        {"specials", "a", kNoTag, 1, false, "<SOS><SOS><SOS><SOS>"},
        // The most frequent source id wins; unknown characters come back as themselves.
        {"copy", "xyx", kNoTag, 1, false, "xxx"},
        {"copy", "xyx", kNoTag, 2, true, "xxx"},
        {"copy", "abb", kNoTag, 1, false, "bbb"},
        {"copy", "\xF0\x9F\x98\x80q\xF0\x9F\x98\x80", kNoTag, 1, false,
         "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        // <SOS> and <EOS> hold one position each and pool like characters.
        {"copy", "", kNoTag, 1, false, "<SOS><SOS><SOS>"},
        // The POS position is attended to but never copied.
        {"copy_pos", "xyx", std::string("NOUN"), 1, false, "xxx"},
        {"copy_pos", "cc", std::string("unknown tag"), 3, false, "ccc"},
        // Without copying, unknown columns inherit <UNK>'s generation score and
        // stay choosable when <UNK> is suppressed.
        {"copy_closed", "yx", kNoTag, 1, false, "<UNK><UNK>"},
        {"copy_closed", "yx", kNoTag, 1, true, "yy"},
        {"copy_closed", "ab", kNoTag, 1, true, "bb"},
        {"flat_vocab", "a", kNoTag, 1, false, "bbbb"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bundle + " '" + row.word + "' beam " + std::to_string(row.beam));
        const Seq2SeqPlan plan(fixed(row.bundle), false);
        EXPECT_EQ(plan.predict(row.word, row.tag, row.beam, row.suppress_unk).text, row.text);
        const auto many = plan.predict_many({row.word}, {row.tag}, row.beam, row.suppress_unk);
        ASSERT_EQ(many.size(), 1u);
        EXPECT_EQ(many[0].text, row.text);
    }
}

TEST(Seq2SeqFixedModels, BatchesMaskPaddingAndKeepEachWordsUnknownIds) {
    const Seq2SeqPlan plan(fixed("copy"), false);
    // Sorted longest first into one batch: padded positions get no attention, and
    // each word's unknown ids map to its own characters.
    const std::vector<std::string> words = {"bb", "xyx", "yy", "", "abcaa", "q"};
    const std::vector<std::string> want = {"bbb", "xxx", "yyy", "<SOS><SOS><SOS>", "aaa", "<SOS><SOS><SOS>"};
    const auto many = plan.predict_many(words, Tags(words.size()), std::nullopt, false);
    ASSERT_EQ(many.size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(many[i].text, want[i]) << words[i];
        EXPECT_FALSE(many[i].edit.has_value());
    }
}

TEST(Seq2SeqFixedModels, EditClassIsEngagedForEveryWordWhenTheModelHasOne) {
    const Seq2SeqPlan with_edit(fixed("unk_first"), false);
    const Seq2SeqPlan without(fixed("eos_second"), false);
    for (const int64_t beam : {1, 2}) {
        // Classes 1 and 2 tie: the lowest index wins.
        EXPECT_EQ(with_edit.predict("abc", kNoTag, beam, false).edit, std::optional<int64_t>(1));
        EXPECT_EQ(without.predict("abc", kNoTag, beam, true).edit, std::nullopt);
        for (const auto& p : with_edit.predict_many({"", "a", "abc"}, Tags(3), beam, true)) {
            EXPECT_EQ(p.edit, std::optional<int64_t>(1));
        }
    }
}

TEST(Seq2SeqFixedModels, DefaultsAndAccessors) {
    Seq2SeqPlan plan(fixed("defaults"), false);
    EXPECT_EQ(plan.configured_beam_size(), 1);
    EXPECT_FALSE(plan.uses_pos());
    EXPECT_EQ(plan.bundle().processor(), "lemma");
    const Seq2SeqPlan::Impl impl(fixed("defaults"), false);
    EXPECT_EQ(impl.batch_size, 50);
    EXPECT_EQ(impl.beam_size, 1);
    EXPECT_EQ(impl.encoder_weights.size(), 8u);
    ASSERT_EQ(impl.encoder_initial_state.size(), 2u);
    EXPECT_EQ(impl.encoder_initial_state[0].sizes(), (std::vector<int64_t>{2, 1, 2}));
    EXPECT_TRUE(Seq2SeqPlan(fixed("copy_pos"), true).uses_pos());

    // A moved-from handle gives its model away whole.
    Seq2SeqPlan moved(std::move(plan));
    EXPECT_EQ(moved.predict("a", kNoTag, 1, false).text, "aaaa");
    Seq2SeqPlan other(fixed("specials"), false);
    other = std::move(moved);
    EXPECT_EQ(other.predict("a", kNoTag, 1, false).text, "aaaa");
}

TEST(Seq2SeqPrediction, FailuresComeInTheirOrder) {
    const Seq2SeqPlan pos_plan(fixed("copy_pos"), false);
    const Seq2SeqPlan plan(fixed("copy"), false);
    struct Row {
        std::string name;
        std::function<void()> call;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"no tag", [&] { pos_plan.predict("a", kNoTag, 1, false); },
         "this seq2seq bundle requires a POS tag"},
        {"no tag before beam", [&] { pos_plan.predict("a", kNoTag, 0, false); },
         "this seq2seq bundle requires a POS tag"},
        {"beam zero", [&] { plan.predict("a", kNoTag, 0, false); }, "beam size must be positive"},
        {"beam negative", [&] { plan.predict("a", kNoTag, -3, false); }, "beam size must be positive"},
        {"batch without tag", [&] { pos_plan.predict_many({"a", "b"}, {std::string("X"), kNoTag}, 1, false); },
         "this seq2seq bundle requires a POS tag"},
        {"beam search without tag", [&] { pos_plan.predict_many({"a"}, Tags(1), 2, false); },
         "this seq2seq bundle requires a POS tag"},
        {"lengths before beam", [&] { plan.predict_many({"a"}, Tags(2), 0, false); },
         "seq2seq text and POS batches must have equal lengths"},
        {"empty with beam zero", [&] { plan.predict_many({}, {}, 0, false); },
         "beam size must be positive"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(error_of<Seq2SeqModelError>(row.call), row.message) << row.name;
    }
    EXPECT_EQ(error_of<std::invalid_argument>([&] { plan.predict_many({"a", "\xFF"}, Tags(2), 1, false); }),
              "invalid UTF-8 sequence at byte offset 0");
    EXPECT_TRUE(plan.predict_many({}, {}, std::nullopt, false).empty());
    // Tags are ignored by models without POS, present or not.
    EXPECT_EQ(plan.predict("xyx", std::string("NOUN"), 1, false).text, "xxx");
}

TEST(Seq2SeqLoader, MalformedBundlesAreRefusedWithTheFirstFault) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"processor_pos", "expected a lemma or MWT bundle, got 'pos'"},
        {"processor_caps", "expected a lemma or MWT bundle, got 'MWT'"},
        {"assets_not_json", "unexpected end of JSON at JSON byte 11"},
        {"no_config", "missing JSON key 'config' at assets"},
        {"no_vocab", "missing JSON key 'vocab' at assets"},
        {"flat_vocab_order", "assets.vocab must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
        {"char_vocab_order", "assets.vocab.char must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
        {"char_vocab_short", "assets.vocab.char must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
        {"char_vocab_number", "expected JSON string at assets.vocab.char._id2unit[]"},
        {"char_vocab_no_unit2id", "missing JSON key '_unit2id' at assets.vocab.char"},
        {"char_vocab_bad_id", "expected JSON integer at assets.vocab.char._unit2id"},
        {"char_vocab_id_outside",
         "assets.vocab.char._unit2id maps 'b' to an id outside assets.vocab.char._id2unit"},
        {"pos_vocab_order", "assets.vocab.pos must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
        {"no_attn_type", "missing JSON key 'attn_type' at assets.config"},
        {"attn_general", "native seq2seq inference currently supports soft attention"},
        {"attn_number", "expected JSON string at assets.config.attn_type"},
        {"charlm", "contextual character-LM seq2seq bundles are unsupported"},
        {"hidden_odd", "invalid seq2seq dimensions in assets.config"},
        {"vocab_size_off", "invalid seq2seq dimensions in assets.config"},
        {"no_layers", "invalid seq2seq dimensions in assets.config"},
        {"beam_zero", "invalid seq2seq dimensions in assets.config"},
        {"batch_zero", "invalid seq2seq dimensions in assets.config"},
        {"max_len_zero", "invalid seq2seq dimensions in assets.config"},
        {"copy_string", "expected JSON boolean at assets.config.copy"},
        {"vocab_size_string", "expected JSON integer at assets.config.vocab_size"},
        {"pos_dim_zero", "the seq2seq config enables POS without a POS vocabulary"},
        {"pos_without_vocab", "the seq2seq config enables POS without a POS vocabulary"},
        {"missing_reverse_bias", "missing seq2seq tensor: 'encoder.bias_hh_l1_reverse'"},
        {"missing_copy_gate", "missing seq2seq tensor: 'copy_gate.bias'"},
        {"missing_edit", "missing seq2seq tensor: 'edit_clf.2.bias'"},
        {"missing_pos_embedding", "missing seq2seq tensor: 'pos_embedding.weight'"},
        {"missing_dec2vocab", "missing seq2seq tensor: 'embedding.weight'"},
        {"unviewable_dtype", "ATen view does not support bundle dtype: uint32"},
    };
    for (const auto& [name, message] : rows) {
        EXPECT_EQ(error_of<Seq2SeqModelError>([&] { Seq2SeqPlan(bad(name), false); }), message) << name;
    }
    EXPECT_NO_THROW(Seq2SeqPlan(bad("flags_off"), true));
}

TEST(Seq2SeqLoader, InconsistentShapesFailAtPredictionWithoutCrashing) {
    for (const char* name : {"shape_dec2vocab", "shape_embedding", "shape_copy_gate", "dtype_int_weights"}) {
        SCOPED_TRACE(name);
        const Seq2SeqPlan plan(bad(name), false);
        const std::optional<std::string> tag("NOUN");
        EXPECT_THROW(plan.predict("abc", tag, 1, false), std::exception);
        EXPECT_THROW(plan.predict("abc", tag, 3, false), std::exception);
        EXPECT_THROW(plan.predict_many({"abc", "a"}, {tag, tag}, 1, false), std::exception);
    }
}

TEST(Seq2SeqLoader, BundleErrorsPassUnchanged) {
    const std::filesystem::path missing = bad("no such bundle");
    try {
        Seq2SeqPlan plan(missing, false);
        FAIL() << "loaded a missing bundle";
    } catch (const Seq2SeqModelError&) {
        FAIL() << "a bundle error became a seq2seq error";
    } catch (const ModelBundleError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "model bundle is not a directory: " + std::filesystem::absolute(missing).string());
    }
}

}  // namespace
}  // namespace quelbin
