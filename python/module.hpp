// Shared declarations of the extension module's binding files.
#pragma once

#include <nanobind/nanobind.h>

namespace quelbin::python {

namespace nb = nanobind;

// One row of the registration table: a function that binds one class (or one
// group of module functions) onto the module.
struct Registration {
    const char* name;
    void (*bind)(nb::module_&);
};

// Exception classes, bound in their fixed order with their translators.
void bind_exceptions(nb::module_& m);

// Class binders, one per row of the registration table.
void bind_processor(nb::module_& m);
void bind_langid_processor(nb::module_& m);
void bind_tokenize_processor(nb::module_& m);
void bind_mwt_processor(nb::module_& m);
void bind_pos_processor(nb::module_& m);
void bind_lemma_processor(nb::module_& m);
void bind_depparse_processor(nb::module_& m);
void bind_ner_processor(nb::module_& m);
void bind_sentiment_processor(nb::module_& m);
void bind_constituency_processor(nb::module_& m);
void bind_coref_processor(nb::module_& m);
void bind_morphseg_processor(nb::module_& m);
void bind_morphseg_plan(nb::module_& m);
void bind_pipeline(nb::module_& m);
// Classes, one binding function each, named after the class.
void bind_tensor_descriptor(nb::module_& m);
void bind_model_bundle(nb::module_& m);
void bind_charlm_plan(nb::module_& m);
void bind_coref_prediction(nb::module_& m);
void bind_coref_plan(nb::module_& m);
void bind_transformer_encoder(nb::module_& m);
void bind_wordpiece_encoding(nb::module_& m);
void bind_wordpiece_tokenizer(nb::module_& m);
void bind_byte_bpe_tokenizer(nb::module_& m);
void bind_xlm_roberta_tokenizer(nb::module_& m);
void bind_coref_mention(nb::module_& m);
void bind_coref_chain(nb::module_& m);
void bind_coref_attachment(nb::module_& m);
void bind_constituency_tree(nb::module_& m);
void bind_document(nb::module_& m);
void bind_sentence(nb::module_& m);
void bind_token(nb::module_& m);
void bind_word(nb::module_& m);
void bind_span(nb::module_& m);
void bind_sentence_iterator(nb::module_& m);
void bind_sentence_sequence(nb::module_& m);
void bind_token_iterator(nb::module_& m);
void bind_token_sequence(nb::module_& m);
void bind_word_iterator(nb::module_& m);
void bind_word_sequence(nb::module_& m);
void bind_span_iterator(nb::module_& m);
void bind_span_sequence(nb::module_& m);
void bind_tree_iterator(nb::module_& m);
void bind_tree_sequence(nb::module_& m);

// Module functions processor_specs and native_version.
void bind_module_functions(nb::module_& m);

// A Python object converted inside a binding's body, where a failed conversion
// is the caller's wrong argument: TypeError with `message` naming it.
template <typename T>
T cast_argument(nb::handle value, const char* message) {
    try {
        return nb::cast<T>(value);
    } catch (const nb::cast_error&) {
        throw nb::type_error(message);
    }
}

}  // namespace quelbin::python
