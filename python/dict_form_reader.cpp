// Reader of the dictionary form: classifies each entry (empty word, multi-word
// token, word of the open multi-word token, one-word token), fills the input
// records, takes the token spacing out of MISC and builds the document.
#include "dict_form.hpp"
#include "dict_form_keys.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <limits>
#include <stdexcept>
#include <utility>

namespace quelbin::python {
namespace {

// The entry's value for a key; nullptr when missing or None. Borrowed.
PyObject* field(PyObject* entry, const nb::str& key) {
    PyObject* value = PyDict_GetItemWithError(entry, key.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nullptr;
    }
    return value == Py_None ? nullptr : value;
}

// How a refusal names the value of `key` in an entry.
std::string entry_value(const nb::str& key) {
    return std::string("sentence entry '") + key.c_str() + "'";
}

std::string to_utf8(PyObject* value, const std::string& what) {
    if (!PyUnicode_Check(value)) throw nb::type_error((what + " must be a string").c_str());
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) {
        // A str with a lone surrogate has no UTF-8 form.
        PyErr_Clear();
        throw nb::type_error((what + " must be a string without lone surrogates").c_str());
    }
    return std::string(data, static_cast<std::size_t>(size));
}

bool is_underscore(PyObject* value) {
    return PyUnicode_Check(value) && PyUnicode_GetLength(value) == 1 &&
           PyUnicode_ReadChar(value, 0) == '_';
}

std::optional<std::string> optional_string_field(PyObject* entry, const nb::str& key) {
    PyObject* value = field(entry, key);
    if (!value) return std::nullopt;
    std::string text = to_utf8(value, entry_value(key));
    if (text == "_") return std::nullopt;
    return text;
}

std::string text_field(PyObject* entry) {
    PyObject* value = field(entry, dict_keys().text);
    return value ? to_utf8(value, entry_value(dict_keys().text)) : std::string();
}

std::vector<std::string> string_list_field(PyObject* entry, const nb::str& key) {
    PyObject* value = field(entry, key);
    if (!value) return {};
    const std::string what = entry_value(key);
    if (PyUnicode_Check(value)) return {to_utf8(value, what)};
    const std::string message = what + " must be a string or a sequence of strings";
    return cast_argument<std::vector<std::string>>(value, message.c_str());
}

// Offsets fill unsigned 32-bit columns whose all-ones value means absent, so
// anything from 4294967295 upward is refused rather than cut to 32 bits.
std::optional<std::uint32_t> char_offset_field(PyObject* entry, const nb::str& key,
                                               const char* name) {
    PyObject* value = field(entry, key);
    if (!value) return std::nullopt;
    int overflow = 0;
    const std::int64_t offset = to_int64(value, entry_value(key), &overflow);
    if (overflow < 0 || offset < 0) {
        throw std::invalid_argument(std::string(name) + " cannot be negative");
    }
    if (overflow > 0 || offset >= static_cast<std::int64_t>(kAbsentCharOffset)) {
        throw std::invalid_argument(std::string(name) + " must be below 4294967295");
    }
    return static_cast<std::uint32_t>(offset);
}

std::optional<bool> manual_expansion_field(PyObject* entry) {
    PyObject* value = field(entry, dict_keys().manual_expansion);
    if (!value) return std::nullopt;
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    throw nb::type_error((entry_value(dict_keys().manual_expansion) + " must be True or False").c_str());
}

std::optional<int> head_field(PyObject* entry) {
    PyObject* value = field(entry, dict_keys().head);
    if (!value || is_underscore(value)) return std::nullopt;
    return to_int32(value, entry_value(dict_keys().head));
}

// A single id, or a pair (a, b).
struct EntryId {
    std::int32_t first = 0;
    std::optional<std::int32_t> second;
};

EntryId parse_entry_id(PyObject* entry) {
    PyObject* value = field(entry, dict_keys().id);
    if (!value) throw std::invalid_argument("every token entry must contain an id");
    const std::string what = entry_value(dict_keys().id);
    if (const auto single = single_int32(value, what)) return {*single, std::nullopt};
    const Py_ssize_t length = PyObject_Size(value);
    if (length < 0) throw nb::python_error();
    if (length == 0 || length > 2) {
        throw std::invalid_argument("an id must be an int or a one/two-element sequence");
    }
    EntryId id{int32_item(value, 0, what), std::nullopt};
    if (length == 2) id.second = int32_item(value, 1, what);
    return id;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The spacing keys, then the spacing pieces taken out of MISC.
void read_spacing(PyObject* entry, TokenInput& token) {
    const DictKeys& k = dict_keys();
    token.spaces_before = optional_string_field(entry, k.spaces_before).value_or("");
    token.spaces_after = optional_string_field(entry, k.spaces_after).value_or(" ");
    if (!token.misc) return;
    // Spacing pieces leave MISC; a later one overrides an earlier one and the
    // spaces_before / spaces_after keys.
    std::vector<std::string> kept;
    for (std::string_view piece : split_misc(*token.misc)) {
        if (piece == "SpaceAfter=No" || piece == "SpaceAfter=No~") {
            token.spaces_after.clear();
        } else if (piece == "SpaceAfter=Yes") {
            token.spaces_after = " ";
        } else if (starts_with(piece, "SpaceAfter=") || starts_with(piece, "SpacesAfter=")) {
            token.spaces_after = unescape_misc_value(piece.substr(piece.find('=') + 1));
        } else if (starts_with(piece, "SpacesBefore=")) {
            token.spaces_before = unescape_misc_value(piece.substr(piece.find('=') + 1));
        } else {
            kept.emplace_back(piece);
        }
    }
    if (kept.empty()) {
        token.misc.reset();
    } else {
        token.misc = join_misc(kept);
    }
}

TokenInput parse_token_entry(PyObject* entry, std::int32_t first, std::int32_t last) {
    const DictKeys& k = dict_keys();
    TokenInput token;
    token.id_start = first;
    token.id_end = last;
    token.text = text_field(entry);
    token.misc = optional_string_field(entry, k.misc);
    token.ner = optional_string_field(entry, k.ner);
    token.multi_ner = string_list_field(entry, k.multi_ner);
    token.start_char = char_offset_field(entry, k.start_char, "start_char");
    token.end_char = char_offset_field(entry, k.end_char, "end_char");
    token.manual_expansion = manual_expansion_field(entry);
    read_spacing(entry, token);
    return token;
}

// A one-word token from the entry its word was just read from: the fields the
// two share went through the same readers already, so they are copied.
TokenInput one_word_token(PyObject* entry, const WordInput& word) {
    TokenInput token;
    token.id_start = token.id_end = word.id;
    token.text = word.text;
    token.misc = word.misc;
    token.start_char = word.start_char;
    token.end_char = word.end_char;
    token.manual_expansion = word.manual_expansion;
    token.ner = optional_string_field(entry, dict_keys().ner);
    token.multi_ner = string_list_field(entry, dict_keys().multi_ner);
    read_spacing(entry, token);
    return token;
}

WordInput parse_word_entry(PyObject* entry, const EntryId& id) {
    const DictKeys& k = dict_keys();
    WordInput word;
    word.id = id.first;
    word.empty_index = id.second;
    word.text = text_field(entry);
    word.lemma = optional_string_field(entry, k.lemma);
    word.upos = optional_string_field(entry, k.upos);
    word.xpos = optional_string_field(entry, k.xpos);
    word.feats = optional_string_field(entry, k.feats);
    word.head = head_field(entry);
    word.deprel = optional_string_field(entry, k.deprel);
    word.deps = optional_string_field(entry, k.deps);
    word.misc = optional_string_field(entry, k.misc);
    word.start_char = char_offset_field(entry, k.start_char, "start_char");
    word.end_char = char_offset_field(entry, k.end_char, "end_char");
    word.manual_expansion = manual_expansion_field(entry);
    word.morphemes = string_list_field(entry, k.morphemes);
    return word;
}

SentenceInput parse_sentence(PyObject* sentence) {
    if (!PySequence_Check(sentence) || PyUnicode_Check(sentence)) {
        throw std::invalid_argument("each document sentence must be a sequence");
    }
    SentenceInput out;
    // The open multi-word token: its row in out.tokens and its last id.
    std::size_t open = 0;
    bool is_open = false;
    std::int32_t open_last = 0;
    nb::object iterator = nb::steal(PyObject_GetIter(sentence));
    if (!iterator.is_valid()) throw nb::python_error();
    while (true) {
        nb::object entry = nb::steal(PyIter_Next(iterator.ptr()));
        if (!entry.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        if (!PyDict_Check(entry.ptr())) {
            throw std::invalid_argument("each sentence entry must be a dictionary");
        }
        const EntryId id = parse_entry_id(entry.ptr());
        if (id.second && *id.second <= id.first) {
            // An empty word; an open multi-word token stays open.
            out.empty_words.push_back(parse_word_entry(entry.ptr(), id));
        } else if (id.second) {
            out.tokens.push_back(parse_token_entry(entry.ptr(), id.first, *id.second));
            open = out.tokens.size() - 1;
            is_open = true;
            open_last = *id.second;
        } else if (!is_open || id.first > open_last) {
            WordInput word = parse_word_entry(entry.ptr(), id);
            TokenInput token = one_word_token(entry.ptr(), word);
            word.misc = token.misc;
            token.words.push_back(std::move(word));
            out.tokens.push_back(std::move(token));
            is_open = false;
        } else {
            out.tokens[open].words.push_back(parse_word_entry(entry.ptr(), id));
            if (id.first == open_last) is_open = false;
        }
    }
    return out;
}

}  // namespace

std::int64_t to_int64(PyObject* value, const std::string& what, int* overflow_sign) {
    const auto refuse = [&what]() { return nb::type_error((what + " must be an integer").c_str()); };
    nb::object number;
    if (!PyLong_Check(value)) {
        if (PyFloat_Check(value)) throw refuse();
        number = nb::steal(PyNumber_Long(value));
        if (!number.is_valid()) {
            PyErr_Clear();
            throw refuse();
        }
        value = number.ptr();
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
        if (!overflow_sign) throw nb::type_error((what + " must be an integer within 64 bits").c_str());
        *overflow_sign = overflow;
        return 0;
    }
    if (result == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw refuse();
    }
    return static_cast<std::int64_t>(result);
}

std::int32_t to_int32(PyObject* value, const std::string& what) {
    int overflow = 0;
    const std::int64_t result = to_int64(value, what, &overflow);
    if (overflow != 0 || result < std::numeric_limits<std::int32_t>::min() ||
        result > std::numeric_limits<std::int32_t>::max()) {
        throw nb::type_error((what + " must be an integer within 32 bits").c_str());
    }
    return static_cast<std::int32_t>(result);
}

std::optional<std::int32_t> single_int32(PyObject* value, const std::string& what) {
    if (PyLong_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        return to_int32(value, what);
    }
    return std::nullopt;
}

std::int32_t int32_item(PyObject* sequence, Py_ssize_t i, const std::string& what) {
    nb::object item = nb::steal(PySequence_GetItem(sequence, i));
    if (!item.is_valid()) throw nb::python_error();
    return to_int32(item.ptr(), what);
}

std::string unescape_misc_value(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char replacement = 0;
            switch (text[i + 1]) {
                case 's': replacement = ' '; break;
                case 't': replacement = '\t'; break;
                case 'r': replacement = '\r'; break;
                case 'n': replacement = '\n'; break;
                case 'p': replacement = '|'; break;
                case '\\': replacement = '\\'; break;
                default: break;
            }
            if (replacement) {
                out += replacement;
                i += 2;
                continue;
            }
            if (text.substr(i, 6) == "\\u00A0") {
                out += "\xC2\xA0";
                i += 6;
                continue;
            }
        }
        out += text[i];
        ++i;
    }
    return out;
}

Document document_from_dict(const nb::sequence& sentences, const nb::object& text) {
    const Py_ssize_t count = PyObject_Size(sentences.ptr());
    if (count < 0) throw nb::python_error();
    std::vector<SentenceInput> records;
    records.reserve(static_cast<std::size_t>(count));
    for (nb::handle sentence : sentences) records.push_back(parse_sentence(sentence.ptr()));
    std::string content = text.is_none() ? std::string() : to_utf8(text.ptr(), "from_dict text");
    return Document(std::move(content), records);
}

}  // namespace quelbin::python
