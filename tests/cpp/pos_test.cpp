// The POS tagger's internals: batching, composite XPOS keys, the biaffine
// scorer check, word forms, decoding rules, and the fast character and highway
// runners against ATen's LSTM.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/tensor.h>
#include <c10/core/InferenceMode.h>

#include <functional>
#include <map>

#include "fixtures.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin {
namespace {

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("pos", name); }

template <class Call>
std::string error_of(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

TEST(POSSyntax, SentenceBatchesKeepBothBudgets) {
    struct Row {
        std::vector<std::int64_t> lengths;
        std::int64_t batch_size, max_tokens;
        std::vector<std::size_t> starts;
    };
    const Row rows[] = {
        {{3000, 2000, 10, 10}, 250, 5000, {0, 1, 3, 4}},
        {std::vector<std::int64_t>(600, 5), 250, 5000, {0, 250, 500, 600}},
        {std::vector<std::int64_t>(200, 30), 250, 5000, {0, 166, 200}},
        {{6000, 3, 2}, 250, 5000, {0, 1, 3}},
        {{4, 4, 4}, 1, 5000, {0, 1, 2, 3}},
        {{}, 250, 5000, {0}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(detail::sentence_batches(row.lengths, row.batch_size, row.max_tokens), row.starts);
    }
}

TEST(POSSyntax, CompositeKeysOrderNumerically) {
    std::vector<std::pair<unsigned long long, std::string>> numbered;
    for (const std::string key : {"0", "1", "10", "2", "3", "4", "5", "6", "7", "8", "9"}) {
        numbered.emplace_back(detail::composite_xpos_key<POSModelError>(key), key);
    }
    const auto ordered = detail::order_composite_xpos_components<POSModelError>(numbered);
    EXPECT_EQ(ordered.back(), "10");
    EXPECT_EQ(ordered[2], "2");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"0", "2"}, "composite XPOS component keys must be contiguous"},
        {{"0", "00"}, "composite XPOS component keys must be contiguous"},
        {{"a"}, "composite XPOS component keys must be integers"},
        {{"0", "1x"}, "composite XPOS component keys must be integers"},
        {{"99999999999999999999999"}, "composite XPOS component keys must be integers"},
    };
    for (const auto& [keys, message] : refused) {
        EXPECT_EQ(error_of([&, &keys = keys] {
                      std::vector<std::pair<unsigned long long, int>> n;
                      for (const std::string& key : keys) n.emplace_back(detail::composite_xpos_key<DepparseModelError>(key), 0);
                      detail::order_composite_xpos_components<DepparseModelError>(n);
                  }),
                  message);
    }
}

TEST(POSSyntax, BiaffineScorerTensorsAreRequiredInOrder) {
    std::map<std::string, at::Tensor, std::less<>> tensors;
    for (const char* name : {"linearization.W1.weight", "linearization.W2.weight", "linearization.scorer.W_bilin.weight",
                             "linearization.scorer.W_bilin.bias"}) {
        tensors[name] = at::Tensor();
    }
    auto require = [&](std::string_view name) -> const at::Tensor& {
        const auto found = tensors.find(name);
        if (found == tensors.end()) throw DepparseModelError("missing depparse tensor: '" + std::string(name) + "'");
        return found->second;
    };
    EXPECT_EQ(error_of([&] { detail::bind_biaffine_tensors(require, "linearization"); }),
              "missing depparse tensor: 'linearization.W1.bias'");
    tensors["linearization.W1.bias"] = at::Tensor();
    tensors["linearization.W2.bias"] = at::Tensor();
    EXPECT_EQ(error_of([&] { detail::bind_biaffine_tensors(require, "linearization"); }), "no error");
    EXPECT_EQ(error_of([&] { detail::bind_biaffine_tensors(require, "distance"); }),
              "missing depparse tensor: 'distance.W1.weight'");
}

TEST(POSFeatures, WordFormsAndPretrainedKeys) {
    const std::pair<std::string, std::string> forms[] = {
        {"??", "?"}, {"?!", "?"}, {"\uFF1F\uFF1F", "?"}, {"\uFF1F!", "?"}, {"\uFE16\u2047\uFE56", "?"},
        {"!?", "!"}, {"!!", "!"}, {"\u203C\u203C", "!"}, {"\uFE15\uFE57\uFF01", "!"},
        {"\uFF1F", "\uFF1F"}, {"\u203C", "\u203C"}, {"\u2047", "\u2047"}, {"a?", "a?"}, {"?a", "?a"},
        {"\u00BF?", "\u00BF?"}, {"", ""}, {"???", "?"},
    };
    for (const auto& [word, form] : forms) EXPECT_EQ(detail::pos_word_form(word), form) << word;
    EXPECT_EQ(detail::pretrain_key("New York  X"), "new\u00A0york\u00A0\u00A0x");
    EXPECT_EQ(detail::pretrain_key("The"), "the");
    EXPECT_THROW(detail::pos_word_form("a\xE2\x82"), std::invalid_argument);
}

