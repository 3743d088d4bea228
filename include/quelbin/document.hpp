// The document handle and the row views through which every document is read
// and annotated. A view is a shared storage pointer plus a row number; it
// checks its row on every access, so a view kept across an edit that shrank a
// table throws its own "invalid ... view" error instead of reading stale rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <quelbin/constituency.hpp>
#include <quelbin/coref.hpp>
#include <quelbin/document_input.hpp>
#include <quelbin/document_storage.hpp>
#include <quelbin/sequences.hpp>

namespace quelbin {

class Document {
public:
    // A document of zero sentences over the text (std::invalid_argument for
    // invalid UTF-8).
    explicit Document(std::string text);
    // A document over the text, built from the records; nothing is made when
    // the records are refused.
    Document(std::string text, const std::vector<SentenceInput>& sentences);
    // Wraps an existing storage; std::invalid_argument
    // "a document storage pointer cannot be null" for null.
    explicit Document(std::shared_ptr<DocumentStorage> storage);

    const std::string& text() const noexcept;
    std::uint64_t codepoint_count() const noexcept;
    // std::out_of_range "code point index is outside the document" beyond the
    // code-point count; the count itself gives the byte length.
    std::uint64_t byte_offset(std::uint64_t codepoint) const;

    std::optional<std::string> lang() const;
    void set_lang(const std::optional<std::string>& language);

    SentenceSequence sentences() const;
    TokenSequence tokens() const;
    // Regular words only; empty words are excluded.
    WordSequence words() const;
    SpanSequence ents() const;
    std::uint64_t num_tokens() const noexcept;
    std::uint64_t num_words() const noexcept;

    const std::vector<std::shared_ptr<const CorefChain>>& coref() const noexcept;
    void set_coref(const std::vector<CorefChain>& chains);
    void rebuild_entities();

    std::string to_conll() const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    bool same_storage(const Document& other) const noexcept { return storage_ == other.storage_; }

private:
    std::shared_ptr<DocumentStorage> storage_;
};

class Sentence {
public:
    // std::out_of_range "invalid sentence view" for a null storage or a row
    // that is not a sentence.
    Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

    std::optional<std::string> sent_id() const;
    std::optional<std::string> speaker() const;
    std::optional<std::string> doc_id() const;
    // The empty string when no text is stored.
    std::string text() const;
    Document doc() const;

    TokenSequence tokens() const;
    WordSequence words() const;
    // The sentence's empty words in the order they were added.
    WordSequence empty_words() const;
    // Regular and empty words merged: each regular word directly before the
    // empty words that follow it.
    WordSequence all_words() const;
    SpanSequence ents() const;

    std::optional<std::int32_t> sentiment() const;
    void set_sentiment(std::optional<std::int32_t> value);
    std::optional<ConstituencyTree> constituency() const;
    void set_constituency(const std::optional<ConstituencyTree>& tree);
    std::vector<std::string> comments() const;

    std::string to_conll() const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    std::uint32_t index() const noexcept { return row_; }
    bool same_view(const Sentence& other) const noexcept {
        return storage_ == other.storage_ && row_ == other.row_;
    }

private:
    DocumentStorage& checked() const;

    std::shared_ptr<DocumentStorage> storage_;
    std::uint32_t row_;
};

class Token {
public:
    // std::out_of_range "invalid token view".
    Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

    std::pair<std::int32_t, std::int32_t> id_range() const;
    std::string text() const;
    // std::invalid_argument "a token must have non-empty text".
    void set_text(const std::string& text);
    std::optional<std::string> misc() const;
    void set_misc(const std::optional<std::string>& value);
    std::optional<std::string> ner() const;
    void set_ner(const std::optional<std::string>& value);
    std::vector<std::string> multi_ner() const;
    void set_multi_ner(const std::vector<std::string>& tags);
    std::optional<std::uint32_t> start_char() const;
    std::optional<std::uint32_t> end_char() const;
    std::optional<bool> manual_expansion() const;
    void set_manual_expansion(std::optional<bool> value);
    std::string spaces_before() const;
    void set_spaces_before(const std::string& text);
    std::string spaces_after() const;
    void set_spaces_after(const std::string& text);

