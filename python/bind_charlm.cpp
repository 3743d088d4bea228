// Python class CharLMPlan.
#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/charlm.hpp>
#include <quelbin/model_bundle.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_charlm_plan(nb::module_& m) {
    nb::class_<CharLMPlan>(m, "CharLMPlan")
        .def(nb::init<std::filesystem::path, bool>(), nb::arg("bundle_path"),
             nb::arg("verify_checksums") = false)
        // The plan's own bundle; the result keeps the plan alive.
        .def_prop_ro("bundle", &CharLMPlan::bundle, nb::rv_policy::reference_internal)
        .def_prop_ro("is_forward", &CharLMPlan::is_forward)
        .def_prop_ro("hidden_size", &CharLMPlan::hidden_size)
        .def("encode", &CharLMPlan::encode, nb::arg("words"), Release());
}

}  // namespace quelbin::python
