// Entry point of the _quelbin extension module: attributes, exception classes,
// then every class in its fixed order, then the module functions.
#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/version.hpp>

#include <nanobind/stl/string.h>

namespace quelbin::python {

// Classes in their registration order.
static const Registration kClasses[] = {
    {"TensorDescriptor", bind_tensor_descriptor},
    {"ModelBundle", bind_model_bundle},
    {"CharLMPlan", bind_charlm_plan},
    {"CorefPrediction", bind_coref_prediction},
    {"CorefPlan", bind_coref_plan},
    {"MorphSegPlan", bind_morphseg_plan},
    {"WordPieceEncoding", bind_wordpiece_encoding},
    {"WordPieceTokenizer", bind_wordpiece_tokenizer},
    {"ByteBPETokenizer", bind_byte_bpe_tokenizer},
    {"XLMRobertaTokenizer", bind_xlm_roberta_tokenizer},
    {"TransformerEncoder", bind_transformer_encoder},
    {"CorefMention", bind_coref_mention},
    {"CorefChain", bind_coref_chain},
    {"CorefAttachment", bind_coref_attachment},
    {"ConstituencyTree", bind_constituency_tree},
    {"Document", bind_document},
    {"Sentence", bind_sentence},
    {"Token", bind_token},
    {"Word", bind_word},
    {"Span", bind_span},
    {"_SentenceIterator", bind_sentence_iterator},
    {"SentenceSequence", bind_sentence_sequence},
    {"_TokenIterator", bind_token_iterator},
    {"TokenSequence", bind_token_sequence},
    {"_WordIterator", bind_word_iterator},
    {"WordSequence", bind_word_sequence},
    {"_SpanIterator", bind_span_iterator},
    {"SpanSequence", bind_span_sequence},
    {"_TreeIterator", bind_tree_iterator},
    {"TreeSequence", bind_tree_sequence},
    {"Processor", bind_processor},
    {"LangIDProcessor", bind_langid_processor},
    {"TokenizeProcessor", bind_tokenize_processor},
    {"MWTProcessor", bind_mwt_processor},
    {"POSProcessor", bind_pos_processor},
    {"LemmaProcessor", bind_lemma_processor},
    {"DepparseProcessor", bind_depparse_processor},
    {"NERProcessor", bind_ner_processor},
    {"SentimentProcessor", bind_sentiment_processor},
    {"ConstituencyProcessor", bind_constituency_processor},
    {"CorefProcessor", bind_coref_processor},
    {"MorphSegProcessor", bind_morphseg_processor},
    {"Pipeline", bind_pipeline},
};

}  // namespace quelbin::python

// The binding library keeps its type registry in process-wide state that names
// the interpreter of the latest import: running the module's execution step in a
// sub-interpreter would point it there and break the module for every later call
// in the main interpreter. Interpreters from 3.12 on honour the definition's
// declaration that multiple interpreters are not supported only for isolated
// sub-interpreters, and 3.11 has no such declaration at all, so the entry point
// below refuses any interpreter but the main one before the definition is made.
// The binding library's own entry point is renamed and kept unexported for it.
#define PyInit__quelbin quelbin_module_definition
#pragma push_macro("NB_EXPORT")
#undef NB_EXPORT
#define NB_EXPORT
NB_MODULE(_quelbin, m) {
    using namespace quelbin::python;
    m.attr("__doc__") = "Native components of Quelbin.";
    m.attr("__version__") = quelbin::native_version();
    m.attr("free_threaded_build") = false;
    bind_exceptions(m);
    // Classes and functions are built on a staging module that carries the import
    // name (every class and function reports it as its __module__), then set on
    // `m` in order. The binding library ends the process when it cannot store a
    // new class or function on its scope; a failed set here raises instead, and
    // the import turns that into ImportError.
    nb::module_ staging = nb::steal<nb::module_>(PyModule_NewObject(m.attr("__name__").ptr()));
    if (!staging.is_valid()) nb::raise_python_error();
    for (const Registration& row : kClasses) row.bind(staging);
    bind_module_functions(staging);
    wait_for_unlocked_calls_at_exit();
    for (auto [name, value] : nb::borrow<nb::dict>(PyModule_GetDict(staging.ptr()))) {
        const std::string key = nb::cast<std::string>(name);
        if (key.rfind("__", 0) != 0) m.attr(name) = value;
    }
}
#pragma pop_macro("NB_EXPORT")
#undef PyInit__quelbin

extern "C" NB_EXPORT PyObject* PyInit__quelbin(void) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "_quelbin cannot be imported in a sub-interpreter: the binding library's type "
                        "registry is shared by the whole process, so only the main interpreter may "
                        "import the module");
        return nullptr;
    }
    return quelbin_module_definition();
}
