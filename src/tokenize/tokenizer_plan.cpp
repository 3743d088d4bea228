#include "tokenize/tokenize_text.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include "model/json.hpp"

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

std::vector<std::int64_t> TokenizerPlan::predict_labels(const std::string& text) const {
    return detail::predict_paragraph_labels(*impl_, text);
}

}  // namespace quelbin
