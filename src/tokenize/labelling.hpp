// Character labelling with the two-level BiLSTM: one label per character unit
// (0 none, 1 token end, 2 token and sentence end, 3 and 4 the same for a
// multi-word token).
#pragma once

#include "tokenize/char_units.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace quelbin::detail {

using Labels = std::vector<std::int64_t>;

// Longest stretch of units the single path runs through the network at once.
inline constexpr std::size_t kInferenceWindow = 1000;

// Each of these runs as one task on the calling thread (see
// kernels/parallel_tasks.hpp): callers split larger work into several calls.

// One paragraph, in windows of at most kInferenceWindow units.
Labels label_paragraph(const TokenizerPlan::Impl& impl, const Paragraph& paragraph);

// Each paragraph labelled exactly as label_paragraph labels it (same windows,
// each from the zero state), with the current windows of several paragraphs
// run through the network side by side; results in input order. Paragraphs
// may be empty or longer than kInferenceWindow.
std::vector<Labels> label_paragraphs_windowed(const TokenizerPlan::Impl& impl,
                                              const std::vector<std::reference_wrapper<const Paragraph>>& paragraphs);

// Several paragraphs of at least one unit each in one packed batch; results in
// input order.
std::vector<Labels> label_paragraphs(const TokenizerPlan::Impl& impl,
                                     const std::vector<std::reference_wrapper<const Paragraph>>& paragraphs);

// Labels the queued paragraphs as one batch and moves the i-th result into
// results[destinations[i]]; empties queue and destinations (keeping storage).
void flush_paragraph_queue(const TokenizerPlan::Impl& impl,
                           std::vector<std::reference_wrapper<const Paragraph>>& queue,
                           std::vector<std::size_t>& destinations, std::vector<Labels>& results);

// Last label of a paragraph always ends a sentence, keeping a multi-word mark.
void apply_final_label_rule(Labels& labels);

}  // namespace quelbin::detail
