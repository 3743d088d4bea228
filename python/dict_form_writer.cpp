// Writer of the dictionary form: entry dicts built from the document views,
// with token spacing rendered into MISC.
#include "dict_form.hpp"
#include "dict_form_keys.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <utility>

namespace quelbin::python {
namespace {

void set(nb::dict& d, const nb::str& key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

void set(nb::dict& d, const nb::str& key, const std::string& value) {
    set(d, key, nb::str(value.data(), value.size()));
}

void set_optional(nb::dict& d, const nb::str& key, const std::optional<std::string>& value) {
    if (value) set(d, key, *value);
}

void set_offset(nb::dict& d, const nb::str& key, const std::optional<std::uint32_t>& value) {
    if (value) set(d, key, nb::int_(*value));
}

nb::list string_list(const std::vector<std::string>& values) {
    nb::list out;
    for (const std::string& v : values) out.append(nb::str(v.data(), v.size()));
    return out;
}

// Replaces "misc" in place when the entry has it, else adds it last.
void put_rendered_misc(nb::dict& entry, const std::optional<std::string>& rendered) {
    if (rendered) set(entry, dict_keys().misc, *rendered);
}

// The empty words of a sentence by word id, then empty index.
std::vector<Word> ordered_empty_words(const Sentence& sentence) {
    const WordSequence stored = sentence.empty_words();
    std::vector<Word> words;
    words.reserve(stored.size());
    for (std::uint64_t i = 0; i < stored.size(); ++i) {
        words.push_back(stored.at(static_cast<std::int64_t>(i)));
    }
    std::stable_sort(words.begin(), words.end(), [](const Word& a, const Word& b) {
        return std::make_pair(a.id(), a.empty_index().value_or(0)) <
               std::make_pair(b.id(), b.empty_index().value_or(0));
    });
    return words;
}

void append_token_entries(nb::list& out, const Token& token) {
    const DictKeys& k = dict_keys();
    const auto [first, last] = token.id_range();
    const std::string before = token.spaces_before();
    const std::string after = token.spaces_after();
    const bool multi_word = first != last;
    if (multi_word) {
        nb::dict entry;
        set(entry, k.id, nb::make_tuple(first, last));
        set(entry, k.text, token.text());
        set_optional(entry, k.misc, render_misc(token.misc(), before, after));
        set_optional(entry, k.ner, token.ner());
        const std::vector<std::string> tags = token.multi_ner();
        if (!tags.empty()) set(entry, k.multi_ner, string_list(tags));
        set_offset(entry, k.start_char, token.start_char());
        set_offset(entry, k.end_char, token.end_char());
        if (const std::optional<bool> flag = token.manual_expansion()) {
            set(entry, k.manual_expansion, nb::bool_(*flag));
        }
        out.append(std::move(entry));
    }
    const WordSequence words = token.words();
    const std::optional<std::string> ner = multi_word ? std::nullopt : token.ner();
    const std::vector<std::string> multi_ner =
        multi_word ? std::vector<std::string>{} : token.multi_ner();
    for (std::uint64_t i = 0; i < words.size(); ++i) {
        const Word word = words.at(static_cast<std::int64_t>(i));
        nb::dict entry = word_to_dict(word, ner, multi_ner);
        // Inside a multi-word token a word takes no spacing of its own.
        put_rendered_misc(entry, multi_word ? render_misc(word.misc(), "", " ")
                                            : render_misc(word.misc(), before, after));
        out.append(std::move(entry));
    }
}

}  // namespace

nb::dict word_to_dict(const Word& word, const std::optional<std::string>& ner,
                      const std::vector<std::string>& multi_ner) {
    const DictKeys& k = dict_keys();
    nb::dict entry;
    if (const std::optional<std::int32_t> empty = word.empty_index()) {
        set(entry, k.id, nb::make_tuple(word.id(), *empty));
    } else {
        set(entry, k.id, nb::int_(word.id()));
    }
    set(entry, k.text, word.text());
    set_optional(entry, k.lemma, word.lemma());
    set_optional(entry, k.upos, word.upos());
    set_optional(entry, k.xpos, word.xpos());
    set_optional(entry, k.feats, word.feats());
    if (const std::optional<std::int32_t> head = word.head()) set(entry, k.head, nb::int_(*head));
    set_optional(entry, k.deprel, word.deprel());
    set_optional(entry, k.deps, word.deps());
    set_optional(entry, k.misc, word.misc());
    set_offset(entry, k.start_char, word.start_char());
    set_offset(entry, k.end_char, word.end_char());
    if (const std::optional<bool> flag = word.manual_expansion()) {
        set(entry, k.manual_expansion, nb::bool_(*flag));
    }
    set_optional(entry, k.ner, ner);
    if (!multi_ner.empty()) set(entry, k.multi_ner, string_list(multi_ner));
    const std::vector<std::string> morphemes = word.morphemes();
    if (!morphemes.empty()) set(entry, k.morphemes, string_list(morphemes));
    const std::vector<CorefAttachment> attachments = word.coref_chains();
    if (!attachments.empty()) {
        nb::list chains;
        for (const CorefAttachment& a : attachments) chains.append(coref_attachment_to_json(a));
        set(entry, k.coref_chains, chains);
    }
    return entry;
}

nb::list token_to_dict(const Token& token) {
    nb::list out;
    append_token_entries(out, token);
    return out;
}

nb::list sentence_to_dict(const Sentence& sentence) {
    nb::list out;
    const std::vector<Word> empty = ordered_empty_words(sentence);
    std::size_t e = 0;
    const TokenSequence tokens = sentence.tokens();
    for (std::uint64_t i = 0; i < tokens.size(); ++i) {
        const Token token = tokens.at(static_cast<std::int64_t>(i));
        const std::int32_t first = token.id_range().first;
        // An empty word k.n follows every word of the token holding word k.
        for (; e < empty.size() && empty[e].id() < first; ++e) {
            out.append(word_to_dict(empty[e], std::nullopt, {}));
        }
        append_token_entries(out, token);
    }
    for (; e < empty.size(); ++e) out.append(word_to_dict(empty[e], std::nullopt, {}));
    return out;
}

nb::list document_to_dict(const Document& doc) {
    nb::list out;
    const SentenceSequence sentences = doc.sentences();
    for (std::uint64_t i = 0; i < sentences.size(); ++i) {
        out.append(sentence_to_dict(sentences.at(static_cast<std::int64_t>(i))));
    }
    return out;
}

nb::dict span_to_dict(const Span& span) {
    const DictKeys& k = dict_keys();
    nb::dict entry;
    set(entry, k.text, span.text());
    set(entry, k.type, span.type());
    const std::optional<std::uint32_t> start = span.start_char();
    const std::optional<std::uint32_t> end = span.end_char();
    set(entry, k.start_char, start ? nb::object(nb::int_(*start)) : nb::none());
    set(entry, k.end_char, end ? nb::object(nb::int_(*end)) : nb::none());
    return entry;
}

nb::dict coref_attachment_to_json(const CorefAttachment& attachment) {
    const DictKeys& k = dict_keys();
    nb::dict entry;
    set(entry, k.index, nb::int_(attachment.chain()->index()));
    set(entry, k.representative_text, attachment.chain()->representative_text());
    if (attachment.is_start()) set(entry, k.is_start, Py_True);
    if (attachment.is_end()) set(entry, k.is_end, Py_True);
    if (attachment.is_representative()) set(entry, k.is_representative, Py_True);
    return entry;
}

std::vector<std::string_view> split_misc(std::string_view misc) {
    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    while (begin <= misc.size()) {
        std::size_t bar = misc.find('|', begin);
        if (bar == std::string_view::npos) bar = misc.size();
        if (bar > begin) pieces.push_back(misc.substr(begin, bar - begin));
        begin = bar + 1;
    }
    return pieces;
}

std::string join_misc(const std::vector<std::string>& pieces) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i) out += '|';
        out += pieces[i];
    }
    return out;
}

