// libFuzzer target for the dictionary-form reader, which reads Python objects:
// the interpreter is embedded, the input is read as JSON by Python's json
// module (bytes that are no UTF-8 become lone surrogates), and a list, or an
// object {"sentences": ..., "text": ...}, goes through the reader. A document
// it builds must write back to the dictionary form and read back unchanged.
// Every other outcome must be the binding's own error.
#include "dict_form.hpp"

#include <quelbin/document.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace {

namespace nb = nanobind;

// Calling into nanobind needs its internals, which a module's init sets up.
NB_MODULE(_quelbin_fuzz_dict_form, m) {}

nb::object json_loads;

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "fuzz fault: %s\n", what.c_str());
    std::abort();
}

// The reader over the value, and the document written back and read again.
void read_and_round_trip(const nb::handle& value) {
    nb::object sentences = nb::borrow(value);
    nb::object text = nb::none();
    if (PyDict_Check(value.ptr())) {
        PyObject* s = PyDict_GetItemString(value.ptr(), "sentences");
        PyObject* t = PyDict_GetItemString(value.ptr(), "text");
        if (s == nullptr) return;
        sentences = nb::borrow(s);
        if (t != nullptr) text = nb::borrow(t);
    }
    if (!PySequence_Check(sentences.ptr())) return;
    const quelbin::Document document =
        quelbin::python::document_from_dict(nb::borrow<nb::sequence>(sentences), text);
    nb::list written = quelbin::python::document_to_dict(document);
    const quelbin::Document again =
        quelbin::python::document_from_dict(nb::borrow<nb::sequence>(written), nb::str(document.text().c_str(), document.text().size()));
    if (!written.equal(quelbin::python::document_to_dict(again))) {
        fault("dictionary form changed on reading back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PyImport_AppendInittab("_quelbin_fuzz_dict_form", PyInit__quelbin_fuzz_dict_form);
    Py_InitializeEx(0);
    if (PyImport_ImportModule("_quelbin_fuzz_dict_form") == nullptr) {
        PyErr_Print();
        std::abort();
    }
    json_loads = nb::module_::import_("json").attr("loads");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* decoded = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data),
                                             static_cast<Py_ssize_t>(size), "surrogateescape");
    if (decoded == nullptr) fault("cannot decode the input");
    nb::object value;
    try {
        value = json_loads(nb::steal(decoded));
    } catch (const nb::python_error&) {
        return 0;  // not JSON
    }
    try {
        read_and_round_trip(value);
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception& error) {
        // A value of the wrong type is the caller's TypeError; nothing else is expected here.
        if (error.type() != nb::exception_type::type_error) {
            fault(std::string("unexpected builtin exception: ") + error.what());
        }
    } catch (const std::invalid_argument&) {
    } catch (const std::exception& error) {
        fault(std::string("unexpected ") + typeid(error).name() + ": " + error.what());
    }
    if (PyErr_Occurred()) fault("a Python error was left set");
    return 0;
}
