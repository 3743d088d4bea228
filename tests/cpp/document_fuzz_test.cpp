// Random valid and invalid records thrown at build and at every edit: no
// crash, a sound storage after each success, and no change at all after
// each refusal. Run it under AddressSanitizer/UBSan as well (QUELBIN_SANITIZE).
#include <gtest/gtest.h>

#include <quelbin/document_storage.hpp>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using quelbin::testing::check_invariants;
using quelbin::testing::snapshot;

class RecordFuzzer {
public:
    explicit RecordFuzzer(std::uint32_t seed) : rng_(seed) {}

    std::size_t pick(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
    bool chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }

    std::string text() {
        static const std::vector<std::string> pieces = {"a", "bc", " ", "  ", "\n", "\xC3\xA9", "\xE2\x82\xAC",
                                                        "\xF0\x9F\x98\x80", "x.", "\t"};
        std::string out;
        const std::size_t n = pick(40);
        for (std::size_t i = 0; i < n; ++i) out += pieces[pick(pieces.size())];
        return out;
    }

    std::string short_string(bool may_be_empty) {
        static const std::vector<std::string> words = {"the", "dog", "\xC3\xA9t\xC3\xA9", "B-PER", "I-PER", "E-PER",
                                                       "S-LOC", "O", "B-", "NOUN", " ", "x"};
        if (may_be_empty && chance(8)) return "";
        return words[pick(words.size())];
    }

    std::optional<std::string> maybe_string() {
        if (chance(50)) return std::nullopt;
        return short_string(true);
    }

    std::optional<std::string> tag() {
        static const std::vector<std::string> tags = {"B-PER", "I-PER", "E-PER", "L-PER", "S-PER", "U-LOC", "B-LOC",
                                                      "I-LOC", "O", "B-", "X", "b-per", "E-LOC", ""};
        if (chance(25)) return std::nullopt;
        return tags[pick(tags.size())];
    }

    int id(int typical) {
        if (chance(3)) return static_cast<int>(pick(5)) - 2;  // 0 and negatives now and then
        if (chance(1)) return chance(50) ? INT32_MIN : INT32_MAX;
        return typical;
    }

    std::optional<std::uint32_t> offset(std::uint32_t around) {
        if (chance(30)) return std::nullopt;
        if (chance(5)) return chance(50) ? 0xFFFFFFFFu : 0xFFFFFFFEu;
        return static_cast<std::uint32_t>(around + pick(4)) - (chance(20) ? 2u : 0u);
    }

    WordInput word(int id_value, bool empty) {
        WordInput w;
        w.id = id(id_value);
        if (empty || chance(2)) w.empty_index = chance(90) ? static_cast<int>(1 + pick(2)) : static_cast<int>(pick(3)) - 1;
        w.text = chance(3) ? "" : short_string(false);
        w.lemma = maybe_string();
        w.upos = maybe_string();
        w.xpos = maybe_string();
        w.feats = maybe_string();
        if (chance(50)) w.head = static_cast<int>(pick(6)) - 1;
        w.deprel = maybe_string();
        w.misc = maybe_string();
        w.start_char = offset(static_cast<std::uint32_t>(pick(30)));
        w.end_char = offset(static_cast<std::uint32_t>(pick(30)));
        if (chance(30)) w.manual_expansion = chance(50);
        for (std::size_t k = pick(3); k > 0; --k) w.morphemes.push_back(short_string(true));
        return w;
    }

    std::vector<SentenceInput> sentences(std::size_t codepoints) {
        std::vector<SentenceInput> out(pick(5));
        std::uint32_t position = 0;
        for (SentenceInput& s : out) {
            int next_id = 1;
            for (std::size_t t = pick(6); t > 0; --t) {
                TokenInput token;
                const int words = chance(15) ? 2 + static_cast<int>(pick(2)) : 1;
                token.id_start = id(next_id);
                const std::int64_t end = chance(3) ? std::int64_t{token.id_start} - 1
                                                   : std::int64_t{token.id_start} + words - 1;
                token.id_end = static_cast<int>(std::clamp<std::int64_t>(end, INT32_MIN, INT32_MAX));
                token.text = chance(2) ? "" : short_string(false);
                token.misc = maybe_string();
                token.ner = tag();
                if (chance(20)) token.multi_ner = {short_string(true), short_string(true)};
                const auto width = static_cast<std::uint32_t>(1 + pick(4));
                token.start_char = offset(position);
                token.end_char = offset(position + width);
                position += width + static_cast<std::uint32_t>(pick(2));
                if (chance(5)) position = static_cast<std::uint32_t>(codepoints + pick(3));
                if (chance(20)) token.manual_expansion = chance(50);
                token.spaces_before = chance(70) ? "" : " ";
                token.spaces_after = chance(70) ? " " : "";
                for (int w = 0; w < words; ++w) token.words.push_back(word(next_id + w, false));
                next_id += words;
                s.tokens.push_back(std::move(token));
            }
            for (std::size_t e = pick(3); e > 0; --e) s.empty_words.push_back(word(static_cast<int>(pick(next_id)), true));
            if (chance(30)) s.text = short_string(true);
            if (chance(30)) s.sent_id = short_string(true);
            s.speaker = maybe_string();
            s.doc_id = maybe_string();
            if (chance(30)) s.sentiment = static_cast<int>(pick(5)) - 1;
            for (std::size_t c = pick(3); c > 0; --c) s.comments.push_back(short_string(true));
        }
        return out;
    }

    CorefWordPosition position(const DocumentStorage& d, std::size_t sentence) {
        CorefWordPosition p;
        const std::size_t words =
            sentence < d.sentence_count() ? d.sentence_word_offsets[sentence + 1] - d.sentence_word_offsets[sentence] : 3;
        p.word = static_cast<int>(pick(words + 2)) - (chance(5) ? 2 : 0);
        if (chance(20)) p.empty_index = static_cast<int>(pick(3));
        return p;
    }

