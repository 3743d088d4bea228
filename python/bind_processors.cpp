// Python classes of the pipeline stages: the base Processor and one class per kind.
#include "document_use.hpp"
#include "module.hpp"

#include <quelbin/processors.hpp>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace quelbin::python {

using namespace nb::literals;

namespace {

// The documents stay marked in use while the engine works on them.
Document process(const Processor& self, Document document) {
    return while_processing(document, [&] { return self.process(std::move(document)); });
}

std::vector<Document> process_bulk(const Processor& self, std::vector<Document> documents) {
    return while_processing(documents, [&] { return self.process_bulk(std::move(documents)); });
}

}  // namespace

void bind_processor(nb::module_& m) {
    nb::class_<Processor>(m, "Processor")
        .def_prop_ro("name", &Processor::name)
        .def_prop_ro("requires", &Processor::requirements)
        .def_prop_ro("provides", &Processor::provides)
        .def_prop_ro("module", &Processor::module)
        .def_prop_ro("implemented", &Processor::implemented)
        .def("process", &process)
        .def("__call__", &process)
        .def("bulk_process", &process_bulk)
        .def("__repr__", [](const Processor& self) {
            return "<" + self.name() + " processor implemented=" +
                   (self.implemented() ? "True>" : "False>");
        });
}

namespace {

// The two constructors and bundle_path that every kind but langid shares.
template <class Kind>
nb::class_<Kind, Processor> bind_kind(nb::module_& m, const char* name) {
    return nb::class_<Kind, Processor>(m, name)
        .def(nb::init<>())
        .def(nb::init<const std::filesystem::path&, bool>(), "model_path"_a,
             "verify_checksums"_a = false)
        .def_prop_ro("bundle_path", &Kind::bundle_path);
}

}  // namespace

void bind_langid_processor(nb::module_& m) {
    nb::class_<LangIDProcessor, Processor>(m, "LangIDProcessor")
        .def(nb::init<>())
        .def(nb::init<const std::filesystem::path&, bool, std::vector<std::string>>(), "model_path"_a,
             "verify_checksums"_a = false, "lang_subset"_a = std::vector<std::string>())
        .def_prop_ro("bundle_path", &LangIDProcessor::bundle_path)
        .def_prop_ro("lang_subset", &LangIDProcessor::language_subset)
        .def("identify", &LangIDProcessor::identify, Release())
        .def("identify_many", &LangIDProcessor::identify_many, Release());
}

void bind_tokenize_processor(nb::module_& m) {
    bind_kind<TokenizeProcessor>(m, "TokenizeProcessor")
        .def("predict_labels", &TokenizeProcessor::predict_labels, Release());
}

void bind_mwt_processor(nb::module_& m) {
    bind_kind<MWTProcessor>(m, "MWTProcessor").def("expand", &MWTProcessor::expand, Release());
}

void bind_pos_processor(nb::module_& m) { bind_kind<POSProcessor>(m, "POSProcessor"); }

void bind_lemma_processor(nb::module_& m) {
    bind_kind<LemmaProcessor>(m, "LemmaProcessor")
        .def("lemmatize", &LemmaProcessor::lemmatize, "word"_a, "pos"_a = nb::none(), Release());
}

void bind_depparse_processor(nb::module_& m) { bind_kind<DepparseProcessor>(m, "DepparseProcessor"); }

void bind_ner_processor(nb::module_& m) {
    bind_kind<NERProcessor>(m, "NERProcessor").def("tag", &NERProcessor::tag, "tokens"_a, Release());
}

void bind_sentiment_processor(nb::module_& m) {
    bind_kind<SentimentProcessor>(m, "SentimentProcessor")
        .def("classify", &SentimentProcessor::classify, "tokens"_a, Release())
        .def("classify_many", &SentimentProcessor::classify_many, "sentences"_a,
             "batch_size"_a = 5000, Release());
}

void bind_constituency_processor(nb::module_& m) {
    bind_kind<ConstituencyProcessor>(m, "ConstituencyProcessor")
        .def_prop_ro("uses_xpos", &ConstituencyProcessor::uses_xpos)
        .def("parse", &ConstituencyProcessor::parse, "words"_a, "tags"_a, Release())
        .def("parse_many", &ConstituencyProcessor::parse_many, "sentences"_a, "tags"_a, Release());
}

void bind_coref_processor(nb::module_& m) {
    bind_kind<CorefProcessor>(m, "CorefProcessor")
        .def_prop_ro("predicts_singletons", &CorefProcessor::predicts_singletons)
        .def_prop_ro("predicts_zero_anaphora", &CorefProcessor::predicts_zero_anaphora);
}

void bind_morphseg_processor(nb::module_& m) {
    bind_kind<MorphSegProcessor>(m, "MorphSegProcessor")
        .def("segment", &MorphSegProcessor::segment, "word"_a, Release())
        .def("segment_many", &MorphSegProcessor::segment_many, "words"_a, Release());
}

}  // namespace quelbin::python
