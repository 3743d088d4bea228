// Exception classes thrown by the engine. Every failure carries a fixed English
// message; the Python module maps each class to a Python exception of its own.
#pragma once

#include <stdexcept>
#include <string>

namespace quelbin {

// A processor kind whose model is not loaded was asked to run.
class ProcessorNotImplementedError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// A pipeline lists a processor before the processors it needs.
class ProcessorRequirementsError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Model index resolution and bundle opening; base of every model-kind error.
class ModelBundleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

#define QUELBIN_MODEL_ERROR(Name)                   \
    class Name : public ModelBundleError {          \
    public:                                         \
        using ModelBundleError::ModelBundleError;   \
    };

QUELBIN_MODEL_ERROR(TokenizerModelError)
QUELBIN_MODEL_ERROR(Seq2SeqModelError)
QUELBIN_MODEL_ERROR(MWTModelError)
QUELBIN_MODEL_ERROR(POSModelError)
QUELBIN_MODEL_ERROR(LemmaModelError)
QUELBIN_MODEL_ERROR(DepparseModelError)
QUELBIN_MODEL_ERROR(NERModelError)
QUELBIN_MODEL_ERROR(SentimentModelError)
QUELBIN_MODEL_ERROR(ConstituencyModelError)
QUELBIN_MODEL_ERROR(CorefModelError)
QUELBIN_MODEL_ERROR(CharLMModelError)
QUELBIN_MODEL_ERROR(LangIDModelError)
QUELBIN_MODEL_ERROR(MorphSegModelError)

#undef QUELBIN_MODEL_ERROR

class WordPieceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SubwordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TransformerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace detail {

// Malformed JSON or a JSON value of the wrong shape; the message ends with its
// byte offset or dotted path.
class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace detail
}  // namespace quelbin