    std::vector<CorefChain> chains(const DocumentStorage& d) {
        std::vector<CorefChain> out;
        for (std::size_t c = pick(4); c > 0; --c) {
            std::vector<CorefMention> mentions;
            for (std::size_t m = pick(4); m > 0; --m) {
                const std::size_t s = pick(d.sentence_count() + (chance(10) ? 2 : 0));
                CorefWordPosition start = position(d, s);
                CorefWordPosition end = chance(60) && !start.empty_index
                                            ? CorefWordPosition{start.word + static_cast<int>(pick(3)), std::nullopt}
                                            : position(d, s);
                if (start.empty_index && chance(60)) end = start;
                mentions.emplace_back(static_cast<int>(s), start, end);
            }
            std::optional<int> representative;
            if (!mentions.empty() && chance(60)) representative = static_cast<int>(pick(mentions.size()));
            out.emplace_back(static_cast<int>(out.size()), std::move(mentions), short_string(true), representative);
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

bool is_expected_failure(const std::exception& e) {
    return dynamic_cast<const std::invalid_argument*>(&e) || dynamic_cast<const std::out_of_range*>(&e) ||
           dynamic_cast<const std::logic_error*>(&e) || dynamic_cast<const std::overflow_error*>(&e);
}

// Runs an operation; on success the storage must be sound, on failure it must
// be exactly what it was.
std::map<std::string, std::pair<int, int>> outcomes;  // operation: successes, refusals

template <class Op>
bool apply(DocumentStorage& d, const char* what, int round, Op&& op) {
    const std::string before = snapshot(d);
    try {
        op();
        ++outcomes[what].first;
    } catch (const std::exception& e) {
        ++outcomes[what].second;
        EXPECT_TRUE(is_expected_failure(e)) << what << " round " << round << ": " << e.what();
        EXPECT_EQ(snapshot(d), before) << what << " round " << round << " failed with " << e.what()
                                       << " and changed the storage";
        return false;
    }
    const std::string broken = check_invariants(d);
    EXPECT_EQ(broken, "") << what << " round " << round;
    return broken.empty();
}

TEST(DocumentFuzz, RandomRecordsAndEdits) {
    RecordFuzzer fuzz(7321);
    int built = 0, refused = 0;
    for (int round = 0; round < 1500; ++round) {
        DocumentStorage d(fuzz.text());
        if (fuzz.chance(30)) d.lang = d.pool.intern("xx");
        if (fuzz.chance(5)) quelbin::detail::StringPoolTestPeer::set_max_strings(d.pool, 3 + fuzz.pick(30));
        const auto input = fuzz.sentences(d.text.codepoint_count());
        if (apply(d, "build", round, [&] { d.build(input); })) {
            ++built;
            EXPECT_EQ(d.sentence_count(), input.size());
        } else {
            ++refused;
        }
        for (int step = 0; step < 12; ++step) {
            switch (fuzz.pick(6)) {
                case 0: {
                    const auto s = static_cast<std::uint32_t>(fuzz.pick(d.sentence_count() + 1));
                    WordInput w = fuzz.word(static_cast<int>(fuzz.pick(4)), true);
                    apply(d, "add_empty_word", round, [&] { d.add_empty_word(s, w); });
                    break;
                }
                case 1: {
                    const auto chains = fuzz.chains(d);
                    apply(d, "set_coref", round, [&] { d.set_coref(chains); });
                    break;
                }
                case 2:
                    apply(d, "reset_generated_empty_words", round, [&] { d.reset_generated_empty_words(); });
                    break;
                case 3: {
                    for (std::size_t t = 0; t < d.token_count(); ++t) {
                        if (fuzz.chance(30)) d.token_ner[t] = d.pool.intern_optional(fuzz.tag());
                    }
                    apply(d, "rebuild_entities", round, [&] { d.rebuild_entities(); });
                    break;
                }
                case 4: {
                    const auto next = fuzz.sentences(d.text.codepoint_count());
                    apply(d, "replace", round, [&] { d.replace(next); });
                    break;
                }
                default: {
                    if (d.sentence_count() == 0) break;
                    const auto s = static_cast<std::uint32_t>(fuzz.pick(d.sentence_count()));
                    d.sentence_constituency[s] = ConstituencyTree("S", {ConstituencyTree("x", {})}).node();
                    break;
                }
            }
        }
    }
    // Both roads must be taken often enough to mean something.
    EXPECT_GT(built, 100);
    EXPECT_GT(refused, 100);
    for (const char* op : {"add_empty_word", "set_coref", "replace"}) {
        EXPECT_GT(outcomes[op].first, 100) << op;
        EXPECT_GT(outcomes[op].second, 100) << op;
    }
    for (const auto& [op, counts] : outcomes) {
        std::cout << op << ": " << counts.first << " done, " << counts.second << " refused\n";
    }
}

TEST(DocumentFuzz, InvalidTextNeverMakesAStorage) {
    std::mt19937 rng(99);
    int refused = 0;
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        for (std::size_t n = rng() % 10; n > 0; --n) text.push_back(static_cast<char>(rng() % 256));
        try {
            DocumentStorage d(text);
            EXPECT_EQ(d.text.byte_offset(d.text.codepoint_count()), text.size());
        } catch (const std::invalid_argument& e) {
            ++refused;
            EXPECT_EQ(std::string(e.what()).rfind("invalid UTF-8 sequence at byte offset ", 0), 0u);
        }
    }
    EXPECT_GT(refused, 1000);
}

}  // namespace
