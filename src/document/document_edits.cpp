#include <quelbin/document_storage.hpp>

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "document/storage_helpers.hpp"

namespace quelbin {
namespace {

// A NER tag makes spans when it has a one-byte prefix, '-' and a type.
bool usable_tag(const std::string* tag) {
    return tag != nullptr && tag->size() >= 3 && (*tag)[1] == '-';
}

}  // namespace

std::uint32_t DocumentStorage::add_empty_word(std::uint32_t sentence, WordInput word) {
    if (sentence >= sentence_empty_words.size()) {
        throw std::out_of_range("an empty word has an invalid sentence");
    }
    if (word.id < 0 || !word.empty_index || *word.empty_index < 1 || word.text.empty()) {
        throw std::invalid_argument(
            "an empty word requires a nonnegative ID, positive empty index, and non-empty text; got id=" +
            std::to_string(word.id) + ", empty_index=" +
            (word.empty_index ? std::to_string(*word.empty_index) : std::string("none")) +
            ", text_size=" + std::to_string(word.text.size()));
    }
    std::vector<std::uint32_t>& rows = sentence_empty_words[sentence];
    for (std::uint32_t row : rows) {
        if (word_id[row] == word.id && word_empty_index[row] == *word.empty_index) {
            throw std::invalid_argument("an empty word ID is duplicated within a sentence");
        }
    }
    if (word_count() >= kNoRow) throw std::length_error("a document has too many words");

    detail::WordRow values = detail::intern_word(pool, word);
    reserve_word_rows(word_count() + 1);
    if (rows.size() == rows.capacity()) rows.reserve(std::max<std::size_t>(4, rows.size() * 2));
    const auto row = static_cast<std::uint32_t>(word_count());
    detail::append_word(*this, sentence, kNoRow, *word.empty_index, std::move(values));
    rows.push_back(row);
    return row;
}

void DocumentStorage::rebuild_entities() {
    // The old spans are set aside and put back if anything below throws.
    std::array<std::vector<std::uint32_t>, 10> saved;
    std::size_t k = 0;
    detail::for_each_span_column(*this, [&](auto& column) { saved[k++].swap(column); });
    saved[k].swap(sentence_entity_offsets);
    try {
        sentence_entity_offsets.assign(1, 0);
        const std::size_t sentences = sentence_count();
        for (std::size_t s = 0; s < sentences; ++s) {
            const std::uint32_t last = sentence_token_offsets[s + 1];
            auto tag_of = [&](std::uint32_t row) -> const std::string* {
                const std::uint32_t id = token_ner[row];
                return id == kAbsentStringId ? nullptr : &pool.get(id);
            };
            for (std::uint32_t i = sentence_token_offsets[s]; i < last;) {
                const std::string* tag = tag_of(i);
                if (!usable_tag(tag)) {
                    ++i;
                    continue;
                }
                const char prefix = (*tag)[0];
                // Copied: interning the span strings may move the pool's storage.
                const std::string type = tag->substr(2);
                if (prefix == 'O') {
                    ++i;
                    continue;
                }
                std::uint32_t end = i + 1;
                if (prefix == 'B') {
                    while (end < last) {
                        const std::string* next = tag_of(end);
                        if (!usable_tag(next) || next->compare(2, std::string::npos, type) != 0) break;
                        const char p = (*next)[0];
                        if (p == 'I') {
                            ++end;
                        } else if (p == 'E' || p == 'L') {
                            ++end;
                            break;
                        } else {
                            break;
                        }
                    }
                }
                append_entity(static_cast<std::uint32_t>(s), i, end, type);
                i = end;
            }
            sentence_entity_offsets.push_back(static_cast<std::uint32_t>(span_count()));
        }
    } catch (...) {
        k = 0;
        detail::for_each_span_column(*this, [&](auto& column) { saved[k++].swap(column); });
        saved[k].swap(sentence_entity_offsets);
        throw;
    }
}

void DocumentStorage::append_entity(std::uint32_t sentence, std::uint32_t first_token,
                                    std::uint32_t end_token, const std::string& type) {
    const std::uint32_t last_token = end_token - 1;
    const std::uint32_t start = token_start_char[first_token];
    const std::uint32_t end = token_end_char[last_token];
    std::uint32_t text_id;
    if (start != kAbsentCharOffset && end != kAbsentCharOffset && start <= end &&
        end <= text.codepoint_count()) {
        text_id = pool.intern(text.slice(start, end));
    } else {
        std::string joined = pool.get(token_text[first_token]);
        for (std::uint32_t t = first_token + 1; t < end_token; ++t) {
            const std::string& after = pool.get(token_spaces_after[t - 1]);
            joined += after.empty() ? pool.get(token_spaces_before[t]) : after;
            joined += pool.get(token_text[t]);
        }
        text_id = pool.intern(joined);
    }
    const std::uint32_t type_id = pool.intern(type);
    span_sentence.push_back(sentence);
    span_token_begin.push_back(first_token);
    span_token_end.push_back(end_token);
    span_word_begin.push_back(token_word_begin[first_token]);
    span_word_end.push_back(token_word_end[last_token]);
    span_text.push_back(text_id);
    span_type.push_back(type_id);
    span_start_char.push_back(start);
    span_end_char.push_back(end);
}

void DocumentStorage::reset_generated_empty_words() {
    if (word_count() <= input_word_count) return;
    const auto keep = static_cast<std::size_t>(input_word_count);
    detail::for_each_word_column(*this, [keep](auto& column) {
        column.erase(column.begin() + static_cast<std::ptrdiff_t>(keep), column.end());
    });
    for (std::vector<std::uint32_t>& rows : sentence_empty_words) {
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [keep](std::uint32_t row) { return row >= keep; }),
                   rows.end());
    }
}

