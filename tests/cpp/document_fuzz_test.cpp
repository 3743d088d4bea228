// Random valid and invalid records thrown at build and at every edit: no
// crash, a sound storage after each success, and no change at all after each
// refusal. scripts/test.sh runs it under AddressSanitizer and UBSan as well.
#include <gtest/gtest.h>

#include <climits>
#include <iostream>
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
    template <class T>
    T one_of(const std::vector<T>& values) { return values[below(values.size())]; }

    std::string text() {
        std::string out;
        for (int n = below(40); n > 0; --n) {
            out += one_of<std::string>({"a", "bc", " ", "  ", "\n", "\xC3\xA9", "\xE2\x82\xAC",
                                        "\xF0\x9F\x98\x80", "x.", "\t"});
        }
        return out;
    }

    // Labels double as NER tags: well-formed, unusable and lower-case ones.
    std::string label(bool may_be_empty = true) {
        if (may_be_empty && chance(8)) return "";
        return one_of<std::string>({"the", "\xC3\xA9t\xC3\xA9", "B-PER", "I-PER", "E-PER", "L-PER",
                                    "S-LOC", "U-LOC", "I-LOC", "O", "B-", "b-per", " ", "x"});
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
        for (auto* field : {&w.lemma, &w.upos, &w.feats, &w.deprel, &w.misc}) *field = maybe_label();
        if (chance(50)) w.head = below(6) - 1;
        w.start_char = offset(below(30));
        w.end_char = offset(below(30));
        if (chance(30)) w.manual_expansion = chance(50);
        for (int k = below(3); k > 0; --k) w.morphemes.push_back(label());
        return w;
    }

    std::vector<SentenceInput> sentences(std::size_t codepoints) {
        std::vector<SentenceInput> out(below(5));
        std::uint32_t position = 0;
        for (SentenceInput& s : out) {
            int next_id = 1;
            for (int t = below(6); t > 0; --t) {
                const int words = chance(15) ? 2 + below(2) : 1;
                TokenInput token = doctest::token(id(next_id), chance(2) ? "" : label(false));
                const std::int64_t end = std::int64_t{token.id_start} + (chance(3) ? -1 : words - 1);
                token.id_end = static_cast<int>(std::clamp<std::int64_t>(end, INT32_MIN, INT32_MAX));
                token.misc = maybe_label();
                token.ner = maybe_label();
                if (chance(20)) token.multi_ner = {label(), label()};
                const std::uint32_t width = 1 + below(4);
                token.start_char = offset(position);
                token.end_char = offset(position + width);
                position = chance(5) ? codepoints + below(3) : position + width + below(2);
                if (chance(20)) token.manual_expansion = chance(50);
                token.spaces_before = chance(70) ? "" : " ";
                token.spaces_after = chance(70) ? " " : "";
                token.words.clear();
                for (int w = 0; w < words; ++w) token.words.push_back(word(next_id + w, false));
                next_id += words;
                s.tokens.push_back(std::move(token));
            }
            for (int e = below(3); e > 0; --e) s.empty_words.push_back(word(below(next_id), true));
            if (chance(30)) s.text = label();
            if (chance(30)) s.sent_id = label();
            s.speaker = maybe_label();
            if (chance(30)) s.sentiment = below(5) - 1;
            for (int c = below(3); c > 0; --c) s.comments.push_back(label());
        }
        return out;
    }

    // Mentions with word positions in and around their sentence, some of
    // them naming empty words.
    std::vector<CorefChain> chains(const DocumentStorage& d) {
        auto position = [&](std::size_t s) {
            const std::size_t words =
                s < d.sentence_count() ? d.sentence_word_offsets[s + 1] - d.sentence_word_offsets[s] : 3;
            CorefWordPosition p{below(words + 2) - (chance(5) ? 2 : 0), std::nullopt};
            if (chance(20)) p.empty_index = below(3);
            return p;
        };
        std::vector<CorefChain> out;
        for (int c = below(4); c > 0; --c) {
            std::vector<CorefMention> mentions;
            for (int m = below(4); m > 0; --m) {
                const std::size_t s = below(d.sentence_count() + (chance(10) ? 2 : 0));
                const CorefWordPosition start = position(s);
                CorefWordPosition end = position(s);
                if (!start.empty_index && chance(60)) end = {start.word + below(3), std::nullopt};
                if (start.empty_index && chance(60)) end = start;
                mentions.emplace_back(static_cast<int>(s), start, end);
            }
            std::optional<int> representative;
            if (!mentions.empty() && chance(60)) representative = below(mentions.size());
            out.emplace_back(static_cast<int>(out.size()), std::move(mentions), label(), representative);
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
        EXPECT_EQ(doctest::snapshot(*d), before) << what << " round " << round << " changed the storage";
    }
}

TEST(DocumentFuzz, RandomRecordsAndEdits) {
    RecordFuzzer fuzz(7321);
    for (int round = 0; round < 1500; ++round) {
        const auto owner = std::make_shared<DocumentStorage>(fuzz.text());
        DocumentStorage& d = *owner;
        if (fuzz.chance(30)) d.lang = d.pool.intern("xx");
        if (fuzz.chance(5)) detail::StringPoolTestPeer::set_max_strings(d.pool, 3 + fuzz.below(30));
        const auto input = fuzz.sentences(d.text.codepoint_count());
        apply(owner, "build", round, [&] { d.build(input); });
        for (int step = 0; step < 12; ++step) {
            const int op = fuzz.below(6);
            if (op == 0) {
                const std::uint32_t s = fuzz.below(d.sentence_count() + 1);
                const WordInput w = fuzz.word(fuzz.below(4), true);
                apply(owner, "add_empty_word", round, [&] { d.add_empty_word(s, w); });
            } else if (op == 1) {
                const auto chains = fuzz.chains(d);
                apply(owner, "set_coref", round, [&] { d.set_coref(chains); });
            } else if (op == 2) {
                apply(owner, "reset_generated_empty_words", round, [&] { d.reset_generated_empty_words(); });
            } else if (op == 3) {
                for (std::uint32_t& tag : d.token_ner) {
                    if (fuzz.chance(30)) tag = d.pool.intern_optional(fuzz.maybe_label());
                }
                apply(owner, "rebuild_entities", round, [&] { d.rebuild_entities(); });
            } else if (op == 4) {
                const auto next = fuzz.sentences(d.text.codepoint_count());
                apply(owner, "replace", round, [&] { d.replace(next); });
            } else if (d.sentence_count() != 0) {
                d.sentence_constituency[fuzz.below(d.sentence_count())] = ConstituencyTree("S", {}).node();
            }
        }
    }
    // Both roads must be taken often enough to mean something.
    for (const char* op : {"build", "add_empty_word", "set_coref", "replace"}) {
        EXPECT_GT(outcomes[op].first, 100) << op;
        EXPECT_GT(outcomes[op].second, 100) << op;
    }
    for (const auto& [op, counts] : outcomes) {
        std::cout << op << ": " << counts.first << " done, " << counts.second << " refused\n";
    }
}

}  // namespace
