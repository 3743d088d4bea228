// Test-only extension: throws engine exceptions so that the tests can check how
// _quelbin's translators turn them into Python exceptions.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>

#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace {

using Thrower = std::function<void(const std::string&)>;

template <class E>
void raise(const std::string& message) {
    throw E(message);
}

// Every engine exception class, the JSON error and the standard exceptions,
// thrown by name.
const std::map<std::string, Thrower>& throwers() {
#define QUELBIN_THROWER(E) {#E, raise<E>},
    using namespace quelbin;
    using detail::JsonError;
    using namespace std;
    static const std::map<std::string, Thrower> table = {
        QUELBIN_THROWER(ProcessorNotImplementedError) QUELBIN_THROWER(ProcessorRequirementsError)
        QUELBIN_THROWER(ModelBundleError) QUELBIN_THROWER(TokenizerModelError)
        QUELBIN_THROWER(Seq2SeqModelError) QUELBIN_THROWER(MWTModelError)
        QUELBIN_THROWER(POSModelError) QUELBIN_THROWER(LemmaModelError)
        QUELBIN_THROWER(DepparseModelError) QUELBIN_THROWER(NERModelError)
        QUELBIN_THROWER(SentimentModelError) QUELBIN_THROWER(ConstituencyModelError)
        QUELBIN_THROWER(CorefModelError) QUELBIN_THROWER(CharLMModelError)
        QUELBIN_THROWER(LangIDModelError) QUELBIN_THROWER(MorphSegModelError)
        QUELBIN_THROWER(WordPieceError) QUELBIN_THROWER(SubwordError)
        QUELBIN_THROWER(TransformerError) QUELBIN_THROWER(JsonError)
        QUELBIN_THROWER(invalid_argument) QUELBIN_THROWER(domain_error)
        QUELBIN_THROWER(length_error) QUELBIN_THROWER(out_of_range)
        QUELBIN_THROWER(range_error) QUELBIN_THROWER(overflow_error)
        QUELBIN_THROWER(logic_error) QUELBIN_THROWER(runtime_error)
        {"bad_alloc", [](const std::string&) { throw std::bad_alloc(); }},
    };
#undef QUELBIN_THROWER
    return table;
}

// Sentences of one-word tokens with ids 1, 2, ... and no offsets.
std::vector<quelbin::SentenceInput> plain_sentences(const std::vector<std::vector<std::string>>& sentences) {
    std::vector<quelbin::SentenceInput> out;
    for (const auto& words : sentences) {
        quelbin::SentenceInput s;
        for (std::size_t i = 0; i < words.size(); ++i) {
            quelbin::TokenInput t;
            t.id_start = t.id_end = static_cast<int>(i) + 1;
            t.text = words[i];
            quelbin::WordInput w;
            w.id = t.id_start;
            w.text = words[i];
            t.words.push_back(w);
            s.tokens.push_back(t);
        }
        out.push_back(s);
    }
    return out;
}

quelbin::TokenInput offset_token(int id, const char* text, std::uint32_t start) {
    quelbin::TokenInput t;
    t.id_start = t.id_end = id;
    t.text = text;
    t.start_char = start;
    t.end_char = start + static_cast<std::uint32_t>(std::string(text).size());
    return t;
}

quelbin::WordInput head_word(int id, const char* text, std::optional<int> head, const char* deprel) {
    quelbin::WordInput w;
    w.id = id;
    w.text = text;
    w.head = head;
    if (deprel) w.deprel = deprel;
    return w;
}

// "Ann Lee saw del mar. Hola!": a PER and a LOC entity, a multi-word token,
// empty words stored out of order, heads with and without relations.
quelbin::Document sample_document() {
    using namespace quelbin;
    SentenceInput s0;
    TokenInput ann = offset_token(1, "Ann", 0);
    ann.ner = "B-PER";
    ann.words = {head_word(1, "Ann", 3, "nsubj")};
    TokenInput lee = offset_token(2, "Lee", 4);
    lee.ner = "E-PER";
    lee.words = {head_word(2, "Lee", 1, "flat")};
    TokenInput saw = offset_token(3, "saw", 8);
    saw.words = {head_word(3, "saw", 0, "root")};
    saw.words[0].upos = "VERB";
    TokenInput del = offset_token(4, "del", 12);
    del.id_end = 5;
    del.words = {head_word(4, "de", 6, "case"), head_word(5, "el", 6, "det")};
    TokenInput mar = offset_token(6, "mar", 16);
    mar.ner = "S-LOC";
    mar.words = {head_word(6, "mar", 3, "obl")};
    TokenInput dot = offset_token(7, ".", 19);
    dot.words = {head_word(7, ".", 3, "punct")};
    s0.tokens = {ann, lee, saw, del, mar, dot};
    WordInput e31 = head_word(3, "E", std::nullopt, nullptr);
    e31.empty_index = 1;
    WordInput e01 = head_word(0, "Z", std::nullopt, nullptr);
    e01.empty_index = 1;
    s0.empty_words = {e31, e01};

    SentenceInput s1;
    TokenInput hola = offset_token(1, "Hola", 21);
    hola.words = {head_word(1, "Hola", 0, "root")};
    TokenInput bang = offset_token(2, "!", 25);
    bang.words = {head_word(2, "!", 1, nullptr)};
    s1.tokens = {hola, bang};
    s1.sentiment = 2;
    s1.speaker = "B";
    s1.comments = {"# newpar"};
    return Document("Ann Lee saw del mar. Hola!", {s0, s1});
}

}  // namespace