TEST(POSHeads, DecodingRules) {
    POSPlan::Impl impl(bundle("composite"), false);
    impl.upos_labels = {"A", "B", "C"};
    impl.xpos_components = {{"p", "u", "e", "x"}, {"p", "u", "e", "y", "z"}};
    impl.xpos_sep = "+";
    impl.feats_labels = {{"Case", {"p", "u", "e", "Nom"}}, {"Num", {"p", "u", "e", "Sg"}}};
    const auto decode = [&](std::int64_t u, std::vector<std::int64_t> xpos, std::vector<std::int64_t> feats) {
        detail::POSClassIds ids;
        ids.upos = {u};
        for (const std::int64_t v : xpos) ids.xpos.push_back({v});
        for (const std::int64_t f : feats) ids.feats.push_back({f});
        const POSPrediction p = detail::decode_pos_row(impl, ids, 0);
        return p.upos + " " + p.xpos + " " + p.feats;
    };
    struct Row {
        std::int64_t u;
        std::vector<std::int64_t> xpos, feats;
        std::string expected;
    };
    const Row rows[] = {
        {2, {3, 4}, {3, 3}, "C x+z Case=Nom|Num=Sg"},
        {0, {2, 3}, {2, 3}, "A y Num=Sg"},  // a skipped component leaves no separator
        {1, {2, 2}, {2, 2}, "B _ _"},
        {1, {1, 2}, {1, 2}, "B u Case=u"},
        {3, {3, 3}, {3, 3}, "POS classifier produced an invalid id"},
        {0, {4, 3}, {3, 3}, "composite XPOS classifier produced an invalid id"},
        {0, {-1, 3}, {3, 3}, "composite XPOS classifier produced an invalid id"},
        {0, {3, 3}, {3, 4}, "feature classifier produced an invalid id"},
    };
    for (const Row& row : rows) {
        std::string got;
        try {
            got = decode(row.u, row.xpos, row.feats);
        } catch (const POSModelError& error) {
            got = error.what();
        }
        EXPECT_EQ(got, row.expected);
    }
    impl.xpos_components.clear();
    impl.feats_labels.clear();
    EXPECT_EQ(decode(0, {}, {}), "A _ _");
    impl.xpos_composite = false;
    impl.xpos_labels = {"p", "u", "two", "x"};
    EXPECT_EQ(decode(0, {2}, {}), "A two _");
    impl.xpos_has_ignore = true;
    EXPECT_EQ(decode(0, {2}, {}), "A _ _");
    EXPECT_EQ(error_of([&] { decode(0, {4}, {}); }), "XPOS classifier produced an invalid id");
}

// The heads contract each bilinear form with the predicted UPOS's embedding
// first; the classes are those of the bilinear product itself.
TEST(POSHeads, ContractedHeadsPickTheBilinearClasses) {
    const c10::InferenceMode guard;
    for (const char* name : {"plain", "composite"}) {
        SCOPED_TRACE(name);
        const POSPlan::Impl impl(bundle(name), false);
        const at::Tensor rows = at::randn({200, 2 * impl.hidden_dim});
        const detail::POSClassIds ids = detail::pos_class_ids(impl, rows);
        const at::Tensor condition = at::embedding(detail::require_pos_tensor(impl, "upos_emb.weight"),
                                                   at::tensor(ids.upos, at::kLong));
        const auto hidden = [&](const char* layer) {
            const std::string prefix(layer);
            return at::relu(at::linear(rows, detail::require_pos_tensor(impl, prefix + ".weight"),
                                       detail::require_pos_tensor(impl, prefix + ".bias")));
        };
        const auto expect_classes = [&](const at::Tensor& h, const std::string& prefix,
                                        const std::vector<std::int64_t>& got) {
            const at::Tensor best = at::argmax(detail::pos_bilinear_classifier(impl, h, condition, prefix), 1);
            const std::int64_t* first = best.const_data_ptr<std::int64_t>();
            EXPECT_EQ(got, std::vector<std::int64_t>(first, first + best.numel())) << prefix;
        };
        const at::Tensor hx = hidden("xpos_hid");
        if (impl.xpos_composite) {
            ASSERT_EQ(ids.xpos.size(), impl.xpos_components.size());
            for (std::size_t k = 0; k < ids.xpos.size(); ++k) {
                expect_classes(hx, "xpos_clf." + std::to_string(k) + ".W_bilin", ids.xpos[k]);
            }
        } else {
            expect_classes(hx, "xpos_clf.W_bilin", ids.xpos[0]);
        }
        const at::Tensor hf = hidden("ufeats_hid");
        ASSERT_EQ(ids.feats.size(), impl.feats_labels.size());
        for (std::size_t k = 0; k < ids.feats.size(); ++k) {
            expect_classes(hf, "ufeats_clf." + std::to_string(k) + ".W_bilin", ids.feats[k]);
        }
    }
}

