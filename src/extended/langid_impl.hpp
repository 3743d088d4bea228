// The loaded language identifier behind LangIDPlan, and the steps of its core.
#pragma once

#include <quelbin/langid.hpp>
#include <quelbin/model_bundle.hpp>

#include <ATen/core/Tensor.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/bilstm.hpp"
#include "kernels/scratch_pool.hpp"

namespace quelbin {

struct LangIDPlan::Impl {
    // Opens and validates the bundle; every check runs here.
    Impl(std::filesystem::path path, bool verify_checksums);
    ~Impl();

    // The shared core: one code per text, in input order.
    std::vector<std::string> identify_batch(const std::vector<std::string>& texts,
                                            const std::vector<std::string>& subset) const;

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, std::int64_t> char_ids;
    std::vector<std::string> tags;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> lstm_weights;  // 8 per layer, in at::lstm's order
    at::Tensor default_mask;               // float32 [T] zeros
    std::int64_t unk_id = 0;
    std::int64_t pad_id = 0;
    std::int64_t num_layers = 0;
    std::int64_t embedding_dim = 0;
    std::int64_t hidden_dim = 0;
    // Derived at load: the recurrence of each layer, the embedding and the
    // classifier as float32 views.
    std::vector<detail::BiLstm> layers;
    at::Tensor embedding;   // [V, E]
    at::Tensor tag_weight;  // [T, 2H]
    at::Tensor tag_bias;    // [T]
    // The first layer's input pre-activations (x W_ih^T + biases) of every
    // character, [V, 8H], when they take at most kLangIDTableFloats; else
    // empty and each task computes those of its own characters.
    std::vector<float> first_table;
    // Character ids by code point: ASCII in a table, the rest in a map.
    std::array<std::int64_t, 128> ascii_ids{};
    std::unordered_map<std::uint32_t, std::int64_t> codepoint_ids;
};

namespace detail {

// One character id per code point; empty or invalid UTF-8 text throws
// LangIDModelError.
std::vector<std::int64_t> encode_langid_text(const LangIDPlan::Impl& impl, const std::string& text);

// 0 for allowed tags and -inf for the others, [T]; the shared default mask for
// an empty subset.
at::Tensor build_langid_subset_mask(const LangIDPlan::Impl& impl, const std::vector<std::string>& subset);

[[noreturn]] void throw_langid_invalid_utf8(std::size_t offset);

// The tag id of each text of one group of equally long texts, in group order.
std::vector<std::int64_t> run_langid_forward(const LangIDPlan::Impl& impl,
                                             const std::vector<std::vector<std::int64_t>>& encoded,
                                             const std::vector<std::size_t>& group, const at::Tensor& mask);

// The network over `count` texts (input indices `rows`, longest first): their
// tag ids into `out`; its large buffers are leased from `scratch`. A text's scores depend on its own ids (up to the
// rounding of the matrix products), so texts of neighbouring lengths may share
// one run; no recurrence step past a text's end is computed.
void run_langid_rows(const LangIDPlan::Impl& impl, const std::vector<std::vector<std::int64_t>>& encoded,
                     const std::size_t* rows, std::size_t count, const float* mask, std::int64_t* out,
                     ScratchPool<float>& scratch);

// Rows of one task: about this many positions (at least one text, at most
// kLangIDTaskRows texts).
constexpr std::int64_t kLangIDTaskPositions = 8192;
constexpr std::size_t kLangIDTaskRows = 256;

// The largest character table computed at load (64 MiB).
constexpr std::int64_t kLangIDTableFloats = std::int64_t{1} << 24;

// The first layer's input pre-activations of characters `ids`, [count, 8H];
// each row's arithmetic is the same whatever rows come with it.
void langid_first_inputs(const LangIDPlan::Impl& impl, const std::int64_t* ids, std::int64_t count, float* out);

}  // namespace detail
}  // namespace quelbin
