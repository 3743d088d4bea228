// Test-only extension: throws engine exceptions by name and builds documents.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>

#include <map>
#include <new>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace {

template <class E>
void raise(const std::string& message) {
    throw E(message);
}

// Every engine exception class, the JSON error and the standard exceptions, by name.
const std::map<std::string, void (*)(const std::string&)>& throwers() {
#define QUELBIN_THROWER(E) {#E, raise<E>},
    using namespace quelbin;
    using detail::JsonError;
    using namespace std;
    static const std::map<std::string, void (*)(const std::string&)> table = {
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

quelbin::WordInput word(int id, const std::string& text, std::optional<int> head = std::nullopt,
                        const char* deprel = nullptr) {
    quelbin::WordInput w;
    w.id = id;
    w.text = text;
    w.head = head;
    if (deprel) w.deprel = deprel;
    return w;
}

// A token: its text, its start (none: no offsets), its NER tag or null, its words.
struct TokenRow {
    std::string text;
    std::optional<std::uint32_t> start;
    const char* ner;
    std::vector<quelbin::WordInput> words;
};

quelbin::SentenceInput sentence(const std::vector<TokenRow>& rows) {
    quelbin::SentenceInput s;
    for (const TokenRow& row : rows) {
        quelbin::TokenInput& t = s.tokens.emplace_back();
        t.id_start = row.words.front().id;
        t.id_end = row.words.back().id;
        t.text = row.text;
        t.start_char = row.start;
        if (row.start) t.end_char = *row.start + static_cast<std::uint32_t>(row.text.size());
        if (row.ner) t.ner = row.ner;
        t.words = row.words;
    }
    return s;
}

// Sentences of one-word tokens with ids 1, 2, ... and no offsets.
std::vector<quelbin::SentenceInput> plain_sentences(
    const std::vector<std::vector<std::string>>& sentences) {
    std::vector<quelbin::SentenceInput> out;
    for (const auto& words : sentences) {
        std::vector<TokenRow> rows;
        for (int i = 0; i < static_cast<int>(words.size()); ++i) {
            rows.push_back({words[i], std::nullopt, nullptr, {word(i + 1, words[i])}});
        }
        out.push_back(sentence(rows));
    }
    return out;
}

// "Ann Lee saw del mar. Hola!": a PER and a LOC entity, a multi-word token,
// empty words stored out of order, heads with and without relations.
quelbin::Document sample_document() {
    quelbin::SentenceInput s0 = sentence({
        {"Ann", 0, "B-PER", {word(1, "Ann", 3, "nsubj")}},
        {"Lee", 4, "E-PER", {word(2, "Lee", 1, "flat")}},
        {"saw", 8, nullptr, {word(3, "saw", 0, "root")}},
        {"del", 12, nullptr, {word(4, "de", 6, "case"), word(5, "el", 6, "det")}},
        {"mar", 16, "S-LOC", {word(6, "mar", 3, "obl")}},
        {".", 19, nullptr, {word(7, ".", 3, "punct")}},
    });
    s0.tokens[2].words[0].upos = "VERB";
    s0.empty_words = {word(3, "E"), word(0, "Z")};
    for (quelbin::WordInput& empty : s0.empty_words) empty.empty_index = 1;
    quelbin::SentenceInput s1 = sentence({{"Hola", 21, nullptr, {word(1, "Hola", 0, "root")}},
                                          {"!", 25, nullptr, {word(2, "!", 1)}}});
    s1.sentiment = 2;
    s1.speaker = "B";
    s1.comments = {"# newpar"};
    return quelbin::Document("Ann Lee saw del mar. Hola!", {s0, s1});
}

}  // namespace

NB_MODULE(_quelbin_testing, m) {
    m.def("throw_engine_error", [](const std::string& kind, const std::string& message) {
        throwers().at(kind)(message);
    });
    // _quelbin must be imported first: it registers the document classes.
    m.def("sample_document", &sample_document);
    m.def("make_document",
          [](std::string text, const std::vector<std::vector<std::string>>& sentences) {
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
                "leaf" + std::to_string(i),
                std::vector<std::shared_ptr<const quelbin::TreeNode>>{}));
        }
        return quelbin::TreeSequence(std::move(leaves));
    });
    // The input records, to build documents without the dictionary-form reader.
#define RW(field) .def_rw(#field, &Record::field)
    {
        using Record = quelbin::WordInput;
        nb::class_<Record>(m, "WordInput").def(nb::init<>())
            RW(id) RW(empty_index) RW(text) RW(lemma) RW(upos) RW(xpos) RW(feats) RW(head) RW(deprel)
            RW(deps) RW(misc) RW(start_char) RW(end_char) RW(manual_expansion) RW(morphemes);
    }
    {
        using Record = quelbin::TokenInput;
        nb::class_<Record>(m, "TokenInput").def(nb::init<>())
            RW(id_start) RW(id_end) RW(text) RW(misc) RW(ner) RW(multi_ner) RW(start_char) RW(end_char)
            RW(manual_expansion) RW(spaces_before) RW(spaces_after) RW(words);
    }
    {
        using Record = quelbin::SentenceInput;
        nb::class_<Record>(m, "SentenceInput").def(nb::init<>())
            RW(tokens) RW(empty_words);
    }
#undef RW
    m.def("build_document",
          [](std::string text, const std::vector<quelbin::SentenceInput>& sentences) {
              return quelbin::Document(std::move(text), sentences);
          });
}