    WordSequence words() const;
    Sentence sent() const;
    bool is_mwt() const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    std::uint32_t index() const noexcept { return row_; }
    bool same_view(const Token& other) const noexcept {
        return storage_ == other.storage_ && row_ == other.row_;
    }

private:
    DocumentStorage& checked() const;

    std::shared_ptr<DocumentStorage> storage_;
    std::uint32_t row_;
};

// A word row, or the synthetic ROOT word of a sentence (row kNoRow with the
// sentence row set): id 0, text "ROOT", nothing else, and immutable.
class Word {
public:
    // std::out_of_range "invalid word view" for a null storage, a row that is
    // not a word row, or a ROOT word without an existing sentence.
    Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t row,
         std::uint32_t sentence = kNoRow);

    bool is_root() const noexcept { return row_ == kNoRow; }
    std::int32_t id() const;
    std::optional<std::int32_t> empty_index() const;
    std::string text() const;
    // Every setter throws std::logic_error "the synthetic ROOT word is
    // immutable" on ROOT, before any other check.
    void set_text(const std::string& text);
    std::optional<std::string> lemma() const;
    void set_lemma(const std::optional<std::string>& value);
    std::optional<std::string> upos() const;
    void set_upos(const std::optional<std::string>& value);
    std::optional<std::string> xpos() const;
    void set_xpos(const std::optional<std::string>& value);
    std::optional<std::string> feats() const;
    void set_feats(const std::optional<std::string>& value);
    std::optional<std::int32_t> head() const;
    void set_head(std::optional<std::int32_t> value);
    std::optional<std::string> deprel() const;
    void set_deprel(const std::optional<std::string>& value);
    std::optional<std::string> deps() const;
    void set_deps(const std::optional<std::string>& value);
    std::optional<std::string> misc() const;
    void set_misc(const std::optional<std::string>& value);
    std::optional<std::uint32_t> start_char() const;
    std::optional<std::uint32_t> end_char() const;
    std::optional<bool> manual_expansion() const;
    std::vector<std::string> morphemes() const;
    void set_morphemes(const std::vector<std::string>& morphemes);
    std::vector<CorefAttachment> coref_chains() const;

    // The token holding the word; absent for ROOT and for empty words.
    std::optional<Token> parent() const;
    Sentence sent() const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    std::uint32_t index() const noexcept { return row_; }
    // The sentence row the view was made with (kNoRow for words from sequences).
    std::uint32_t sentence_row() const noexcept { return sentence_; }
    bool same_view(const Word& other) const noexcept {
        return storage_ == other.storage_ && row_ == other.row_ && sentence_ == other.sentence_;
    }

private:
    DocumentStorage& checked() const;
    // For setters: the immutability error on ROOT, then the row check.
    DocumentStorage& writable() const;
    void set_string(std::vector<std::uint32_t> DocumentStorage::*column,
                    const std::optional<std::string>& value);
    std::optional<std::string> get_string(std::vector<std::uint32_t> DocumentStorage::*column) const;

    std::shared_ptr<DocumentStorage> storage_;
    std::uint32_t row_;
    std::uint32_t sentence_;
};

class Span {
public:
    // std::out_of_range "invalid span view".
    Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

    std::string text() const;
    std::string type() const;
    std::optional<std::uint32_t> start_char() const;
    std::optional<std::uint32_t> end_char() const;
    TokenSequence tokens() const;
    WordSequence words() const;
    Sentence sent() const;
    Document doc() const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    std::uint32_t index() const noexcept { return row_; }
    bool same_view(const Span& other) const noexcept {
        return storage_ == other.storage_ && row_ == other.row_;
    }

private:
    DocumentStorage& checked() const;

    std::shared_ptr<DocumentStorage> storage_;
    std::uint32_t row_;
};

}  // namespace quelbin
