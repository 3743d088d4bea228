// The dependency-parser plan handle: loading, with JSON errors of the assets
// reported as the parser's own model errors.
#include <utility>

#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin {

DepparsePlan::DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw DepparseModelError(error.what());
    }
}

DepparsePlan::~DepparsePlan() = default;
DepparsePlan::DepparsePlan(DepparsePlan&& other) noexcept = default;
DepparsePlan& DepparsePlan::operator=(DepparsePlan&& other) noexcept = default;

const ModelBundle& DepparsePlan::bundle() const { return *impl_->bundle; }

}  // namespace quelbin
