// Document-model test helpers: record builders, storage snapshots and checks.
#pragma once

#include <quelbin/document.hpp>

#include <algorithm>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelbin::detail {

// Gives tests a small pool limit so that a full pool can be reached.
struct StringPoolTestPeer {
    static void set_max_strings(StringPool& pool, std::size_t max) { pool.max_strings_ = max; }
};

}  // namespace quelbin::detail

namespace quelbin::doctest {

inline WordInput word(int id, std::string text, std::optional<int> empty_index = std::nullopt) {
    WordInput w;
    w.id = id;
    w.empty_index = empty_index;
    w.text = std::move(text);
    return w;
}

// A one-word token whose word has the same text.
inline TokenInput token(int id, const std::string& text, std::optional<std::uint32_t> start = {},
                        std::optional<std::uint32_t> end = {}) {
    TokenInput t;
    t.id_start = t.id_end = id;
    t.text = text;
    t.start_char = start;
    t.end_char = end;
    t.words.push_back(word(id, text));
    return t;
}

inline SentenceInput sentence(std::vector<TokenInput> tokens) {
    SentenceInput s;
    s.tokens = std::move(tokens);
    return s;
}

// A sentence of one-word tokens with ids 1, 2, ...
inline SentenceInput plain(const std::vector<std::string>& texts) {
    SentenceInput s;
    for (const std::string& text : texts) {
        s.tokens.push_back(token(static_cast<int>(s.tokens.size()) + 1, text));
    }
    return s;
}

// Calls f(table, column) for every row column of the storage; the table is
// 's' (sentences), 't' (tokens), 'w' (words) or 'p' (entity spans).
template <class F>
void each_column(const DocumentStorage& d, F&& f) {
    auto table = [&f](char name, const auto&... columns) { (f(name, columns), ...); };
    table('s', d.sentence_empty_words, d.sentence_text, d.sentence_sent_id, d.sentence_speaker,
          d.sentence_doc_id, d.sentence_sentiment, d.sentence_comments, d.sentence_constituency);
    table('t', d.token_sentence, d.token_id_start, d.token_id_end, d.token_word_begin,
          d.token_word_end, d.token_text, d.token_misc, d.token_ner, d.token_multi_ner,
          d.token_start_char, d.token_end_char, d.token_manual_expansion, d.token_spaces_before,
          d.token_spaces_after);
    table('w', d.word_sentence, d.word_token, d.word_id, d.word_empty_index, d.word_text,
          d.word_lemma, d.word_upos, d.word_xpos, d.word_feats, d.word_head, d.word_deprel,
          d.word_deps, d.word_misc, d.word_start_char, d.word_end_char, d.word_manual_expansion,
          d.word_morphemes, d.word_coref);
    table('p', d.span_sentence, d.span_token_begin, d.span_token_end, d.span_word_begin,
          d.span_word_end, d.span_text, d.span_type, d.span_start_char, d.span_end_char);
}

inline void put(std::ostream& out, const TreeNodePtr& node) { out << node.get(); }
inline void put(std::ostream& out, const std::shared_ptr<const CorefChain>& chain) {
    out << chain.get() << '/' << chain->index() << '/' << chain->mentions().size();
}
inline void put(std::ostream& out, const CorefAttachment& a) {
    out << a.chain().get() << a.is_start() << a.is_end() << a.is_representative();
}
template <class T>
void put(std::ostream& out, const T& value) {
    out << +value;
}
template <class T>
void put(std::ostream& out, const std::vector<T>& list) {
    out << '[';
    for (const T& value : list) put(out, value), out << ' ';
    out << "]\n";
}

// Every column, offset list, count and chain of the storage, and its strings.
inline std::string snapshot(const DocumentStorage& d) {
    std::ostringstream out;
    out << d.text.bytes() << '\n' << d.lang << ' ' << d.regular_word_count << ' '
        << d.input_word_count;
    for (std::uint32_t i = 0; i < d.pool.size(); ++i) out << '<' << d.pool.get(i) << '>';
    put(out, d.sentence_token_offsets);
    put(out, d.sentence_word_offsets);
    put(out, d.sentence_entity_offsets);
    put(out, d.coref_chains);
    each_column(d, [&out](char, const auto& column) { put(out, column); });
    return out.str();
}

// The first broken structural invariant of the storage, or "" when it is
// sound. String ids are left to snapshot() and to the CoNLL-U writer.
inline std::string check_invariants(const DocumentStorage& d) {
    const std::size_t S = d.sentence_count(), W = d.word_count(), R = d.regular_word_count;
    const std::size_t rows[] = {S, d.token_count(), W, d.span_count()};
    std::string wrong;
    each_column(d, [&](char table, const auto& column) {
        if (column.size() != rows[std::string("stwp").find(table)]) wrong = "column sizes";
    });
    auto offsets_ok = [&](const std::vector<std::uint32_t>& offsets, std::size_t total) {
        return offsets.size() == S + 1 && offsets.front() == 0 && offsets.back() == total &&
               std::is_sorted(offsets.begin(), offsets.end());
    };
    if (!offsets_ok(d.sentence_token_offsets, rows[1]) || !offsets_ok(d.sentence_word_offsets, R) ||
        !offsets_ok(d.sentence_entity_offsets, rows[3]) || R > d.input_word_count ||
        d.input_word_count > W) {
        wrong = "offsets and counts";
    }
    std::size_t empty_words = 0;
    for (std::uint32_t s = 0; s < S && wrong.empty(); ++s) {
        const std::uint32_t* tokens = &d.sentence_token_offsets[s];
        std::uint32_t w = d.sentence_word_offsets[s];
        for (std::uint32_t t = tokens[0]; t < tokens[1]; ++t) {
            if (d.token_sentence[t] != s || d.token_word_begin[t] != w) wrong = "token rows";
            for (; w < d.token_word_end[t] && w < W; ++w) {
                if (d.word_sentence[w] != s || d.word_token[w] != t || d.word_id[w] < 1 ||
                    d.word_empty_index[w] != kAbsentInt32) {
                    wrong = "word rows";
                }
            }
        }
        if (w != d.sentence_word_offsets[s + 1]) wrong = "sentence words";
        for (std::uint32_t row : d.sentence_empty_words[s]) {
            if (row < R || row >= W || d.word_sentence[row] != s || d.word_token[row] != kNoRow ||
                d.word_id[row] < 0 || d.word_empty_index[row] < 1) {
                wrong = "empty word rows";
            }
        }
        empty_words += d.sentence_empty_words[s].size();
        const std::uint32_t* spans = &d.sentence_entity_offsets[s];
        for (std::uint32_t p = spans[0]; p < spans[1]; ++p) {
            if (d.span_sentence[p] != s || d.span_token_begin[p] >= d.span_token_end[p] ||
                d.span_token_begin[p] < tokens[0] || d.span_token_end[p] > tokens[1]) {
                wrong = "span rows";
            }
        }
    }
    return wrong.empty() && empty_words != W - R ? "empty words listed" : wrong;
}

// "<class>: <message>" of what `call` throws, or "no failure".
inline std::string failure(const std::function<void()>& call) {
    try {
        call();
        return "no failure";
    } catch (const std::exception& e) {
        const char* kind = dynamic_cast<const std::out_of_range*>(&e)       ? "out_of_range"
                           : dynamic_cast<const std::invalid_argument*>(&e) ? "invalid_argument"
                           : dynamic_cast<const std::logic_error*>(&e)      ? "logic_error"
                           : dynamic_cast<const std::overflow_error*>(&e)   ? "overflow_error"
                                                                            : "other";
        return std::string(kind) + ": " + e.what();
    }
}

}  // namespace quelbin::doctest
