// Pipelines over a model tree with a small bundle of every kind: a text, a
// document and bulk calls give the same documents, every annotation equals what
// its own model gives for the words the pipeline handed it, a stage that fails
// in bulk writes nothing, and requirements are checked once all bundles loaded.
#include <gtest/gtest.h>

#include <quelbin/constituency_plan.hpp>
#include <quelbin/coref_plan.hpp>
#include <quelbin/depparse.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/langid.hpp>
#include <quelbin/lemmatizer.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/morphseg.hpp>
#include <quelbin/mwt.hpp>
#include <quelbin/ner.hpp>
#include <quelbin/pipeline.hpp>
#include <quelbin/pos.hpp>
#include <quelbin/sentiment.hpp>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "model/json.hpp"

namespace quelbin {
namespace {

namespace fs = std::filesystem;

// The bundle of each kind in the tree below: a tokenizer that often marks
// multi-word tokens and has reference tokens for the texts used here, a
// language identifier that tells some texts apart, and the small working
// bundles of the fuzz targets for every other kind.
fs::path fixture_bundle(const std::string& kind) {
    if (kind == "tokenize") return testing::fixture_path("tokenizer", "reference/mwt_all_features");
    if (kind == "langid") return testing::fixture_path("langid", "model");
    return testing::fixture_path("fuzz", "models") / "1.14.0" / "en" / kind;
}

const fs::path& model_root() {
    struct Tree {
        fs::path root = fs::temp_directory_path() / ("quelbin-pipeline-" + std::to_string(::getpid()));
        Tree() {
            const fs::path language = root / "1.14.0" / "en";
            fs::remove_all(root);
            fs::create_directories(language);
            std::string bundles;
            for (const std::string kind : {"langid", "tokenize", "mwt", "pos", "lemma", "depparse", "ner",
                                           "sentiment", "constituency", "coref", "morphseg"}) {
                fs::create_directory_symlink(fixture_bundle(kind), language / kind);
                bundles += std::string(bundles.empty() ? "" : ",") + R"({"processor": ")" + kind +
                           R"(", "package": "default", "path": ")" + kind + "\"}";
            }
            std::ofstream(language / "index.json")
                << R"({"format": "quelbin-model-index", "format_version": 1, "resources_version": "1.14.0", )"
                << R"("language": "en", "bundles": [)" << bundles << "]}";
        }
        ~Tree() { fs::remove_all(root); }
    };
    static const Tree tree;
    return tree.root;
}

// One package for all, or a package per processor when `packages` names any.
Pipeline make_pipeline(std::vector<std::string> processors, std::map<std::string, std::string> packages = {}) {
    if (packages.empty()) return Pipeline("en", std::move(processors), "default", model_root(), "1.14.0", false, {});
    return Pipeline("en", std::move(processors), std::move(packages), model_root(), "1.14.0", false, {});
}

template <typename Sequence>
auto item(const Sequence& sequence, std::uint64_t i) {
    return sequence.at(static_cast<std::int64_t>(i));
}

// The token texts of each sentence, and the sentiment each sentence holds.
std::vector<std::vector<std::string>> sentence_tokens(const Document& document) {
    std::vector<std::vector<std::string>> texts;
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const TokenSequence tokens = item(sentences, s).tokens();
        std::vector<std::string>& sentence = texts.emplace_back();
        for (std::uint64_t t = 0; t < tokens.size(); ++t) sentence.push_back(item(tokens, t).text());
    }
    return texts;
}

std::vector<std::int64_t> sentiments(const Document& document) {
    std::vector<std::int64_t> classes;
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) classes.push_back(item(sentences, s).sentiment().value_or(-1));
    return classes;
}

// Everything the processors write but the sentiments, as one text: padding
// enters the sentiment classifier, so a sentence's class may depend on the
// sentences classified with it (one document, or every document in bulk).
std::string describe(const Document& document) {
    std::ostringstream out;
    out << "lang " << document.lang().value_or("-") << "\n" << document.to_conll();
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const Sentence sentence = item(sentences, s);
        out << "empty words " << sentence.empty_words().size() << " tree ";
        if (const auto tree = sentence.constituency()) out << tree->to_string();
        out << "\nner";
        for (std::uint64_t t = 0; t < sentence.tokens().size(); ++t) {
            out << " " << item(sentence.tokens(), t).ner().value_or("-");
        }
        out << "\n";
    }
    for (std::uint64_t e = 0; e < document.ents().size(); ++e) {
        const Span span = item(document.ents(), e);
        out << "entity " << span.type() << " " << span.start_char().value_or(0) << " " << span.text() << "\n";
    }
    for (const auto& chain : document.coref()) {
        out << "chain " << chain->index() << " " << chain->representative_text() << ":";
        for (const CorefMention& mention : chain->mentions()) {
            out << " " << mention.sentence() << "/" << mention.start_word().word << "-" << mention.end_word().word;
        }
        out << "\n";
    }
    return out.str();
}

