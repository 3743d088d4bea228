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

// Views of the words and a strong reference to an immutable tuple holding the
// strings they point into, so that the views stay valid while the interpreter
// lock is released, whatever other threads do to the caller's list.
struct WordViews {
    nb::object holder;
    std::vector<std::string_view> views;
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
        value.views.clear();
        value.holder = object();
        size_t size = 0;
        PyObject* temp = nullptr;
        PyObject** items = seq_get(src.ptr(), &size, &temp);
        if (items == nullptr) return false;
        object temp_ref = steal(temp);
        // A list may change once the lock is released: hold a tuple of its items.
        object holder;
        if (temp != nullptr) {
            holder = temp_ref;
        } else if (PyTuple_CheckExact(src.ptr())) {
            holder = borrow(src);
        } else {
            holder = steal(PyList_AsTuple(src.ptr()));
            if (!holder.is_valid()) {
                PyErr_Clear();
                return false;
            }
            items = reinterpret_cast<PyTupleObject*>(holder.ptr())->ob_item;
        }
        try {
            value.views.reserve(size);
        } catch (...) {
            return false;
        }
        for (size_t i = 0; i < size; ++i) {
            if (!PyUnicode_Check(items[i])) return false;
            Py_ssize_t length = 0;
            const char* data = PyUnicode_AsUTF8AndSize(items[i], &length);
            if (data == nullptr) {
                PyErr_Clear();
                return false;
            }
            value.views.emplace_back(data, static_cast<size_t>(length));
        }
        value.holder = std::move(holder);
        return true;
    }
};

}  // namespace nanobind::detail
