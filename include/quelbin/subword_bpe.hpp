// The byte-level BPE and the XLM-R unigram subword tokenizers. Both produce the
// WordPieceEncoding record of <quelbin/subword.hpp> and throw SubwordError
// (<quelbin/errors.hpp>).
#pragma once

#include <quelbin/errors.hpp>
#include <quelbin/subword.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelbin {

// Byte-level byte-pair encoding: a word's bytes are cut into pre-tokens by
// character class, each byte becomes its byte symbol's id, and adjacent ids
// are merged in merge-list order (lowest rank first). Movable, not copyable;
// encode, tokenize and cache_size may run on several threads at once. A
// moved-from tokenizer may only be destroyed or assigned to.
class ByteBPETokenizer {
public:
    struct Impl;

    // Throws SubwordError for an empty vocabulary, a duplicate token, or a
    // missing special token, byte symbol or merge token (checked in that order).
    ByteBPETokenizer(std::vector<std::string> vocabulary,
                     std::vector<std::pair<std::string, std::string>> merges,
                     std::string unknown_token, std::string cls_token, std::string sep_token,
                     bool add_prefix_space);
    ~ByteBPETokenizer();
    ByteBPETokenizer(ByteBPETokenizer&& other) noexcept;
    ByteBPETokenizer& operator=(ByteBPETokenizer&& other) noexcept;
    ByteBPETokenizer(const ByteBPETokenizer&) = delete;
    ByteBPETokenizer& operator=(const ByteBPETokenizer&) = delete;

    // The ids of the words in order, framed by the class and separator ids when
    // add_special_tokens is set. Invalid UTF-8 throws SubwordError.
    WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;
    // The same for words[0, count) given as views, so that a caller holding
    // the words elsewhere copies none of them.
    WordPieceEncoding encode(const std::string_view* words, std::size_t count,
                             bool add_special_tokens) const;
    // The ids of `text` taken as one word (it may hold spaces), no special ids.
    std::vector<std::int64_t> tokenize(const std::string& text) const;

    std::size_t vocabulary_size() const;
    // Occupied slots of the 8192-slot word cache.
    std::size_t cache_size() const;
    static bool highway_enabled() { return true; }

private:
    std::unique_ptr<Impl> impl_;
};

// Unigram segmentation for XLM-R vocabularies: a word is normalised through a
// precompiled character map, cut at whitespace into chunks each prefixed with
// U+2581, and each chunk is split into the pieces of highest total score.
// Movable, not copyable; encode, tokenize and cache_size may run on several
// threads at once. A moved-from tokenizer may only be destroyed or assigned to.
class XLMRobertaTokenizer {
public:
    struct Impl;

    // Throws SubwordError for empty or unequal vocabulary and scores, an
    // unknown id out of range, a missing class or separator token, or a
    // truncated or malformed charsmap (checked in that order).
    XLMRobertaTokenizer(std::vector<std::string> vocabulary, std::vector<float> scores,
                        std::vector<std::uint8_t> precompiled_charsmap, std::int64_t unknown_id,
                        std::string cls_token, std::string sep_token);
    ~XLMRobertaTokenizer();
    XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept;
    XLMRobertaTokenizer& operator=(XLMRobertaTokenizer&& other) noexcept;
    XLMRobertaTokenizer(const XLMRobertaTokenizer&) = delete;
    XLMRobertaTokenizer& operator=(const XLMRobertaTokenizer&) = delete;

    WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;
    // The same for words[0, count) given as views, so that a caller holding
    // the words elsewhere copies none of them.
    WordPieceEncoding encode(const std::string_view* words, std::size_t count,
                             bool add_special_tokens) const;
    std::vector<std::int64_t> tokenize(const std::string& text) const;

    // Number of pieces as passed, duplicates counted.
    std::size_t vocabulary_size() const;
    std::size_t cache_size() const;
    static bool highway_enabled() { return true; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