// Each model on its own, loaded from the same bundles.
struct Models {
    MWTPlan mwt{fixture_bundle("mwt"), false};
    POSPlan pos{fixture_bundle("pos"), false};
    LemmaPlan lemma{fixture_bundle("lemma"), false};
    DepparsePlan depparse{fixture_bundle("depparse"), false};
    NERPlan ner{fixture_bundle("ner"), false};
    SentimentPlan sentiment{fixture_bundle("sentiment"), false};
    ConstituencyPlan constituency{fixture_bundle("constituency"), false};
    MorphSegPlan morphseg{fixture_bundle("morphseg"), false};
    CorefPlan coref{fixture_bundle("coref"), false};
};

// The first line where two descriptions differ, or "" when they agree.
std::string first_difference(const std::string& got, const std::string& expected) {
    std::istringstream a(got), b(expected);
    std::string x, y;
    for (int line = 1;; ++line) {
        const bool more_a = static_cast<bool>(std::getline(a, x));
        const bool more_b = static_cast<bool>(std::getline(b, y));
        if (!more_a && !more_b) return "";
        if (more_a != more_b || x != y) {
            return "line " + std::to_string(line) + ": '" + (more_a ? x : "<end>") + "' instead of '" +
                   (more_b ? y : "<end>") + "'";
        }
    }
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : " ") + s;
    return out;
}

// Checks a document from the full pipeline against the tokenizer's reference
// tokens ("id text start end misc" lines, a blank line after each sentence)
// and against each model run directly on what the document holds (the
// sentiments over the whole document at once); counts the multi-word tokens.
void expect_models_agree(const Document& document, const std::string& reference, const Models& models,
                         int& multi_word) {
    EXPECT_EQ(sentiments(document), models.sentiment.classify_many(sentence_tokens(document), 5000));
    std::istringstream lines(reference);
    std::string line;
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        SCOPED_TRACE("sentence " + std::to_string(s));
        const Sentence sentence = item(sentences, s);
        const TokenSequence tokens = sentence.tokens();
        std::vector<std::string> token_texts;
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            const Token token = item(tokens, t);
            ASSERT_TRUE(std::getline(lines, line) && !line.empty()) << "more tokens than the reference";
            std::vector<std::string> fields;
            for (std::size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1) {
                tab = line.find('\t', at);
                fields.push_back(line.substr(at, tab == std::string::npos ? tab : tab - at));
            }
            ASSERT_EQ(fields.size(), 5u) << line;
            EXPECT_EQ(token.text() + " " + std::to_string(token.start_char().value_or(0)) + " " +
                          std::to_string(token.end_char().value_or(0)),
                      fields[1] + " " + fields[2] + " " + fields[3]);
            std::vector<std::string> word_texts;
            for (std::uint64_t w = 0; w < token.words().size(); ++w) word_texts.push_back(item(token.words(), w).text());
            const bool marked = fields[4] == "MWT=Yes";
            multi_word += marked;
            EXPECT_EQ(joined(word_texts), marked ? models.mwt.expand(token.text()) : token.text());
            token_texts.push_back(token.text());
        }
        ASSERT_TRUE(std::getline(lines, line) && line.empty()) << "fewer tokens than the reference";

        const WordSequence words = sentence.words();
        std::vector<std::string> word_texts;
        for (std::uint64_t w = 0; w < words.size(); ++w) word_texts.push_back(item(words, w).text());
        const std::vector<POSPrediction> tags = models.pos.tag(word_texts);
        std::vector<DepparseWord> parse_input;
        std::vector<std::string> tree_tags;
        for (std::uint64_t w = 0; w < words.size(); ++w) {
            const Word word = item(words, w);
            const POSPrediction& tag = tags[w];
            EXPECT_EQ(word.upos().value_or("_") + " " + word.xpos().value_or("_") + " " + word.feats().value_or("_"),
                      tag.upos + " " + tag.xpos + " " + tag.feats);
            EXPECT_EQ(word.lemma(), models.lemma.lemmatize(word.text(), word.upos()));
            EXPECT_EQ(word.morphemes(), models.morphseg.segment(word.text()));
            parse_input.push_back({word.text(), word.lemma(), word.upos(), word.xpos(), word.feats()});
            tree_tags.push_back(models.constituency.uses_xpos() ? tag.xpos : tag.upos);
        }
        const std::vector<DepparsePrediction> parse = models.depparse.parse(parse_input);
        for (std::uint64_t w = 0; w < words.size(); ++w) {
            EXPECT_EQ(item(words, w).head(), parse[w].head) << w;
            EXPECT_EQ(item(words, w).deprel(), parse[w].deprel) << w;
        }
        const std::vector<std::string> ner = models.ner.tag(token_texts);
        for (std::uint64_t t = 0; t < tokens.size(); ++t) EXPECT_EQ(item(tokens, t).ner(), ner[t]) << t;
        ASSERT_TRUE(sentence.constituency().has_value());
        EXPECT_EQ(sentence.constituency()->to_string(), models.constituency.parse(word_texts, tree_tags).to_string());
    }
    EXPECT_FALSE(std::getline(lines, line)) << "the reference has more sentences";
}

