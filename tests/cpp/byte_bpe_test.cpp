// Byte-level BPE: strict UTF-8 decoding, the character classes against ICU,
// byte symbols, pre-splitting, merges, construction checks and encoding.
#include <gtest/gtest.h>

#include "encoders/byte_bpe.hpp"
#include "encoders/subword_text.hpp"

#include <quelbin/subword_bpe.hpp>

#include <unicode/uchar.h>

#include <array>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace quelbin;
using namespace quelbin::detail;

std::string error_of(const std::string& bytes) {
    try {
        decode_utf8(bytes.data(), bytes.size());
    } catch (const SubwordError& error) {
        return error.what();
    }
    return "no error";
}

TEST(SubwordDecodeUtf8, EachFailureAtItsOffset) {
    const std::string sixteen = "abcdefghijklmnop";
    const std::pair<std::string, int> rows[] = {
        {"\xC3", 0},                      // runs past the end
        {"a\xE2\x82", 1},                 // runs past the end, after a letter
        {"a\xC3\x28", 2},                 // bad continuation: its own offset
        {"\xE2\x28\xA1", 1},
        {"\xF0\x9F\x98\x28", 3},
        {"\xED\xA0\x80", 0},              // surrogate
        {"\xC0\x80", 0},                  // overlong, two bytes
        {"\xC1\xBF", 0},
        {"\xE0\x80\xAF", 0},              // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", 0},          // overlong, four bytes
        {"\xF4\x90\x80\x80", 0},          // above U+10FFFF
        {"\x80", 0},                      // continuation byte as a lead
        {"ab\xBF", 2},
        {"ab\xF8\x80\x80\x80\x80", 2},    // no five-byte forms
        {"\xFF", 0},
        {sixteen + "q\xC3", 17},          // past the ASCII fast path's first block
    };
    for (const auto& [bytes, offset] : rows) {
        EXPECT_EQ(error_of(bytes), "invalid UTF-8 sequence at byte offset " + std::to_string(offset))
            << bytes;
    }
}

TEST(SubwordDecodeUtf8, CodePointsWithByteRanges) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    const auto cps = decode_utf8(text.data(), text.size());
    const std::vector<std::array<std::uint64_t, 3>> want = {
        {0x61, 0, 1}, {0xE9, 1, 3}, {0x20AC, 3, 6}, {0x1F600, 6, 10}, {0x10FFFF, 10, 14}};
    ASSERT_EQ(cps.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(cps[i].code_point, want[i][0]);
        EXPECT_EQ(cps[i].begin, want[i][1]);
        EXPECT_EQ(cps[i].end, want[i][2]);
    }
    const std::string ascii(40, 'x');
    const auto plain = decode_utf8(ascii.data(), ascii.size());
    ASSERT_EQ(plain.size(), 40u);
    EXPECT_EQ(plain[39].begin, 39u);
    EXPECT_TRUE(decode_utf8("", 0).empty());
}

// ICU 72 has Unicode 15.0; 15.1 added only the ideographs U+2EBF0..U+2EE5D to
// these classes.
TEST(SubwordClasses, EveryCodePointMatchesIcu) {
    int mismatches = 0;
    for (UChar32 cp = 0; cp <= 0x10FFFF; ++cp) {
        const int mask = U_MASK(u_charType(cp));
        bool letter = mask & U_GC_L_MASK;
        if (cp >= 0x2EBF0 && cp <= 0x2EE5D) letter = true;
        const bool ok = is_subword_letter(cp) == letter &&
                        is_subword_mark(cp) == static_cast<bool>(mask & U_GC_M_MASK) &&
                        is_subword_number(cp) == static_cast<bool>(mask & U_GC_N_MASK);
        if (!ok && ++mismatches <= 20) ADD_FAILURE() << "code point " << std::hex << cp;
    }
    EXPECT_EQ(mismatches, 0);
    std::set<std::uint32_t> spaces;
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (is_subword_whitespace(cp)) spaces.insert(cp);
    }
    const std::set<std::uint32_t> want = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F,
                                          0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2001, 0x2002,
                                          0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009,
                                          0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    EXPECT_EQ(spaces, want);
}

TEST(ByteSymbols, PrintableBytesStandForThemselvesTheRestFromU0100) {
    const std::pair<unsigned, std::uint32_t> rows[] = {
        {0x00, 0x100}, {0x20, 0x120}, {0x21, 0x21}, {0x7E, 0x7E}, {0x7F, 0x121},
        {0xA0, 0x142}, {0xA1, 0xA1}, {0xAC, 0xAC}, {0xAD, 0x143}, {0xAE, 0xAE}, {0xFF, 0xFF}};
    for (const auto& [byte, cp] : rows) EXPECT_EQ(byte_symbol_code_point(byte), cp) << byte;
    std::set<std::string> symbols;
    for (unsigned b = 0; b < 256; ++b) symbols.insert(byte_symbol(static_cast<unsigned char>(b)));
    EXPECT_EQ(symbols.size(), 256u);
    EXPECT_EQ(byte_symbol(0x20), "\xC4\xA0");
}

