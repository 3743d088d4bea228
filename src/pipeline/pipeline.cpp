#include <quelbin/pipeline.hpp>

#include <quelbin/model_bundle.hpp>

#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace quelbin {

namespace {

// Builds the processor of a known kind from its bundle directory; null for a
// name that is not one of the eleven kinds.
std::shared_ptr<Processor> processor_from_bundle(const std::string& name,
                                                 const std::filesystem::path& bundle,
                                                 bool verify, const std::vector<std::string>& subset) {
    if (name == "langid") return std::make_shared<LangIDProcessor>(bundle, verify, subset);
    if (name == "tokenize") return std::make_shared<TokenizeProcessor>(bundle, verify);
    if (name == "mwt") return std::make_shared<MWTProcessor>(bundle, verify);
    if (name == "pos") return std::make_shared<POSProcessor>(bundle, verify);
    if (name == "lemma") return std::make_shared<LemmaProcessor>(bundle, verify);
    if (name == "depparse") return std::make_shared<DepparseProcessor>(bundle, verify);
    if (name == "ner") return std::make_shared<NERProcessor>(bundle, verify);
    if (name == "sentiment") return std::make_shared<SentimentProcessor>(bundle, verify);
    if (name == "constituency") return std::make_shared<ConstituencyProcessor>(bundle, verify);
    if (name == "coref") return std::make_shared<CorefProcessor>(bundle, verify);
    if (name == "morphseg") return std::make_shared<MorphSegProcessor>(bundle, verify);
    return nullptr;
}

bool is_processor_kind(const std::string& name) {
    for (const ProcessorSpec& spec : processor_specs()) {
        if (spec.name == name) return true;
    }
    return false;
}

}  // namespace

Pipeline::Pipeline(std::string language, std::vector<std::string> processors, std::string package,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_model_checksums, std::vector<std::string> langid_lang_subset)
    : Pipeline(std::move(language), std::move(processors), std::move(package), {}, false,
               std::move(model_dir), std::move(resources_version), verify_model_checksums,
               std::move(langid_lang_subset)) {}

Pipeline::Pipeline(std::string language, std::vector<std::string> processors,
                   std::map<std::string, std::string> processor_packages,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_model_checksums, std::vector<std::string> langid_lang_subset)
    : Pipeline(std::move(language), std::move(processors), "default", std::move(processor_packages),
               true, std::move(model_dir), std::move(resources_version), verify_model_checksums,
               std::move(langid_lang_subset)) {}

Pipeline::Pipeline(std::string language, std::vector<std::string> processors, std::string package,
                   std::map<std::string, std::string> processor_packages, bool package_is_mapping,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_model_checksums, std::vector<std::string> langid_lang_subset)
    : language_(std::move(language)),
      package_(std::move(package)),
      processor_packages_(std::move(processor_packages)),
      package_is_mapping_(package_is_mapping),
      model_dir_(std::move(model_dir)),
      resources_version_(std::move(resources_version)) {
    if (language_.empty()) throw std::invalid_argument("a pipeline language is required");
    if (package_.empty()) throw std::invalid_argument("a pipeline package cannot be empty");
    if (resources_version_.empty()) {
        throw std::invalid_argument("a pipeline resources version cannot be empty");
    }
    processors_.reserve(processors.size());

    // The whole list is checked for duplicates before anything is built.
    std::unordered_set<std::string> seen;
    for (const std::string& name : processors) {
        if (!seen.insert(name).second) {
            throw std::invalid_argument("a processor may only appear once in a pipeline: '" + name + "'");
        }
    }
    for (const auto& [key, value] : processor_packages_) {
        if (seen.count(key) == 0) {
            throw std::invalid_argument("package was specified for unrequested processor: '" + key + "'");
        }
        if (value.empty()) {
            throw std::invalid_argument("package for processor '" + key + "' cannot be empty");
        }
    }

    // Bundles are resolved and loaded one processor at a time, in list order.
    for (const std::string& name : processors) {
        std::shared_ptr<Processor> processor;
        if (model_dir_ && is_processor_kind(name)) {
            const std::filesystem::path bundle = resolve_model_bundle(
                *model_dir_, resources_version_, language_, name, package_for(name));
            processor = processor_from_bundle(name, bundle, verify_model_checksums, langid_lang_subset);
        } else {
            processor = make_processor(name);
        }
        processors_.push_back(std::move(processor));
    }
    validate_requirements();
}

const std::string& Pipeline::package_for(const std::string& name) const {
    auto it = processor_packages_.find(name);
    return it != processor_packages_.end() ? it->second : package_;
}

void Pipeline::validate_requirements() const {
    std::unordered_set<std::string> provided;
    for (const auto& processor : processors_) {
        std::string missing;
        for (const std::string& requirement : processor->requirements()) {
            if (provided.count(requirement) != 0) continue;
            if (!missing.empty()) missing += ", ";
            missing += requirement;
        }
        if (!missing.empty()) {
            throw ProcessorRequirementsError("processor '" + processor->name() +
                                             "' is missing requirements: " + missing);
        }
        provided.insert(processor->provides().begin(), processor->provides().end());
    }
}

Document Pipeline::process(std::string text) const { return process(Document(std::move(text))); }

Document Pipeline::process(Document document) const {
    for (const auto& processor : processors_) document = processor->process(std::move(document));
    return document;
}

std::vector<Document> Pipeline::process_bulk(std::vector<std::string> texts) const {
    std::vector<Document> documents;
    documents.reserve(texts.size());
    for (std::string& text : texts) documents.emplace_back(std::move(text));
    return process_bulk(std::move(documents));
}

std::vector<Document> Pipeline::process_bulk(std::vector<Document> documents) const {
    for (const auto& processor : processors_) {
        documents = processor->process_bulk(std::move(documents));
    }
    return documents;
}

}  // namespace quelbin
