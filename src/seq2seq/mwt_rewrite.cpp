// The document rewrite of multi-word-token expansion: the document is copied
// into input records, marked tokens get their expanded words, every sentence is
// renumbered, and the storage is rebuilt from the records in one step.
#include <climits>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "quelbin/document_storage.hpp"
#include "seq2seq/mwt_impl.hpp"

namespace quelbin {
namespace detail {
namespace {

constexpr const char* kMarker = "MWT=Yes";

std::optional<std::uint32_t> offset_of(std::uint32_t value) {
    if (value == kAbsentCharOffset) return std::nullopt;
    return value;
}

std::optional<bool> flag_of(std::int8_t value) {
    if (value < 0) return std::nullopt;
    return value != 0;
}

std::optional<std::int32_t> int_of(std::int32_t value) {
    if (value == kAbsentInt32) return std::nullopt;
    return value;
}

// Calls `f` with every '|'-separated item of the value, empty ones included.
template <class F>
void for_each_item(const std::string& misc, F&& f) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = misc.find('|', start);
        f(std::string_view(misc).substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return;
        start = end + 1;
    }
}

// The MISC value without empty items and without the marking item; absent when
// nothing remains.
std::optional<std::string> unmarked_misc(const std::string& misc) {
    std::string kept;
    for_each_item(misc, [&](std::string_view item) {
        if (item.empty() || item == kMarker) return;
        if (!kept.empty()) kept += '|';
        kept += item;
    });
    if (kept.empty()) return std::nullopt;
    return kept;
}

std::vector<std::string> split_at_blanks(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return pieces;
}

WordInput word_record(const DocumentStorage& d, std::uint32_t row) {
    const StringPool& pool = d.pool;
    WordInput word;
    word.id = d.word_id[row];
    word.empty_index = int_of(d.word_empty_index[row]);
    word.text = pool.get(d.word_text[row]);
    word.lemma = pool.optional(d.word_lemma[row]);
    word.upos = pool.optional(d.word_upos[row]);
    word.xpos = pool.optional(d.word_xpos[row]);
    word.feats = pool.optional(d.word_feats[row]);
    word.head = int_of(d.word_head[row]);
    word.deprel = pool.optional(d.word_deprel[row]);
    word.deps = pool.optional(d.word_deps[row]);
    word.misc = pool.optional(d.word_misc[row]);
    word.start_char = offset_of(d.word_start_char[row]);
    word.end_char = offset_of(d.word_end_char[row]);
    word.manual_expansion = flag_of(d.word_manual_expansion[row]);
    word.morphemes = pool.strings_of(d.word_morphemes[row]);
    return word;
}

TokenInput token_record(const DocumentStorage& d, std::uint32_t row) {
    const StringPool& pool = d.pool;
    TokenInput token;
    token.id_start = d.token_id_start[row];
    token.id_end = d.token_id_end[row];
    token.text = pool.get(d.token_text[row]);
    token.misc = pool.optional(d.token_misc[row]);
    token.ner = pool.optional(d.token_ner[row]);
    token.multi_ner = pool.strings_of(d.token_multi_ner[row]);
    token.start_char = offset_of(d.token_start_char[row]);
    token.end_char = offset_of(d.token_end_char[row]);
    token.manual_expansion = flag_of(d.token_manual_expansion[row]);
    token.spaces_before = pool.get(d.token_spaces_before[row]);
    token.spaces_after = pool.get(d.token_spaces_after[row]);
    for (std::uint32_t w = d.token_word_begin[row]; w < d.token_word_end[row]; ++w) {
        token.words.push_back(word_record(d, w));
    }
    return token;
}

// A new id of the sentence; ids past the 32-bit range cannot be stored.
int checked_id(long long id) {
    if (id > INT_MAX) throw std::invalid_argument("a token has an invalid ID range");
    return static_cast<int>(id);
}

void clear_relations(WordInput& word) {
    word.head.reset();
    word.deprel.reset();
    word.deps.reset();
}

}  // namespace

bool misc_marks_mwt(const std::string& misc) {
    bool marked = false;
    for_each_item(misc, [&](std::string_view item) { marked = marked || item == kMarker; });
    return marked;
}

Document rewrite_mwt_document(const Document& document,
                              const std::function<std::string(const std::string&)>& expand) {
    const std::shared_ptr<DocumentStorage>& storage = document.storage();
    const DocumentStorage& d = *storage;
    const StringPool& pool = d.pool;
    std::vector<SentenceInput> sentences(d.sentence_count());
    for (std::uint32_t s = 0; s < sentences.size(); ++s) {
        SentenceInput& sentence = sentences[s];
        sentence.text = pool.optional(d.sentence_text[s]);
        sentence.sent_id = pool.optional(d.sentence_sent_id[s]);
        sentence.speaker = pool.optional(d.sentence_speaker[s]);
        sentence.doc_id = pool.optional(d.sentence_doc_id[s]);
        sentence.sentiment = int_of(d.sentence_sentiment[s]);
        sentence.comments = pool.strings_of(d.sentence_comments[s]);

        // Old id of every regular word -> its new id: the same word where words
        // are kept, the last word of the expansion where a token was expanded.
        std::map<int, int> renumbered;
        long long n = 0;
        const std::uint32_t last_token = d.sentence_token_offsets[s + 1];
        sentence.tokens.reserve(last_token - d.sentence_token_offsets[s]);
        for (std::uint32_t t = d.sentence_token_offsets[s]; t < last_token; ++t) {
            TokenInput token = token_record(d, t);
            if (token.misc && misc_marks_mwt(*token.misc)) {
                std::vector<std::string> pieces = split_at_blanks(expand(token.text));
                // A single-word result never changes the word's spelling.
                if (pieces.size() <= 1) pieces.assign(1, token.text);
                token.misc = unmarked_misc(*token.misc);
                const auto k = static_cast<long long>(pieces.size());
                token.id_start = checked_id(n + 1);
                token.id_end = checked_id(n + k);
                for (const WordInput& old : token.words) renumbered.emplace(old.id, token.id_end);
                token.words.clear();
                for (long long i = 0; i < k; ++i) {
                    WordInput word;
                    word.id = static_cast<int>(n + 1 + i);
                    word.text = std::move(pieces[static_cast<std::size_t>(i)]);
                    if (k == 1) {
                        word.start_char = token.start_char;
                        word.end_char = token.end_char;
                    }
                    token.words.push_back(std::move(word));
                }
                n += k;
            } else if (token.manual_expansion.value_or(false)) {
                // Words given by hand keep their relative numbering; the whole
                // token moves to the next id of the sentence.
                const long long shift = (n + 1) - token.id_start;
                token.id_start = checked_id(token.id_start + shift);
                token.id_end = checked_id(token.id_end + shift);
                for (WordInput& word : token.words) {
                    const int moved = checked_id(word.id + shift);
                    renumbered.emplace(word.id, moved);
                    word.id = moved;
                    clear_relations(word);
                }
                n = token.id_end;
                token.manual_expansion.reset();
            } else {
                if (token.words.empty()) {
                    // The token's old ids name its new word, so that an empty
                    // word after it stays after it.
                    renumbered.emplace(token.id_start, checked_id(n + 1));
                    WordInput word;
                    word.text = token.text;
                    word.start_char = token.start_char;
                    word.end_char = token.end_char;
                    token.words.push_back(std::move(word));
                } else {
                    for (std::size_t i = 0; i < token.words.size(); ++i) {
                        renumbered.emplace(token.words[i].id,
                                           checked_id(n + 1 + static_cast<long long>(i)));
                    }
                }
                const auto m = static_cast<long long>(token.words.size());
                for (long long i = 0; i < m; ++i) {
                    WordInput& word = token.words[static_cast<std::size_t>(i)];
                    word.id = checked_id(n + 1 + i);
                    clear_relations(word);
                }
                token.id_start = checked_id(n + 1);
                token.id_end = checked_id(n + m);
                n += m;
            }
            sentence.tokens.push_back(std::move(token));
        }

        // An empty word stays after the word it followed: its id goes through
        // the same numbering (0 stays 0; an id that names no word follows the
        // nearest word before it). Its relations named old ids and are cleared.
        for (std::uint32_t row : d.sentence_empty_words[s]) {
            WordInput word = word_record(d, row);
            const auto after = renumbered.upper_bound(word.id);
            word.id = (word.id <= 0 || after == renumbered.begin()) ? 0 : std::prev(after)->second;
            clear_relations(word);
            sentence.empty_words.push_back(std::move(word));
        }
    }
    storage->replace(std::move(sentences));
    return Document(storage);
}

}  // namespace detail
}  // namespace quelbin
