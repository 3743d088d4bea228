// The e-mail/URL matcher against the backtracking search for the pattern it
// stands for, over generated text and over text on which that search takes
// quadratic time.
#include "tokenize/byte_regex.hpp"
#include "tokenize/email_url_match.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelbin::detail {
namespace {

using Matches = std::vector<std::pair<std::size_t, std::size_t>>;

// The pattern as the tokenizer searched for it with a backtracking engine.
const ByteRegex& backtracking_email_url() {
    static const ByteRegex regex{
        R"re((?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,})))re"};
    return regex;
}

Matches new_matches(const std::string& text) {
    Matches found;
    for_each_email_or_url(text, [&](std::size_t b, std::size_t e) { found.emplace_back(b, e); });
    return found;
}

Matches old_matches(const std::string& text) {
    Matches found;
    backtracking_email_url().for_each_match(text,
                                            [&](std::size_t b, std::size_t e) { found.emplace_back(b, e); });
    return found;
}

// Short texts glued from pieces that reach every branch of the pattern: the
// classes' edges, the words it looks for, and whole or broken addresses.
std::string piece_text(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {
        "a", "b", "z", "A", "Q", "0", "1", "2", "5", "9", "25", "255", "256", "199", "-", ".", "..",
        "@", "@", "\"", "\"", "\\", "\\", "[", "]", ":", " ", "\t", "/", "_", "!", "~", "#", "http",
        "https", "://", "http://", "https://", "www", "www.", "com", "co", "org", "gov", "edu",
        "net", ".com", ".co.", "\x01", "\x09", "\x7f", "\x80", "\xc3\xa9", "\n", "\r", "\x0b",
        std::string(1, '\0'), "a@b.c", "x.org.uk", "[1.2.3.4]", "@[10.0.0.", "1.2.3.ab:", "@[1.2.3.t:",
        "\\]", "\\\\", "\\ ", "\\\"", "a-", "-b", "1.1.1", "a.a.a", "mr.smith@example.com"};
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), count(1, 40);
    std::string text;
    for (std::size_t i = count(rng); i > 0; --i) text += pieces[pick(rng)];
    return text;
}

// Words, sentence marks and many addresses and URLs, well-formed or not.
std::string address_text(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    static const std::vector<std::string> words = {
        "the", "Report", "of", "year", "1.1.1", "v2.0.13", "a.b", "e.g.", "U.S.", "García", "東京",
        "$1,250.00", "12/05/2020", "(555)", "x1234", "Name:", "3.14", "—", "\"quoted\"", "[note]"};
    static const std::vector<std::string> addresses = {
        "john.doe@example.com", "a@b.c", "x@y", "first.last@sub-domain.example.org",
        "\"john doe\"@example.com", "\"a\\\"b\"@x.io", "user@[192.168.0.1]", "user@[1.2.3.tag:x\\]y]",
        "user@-bad.com", "User@Example.com", "a..b@c.d", "a.@b.c", "http://www.example.com/path?q=1",
        "https://example.org", "http://a.b", "http://www", "http://wwwx.com/a", "www.wikipedia.org",
        "www.a.bc", "www.a-b.cd/e\"f", "docs.python.org", "site.co.uk/x", "site.com", "h.gov.x",
        "ftp://x.org", "a@b.c@d.e", "1.1.1.1@2.2", "e@x.com.", "http://x.com\"quoted"};
    std::uniform_int_distribution<int> kind(0, 9);
    std::string text;
    while (text.size() < size) {
        const int k = kind(rng);
        if (k < 6) text += words[rng() % words.size()];
        else if (k < 9) text += addresses[rng() % addresses.size()];
        else text += piece_text(rng);
        text += (rng() % 8 == 0) ? ". " : (rng() % 16 == 0) ? "" : " ";
    }
    return text;
}

// Which alternative of the pattern a match took (as far as its text shows).
std::string kind_of(std::string_view match) {
    const std::size_t at = match.find('@');
    if (at != std::string_view::npos) {
        if (match[0] == '"') return "quoted e-mail";
        if (match.substr(at, 2) != "@[") return "e-mail";
        return match.find(':', at) == std::string_view::npos ? "e-mail at numbers" : "e-mail at tag";
    }
    if (match.substr(0, 4) == "http") return "scheme URL";
    return match.substr(0, 4) == "www." ? "www URL" : "bare URL";
}

// Short generated texts and 1 MB of text full of addresses: the same matches
// in the same order, every alternative of the pattern taken many times.
TEST(EmailUrlMatch, SameMatchesAsTheBacktrackingSearch) {
    std::mt19937 rng(49);
    std::map<std::string, std::size_t> kinds;
    const auto compare = [&](const std::string& text) {
        const Matches expected = old_matches(text);
        ASSERT_EQ(new_matches(text), expected) << ::testing::PrintToString(text);
        for (const auto& [b, e] : expected) ++kinds[kind_of(std::string_view(text).substr(b, e - b))];
    };
    for (int i = 0; i < 60'000; ++i) compare(piece_text(rng));
    for (unsigned seed = 0; seed < 4; ++seed) compare(address_text(256 * 1024, seed));
    for (const char* kind : {"e-mail", "quoted e-mail", "e-mail at numbers", "e-mail at tag", "scheme URL",
                             "www URL", "bare URL"}) {
        EXPECT_GT(kinds[kind], 500u) << kind;
    }
}

// Byte ranges chosen at the pattern's edges. On an address literal's text
// full of backslashes and without its "]", the backtracking search gave up at
// its match limit; the matcher settles it.
TEST(EmailUrlMatch, HandPickedMatches) {
    const std::string literal = "a@[1.2.3.t:" + std::string(60, '\\');
    const struct {
        std::string text;
        Matches expected;
    } cases[] = {
        // Case-sensitive: the local part starts after the last upper-case letter.
        {"JOHN.Doe@example.com", {{6, 20}}},
        {"JOHN.Doe@Example.com", {}},
        {"see www.ab.cd and http://www.x.org/a\"b", {{4, 13}, {18, 36}}},
        {"mail me at a@b", {}},
        {"a@b.c-.d e@f.g. h@i.j-k", {{0, 5}, {9, 14}, {16, 23}}},
        {literal + "]", {{0, 72}}},
        {literal + "]x] b]", {{0, 74}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(new_matches(c.text), c.expected) << c.text;
        EXPECT_EQ(old_matches(c.text), c.expected) << c.text;
    }
    EXPECT_TRUE(new_matches(literal).empty());
    EXPECT_THROW(old_matches(literal), RegexMatchError);
}

std::string repeat(const std::string& piece, std::size_t size) {
    std::string out;
    while (out.size() < size) out += piece;
    return out;
}

// Text on which a search from every start scans to the paragraph's end (the
// tokenizer's time on it at full size is tested with the tokenizer).
TEST(EmailUrlMatch, AdversarialTextAsTheBacktrackingSearch) {
    const std::size_t size = 16 * 1024;
    const std::string texts[] = {
        repeat("1.", size),      repeat("a.", size),         repeat("a@a.", size),
        repeat("a", size) + ".", repeat("a", size) + "@" + repeat("b", size),
        "\"" + repeat("\\\"", size), repeat("a@[1.2.3.t:", size), "http://" + repeat("http:", size),
        repeat("www.a", size),   repeat("a@", size),
    };
    for (const std::string& text : texts) EXPECT_EQ(new_matches(text), old_matches(text)) << text.substr(0, 20);
}

}  // namespace
}  // namespace quelbin::detail
