// The tokenizer against the independent PyTorch reference (tests/reference/tokenizer.py);
// bundles that load or not, and run or not; the BiLSTM against ATen's LSTM.
#include "kernels/bilstm.hpp"
#include "tokenize/build_document.hpp"
#include "tokenize/byte_regex.hpp"
#include "tokenize/features.hpp"
#include "tokenize/labelling.hpp"

#include "fixtures.hpp"
#include "model/json.hpp"

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/tokenizer.hpp>

#include <ATen/ops/allclose.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <random>

namespace quelbin::detail {
namespace {

std::filesystem::path fixture(std::string f) { return testing::fixture_path("tokenizer", f); }

const std::string& field(const JsonValue& row, const char* k) { return row.at(k, "").as_string(k); }

// Tokens as "id text start end misc" lines, an empty line after each sentence.
std::string render(const DocumentStorage& doc) {
    std::string out;
    for (std::size_t s = 0; s < doc.sentence_count(); ++s) {
        for (auto t = doc.sentence_token_offsets[s]; t < doc.sentence_token_offsets[s + 1]; ++t) {
            const std::uint32_t misc = doc.token_misc[t];
            out += std::to_string(doc.token_id_start[t]) + "\t" + doc.pool.get(doc.token_text[t]) +
                   "\t" + std::to_string(doc.token_start_char[t]) + "\t" +
                   std::to_string(doc.token_end_char[t]) + "\t" +
                   (misc == kAbsentStringId ? "" : doc.pool.get(misc)) + "\n";
        }
        out += "\n";
    }
    return out;
}

class TokenizeReferencePaths : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, TokenizeReferencePaths, ::testing::Values(false, true),
                         [](const auto& i) { return i.param ? "AtenOperators" : "DirectPath"; });

TEST_P(TokenizeReferencePaths, FeaturesLabelsAndDocuments) {
    std::map<std::int64_t, std::size_t> seen;  // -1: undecided in the reference
    std::size_t windowed = 0;
    std::size_t documents = 0;
    std::string previous_text;
    const JsonValue json = load_json(fixture("reference.json"));
    for (const JsonValue& c : json.at("cases", "").as_array("cases")) {
        SCOPED_TRACE(field(c, "bundle") + " " + field(c, "text"));
        TokenizerPlan::Impl impl(fixture("reference/" + field(c, "bundle")), false);
        ASSERT_TRUE(impl.head_weight1.defined()) << "the direct path is not prepared";
        if (GetParam()) impl.head_weight1 = at::Tensor();  // ATen operators run the network
        const std::string text = load_text_file(fixture("reference/" + field(c, "text")));
        const std::vector<Paragraph> paragraphs = split_paragraphs(text, impl.skip_newline);
        const JsonArray& expected = c.at("labels", "").as_array("labels");
        ASSERT_EQ(paragraphs.size(), expected.size());
        std::vector<std::reference_wrapper<const Paragraph>> short_ones;
        std::vector<float> features;
        std::vector<Labels> alone;
        for (std::size_t p = 0; p < paragraphs.size(); ++p) {
            const std::vector<float> rows = compute_unit_features(impl, paragraphs[p]);
            features.insert(features.end(), rows.begin(), rows.end());
            if (paragraphs[p].size() <= kInferenceWindow) short_ones.push_back(paragraphs[p]);
            windowed += paragraphs[p].size() > kInferenceWindow;
            alone.push_back(label_paragraph(impl, paragraphs[p]));
            Labels decided = alone[p];
            Labels wanted;
            for (const JsonValue& x : expected[p].as_array("")) wanted.push_back(x.as_integer(""));
            ASSERT_EQ(decided.size(), wanted.size()) << "paragraph " << p;
            for (std::size_t i = 0; i < wanted.size(); ++i) {
                if (wanted[i] < 0) decided[i] = -1;
                ++seen[decided[i]];
            }
            EXPECT_EQ(decided, wanted) << "paragraph " << p;
        }
        EXPECT_EQ(features, testing::read_f32(fixture("reference/" + field(c, "features"))));
        const std::vector<Labels> batched = label_paragraphs(impl, short_ones);
        for (std::size_t p = 0, b = 0; p < paragraphs.size(); ++p) {
            if (paragraphs[p].size() <= kInferenceWindow) EXPECT_EQ(batched.at(b++), alone[p]) << p;
        }
        // Documents, alone and in bulk after the previous text (two windows long at exact_1001).
        const TokenizerPlan plan(fixture("reference/" + field(c, "bundle")), false);
        const Document single = plan.process(Document(text));
        const std::vector<Document> bulk =
            plan.process_bulk({Document(previous_text), Document(text)});
        previous_text = text;
        EXPECT_EQ(single.lang(), field(c, "language"));
        EXPECT_EQ(render(*bulk.at(1).storage()), render(*single.storage()));
        const JsonValue& tokens = c.at("tokens", "");  // null: some labels undecided
        if (!tokens.is_null()) EXPECT_EQ(render(*single.storage()), tokens.as_string(""));
        documents += !tokens.is_null();
    }
    // The comparison means something: nearly every label is decided, every label is
    // common, paragraphs longer than one window ran, and most documents are decided.
    for (std::int64_t label = 0; label <= 4; ++label) EXPECT_GT(seen[label], 2000u) << label;
    EXPECT_LT(seen[-1] * 1000, seen[0] + seen[1] + seen[2] + seen[3] + seen[4]);
    EXPECT_GE(windowed, 20u);
    EXPECT_GT(documents, 90u);
}

// What the call throws, or "" when it returns.
std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(TokenizeLoader, RefusedInCheckOrderFailingWhenRunOrAccepted) {
    const JsonValue json = load_json(fixture("loader.json"));
    for (const JsonValue& row : json.at("rows", "").as_array("rows")) {
        const std::string& stage = field(row, "stage");
        const std::string& message = field(row, "message");
        SCOPED_TRACE(field(row, "bundle"));
        std::optional<TokenizerPlan> plan;
        try {
            plan.emplace(fixture("loader/" + field(row, "bundle")), false);
        } catch (const TokenizerModelError& error) {
            EXPECT_EQ(stage + ": " + error.what(), "load: " + message);
            continue;
        }
        const std::string error =
            error_of([&] { EXPECT_EQ(plan->predict_labels("Ab z.").size(), 5u); });
        EXPECT_EQ(stage, error.empty() ? "ok" : "run") << error;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

// Tokens and sentences from given labels: the text each token gets (the slice
// between its offsets, or a text of its own, counted in `strings`), its misc,
// and the refusals of labels that do not fit.
TEST(TokenizeDocument, TokensFromLabels) {
    const std::string x(1000, 'x'), y(1001, 'y');
    Labels long_labels(2002, 0);
    long_labels[999] = 1;
    long_labels[2001] = 2;
    const struct {
        std::string text, lang, shorthand;
        std::vector<Labels> labels;
        std::string tokens;  // render(), or the error
        std::size_t strings;
    } cases[] = {
        {"Hi  you.\tNo", "en", "", {{0, 1, 0, 0, 0, 1, 2, 0, 0, 2}},
         "1\tHi\t0\t2\t\n2\tyou\t4\t7\t\n3\t.\t7\t8\t\n\n1\tNo\t9\t11\t\n\n", 0},
        // Across a whitespace run and ending on a space: the units' text.
        {"a \t b c", "en", "", {{0, 0, 0, 1, 2}}, "1\ta b \t0\t5\t\n2\tc\t6\t7\t\n\n", 1},
        {"a  b", "en", "", {{1, 1, 2}}, "1\ta\t0\t1\t\n2\tb\t3\t4\t\n\n", 0},  // a space alone is no token
        {"don't go", "en", "", {{0, 0, 0, 0, 4, 0, 0, 3}},
         "1\tdon't\t0\t5\tMWT=Yes\n\n1\tgo\t6\t8\tMWT=Yes\n\n", 1},
        {"a b", "zh-hans", "", {{0, 0, 2}}, "1\tab\t0\t3\t\n\n", 1},
        {"a b", "ko-x", "", {{0, 0, 2}}, "1\tab\t0\t3\t\n\n", 1},
        {"a b", "z", "", {{0, 0, 2}}, "1\ta b\t0\t3\t\n\n", 0},  // codes shorter than two letters keep spaces
        {"a b", "", "", {{0, 0, 2}}, "1\ta b\t0\t3\t\n\n", 0},
        {"ab", "en", "", {{0, 2, 1}}, "1\tab\t0\t2\t\n\n", 0},  // labels past the units are not read
        {"a:b", "en", "la_ittb", {{0, 0, 2}}, "1\ta:\t0\t2\t\n\n1\tb\t2\t3\t\n\n", 0},
        {x + " " + y, "en", "", {long_labels}, "1\t" + x + "\t0\t1000\t\n2\t<UNK>\t1001\t2002\t\n\n", 1},
        {"a\n\nb", "en", "", {{1}, {1}}, "1\ta\t0\t1\t\n\n1\tb\t3\t4\t\n\n", 0},  // paragraphs end sentences
        {"ab", "en", "", {{0, 0}}, "tokenizer prediction left an unfinished token", 0},
        {"ab", "en", "", {{0}}, "tokenizer paragraph and prediction counts disagree", 0},
        {"a\n\nb", "en", "", {{1}}, "tokenizer paragraph and prediction counts disagree", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        TokenizerPlan::Impl impl;
        impl.lang = c.lang;
        impl.shorthand = c.shorthand;
        const Utf8Text text(c.text);
        std::vector<Paragraph> paragraphs = split_paragraphs(c.text, false);
        std::vector<Labels> labels = c.labels;
        std::string tokens;
        std::size_t strings = 0;
        try {
            const SpanInput spans = build_spans(impl, text, paragraphs, labels);
            strings = spans.strings.size();
            DocumentStorage storage(c.text);
            storage.build_spans(spans);
            tokens = render(storage);
        } catch (const TokenizerModelError& error) {
            tokens = error.what();
        }
        EXPECT_EQ(tokens, c.tokens);
        EXPECT_EQ(strings, c.strings);
    }
}

at::Tensor uniform(at::IntArrayRef sizes, float scale) {
    static std::mt19937 rng(7);
    std::uniform_real_distribution<float> draw(-scale, scale);
    at::Tensor tensor = at::empty(sizes);
    std::generate_n(tensor.mutable_data_ptr<float>(), tensor.numel(), [&] { return draw(rng); });
    return tensor;
}

std::vector<at::Tensor> lstm_weights(std::int64_t input, std::int64_t hidden, float scale) {
    std::vector<at::Tensor> weights;  // (W_ih, W_hh, b_ih, b_hh) forward, then backward
    for (int i = 0; i < 8; ++i) {
        const std::int64_t width = i % 4 == 0 ? input : hidden;
        const std::int64_t gates = 4 * hidden;
        weights.push_back(uniform(i % 4 < 2 ? at::IntArrayRef({gates, width}) : gates, scale));
    }
    return weights;
}

TEST(TokenizeBiLstm, MatchesAtenLstmWholeAndPacked) {
    c10::InferenceMode guard;
    const struct {
        const char* name;
        std::int64_t input, hidden, steps;
        std::vector<std::int64_t> lengths;  // one per packed sequence; none: one whole sequence
        float weight_scale, input_scale;
        bool initial_state;  // else none, which means zeros
    } cases[] = {
        {"hidden one", 2, 1, 9, {}, 1, 1, true},
        {"hidden not a multiple of 16", 11, 21, 40, {}, 0.5, 1, true},
        {"tokenizer sizes, gates in whole panels", 37, 64, 300, {}, 0.3, 1, false},
        {"wide hidden", 16, 80, 30, {}, 0.2, 1, true},
        {"saturating gates", 6, 8, 50, {}, 3, 20, true},
        {"packed, unsorted", 7, 16, 20, {3, 20, 1, 17, 20, 8}, 0.5, 1, true},
        {"packed, tokenizer sizes", 128, 64, 90, {90, 33, 61, 2, 90, 17, 1}, 0.3, 1, false},
        {"packed, saturating, hidden 13", 6, 13, 30, {30, 11, 25}, 3, 20, true},
        {"packed with empty sequences", 6, 8, 10, {0, 10, 0, 5, 1}, 0.6, 1, true},
        {"no steps", 5, 8, 0, {0, 0}, 0.6, 1, true},
    };
    for (const LstmKernel kernel : available_lstm_kernels()) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (kernel == LstmKernel::avx512 ? ", avx512" : ""));
            const bool packed = !c.lengths.empty();
            const auto batch = packed ? static_cast<std::int64_t>(c.lengths.size()) : 1;
            const std::vector<at::Tensor> weights = lstm_weights(c.input, c.hidden, c.weight_scale);
            const at::Tensor input = uniform({batch, c.steps, c.input}, c.input_scale);
            const at::Tensor h0 = c.initial_state ? uniform({2, batch, c.hidden}, 1) : at::Tensor();
            const at::Tensor c0 = c.initial_state ? uniform({2, batch, c.hidden}, 2) : at::Tensor();
            const BiLstmOutput ours =
                BiLstm(weights, kernel).forward(input, packed ? c.lengths.data() : nullptr, h0, c0);
            ASSERT_EQ(ours.output.sizes(), at::IntArrayRef({batch, c.steps, 2 * c.hidden}));
            // Sequence by sequence: zeros past its length; an empty one keeps its state.
            for (std::int64_t b = 0; b < batch; ++b) {
                const std::int64_t length = packed ? c.lengths[b] : c.steps;
                const at::Tensor zero = at::zeros({2, 1, c.hidden});
                at::Tensor h_n = h0.defined() ? h0.narrow(1, b, 1).contiguous() : zero;
                at::Tensor c_n = c0.defined() ? c0.narrow(1, b, 1).contiguous() : zero;
                at::Tensor output = at::zeros({1, c.steps, 2 * c.hidden});
                if (length > 0) {
                    at::Tensor steps;
                    std::tie(steps, h_n, c_n) = at::lstm(input.narrow(0, b, 1).narrow(1, 0, length),
                                                         {h_n, c_n}, weights, true, 1, 0.0, false,
                                                         true, true);
                    output.narrow(1, 0, length).copy_(steps);
                }
                EXPECT_TRUE(at::allclose(ours.output.narrow(0, b, 1), output, 0, 1e-5)) << b;
                EXPECT_TRUE(at::allclose(ours.h_n.narrow(1, b, 1), h_n, 0, 1e-5)) << b;
                EXPECT_TRUE(at::allclose(ours.c_n.narrow(1, b, 1), c_n, 0, 1e-5)) << b;
            }
        }
    }
}

// The checks of weights, inputs, lengths and states, in their words; an empty batch
// and a batch without steps run and keep the initial state.
TEST(TokenizeBiLstm, RefusesWhatDoesNotFitAndRunsEmptyBatches) {
    c10::InferenceMode guard;
    const std::vector<at::Tensor> weights = lstm_weights(4, 8, 0.5);
    const BiLstm lstm(weights);
    const at::Tensor input = uniform({2, 3, 4}, 1);
    const std::int64_t too_long[] = {3, 4}, negative[] = {-1, 2};
    std::vector<at::Tensor> doubles = weights;
    doubles[1] = doubles[1].to(at::kDouble);
    const std::string shape = "LSTM input must be float32 [batch, steps, features]";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { BiLstm({weights.begin(), weights.end() - 1}); },
         "a bidirectional LSTM takes 8 weights, got 7"},
        {[&] { BiLstm{doubles}; }, "LSTM weights must be float32"},
        {[&] { lstm.forward(input.to(at::kDouble)); }, shape},
        {[&] { lstm.forward(uniform({3, 4}, 1)); }, shape},
        {[&] { lstm.forward(input, too_long); }, "LSTM sequence length 4 outside [0, 3]"},
        {[&] { lstm.forward(input, negative); }, "LSTM sequence length -1 outside [0, 3]"},
        {[&] { lstm.forward(input, nullptr, at::zeros({2, 1, 8})); },
         "LSTM h0 must be float32 [2, 2, 8], got [2, 1, 8]"},
        {[&] { lstm.forward(input, nullptr, at::Tensor(), at::zeros({2, 2, 9})); },
         "LSTM c0 must be float32 [2, 2, 8], got [2, 2, 9]"},
    };
    for (const auto& [call, message] : cases) {
        try {
            call();
            ADD_FAILURE() << "accepted: " << message;
        } catch (const c10::Error& error) {
            EXPECT_EQ(error.what_without_backtrace(), message);
        }
    }
    const at::Tensor h0 = uniform({2, 2, 8}, 1), c0 = uniform({2, 2, 8}, 1);
    const BiLstmOutput none = lstm.forward(at::empty({0, 3, 4}));
    const BiLstmOutput still = lstm.forward(at::empty({2, 0, 4}), nullptr, h0, c0);
    EXPECT_EQ(none.output.sizes(), at::IntArrayRef({0, 3, 16}));
    EXPECT_EQ(none.h_n.sizes(), at::IntArrayRef({2, 0, 8}));
    EXPECT_EQ(still.output.sizes(), at::IntArrayRef({2, 0, 16}));
    EXPECT_TRUE(at::equal(still.h_n, h0) && at::equal(still.c_n, c0));
}

