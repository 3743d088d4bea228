#include "tokenize/build_document.hpp"

#include <quelbin/errors.hpp>

#include <algorithm>

namespace quelbin::detail {
namespace {

// Tokens longer than this many units (from their first non-space unit) get the
// text "<UNK>".
constexpr std::size_t kMaxTokenUnits = 1000;

bool drops_spaces(const std::string& lang) {
    if (lang.size() < 2) return false;
    const std::string_view prefix(lang.data(), 2);
    return prefix == "zh" || prefix == "ja" || prefix == "ko";
}

}  // namespace

std::vector<SentenceInput> build_sentences(const TokenizerPlan::Impl& impl, const Utf8Text& text,
                                           const std::vector<Paragraph>& paragraphs,
                                           const std::vector<Labels>& labels) {
    if (labels.size() != paragraphs.size()) {
        throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
    }
    const bool la_ittb = impl.shorthand == "la_ittb";
    const bool remove_spaces = drops_spaces(impl.lang);
    static const std::string kMwtMark = "MWT=Yes";

    std::vector<SentenceInput> sentences;
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        const Paragraph& paragraph = paragraphs[p];
        const Labels& paragraph_labels = labels[p];
        if (paragraph_labels.size() < paragraph.size()) {
            throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
        }
        const auto label_of = [&](std::size_t i) {
            const std::uint32_t code_point = paragraph[i].code_point;
            return la_ittb && (code_point == 0x3A || code_point == 0x3B) ? std::int64_t{2} : paragraph_labels[i];
        };
        std::string buffer;
        std::size_t first_unit = 0;
        SentenceInput sentence;
        int next_id = 1;
        bool sentence_starts = true;
        for (std::size_t i = 0; i < paragraph.size(); ++i) {
            if (sentence_starts) {
                sentence_starts = false;
                // Room for the sentence's tokens at once: its token ends up to
                // the sentence end (whitespace-only stretches make it an upper bound).
                std::size_t ends = 0;
                for (std::size_t j = i; j < paragraph.size(); ++j) {
                    const std::int64_t label = label_of(j);
                    if (label >= 1) ++ends;
                    if (label == 2 || label == 4) break;
                }
                sentence.tokens.reserve(ends);
            }
            const CharUnit& unit = paragraph[i];
            if (buffer.empty()) first_unit = i;
            buffer += unit.text;

            const std::int64_t label = label_of(i);
            if (label < 1) continue;

            std::size_t first = first_unit;
            while (first <= i && paragraph[first].code_point == 0x20) ++first;
            if (first > i) {
                buffer.clear();
                continue;
            }
            std::size_t last = i;
            while (paragraph[last].code_point == 0x20) --last;

            std::string token_text = buffer.substr(buffer.find_first_not_of(' '));
            if (remove_spaces) token_text.erase(std::remove(token_text.begin(), token_text.end(), ' '), token_text.end());
            if (i - first >= kMaxTokenUnits) token_text = "<UNK>";
            const bool multi_word = label == 3 || label == 4;

            TokenInput token;
            token.id_start = token.id_end = next_id;
            if (multi_word) token.misc = kMwtMark;
            token.start_char = paragraph[first].index;
            token.end_char = paragraph[last].index + 1;
            token.spaces_before.clear();
            token.spaces_after.clear();
            WordInput word;
            word.id = next_id;
            word.text = token_text;
            word.misc = token.misc;
            word.start_char = token.start_char;
            word.end_char = token.end_char;
            token.text = std::move(token_text);
            token.words.push_back(std::move(word));
            sentence.tokens.push_back(std::move(token));
            ++next_id;
            buffer.clear();

            if (label == 2 || label == 4) {
                // Records left unused by whitespace-only stretches are freed;
                // over a large text slack is a good part of the peak.
                sentence.tokens.shrink_to_fit();
                sentences.push_back(std::move(sentence));
                sentence = SentenceInput();
                sentence_starts = true;
                next_id = 1;
            }
        }
        if (!buffer.empty()) throw TokenizerModelError("tokenizer prediction left an unfinished token");
        if (!sentence.tokens.empty()) {
            sentence.tokens.shrink_to_fit();
            sentences.push_back(std::move(sentence));
        }
    }

    // Whitespace around tokens, verbatim from the text.
    TokenInput* previous = nullptr;
    for (SentenceInput& sentence : sentences) {
        for (TokenInput& token : sentence.tokens) {
            if (previous == nullptr) {
                token.spaces_before = text.slice(0, *token.start_char);
            } else {
                previous->spaces_after = text.slice(*previous->end_char, *token.start_char);
            }
            previous = &token;
        }
    }
    if (previous != nullptr) previous->spaces_after = text.slice(*previous->end_char, text.codepoint_count());
    return sentences;
}

}  // namespace quelbin::detail