std::string escape_misc_value(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case ' ': out += "\\s"; break;
            case '\\': out += "\\\\"; break;
            case '|': out += "\\p"; break;
            default:
                if (c == '\xC2' && i + 1 < bytes.size() && bytes[i + 1] == '\xA0') {
                    out += "\\u00A0";
                    ++i;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::optional<std::string> render_misc(const std::optional<std::string>& stored,
                                       std::string_view spaces_before,
                                       std::string_view spaces_after) {
    std::vector<std::string> entries;
    if (stored) {
        for (std::string_view piece : split_misc(*stored)) entries.emplace_back(piece);
    }
    const bool had_entries = !entries.empty();
    bool added = false;
    if (spaces_after.empty()) {
        entries.emplace_back("SpaceAfter=No");
        added = true;
    } else if (spaces_after != " ") {
        entries.push_back("SpacesAfter=" + escape_misc_value(spaces_after));
        added = true;
    }
    if (!spaces_before.empty()) {
        entries.push_back("SpacesBefore=" + escape_misc_value(spaces_before));
        added = true;
    }
    // std::string compares bytes as unsigned, so this is plain byte order.
    if (had_entries && added) std::sort(entries.begin(), entries.end());
    if (entries.empty()) return std::nullopt;
    return join_misc(entries);
}

}  // namespace quelbin::python