std::string split(const std::string& text) {
    const auto cps = decode_utf8(text.data(), text.size());
    std::string out;
    for (const ByteRange& r : byte_bpe_pre_split(cps)) {
        if (!out.empty()) out += "/";
        out += text.substr(r.begin, r.end - r.begin);
    }
    return out;
}

TEST(ByteBPEPreSplit, ContractionsClassesAndCarriedSpaces) {
    const std::pair<std::string, std::string> rows[] = {
        {"a  b", "a/  /b"},
        {"a b", "a/ b"},
        {"x\n y", "x/\n /y"},
        {"don't", "don/'t"},
        {"DON'T", "DON/'/T"},
        {"it'S", "it/'/S"},
        {"abc123!?", "abc/123/!?"},
        {"we'll've'd'm're", "we/'ll/'ve/'d/'m/'re"},
        {"'", "'"},
        {"'x", "'/x"},
        {"e\xCC\x81t\xCC\x81", "e\xCC\x81t\xCC\x81"},  // marks stay with letters
        {"\xCC\x81\xCC\x82" "a!\xCC\x81", "\xCC\x81\xCC\x82" "a/!/\xCC\x81"},  // marks without a base
        {" hello world", " hello/ world"},
        {"a\tb", "a/\t/b"},
        {"a\xC2\xA0" "b", "a/\xC2\xA0/b"},
        {"  ", "  "},
        {"a ", "a/ "},
        {" 's", " '/s"},
        {"x\xC2\xB2\xC2\xBD", "x/\xC2\xB2\xC2\xBD"},  // superscript two, one half
        {"", ""},
    };
    for (const auto& [text, want] : rows) EXPECT_EQ(split(text), want) << text;
}

// The 256 byte symbols, then the special tokens, then `extra`.
std::vector<std::string> vocabulary_with(const std::vector<std::string>& extra) {
    std::vector<std::string> vocab;
    for (unsigned b = 0; b < 256; ++b) vocab.push_back(byte_symbol(static_cast<unsigned char>(b)));
    vocab.insert(vocab.end(), {"<unk>", "<s>", "</s>"});
    vocab.insert(vocab.end(), extra.begin(), extra.end());
    return vocab;
}

using Merges = std::vector<std::pair<std::string, std::string>>;

std::string construction_error(std::vector<std::string> vocab, Merges merges,
                               std::string unk = "<unk>") {
    try {
        ByteBPETokenizer(std::move(vocab), std::move(merges), unk, "<s>", "</s>", false);
    } catch (const SubwordError& error) {
        return error.what();
    }
    return "built";
}

TEST(ByteBPETokenizer, ConstructionChecksInOrder) {
    std::vector<std::string> no_zero = vocabulary_with({});
    no_zero.erase(no_zero.begin());
    const std::string missing = "byte-level BPE vocabulary is missing token: ";
    EXPECT_EQ(construction_error({}, {}), "byte-level BPE vocabulary cannot be empty");
    EXPECT_EQ(construction_error(vocabulary_with({"ab", "ab"}), {{"q", "x"}}),
              "byte-level BPE vocabulary contains a duplicate token");
    EXPECT_EQ(construction_error(vocabulary_with({}), {}, "[UNK]"), missing + "[UNK]");
    EXPECT_EQ(construction_error(no_zero, {}), missing + "\xC4\x80");
    EXPECT_EQ(construction_error(vocabulary_with({"ab"}), {{"ab", "zz"}}), missing + "zz");
    EXPECT_EQ(construction_error(vocabulary_with({}), {{"a", "b"}}), missing + "ab");
    EXPECT_EQ(construction_error(vocabulary_with({"ab"}), {{"a", "b"}}), "built");
}

class Bpe {
public:
    Bpe(const std::vector<std::string>& extra, Merges merges, bool prefix = false)
        : vocab_(vocabulary_with(extra)), tok_(vocab_, std::move(merges), "<unk>", "<s>", "</s>", prefix) {}

    // The tokens of `text`, joined by "|".
    std::string tokens(const std::string& text) const {
        std::string out;
        for (std::int64_t id : tok_.tokenize(text)) {
            if (!out.empty()) out += "|";
            out += vocab_.at(static_cast<std::size_t>(id));
        }
        return out;
    }

    std::vector<std::string> vocab_;
    ByteBPETokenizer tok_;
};

