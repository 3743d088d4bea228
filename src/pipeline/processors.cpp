#include <quelbin/processors.hpp>

#include <quelbin/constituency_plan.hpp>
#include <quelbin/coref_plan.hpp>
#include <quelbin/depparse.hpp>
#include <quelbin/langid.hpp>
#include <quelbin/lemmatizer.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/morphseg.hpp>
#include <quelbin/mwt.hpp>
#include <quelbin/ner.hpp>
#include <quelbin/pos.hpp>
#include <quelbin/sentiment.hpp>
#include <quelbin/tokenizer.hpp>

#include <stdexcept>
#include <utility>

namespace quelbin {

ProcessorSpec make_processor_spec(std::string name, std::vector<std::string> requirements,
                                  std::string module) {
    ProcessorSpec spec;
    spec.provides = {name};
    spec.name = std::move(name);
    spec.requirements = std::move(requirements);
    spec.module = std::move(module);
    return spec;
}

namespace {

// The rows of the processor table, shared by processor_specs and every kind's
// constructors so that the two never disagree.
ProcessorSpec langid_spec() { return make_processor_spec("langid", {}, "extended"); }
ProcessorSpec tokenize_spec() { return make_processor_spec("tokenize", {}, "ud"); }
ProcessorSpec mwt_spec() { return make_processor_spec("mwt", {"tokenize"}, "ud"); }
ProcessorSpec pos_spec() { return make_processor_spec("pos", {"tokenize"}, "ud"); }
ProcessorSpec lemma_spec() { return make_processor_spec("lemma", {"tokenize"}, "ud"); }
ProcessorSpec depparse_spec() {
    return make_processor_spec("depparse", {"tokenize", "pos", "lemma"}, "ud");
}
ProcessorSpec ner_spec() { return make_processor_spec("ner", {"tokenize"}, "extended"); }
ProcessorSpec sentiment_spec() { return make_processor_spec("sentiment", {"tokenize"}, "extended"); }
ProcessorSpec constituency_spec() {
    return make_processor_spec("constituency", {"tokenize", "pos"}, "extended");
}
ProcessorSpec coref_spec() { return make_processor_spec("coref", {"tokenize"}, "coref"); }
ProcessorSpec morphseg_spec() { return make_processor_spec("morphseg", {"tokenize"}, "extended"); }

}  // namespace

std::vector<ProcessorSpec> processor_specs() {
    return {langid_spec(),    tokenize_spec(),  mwt_spec(),          pos_spec(),
            lemma_spec(),     depparse_spec(),  ner_spec(),          sentiment_spec(),
            constituency_spec(), coref_spec(),  morphseg_spec()};
}

Processor::Processor(ProcessorSpec spec)
    : name_(std::move(spec.name)),
      requirements_(std::move(spec.requirements)),
      provides_(std::move(spec.provides)),
      module_(std::move(spec.module)) {}

Processor::~Processor() = default;

bool Processor::implemented() const { return false; }

Document Processor::process(Document document) const {
    // The document is released before the error leaves.
    { Document released = std::move(document); }
    throw ProcessorNotImplementedError("the '" + name_ +
                                       "' processor is registered but native inference is not implemented");
}

std::vector<Document> Processor::process_bulk(std::vector<Document> documents) const {
    for (Document& document : documents) document = process(std::move(document));
    return documents;
}

void Processor::set_requirements(std::vector<std::string> requirements) {
    requirements_ = std::move(requirements);
}

void Processor::throw_no_bundle() const {
    throw ProcessorNotImplementedError("the '" + name_ + "' processor has no loaded model bundle");
}

LangIDProcessor::LangIDProcessor() : Processor(langid_spec()) {}
LangIDProcessor::LangIDProcessor(const std::filesystem::path& path, bool verify_checksums,
                                 std::vector<std::string> language_subset)
    : Processor(langid_spec()),
      plan_(std::make_shared<const LangIDPlan>(path, verify_checksums)),
      language_subset_(std::move(language_subset)) {}
bool LangIDProcessor::implemented() const { return plan_ != nullptr; }
Document LangIDProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    document.set_lang(plan_->identify(document.text(), language_subset_));
    return document;
}
std::vector<Document> LangIDProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    std::vector<std::string> texts;
    texts.reserve(documents.size());
    for (const Document& document : documents) texts.push_back(document.text());
    const std::vector<std::string> codes = plan_->identify_many(texts, language_subset_);
    for (std::size_t i = 0; i < documents.size(); ++i) documents[i].set_lang(codes[i]);
    return documents;
}
std::optional<std::filesystem::path> LangIDProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::string LangIDProcessor::identify(const std::string& text) const {
    if (!plan_) throw_no_bundle();
    return plan_->identify(text, language_subset_);
}
std::vector<std::string> LangIDProcessor::identify_many(const std::vector<std::string>& texts) const {
    if (!plan_) throw_no_bundle();
    return plan_->identify_many(texts, language_subset_);
}

