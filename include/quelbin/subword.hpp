// Subword tokenizers for transformer encoders: the shared result record and the
// WordPiece tokenizer.
#pragma once

#include <quelbin/errors.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin {

// The subword ids of a list of words. The three vectors have one entry per
// subword: its vocabulary id, a mask entry (always 1) and the 0-based index of
// the word it came from (-1 at the class and separator tokens).
struct WordPieceEncoding {
    std::vector<std::int64_t> input_ids;
    std::vector<std::int64_t> attention_mask;
    std::vector<std::int64_t> word_ids;
};

// WordPiece over a fixed vocabulary (a token's id is its position in the
// list): optional lower-casing and accent stripping, control characters
// dropped, pieces cut at whitespace, punctuation and CJK ideographs, each piece
// matched greedily longest prefix first, later subwords of a piece carrying
// the continuing prefix. Movable, not copyable; encode and cache_size may run
// on several threads at once.
class WordPieceTokenizer {
public:
    struct Impl;

    // Throws WordPieceError for an empty vocabulary, a zero maximum, a
    // duplicate token or a missing special token (checked in that order).
    WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase, bool strip_accents,
                       std::string unknown_token, std::string cls_token, std::string sep_token,
                       std::string continuing_subword_prefix,
                       std::size_t max_input_characters_per_word);
    ~WordPieceTokenizer();
    WordPieceTokenizer(WordPieceTokenizer&& other) noexcept;
    WordPieceTokenizer& operator=(WordPieceTokenizer&& other) noexcept;
    WordPieceTokenizer(const WordPieceTokenizer&) = delete;
    WordPieceTokenizer& operator=(const WordPieceTokenizer&) = delete;

    // The ids of the words in order, framed by the class and separator ids when
    // add_special_tokens is set. Invalid UTF-8 in a word throws WordPieceError
    // (std::invalid_argument when lower-casing a non-ASCII word meets it first).
    WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;
    // The same for words[0, count) given as views, so that a caller holding
    // the words elsewhere copies none of them.
    WordPieceEncoding encode(const std::string_view* words, std::size_t count,
                             bool add_special_tokens) const;

    std::size_t vocabulary_size() const;
    // Occupied slots of the 8192-slot word cache.
    std::size_t cache_size() const;
    static bool highway_enabled() { return true; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
