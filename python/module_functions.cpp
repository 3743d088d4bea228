// Module-level functions.
#include "module.hpp"

#include <quelbin/version.hpp>

#include <nanobind/stl/string.h>

namespace quelbin::python {

void bind_module_functions(nb::module_& m) {
    m.def("native_version", []() { return native_version(); });
}

}  // namespace quelbin::python