TEST(ByteBPETokenizer, MergesLowestRankFirstEveryOccurrencePerPass) {
    const Bpe aa({"aa", "aaaa"}, {{"a", "a"}});
    EXPECT_EQ(aa.tokens("aaaa"), "aa|aa");  // no merge (aa, aa) listed
    EXPECT_EQ(aa.tokens("aaa"), "aa|a");
    const Bpe doubled({"aa", "aaaa"}, {{"a", "a"}, {"aa", "aa"}});
    EXPECT_EQ(doubled.tokens("aaaaa"), "aaaa|a");
    const Bpe bc_first({"ab", "bc"}, {{"b", "c"}, {"a", "b"}});
    EXPECT_EQ(bc_first.tokens("abc"), "a|bc");
    const Bpe ab_first({"ab", "bc"}, {{"a", "b"}, {"b", "c"}});
    EXPECT_EQ(ab_first.tokens("abc"), "ab|c");
    const Bpe relisted({"ab", "bc"}, {{"a", "b"}, {"b", "c"}, {"a", "b"}});
    EXPECT_EQ(relisted.tokens("abc"), "ab|c");  // the first listing's rank holds
    // Pieces merge on their own: nothing joins across a pre-split boundary.
    const Bpe across({"a,"}, {{"a", ","}});
    EXPECT_EQ(across.tokens("a,"), "a|,");
    // Non-ASCII bytes go through their byte symbols.
    const Bpe e_acute({"\xC3\x83\xC2\xA9"}, {{"\xC3\x83", "\xC2\xA9"}});
    EXPECT_EQ(e_acute.tokens("\xC3\xA9"), "\xC3\x83\xC2\xA9");
}

TEST(ByteBPETokenizer, PrefixSpaceOnlyBeforeNonWhitespace) {
    const std::string space = "\xC4\xA0";
    const Bpe with({space + "h", space + "he"}, {{space, "h"}, {space + "h", "e"}}, true);
    const Bpe without({space + "h", space + "he"}, {{space, "h"}, {space + "h", "e"}}, false);
    EXPECT_EQ(with.tokens("hello"), space + "he|l|l|o");
    EXPECT_EQ(without.tokens("hello"), "h|e|l|l|o");
    for (const std::string word : {" hello", "\thello", "\xC2\xA0hello", "  hello"}) {
        EXPECT_EQ(with.tokens(word), without.tokens(word)) << word;
    }
    EXPECT_EQ(with.tokens("\thello"), "\xC4\x89|h|e|l|l|o");
    EXPECT_EQ(with.tokens("  hello"), space + "|" + space + "|h|e|l|l|o");
    EXPECT_TRUE(with.tok_.tokenize("").empty());
    // The offset is counted in the word as passed, before the space is added.
    try {
        with.tok_.tokenize("a\xC3\x28");
        ADD_FAILURE() << "no error";
    } catch (const SubwordError& error) {
        EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 2");
    }
}

TEST(ByteBPETokenizer, EncodeFramesWordsAndCachesThem) {
    // Ids: byte symbols by byte value, <unk> 256, <s> 257, </s> 258, ab 259.
    Bpe bpe({"ab"}, {{"a", "b"}}, true);
    const ByteBPETokenizer& tok = bpe.tok_;
    const WordPieceEncoding none = tok.encode({}, false);
    EXPECT_TRUE(none.input_ids.empty() && none.word_ids.empty() && none.attention_mask.empty());
    const WordPieceEncoding framed = tok.encode({"ab", "", "b"}, true);
    EXPECT_EQ(framed.input_ids, (std::vector<std::int64_t>{257, ' ', 259, ' ', 'b', 258}));
    EXPECT_EQ(framed.word_ids, (std::vector<std::int64_t>{-1, 0, 0, 2, 2, -1}));
    EXPECT_EQ(framed.attention_mask, std::vector<std::int64_t>(6, 1));
    EXPECT_EQ(tok.cache_size(), 3u);
    const std::string_view views[] = {"ab", "", "b"};
    const WordPieceEncoding viewed = tok.encode(views, 3, true);
    EXPECT_EQ(viewed.input_ids, framed.input_ids);
    EXPECT_EQ(viewed.word_ids, framed.word_ids);
    EXPECT_EQ(viewed.attention_mask, framed.attention_mask);
    tok.encode({"ab"}, false);
    EXPECT_EQ(tok.cache_size(), 3u);
    EXPECT_THROW(tok.encode({"ok", "\xED\xA0\x80"}, true), SubwordError);
    EXPECT_EQ(tok.cache_size(), 4u);  // "ok" stored, the bad word not
    EXPECT_EQ(tok.vocabulary_size(), 260u);
    EXPECT_TRUE(ByteBPETokenizer::highway_enabled());
    ByteBPETokenizer moved(std::move(bpe.tok_));
    EXPECT_EQ(moved.tokenize("ab"), (std::vector<std::int64_t>{' ', 259}));
}

}  // namespace
