// Random records and edits: a sound storage after each success, no change
// after each refusal. scripts/test.sh also runs it under ASan and UBSan.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;

class RecordFuzzer {
public:
    explicit RecordFuzzer(std::uint32_t seed) : rng_(seed) {}

    int below(std::size_t n) { return n == 0 ? 0 : static_cast<int>(rng_() % n); }
    bool chance(int percent) { return below(100) < percent; }

    // Texts and labels, among them NER tags: well-formed, unusable, lower-case.
    std::string label(bool may_be_empty = true) {
        static const char* labels[] = {"the", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80", "B-PER",
                                       "I-PER", "E-PER", "L-PER", "S-LOC", "U-LOC", "I-LOC", "O",
                                       "B-", "b-per", " ", "\n", "x."};
        return may_be_empty && chance(8) ? "" : labels[below(std::size(labels))];
    }

    std::optional<std::string> maybe_label() {
        if (chance(40)) return std::nullopt;
        return label();
    }

    // Mostly the typical id; now and then 0, a negative one or an extreme.
    int id(int typical) {
        if (chance(3)) return below(5) - 2;
        if (chance(1)) return chance(50) ? INT32_MIN : INT32_MAX;
        return typical;
    }

    std::optional<std::uint32_t> offset(std::uint32_t around) {
        if (chance(30)) return std::nullopt;
        if (chance(5)) return chance(50) ? 0xFFFFFFFFu : 0xFFFFFFFEu;
        return around + below(4) - (chance(20) ? 2u : 0u);
    }

    WordInput word(int id_value, bool empty) {
        WordInput w = doctest::word(id(id_value), chance(3) ? "" : label(false));
        if (empty || chance(2)) w.empty_index = chance(90) ? 1 + below(2) : below(3) - 1;
        w.lemma = maybe_label();
        w.misc = maybe_label();
        if (chance(50)) w.head = below(6) - 1;
        w.start_char = offset(below(30));
        w.end_char = offset(below(30));
        if (chance(30)) w.morphemes = {label()};
        return w;
    }

    std::vector<SentenceInput> sentences(std::size_t codepoints) {
        std::vector<SentenceInput> out(below(5));
        std::uint32_t position = 0;
        for (SentenceInput& s : out) {
            int next = 1;
            for (int t = below(6); t > 0; --t) {
                const int words = chance(15) ? 2 + below(2) : 1;
                TokenInput token = doctest::token(id(next), chance(2) ? "" : label(false));
                const std::int64_t last = token.id_start + std::int64_t{chance(3) ? -1 : words - 1};
                token.id_end = static_cast<int>(std::clamp<std::int64_t>(last, INT_MIN, INT_MAX));
                token.ner = maybe_label();
                if (chance(20)) token.multi_ner = {label()};
                const std::uint32_t width = 1 + below(4);
                token.start_char = offset(position);
                token.end_char = offset(position + width);
                position = chance(5) ? codepoints + below(3) : position + width + below(2);
                token.spaces_before = chance(70) ? "" : " ";
                token.spaces_after = chance(70) ? " " : "";
                token.words.clear();
                for (int w = 0; w < words; ++w) token.words.push_back(word(next + w, false));
                next += words;
                s.tokens.push_back(std::move(token));
            }
            for (int e = below(3); e > 0; --e) s.empty_words.push_back(word(below(next), true));
            if (chance(30)) s.text = label();
            if (chance(30)) s.sent_id = label();
            if (chance(30)) s.comments = {label()};
        }
        return out;
    }

    // Chains of mentions in and around the sentences, some naming empty words.
    std::vector<CorefChain> chains(std::size_t sentences) {
        std::vector<CorefChain> out;
        for (int c = below(4); c > 0; --c) {
            std::vector<CorefMention> mentions;
            for (int m = below(4); m > 0; --m) {
                CorefWordPosition start{below(6) - (chance(5) ? 2 : 0), std::nullopt}, end = start;
                if (chance(20)) start.empty_index = end.empty_index = below(3);
                end.word = chance(20) ? below(6) : start.word + (start.empty_index ? 0 : below(3));
                mentions.emplace_back(below(sentences + (chance(10) ? 2 : 0)), start, end);
            }
            std::optional<int> representative;
            if (!mentions.empty() && chance(60)) representative = below(mentions.size());
            const int index = static_cast<int>(out.size());
            out.emplace_back(index, std::move(mentions), label(), representative);
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

// Operation name: successes, refusals.
std::map<std::string, std::pair<int, int>> outcomes;

// Runs an operation: after a success the storage is sound and its CoNLL-U
// text can be written; after a refusal it is exactly what it was.
template <class Op>
void apply(const std::shared_ptr<DocumentStorage>& d, const char* what, int round, Op&& op) {
    const std::string before = doctest::snapshot(*d);
    const std::string failed = doctest::failure(op);
    ++(failed == "no failure" ? outcomes[what].first : outcomes[what].second);
    if (failed == "no failure") {
        EXPECT_EQ(doctest::check_invariants(*d), "") << what << " round " << round;
        EXPECT_EQ(doctest::failure([&] { Document(d).to_conll(); }), "no failure") << what << round;
    } else {
        EXPECT_NE(failed.rfind("other: ", 0), 0u) << what << " round " << round << ": " << failed;
        EXPECT_EQ(doctest::snapshot(*d), before) << what << " round " << round << " changed it";
    }
}

TEST(DocumentFuzz, RandomRecordsAndEdits) {
    RecordFuzzer fuzz(7321);
    for (int round = 0; round < 1500; ++round) {
        std::string text;
        for (int n = fuzz.below(20); n > 0; --n) text += fuzz.label();
        const auto owner = std::make_shared<DocumentStorage>(text);
        DocumentStorage& d = *owner;
        if (fuzz.chance(30)) d.lang = d.pool.intern("xx");
        if (fuzz.chance(5)) detail::StringPoolTestPeer::set_max_strings(d.pool, 3 + fuzz.below(30));
        const auto input = fuzz.sentences(d.text.codepoint_count());
        apply(owner, "build", round, [&] { d.build(input); });
        for (int step = 0; step < 12; ++step) {
            const int op = fuzz.below(6);
            const std::uint32_t s = fuzz.below(d.sentence_count() + (op == 0));
            if (op == 0) {
                const WordInput w = fuzz.word(fuzz.below(4), true);
                apply(owner, "add_empty_word", round, [&] { d.add_empty_word(s, w); });
            } else if (op == 1) {
                const auto chains = fuzz.chains(d.sentence_count());
                apply(owner, "set_coref", round, [&] { d.set_coref(chains); });
            } else if (op == 2) {
                apply(owner, "reset", round, [&] { d.reset_generated_empty_words(); });
            } else if (op == 3) {
                for (std::uint32_t& tag : d.token_ner) {
                    if (fuzz.chance(30)) tag = d.pool.intern_optional(fuzz.maybe_label());
                }
                apply(owner, "rebuild_entities", round, [&] { d.rebuild_entities(); });
            } else if (op == 4) {
                const auto next = fuzz.sentences(d.text.codepoint_count());
                apply(owner, "replace", round, [&] { d.replace(next); });
            } else if (s < d.sentence_count()) {
                d.sentence_constituency[s] = ConstituencyTree("S", {}).node();
            }
        }
    }
    // Both roads must be taken often enough to mean something.
    for (const char* op : {"build", "add_empty_word", "set_coref", "replace"}) {
        EXPECT_GT(outcomes[op].first, 100) << op;
        EXPECT_GT(outcomes[op].second, 100) << op;
    }
}

}  // namespace
