// The dependency parser's network half: loader refusals in check order, the
// loaded state, input rows, encoder and scorer against the eager reference
// (alone and in padded batches), and the scorer's and batches' edge cases.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/isinf.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include <fstream>
#include <sstream>

#include "document_test_support.hpp"
#include "fixtures.hpp"
#include "quelbin/document_storage.hpp"
#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin {
namespace {

std::filesystem::path variant(const std::string& name) {
    return testing::fixture_path("depparse", name) / "bundle";
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <class Call>
std::string error_of(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

std::vector<std::vector<DepparseWord>> read_sentences(const std::string& name) {
    const detail::JsonValue root =
        detail::parse_json(read_text(testing::fixture_path("depparse", name) / "sentences.json"));
    std::vector<std::vector<DepparseWord>> sentences;
    for (const detail::JsonValue& sentence : root.as_array("")) {
        std::vector<DepparseWord>& words = sentences.emplace_back();
        for (const detail::JsonValue& record : sentence.as_array("")) {
            DepparseWord& word = words.emplace_back();
            word.text = record.at("text", "").as_string("");
            std::optional<std::string>* fields[] = {&word.lemma, &word.upos, &word.xpos, &word.feats};
            const char* keys[] = {"lemma", "upos", "xpos", "feats"};
            for (int k = 0; k < 4; ++k) {
                if (const detail::JsonValue* value = record.find(keys[k])) *fields[k] = value->as_string("");
            }
        }
    }
    return sentences;
}

std::vector<DepparseWord> words_of(const std::vector<std::string>& texts) {
    std::vector<DepparseWord> words;
    for (const std::string& text : texts) words.push_back({text, "cat", "NOUN", "X1", "Case=Nom"});
    return words;
}

// Compares (arc, label) pairs of the sentences with words against the reference's
// values, read in the same order from `file`.
void expect_reference(const std::vector<std::pair<at::Tensor, at::Tensor>>& pairs, const std::string& name,
                      const std::string& file) {
    const std::vector<float> expected =
        testing::read_f32(testing::fixture_path("depparse", name) / file);
    std::size_t offset = 0;
    for (std::size_t s = 0; s < pairs.size(); ++s) {
        for (const at::Tensor& got : {pairs[s].first, pairs[s].second}) {
            const at::Tensor flat = got.reshape({-1});
            ASSERT_LE(offset + flat.numel(), expected.size()) << name << " " << file;
            const at::Tensor want = at::from_blob(const_cast<float*>(expected.data() + offset), {flat.numel()});
            EXPECT_TRUE(at::allclose(flat, want, 1e-5, 1e-5)) << name << " " << file << " sentence " << s;
            offset += static_cast<std::size_t>(flat.numel());
        }
    }
    EXPECT_EQ(offset, expected.size()) << name << " " << file;
}

TEST(DepparseLoader, RefusalsComeInCheckOrder) {
    const detail::JsonValue messages =
        detail::parse_json(read_text(testing::fixture_path("depparse", "refusals.json")));
    const detail::JsonArray& rows = messages.as_array("");
    ASSERT_GT(rows.size(), 60u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string& expected = rows[i].as_string("");
        std::string got;
        bool model_error = true;
        try {
            DepparsePlan plan(testing::fixture_path("depparse", "refusals") / std::to_string(i), true);
        } catch (const DepparseModelError& error) {
            got = error.what();
        } catch (const std::exception& error) {
            got = error.what();
            model_error = false;
        }
        // Kernel refusals end with the kernel's own reason.
        const bool prefix = expected.size() > 2 && expected.compare(expected.size() - 2, 2, ": ") == 0;
        EXPECT_EQ(prefix ? got.substr(0, expected.size()) : got, expected) << "row " << i << ": " << got;
        EXPECT_TRUE(model_error) << "row " << i;
    }
}

TEST(DepparseLoader, LoadedState) {
    const DepparsePlan::Impl plain(variant("plain"), true);
    EXPECT_TRUE(plain.word_lower && plain.xpos_ignore);
    EXPECT_FALSE(plain.lemma_lower || plain.composite_xpos || plain.charlm || plain.linearization);
    EXPECT_EQ(plain.batch_size, 5000);
    EXPECT_EQ(plain.deprel_labels.size(), 15u);
    EXPECT_EQ(plain.deprel_labels[4], "nsubj");
    EXPECT_EQ(plain.ufeats_count, 3u);
    ASSERT_EQ(plain.highway_layers.size(), 2u);
    ASSERT_EQ(plain.char_lstm_weights.size(), 4u);
    const at::Tensor& h = detail::require_depparse_tensor(plain, "parserlstm_h_init");
    EXPECT_TRUE(at::equal(plain.highway_layers[1].lstm_state[0], h.narrow(0, 2, 2)));
    EXPECT_EQ(plain.highway_layers[1].lstm_state[0].data_ptr(), h.narrow(0, 2, 2).data_ptr());  // a view
    EXPECT_EQ(plain.highway_layers[1].lstm_weights[4].data_ptr(),
              detail::require_depparse_tensor(plain, "parserlstm.lstm.1.lstm.weight_ih_l0_reverse").data_ptr());

    const DepparsePlan::Impl composite(variant("composite"), false);
    EXPECT_TRUE(composite.composite_xpos && composite.lemma_lower && composite.linearization);
    EXPECT_EQ(composite.xpos_component_vocabs.size(), 3u);
    EXPECT_EQ(composite.xpos_sep, "+");
    EXPECT_TRUE(composite.xpos_vocab.empty());
    EXPECT_EQ(composite.xpos_component_vocabs[2].at("q"), composite.xpos_component_vocabs[2].size() - 1);

    const DepparsePlan::Impl charlm(variant("charlm"), false);
    EXPECT_TRUE(charlm.char_lstm_weights.empty() && charlm.char_lstm_state.empty() && !charlm.char_model);
    EXPECT_EQ(charlm.batch_size, 40);
    EXPECT_EQ(charlm.highway_layers.size(), 3u);
    EXPECT_TRUE(charlm.forward_charlm->is_forward() && !charlm.backward_charlm->is_forward());

    const DepparsePlan::Impl transformer(variant("transformer"), false);
    EXPECT_TRUE(transformer.use_transformer && transformer.transformer && transformer.distance);
    // Layer 0 takes the transformer's declared width.
    EXPECT_EQ(error_of([] { DepparsePlan(testing::fixture_path("depparse", "transformer") / "wider", false); }),
              "depparse tensor dimensions disagree with bundled configuration or vocabularies");

    // A plan taken over by move assignment keeps its bundle.
    DepparsePlan plan(variant("letters"), false);
    plan = DepparsePlan(variant("plain"), false);
    EXPECT_EQ(plan.bundle().path(), std::filesystem::absolute(variant("plain")));
}

std::vector<std::string> variant_names() {
    std::vector<std::string> names;
    const detail::JsonValue variants =
        detail::parse_json(read_text(testing::fixture_path("depparse", "variants.json")));
    for (const detail::JsonValue& entry : variants.as_array("")) names.push_back(entry.as_string(""));
    return names;
}

// Every variant, each sentence alone and all of them in padded length-sorted
// batches, against the reference's arc and label log-probabilities.
TEST(DepparseNetwork, ScoresMatchTheReference) {
    ASSERT_GE(variant_names().size(), 17u);
    for (const std::string& name : variant_names()) {
        SCOPED_TRACE(name);
        const DepparsePlan::Impl impl(variant(name), false);
        const std::vector<std::vector<DepparseWord>> sentences = read_sentences(name);
        const c10::InferenceMode guard;
        std::vector<std::pair<at::Tensor, at::Tensor>> single;
        for (const auto& words : sentences) {
            if (words.empty()) continue;
            const at::Tensor encoded = detail::encode_sentence(impl, words, nullptr, nullptr);
            ASSERT_EQ(encoded.sizes(), at::IntArrayRef({1, std::int64_t(words.size()) + 1, 2 * impl.hidden_dim}));
            single.push_back(detail::score_sentence(impl, encoded, nullptr));
        }
        expect_reference(single, name, "single.f32");

        std::vector<at::Tensor> forward;
        std::vector<at::Tensor> backward;
        if (impl.charlm) {
            std::vector<std::vector<std::string>> texts;
            for (const auto& words : sentences) {
                std::vector<std::string>& list = texts.emplace_back(1, "\n");
                for (const DepparseWord& word : words) list.push_back(word.text);
            }
            forward = impl.forward_charlm->encode_many(texts);
            backward = impl.backward_charlm->encode_many(texts);
        }
        const std::vector<at::Tensor> encoded = detail::encode_batch(impl, sentences, forward, backward);
        const auto scored = detail::score_batch(impl, encoded, sentences);
        std::vector<std::pair<at::Tensor, at::Tensor>> batched;
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            EXPECT_EQ(scored[s].first.defined(), !sentences[s].empty());
            if (!sentences[s].empty()) batched.push_back(scored[s]);
        }
        expect_reference(batched, name, "batched.f32");
    }
}

// Bulk parsing multiplies each distinct key of an input block once and sums
// the blocks' products: the encodings match those of the input rows.
TEST(DepparseNetwork, FirstLayerByKeysMatchesTheRows) {
    for (const std::string& name : variant_names()) {
        SCOPED_TRACE(name);
        const DepparsePlan::Impl impl(variant(name), false);
        const std::vector<std::vector<DepparseWord>> sentences = read_sentences(name);
        const c10::InferenceMode guard;
        const detail::KeyedInputs inputs = detail::depparse_inputs(impl, sentences, {}, {});
        std::vector<std::size_t> members;
        std::vector<std::int64_t> lengths;
        std::vector<at::Tensor> rows;
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            if (sentences[s].empty()) continue;
            members.push_back(s);
            lengths.push_back(static_cast<std::int64_t>(sentences[s].size()) + 1);
            rows.push_back(detail::keyed_rows(inputs, inputs.first_row[s], lengths.back()));
        }
        ASSERT_GE(members.size(), 2u);
        const at::Tensor by_rows = impl.encoder->forward(at::cat(rows, 0), lengths);
        // Twice over one workspace: the second run reuses the first's buffers.
        detail::Workspace workspace;
        for (int run = 0; run < 2; ++run) {
            const at::Tensor by_keys = impl.encoder->forward_products(
                detail::keyed_first_products(*impl.encoder, inputs, members, lengths, workspace), lengths, workspace);
            EXPECT_TRUE(at::allclose(by_keys, by_rows, 1e-5, 1e-6));
        }
    }
}

// Bulk parsing scores relations only under the heads decoding reads; it
// decodes as the full label scores do.
TEST(DepparseNetwork, ParsesEqualDecodingTheFullScores) {
    std::size_t repaired = 0;
    for (const std::string& name : variant_names()) {
        SCOPED_TRACE(name);
        const DepparsePlan::Impl impl(variant(name), false);
        const std::vector<std::vector<DepparseWord>> sentences = read_sentences(name);
        const c10::InferenceMode guard;
        const auto scored = detail::score_batch(impl, detail::encode_batch(impl, sentences, {}, {}), sentences);
        const auto parses = detail::parse_sentences(impl, sentences, {}, {});
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            if (sentences[s].empty()) {
                EXPECT_TRUE(parses[s].empty());
                continue;
            }
            const auto expected = detail::decode_sentence(impl, sentences[s], scored[s].first, scored[s].second);
            ASSERT_EQ(parses[s].size(), expected.size()) << s;
            for (std::size_t w = 0; w < expected.size(); ++w) {
                EXPECT_EQ(parses[s][w].head, expected[w].head) << s << " " << w;
                EXPECT_EQ(parses[s][w].deprel, expected[w].deprel) << s << " " << w;
            }
            // A repair that moved a head read relations under heads the first
            // tree did not choose.
            const at::Tensor arc = scored[s].first.squeeze(0).contiguous();
            detail::DepparseMatrix scores;
            detail::widen_arcs(detail::depparse_arcs(arc), scores);
            const std::vector<std::int64_t> tree = detail::decode_single_root(scores);
            for (std::size_t w = 0; w < expected.size(); ++w) {
                if (expected[w].head != tree[w + 1]) {
                    ++repaired;
                    break;
                }
            }
        }
    }
    EXPECT_GT(repaired, 0u) << "no sentence needed a head-constraint repair that moved a head";
}

