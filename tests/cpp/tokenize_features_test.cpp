// Tokenizer features, the PCRE2 expressions against the standard library's, and
// the e-mail/URL rule.
#include "tokenize/features.hpp"

#include <quelbin/errors.hpp>

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace quelbin::detail {
namespace {

TokenizerPlan::Impl make_impl(std::vector<std::string> feat_funcs, std::int64_t feat_dim) {
    TokenizerPlan::Impl impl;
    impl.feat_funcs = std::move(feat_funcs);
    impl.feat_dim = feat_dim;
    return impl;
}

Paragraph units_of(const std::string& text) { return to_char_units(text); }

// Column `column` of every row.
std::vector<float> column_of(const std::vector<float>& rows, std::size_t width, std::size_t column) {
    std::vector<float> values;
    for (std::size_t i = column; i < rows.size(); i += width) values.push_back(rows[i]);
    return values;
}

std::vector<float> marks(const std::string& pattern01) {
    std::vector<float> values;
    for (char c : pattern01) values.push_back(c == '1' ? 1.0f : 0.0f);
    return values;
}

TEST(TokenizeFeatures, SimpleAndEdgeColumnsInConfigurationOrder) {
    const auto impl = make_impl({"space_before", "capitalized", "numeric", "end_of_para", "start_of_para"}, 5);
    const std::vector<float> rows = compute_unit_features(impl, units_of("Ab 1"));
    const std::vector<float> expected = {
        0, 1, 0, 0, 1,  // A
        0, 0, 0, 0, 0,  // b
        1, 0, 0, 0, 0,  // space
        0, 0, 1, 1, 0,  // 1
    };
    EXPECT_EQ(rows, expected);

    // Duplicated simple names give two columns; edges are placed after the
    // simple columns whatever their position, and listed twice count once.
    const auto reordered = make_impl({"start_of_para", "numeric", "end_of_para", "capitalized", "numeric",
                                      "start_of_para"}, 5);
    EXPECT_EQ(compute_unit_features(reordered, units_of("7")), (std::vector<float>{1, 0, 1, 1, 1}));

    const auto single = make_impl({"end_of_para", "start_of_para"}, 2);
    EXPECT_EQ(compute_unit_features(single, units_of("x")), (std::vector<float>{1, 1}));
}

TEST(TokenizeFeatures, WidthMustMatchFeatDim) {
    const std::vector<std::pair<std::vector<std::string>, std::int64_t>> wrong = {
        {{"space_before", "capitalized", "numeric", "end_of_para", "start_of_para"}, 4},
        {{"numeric", "numeric"}, 1},
        {{"end_of_para", "end_of_para"}, 2},
        {{"currency", "currency"}, 2},
        {{}, 1},
    };
    for (const auto& [names, width] : wrong) {
        const auto impl = make_impl(names, width);
        try {
            compute_unit_features(impl, units_of("ab"));
            ADD_FAILURE() << "width " << width << " accepted";
        } catch (const TokenizerModelError& error) {
            EXPECT_STREQ(error.what(), "tokenizer feature dimension does not match feat_funcs");
        }
    }
    auto dictionary = make_impl({"numeric"}, 5);
    dictionary.use_dictionary = true;
    dictionary.num_dict_feat = 2;
    dictionary.feat_dim = 4;
    EXPECT_THROW(compute_unit_features(dictionary, units_of("ab")), TokenizerModelError);
    dictionary.feat_dim = 5;
    EXPECT_EQ(compute_unit_features(dictionary, units_of("ab")).size(), 10u);
}

TEST(TokenizeFeatures, DigitsAndCapitals) {
    const auto impl = make_impl({"numeric", "capitalized"}, 2);
    const struct {
        const char* text;
        float numeric;
        float capitalized;
    } cases[] = {
        {"5", 1, 0},           {"\xD9\xA0", 1, 0},  // U+0660
        {"\xEF\xBC\x90", 1, 0},                     // U+FF10
        {"\xC2\xB2", 0, 0},                         // U+00B2, category No
        {"\xF0\x91\xBD\x90", 1, 0},                 // U+11F50, Kawi digit zero
        {"\xF0\x9F\xAF\xB9", 1, 0},                 // U+1FBF9
        {"\xF0\x9D\x9F\xBF", 1, 0},                 // U+1D7FF
        {"\xE2\x85\xA0", 0, 1},                     // U+2160 ROMAN NUMERAL ONE: Nl, upper case
        {"Q", 0, 1},           {"q", 0, 0},           {" ", 0, 0},
        {"\xC3\x89", 0, 1},    {"\xC7\x85", 0, 0},  // U+01C5, title case
        {"\xE6\x9D\xB1", 0, 0},
    };
    for (const auto& c : cases) {
        const std::vector<float> row = compute_unit_features(impl, units_of(c.text));
        ASSERT_EQ(row.size(), 2u);
        EXPECT_EQ(row[0], c.numeric) << c.text;
        EXPECT_EQ(row[1], c.capitalized) << c.text;
    }
}

TEST(TokenizeFeatures, StructuralColumnsInFixedOrder) {
    // currency listed first still comes after labeled_field, phone_id and date_pattern.
    const auto impl = make_impl({"currency", "date_pattern", "labeled_field", "phone_id"}, 4);
    const std::string text = "Name: $1,000.50 on 12/05/2020 call (555) 123-4567 x1234";
    const std::vector<float> rows = compute_unit_features(impl, units_of(text));
    ASSERT_EQ(rows.size(), text.size() * 4);
    const std::string labeled = "11111" + std::string(text.size() - 5, '0');
    std::string currency(text.size(), '0');
    currency.replace(6, 9, "111111111");
    std::string date(text.size(), '0');
    date.replace(19, 10, "1111111111");
    std::string phone(text.size(), '0');
    phone.replace(35, 14, std::string(14, '1'));
    phone.replace(50, 5, "11111");
    EXPECT_EQ(column_of(rows, 4, 0), marks(labeled));
    EXPECT_EQ(column_of(rows, 4, 1), marks(phone));
    EXPECT_EQ(column_of(rows, 4, 2), marks(date));
    EXPECT_EQ(column_of(rows, 4, 3), marks(currency));
}

TEST(TokenizeFeatures, MatchesCoverWholeMultiByteUnits) {
    const auto impl = make_impl({"labeled_field", "date_pattern"}, 2);
    // "é" (two bytes) before the field: the match starts at the capital after it.
    const std::string text = "\xC3\xA9 Titre Deux: March 3, 2024";
    const std::vector<float> rows = compute_unit_features(impl, units_of(text));
    const std::size_t units = to_char_units(text).size();
    ASSERT_EQ(units, 27u);
    EXPECT_EQ(column_of(rows, 2, 0), marks("0011111111111000000000000" "00"));
    EXPECT_EQ(column_of(rows, 2, 1), marks("00000000000000111111111111" "1"));
}

TEST(TokenizeFeatures, LexiconWindows) {
    auto impl = make_impl({}, 4);
    impl.use_dictionary = true;
    impl.num_dict_feat = 2;
    for (const char* word : {"xy", "abc"}) impl.lexicon_words.insert(word);
    for (const char* prefix : {"x", "a", "ab"}) impl.lexicon_prefixes.insert(prefix);
    for (const char* suffix : {"y", "c", "bc"}) impl.lexicon_suffixes.insert(suffix);

    // x followed by Y: the neighbour is lower-cased, so xy is found forward.
    EXPECT_EQ(compute_unit_features(impl, units_of("xY")), (std::vector<float>{1, 0, 0, 0,  //
                                                                                0, 0, 0, 0}));
    // X followed by y: the unit's own text is not lower-cased, so nothing forward;
    // backward from y the neighbour X is lower-cased and xy is found.
    EXPECT_EQ(compute_unit_features(impl, units_of("Xy")), (std::vector<float>{0, 0, 0, 0,  //
                                                                                0, 0, 1, 0}));
    // abc: forward at a (window 2), backward at c (window 2), xy nowhere.
    EXPECT_EQ(compute_unit_features(impl, units_of("aBC")), (std::vector<float>{0, 1, 0, 0,  //
                                                                                 0, 0, 0, 0,  //
                                                                                 0, 0, 0, 0}));
    EXPECT_EQ(compute_unit_features(impl, units_of("abc")), (std::vector<float>{0, 1, 0, 0,  //
                                                                                 0, 0, 0, 0,  //
                                                                                 0, 0, 0, 1}));
    // A window too small to reach the end of a word finds nothing.
    impl.num_dict_feat = 1;
    impl.feat_dim = 2;
    EXPECT_EQ(compute_unit_features(impl, units_of("abc")), (std::vector<float>(6, 0.0f)));
}

TEST(TokenizeFeatures, LexiconSearchStopsWhenNoPrefixContinues) {
    auto impl = make_impl({}, 6);
    impl.use_dictionary = true;
    impl.num_dict_feat = 3;
    impl.lexicon_words.insert("abcd");  // reachable only through the prefixes below
    impl.lexicon_prefixes.insert("ab");  // "abc" missing: the forward search closes after it
    const std::vector<float> rows = compute_unit_features(impl, units_of("abcd"));
    EXPECT_EQ(rows[2], 0.0f) << "abcd must not be found once abc closed the search";
    impl.lexicon_prefixes.insert("abc");
    EXPECT_EQ(compute_unit_features(impl, units_of("abcd"))[2], 1.0f);
}

// -- the expressions against the standard library engine -------------------------------------

struct PatternPair {
    const char* name;
    const ByteRegex& pcre;
    std::string source;
};

std::vector<PatternPair> all_patterns() {
    return {
        {"labeled_field", labeled_field_regex(), R"(\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:)"},
        {"phone_id", phone_id_regex(),
         R"((?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b))"},
        {"date_pattern", date_pattern_regex(),
         R"((?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December)\s+[0-9]{1,2},?\s+[0-9]{4}\b))"},
        {"currency", currency_regex(), R"(\$\s?[0-9][0-9,]*(?:\.[0-9]+)?)"},
        {"email_url", email_url_regex(),
         R"re((?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,})))re"},
    };
}

using Matches = std::vector<std::pair<std::size_t, std::size_t>>;

Matches pcre_matches(const ByteRegex& regex, const std::string& text) {
    Matches found;
    regex.for_each_match(text, [&](std::size_t begin, std::size_t end) { found.emplace_back(begin, end); });
    return found;
}

Matches std_matches(const std::regex& regex, const std::string& text) {
    Matches found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), regex); it != std::sregex_iterator(); ++it) {
        const auto begin = static_cast<std::size_t>(it->position(0));
        found.emplace_back(begin, begin + static_cast<std::size_t>(it->length(0)));
    }
    return found;
}

