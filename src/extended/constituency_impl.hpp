// Loaded state of a constituency plan, the parse state of one sentence, and
// the network and transition routines over them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "quelbin/constituency_plan.hpp"

namespace quelbin {

namespace detail {
class JsonValue;
}  // namespace detail

enum class TransitionKind : std::int32_t { Shift = 0, Close = 1, Open = 2 };

struct ConstituencyTransition {
    TransitionKind kind = TransitionKind::Shift;
    std::vector<std::string> labels;  // Open only, outermost first
    std::int64_t open_index = -1;     // Open only: row of dummy_embedding.weight
};

namespace detail {

// A stack LSTM's step on the shared row-product and cell kernels: float32
// weights read in place, b_ih + b_hh summed once. Built only when every weight
// is a contiguous float32 matrix of the expected shape.
struct ConstituencyStackRunner {
    std::vector<at::Tensor> w_ih, w_hh, bias;  // per layer: [4S, in], [4S, S], [4S]
    std::int64_t layers = 0;
    std::int64_t size = 0;
};

}  // namespace detail

// Members in declaration order; the destructor releases them in reverse, so
// that every tensor view and encoder goes before the bundle.
struct ConstituencyPlan::Impl {
    // Loads and checks the bundle; refusals are ConstituencyModelError, JSON
    // errors leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::unordered_map<std::string, std::int64_t> pretrain_vocab;
    std::unordered_map<std::string, std::int64_t> delta_words;
    std::unordered_map<std::string, std::int64_t> tags;
    std::unordered_set<std::string> root_labels;
    std::vector<ConstituencyTransition> transitions;
    std::unique_ptr<detail::NativeCharLM> forward_charlm;
    std::unique_ptr<detail::NativeCharLM> backward_charlm;
    std::unique_ptr<detail::NativeTransformer> transformer;
    std::vector<at::Tensor> word_lstm_weights;
    std::vector<at::Tensor> transition_lstm_weights;
    std::vector<at::Tensor> constituent_lstm_weights;
    std::vector<at::Tensor> word_lstm_state;
    std::vector<at::Tensor> transition_lstm_state;
    std::vector<at::Tensor> constituent_lstm_state;
    std::vector<std::pair<at::Tensor, at::Tensor>> output_layers;
    std::optional<detail::ConstituencyStackRunner> transition_runner;
    std::optional<detail::ConstituencyStackRunner> constituent_runner;
    std::int64_t hidden_size = 0;
    std::int64_t transition_hidden_size = 0;
    std::int64_t tag_embedding_dim = 0;
    std::int64_t transition_embedding_dim = 0;
    std::int64_t delta_embedding_dim = 0;
    std::int64_t num_lstm_layers = 0;
    std::int64_t num_output_layers = 0;
    std::int64_t unary_limit = 0;
    bool boundary_vectors = false;
    bool uses_xpos = false;
    bool pretrain_lower = false;
    bool has_forward_charlm = false;
    bool has_backward_charlm = false;
    bool uses_transformer = false;
    bool has_shift = false;
    bool has_close = false;

    ConstituencyTree parse(const std::vector<std::string>& words, const std::vector<std::string>& tags) const;
};

struct ConstituencyStackItem {
    std::optional<ConstituencyTree> tree;  // empty for an Open marker
    at::Tensor input;                      // [1, hidden_size]
    std::vector<std::string> labels;       // Open marker only
    bool is_open = false;
};

struct ConstituencyStackEntry {
    std::optional<ConstituencyStackItem> item;  // constituent stack, not the sentinel
    std::optional<std::int64_t> transition;     // transition stack, not the sentinel
    at::Tensor h, c;                            // [num_lstm_layers, size]
    at::Tensor output;                          // [size]
};

struct ConstituencyParseState {
    std::vector<at::Tensor> word_vectors;  // n + 2 of [hidden_size]
    std::vector<ConstituencyTree> preterminals;
    std::vector<ConstituencyStackEntry> transition_stack;
    std::vector<ConstituencyStackEntry> constituent_stack;
    std::int64_t n = 0;
    std::int64_t shifted = 0;
    std::int64_t open_count = 0;
    std::int64_t steps = 0;
};

namespace detail {

// Configuration readers: a missing key or null gives 0 (false) for integers
// and booleans; strings are required.
const std::string& read_constituency_config_string(const JsonValue& config, std::string_view key);
std::int64_t read_constituency_config_int(const JsonValue& config, std::string_view key);
bool read_constituency_config_bool(const JsonValue& config, std::string_view key);

// "missing constituency tensor: '<name>'" when absent.
const at::Tensor& require_constituency_tensor(const ConstituencyPlan::Impl& impl, std::string_view name);
void validate_constituency_tensors(const ConstituencyPlan::Impl& impl);
std::vector<at::Tensor> collect_constituency_lstm_weights(const ConstituencyPlan::Impl& impl,
                                                          const std::string& prefix, bool bidirectional);

// Pretrained-vocabulary key: optionally lower-cased, spaces as U+00A0.
std::string normalize_constituency_word(const std::string& word, bool lower);
std::int64_t lookup_constituency_word(const ConstituencyPlan::Impl& impl, const std::string& word);
at::Tensor make_constituency_id_tensor(const std::vector<std::int64_t>& ids);

// n + 2 vectors of [hidden_size]: start sentinel, one per word, end sentinel.
std::vector<at::Tensor> encode_constituency_words(const ConstituencyPlan::Impl& impl,
                                                  const std::vector<std::string>& words,
                                                  const std::vector<std::string>& tags);

// `start` is the start embedding, or undefined with boundary vectors off.
ConstituencyStackEntry start_constituency_stack(const std::vector<at::Tensor>& weights,
                                                const std::vector<at::Tensor>& initial_state,
                                                const at::Tensor& start, std::int64_t layers);
// The runner of `weights` for a unidirectional LSTM, or none when the weights
// do not suit the kernels.
std::optional<ConstituencyStackRunner> make_constituency_stack_runner(const std::vector<at::Tensor>& weights,
                                                                      std::int64_t layers, std::int64_t size);
// With a runner the step runs on the kernels; inputs it cannot take (another
// dtype or width) go to at::lstm, which reports them.
ConstituencyStackEntry push_constituency_stack(const ConstituencyStackEntry& previous, const at::Tensor& input,
                                               const std::vector<at::Tensor>& weights, std::int64_t layers,
                                               std::int64_t size, std::optional<ConstituencyStackItem> item,
                                               std::optional<std::int64_t> transition,
                                               const ConstituencyStackRunner* runner = nullptr);
void push_constituent(const ConstituencyPlan::Impl& impl, ConstituencyParseState& state,
                      ConstituencyStackItem item);
// One score per output unit of the last layer, [T].
at::Tensor score_constituency_transitions(const ConstituencyPlan::Impl& impl, const ConstituencyParseState& state);

// True when the chain of single-child nodes from the root exceeds the limit.
bool check_constituency_unary_limit(const ConstituencyStackEntry& entry, std::int64_t unary_limit);
bool constituency_transition_legal(const ConstituencyPlan::Impl& impl, const ConstituencyParseState& state,
                                   const ConstituencyTransition& transition);
ConstituencyTree build_constituency_tree(const std::vector<std::string>& labels,
                                         std::vector<ConstituencyTree> children);

}  // namespace detail
}  // namespace quelbin