// Bulk scores are the same, bit for bit, at any thread count, and so are the
// parses of the batch-by-batch path bulk processing takes.
TEST(DepparseNetwork, BatchesDoNotDependOnTheThreadCount) {
    const DepparsePlan::Impl impl(variant("small_batches"), false);
    const std::vector<std::vector<DepparseWord>> sentences = read_sentences("small_batches");
    const c10::InferenceMode guard;
    const int threads = at::get_num_threads();
    std::vector<std::vector<std::pair<at::Tensor, at::Tensor>>> runs;
    std::vector<std::vector<std::vector<DepparsePrediction>>> parses;
    for (const int count : {1, 3}) {
        at::set_num_threads(count);
        runs.push_back(detail::score_batch(impl, detail::encode_batch(impl, sentences, {}, {}), sentences));
        parses.push_back(detail::parse_sentences(impl, sentences, {}, {}));
    }
    at::set_num_threads(threads);
    for (std::size_t s = 0; s < sentences.size(); ++s) {
        ASSERT_EQ(parses[0][s].size(), sentences[s].size());
        ASSERT_EQ(parses[1][s].size(), sentences[s].size());
        for (std::size_t w = 0; w < sentences[s].size(); ++w) {
            EXPECT_EQ(parses[0][s][w].head, parses[1][s][w].head) << s << " " << w;
            EXPECT_EQ(parses[0][s][w].deprel, parses[1][s][w].deprel) << s << " " << w;
        }
        if (sentences[s].empty()) continue;
        EXPECT_TRUE(at::equal(runs[0][s].first, runs[1][s].first)) << s;
        EXPECT_TRUE(at::equal(runs[0][s].second, runs[1][s].second)) << s;
    }
}