// Short strings built from pieces that make the expressions match, nearly
// match and fail: field names, phone and date shapes, prices, addresses, URLs,
// whitespace, quotes, brackets and multi-byte characters.
std::vector<std::string> generated_corpus(std::size_t count) {
    const std::vector<std::string> pieces = {
        "a", "Z", "x", "Qu", "Name", "Last Name", "ab", "7", "12", "123", "4567", "2020", "99", "0",
        " ", "  ", "\t", "\n", "\v", "\f", "\r", ":", " :", ",", ".", "-", "/", "(", ")", "$", "$ ",
        "@", "\"", "\\", "[", "]", "_", "+", "'", "`", "~", "!", "?", "=", "#", "%", "&", "*", "{", "}",
        "|", "^", "January", "March ", "December", "http://", "https://", "www.", "www", ".com", ".org",
        ".co", ".gov", ".uk", "example", "john.doe", "mail-1", "255", "192.168", "x1234", "555-123-4567",
        "(555) ", "1,000", ".50", "1/2/", "12/31/", "/2020", "January 5, 2021", "May 12 1999", "\xC3\xA9", "\xC2\xA0", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80", "\x01", "\x7f",
    };
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 12);
    std::vector<std::string> corpus;
    corpus.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string text;
        for (int k = length(rng); k > 0; --k) text += pieces[piece(rng)];
        corpus.push_back(std::move(text));
    }
    return corpus;
}

