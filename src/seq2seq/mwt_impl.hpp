// Loaded state of a multi-word-token plan, its expansion methods and the
// document rewrite.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include "quelbin/document.hpp"
#include "quelbin/mwt.hpp"
#include "quelbin/seq2seq.hpp"

namespace quelbin {

struct MWTPlan::Impl {
    // Loads the bundle; JSON errors leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    // Dictionary lookup: exact, then all upper case, then title case.
    std::optional<std::string> lookup_expansion(const std::string& token) const;
    // The token's characters with blanks where the classifier predicts a boundary.
    std::string classify_pieces(const std::string& token) const;
    std::string expand(const std::string& token) const;

    // Fields are destroyed in reverse order: the views go before the bundle.
    std::shared_ptr<ModelBundle> bundle;
    std::unique_ptr<Seq2SeqPlan> seq2seq;
    std::unordered_map<std::string, std::string> expansion_dict;
    std::unordered_map<std::string, int64_t> unit2id;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> encoder_weights;
    std::vector<at::Tensor> encoder_initial_state;
    at::Tensor embedding;
    at::Tensor output0_weight;
    at::Tensor output0_bias;
    at::Tensor output2_weight;
    at::Tensor output2_bias;
    int64_t vocab_size = 0;
    int64_t hidden_dim = 0;
    int64_t num_layers = 0;
    bool dict_only = false;
    bool ensemble_dict = false;
    bool force_exact_pieces = false;
};

namespace detail {

// The code points of a UTF-8 string, each as its bytes (Utf8Text's error for
// invalid UTF-8).
std::vector<std::string> split_code_points(const std::string& text);

// The classifier tensor stored under `name`; "missing MWT tensor: '<name>'" otherwise.
const at::Tensor& require_mwt_tensor(const MWTPlan::Impl& impl, std::string_view name);
std::vector<at::Tensor> collect_mwt_encoder_weights(const MWTPlan::Impl& impl);

// True when one '|'-separated item of the MISC value is exactly "MWT=Yes".
bool misc_marks_mwt(const std::string& misc);

// Rewrites the document's storage: tokens marked as multi-word tokens get the
// words of `expand`, every sentence is renumbered from 1 and the tables are
// rebuilt. `expand` runs once per marked token, in document order; when it or
// the rebuild throws, the document is left as it was.
Document rewrite_mwt_document(const Document& document,
                              const std::function<std::string(const std::string&)>& expand);

}  // namespace detail
}  // namespace quelbin
