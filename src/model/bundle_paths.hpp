// Path and identifier rules shared by the bundle reader and the model index.
#pragma once

#include "model/json.hpp"

#include <filesystem>
#include <string_view>

namespace quelbin::detail {

// A bundle-relative path: a JSON string, non-empty, without a root directory
// and without ".." components. Throws JsonError for a non-string and
// ModelBundleError otherwise, each naming `label`.
std::filesystem::path read_bundle_relative_path(const JsonValue& value, std::string_view label);

// Non-empty, not "." or "..", only ASCII letters, digits, ".", "-" and "_";
// otherwise ModelBundleError "invalid <label>: <value>".
void validate_bundle_identifier(std::string_view value, std::string_view label);

}  // namespace quelbin::detail
