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
    // The first layer's input pre-activations (x W_ih^T + biases) of every
    // source character, [S, 8H], when they take at most
    // kMorphSegTableFloats; else empty and each task computes those of its own
    // characters.
    std::vector<float> first_table;
};

namespace detail {

// Rows of one network task: about this many character positions, at least one word.
constexpr std::int64_t kMorphSegTaskPositions = 4096;

// The largest character table computed at load (64 MiB).
constexpr std::int64_t kMorphSegTableFloats = std::int64_t{1} << 24;

// The first layer's input pre-activations of source characters `ids`,
// [count, 8H]; each row's arithmetic is the same whatever rows come with it.
void morphseg_first_inputs(const MorphSegPlan::Impl& impl, const std::int64_t* ids, std::int64_t count, float* out);

// The morphemes of one word from its normalised characters and one action id
// per character; throws MorphSegModelError for a padding or out-of-range id.
std::vector<std::string> decode_morphseg_actions(const MorphSegPlan::Impl& impl,
                                                 const std::vector<std::string>& characters,
                                                 const std::int64_t* actions, std::size_t count);

}  // namespace detail
}  // namespace quelbin