// A windowed batch passes empty paragraphs over; the others get their labels alone.
TEST(TokenizeBuildDocument, WindowedBatchWithEmptyParagraphs) {
    const TokenizerPlan::Impl impl(fixture("loader/nulls"), false);
    const Paragraph paragraph = split_paragraphs("Ab z.", impl.skip_newline).at(0), empty;
    const std::vector<Labels> labels =
        label_paragraphs_windowed(impl, {std::cref(paragraph), std::cref(empty), std::cref(paragraph)});
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels[0], label_paragraph(impl, paragraph));
    EXPECT_EQ(labels[0].size(), 5u);
    EXPECT_TRUE(labels[1].empty());
    EXPECT_EQ(labels[2], labels[0]);
    EXPECT_EQ(error_of([&] { impl.tokenizer_weight("mwt_clf.weight"); }),
              "missing tokenizer weight: 'mwt_clf.weight'");
}

TEST(TokenizeBuildDocument, PlanKeepsItsModelWhenMoved) {
    TokenizerPlan plan(fixture("loader/nulls"), false);
    const std::vector<std::int64_t> labels = plan.predict_labels("Ab z.");
    TokenizerPlan moved(std::move(plan));
    TokenizerPlan assigned(fixture("loader/unused_tensor"), false);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.predict_labels("Ab z."), labels);
    EXPECT_EQ(assigned.bundle().path(), std::filesystem::absolute(fixture("loader/nulls")));
}

