#include "tokenize/tokenize_text.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include "model/json.hpp"

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

namespace quelbin {

TokenizerPlan::TokenizerPlan(const std::filesystem::path& bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(bundle_dir, verify_checksums);
    } catch (const detail::JsonError& error) {
        throw TokenizerModelError(error.what());
    }
}

TokenizerPlan::TokenizerPlan(TokenizerPlan&& other) noexcept = default;
TokenizerPlan& TokenizerPlan::operator=(TokenizerPlan&& other) noexcept = default;
TokenizerPlan::~TokenizerPlan() = default;

const ModelBundle& TokenizerPlan::bundle() const { return *impl_->bundle; }

Document TokenizerPlan::process(const Document& document) const {
    return Document(detail::tokenize_text(*impl_, document.storage()->text));
}

std::vector<Document> TokenizerPlan::process_bulk(const std::vector<Document>& documents) const {
    std::vector<const Utf8Text*> texts;
    texts.reserve(documents.size());
    for (const Document& document : documents) texts.push_back(&document.storage()->text);
    std::vector<std::shared_ptr<DocumentStorage>> storages = detail::tokenize_texts(*impl_, texts);
    std::vector<Document> results;
    results.reserve(storages.size());
    for (std::shared_ptr<DocumentStorage>& storage : storages) results.emplace_back(std::move(storage));
    return results;
}

std::vector<std::int64_t> TokenizerPlan::predict_labels(const std::string& text) const {
    return detail::predict_paragraph_labels(*impl_, text);
}

}  // namespace quelbin
