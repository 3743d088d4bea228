// Python classes TensorDescriptor and ModelBundle.
#include "module.hpp"

#include <quelbin/model_bundle.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_tensor_descriptor(nb::module_& m) {
    nb::class_<TensorDescriptor>(m, "TensorDescriptor")
        .def_ro("name", &TensorDescriptor::name)
        .def_ro("dtype", &TensorDescriptor::dtype)
        .def_ro("shape", &TensorDescriptor::shape)
        .def_ro("offset", &TensorDescriptor::offset)
        .def_ro("nbytes", &TensorDescriptor::nbytes)
        .def_ro("sha256", &TensorDescriptor::sha256);
}

void bind_model_bundle(nb::module_& m) {
    nb::class_<ModelBundle>(m, "ModelBundle")
        .def(nb::init<const std::filesystem::path&, bool>(), nb::arg("path"),
             nb::arg("verify_checksums") = true)
        .def_prop_ro("path", &ModelBundle::path)
        .def_prop_ro("language", &ModelBundle::language)
        .def_prop_ro("processor", &ModelBundle::processor)
        .def_prop_ro("package", &ModelBundle::package)
        .def_prop_ro("varnek_version", &ModelBundle::varnek_version)
        .def_prop_ro("resources_version", &ModelBundle::resources_version)
        .def_prop_ro("checksums_verified", &ModelBundle::checksums_verified)
        .def_prop_ro("tensor_file_size", &ModelBundle::tensor_file_size)
        .def_prop_ro("tensor_names", &ModelBundle::tensor_names)
        // A reference into the bundle that keeps the bundle object alive.
        .def("tensor", &ModelBundle::tensor, nb::rv_policy::reference_internal);
}

}  // namespace quelbin::python
