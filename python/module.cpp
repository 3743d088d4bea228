// Entry point of the _quelbin extension module: attributes, exception classes,
// then every class in its fixed order, then the module functions.
#include "module.hpp"

#include <quelbin/version.hpp>

#include <nanobind/stl/string.h>

namespace quelbin::python {

// Classes in their registration order. Each binding file adds its row here.
static const Registration kClasses[] = {
    {"TensorDescriptor", bind_tensor_descriptor},
    {"ModelBundle", bind_model_bundle},
};

}  // namespace quelbin::python

NB_MODULE(_quelbin, m) {
    using namespace quelbin::python;
    m.attr("__doc__") = "Native components of Quelbin.";
    m.attr("__version__") = quelbin::native_version();
    m.attr("free_threaded_build") = false;
    bind_exceptions(m);
    for (const Registration& row : kClasses) {
        if (row.bind) row.bind(m);
    }
    bind_module_functions(m);
}
