// Module-level functions.
#include "module.hpp"

#include <quelbin/processors.hpp>
#include <quelbin/version.hpp>

#include <nanobind/stl/string.h>

#include <map>
#include <type_traits>

namespace quelbin::python {

namespace {

// A kind runs a model in this build exactly when its processor class answers
// `implemented` itself: the base class always answers false. Read from the
// classes, so the table follows the engine as kinds gain their models.
template <class Kind>
constexpr bool runs_model() {
    return !std::is_same_v<decltype(&Kind::implemented), bool (Processor::*)() const>;
}

bool reported_implemented(const std::string& name) {
    static const std::map<std::string, bool> kinds = {
        {"langid", runs_model<LangIDProcessor>()},
        {"tokenize", runs_model<TokenizeProcessor>()},
        {"mwt", runs_model<MWTProcessor>()},
        {"pos", runs_model<POSProcessor>()},
        {"lemma", runs_model<LemmaProcessor>()},
        {"depparse", runs_model<DepparseProcessor>()},
        {"ner", runs_model<NERProcessor>()},
        {"sentiment", runs_model<SentimentProcessor>()},
        {"constituency", runs_model<ConstituencyProcessor>()},
        {"coref", runs_model<CorefProcessor>()},
        {"morphseg", runs_model<MorphSegProcessor>()},
    };
    const auto found = kinds.find(name);
    return found != kinds.end() && found->second;
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
