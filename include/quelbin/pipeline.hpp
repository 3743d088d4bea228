// A pipeline: one processor per requested name, in the caller's order, each
// built from the bundle the model index names for it (or without a model).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quelbin/document.hpp>
#include <quelbin/processors.hpp>

namespace quelbin {

class Pipeline {
public:
    Pipeline(std::string language, std::vector<std::string> processors, std::string package,
             std::optional<std::filesystem::path> model_dir, std::string resources_version,
             bool verify_model_checksums, std::vector<std::string> langid_lang_subset);
    Pipeline(std::string language, std::vector<std::string> processors,
             std::map<std::string, std::string> processor_packages,
             std::optional<std::filesystem::path> model_dir, std::string resources_version,
             bool verify_model_checksums, std::vector<std::string> langid_lang_subset);
    Pipeline(std::string language, std::vector<std::string> processors, std::string package,
             std::map<std::string, std::string> processor_packages, bool package_is_mapping,
             std::optional<std::filesystem::path> model_dir, std::string resources_version,
             bool verify_model_checksums, std::vector<std::string> langid_lang_subset);

    Document process(std::string text) const;
    Document process(Document document) const;
    std::vector<Document> process_bulk(std::vector<std::string> texts) const;
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

    const std::string& package_for(const std::string& name) const;
    // Throws ProcessorRequirementsError for the first processor whose
    // requirements no earlier processor provides.
    void validate_requirements() const;

    const std::string& language() const noexcept { return language_; }
    const std::string& package() const noexcept { return package_; }
    const std::string& resources_version() const noexcept { return resources_version_; }
    bool package_is_mapping() const noexcept { return package_is_mapping_; }
    const std::map<std::string, std::string>& processor_packages() const noexcept {
        return processor_packages_;
    }
    const std::optional<std::filesystem::path>& model_dir() const noexcept { return model_dir_; }
    const std::vector<std::shared_ptr<Processor>>& processors() const noexcept { return processors_; }

private:
    std::string language_;
    std::string package_;
    std::map<std::string, std::string> processor_packages_;
    bool package_is_mapping_;
    std::optional<std::filesystem::path> model_dir_;
    std::string resources_version_;
    std::vector<std::shared_ptr<Processor>> processors_;
};

}  // namespace quelbin
