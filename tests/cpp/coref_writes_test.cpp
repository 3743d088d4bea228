// Coreference into documents: the gathered words, the chains and empty words a
// prediction becomes (order, representatives, empty indices, bad spans), and
// writing them all or nothing.
#include <gtest/gtest.h>

#include <sstream>

#include "coref/coref_impl.hpp"
#include "document_test_support.hpp"

namespace quelbin {
namespace {

using doctest::snapshot;

SentenceInput tagged(const std::vector<std::pair<std::string, std::string>>& words) {
    SentenceInput s;
    for (const auto& [text, upos] : words) {
        s.tokens.push_back(doctest::token(static_cast<int>(s.tokens.size()) + 1, text));
        if (!upos.empty()) s.tokens.back().words[0].upos = upos;
    }
    return s;
}

// "Anna met Bob", a sentence without words, "She greeted him" with the input
// empty word 2.2.
Document people() {
    SentenceInput first = tagged({{"Anna", "PROPN"}, {"met", "VERB"}, {"Bob", "PROPN"}});
    first.speaker = "A";
    SentenceInput third = tagged({{"She", "PRON"}, {"greeted", "VERB"}, {"him", ""}});
    third.empty_words.push_back(doctest::word(2, "_", 2));
    return Document("Anna met Bob. She greeted him.", {first, SentenceInput{}, third});
}

std::string position(const CorefWordPosition& start, const CorefWordPosition& end) {
    if (start.empty_index) return std::to_string(start.word) + "." + std::to_string(*start.empty_index);
    return std::to_string(start.word) + "-" + std::to_string(end.word);
}

// "<index> [<sentence>:<start>-<end> or <sentence>:<id>.<empty index> ...] <representative> '<text>'".
std::string describe(const CorefChain& chain) {
    std::ostringstream out;
    out << chain.index() << " [";
    for (const CorefMention& m : chain.mentions()) {
        out << (&m == chain.mentions().data() ? "" : " ") << m.sentence() << ':'
            << position(m.start_word(), m.end_word());
    }
    const auto representative = chain.representative_index();
    out << "] " << (representative ? std::to_string(*representative) : "-") << " '" << chain.representative_text()
        << "'";
    return out.str();
}

std::string describe(const detail::CorefWrites& writes) {
    std::string out;
    for (const CorefChain& chain : writes.chains) out += describe(chain) + "; ";
    for (const auto& [sentence, word] : writes.empty_words) {
        out += "+" + std::to_string(sentence) + ":" + std::to_string(word.id) + "." + std::to_string(*word.empty_index);
    }
    return out;
}

std::string describe(const Document& document) {
    std::string out;
    for (const auto& chain : document.coref()) out += describe(*chain) + "; ";
    const DocumentStorage& storage = *document.storage();
    for (std::size_t row = storage.regular_word_count; row < storage.word_count(); ++row) {
        out += "+" + std::to_string(storage.word_sentence[row]) + ":" + std::to_string(storage.word_id[row]) + "." +
               std::to_string(storage.word_empty_index[row]);
    }
    return out;
}

CorefPrediction prediction(std::vector<std::vector<std::size_t>> words,
                           std::vector<std::vector<std::pair<std::size_t, std::size_t>>> spans,
                           std::vector<std::vector<std::size_t>> zeros) {
    return {std::move(words), std::move(spans), std::move(zeros)};
}

TEST(CorefWrites, GatheredWordsSkipWordlessSentences) {
    const detail::CorefWords gathered = detail::gather_coref_words(*people().storage());
    EXPECT_EQ(gathered.words, (std::vector<std::string>{"Anna", "met", "Bob", "She", "greeted", "him"}));
    EXPECT_EQ(gathered.sentence_ids, (std::vector<std::size_t>{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(gathered.speakers, (std::vector<std::string>{"A", "A", "A", "_", "_", "_"}));
    EXPECT_EQ(gathered.sentence_of_id, (std::vector<std::uint32_t>{0, 2}));
}

TEST(CorefWrites, EmptyIndexCountsUnlessTaken) {
    using Existing = std::vector<std::pair<int, int>>;
    const std::tuple<Existing, int, int> rows[] = {
        {{}, 0, 1},
        {{{0, 1}}, 0, 2},
        {{{2, 2}}, 2, 3},          // the count repeats 2.2: one more than the largest
        {{{2, 2}}, 1, 2},
        {{{2, 3}, {0, 9}}, 2, 10},
        {{{1, 1}, {3, 3}, {0, 7}}, 3, 4},
    };
    for (const auto& [existing, id, index] : rows) {
        EXPECT_EQ(detail::coref_empty_index(existing, id), index) << id << " " << existing.size();
    }
}

TEST(CorefWrites, PredictionsBecomeChainsAndEmptyWords) {
    const Document document = people();
    const detail::CorefWords gathered = detail::gather_coref_words(*document.storage());
    const std::string crossed = "coref span crossed a sentence boundary";
    const std::pair<CorefPrediction, std::string> rows[] = {
        {prediction({{0, 3}, {2, 4, 5}}, {{{0, 1}, {3, 4}}, {{1, 3}, {4, 5}, {5, 6}}}, {{}, {4}}),
         "0 [0:0-1 2:0-1] 0 'Anna'; 1 [0:1-3 2:1.2 2:2-3] 0 'met Bob'; +2:1.2"},
        // Only zero mentions: no representative.
        {prediction({{3}}, {{{3, 4}}}, {{3}}), "0 [2:0.2] - '_'; +2:0.2"},
        // A longer mention wins with fewer proper nouns; at equal length more proper
        // nouns win; on a full tie the earlier stays.
        {prediction({{0, 4}}, {{{0, 1}, {3, 5}}}, {{}}), "0 [0:0-1 2:0-2] 1 'She greeted'; "},
        {prediction({{1, 2}}, {{{1, 2}, {2, 3}}}, {{}}), "0 [0:1-2 0:2-3] 1 'Bob'; "},
        {prediction({{3, 5}}, {{{3, 4}, {5, 6}}}, {{}}), "0 [2:0-1 2:2-3] 0 'She'; "},
        // The count would repeat the input's 2.2.
        {prediction({{5}}, {{{5, 6}}}, {{5}}), "0 [2:2.3] - '_'; +2:2.3"},
        {prediction({{3, 4}}, {{{3, 4}, {4, 5}}}, {{3, 4}}), "0 [2:0.2 2:1.3] - '_'; +2:0.2+2:1.3"},
        // Mentions in span order, each with its own head; equal spans keep head order.
        {prediction({{0, 1, 2}}, {{{2, 3}, {0, 2}, {0, 2}}}, {{2}}), "0 [0:0-2 0:2.1 0:2-3] 0 'Anna met'; +0:2.1"},
        {prediction({{0, 3}}, {{{0, 4}, {3, 4}}}, {{}}), crossed},
        {prediction({{1}}, {{{1, 1}}}, {{}}), crossed},
        {prediction({{5}}, {{{5, 7}}}, {{}}), crossed},
    };
    for (const auto& [predicted, expected] : rows) {
        std::string got;
        try {
            got = describe(detail::plan_coref_writes(*document.storage(), gathered, predicted));
        } catch (const CorefModelError& error) {
            got = error.what();
        }
        EXPECT_EQ(got, expected);
    }
}

TEST(CorefWrites, WritingIsAllOrNothing) {
    Document document = people();
    DocumentStorage& storage = *document.storage();
    const detail::CorefWords gathered = detail::gather_coref_words(storage);
    const CorefPrediction first =
        prediction({{0, 3}, {2, 4, 5}}, {{{0, 1}, {3, 4}}, {{1, 3}, {4, 5}, {5, 6}}}, {{}, {4}});
    detail::apply_coref_writes(storage, detail::plan_coref_writes(storage, gathered, first));
    const std::string expected = "0 [0:0-1 2:0-1] 0 'Anna'; 1 [0:1-3 2:1.2 2:2-3] 0 'met Bob'; +2:2.2+2:1.2";
    EXPECT_EQ(describe(document), expected);
    EXPECT_EQ(doctest::check_invariants(storage), "");
    // Writing again first removes what the first run generated.
    detail::apply_coref_writes(storage, detail::plan_coref_writes(storage, gathered, first));
    EXPECT_EQ(describe(document), expected);
    const std::string written = snapshot(storage);

    // A chain the document refuses, after the new empty word went in.
    detail::CorefWrites refused = detail::plan_coref_writes(storage, gathered, prediction({{3}}, {{{3, 4}}}, {{3}}));
    refused.chains.emplace_back(1, std::vector<CorefMention>{CorefMention(9, {0, {}}, {1, {}})}, "x", std::nullopt);
    EXPECT_EQ(doctest::failure([&] { detail::apply_coref_writes(storage, refused); }),
              "out_of_range: a coreference mention has an invalid sentence index");
    EXPECT_EQ(snapshot(storage), written);
    // An empty word the sentence already holds.
    detail::CorefWrites duplicated;
    duplicated.empty_words = {{2, doctest::word(0, "_", 5)}, {2, doctest::word(0, "_", 5)}};
    EXPECT_EQ(doctest::failure([&] { detail::apply_coref_writes(storage, duplicated); }),
              "invalid_argument: an empty word ID is duplicated within a sentence");
    EXPECT_EQ(snapshot(storage), written);
}

}  // namespace
}  // namespace quelbin
