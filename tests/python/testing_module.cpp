// Test-only extension: throws engine exceptions so that the tests can check how
// _quelbin's translators turn them into Python exceptions.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <quelbin/errors.hpp>

#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace {

template <class E>
[[noreturn]] void raise(const std::string& message) {
    throw E(message);
}

const std::map<std::string, std::function<void(const std::string&)>>& throwers() {
    using namespace quelbin;
    static const std::map<std::string, std::function<void(const std::string&)>> table = {
        {"ProcessorNotImplementedError", raise<ProcessorNotImplementedError>},
        {"ProcessorRequirementsError", raise<ProcessorRequirementsError>},
        {"ModelBundleError", raise<ModelBundleError>},
        {"TokenizerModelError", raise<TokenizerModelError>},
        {"Seq2SeqModelError", raise<Seq2SeqModelError>},
        {"MWTModelError", raise<MWTModelError>},
        {"POSModelError", raise<POSModelError>},
        {"LemmaModelError", raise<LemmaModelError>},
        {"DepparseModelError", raise<DepparseModelError>},
        {"NERModelError", raise<NERModelError>},
        {"SentimentModelError", raise<SentimentModelError>},
        {"ConstituencyModelError", raise<ConstituencyModelError>},
        {"CorefModelError", raise<CorefModelError>},
        {"CharLMModelError", raise<CharLMModelError>},
        {"LangIDModelError", raise<LangIDModelError>},
        {"MorphSegModelError", raise<MorphSegModelError>},
        {"WordPieceError", raise<WordPieceError>},
        {"SubwordError", raise<SubwordError>},
        {"TransformerError", raise<TransformerError>},
        {"JsonError", raise<detail::JsonError>},
        {"invalid_argument", raise<std::invalid_argument>},
        {"domain_error", raise<std::domain_error>},
        {"length_error", raise<std::length_error>},
        {"out_of_range", raise<std::out_of_range>},
        {"range_error", raise<std::range_error>},
        {"overflow_error", raise<std::overflow_error>},
        {"logic_error", raise<std::logic_error>},
        {"runtime_error", raise<std::runtime_error>},
        {"bad_alloc", [](const std::string&) { throw std::bad_alloc(); }},
    };
    return table;
}

}  // namespace

NB_MODULE(_quelbin_testing, m) {
    m.def("throw_engine_error", [](const std::string& kind, const std::string& message) {
        auto it = throwers().find(kind);
        if (it == throwers().end()) throw nb::key_error(kind.c_str());
        it->second(message);
    });
    m.def("engine_error_kinds", []() {
        nb::list names;
        for (const auto& row : throwers()) names.append(row.first);
        return names;
    });
}
