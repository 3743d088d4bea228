// The dictionary form of documents: plain lists of entry dicts written from the
// document views and read back into input records. Spacing travels inside
// MISC ("SpaceAfter=No", "SpacesAfter=...", "SpacesBefore=...").
#pragma once

#include "module.hpp"

#include <quelbin/coref.hpp>
#include <quelbin/document.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin::python {

// Writer.
nb::list document_to_dict(const Document& doc);
nb::list sentence_to_dict(const Sentence& sentence);
nb::list token_to_dict(const Token& token);
// The word entry without token context: the stored MISC unrendered; "ner" and
// "multi_ner" only when the caller passes them.
nb::dict word_to_dict(const Word& word, const std::optional<std::string>& ner,
                      const std::vector<std::string>& multi_ner);
nb::dict span_to_dict(const Span& span);
nb::dict coref_attachment_to_json(const CorefAttachment& attachment);

// Reader: sentences is a sequence of sentences, text None or a str.
Document document_from_dict(const nb::sequence& sentences, const nb::object& text);

// MISC helpers shared by writer and reader.
// The non-empty pieces between '|' separators, in order.
std::vector<std::string_view> split_misc(std::string_view misc);
std::string join_misc(const std::vector<std::string>& pieces);
std::string escape_misc_value(std::string_view bytes);
std::string unescape_misc_value(std::string_view text);
// The stored MISC with the token spacing added: "SpaceAfter=No" for no space
// after, "SpacesAfter=..." for anything but one space, "SpacesBefore=..." for
// any space before. Sorted only when entries were stored and some were added.
std::optional<std::string> render_misc(const std::optional<std::string>& stored,
                                       std::string_view spaces_before,
                                       std::string_view spaces_after);

// The interpreter's integer conversion of any object but a float (so "3"
// gives 3); TypeError naming the value as `what` when it fails or the value
// leaves the range. With overflow_sign, a value beyond 64 bits sets it to -1
// or 1 instead.
std::int64_t to_int64(PyObject* value, const std::string& what, int* overflow_sign = nullptr);
std::int32_t to_int32(PyObject* value, const std::string& what);
// A word ID or position given as one value: an int, or a str, bytes or
// bytearray read through to_int32 ("12" gives 12), never split into its
// characters. nullopt for any other object, which callers read as a sequence.
std::optional<std::int32_t> single_int32(PyObject* value, const std::string& what);
// Item i of a sequence through to_int32; the interpreter's error when the
// object cannot be indexed.
std::int32_t int32_item(PyObject* sequence, Py_ssize_t i, const std::string& what);

}  // namespace quelbin::python
