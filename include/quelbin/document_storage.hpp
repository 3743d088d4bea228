// The columnar store of one document: the text, its string pool, the language,
// the sentence, token, word and entity-span tables with per-sentence offsets,
// and the coreference chains. Views read and write the columns by row.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/constituency.hpp>
#include <quelbin/coref.hpp>
#include <quelbin/document_input.hpp>
#include <quelbin/string_pool.hpp>
#include <quelbin/utf8_text.hpp>

namespace quelbin {

// Stored sentinels: an unset character offset, an unset head, sentiment or
// empty index, and the "no row" value (an empty word's token, the ROOT word).
inline constexpr std::uint32_t kAbsentCharOffset = 0xFFFFFFFFu;
inline constexpr std::int32_t kAbsentInt32 = INT32_MIN;
inline constexpr std::uint32_t kNoRow = 0xFFFFFFFFu;

// Whether a call that lets other threads run meanwhile is working on a storage,
// and how many reads that may run other code midway are under way on it. Only
// the callers read and write it, under a lock of their own (the Python module
// does so under the interpreter lock); the engine never reads it. Moving a
// storage into another (replace) leaves the destination's mark alone, so a call
// that rebuilds its document's tables does not touch the mark.
struct InUseMark {
    InUseMark() noexcept = default;
    InUseMark(InUseMark&&) noexcept {}
    InUseMark& operator=(InUseMark&&) noexcept { return *this; }

    bool set = false;
    std::uint32_t readers = 0;
};

class DocumentStorage {
public:
    // A document of zero sentences over the text; invalid UTF-8 throws
    // std::invalid_argument from Utf8Text.
    explicit DocumentStorage(std::string text);

    DocumentStorage(const DocumentStorage&) = delete;
    DocumentStorage& operator=(const DocumentStorage&) = delete;
    DocumentStorage(DocumentStorage&&) noexcept = default;
    DocumentStorage& operator=(DocumentStorage&&) noexcept = default;

    // Fills a storage that has no sentences yet from input records. On failure
    // the tables are left as they were before the call.
    void build(const std::vector<SentenceInput>& sentences);
    // The same from compact tokens (see SpanInput); the offsets, string
    // indices and sentence ends are checked before any table grows.
    void build_spans(const SpanInput& input);

    // Appends an empty word to a sentence and returns its word row.
    std::uint32_t add_empty_word(std::uint32_t sentence, WordInput word);
    // Recomputes the entity spans from the tokens' NER tags.
    void rebuild_entities();
    // Removes the empty words added after build.
    void reset_generated_empty_words();
    // Resets the generated empty words on construction and, unless committed,
    // puts the words it removed back when destroyed, leaving the word tables
    // and the sentences' empty-word lists as they were.
    class GeneratedEmptyWordsReset {
    public:
        explicit GeneratedEmptyWordsReset(DocumentStorage& storage);
        ~GeneratedEmptyWordsReset();
        GeneratedEmptyWordsReset(const GeneratedEmptyWordsReset&) = delete;
        GeneratedEmptyWordsReset& operator=(const GeneratedEmptyWordsReset&) = delete;
        void commit() noexcept { committed_ = true; }

    private:
        DocumentStorage& storage_;
        std::vector<std::vector<std::uint32_t>> sentence_empty_words_;
        std::vector<std::function<void()>> restore_;
        bool committed_ = false;
    };
    // Rebuilds every table from new records over the same text, keeping the
    // language; nothing changes when it throws.
    void replace(std::vector<SentenceInput> sentences);
    // Stores the chains and attaches them to the words of their mentions;
    // every mention is checked first, so nothing changes when it throws.
    void set_coref(const std::vector<CorefChain>& chains);

    std::size_t sentence_count() const noexcept { return sentence_token_offsets.size() - 1; }
    std::size_t token_count() const noexcept { return token_sentence.size(); }
    // Regular and empty words.
    std::size_t word_count() const noexcept { return word_sentence.size(); }
    std::size_t span_count() const noexcept { return span_sentence.size(); }

