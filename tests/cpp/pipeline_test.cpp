// Processor table, bundle-less processors and the pipeline's argument checks.
#include <gtest/gtest.h>

#include <quelbin/pipeline.hpp>

#include <functional>
#include <string>
#include <vector>

namespace quelbin {
namespace {

using Names = std::vector<std::string>;

TEST(ProcessorSpecs, ElevenRowsInTableOrder) {
    const std::vector<ProcessorSpec> specs = processor_specs();
    const Names names = {"langid", "tokenize",  "mwt",          "pos",   "lemma",   "depparse",
                         "ner",    "sentiment", "constituency", "coref", "morphseg"};
    ASSERT_EQ(specs.size(), names.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        EXPECT_EQ(specs[i].name, names[i]);
        EXPECT_EQ(specs[i].provides, Names{names[i]});
        // A processor of each kind carries exactly its table row.
        auto processor = make_processor(names[i]);
        EXPECT_EQ(processor->name(), specs[i].name);
        EXPECT_EQ(processor->requirements(), specs[i].requirements);
        EXPECT_EQ(processor->provides(), specs[i].provides);
        EXPECT_EQ(processor->module(), specs[i].module);
        EXPECT_FALSE(processor->implemented());
    }
    EXPECT_EQ(specs[5].requirements, (Names{"tokenize", "pos", "lemma"}));
    EXPECT_EQ(specs[8].requirements, (Names{"tokenize", "pos"}));
    EXPECT_EQ(specs[0].module, "extended");
    EXPECT_EQ(specs[9].module, "coref");
    EXPECT_TRUE(specs[1].requirements.empty());
}

TEST(MakeProcessor, NamesAreExactAndCaseSensitive) {
    for (const std::string name : {"POS", "", "Tokenize", "pos ", "lemmas", "x"}) {
        try {
            make_processor(name);
            FAIL() << "accepted '" << name << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "unknown processor: '" + name + "'");
        }
    }
    // Dynamic types follow the name.
    EXPECT_NE(dynamic_cast<MorphSegProcessor*>(make_processor("morphseg").get()), nullptr);
    EXPECT_NE(dynamic_cast<ConstituencyProcessor*>(make_processor("constituency").get()), nullptr);
    EXPECT_NE(dynamic_cast<TokenizeProcessor*>(make_processor("tokenize").get()), nullptr);
}

TEST(Processor, WithoutModelRefusesToProcess) {
    auto pos = make_processor("pos");
    try {
        pos->process(Document("Hi."));
        FAIL();
    } catch (const ProcessorNotImplementedError& e) {
        EXPECT_STREQ(e.what(), "the 'pos' processor is registered but native inference is not implemented");
    }
    // An empty batch reaches no model.
    EXPECT_TRUE(pos->process_bulk({}).empty());
    EXPECT_THROW(pos->process_bulk({Document("a"), Document("b")}), ProcessorNotImplementedError);
}

TEST(Processor, ModelOperationsWithoutBundle) {
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"langid", [] { LangIDProcessor().identify("x"); }},
        {"langid", [] { LangIDProcessor().identify_many({"x"}); }},
        {"tokenize", [] { TokenizeProcessor().predict_labels("x"); }},
        {"mwt", [] { MWTProcessor().expand("x"); }},
        {"lemma", [] { LemmaProcessor().lemmatize("x", std::nullopt); }},
        {"ner", [] { NERProcessor().tag({"x"}); }},
        {"sentiment", [] { SentimentProcessor().classify({"x"}); }},
        {"sentiment", [] { SentimentProcessor().classify_many({{"x"}}, 2); }},
        {"constituency", [] { ConstituencyProcessor().uses_xpos(); }},
        {"constituency", [] { ConstituencyProcessor().parse({"x"}, {"X"}); }},
        {"constituency", [] { ConstituencyProcessor().parse_many({{"x"}}, {{"X"}}); }},
        {"coref", [] { CorefProcessor().predicts_singletons(); }},
        {"coref", [] { CorefProcessor().predicts_zero_anaphora(); }},
        {"morphseg", [] { MorphSegProcessor().segment("x"); }},
        {"morphseg", [] { MorphSegProcessor().segment_many({"x"}); }},
    };
    for (const auto& [name, call] : cases) {
        try {
            call();
            ADD_FAILURE() << name;
        } catch (const ProcessorNotImplementedError& e) {
            EXPECT_EQ(std::string(e.what()), "the '" + name + "' processor has no loaded model bundle");
        }
    }
    EXPECT_TRUE(LangIDProcessor().language_subset().empty());
    EXPECT_FALSE(POSProcessor().bundle_path().has_value());
}

