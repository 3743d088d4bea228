// The word list argument of the subword tokenizers' encode: the words' UTF-8
// bytes read in place from the Python strings, without copying them into
// std::string objects.
#pragma once

#include "module.hpp"

#include <quelbin/subword.hpp>

#include <cstddef>
#include <string_view>
#include <vector>

namespace quelbin::python {

// Views of the words and strong references to the strings they point into,
// so that the views stay valid while the interpreter lock is released,
// whatever other threads do to the caller's list. The references are dropped
// with the lock held, when the argument goes.
struct WordViews {
    WordViews() = default;
    WordViews(const WordViews&) = delete;
    WordViews& operator=(const WordViews&) = delete;
    ~WordViews() { release(); }

    void release() {
        for (PyObject* o : owned) Py_DECREF(o);
        owned.clear();
        views.clear();
    }

    std::vector<std::string_view> views;
    std::vector<PyObject*> owned;
};

// Runs encode on the views with the interpreter lock released.
template <class Tokenizer>
WordPieceEncoding encode_word_views(const Tokenizer& tokenizer, const WordViews& words,
                                    bool add_special_tokens) {
    nb::gil_scoped_release release;
    return tokenizer.encode(words.views.data(), words.views.size(), add_special_tokens);
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
        try {
            value.views.reserve(size);
            value.owned.reserve(temp != nullptr ? 1 : keep_items ? size : 0);
        } catch (...) {
            Py_XDECREF(temp);
            return false;
        }
        if (temp != nullptr) value.owned.push_back(temp);
        for (size_t i = 0; i < size; ++i) {
            PyObject* item = items[i];
            if (!PyUnicode_Check(item)) return false;
            Py_ssize_t length = 0;
            const char* data = PyUnicode_AsUTF8AndSize(item, &length);
            if (data == nullptr) {
                PyErr_Clear();
                return false;
            }
            value.views.emplace_back(data, static_cast<size_t>(length));
            if (keep_items) {
                Py_INCREF(item);
                value.owned.push_back(item);
            }
        }
        return true;
    }
};

}  // namespace nanobind::detail
