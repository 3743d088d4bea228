// Interned key strings of the dictionary form, made once on first use.
#pragma once

#include "module.hpp"

namespace quelbin::python {

// Interned, so lookups in dicts written as Python literals compare pointers.
inline nb::str interned(const char* key) {
    PyObject* s = PyUnicode_InternFromString(key);
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

struct DictKeys {
    nb::str id = interned("id");
    nb::str text = interned("text");
    nb::str lemma = interned("lemma");
    nb::str upos = interned("upos");
    nb::str xpos = interned("xpos");
    nb::str feats = interned("feats");
    nb::str head = interned("head");
    nb::str deprel = interned("deprel");
    nb::str deps = interned("deps");
    nb::str misc = interned("misc");
    nb::str start_char = interned("start_char");
    nb::str end_char = interned("end_char");
    nb::str manual_expansion = interned("manual_expansion");
    nb::str ner = interned("ner");
    nb::str multi_ner = interned("multi_ner");
    nb::str morphemes = interned("morphemes");
    nb::str coref_chains = interned("coref_chains");
    nb::str spaces_before = interned("spaces_before");
    nb::str spaces_after = interned("spaces_after");
    nb::str type = interned("type");
    nb::str index = interned("index");
    nb::str representative_text = interned("representative_text");
    nb::str is_start = interned("is_start");
    nb::str is_end = interned("is_end");
    nb::str is_representative = interned("is_representative");
};

// Never released: the strings live as long as the interpreter.
inline const DictKeys& dict_keys() {
    static const DictKeys* keys = new DictKeys();
    return *keys;
}

}  // namespace quelbin::python