NB_MODULE(_quelbin_testing, m) {
    m.def("throw_engine_error", [](const std::string& kind, const std::string& message) {
        throwers().at(kind)(message);
    });
    // Documents for the binding tests; _quelbin must be imported first, since
    // it registers the document classes.
    m.def("sample_document", &sample_document);
    m.def("make_document", [](std::string text, const std::vector<std::vector<std::string>>& sentences) {
        return quelbin::Document(std::move(text), plain_sentences(sentences));
    });
    m.def("replace_sentences",
          [](quelbin::Document& doc, const std::vector<std::vector<std::string>>& sentences) {
              doc.storage()->replace(plain_sentences(sentences));
          });
    // The children of a node with n leaf children; the elements themselves
    // need the ConstituencyTree class, which this test does not rely on.
    m.def("tree_children", [](int n) {
        std::vector<std::shared_ptr<const quelbin::TreeNode>> leaves;
        for (int i = 0; i < n; ++i) {
            leaves.push_back(std::make_shared<const quelbin::TreeNode>(
                "leaf" + std::to_string(i), std::vector<std::shared_ptr<const quelbin::TreeNode>>{}));
        }
        return quelbin::TreeSequence(std::move(leaves));
    });
    // The input records themselves, so that tests can build documents without
    // going through the dictionary-form reader.
    nb::class_<quelbin::WordInput>(m, "WordInput")
        .def(nb::init<>())
        .def_rw("id", &quelbin::WordInput::id)
        .def_rw("empty_index", &quelbin::WordInput::empty_index)
        .def_rw("text", &quelbin::WordInput::text)
        .def_rw("lemma", &quelbin::WordInput::lemma)
        .def_rw("upos", &quelbin::WordInput::upos)
        .def_rw("xpos", &quelbin::WordInput::xpos)
        .def_rw("feats", &quelbin::WordInput::feats)
        .def_rw("head", &quelbin::WordInput::head)
        .def_rw("deprel", &quelbin::WordInput::deprel)
        .def_rw("deps", &quelbin::WordInput::deps)
        .def_rw("misc", &quelbin::WordInput::misc)
        .def_rw("start_char", &quelbin::WordInput::start_char)
        .def_rw("end_char", &quelbin::WordInput::end_char)
        .def_rw("manual_expansion", &quelbin::WordInput::manual_expansion)
        .def_rw("morphemes", &quelbin::WordInput::morphemes);
    nb::class_<quelbin::TokenInput>(m, "TokenInput")
        .def(nb::init<>())
        .def_rw("id_start", &quelbin::TokenInput::id_start)
        .def_rw("id_end", &quelbin::TokenInput::id_end)
        .def_rw("text", &quelbin::TokenInput::text)
        .def_rw("misc", &quelbin::TokenInput::misc)
        .def_rw("ner", &quelbin::TokenInput::ner)
        .def_rw("multi_ner", &quelbin::TokenInput::multi_ner)
        .def_rw("start_char", &quelbin::TokenInput::start_char)
        .def_rw("end_char", &quelbin::TokenInput::end_char)
        .def_rw("manual_expansion", &quelbin::TokenInput::manual_expansion)
        .def_rw("spaces_before", &quelbin::TokenInput::spaces_before)
        .def_rw("spaces_after", &quelbin::TokenInput::spaces_after)
        .def_rw("words", &quelbin::TokenInput::words);
    nb::class_<quelbin::SentenceInput>(m, "SentenceInput")
        .def(nb::init<>())
        .def_rw("tokens", &quelbin::SentenceInput::tokens)
        .def_rw("empty_words", &quelbin::SentenceInput::empty_words);
    m.def("build_document", [](std::string text, const std::vector<quelbin::SentenceInput>& sentences) {
        return quelbin::Document(std::move(text), sentences);
    });
}