Pipeline make_pipeline(Names processors, std::map<std::string, std::string> packages = {}) {
    return Pipeline("en", std::move(processors), std::move(packages), std::nullopt, "1.14.0", false, {});
}

void expect_invalid(const std::function<void()>& build, const std::string& message) {
    try {
        build();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const ProcessorRequirementsError& e) {
        ADD_FAILURE() << "requirements error: " << e.what();
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(Pipeline, ArgumentChecksInOrder) {
    expect_invalid([] { Pipeline("", {"nope", "nope"}, "", std::nullopt, "", false, {}); },
                   "a pipeline language is required");
    expect_invalid([] { Pipeline("en", {"nope", "nope"}, "", std::nullopt, "", false, {}); },
                   "a pipeline package cannot be empty");
    expect_invalid([] { Pipeline("en", {"nope", "nope"}, "default", std::nullopt, "", false, {}); },
                   "a pipeline resources version cannot be empty");
    // Duplicates are found before any processor is built, unknown names included.
    expect_invalid([] { make_pipeline({"tokenize", "tokenize"}); },
                   "a processor may only appear once in a pipeline: 'tokenize'");
    expect_invalid([] { make_pipeline({"nope", "tokenize", "nope"}); },
                   "a processor may only appear once in a pipeline: 'nope'");
    // Of two bad package entries the smaller key is reported.
    expect_invalid([] { make_pipeline({"tokenize"}, {{"pos", "x"}, {"ner", "y"}}); },
                   "package was specified for unrequested processor: 'ner'");
    expect_invalid([] { make_pipeline({"tokenize", "pos"}, {{"pos", ""}}); },
                   "package for processor 'pos' cannot be empty");
    expect_invalid([] { make_pipeline({"tokenize", "Pos"}); }, "unknown processor: 'Pos'");
}

TEST(Pipeline, RequirementsAreCheckedAgainstEarlierProcessorsOnly) {
    const std::vector<std::pair<Names, std::string>> cases = {
        {{"tokenize", "depparse"}, "processor 'depparse' is missing requirements: pos, lemma"},
        {{"pos", "tokenize"}, "processor 'pos' is missing requirements: tokenize"},
        {{"tokenize", "constituency", "pos"}, "processor 'constituency' is missing requirements: pos"},
        {{"depparse"}, "processor 'depparse' is missing requirements: tokenize, pos, lemma"},
    };
    for (const auto& [names, message] : cases) {
        try {
            make_pipeline(names);
            ADD_FAILURE() << message;
        } catch (const ProcessorRequirementsError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
    const Pipeline full = make_pipeline({"langid", "tokenize", "mwt", "pos", "lemma", "depparse", "ner",
                                         "sentiment", "constituency", "coref", "morphseg"});
    EXPECT_EQ(full.processors().size(), 11u);
}

TEST(Pipeline, PackagesAndAccessors) {
    const Pipeline single("de", {"tokenize", "pos"}, "gsd", std::nullopt, "1.14.0", true, {});
    EXPECT_FALSE(single.package_is_mapping());
    EXPECT_EQ(single.package_for("pos"), "gsd");
    EXPECT_EQ(single.language(), "de");
    EXPECT_FALSE(single.model_dir().has_value());

    const Pipeline mapped = make_pipeline({"tokenize", "pos"}, {{"pos", "alt"}});
    EXPECT_TRUE(mapped.package_is_mapping());
    EXPECT_EQ(mapped.package(), "default");
    EXPECT_EQ(mapped.package_for("pos"), "alt");
    EXPECT_EQ(mapped.package_for("tokenize"), "default");
    ASSERT_EQ(mapped.processors().size(), 2u);
    EXPECT_EQ(mapped.processors()[1]->name(), "pos");
}

TEST(Pipeline, ProcessingRunsProcessorsInOrder) {
    const Pipeline empty = make_pipeline({});
    const Document document = empty.process(std::string("abc"));
    EXPECT_EQ(document.text(), "abc");
    EXPECT_EQ(document.sentences().size(), 0u);
    // A bundle-less pipeline fails at its first processor, and only when a
    // document reaches it.
    const Pipeline bundleless = make_pipeline({"tokenize", "pos"});
    try {
        bundleless.process(std::string("Hi."));
        FAIL();
    } catch (const ProcessorNotImplementedError& e) {
        EXPECT_STREQ(e.what(),
                     "the 'tokenize' processor is registered but native inference is not implemented");
    }
    EXPECT_TRUE(bundleless.process_bulk(std::vector<std::string>{}).empty());
    EXPECT_EQ(empty.process_bulk(std::vector<std::string>{"a", "b"}).size(), 2u);
    EXPECT_THROW(empty.process(std::string("\xff")), std::invalid_argument);
}

}  // namespace
}  // namespace quelbin
