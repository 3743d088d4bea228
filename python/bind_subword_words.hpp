// The word list argument of the subword tokenizers' encode: the words' UTF-8
// bytes read in place from the Python strings, without copying them into
// std::string objects.
#pragma once

#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/subword.hpp>

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>

namespace quelbin::python {

// Views of the words and strong references to the strings they point into,
// so that the views stay valid while the interpreter lock is released,
// whatever other threads do to the caller's list. The references are dropped
// with the lock held, when the argument goes. A short list (a sentence) is
// held in the object itself, without allocating.
struct WordViews {
    static constexpr std::size_t kInline = 64;

    WordViews() = default;
    WordViews(const WordViews&) = delete;
    WordViews& operator=(const WordViews&) = delete;
    ~WordViews() { release(); }

    void release() {
        for (std::size_t i = 0; i < owned_count; ++i) Py_DECREF(owned[i]);
        owned_count = 0;
        count = 0;
    }

    // Room for `words` views and `references` references; false when
    // allocation fails. Call on an empty object.
    bool reserve(std::size_t words, std::size_t references) {
        try {
            if (words > kInline) {
                heap_views.reset(new unsigned char[words * sizeof(std::string_view)]);
                views = reinterpret_cast<std::string_view*>(heap_views.get());
            }
            if (references > kInline) {
                heap_owned.reset(new PyObject*[references]);
                owned = heap_owned.get();
            }
        } catch (...) {
            return false;
        }
        return true;
    }

    // Views are placed with placement new: the inline room is left
    // uninitialised, which saves clearing it at every call.
    std::string_view* views = reinterpret_cast<std::string_view*>(inline_views);
    std::size_t count = 0;
    PyObject** owned = inline_owned;
    std::size_t owned_count = 0;

private:
    alignas(std::string_view) unsigned char inline_views[kInline * sizeof(std::string_view)];
    PyObject* inline_owned[kInline];
    std::unique_ptr<unsigned char[]> heap_views;  // operator new[] aligns for any scalar
    std::unique_ptr<PyObject*[]> heap_owned;
};

// Runs encode on the views with the interpreter lock released.
template <class Tokenizer>
WordPieceEncoding encode_word_views(const Tokenizer& tokenizer, const WordViews& words,
                                    bool add_special_tokens) {
    Unlocked unlocked;
    return tokenizer.encode(words.views, words.count, add_special_tokens);
}

}  // namespace quelbin::python

namespace nanobind::detail {

// Accepts exactly what the std::vector<std::string> caster accepts (any
// sequence but an exact str or bytes, each item a str encodable as UTF-8) and
// reports the same type name, so signatures and TypeErrors are unchanged.
template <>
struct type_caster<quelbin::python::WordViews> {
    NB_TYPE_CASTER(quelbin::python::WordViews,
                   io_name("collections.abc.Sequence", "list") + const_name("[") +
                       const_name("str") + const_name("]"))

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        value.release();
        size_t size = 0;
        PyObject* temp = nullptr;
        PyObject** items = seq_get(src.ptr(), &size, &temp);
        if (items == nullptr) return false;
        // A tuple made from another sequence is held only by this call: keep it.
        // The items of a list, which may change once the lock is released, are
        // kept one by one (a plain array: no new object for the collector).
        const bool keep_items = temp == nullptr && !PyTuple_CheckExact(src.ptr());
        if (!value.reserve(size, temp != nullptr ? 1 : keep_items ? size : 0)) {
            Py_XDECREF(temp);
            return false;
        }
        if (temp != nullptr) value.owned[value.owned_count++] = temp;
        // The strings lie anywhere in memory: the first ones are requested
        // together, then each kPrefetch items ahead of its turn.
        constexpr size_t kPrefetch = 16;
        for (size_t i = 0; i < size && i < kPrefetch; ++i) __builtin_prefetch(items[i]);
        for (size_t i = 0; i < size; ++i) {
            PyObject* item = items[i];
            if (i + kPrefetch < size) __builtin_prefetch(items[i + kPrefetch]);
            if (!PyUnicode_Check(item)) return false;
            const char* data;
            Py_ssize_t length;
            if (PyUnicode_IS_COMPACT_ASCII(item)) {
                // ASCII text is its own UTF-8: read in place.
                data = static_cast<const char*>(PyUnicode_DATA(item));
                length = PyUnicode_GET_LENGTH(item);
            } else {
                data = PyUnicode_AsUTF8AndSize(item, &length);
                if (data == nullptr) {
                    PyErr_Clear();
                    return false;
                }
            }
            new (value.views + value.count++) std::string_view(data, static_cast<size_t>(length));
            if (keep_items) {
                Py_INCREF(item);
                value.owned[value.owned_count++] = item;
            }
        }
        return true;
    }
};

}  // namespace nanobind::detail
