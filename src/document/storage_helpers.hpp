// Row-level helpers shared by the build and the edits of DocumentStorage.
#pragma once

#include <quelbin/document_storage.hpp>

#include <algorithm>
#include <optional>
#include <utility>

namespace quelbin::detail {

inline std::int8_t flag_of(const std::optional<bool>& flag) {
    return flag ? (*flag ? 1 : 0) : -1;
}

// A word record turned into column values, interned before any column grows.
struct WordRow {
    std::int32_t id = 0;
    std::uint32_t text = kAbsentStringId;
    std::uint32_t lemma = kAbsentStringId;
    std::uint32_t upos = kAbsentStringId;
    std::uint32_t xpos = kAbsentStringId;
    std::uint32_t feats = kAbsentStringId;
    std::int32_t head = kAbsentInt32;
    std::uint32_t deprel = kAbsentStringId;
    std::uint32_t deps = kAbsentStringId;
    std::uint32_t misc = kAbsentStringId;
    std::uint32_t start_char = kAbsentCharOffset;
    std::uint32_t end_char = kAbsentCharOffset;
    std::int8_t manual_expansion = -1;
    std::vector<std::uint32_t> morphemes;
};

inline WordRow intern_word(StringPool& pool, const WordInput& word) {
    WordRow row;
    row.id = word.id;
    row.text = pool.intern(word.text);
    row.lemma = pool.intern_optional(word.lemma);
    row.upos = pool.intern_optional(word.upos);
    row.xpos = pool.intern_optional(word.xpos);
    row.feats = pool.intern_optional(word.feats);
    row.head = word.head.value_or(kAbsentInt32);
    row.deprel = pool.intern_optional(word.deprel);
    row.deps = pool.intern_optional(word.deps);
    row.misc = pool.intern_optional(word.misc);
    row.start_char = word.start_char.value_or(kAbsentCharOffset);
    row.end_char = word.end_char.value_or(kAbsentCharOffset);
    row.manual_expansion = flag_of(word.manual_expansion);
    row.morphemes = pool.intern_all(word.morphemes);
    return row;
}

// Appends one word row; the caller has reserved room in every column, so no
// push_back reallocates and none can throw.
inline void append_word(DocumentStorage& d, std::uint32_t sentence, std::uint32_t token,
                        std::int32_t empty_index, WordRow&& row) noexcept {
    d.word_sentence.push_back(sentence);
    d.word_token.push_back(token);
    d.word_id.push_back(row.id);
    d.word_empty_index.push_back(empty_index);
    d.word_text.push_back(row.text);
    d.word_lemma.push_back(row.lemma);
    d.word_upos.push_back(row.upos);
    d.word_xpos.push_back(row.xpos);
    d.word_feats.push_back(row.feats);
    d.word_head.push_back(row.head);
    d.word_deprel.push_back(row.deprel);
    d.word_deps.push_back(row.deps);
    d.word_misc.push_back(row.misc);
    d.word_start_char.push_back(row.start_char);
    d.word_end_char.push_back(row.end_char);
    d.word_manual_expansion.push_back(row.manual_expansion);
    d.word_morphemes.push_back(std::move(row.morphemes));
    d.word_coref.emplace_back();
}

template <class F>
void for_each_sentence_column(DocumentStorage& d, F&& f) {
    f(d.sentence_text);
    f(d.sentence_sent_id);
    f(d.sentence_speaker);
    f(d.sentence_doc_id);
    f(d.sentence_sentiment);
    f(d.sentence_comments);
    f(d.sentence_constituency);
}

template <class F>
void for_each_token_column(DocumentStorage& d, F&& f) {
    f(d.token_sentence);
    f(d.token_id_start);
    f(d.token_id_end);
    f(d.token_word_begin);
    f(d.token_word_end);
    f(d.token_text);
    f(d.token_misc);
    f(d.token_ner);
    f(d.token_multi_ner);
    f(d.token_start_char);
    f(d.token_end_char);
    f(d.token_manual_expansion);
    f(d.token_spaces_before);
    f(d.token_spaces_after);
}

template <class F>
void for_each_word_column(DocumentStorage& d, F&& f) {
    f(d.word_sentence);
    f(d.word_token);
    f(d.word_id);
    f(d.word_empty_index);
    f(d.word_text);
    f(d.word_lemma);
    f(d.word_upos);
    f(d.word_xpos);
    f(d.word_feats);
    f(d.word_head);
    f(d.word_deprel);
    f(d.word_deps);
    f(d.word_misc);
    f(d.word_start_char);
    f(d.word_end_char);
    f(d.word_manual_expansion);
    f(d.word_morphemes);
    f(d.word_coref);
}

template <class F>
void for_each_span_column(DocumentStorage& d, F&& f) {
    f(d.span_sentence);
    f(d.span_token_begin);
    f(d.span_token_end);
    f(d.span_word_begin);
    f(d.span_word_end);
    f(d.span_text);
    f(d.span_type);
    f(d.span_start_char);
    f(d.span_end_char);
}

inline void reserve_token_rows(DocumentStorage& d, std::size_t rows) {
    for_each_token_column(d, [rows](auto& column) { column.reserve(rows); });
}

}  // namespace quelbin::detail