// Kinds whose model runner is not part of this engine: the bundle constructor
// opens and checks the bundle, then refuses; every model operation reports the
// missing bundle.
TokenizeProcessor::TokenizeProcessor() : Processor(tokenize_spec()) {}
TokenizeProcessor::TokenizeProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(tokenize_spec()),
      plan_(std::make_shared<const TokenizerPlan>(path, verify_checksums)) {}
bool TokenizeProcessor::implemented() const { return plan_ != nullptr; }
Document TokenizeProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(document);
}
std::vector<Document> TokenizeProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(documents);
}
std::optional<std::filesystem::path> TokenizeProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::vector<std::int64_t> TokenizeProcessor::predict_labels(const std::string& text) const {
    if (!plan_) throw_no_bundle();
    return plan_->predict_labels(text);
}

MWTProcessor::MWTProcessor() : Processor(mwt_spec()) {}
MWTProcessor::MWTProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(mwt_spec()), plan_(std::make_shared<const MWTPlan>(path, verify_checksums)) {}
bool MWTProcessor::implemented() const { return plan_ != nullptr; }
Document MWTProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(document);
}
std::optional<std::filesystem::path> MWTProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::string MWTProcessor::expand(const std::string& token) const {
    if (!plan_) throw_no_bundle();
    return plan_->expand(token);
}

POSProcessor::POSProcessor() : Processor(pos_spec()) {}
POSProcessor::POSProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(pos_spec()), plan_(std::make_shared<const POSPlan>(path, verify_checksums)) {}
bool POSProcessor::implemented() const { return plan_ != nullptr; }
Document POSProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> POSProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> POSProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}

LemmaProcessor::LemmaProcessor() : Processor(lemma_spec()) {}
LemmaProcessor::LemmaProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(lemma_spec()), plan_(std::make_shared<const LemmaPlan>(path, verify_checksums)) {
    if (plan_->uses_pos()) set_requirements({"tokenize", "pos"});
}
bool LemmaProcessor::implemented() const { return plan_ != nullptr; }
Document LemmaProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> LemmaProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> LemmaProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::string LemmaProcessor::lemmatize(const std::string& word,
                                      const std::optional<std::string>& pos) const {
    if (!plan_) throw_no_bundle();
    return plan_->lemmatize(word, pos);
}

DepparseProcessor::DepparseProcessor() : Processor(depparse_spec()) {}
DepparseProcessor::DepparseProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(depparse_spec()), plan_(std::make_shared<const DepparsePlan>(path, verify_checksums)) {}
bool DepparseProcessor::implemented() const { return plan_ != nullptr; }
Document DepparseProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> DepparseProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> DepparseProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}

NERProcessor::NERProcessor() : Processor(ner_spec()) {}
NERProcessor::NERProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(ner_spec()), plan_(std::make_shared<const NERPlan>(path, verify_checksums)) {}
bool NERProcessor::implemented() const { return plan_ != nullptr; }
Document NERProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> NERProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> NERProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::vector<std::string> NERProcessor::tag(const std::vector<std::string>& tokens) const {
    if (!plan_) throw_no_bundle();
    return plan_->tag(tokens);
}

SentimentProcessor::SentimentProcessor() : Processor(sentiment_spec()) {}
SentimentProcessor::SentimentProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(sentiment_spec()), plan_(std::make_shared<const SentimentPlan>(path, verify_checksums)) {}
bool SentimentProcessor::implemented() const { return plan_ != nullptr; }
Document SentimentProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> SentimentProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> SentimentProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::int64_t SentimentProcessor::classify(const std::vector<std::string>& tokens) const {
    if (!plan_) throw_no_bundle();
    return plan_->classify(tokens);
}
std::vector<std::int64_t> SentimentProcessor::classify_many(
    const std::vector<std::vector<std::string>>& sentences, std::uint64_t batch_size) const {
    if (!plan_) throw_no_bundle();
    return plan_->classify_many(sentences, static_cast<std::size_t>(batch_size));
}

