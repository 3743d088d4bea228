// Loading tokenizer bundles: every refusal in the loader's order of checks, and
// the state of loaded plans.
#include "tokenize/tokenizer_impl.hpp"

#include "fixtures.hpp"

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/tokenizer.hpp>

#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <string>

namespace quelbin {
namespace {

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("tokenizer_bundles", name); }

TEST(TokenizeLoader, RefusesEachFaultWithItsMessage) {
    const struct {
        const char* bundle;
        const char* message;
    } cases[] = {
        {"wrong_processor", "expected a tokenize bundle, got 'mwt'"},
        {"processor_before_assets", "expected a tokenize bundle, got 'pos'"},
        {"assets_syntax", "unexpected end of JSON at JSON byte 11"},
        {"no_config", "missing JSON key 'config' at assets"},
        {"no_vocab", "missing JSON key 'vocab' at assets"},
        {"config_not_object", "expected JSON object at assets.config"},
        {"no_emb_dim", "missing JSON key 'emb_dim' at assets.config"},
        {"emb_dim_string", "expected JSON integer"},
        {"hidden_dim_float", "expected JSON integer"},
        {"no_lang", "missing JSON key 'lang' at assets.config"},
        {"invtemp_string", "expected JSON number"},
        {"use_mwt_null", "expected JSON boolean"},
        {"batch_size_zero", "tokenizer batch size must be positive"},
        {"batch_size_negative", "tokenizer batch size must be positive"},
        {"batch_size_null", "expected JSON integer at assets.config.batch_size"},
        {"charlm", "character-LM tokenizers are not supported by this profile"},
        {"conv_res_zero", "convolutional residual tokenizers are not supported"},
        {"conv_res_false", "convolutional residual tokenizers are not supported"},
        {"two_layers", "this tokenizer profile requires a one-layer hierarchical model"},
        {"not_hierarchical", "this tokenizer profile requires a one-layer hierarchical model"},
        {"use_dictionary_null", "expected JSON boolean"},
        {"dictionary_window_zero", "dictionary tokenizer feature window must be positive"},
        {"dictionary_window_missing", "missing JSON key 'num_dict_feat' at assets.config"},
        {"lexicon_missing", "missing JSON key 'lexicon' at assets"},
        {"lexicon_not_array", "expected JSON array at assets.lexicon"},
        {"lexicon_entry_number", "expected JSON string at assets.lexicon[]"},
        {"lexicon_invalid_utf8", "invalid UTF-8 sequence at byte offset 1"},
        {"feat_funcs_missing", "missing JSON key 'feat_funcs' at assets.config"},
        {"feat_funcs_not_array", "expected JSON array at assets.config.feat_funcs"},
        {"feat_funcs_entry_number", "expected JSON string at assets.config.feat_funcs[]"},
        {"unknown_feature", "unsupported tokenizer feature: bogus"},
        {"unit2id_missing", "missing JSON key '_unit2id' at assets.vocab"},
        {"unit2id_not_object", "expected JSON object at assets.vocab._unit2id"},
        {"unit2id_value_string", "expected JSON integer at assets.vocab._unit2id"},
        {"vocab_no_unk", "tokenizer vocabulary lacks <PAD> or <UNK>"},
        {"vocab_no_pad", "tokenizer vocabulary lacks <PAD> or <UNK>"},
        {"int64_tensor", "the native tokenizer currently requires float32 weights"},
        {"float16_tensor", "the native tokenizer currently requires float32 weights"},
        {"dtype_before_missing", "the native tokenizer currently requires float32 weights"},
        {"missing_embeddings", "tokenizer bundle lacks required tensor: 'embeddings.weight'"},
        {"missing_mwt_bias", "tokenizer bundle lacks required tensor: 'mwt_clf.bias'"},
        {"missing_rnn2_reverse", "tokenizer bundle lacks required tensor: 'rnn2.bias_hh_l0_reverse'"},
        {"missing_sent_clf2", "tokenizer bundle lacks required tensor: 'sent_clf2.weight'"},
    };
    for (const auto& c : cases) {
        try {
            TokenizerPlan plan(bundle(c.bundle), false);
            ADD_FAILURE() << c.bundle << " loaded";
        } catch (const TokenizerModelError& error) {
            EXPECT_STREQ(error.what(), c.message) << c.bundle;
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.bundle << " threw another error: " << error.what();
        }
    }
}

TEST(TokenizeLoader, BundleErrorsPassThroughUnchanged) {
    try {
        TokenizerPlan plan(bundle("does_not_exist"), false);
        ADD_FAILURE() << "loaded";
    } catch (const TokenizerModelError&) {
        ADD_FAILURE() << "a bundle error became a tokenizer error";
    } catch (const ModelBundleError& error) {
        EXPECT_NE(std::string(error.what()).find("model bundle is not a directory: "), std::string::npos);
    }
}

TEST(TokenizeLoader, LoadsEveryAcceptedVariant) {
    for (const char* name : {"ok_default", "ok_mwt", "ok_no_mwt_tensors", "ok_batch_size", "ok_nulls",
                             "ok_dictionary", "ok_no_lexicon_key", "ok_duplicate_features", "ok_empty_features",
                             "ok_extra_float_tensor", "ok_integer_invtemp", "ties", "no_sentence_end"}) {
        EXPECT_NO_THROW(TokenizerPlan(bundle(name), true)) << name;
    }
}

TEST(TokenizeLoader, StateOfLoadedPlans) {
    const TokenizerPlan::Impl plain(bundle("ok_default"), false);
    EXPECT_EQ(plain.bundle->processor(), "tokenize");
    EXPECT_EQ(plain.batch_size, 32);
    EXPECT_EQ(plain.pad_id, 0);
    EXPECT_EQ(plain.unk_id, 1);
    EXPECT_EQ(plain.emb_dim, 8);
    EXPECT_EQ(plain.hidden_dim, 8);
    EXPECT_EQ(plain.feat_dim, 5);
    EXPECT_EQ(plain.rnn_layers, 1);
    EXPECT_TRUE(plain.hierarchical);
    EXPECT_FALSE(plain.use_mwt);
    EXPECT_FALSE(plain.use_dictionary);
    EXPECT_FALSE(plain.skip_newline);
    EXPECT_DOUBLE_EQ(plain.hier_invtemp, 0.5);
    EXPECT_EQ(plain.shorthand, "en_test");
    EXPECT_EQ(plain.lang, "en");
    EXPECT_EQ(plain.num_dict_feat, 0);
    EXPECT_TRUE(plain.lexicon_words.empty());
    EXPECT_EQ(plain.tensors.size(), 23u);
    ASSERT_EQ(plain.rnn_weights.size(), 8u);
    ASSERT_EQ(plain.rnn2_weights.size(), 8u);
    EXPECT_TRUE(plain.rnn_weights[0].is_same(plain.tokenizer_weight("rnn.weight_ih_l0")));
    EXPECT_TRUE(plain.rnn_weights[7].is_same(plain.tokenizer_weight("rnn.bias_hh_l0_reverse")));
    EXPECT_TRUE(plain.rnn2_weights[4].is_same(plain.tokenizer_weight("rnn2.weight_ih_l0_reverse")));
    EXPECT_EQ(plain.rnn_weights[0].sizes().vec(), (std::vector<std::int64_t>{32, 13}));
    ASSERT_EQ(plain.initial_state.size(), 2u);
    EXPECT_EQ(plain.initial_state[1].sizes().vec(), (std::vector<std::int64_t>{2, 1, 8}));
    EXPECT_EQ(plain.initial_state[0].abs().sum().item<float>(), 0.0f);
    try {
        plain.tokenizer_weight("mwt_clf.weight");
        ADD_FAILURE() << "found a weight the bundle lacks";
    } catch (const TokenizerModelError& error) {
        EXPECT_STREQ(error.what(), "missing tokenizer weight: 'mwt_clf.weight'");
    }

    EXPECT_EQ(TokenizerPlan::Impl(bundle("ok_mwt"), false).tensors.size(), 26u);
    EXPECT_EQ(TokenizerPlan::Impl(bundle("ok_batch_size"), false).batch_size, 5);
    EXPECT_DOUBLE_EQ(TokenizerPlan::Impl(bundle("ok_integer_invtemp"), false).hier_invtemp, 1.0);
    EXPECT_EQ(TokenizerPlan::Impl(bundle("ok_extra_float_tensor"), false).tensors.count("unused.weight"), 1u);
    EXPECT_EQ(TokenizerPlan::Impl(bundle("ok_duplicate_features"), false).feat_funcs,
              (std::vector<std::string>{"numeric", "currency", "labeled_field", "numeric", "end_of_para",
                                        "end_of_para"}));
    EXPECT_TRUE(TokenizerPlan::Impl(bundle("ok_empty_features"), false).feat_funcs.empty());

    const TokenizerPlan::Impl dictionary(bundle("ok_dictionary"), false);
    EXPECT_TRUE(dictionary.use_dictionary);
    EXPECT_EQ(dictionary.num_dict_feat, 2);
    using Set = std::unordered_set<std::string>;
    EXPECT_EQ(dictionary.lexicon_words, (Set{"abc", "xy", "Ab", "na\xC3\xAFve"}));
    EXPECT_EQ(dictionary.lexicon_prefixes,
              (Set{"a", "ab", "x", "A", "n", "na", "na\xC3\xAF", "na\xC3\xAFv"}));
    EXPECT_EQ(dictionary.lexicon_suffixes, (Set{"c", "bc", "y", "b", "e", "ve", "\xC3\xAFve", "a\xC3\xAFve"}));
}

// Weights the loader takes but the network cannot use fail when they are
// used, with an exception and no out-of-bounds read.
TEST(TokenizeLoader, WeightsThatDoNotFitFailAtInference) {
    const TokenizerPlan::Impl short_table(bundle("short_embeddings"), false);
    EXPECT_TRUE(short_table.head_weight1.defined());
    const TokenizerPlan short_embeddings(bundle("short_embeddings"), false);
    EXPECT_EQ(short_embeddings.predict_labels("abc").size(), 3u);  // ids 2 to 4 have rows
    EXPECT_THROW(short_embeddings.predict_labels("abz"), c10::Error);
    EXPECT_THROW(short_embeddings.process(Document("ab\n\nxyz")), c10::Error);

    EXPECT_FALSE(TokenizerPlan::Impl(bundle("wide_token_head"), false).head_weight1.defined());
    const TokenizerPlan wide_head(bundle("wide_token_head"), false);
    EXPECT_THROW(wide_head.predict_labels("abc"), c10::Error);
}

TEST(TokenizeLoader, MovingAPlan) {
    TokenizerPlan first(bundle("ok_default"), false);
    const ModelBundle* shared = &first.bundle();
    TokenizerPlan second(std::move(first));
    EXPECT_EQ(&second.bundle(), shared);
    EXPECT_EQ(second.predict_labels("Hi there.").size(), 9u);
    first = std::move(second);  // assigning to a moved-from plan is allowed
    EXPECT_EQ(&first.bundle(), shared);
    TokenizerPlan third(bundle("ok_mwt"), false);
    third = std::move(first);  // the previous implementation of third is released
    EXPECT_EQ(&third.bundle(), shared);
}

}  // namespace
}  // namespace quelbin