// The document's chains against the coreference model run on all its words:
// one chain per cluster, each mention a span of one sentence, by position
// within that sentence. Returns the number of mentions.
std::size_t expect_coref_agrees(const Document& document, const CorefPlan& coref) {
    std::vector<std::string> words;
    std::vector<std::size_t> sentence_ids, sentence_starts;
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        sentence_starts.push_back(words.size());
        const WordSequence sentence = item(sentences, s).words();
        for (std::uint64_t w = 0; w < sentence.size(); ++w) {
            words.push_back(item(sentence, w).text());
            sentence_ids.push_back(s);
        }
    }
    const CorefPrediction prediction = coref.resolve(words, sentence_ids, {});
    const auto& chains = document.coref();
    EXPECT_EQ(chains.size(), prediction.span_clusters.size());
    std::size_t mentions = 0;
    for (std::size_t c = 0; c < std::min(chains.size(), prediction.span_clusters.size()); ++c) {
        std::multiset<std::string> got, expected;
        for (const CorefMention& m : chains[c]->mentions()) {
            got.insert(std::to_string(m.sentence()) + "/" + std::to_string(m.start_word().word) + "-" +
                       std::to_string(m.end_word().word));
        }
        for (const auto& [start, end] : prediction.span_clusters[c]) {
            const std::size_t s = sentence_ids.at(start);
            expected.insert(std::to_string(s) + "/" + std::to_string(start - sentence_starts[s]) + "-" +
                            std::to_string(end - sentence_starts[s]));
        }
        EXPECT_EQ(got, expected) << "chain " << c;
        mentions += got.size();
    }
    return mentions;
}

