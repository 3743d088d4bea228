// The merges argument of the byte-level BPE tokenizer: each merge is a sequence
// of exactly two strings, where an exact str or bytes object is never taken as
// a sequence of its characters (so "ab" is refused, not read as ("a", "b")).
// Included, before any binding that converts such pairs, by every file that
// binds one.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

NAMESPACE_BEGIN(NB_NAMESPACE)
NAMESPACE_BEGIN(detail)

template <>
struct type_caster<std::pair<std::string, std::string>> {
    using Value = std::pair<std::string, std::string>;
    using Caster = make_caster<std::string>;
    template <typename T>
    using Cast = Value;

    static constexpr auto Name = const_name("tuple[") + concat(Caster::Name, Caster::Name) + const_name("]");

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        if (PyUnicode_CheckExact(src.ptr()) || PyBytes_CheckExact(src.ptr())) return false;
        PyObject* temp = nullptr;
        PyObject** items = NB_CALL(seq_get_with_size)(src.ptr(), 2, &temp);
        temp_ref = steal(temp);
        return items && first.from_python(items[0], flags, cleanup) &&
               second.from_python(items[1], flags, cleanup);
    }

    static handle from_cpp(const Value& value, rv_policy policy, cleanup_list* cleanup) noexcept {
        object first_item = steal(Caster::from_cpp(value.first, policy, cleanup));
        object second_item = steal(Caster::from_cpp(value.second, policy, cleanup));
        if (!first_item.is_valid() || !second_item.is_valid()) return handle();
        return PyTuple_Pack(2, first_item.ptr(), second_item.ptr());
    }

    template <typename T>
    bool can_cast() const noexcept {
        return true;
    }

    explicit operator Value() { return Value(std::move(first.value), std::move(second.value)); }

    Caster first;
    Caster second;
    object temp_ref;
};

NAMESPACE_END(detail)
NAMESPACE_END(NB_NAMESPACE)
