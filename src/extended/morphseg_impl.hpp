// The loaded morphological segmenter behind MorphSegPlan.
#pragma once

#include <quelbin/model_bundle.hpp>
#include <quelbin/morphseg.hpp>

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/bilstm.hpp"

namespace quelbin {

struct MorphSegPlan::Impl {
    Impl(std::filesystem::path path, bool verify_checksums);
    ~Impl();

    // The segmentation core: one morpheme list per word, in input order.
    std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;

    // Fills the result of every position of one length group.
    void run_batch(const std::vector<std::vector<std::string>>& codepoints,
                   const std::vector<std::vector<std::int64_t>>& ids, const std::vector<std::size_t>& group,
                   std::vector<std::vector<std::string>>& results) const;

    std::shared_ptr<ModelBundle> bundle;
    std::vector<std::string> source_vocabulary;
    std::vector<std::string> target_vocabulary;
    std::unordered_map<std::string, std::int64_t> source_ids;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> lstm_weights;
    std::int64_t embedding_size = 0;
    std::int64_t hidden_size = 0;
    std::int64_t num_layers = 0;
    std::int64_t batch_size = 0;

    // Derived at load: each layer's recurrence and the decoding of each action.
    struct Action {
        bool erase = false;  // "DELETE"
        std::vector<std::pair<bool, std::string>> pieces;  // (is "COPY", literal text)
    };
    std::vector<detail::BiLstm> layers;
    std::vector<Action> actions;
};

namespace detail {

// Rows of one network task: about this many character positions, at least one word.
constexpr std::int64_t kMorphSegTaskPositions = 4096;

// The morphemes of one word from its normalised characters and one action id
// per character; throws MorphSegModelError for a padding or out-of-range id.
std::vector<std::string> decode_morphseg_actions(const MorphSegPlan::Impl& impl,
                                                 const std::vector<std::string>& characters,
                                                 const std::int64_t* actions, std::size_t count);

}  // namespace detail
}  // namespace quelbin
