// The merges argument of the byte-level BPE tokenizer. Each merge is a sequence
// of exactly two str objects; a str or bytes object is never taken as the
// sequence of its characters, so "ab" is refused rather than read as ("a", "b").
// A refused merge makes overload resolution fail, which the binding library
// reports as TypeError.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

namespace quelbin::python {

// One merge as the bindings receive it; a type of its own, so that the rule
// above applies to these arguments only.
struct MergeArgument {
    std::string left;
    std::string right;
};

inline std::vector<std::pair<std::string, std::string>> merge_pairs(std::vector<MergeArgument> merges) {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(merges.size());
    for (MergeArgument& merge : merges) pairs.emplace_back(std::move(merge.left), std::move(merge.right));
    return pairs;
}

}  // namespace quelbin::python

NAMESPACE_BEGIN(NB_NAMESPACE)
NAMESPACE_BEGIN(detail)

template <>
struct type_caster<quelbin::python::MergeArgument> {
    NB_TYPE_CASTER(quelbin::python::MergeArgument, const_name("tuple[str, str]"))

    // Reads one side of the pair; false, with no Python error left set, when it
    // is not a str.
    static bool read_text(PyObject* item, std::string& out) noexcept {
        if (!PyUnicode_Check(item)) return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) {
            PyErr_Clear();
            return false;
        }
        out.assign(data, static_cast<std::size_t>(size));
        return true;
    }

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        PyObject* obj = src.ptr();
        if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || !PySequence_Check(obj))
            return false;
        Py_ssize_t count = PySequence_Size(obj);
        if (count != 2) {
            if (count < 0) PyErr_Clear();
            return false;
        }
        std::string* sides[2] = {&value.left, &value.right};
        for (Py_ssize_t k = 0; k < 2; ++k) {
            PyObject* item = PySequence_GetItem(obj, k);
            if (item == nullptr) {
                PyErr_Clear();
                return false;
            }
            bool ok = read_text(item, *sides[k]);
            Py_DECREF(item);
            if (!ok) return false;
        }
        return true;
    }

    static handle from_cpp(const Value& merge, rv_policy, cleanup_list*) noexcept {
        object left = steal(PyUnicode_DecodeUTF8(merge.left.data(), static_cast<Py_ssize_t>(merge.left.size()), nullptr));
        object right = steal(PyUnicode_DecodeUTF8(merge.right.data(), static_cast<Py_ssize_t>(merge.right.size()), nullptr));
        if (!left.is_valid() || !right.is_valid()) return handle();
        return PyTuple_Pack(2, left.ptr(), right.ptr());
    }
};

NAMESPACE_END(detail)
NAMESPACE_END(NB_NAMESPACE)