ConstituencyProcessor::ConstituencyProcessor() : Processor(constituency_spec()) {}
ConstituencyProcessor::ConstituencyProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(constituency_spec()), plan_(std::make_shared<const ConstituencyPlan>(path, verify_checksums)) {}
bool ConstituencyProcessor::implemented() const { return plan_ != nullptr; }
Document ConstituencyProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> ConstituencyProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> ConstituencyProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
bool ConstituencyProcessor::uses_xpos() const {
    if (!plan_) throw_no_bundle();
    return plan_->uses_xpos();
}
ConstituencyTree ConstituencyProcessor::parse(const std::vector<std::string>& words,
                                              const std::vector<std::string>& tags) const {
    if (!plan_) throw_no_bundle();
    return plan_->parse(words, tags);
}
std::vector<ConstituencyTree> ConstituencyProcessor::parse_many(
    const std::vector<std::vector<std::string>>& words, const std::vector<std::vector<std::string>>& tags) const {
    if (!plan_) throw_no_bundle();
    return plan_->parse_many(words, tags);
}

CorefProcessor::CorefProcessor() : Processor(coref_spec()) {}
CorefProcessor::CorefProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(coref_spec()), plan_(std::make_shared<const CorefPlan>(path, verify_checksums)) {}
bool CorefProcessor::implemented() const { return plan_ != nullptr; }
Document CorefProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> CorefProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> CorefProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
bool CorefProcessor::predicts_singletons() const {
    if (!plan_) throw_no_bundle();
    return plan_->predicts_singletons();
}
bool CorefProcessor::predicts_zero_anaphora() const {
    if (!plan_) throw_no_bundle();
    return plan_->predicts_zero_anaphora();
}

MorphSegProcessor::MorphSegProcessor() : Processor(morphseg_spec()) {}
MorphSegProcessor::MorphSegProcessor(const std::filesystem::path& path, bool verify_checksums)
    : Processor(morphseg_spec()), plan_(std::make_shared<const MorphSegPlan>(path, verify_checksums)) {}
bool MorphSegProcessor::implemented() const { return plan_ != nullptr; }
Document MorphSegProcessor::process(Document document) const {
    if (!plan_) return Processor::process(std::move(document));
    return plan_->process(std::move(document));
}
std::vector<Document> MorphSegProcessor::process_bulk(std::vector<Document> documents) const {
    if (!plan_) return Processor::process_bulk(std::move(documents));
    return plan_->process_bulk(std::move(documents));
}
std::optional<std::filesystem::path> MorphSegProcessor::bundle_path() const {
    if (!plan_) return std::nullopt;
    return plan_->bundle().path();
}
std::vector<std::string> MorphSegProcessor::segment(const std::string& word) const {
    if (!plan_) throw_no_bundle();
    return plan_->segment(word);
}
std::vector<std::vector<std::string>> MorphSegProcessor::segment_many(const std::vector<std::string>& words) const {
    if (!plan_) throw_no_bundle();
    return plan_->segment_many(words);
}

std::shared_ptr<Processor> make_processor(const std::string& name) {
    switch (name.size()) {
        case 3:
            if (name == "mwt") return std::make_shared<MWTProcessor>();
            if (name == "pos") return std::make_shared<POSProcessor>();
            if (name == "ner") return std::make_shared<NERProcessor>();
            break;
        case 5:
            if (name == "lemma") return std::make_shared<LemmaProcessor>();
            if (name == "coref") return std::make_shared<CorefProcessor>();
            break;
        case 6:
            if (name == "langid") return std::make_shared<LangIDProcessor>();
            break;
        case 8:
            if (name == "tokenize") return std::make_shared<TokenizeProcessor>();
            if (name == "depparse") return std::make_shared<DepparseProcessor>();
            if (name == "morphseg") return std::make_shared<MorphSegProcessor>();
            break;
        case 9:
            if (name == "sentiment") return std::make_shared<SentimentProcessor>();
            break;
        case 12:
            if (name == "constituency") return std::make_shared<ConstituencyProcessor>();
            break;
        default:
            break;
    }
    throw std::invalid_argument("unknown processor: '" + name + "'");
}

}  // namespace quelbin