TEST(DepparseFeatures, FoldsRunsOfMarks) {
    const std::pair<std::string, std::string> rows[] = {
        {"??", "?"}, {"?!", "?"}, {"?!?", "?"}, {"\uFF1F\uFF01", "?"}, {"\uFF1F\uFF1F", "?"}, {"\u2047\uFE16", "?"},
        {"!?", "!"}, {"!!!", "!"}, {"\u203C\u203C", "!"}, {"\uFE57\uFE56", "!"},
        {"\uFF1F", "\uFF1F"}, {"\u203C", "\u203C"}, {"a?", "a?"}, {"?a", "?a"}, {"\u00BF?", "\u00BF?"}, {"", ""},
    };
    for (const auto& [text, folded] : rows) EXPECT_EQ(detail::fold_terminal_punctuation(text), folded) << text;
    EXPECT_THROW(detail::fold_terminal_punctuation("?\xE2\x82"), std::invalid_argument);
}

TEST(DepparseFeatures, RowsAndTheirRefusals) {
    const DepparsePlan::Impl impl(variant("plain"), false);
    const c10::InferenceMode guard;
    // One word: root row then the word; the POS block is there twice; feats are
    // never read.
    std::vector<DepparseWord> one = words_of({"cat"});
    const at::Tensor x = detail::embed_words(impl, one, nullptr, nullptr);
    const std::int64_t D = 2 * impl.transformed_dim + 2 * impl.word_emb_dim + 2 * impl.tag_emb_dim;
    ASSERT_EQ(x.sizes(), at::IntArrayRef({1, 2, D}));
    const std::int64_t pos = impl.transformed_dim + 2 * impl.word_emb_dim;
    EXPECT_TRUE(at::equal(x.narrow(2, pos, impl.tag_emb_dim), x.narrow(2, pos + impl.tag_emb_dim, impl.tag_emb_dim)));
    one[0].feats.reset();
    EXPECT_TRUE(at::equal(x, detail::embed_words(impl, one, nullptr, nullptr)));
    // The root row reads id 3 of every table.
    const at::Tensor& words = detail::require_depparse_tensor(impl, "word_emb.weight");
    EXPECT_TRUE(at::equal(x[0][0].narrow(0, impl.transformed_dim, impl.word_emb_dim), words[3]));
    // Lookups: folded runs of marks, lower-cased words, unknown keys.
    const auto word_columns = [&](const std::string& text) {
        return detail::embed_words(impl, words_of({text}), nullptr, nullptr)[0][1].narrow(0, impl.transformed_dim,
                                                                                          impl.word_emb_dim);
    };
    EXPECT_TRUE(at::equal(word_columns("?\?!"), word_columns("?")));
    EXPECT_TRUE(at::equal(word_columns("THE"), word_columns("the")));
    EXPECT_TRUE(at::equal(word_columns("qqq"), words[1]));
    // A space in the pretrained key is a no-break space, after lower-casing.
    const auto found = impl.pretrain_vocab.find("new\u00A0york");
    ASSERT_NE(found, impl.pretrain_vocab.end());
    const at::Tensor pretrained = at::linear(detail::require_depparse_tensor(impl, "pretrained_emb.weight")[found->second],
                                             detail::require_depparse_tensor(impl, "trans_pretrained.weight"));
    EXPECT_TRUE(at::allclose(detail::embed_words(impl, words_of({"NEW York"}), nullptr, nullptr)[0][1].narrow(
                                 0, 0, impl.transformed_dim),
                             pretrained, 1e-6, 1e-6));

    EXPECT_EQ(error_of([&] { detail::embed_words(impl, words_of({"cat", ""}), nullptr, nullptr); }),
              "depparse cannot encode an empty word");
    EXPECT_EQ(error_of([&] { detail::encode_depparse_characters(impl, {}); }), "depparse cannot encode an empty word");
    EXPECT_EQ(error_of([&] { detail::embed_words(impl, words_of({"cat", "a\xC3"}), nullptr, nullptr); }),
              "invalid UTF-8 sequence at byte offset 1");
    EXPECT_EQ(detail::encode_depparse_word(impl, "cat").sizes(), at::IntArrayRef({impl.char_hidden_dim}));

    // With character LMs an empty word reaches them, and given rows are used as they are.
    const DepparsePlan::Impl charlm(variant("charlm"), false);
    const at::Tensor with_empty = detail::embed_words(charlm, words_of({"", "cat"}), nullptr, nullptr);
    EXPECT_EQ(with_empty.size(1), 3);
    const std::int64_t f = charlm.forward_charlm->hidden_size();
    const std::int64_t b = charlm.backward_charlm->hidden_size();
    const at::Tensor fr = at::zeros({3, f});
    const at::Tensor br = at::ones({3, b});
    const at::Tensor given = detail::embed_words(charlm, words_of({"", "cat"}), &fr, &br);
    EXPECT_TRUE(at::equal(given[0].narrow(1, given.size(2) - f - b, f + b), at::cat({fr, br}, 1)));
    EXPECT_TRUE(at::equal(given.narrow(2, 0, given.size(2) - f - b), with_empty.narrow(2, 0, given.size(2) - f - b)));
}