TEST(TokenizeRegex, SameMatchesAsTheStandardLibraryEngine) {
    const std::vector<std::string> corpus = generated_corpus(6000);
    for (const PatternPair& pattern : all_patterns()) {
        const std::regex reference(pattern.source, std::regex::ECMAScript | std::regex::optimize);
        std::size_t matched_texts = 0;
        std::size_t mismatches = 0;
        for (const std::string& text : corpus) {
            const Matches expected = std_matches(reference, text);
            const Matches actual = pcre_matches(pattern.pcre, text);
            if (!expected.empty()) ++matched_texts;
            if (expected != actual && ++mismatches <= 5) {
                ADD_FAILURE() << pattern.name << " differs on " << ::testing::PrintToString(text);
            }
        }
        EXPECT_EQ(mismatches, 0u) << pattern.name;
        // The corpus exercises every expression, not only its failures.
        EXPECT_GT(matched_texts, 50u) << pattern.name;
    }
}

TEST(TokenizeRegex, HandPickedSemantics) {
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
        // Case-sensitive: the local part starts after the last upper-case letter.
        {email_url_regex(), "JOHN.Doe@example.com", {{6, 20}}},
        {email_url_regex(), "JOHN.Doe@Example.com", {}},
        {email_url_regex(), "see www.ab.cd and http://www.x.org/a\"b", {{4, 13}, {18, 36}}},
        {email_url_regex(), "mail me at a@b", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(pcre_matches(c.regex, c.text), c.expected) << c.text;
}

TEST(TokenizeRegex, VeryLongRunsDoNotCrash) {
    const std::size_t n = 100000;
    std::string dotted = "ab";
    while (dotted.size() < n) dotted += ".ab";
    // A local part ending in a dot can never reach the at sign: every start
    // position scans the rest of the run (quadratic, so kept shorter).
    std::string failing;
    while (failing.size() < n / 5) failing += "ab.";
    const std::vector<std::string> runs = {
        "$1" + std::string(n, '9'),
        std::string(n, '7') + ".",
        std::string(n, 'a') + "@example.com",
        std::string(n, 'A'),
        "http://www." + std::string(n, 'a') + ".com/" + std::string(1000, 'x'),
        "www." + dotted,
        dotted + "@" + dotted,
        "\"" + std::string(n, 'q') + "\"@x.org",
        "x@[" + std::string(n, '1') + "]",
        "Aa " + std::string(n, 'B') + ":",
        failing + "@" + failing,
    };
    const auto everything = make_impl({"labeled_field", "phone_id", "date_pattern", "currency"}, 4);
    for (const std::string& run : runs) {
        const Paragraph paragraph = units_of(run);
        EXPECT_NO_THROW(compute_unit_features(everything, paragraph));
        std::vector<std::int64_t> labels(paragraph.size(), 1);
        EXPECT_NO_THROW(mask_emails_and_urls(paragraph, labels));
    }
    // The whole digit run is one currency match.
    const Paragraph money = units_of(runs[0]);
    const auto currency = make_impl({"currency"}, 1);
    const std::vector<float> rows = compute_unit_features(currency, money);
    EXPECT_EQ(rows.front(), 1.0f);
    EXPECT_EQ(rows.back(), 1.0f);
}

// -- the e-mail/URL rule -----------------------------------------------------------------------

TEST(TokenizeEmailUrlRule, MakesEveryMatchOneToken) {
    const struct {
        std::string text;
        std::vector<std::int64_t> labels;
        std::vector<std::int64_t> expected;
    } cases[] = {
        // Neither "@" nor ".": unchanged.
        {"ab cd", {1, 2, 3, 4, 2}, {1, 2, 3, 4, 2}},
        // A URL split inside becomes one token ending at its last character (0 -> 1).
        {"www.ab.cd x", {0, 0, 1, 2, 0, 3, 4, 0, 0, 0, 2}, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}},
        // A label 1 to 4 on the last character stays.
        {"a@b.cd", {0, 1, 0, 2, 0, 4}, {0, 0, 0, 0, 0, 4}},
        {"a@b.cd!", {0, 1, 0, 2, 0, 3, 2}, {0, 0, 0, 0, 0, 3, 2}},
        // Two matches that touch form one run.
        {"a@b.cd_x@y.ef", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}},
        // A dot without a match changes nothing.
        {"end. x", {0, 0, 2, 0, 0, 2}, {0, 0, 2, 0, 0, 2}},
    };
    for (const auto& c : cases) {
        std::vector<std::int64_t> labels = c.labels;
        mask_emails_and_urls(units_of(c.text), labels);
        EXPECT_EQ(labels, c.expected) << c.text;
    }
}

}  // namespace
}  // namespace quelbin::detail
