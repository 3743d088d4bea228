// Small builders of document input records for the document-model tests.
#pragma once

#include <quelbin/document.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quelbin::testing {

inline WordInput make_word(int id, std::string text) {
    WordInput w;
    w.id = id;
    w.text = std::move(text);
    return w;
}

inline WordInput make_empty_word(int id, int empty_index, std::string text) {
    WordInput w = make_word(id, std::move(text));
    w.empty_index = empty_index;
    return w;
}

// A one-word token whose word carries the same text.
inline TokenInput make_token(int id, std::string text) {
    TokenInput t;
    t.id_start = id;
    t.id_end = id;
    t.text = text;
    t.words.push_back(make_word(id, std::move(text)));
    return t;
}

// A multi-word token over consecutive ids starting at first_id.
inline TokenInput make_mwt(int first_id, std::string text, const std::vector<std::string>& words) {
    TokenInput t;
    t.id_start = first_id;
    t.id_end = first_id + static_cast<int>(words.size()) - 1;
    t.text = std::move(text);
    for (std::size_t i = 0; i < words.size(); ++i) {
        t.words.push_back(make_word(first_id + static_cast<int>(i), words[i]));
    }
    return t;
}

// A sentence of one-word tokens with ids 1, 2, ...
inline SentenceInput make_sentence(const std::vector<std::string>& tokens) {
    SentenceInput s;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        s.tokens.push_back(make_token(static_cast<int>(i) + 1, tokens[i]));
    }
    return s;
}

}  // namespace quelbin::testing
