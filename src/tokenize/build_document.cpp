#include "tokenize/build_document.hpp"

#include <quelbin/errors.hpp>

#include <algorithm>
#include <string_view>

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

SpanInput build_spans(const TokenizerPlan::Impl& impl, const Utf8Text& text, std::vector<Paragraph>& paragraphs,
                      std::vector<Labels>& labels) {
    if (labels.size() != paragraphs.size()) {
        throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
    }
    const bool la_ittb = impl.shorthand == "la_ittb";
    const bool remove_spaces = drops_spaces(impl.lang);
    const auto label_of = [&](const Paragraph& paragraph, const Labels& paragraph_labels, std::size_t i) {
        const std::uint32_t code_point = paragraph[i].code_point;
        return la_ittb && (code_point == 0x3A || code_point == 0x3B) ? std::int64_t{2} : paragraph_labels[i];
    };

    // Room for every token and sentence at once: a token ends at each label
    // from 1 (whitespace-only stretches make it an upper bound), a sentence at
    // each 2 or 4 and at each paragraph end.
    std::size_t token_bound = 0, sentence_bound = paragraphs.size();
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        if (labels[p].size() < paragraphs[p].size()) {
            throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
        }
        for (std::size_t i = 0; i < paragraphs[p].size(); ++i) {
            const std::int64_t label = label_of(paragraphs[p], labels[p], i);
            token_bound += label >= 1;
            sentence_bound += label == 2 || label == 4;
        }
    }
    SpanInput spans;
    spans.tokens.reserve(token_bound);
    spans.sentence_ends.reserve(sentence_bound);
    // Indices of the two strings many tokens share, added when first needed.
    std::uint32_t mwt_mark = kSpanNoMisc, unknown = kSpanNoMisc;
    const auto shared = [&](std::uint32_t& index, const char* value) {
        if (index == kSpanNoMisc) {
            index = static_cast<std::uint32_t>(spans.strings.size());
            spans.strings.emplace_back(value);
        }
        return index;
    };
    const std::string_view bytes = text.bytes();

    const auto close_sentence = [&] { spans.sentence_ends.push_back(static_cast<std::uint32_t>(spans.tokens.size())); };
    std::string buffer;
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        const Paragraph& paragraph = paragraphs[p];
        const Labels& paragraph_labels = labels[p];
        std::size_t first_unit = 0;
        for (std::size_t i = 0; i < paragraph.size(); ++i) {
            if (buffer.empty()) first_unit = i;
            buffer += paragraph[i].text;

            const std::int64_t label = label_of(paragraph, paragraph_labels, i);
            if (label < 1) continue;

            std::size_t first = first_unit;
            while (first <= i && paragraph[first].code_point == 0x20) ++first;
            if (first > i) {
                buffer.clear();
                continue;
            }
            std::size_t last = i;
            while (paragraph[last].code_point == 0x20) --last;

            SpanToken token;
            token.start_char = paragraph[first].index;
            token.end_char = paragraph[last].index + 1;
            if (label == 3 || label == 4) token.misc = shared(mwt_mark, "MWT=Yes");
            // The units' text from the first non-space one; most tokens are
            // exactly the text between their offsets and keep no copy.
            std::string_view written(buffer);
            written.remove_prefix(first - first_unit);  // one byte per space unit
            if (i - first >= kMaxTokenUnits) {
                token.text = shared(unknown, "<UNK>");
            } else {
                const std::size_t from = text.byte_offset(token.start_char);
                const bool spaces_go = remove_spaces && written.find(' ') != std::string_view::npos;
                if (spaces_go || written != bytes.substr(from, text.byte_offset(token.end_char) - from)) {
                    std::string copy(written);
                    if (remove_spaces) copy.erase(std::remove(copy.begin(), copy.end(), ' '), copy.end());
                    token.text = static_cast<std::uint32_t>(spans.strings.size());
                    spans.strings.push_back(std::move(copy));
                }
            }
            spans.tokens.push_back(token);
            buffer.clear();
            if (label == 2 || label == 4) close_sentence();
        }
        if (!buffer.empty()) throw TokenizerModelError("tokenizer prediction left an unfinished token");
        const std::size_t closed = spans.sentence_ends.empty() ? 0 : spans.sentence_ends.back();
        if (spans.tokens.size() > closed) close_sentence();
        Paragraph().swap(paragraphs[p]);
        Labels().swap(labels[p]);
    }
    return spans;
}

}  // namespace quelbin::detail