TEST(POSPlan, TagChecksItsWords) {
    const POSPlan plan(bundle("plain"), true);
    EXPECT_TRUE(plan.tag({}).empty());
    EXPECT_EQ(error_of([&] { plan.tag({"cat", ""}); }), "POS cannot encode an empty word");
    EXPECT_EQ(error_of([&] { plan.tag({"cat", "a\xC3"}); }), "invalid UTF-8 sequence at byte offset 1");
    const std::vector<POSPrediction> one = plan.tag({"??"});
    ASSERT_EQ(one.size(), 1u);
    // A sentence tagged alone, or among others in one batch, gets the same tags.
    const std::vector<std::string> words = {"the", "cat", "sat", "on", "New York", "!!", "zzz"};
    POSPlan::Impl impl(bundle("plain"), false);
    const auto batch = detail::tag_pos_batch(impl, {{"x", "y"}, words, {}, {"??"}});
    const auto alone = plan.tag(words);
    ASSERT_EQ(batch[1].size(), alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i) EXPECT_EQ(batch[1][i].upos + batch[1][i].xpos, alone[i].upos + alone[i].xpos);
    EXPECT_TRUE(batch[2].empty());
    // Encodings are the same, bit for bit, at one and at two threads.
    {
        const c10::InferenceMode guard;
        const std::vector<std::vector<std::string>> sentences = {words, {"x"}, words, {"New", "York", "??"}};
        const int threads = at::get_num_threads();
        at::set_num_threads(1);
        const auto one = detail::encode_pos_batch(impl, sentences, {}, {});
        at::set_num_threads(2);
        const auto two = detail::encode_pos_batch(impl, sentences, {}, {});
        at::set_num_threads(threads);
        for (std::size_t i = 0; i < sentences.size(); ++i) EXPECT_TRUE(at::equal(one[i], two[i])) << i;
    }
    EXPECT_EQ(batch[3][0].feats, one[0].feats);
    // A plan taken over by move assignment works on its own.
    POSPlan other(bundle("composite"), false);
    other = POSPlan(bundle("plain"), false);
    EXPECT_EQ(other.tag(words).size(), words.size());
}

// The character model against the equations run with ATen's LSTM, one word at
// a time; a word's row is the same, bit for bit, alone, in a batch and at any
// thread count.
TEST(POSFeatures, CharacterModelMatchesTheEquations) {
    const c10::InferenceMode guard;
    for (const char* name : {"plain", "gates"}) {
        SCOPED_TRACE(name);
        const POSPlan::Impl impl(bundle(name), false);
        const at::Tensor& emb = detail::require_pos_tensor(impl, "charmodel.char_emb.weight");
        const at::Tensor& attn = detail::require_pos_tensor(impl, "charmodel.char_attn.weight");
        std::vector<std::vector<std::int64_t>> words;
        for (std::int64_t n = 1; n <= 40; ++n) {
            std::vector<std::int64_t> ids;
            for (std::int64_t k = 0; k < n % 13 + 1; ++k) ids.push_back((n * 7 + k * 3) % emb.size(0));
            words.push_back(ids);
        }
        const int threads = at::get_num_threads();
        at::set_num_threads(2);
        const at::Tensor rows = impl.char_model->encode(words);
        at::set_num_threads(1);
        EXPECT_TRUE(at::equal(rows, impl.char_model->encode(words)));
        at::set_num_threads(threads);
        for (std::size_t w = 0; w < words.size(); ++w) {
            const at::Tensor e = at::embedding(emb, detail::make_id_tensor(words[w], {1, std::int64_t(words[w].size())}));
            const at::Tensor out = std::get<0>(at::lstm(e, impl.char_lstm_state, impl.char_lstm_weights, true, 1, 0.0,
                                                        false, false, true));
            const at::Tensor expected = out.mul(at::sigmoid(at::linear(out, attn))).sum(1)[0];
            EXPECT_TRUE(at::allclose(rows[w], expected, 1e-5, 1e-5)) << w;
            EXPECT_TRUE(at::equal(rows[w], impl.char_model->encode({words[w]})[0])) << w;
        }
    }
}

// The highway stack over several sequences of one batch against the equations
// with ATen's LSTM, one sequence at a time.
TEST(POSEncoder, HighwayStackMatchesTheEquations) {
    const c10::InferenceMode guard;
    const POSPlan::Impl impl(bundle("gates"), false);
    const std::int64_t D = impl.tagger->input_size();
    const std::vector<std::int64_t> lengths = {9, 5, 1, 5};
    const at::Tensor input = at::randn({20, D});
    const at::Tensor batched = impl.tagger->forward(input, lengths);
    std::int64_t offset = 0;
    for (std::size_t b = 0; b < lengths.size(); ++b) {
        at::Tensor x = input.narrow(0, offset, lengths[b]).unsqueeze(0);
        for (const detail::HighwayLayer& layer : impl.tagger_layers) {
            const at::Tensor o =
                std::get<0>(at::lstm(x, layer.lstm_state, layer.lstm_weights, true, 1, 0.0, false, true, true));
            x = o.add(at::sigmoid(at::linear(x, layer.gate_weight, layer.gate_bias))
                          .mul(at::tanh(at::linear(x, layer.highway_weight, layer.highway_bias))));
        }
        EXPECT_TRUE(at::allclose(batched.narrow(0, offset, lengths[b]), x[0], 1e-5, 1e-5)) << b;
        offset += lengths[b];
    }
}

}  // namespace
}  // namespace quelbin