    Utf8Text text;
    StringPool pool;
    std::uint32_t lang = kAbsentStringId;

    std::vector<std::uint32_t> sentence_token_offsets;
    std::vector<std::uint32_t> sentence_word_offsets;
    std::vector<std::vector<std::uint32_t>> sentence_empty_words;
    std::vector<std::uint32_t> sentence_entity_offsets;

    // Sentence table.
    std::vector<std::uint32_t> sentence_text;
    std::vector<std::uint32_t> sentence_sent_id;
    std::vector<std::uint32_t> sentence_speaker;
    std::vector<std::uint32_t> sentence_doc_id;
    std::vector<std::int32_t> sentence_sentiment;
    std::vector<std::vector<std::uint32_t>> sentence_comments;
    std::vector<TreeNodePtr> sentence_constituency;

    // Token table.
    std::vector<std::uint32_t> token_sentence;
    std::vector<std::int32_t> token_id_start;
    std::vector<std::int32_t> token_id_end;
    std::vector<std::uint32_t> token_word_begin;
    std::vector<std::uint32_t> token_word_end;
    std::vector<std::uint32_t> token_text;
    std::vector<std::uint32_t> token_misc;
    std::vector<std::uint32_t> token_ner;
    std::vector<std::vector<std::uint32_t>> token_multi_ner;
    std::vector<std::uint32_t> token_start_char;
    std::vector<std::uint32_t> token_end_char;
    std::vector<std::int8_t> token_manual_expansion;
    std::vector<std::uint32_t> token_spaces_before;
    std::vector<std::uint32_t> token_spaces_after;

    // Word table: regular words in document order, then empty words in the
    // order they were added.
    std::vector<std::uint32_t> word_sentence;
    std::vector<std::uint32_t> word_token;
    std::vector<std::int32_t> word_id;
    std::vector<std::int32_t> word_empty_index;
    std::vector<std::uint32_t> word_text;
    std::vector<std::uint32_t> word_lemma;
    std::vector<std::uint32_t> word_upos;
    std::vector<std::uint32_t> word_xpos;
    std::vector<std::uint32_t> word_feats;
    std::vector<std::int32_t> word_head;
    std::vector<std::uint32_t> word_deprel;
    std::vector<std::uint32_t> word_deps;
    std::vector<std::uint32_t> word_misc;
    std::vector<std::uint32_t> word_start_char;
    std::vector<std::uint32_t> word_end_char;
    std::vector<std::int8_t> word_manual_expansion;
    std::vector<std::vector<std::uint32_t>> word_morphemes;
    std::vector<std::vector<CorefAttachment>> word_coref;

    // Entity-span table.
    std::vector<std::uint32_t> span_sentence;
    std::vector<std::uint32_t> span_token_begin;
    std::vector<std::uint32_t> span_token_end;
    std::vector<std::uint32_t> span_word_begin;
    std::vector<std::uint32_t> span_word_end;
    std::vector<std::uint32_t> span_text;
    std::vector<std::uint32_t> span_type;
    std::vector<std::uint32_t> span_start_char;
    std::vector<std::uint32_t> span_end_char;

    std::vector<std::shared_ptr<const CorefChain>> coref_chains;

    std::uint64_t regular_word_count = 0;
    std::uint64_t input_word_count = 0;

    InUseMark in_use;

private:
    explicit DocumentStorage(const Utf8Text& text);

    void build_tables(const std::vector<SentenceInput>& sentences);
    void build_span_tables(const SpanInput& input);
    // Undoes a failed build down to a pool of pool_mark strings.
    template <class F>
    void build_or_restore(F&& fill);
    void clear_tables() noexcept;
    void reserve_word_rows(std::size_t rows);
    void append_entity(std::uint32_t sentence, std::uint32_t first_token,
                       std::uint32_t end_token, const std::string& type);
};

}  // namespace quelbin