TEST(DepparseScorer, MaskAndEdgeRows) {
    const DepparsePlan::Impl impl(variant("small_batches"), false);
    const c10::InferenceMode guard;
    // One word: its only head is the root.
    const auto [arc1, label1] =
        detail::score_sentence(impl, detail::encode_sentence(impl, words_of({"cat"}), nullptr, nullptr), nullptr);
    EXPECT_FLOAT_EQ(arc1[0][1][0].item<float>(), 0.0f);
    EXPECT_TRUE(std::isinf(arc1[0][1][1].item<float>()));
    EXPECT_EQ(label1.sizes(), at::IntArrayRef({1, 2, 2, 11}));
    EXPECT_FALSE(at::isinf(label1).any().item<bool>());  // no mask on labels

    // Padding columns are no head for any row.
    const at::Tensor x = at::randn({2, 5, 2 * impl.hidden_dim});
    at::Tensor mask = at::ones({2, 5}, at::TensorOptions().dtype(at::kBool));
    mask[1].narrow(0, 3, 2).fill_(false);
    const at::Tensor arc = detail::score_sentence(impl, x, &mask).first;
    EXPECT_TRUE(at::isinf(arc[1].narrow(1, 3, 2)).all().item<bool>());
    EXPECT_FALSE(at::isinf(arc[0].narrow(1, 3, 2)[0]).any().item<bool>());
    EXPECT_TRUE(at::allclose(arc[1].narrow(0, 0, 3).exp().sum(1), at::ones({3})));

    const std::string refusal = "depparse padding mask does not match encoded input";
    for (const at::Tensor& bad : {at::ones({2, 6}, mask.options()), at::ones({5}, mask.options()),
                                  at::ones({1, 5}, mask.options())}) {
        EXPECT_EQ(error_of([&] { detail::score_sentence(impl, x, &bad); }), refusal);
    }
    const std::vector<std::vector<DepparseWord>> two = {words_of({"a"}), {}, words_of({"b", "c"})};
    EXPECT_EQ(error_of([&] { detail::score_batch(impl, {at::Tensor()}, two); }),
              "depparse encoded and sentence batches must have equal lengths");
    EXPECT_EQ(error_of([&] { detail::score_batch(impl, {x.narrow(0, 0, 1).narrow(1, 0, 2), {}, x.narrow(0, 0, 1)}, two); }),
              "depparse encoded sentence length does not match its words");
}

