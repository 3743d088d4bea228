// Plain records from which DocumentStorage::build fills a document. They carry
// no invariants of their own; build and add_empty_word check them. SpanInput
// is the compact form build_spans takes for tokens of one word over the text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelbin {

struct WordInput {
    int id = 0;                         // >= 1 for a regular word, >= 0 for an empty word
    std::optional<int> empty_index;     // absent for a regular word; 1, 2, ... for an empty word
    std::string text;                   // non-empty
    std::optional<std::string> lemma;
    std::optional<std::string> upos;
    std::optional<std::string> xpos;
    std::optional<std::string> feats;
    std::optional<int> head;            // 0 is the root
    std::optional<std::string> deprel;
    std::optional<std::string> deps;
    std::optional<std::string> misc;
    std::optional<std::uint32_t> start_char;
    std::optional<std::uint32_t> end_char;
    std::optional<bool> manual_expansion;
    std::vector<std::string> morphemes;
};

struct TokenInput {
    int id_start = 0;                   // first word id covered (>= 1)
    int id_end = 0;                     // last word id covered (>= id_start)
    std::string text;                   // non-empty
    std::optional<std::string> misc;
    std::optional<std::string> ner;
    std::vector<std::string> multi_ner;
    std::optional<std::uint32_t> start_char;  // code-point offsets into the document text
    std::optional<std::uint32_t> end_char;
    std::optional<bool> manual_expansion;
    std::string spaces_before;
    std::string spaces_after = " ";
    std::vector<WordInput> words;       // the token's regular words in order
};

struct SentenceInput {
    std::vector<TokenInput> tokens;
    std::vector<WordInput> empty_words;
    std::optional<std::string> text;    // derived when absent
    std::optional<std::string> sent_id; // defaults to the 0-based sentence index
    std::optional<std::string> speaker;
    std::optional<std::string> doc_id;
    std::optional<int> sentiment;
    std::vector<std::string> comments;
};

// A token of one word whose offsets locate it in the document text.
inline constexpr std::uint32_t kSpanTextSlice = 0xFFFFFFFFu;  // SpanToken::text: the text between the offsets
inline constexpr std::uint32_t kSpanNoMisc = 0xFFFFFFFFu;     // SpanToken::misc: no value

struct SpanToken {
    std::uint32_t start_char = 0;         // code-point offsets into the document text
    std::uint32_t end_char = 0;
    std::uint32_t text = kSpanTextSlice;  // else an index into SpanInput::strings
    std::uint32_t misc = kSpanNoMisc;     // else an index into SpanInput::strings
};

// A document of such tokens, a few bytes each where the records above take
// hundreds. Sentence s holds tokens [sentence_ends[s - 1], sentence_ends[s]).
// build_spans builds what build builds from the records in which token k of
// a sentence (from 1) has ID k, its text, misc and offsets, one word with the
// same four, and the spacing the text holds around it, the sentence leaving
// its text and ID unset.
struct SpanInput {
    std::vector<SpanToken> tokens;              // in text order, none overlapping the next
    std::vector<std::uint32_t> sentence_ends;   // increasing, the last one tokens.size()
    std::vector<std::string> strings;           // token texts and misc values, by index
};

}  // namespace quelbin