DocumentStorage::GeneratedEmptyWordsReset::GeneratedEmptyWordsReset(DocumentStorage& storage)
    : storage_(storage), sentence_empty_words_(storage.sentence_empty_words) {
    const auto keep = static_cast<std::size_t>(storage.input_word_count);
    detail::for_each_word_column(storage, [&](auto& column) {
        using Column = std::decay_t<decltype(column)>;
        auto tail = std::make_shared<Column>(column.begin() + static_cast<std::ptrdiff_t>(keep), column.end());
        restore_.push_back([&column, tail, keep] {
            column.resize(keep);
            column.insert(column.end(), std::make_move_iterator(tail->begin()), std::make_move_iterator(tail->end()));
        });
    });
    storage.reset_generated_empty_words();
}

DocumentStorage::GeneratedEmptyWordsReset::~GeneratedEmptyWordsReset() {
    if (committed_) return;
    for (auto& restore : restore_) restore();
    storage_.sentence_empty_words = std::move(sentence_empty_words_);
}

void DocumentStorage::replace(std::vector<SentenceInput> sentences) {
    const std::optional<std::string> language = pool.optional(lang);
    DocumentStorage fresh(text);
    fresh.build(sentences);
    fresh.lang = fresh.pool.intern_optional(language);
    *this = std::move(fresh);
}

void DocumentStorage::set_coref(const std::vector<CorefChain>& chains) {
    // Everything is made aside and swapped in at the end, so a refused mention
    // leaves the old chains and attachments in place.
    std::vector<std::shared_ptr<const CorefChain>> new_chains;
    new_chains.reserve(chains.size());
    std::vector<std::vector<CorefAttachment>> new_coref(word_count());
    const std::size_t sentences = sentence_count();
    for (const CorefChain& chain : chains) {
        auto shared = std::make_shared<const CorefChain>(chain);
        new_chains.push_back(shared);
        const std::optional<int> representative = chain.representative_index();
        const std::vector<CorefMention>& mentions = chain.mentions();
        for (std::size_t k = 0; k < mentions.size(); ++k) {
            const CorefMention& mention = mentions[k];
            const int s = mention.sentence();
            if (s < 0 || static_cast<std::size_t>(s) >= sentences) {
                throw std::out_of_range("a coreference mention has an invalid sentence index");
            }
            const CorefWordPosition start = mention.start_word();
            const CorefWordPosition end = mention.end_word();
            if (!start.empty_index && !end.empty_index) {
                const std::uint32_t base = sentence_word_offsets[s];
                const std::int64_t words = std::int64_t{sentence_word_offsets[s + 1]} - base;
                if (start.word < 0 || start.word > end.word || end.word > words) {
                    throw std::out_of_range("a coreference mention has an invalid word range");
                }
                const bool is_representative = representative && *representative == static_cast<int>(k);
                for (int j = start.word; j < end.word; ++j) {
                    new_coref[base + static_cast<std::uint32_t>(j)].emplace_back(
                        shared, j == start.word, j == end.word - 1, is_representative);
                }
                continue;
            }
            if (!start.empty_index || !end.empty_index || start.word != end.word ||
                *start.empty_index != *end.empty_index) {
                throw std::out_of_range("a zero coreference mention must name one empty word");
            }
            const auto& rows = sentence_empty_words[s];
            const auto match = std::find_if(rows.begin(), rows.end(), [&](std::uint32_t row) {
                return word_id[row] == start.word && word_empty_index[row] == *start.empty_index;
            });
            if (match == rows.end()) {
                throw std::out_of_range("a zero coreference mention has no matching empty word");
            }
            new_coref[*match].emplace_back(shared, true, true, false);
        }
    }
    coref_chains.swap(new_chains);
    word_coref.swap(new_coref);
}

}  // namespace quelbin