TEST(DepparseBatches, LongestFirstUnderTheBudget) {
    DepparsePlan::Impl impl(variant("plain"), false);
    const auto sentence = [](std::size_t n) { return std::vector<DepparseWord>(n, DepparseWord{"w"}); };
    struct Row {
        std::vector<std::size_t> words;
        std::int64_t budget;
        std::vector<std::size_t> order, starts;
    };
    const Row rows[] = {
        {{2499, 2499}, 5000, {0, 1}, {0, 2}},
        {{2499, 2500}, 5000, {1, 0}, {0, 1, 2}},
        {{1999, 2999, 0, 1999}, 5000, {1, 0, 3}, {0, 1, 3}},
        {{5, 9, 5, 5}, 1, {1, 0, 2, 3}, {0, 1, 2, 3, 4}},
        {{0, 0}, 5000, {}, {0}},
    };
    for (const Row& row : rows) {
        impl.batch_size = row.budget;
        std::vector<std::vector<DepparseWord>> sentences;
        for (const std::size_t n : row.words) sentences.push_back(sentence(n));
        const detail::DepparseBatches batches = detail::depparse_batches(impl, sentences);
        EXPECT_EQ(batches.order, row.order);
        EXPECT_EQ(batches.starts, row.starts);
    }
}

}  // namespace
}  // namespace quelbin

namespace quelbin {
namespace {

// A relation the string pool cannot take leaves the word with both its old
// head and its old relation.
TEST(DepparsePlan, FullStringPoolChangesNoWord) {
    const DepparsePlan plan(variant("plain"), false);
    Document doc("", {doctest::plain({"cat", "sat", "on"})});
    const WordSequence words = doc.sentences().at(0).words();
    for (std::int64_t i = 0; i < 3; ++i) {
        Word word = words.at(i);
        word.set_upos("NOUN");
        word.set_head(7);
        word.set_deprel("old");
    }
    detail::StringPoolTestPeer::set_max_strings(doc.storage()->pool, doc.storage()->pool.size());
    EXPECT_THROW(plan.process(doc), std::overflow_error);
    for (std::int64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(words.at(i).head(), 7);
        EXPECT_EQ(words.at(i).deprel(), "old");
    }
}

}  // namespace
}  // namespace quelbin
