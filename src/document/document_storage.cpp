#include <quelbin/document_storage.hpp>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "document/storage_helpers.hpp"

namespace quelbin {

DocumentStorage::DocumentStorage(std::string text_) : DocumentStorage(Utf8Text(std::move(text_))) {}

DocumentStorage::DocumentStorage(const Utf8Text& text_)
    : text(text_), sentence_token_offsets{0}, sentence_word_offsets{0}, sentence_entity_offsets{0} {}

template <class F>
void DocumentStorage::build_or_restore(F&& fill) {
    if (sentence_count() != 0) {
        throw std::logic_error("a document storage can only be built once");
    }
    // A fresh storage may hold chains without mentions and a language; both
    // survive, everything else is restored when the build fails.
    const std::size_t pool_mark = pool.size();
    try {
        fill();
    } catch (...) {
        clear_tables();
        pool.truncate(pool_mark);
        throw;
    }
}

void DocumentStorage::build(const std::vector<SentenceInput>& sentences) {
    build_or_restore([&] { build_tables(sentences); });
}

void DocumentStorage::build_spans(const SpanInput& input) {
    build_or_restore([&] { build_span_tables(input); });
}

void DocumentStorage::build_tables(const std::vector<SentenceInput>& sentences) {
    if (sentences.size() >= kNoRow) throw std::length_error("a document has too many sentences");
    const std::size_t codepoints = text.codepoint_count();
    sentence_empty_words.resize(sentences.size());

    // Columns are sized once from the records, so they hold no growth slack.
    std::size_t token_total = 0, word_total = 0;
    for (const SentenceInput& sentence : sentences) {
        token_total += sentence.tokens.size();
        word_total += sentence.empty_words.size();
        for (const TokenInput& token : sentence.tokens) word_total += token.words.size();
    }
    if (token_total >= kNoRow) throw std::length_error("a document has too many tokens");
    detail::reserve_token_rows(*this, token_total);
    reserve_word_rows(std::min<std::size_t>(word_total, kNoRow));
    for (std::size_t s = 0; s < sentences.size(); ++s) {
        const SentenceInput& input = sentences[s];
        const auto row_s = static_cast<std::uint32_t>(s);
        for (const TokenInput& token : input.tokens) {
            if (token.id_start < 1 || token.id_end < token.id_start) {
                throw std::invalid_argument("a token has an invalid ID range");
            }
            if (token.text.empty()) throw std::invalid_argument("a token must have non-empty text");
            const auto token_row = static_cast<std::uint32_t>(token_count());
            token_sentence.push_back(row_s);
            token_id_start.push_back(token.id_start);
            token_id_end.push_back(token.id_end);
            token_word_begin.push_back(static_cast<std::uint32_t>(word_count()));
            token_word_end.push_back(static_cast<std::uint32_t>(word_count()));
            token_text.push_back(pool.intern(token.text));
            token_misc.push_back(pool.intern_optional(token.misc));
            token_ner.push_back(pool.intern_optional(token.ner));
            token_multi_ner.push_back(pool.intern_all(token.multi_ner));
            token_start_char.push_back(token.start_char.value_or(kAbsentCharOffset));
            token_end_char.push_back(token.end_char.value_or(kAbsentCharOffset));
            token_manual_expansion.push_back(detail::flag_of(token.manual_expansion));
            token_spaces_before.push_back(pool.intern(token.spaces_before));
            token_spaces_after.push_back(pool.intern(token.spaces_after));

            const bool lends_offsets = token.words.size() == 1;
            for (const WordInput& word : token.words) {
                if (word.id < 1 || word.empty_index || word.text.empty()) {
                    throw std::invalid_argument("a word must have a positive ID and non-empty text");
                }
                if (word_count() >= kNoRow) {
                    throw std::logic_error("invalid word offsets");
                }
                detail::WordRow row = detail::intern_word(pool, word);
                if (lends_offsets) {
                    if (row.start_char == kAbsentCharOffset) {
                        row.start_char = token.start_char.value_or(kAbsentCharOffset);
                    }
                    if (row.end_char == kAbsentCharOffset) {
                        row.end_char = token.end_char.value_or(kAbsentCharOffset);
                    }
                }
                reserve_word_rows(word_count() + 1);
                detail::append_word(*this, row_s, token_row, kAbsentInt32, std::move(row));
            }
            token_word_end.back() = static_cast<std::uint32_t>(word_count());
        }
        sentence_token_offsets.push_back(static_cast<std::uint32_t>(token_count()));
        sentence_word_offsets.push_back(static_cast<std::uint32_t>(word_count()));

        // Sentence text: given, absent for no tokens, the slice between the
        // first and last token offsets, or the tokens joined by their spacing.
        std::uint32_t text_id;
        if (input.text) {
            text_id = pool.intern(*input.text);
        } else if (input.tokens.empty()) {
            text_id = kAbsentStringId;
        } else {
            const TokenInput& first = input.tokens.front();
            const TokenInput& last = input.tokens.back();
            if (first.start_char && last.end_char && *first.start_char <= *last.end_char &&
                *last.end_char <= codepoints) {
                text_id = pool.intern(text.slice(*first.start_char, *last.end_char));
            } else {
                std::string joined = first.text;
                for (std::size_t k = 1; k < input.tokens.size(); ++k) {
                    const TokenInput& previous = input.tokens[k - 1];
                    joined += previous.spaces_after.empty() ? input.tokens[k].spaces_before
                                                            : previous.spaces_after;
                    joined += input.tokens[k].text;
                }
                joined += last.spaces_after;
                text_id = pool.intern(joined);
            }
        }
        sentence_text.push_back(text_id);
        sentence_sent_id.push_back(input.sent_id ? pool.intern(*input.sent_id)
                                                 : pool.intern(std::to_string(s)));
        sentence_speaker.push_back(pool.intern_optional(input.speaker));
        sentence_doc_id.push_back(pool.intern_optional(input.doc_id));
        sentence_sentiment.push_back(input.sentiment.value_or(kAbsentInt32));
        sentence_comments.push_back(pool.intern_all(input.comments));
        sentence_constituency.emplace_back();
    }
    regular_word_count = word_count();

    for (std::size_t s = 0; s < sentences.size(); ++s) {
        for (const WordInput& word : sentences[s].empty_words) {
            add_empty_word(static_cast<std::uint32_t>(s), word);
        }
    }
    input_word_count = word_count();

    // Spacing from the text, across sentence boundaries. A token whose
    // successor has no start offset keeps its own spacing.
    if (codepoints != 0 && token_count() != 0) {
        const std::size_t tokens = token_count();
        for (std::size_t i = 0; i < tokens; ++i) {
            const std::uint32_t start = token_start_char[i];
            const std::uint32_t end = token_end_char[i];
            if (start == kAbsentCharOffset || end == kAbsentCharOffset || start > end ||
                end > codepoints) {
                continue;
            }
            if (i == 0) token_spaces_before[0] = pool.intern(text.slice(0, start));
            std::size_t next_start;
            if (i + 1 == tokens) {
                next_start = codepoints;
            } else if (token_start_char[i + 1] != kAbsentCharOffset) {
                next_start = token_start_char[i + 1];
            } else {
                continue;
            }
            if (end <= next_start && next_start <= codepoints) {
                token_spaces_after[i] = pool.intern(text.slice(end, next_start));
            }
        }
    }

    rebuild_entities();
}

void DocumentStorage::build_span_tables(const SpanInput& input) {
    const std::vector<SpanToken>& tokens = input.tokens;
    const std::vector<std::uint32_t>& ends = input.sentence_ends;
    if (ends.size() >= kNoRow) throw std::length_error("a document has too many sentences");
    if (tokens.size() >= kNoRow) throw std::length_error("a document has too many tokens");
    const std::size_t codepoints = text.codepoint_count();
    for (std::size_t s = 0; s < ends.size(); ++s) {
        if (ends[s] <= (s == 0 ? 0 : ends[s - 1]) || ends[s] > tokens.size()) {
            throw std::invalid_argument("sentence ends must increase up to the token count");
        }
    }
    if ((ends.empty() ? 0 : ends.back()) != tokens.size()) {
        throw std::invalid_argument("sentence ends must increase up to the token count");
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const SpanToken& token = tokens[i];
        const std::size_t next_start = i + 1 < tokens.size() ? tokens[i + 1].start_char : codepoints;
        if (token.start_char > token.end_char || token.end_char > next_start || next_start > codepoints) {
            throw std::invalid_argument("token offsets must lie in order within the text");
        }
        if ((token.text != kSpanTextSlice && token.text >= input.strings.size()) ||
            (token.misc != kSpanNoMisc && token.misc >= input.strings.size())) {
            throw std::invalid_argument("a token refers to a string the input does not hold");
        }
    }

    // Every table is sized once. The strings are interned in the order build
    // interns those of the equivalent records, so the pools match too.
    const std::string_view bytes = text.bytes();
    const auto slice = [&](std::size_t begin, std::size_t end) {
        const std::size_t from = text.byte_offset(begin);
        return bytes.substr(from, text.byte_offset(end) - from);
    };
    sentence_empty_words.resize(ends.size());
    detail::for_each_sentence_column(*this, [&](auto& column) { column.reserve(ends.size()); });
    sentence_token_offsets.reserve(ends.size() + 1);
    sentence_word_offsets.reserve(ends.size() + 1);
    detail::reserve_token_rows(*this, tokens.size());
    reserve_word_rows(tokens.size());
    std::size_t first = 0;
    for (std::size_t s = 0; s < ends.size(); ++s) {
        const auto row_s = static_cast<std::uint32_t>(s);
        for (std::size_t i = first; i < ends[s]; ++i) {
            const SpanToken& token = tokens[i];
            const std::string_view written =
                token.text == kSpanTextSlice ? slice(token.start_char, token.end_char) : input.strings[token.text];
            if (written.empty()) throw std::invalid_argument("a token must have non-empty text");
            const auto row = static_cast<std::uint32_t>(i);
            const auto id = static_cast<std::int32_t>(i - first + 1);
            const std::uint32_t text_id = pool.intern(written);
            const std::uint32_t misc_id =
                token.misc == kSpanNoMisc ? kAbsentStringId : pool.intern(input.strings[token.misc]);
            const std::uint32_t before = i == 0 ? pool.intern(slice(0, token.start_char)) : pool.intern("");
            const std::size_t next_start = i + 1 < tokens.size() ? tokens[i + 1].start_char : codepoints;
            const std::uint32_t after = pool.intern(slice(token.end_char, next_start));
            token_sentence.push_back(row_s);
            token_id_start.push_back(id);
            token_id_end.push_back(id);
            token_word_begin.push_back(row);
            token_word_end.push_back(row + 1);
            token_text.push_back(text_id);
            token_misc.push_back(misc_id);
            token_ner.push_back(kAbsentStringId);
            token_multi_ner.emplace_back();
            token_start_char.push_back(token.start_char);
            token_end_char.push_back(token.end_char);
            token_manual_expansion.push_back(-1);
            token_spaces_before.push_back(before);
            token_spaces_after.push_back(after);

            detail::WordRow word;
            word.id = id;
            word.text = text_id;
            word.misc = misc_id;
            word.start_char = token.start_char;
            word.end_char = token.end_char;
            detail::append_word(*this, row_s, row, kAbsentInt32, std::move(word));
        }
        sentence_token_offsets.push_back(ends[s]);
        sentence_word_offsets.push_back(ends[s]);
        sentence_text.push_back(pool.intern(slice(tokens[first].start_char, tokens[ends[s] - 1].end_char)));
        sentence_sent_id.push_back(pool.intern(std::to_string(s)));
        sentence_speaker.push_back(kAbsentStringId);
        sentence_doc_id.push_back(kAbsentStringId);
        sentence_sentiment.push_back(kAbsentInt32);
        sentence_comments.emplace_back();
        sentence_constituency.emplace_back();
        first = ends[s];
    }
    regular_word_count = input_word_count = word_count();
    rebuild_entities();
}

void DocumentStorage::clear_tables() noexcept {
    sentence_token_offsets.assign(1, 0);
    sentence_word_offsets.assign(1, 0);
    sentence_empty_words.clear();
    sentence_entity_offsets.assign(1, 0);
    detail::for_each_sentence_column(*this, [](auto& column) { column.clear(); });
    detail::for_each_token_column(*this, [](auto& column) { column.clear(); });
    detail::for_each_word_column(*this, [](auto& column) { column.clear(); });
    detail::for_each_span_column(*this, [](auto& column) { column.clear(); });
    regular_word_count = 0;
    input_word_count = 0;
}

// Makes room for `rows` word rows in every column at once, growing
// geometrically, so that appending one row afterwards cannot fail halfway.
void DocumentStorage::reserve_word_rows(std::size_t rows) {
    detail::for_each_word_column(*this, [rows](auto& column) {
        if (column.capacity() < rows) column.reserve(std::max(rows, column.capacity() * 2));
    });
}

}  // namespace quelbin
