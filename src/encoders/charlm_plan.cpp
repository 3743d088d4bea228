// The character language model plan: a bundle holding one model with no prefix.
#include <quelbin/charlm.hpp>

#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include <ATen/core/Tensor.h>

#include <algorithm>
#include <utility>

#include "encoders/native_charlm.hpp"
#include "model/json.hpp"

namespace quelbin {

struct CharLMPlan::Impl {
    std::shared_ptr<ModelBundle> bundle;
    std::unique_ptr<detail::NativeCharLM> model;
};

CharLMPlan::CharLMPlan(std::filesystem::path bundle_dir, bool verify_checksums)
    : impl_(std::make_unique<Impl>()) {
    impl_->bundle = std::make_shared<ModelBundle>(std::move(bundle_dir), verify_checksums);
    const std::string& processor = impl_->bundle->processor();
    if (processor != "forward_charlm" && processor != "backward_charlm") {
        throw CharLMModelError("expected a forward/backward_charlm bundle, got '" + processor + "'");
    }
    // JSON errors pass unchanged: this plan does not re-throw them as its own.
    const detail::JsonValue assets = detail::parse_json(impl_->bundle->assets_json());
    impl_->model = std::make_unique<detail::NativeCharLM>(impl_->bundle, "", assets);
}

CharLMPlan::~CharLMPlan() = default;
CharLMPlan::CharLMPlan(CharLMPlan&& other) noexcept = default;
CharLMPlan& CharLMPlan::operator=(CharLMPlan&& other) noexcept = default;

const ModelBundle& CharLMPlan::bundle() const { return *impl_->bundle; }

bool CharLMPlan::is_forward() const { return impl_->model->is_forward(); }

std::int64_t CharLMPlan::hidden_size() const { return impl_->model->hidden_size(); }

std::vector<std::vector<float>> CharLMPlan::encode(const std::vector<std::string>& words) const {
    const at::Tensor rows = impl_->model->encode(words).to(at::kFloat).contiguous();
    const std::int64_t width = impl_->model->hidden_size();
    std::vector<std::vector<float>> out(static_cast<std::size_t>(rows.size(0)),
                                        std::vector<float>(static_cast<std::size_t>(width), 0.0f));
    const float* data = rows.const_data_ptr<float>();
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::copy_n(data + static_cast<std::int64_t>(i) * rows.stride(0), width, out[i].data());
    }
    return out;
}

}  // namespace quelbin
