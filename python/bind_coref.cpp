// Python classes CorefPrediction and CorefPlan.
#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/coref_plan.hpp>
#include <quelbin/model_bundle.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

using namespace nb::literals;

void bind_coref_prediction(nb::module_& m) {
    // Instances come only from CorefPlan.resolve; each read is a new list.
    nb::class_<CorefPrediction>(m, "CorefPrediction")
        .def_prop_ro("word_clusters", [](const CorefPrediction& self) { return self.word_clusters; })
        .def_prop_ro("span_clusters", [](const CorefPrediction& self) { return self.span_clusters; })
        .def_prop_ro("zero_words", [](const CorefPrediction& self) { return self.zero_words; });
}

void bind_coref_plan(nb::module_& m) {
    nb::class_<CorefPlan>(m, "CorefPlan")
        .def(nb::init<std::filesystem::path, bool>(), "bundle_path"_a, "verify_checksums"_a = false)
        // The plan's own bundle; the result keeps the plan alive.
        .def_prop_ro("bundle", &CorefPlan::bundle, nb::rv_policy::reference_internal)
        .def_prop_ro("predicts_singletons", &CorefPlan::predicts_singletons)
        .def_prop_ro("predicts_zero_anaphora", &CorefPlan::predicts_zero_anaphora)
        .def("resolve", &CorefPlan::resolve, "words"_a, "sentence_ids"_a,
             "speakers"_a = std::vector<std::string>(), Release());
}

}  // namespace quelbin::python
