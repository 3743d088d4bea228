// The module's exception classes and the translators that raise them.
#include "module.hpp"

#include <quelbin/errors.hpp>

#include <c10/util/Exception.h>

#include <exception>

namespace quelbin::python {

void bind_exceptions(nb::module_& m) {
    // Translators are consulted most recently registered first, so every
    // model-kind class is tried before its base ModelBundleError.
    nb::exception<ProcessorNotImplementedError>(m, "ProcessorNotImplementedError",
                                                PyExc_NotImplementedError);
    nb::exception<ProcessorRequirementsError>(m, "ProcessorRequirementsError",
                                              PyExc_ValueError);
    nb::exception<ModelBundleError> bundle(m, "ModelBundleError", PyExc_RuntimeError);
    PyObject* base = bundle.ptr();
    nb::exception<TokenizerModelError>(m, "TokenizerModelError", base);
    nb::exception<Seq2SeqModelError>(m, "Seq2SeqModelError", base);
    nb::exception<MWTModelError>(m, "MWTModelError", base);
    nb::exception<POSModelError>(m, "POSModelError", base);
    nb::exception<LemmaModelError>(m, "LemmaModelError", base);
    nb::exception<DepparseModelError>(m, "DepparseModelError", base);
    nb::exception<NERModelError>(m, "NERModelError", base);
    nb::exception<SentimentModelError>(m, "SentimentModelError", base);
    nb::exception<ConstituencyModelError>(m, "ConstituencyModelError", base);
    nb::exception<CorefModelError>(m, "CorefModelError", base);
    nb::exception<CharLMModelError>(m, "CharLMModelError", base);
    nb::exception<LangIDModelError>(m, "LangIDModelError", base);
    nb::exception<MorphSegModelError>(m, "MorphSegModelError", base);
    nb::exception<WordPieceError>(m, "WordPieceError", PyExc_RuntimeError);
    nb::exception<SubwordError>(m, "SubwordError", PyExc_RuntimeError);
    nb::exception<TransformerError>(m, "TransformerError", PyExc_RuntimeError);
    // Errors of the tensor library become RuntimeError with the library's own
    // message: its what() appends a C++ backtrace that callers must not see.
    nb::register_exception_translator([](const std::exception_ptr& error, void*) {
        try {
            std::rethrow_exception(error);
        } catch (const c10::Error& tensor_error) {
            PyErr_SetString(PyExc_RuntimeError, tensor_error.what_without_backtrace());
        }
    });
}

}  // namespace quelbin::python
