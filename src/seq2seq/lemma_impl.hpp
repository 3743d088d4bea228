// Loaded state of a lemmatizer plan and its per-word and batch routines.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quelbin/lemmatizer.hpp"
#include "quelbin/seq2seq.hpp"

namespace quelbin {

namespace detail {
class JsonValue;

// A configuration flag: missing, null or a non-object configuration read as
// false; any other value must be a boolean (label "assets.config.<key>").
bool read_lemma_config_flag(const JsonValue& config, std::string_view key);
}  // namespace detail

struct LemmaPlan::Impl {
    // Loads the bundle; JSON errors leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    // The stored lemma of the (case-folded) word under the POS key, else under
    // "*"; null when both miss.
    const std::string* lookup_pos_dict(const std::string& word, const std::string& pos) const;
    std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;
    // One lemma per word; every word the dictionary does not settle goes
    // through one predict_many call.
    std::vector<std::string> lemmatize_many(const std::vector<std::string>& words,
                                            const std::vector<std::optional<std::string>>& upos) const;

    std::shared_ptr<ModelBundle> bundle;
    std::unique_ptr<Seq2SeqPlan> seq2seq;
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> pos_dict;
    bool dict_only = false;
    bool ensemble_dict = false;
    bool caseless = false;
    bool pos = false;
};

}  // namespace quelbin
