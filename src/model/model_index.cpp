// Resolving a (resources version, language, processor, package) request to one
// bundle directory through the language directory's index.json.
#include <quelbin/model_bundle.hpp>

#include <quelbin/errors.hpp>

#include "model/bundle_paths.hpp"
#include "model/json.hpp"

#include <vector>

namespace quelbin {

namespace fs = std::filesystem;

void detail::validate_bundle_identifier(std::string_view value, std::string_view label) {
    bool valid = !value.empty() && value != "." && value != "..";
    for (std::size_t i = 0; valid && i < value.size(); ++i) {
        const char c = value[i];
        valid = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
    }
    if (!valid) {
        throw ModelBundleError("invalid " + std::string(label) + ": " + std::string(value));
    }
}

namespace {

fs::path resolve(const fs::path& model_root, std::string_view resources_version,
                 std::string_view language, std::string_view processor,
                 std::string_view package) {
    using detail::JsonValue;
    const fs::path directory =
        fs::absolute(model_root) / std::string(resources_version) / std::string(language);
    const JsonValue index = detail::load_json(directory / "index.json");

    const bool format_ok =
        index.at("format", "index").as_string("") == "quelbin-model-index" &&
        index.at("format_version", "index").as_integer("") == 1;
    if (!format_ok) throw ModelBundleError("unsupported model index format");
    if (index.at("resources_version", "index").as_string("") != resources_version ||
        index.at("language", "index").as_string("") != language) {
        throw ModelBundleError("model index identity does not match requested model");
    }
    const auto& bundles = index.at("bundles", "index").as_array("index.bundles");

    std::vector<fs::path> matches;
    for (const JsonValue& entry : bundles) {
        if (entry.at("processor", "index.bundles[]").as_string("") != processor) continue;
        const std::string& entry_package = entry.at("package", "index.bundles[]").as_string("");
        if (package != "default" && package != entry_package) continue;
        matches.push_back(directory / detail::read_bundle_relative_path(
                                          entry.at("path", "index.bundles[]"),
                                          "index.bundles[].path"));
    }
    if (matches.empty()) {
        throw ModelBundleError("no converted bundle for " + std::string(language) + "/" +
                               std::string(processor) + "/" + std::string(package));
    }
    if (matches.size() > 1) {
        throw ModelBundleError("package 'default' is ambiguous for converted processor '" +
                               std::string(processor) + "'");
    }
    return matches.front();
}

}  // namespace

fs::path resolve_model_bundle(const fs::path& model_root, std::string_view resources_version,
                              std::string_view language, std::string_view processor,
                              std::string_view package) {
    detail::validate_bundle_identifier(resources_version, "resources version");
    detail::validate_bundle_identifier(language, "language");
    detail::validate_bundle_identifier(processor, "processor");
    detail::validate_bundle_identifier(package, "package");
    try {
        return resolve(model_root, resources_version, language, processor, package);
    } catch (const detail::JsonError& error) {
        throw ModelBundleError(error.what());
    }
}

}  // namespace quelbin