// One paragraph of 256 KB on which a regular-expression search from every
// start would scan to its end. Through the whole tokenizer (all nine features
// and the e-mail/URL rule) each takes well under a second; when the rules took
// quadratic time, "1.1.1" alone took over half a minute. The bound is far above
// the linear time so that only a return of that growth fails it.
TEST(TokenizeDocument, AdversarialParagraphsInBoundedTime) {
    const TokenizerPlan plan(fixture("reference/negative_gate"), false);
    const std::size_t size = 256 * 1024;
    const auto repeat = [&](const std::string& head, const std::string& piece) {
        std::string text = head;
        while (text.size() < size) text += piece;
        return text;
    };
    const std::string texts[] = {
        repeat("", "1."), repeat("", "a."), repeat("", "a@a."), repeat("\"", "\\\""),
        repeat("", "a@[1.2.3.t:"), repeat("http://", "http:"), repeat("", "Aa Aa: (555)x1234 1/2/2020 May $1,"),
    };
    for (const std::string& text : texts) {
        const auto start = std::chrono::steady_clock::now();
        const Document document = plan.process(Document(text));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << text.substr(0, 20);
        EXPECT_GT(document.num_tokens(), 0u);
    }
}

using Matches = std::vector<std::pair<std::size_t, std::size_t>>;

// Byte ranges of the structural expressions, chosen at their edges.
TEST(TokenizeRegex, HandPickedMatches) {
    const struct {
        const ByteRegex& regex;
        std::string text;
        Matches expected;
    } cases[] = {
        {labeled_field_regex(), "Phone Number Here Too: x", {{6, 22}}},  // at most three words
        {labeled_field_regex(), "aName: b", {}},                         // needs a word boundary
        {phone_id_regex(), "(555)123-4567 and 555-123-4567x", {{0, 13}}},
        {phone_id_regex(), "x12 x123456 x1234", {{12, 17}}},
        {date_pattern_regex(), "on 1/2/34 or 01/02/20245", {{3, 9}}},
        {currency_regex(), "$ 12,34.5.6 $x", {{0, 9}}},
    };
    for (const auto& c : cases) {
        Matches found;
        c.regex.for_each_match(c.text, [&](std::size_t b, std::size_t e) { found.emplace_back(b, e); });
        EXPECT_EQ(found, c.expected) << c.text;
    }
}

}  // namespace
}  // namespace quelbin::detail
