// Python class MorphSegPlan.
#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/model_bundle.hpp>
#include <quelbin/morphseg.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

void bind_morphseg_plan(nb::module_& m) {
    nb::class_<MorphSegPlan>(m, "MorphSegPlan")
        .def(nb::init<std::filesystem::path, bool>(), nb::arg("bundle_path"), nb::arg("verify_checksums") = false)
        // The plan's own bundle; the result keeps the plan alive.
        .def_prop_ro("bundle", &MorphSegPlan::bundle, nb::rv_policy::reference_internal)
        .def("segment", &MorphSegPlan::segment, nb::arg("word"), Release())
        .def("segment_many", &MorphSegPlan::segment_many, nb::arg("words"), Release());
}

}  // namespace quelbin::python
