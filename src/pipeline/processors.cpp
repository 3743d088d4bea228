#include <quelbin/processors.hpp>

#include <quelbin/depparse.hpp>
#include <quelbin/lemmatizer.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/mwt.hpp>
#include <quelbin/pos.hpp>
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

void UnsupportedModelProcessor::refuse_bundle(const std::filesystem::path& path,
                                              bool verify_checksums) const {
    ModelBundle bundle(path, verify_checksums);
    throw ProcessorNotImplementedError("the '" + name() +
                                       "' processor is registered but native inference is not implemented");
}

// Kinds whose model runner is not part of this engine: the bundle constructor
// opens and checks the bundle, then refuses; every model operation reports the
// missing bundle.
LangIDProcessor::LangIDProcessor() : UnsupportedModelProcessor(langid_spec()) {}
LangIDProcessor::LangIDProcessor(const std::filesystem::path& path, bool verify_checksums, std::vector<std::string>)
    : UnsupportedModelProcessor(langid_spec()) {
    refuse_bundle(path, verify_checksums);
}
std::string LangIDProcessor::identify(const std::string&) const { throw_no_bundle(); }
std::vector<std::string> LangIDProcessor::identify_many(const std::vector<std::string>&) const {
    throw_no_bundle();
}

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

NERProcessor::NERProcessor() : UnsupportedModelProcessor(ner_spec()) {}
NERProcessor::NERProcessor(const std::filesystem::path& path, bool verify_checksums)
    : UnsupportedModelProcessor(ner_spec()) {
    refuse_bundle(path, verify_checksums);
}
std::vector<std::string> NERProcessor::tag(const std::vector<std::string>&) const {
    throw_no_bundle();
}

SentimentProcessor::SentimentProcessor() : UnsupportedModelProcessor(sentiment_spec()) {}
SentimentProcessor::SentimentProcessor(const std::filesystem::path& path, bool verify_checksums)
    : UnsupportedModelProcessor(sentiment_spec()) {
    refuse_bundle(path, verify_checksums);
}
std::int64_t SentimentProcessor::classify(const std::vector<std::string>&) const {
    throw_no_bundle();
}
std::vector<std::int64_t> SentimentProcessor::classify_many(
    const std::vector<std::vector<std::string>>&, std::uint64_t) const {
    throw_no_bundle();
}

ConstituencyProcessor::ConstituencyProcessor() : UnsupportedModelProcessor(constituency_spec()) {}
ConstituencyProcessor::ConstituencyProcessor(const std::filesystem::path& path, bool verify_checksums)
    : UnsupportedModelProcessor(constituency_spec()) {
    refuse_bundle(path, verify_checksums);
}
bool ConstituencyProcessor::uses_xpos() const { throw_no_bundle(); }
ConstituencyTree ConstituencyProcessor::parse(const std::vector<std::string>&,
                                              const std::vector<std::string>&) const {
    throw_no_bundle();
}
std::vector<ConstituencyTree> ConstituencyProcessor::parse_many(
    const std::vector<std::vector<std::string>>&, const std::vector<std::vector<std::string>>&) const {
    throw_no_bundle();
}

CorefProcessor::CorefProcessor() : UnsupportedModelProcessor(coref_spec()) {}
CorefProcessor::CorefProcessor(const std::filesystem::path& path, bool verify_checksums)
    : UnsupportedModelProcessor(coref_spec()) {
    refuse_bundle(path, verify_checksums);
}
bool CorefProcessor::predicts_singletons() const { throw_no_bundle(); }
bool CorefProcessor::predicts_zero_anaphora() const { throw_no_bundle(); }

MorphSegProcessor::MorphSegProcessor() : UnsupportedModelProcessor(morphseg_spec()) {}
MorphSegProcessor::MorphSegProcessor(const std::filesystem::path& path, bool verify_checksums)
    : UnsupportedModelProcessor(morphseg_spec()) {
    refuse_bundle(path, verify_checksums);
}
std::vector<std::string> MorphSegProcessor::segment(const std::string&) const { throw_no_bundle(); }
std::vector<std::vector<std::string>> MorphSegProcessor::segment_many(
    const std::vector<std::string>&) const {
    throw_no_bundle();
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