TEST(PipelineRun, CallFormsAgreeAndEveryStageMatchesItsModel) {
    std::map<std::string, std::string> reference;
    const detail::JsonValue cases = detail::load_json(testing::fixture_path("tokenizer", "reference.json"));
    for (const detail::JsonValue& c : cases.at("cases", "").as_array("")) {
        if (c.at("bundle", "").as_string("") == "mwt_all_features" && !c.at("tokens", "").is_null()) {
            reference[c.at("text", "").as_string("")] = c.at("tokens", "").as_string("");
        }
    }
    std::vector<std::string> texts, expected_tokens;
    for (const std::string name : {"web.txt", "unicode.txt", "blank.txt", "whitespace.txt"}) {
        std::ifstream in(testing::fixture_path("tokenizer", "reference") / name, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        expected_tokens.push_back(reference.at(name));
    }
    texts.insert(texts.begin() + 2, "");
    expected_tokens.insert(expected_tokens.begin() + 2, "");

    const Pipeline pipeline = make_pipeline({"tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
                                             "constituency", "morphseg", "coref"});
    std::vector<Document> inputs;
    for (const std::string& text : texts) inputs.emplace_back(text);
    const std::vector<Document> from_texts = pipeline.process_bulk(texts);
    const std::vector<Document> from_documents = pipeline.process_bulk(inputs);
    ASSERT_EQ(from_texts.size(), texts.size());
    ASSERT_EQ(from_documents.size(), texts.size());
    const Models models;
    int multi_word = 0;
    std::size_t mentions = 0;
    std::vector<std::vector<std::string>> all_sentences;
    std::vector<std::int64_t> bulk_from_texts, bulk_from_documents;
    for (std::size_t d = 0; d < texts.size(); ++d) {
        SCOPED_TRACE("document " + std::to_string(d));
        const Document single = pipeline.process(texts[d]);
        EXPECT_EQ(single.text(), texts[d]);
        EXPECT_EQ(single.lang(), "en");
        expect_models_agree(single, expected_tokens[d], models, multi_word);
        mentions += expect_coref_agrees(single, models.coref);
        const std::string expected = describe(single);
        const Document again = pipeline.process(Document(texts[d]));
        EXPECT_EQ(first_difference(describe(again), expected), "");
        EXPECT_EQ(sentiments(again), sentiments(single));
        for (std::vector<std::string>& sentence : sentence_tokens(single)) all_sentences.push_back(std::move(sentence));
        for (const std::int64_t c : sentiments(from_texts[d])) bulk_from_texts.push_back(c);
        for (const std::int64_t c : sentiments(from_documents[d])) bulk_from_documents.push_back(c);
        EXPECT_EQ(first_difference(describe(from_texts[d]), expected), "");
        EXPECT_EQ(first_difference(describe(from_documents[d]), expected), "");
        // The documents handed in stay as they were: the tokenizer builds new ones.
        EXPECT_EQ(inputs[d].sentences().size(), 0u);
    }
    EXPECT_GT(multi_word, 20);
    EXPECT_GT(mentions, 5u);
    // Bulk classifies every document's sentences in one call.
    const std::vector<std::int64_t> bulk = models.sentiment.classify_many(all_sentences, 5000);
    EXPECT_EQ(bulk_from_texts, bulk);
    EXPECT_EQ(bulk_from_documents, bulk);
    // Two classes at least, else sentences could trade sentiments unseen.
    EXPECT_GE(std::set<std::int64_t>(bulk.begin(), bulk.end()).size(), 2u);
}

// Language identification needs text: one empty document fails the whole bulk
// call before any language is written, and the later stages never run.
TEST(PipelineRun, FailingBulkStageWritesNothing) {
    const Pipeline pipeline = make_pipeline({"langid", "tokenize", "pos"});
    const LangIDPlan langid(fixture_bundle("langid"), false);
    const std::vector<std::string> texts = {"The dogs bark.", "", "c"};
    std::vector<Document> documents;
    for (const std::string& text : texts) documents.emplace_back(text);
    std::string error;
    try {
        pipeline.process_bulk(documents);
    } catch (const LangIDModelError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "language identification requires non-empty text");
    for (const Document& document : documents) {
        EXPECT_EQ(document.lang(), std::nullopt) << document.text();
        EXPECT_EQ(document.sentences().size(), 0u) << document.text();
    }
    // Without the empty one the same documents get their languages, each the
    // one the identifier gives for its text alone.
    documents.erase(documents.begin() + 1);
    const std::vector<Document> done = pipeline.process_bulk(documents);
    ASSERT_EQ(done.size(), documents.size());
    const std::vector<std::string> languages = {langid.identify(texts[0], {}), langid.identify(texts[2], {})};
    EXPECT_NE(languages[0], languages[1]);
    for (std::size_t d = 0; d < documents.size(); ++d) {
        EXPECT_EQ(documents[d].lang(), languages[d]) << d;
        EXPECT_GT(done[d].words().size(), 0u) << d;
        EXPECT_TRUE(item(done[d].words(), 0).upos().has_value()) << d;
    }
}

// Requirements are checked against earlier processors once every bundle is
// loaded: the lemmatizer's bundle uses POS tags, so it needs "pos" too; a
// bundle that cannot be resolved fails first.
TEST(PipelineBuild, RequirementsAreCheckedAfterLoading) {
    const struct {
        std::vector<std::string> processors;
        std::map<std::string, std::string> packages;
        std::string error;
    } rows[] = {
        {{"tokenize", "lemma"}, {}, "processor 'lemma' is missing requirements: pos"},
        {{"lemma", "pos", "tokenize"}, {}, "processor 'lemma' is missing requirements: tokenize, pos"},
        {{"tokenize", "mwt", "depparse"}, {}, "processor 'depparse' is missing requirements: pos, lemma"},
        {{"tokenize", "constituency", "pos"}, {}, "processor 'constituency' is missing requirements: pos"},
        {{"langid", "sentiment", "tokenize"}, {}, "processor 'sentiment' is missing requirements: tokenize"},
        {{"pos", "depparse", "tokenize"}, {{"depparse", "other"}}, "bundle: no converted bundle for en/depparse/other"},
        {{"tokenize", "pos", "lemma", "depparse", "constituency"}, {}, ""},
    };
    for (const auto& row : rows) {
        std::string error;
        try {
            const Pipeline pipeline = make_pipeline(row.processors, row.packages);
            EXPECT_EQ(pipeline.processors().at(2)->requirements(), (std::vector<std::string>{"tokenize", "pos"}));
        } catch (const ProcessorRequirementsError& e) {
            error = e.what();
        } catch (const ModelBundleError& e) {
            error = std::string("bundle: ") + e.what();
        }
        EXPECT_EQ(error, row.error) << joined(row.processors);
    }
}

}  // namespace
}  // namespace quelbin
