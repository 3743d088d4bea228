// Pipeline stages: the table of processor kinds, the polymorphic base class
// and one subclass per kind. A processor either shares a loaded plan or has
// none, in which case it reports that native inference is not implemented.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quelbin/constituency.hpp>
#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>

namespace quelbin {

class LangIDPlan;
class MorphSegPlan;
class MWTPlan;
class TokenizerPlan;

struct ProcessorSpec {
    std::string name;
    std::vector<std::string> requirements;
    std::vector<std::string> provides;
    std::string module;
};

// A table row; `provides` is the processor's own name alone.
ProcessorSpec make_processor_spec(std::string name, std::vector<std::string> requirements,
                                  std::string module);

// The eleven processor kinds in their fixed order.
std::vector<ProcessorSpec> processor_specs();

class Processor {
public:
    explicit Processor(ProcessorSpec spec);
    virtual ~Processor();

    virtual bool implemented() const;
    virtual Document process(Document document) const;
    virtual std::vector<Document> process_bulk(std::vector<Document> documents) const;

    const std::string& name() const noexcept { return name_; }
    const std::vector<std::string>& requirements() const noexcept { return requirements_; }
    const std::vector<std::string>& provides() const noexcept { return provides_; }
    const std::string& module() const noexcept { return module_; }

    void set_requirements(std::vector<std::string> requirements);

protected:
    // Throws ProcessorNotImplementedError "the '<name>' processor has no loaded model bundle".
    [[noreturn]] void throw_no_bundle() const;

private:
    std::string name_;
    std::vector<std::string> requirements_;
    std::vector<std::string> provides_;
    std::string module_;
};

class LangIDProcessor : public Processor {
public:
    LangIDProcessor();
    LangIDProcessor(const std::filesystem::path& path, bool verify_checksums,
                    std::vector<std::string> language_subset);
    bool implemented() const override;
    // Sets the document language to the identified code.
    Document process(Document document) const override;
    // One identification call over every document's text, then the languages.
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    const std::vector<std::string>& language_subset() const noexcept { return language_subset_; }
    std::string identify(const std::string& text) const;
    std::vector<std::string> identify_many(const std::vector<std::string>& texts) const;

private:
    std::shared_ptr<const LangIDPlan> plan_;
    std::vector<std::string> language_subset_;
};

class TokenizeProcessor : public Processor {
public:
    TokenizeProcessor();
    TokenizeProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::vector<std::int64_t> predict_labels(const std::string& text) const;

private:
    std::shared_ptr<const TokenizerPlan> plan_;
};

class MWTProcessor : public Processor {
public:
    MWTProcessor();
    MWTProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::string expand(const std::string& token) const;

private:
    std::shared_ptr<const MWTPlan> plan_;
};

class POSPlan;

class POSProcessor : public Processor {
public:
    POSProcessor();
    POSProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;

private:
    std::shared_ptr<const POSPlan> plan_;
};

class LemmaPlan;

class LemmaProcessor : public Processor {
public:
    LemmaProcessor();
    // Requires "tokenize", "pos" when the model uses POS tags.
    LemmaProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::string lemmatize(const std::string& word, const std::optional<std::string>& pos) const;

private:
    std::shared_ptr<const LemmaPlan> plan_;
};

class DepparsePlan;

class DepparseProcessor : public Processor {
public:
    DepparseProcessor();
    DepparseProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;

private:
    std::shared_ptr<const DepparsePlan> plan_;
};

class NERPlan;

class NERProcessor : public Processor {
public:
    NERProcessor();
    NERProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    // All documents are tagged before any is written.
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::vector<std::string> tag(const std::vector<std::string>& tokens) const;

private:
    std::shared_ptr<const NERPlan> plan_;
};

class SentimentPlan;

class SentimentProcessor : public Processor {
public:
    SentimentProcessor();
    SentimentProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::int64_t classify(const std::vector<std::string>& tokens) const;
    std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                            std::uint64_t batch_size) const;

private:
    std::shared_ptr<const SentimentPlan> plan_;
};

class ConstituencyPlan;

class ConstituencyProcessor : public Processor {
public:
    ConstituencyProcessor();
    ConstituencyProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    bool uses_xpos() const;
    ConstituencyTree parse(const std::vector<std::string>& words,
                           const std::vector<std::string>& tags) const;
    std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                             const std::vector<std::vector<std::string>>& tags) const;

private:
    std::shared_ptr<const ConstituencyPlan> plan_;
};

class CorefPlan;

class CorefProcessor : public Processor {
public:
    CorefProcessor();
    CorefProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    bool predicts_singletons() const;
    bool predicts_zero_anaphora() const;

private:
    std::shared_ptr<const CorefPlan> plan_;
};

class MorphSegProcessor : public Processor {
public:
    MorphSegProcessor();
    MorphSegProcessor(const std::filesystem::path& path, bool verify_checksums);
    bool implemented() const override;
    Document process(Document document) const override;
    std::vector<Document> process_bulk(std::vector<Document> documents) const override;
    std::optional<std::filesystem::path> bundle_path() const;
    std::vector<std::string> segment(const std::string& word) const;
    std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;

private:
    std::shared_ptr<const MorphSegPlan> plan_;
};

// A bundle-less processor of the named kind (names are case-sensitive).
// Throws std::invalid_argument "unknown processor: '<name>'".
std::shared_ptr<Processor> make_processor(const std::string& name);

}  // namespace quelbin
