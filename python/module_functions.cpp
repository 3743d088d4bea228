// Module-level functions.
#include "module.hpp"

#include <quelbin/processors.hpp>
#include <quelbin/version.hpp>

#include <nanobind/stl/string.h>

#include <set>

namespace quelbin::python {

namespace {

// Kinds reported as implemented by processor_specs; a fixed set, independent
// of any processor object.
bool reported_implemented(const std::string& name) {
    static const std::set<std::string> kinds = {"mwt",      "pos",       "ner",         "lemma",
                                                "langid",   "tokenize",  "depparse",    "morphseg",
                                                "sentiment", "constituency"};
    return kinds.count(name) != 0;
}

nb::list string_list(const std::vector<std::string>& values) {
    nb::list list;
    for (const std::string& value : values) list.append(value);
    return list;
}

}  // namespace

void bind_module_functions(nb::module_& m) {
    m.def("processor_specs", []() {
        nb::dict specs;
        for (const ProcessorSpec& spec : processor_specs()) {
            nb::dict row;
            row["requires"] = string_list(spec.requirements);
            row["provides"] = string_list(spec.provides);
            row["module"] = spec.module;
            row["implemented"] = reported_implemented(spec.name);
            specs[spec.name.c_str()] = row;
        }
        return specs;
    });
    m.def("native_version", []() { return native_version(); });
}

}  // namespace quelbin::python
