// Python class Pipeline: argument normalisation, the processing overloads and
// the textual representation.
#include "document_use.hpp"
#include "module.hpp"

#include <quelbin/pipeline.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

using namespace nb::literals;

namespace {

bool is_posix_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* const kProcessorsType = "processors must be None, a string or a sequence of strings";
const char* const kPackageType = "package must be a string or mapping from processor names to package names";
const char* const kMappingType = "package mapping processor names and package names must be strings";

// A comma-separated string is cut and trimmed; any other object must be a
// sequence of str and is taken as it is.
std::vector<std::string> processor_names(const nb::handle& processors) {
    std::vector<std::string> names;
    if (processors.is_none()) return names;
    if (PyUnicode_Check(processors.ptr())) {
        const std::string text = cast_argument<std::string>(processors, kProcessorsType);
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(',', start);
            if (end == std::string::npos) end = text.size();
            std::size_t first = start, last = end;
            while (first < last && is_posix_space(text[first])) ++first;
            while (last > first && is_posix_space(text[last - 1])) --last;
            if (last > first) names.emplace_back(text, first, last - first);
            start = end + 1;
        }
        return names;
    }
    return cast_argument<std::vector<std::string>>(processors, kProcessorsType);
}

void construct(Pipeline* self, std::string lang, nb::handle processors, nb::handle package,
               std::optional<std::filesystem::path> model_dir, std::string resources_version,
               bool verify_model_checksums, std::vector<std::string> langid_lang_subset) {
    std::vector<std::string> names = processor_names(processors);
    if (PyUnicode_Check(package.ptr())) {
        new (self) Pipeline(std::move(lang), std::move(names),
                            cast_argument<std::string>(package, kPackageType), std::move(model_dir),
                            std::move(resources_version), verify_model_checksums,
                            std::move(langid_lang_subset));
        return;
    }
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    const int is_mapping = PyObject_IsInstance(package.ptr(), mapping.ptr());
    if (is_mapping < 0) throw nb::python_error();
    if (is_mapping == 0) {
        throw nb::type_error("package must be a string or mapping from processor names to package names");
    }
    std::map<std::string, std::string> packages;
    nb::object items = nb::steal(PyMapping_Items(package.ptr()));
    if (!items.is_valid()) {
        PyErr_Clear();
        throw nb::type_error("package mapping processor names and package names must be strings");
    }
    for (nb::handle item : items) {
        nb::handle key = item[0], value = item[1];
        if (!PyUnicode_Check(key.ptr()) || !PyUnicode_Check(value.ptr())) {
            throw nb::type_error("package mapping processor names and package names must be strings");
        }
        packages.emplace(cast_argument<std::string>(key, kMappingType),
                         cast_argument<std::string>(value, kMappingType));
    }
    new (self) Pipeline(std::move(lang), std::move(names), std::move(packages), std::move(model_dir),
                        std::move(resources_version), verify_model_checksums,
                        std::move(langid_lang_subset));
}

Document process_text(const Pipeline& self, std::string text) { return self.process(std::move(text)); }
Document process_document(const Pipeline& self, const Document& document) {
    return while_processing(document, [&] { return self.process(document); });
}
std::vector<Document> process_texts(const Pipeline& self, std::vector<std::string> texts) {
    return self.process_bulk(std::move(texts));
}
std::vector<Document> process_documents(const Pipeline& self, std::vector<Document> documents) {
    return while_processing(documents, [&] { return self.process_bulk(std::move(documents)); });
}

// Binds the four call forms under `name`, in their fixed order. The document
// forms release the interpreter lock themselves, once their documents are marked.
void bind_process_overloads(nb::class_<Pipeline>& cls, const char* name) {
    cls.def(name, &process_text, Release())
        .def(name, &process_document)
        .def(name, &process_texts, Release())
        .def(name, &process_documents);
}

}  // namespace

void bind_pipeline(nb::module_& m) {
    nb::class_<Pipeline> cls(m, "Pipeline");
    cls.def("__init__", &construct, "lang"_a, "processors"_a.none() = "tokenize,mwt,pos,lemma,depparse",
            "package"_a.none() = "default", "model_dir"_a = nb::none(), "resources_version"_a = "1.14.0",
            "verify_model_checksums"_a = false, "langid_lang_subset"_a = std::vector<std::string>())
        .def_prop_ro("lang", &Pipeline::language)
        .def_prop_ro("package", [](const Pipeline& self) -> nb::object {
            if (!self.package_is_mapping()) return nb::cast(self.package());
            nb::dict packages;
            for (const auto& [name, package] : self.processor_packages()) {
                packages[nb::cast(name)] = nb::cast(package);
            }
            return packages;
        })
        .def_prop_ro("model_dir", &Pipeline::model_dir)
        .def_prop_ro("resources_version", &Pipeline::resources_version)
        .def_prop_ro("processors", [](const Pipeline& self) {
            nb::list processors;
            for (const auto& processor : self.processors()) processors.append(nb::cast(processor));
            return processors;
        });
    bind_process_overloads(cls, "process");
    bind_process_overloads(cls, "__call__");
    cls.def("bulk_process", &process_texts, Release())
        .def("bulk_process", &process_documents)
        .def("process_many", &process_texts, Release())
        .def("process_many", &process_documents)
        .def("__repr__", [](const Pipeline& self) {
            return "<Pipeline lang=" + self.language() +
                   " processors=" + std::to_string(self.processors().size()) + ">";
        });
}

}  // namespace quelbin::python
