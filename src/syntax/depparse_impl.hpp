// Loaded state of a dependency-parser plan and the routines that embed,
// encode and score over it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "quelbin/depparse.hpp"
#include "syntax/syntax_model.hpp"

namespace quelbin {

namespace detail {
class JsonValue;
}  // namespace detail

using DepparseHighwayLayer = detail::HighwayLayer;

// Members in declaration order; the destructor releases them in reverse: the
// fast runners, the transformer, the backward and forward character LMs, then
// the rest, the bundle last, so that no view outlives the mapping it reads.
struct DepparsePlan::Impl {
    // Loads and checks the bundle; refusals are DepparseModelError, JSON
    // errors leave as detail::JsonError.
    Impl(std::filesystem::path bundle_dir, bool verify_checksums);
    ~Impl();

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> char_lstm_weights;
    std::vector<at::Tensor> char_lstm_state;
    std::vector<DepparseHighwayLayer> highway_layers;
    std::unordered_map<std::string, std::int64_t> word_vocab;
    std::unordered_map<std::string, std::int64_t> lemma_vocab;
    std::unordered_map<std::string, std::int64_t> char_vocab;
    std::unordered_map<std::string, std::int64_t> upos_vocab;
    std::unordered_map<std::string, std::int64_t> xpos_vocab;
    std::vector<std::unordered_map<std::string, std::int64_t>> xpos_component_vocabs;
    std::unordered_map<std::string, std::int64_t> pretrain_vocab;
    std::vector<std::string> deprel_labels;
    std::uint64_t ufeats_count = 0;
    std::int64_t word_emb_dim = 0;
    std::int64_t tag_emb_dim = 0;
    std::int64_t transformed_dim = 0;
    std::int64_t char_emb_dim = 0;
    std::int64_t char_hidden_dim = 0;
    std::int64_t hidden_dim = 0;
    std::int64_t num_layers = 0;
    std::int64_t batch_size = 5000;
    std::int64_t deep_biaff_hidden_dim = 0;
    std::string xpos_sep;
    bool word_lower = false;
    bool lemma_lower = false;
    bool xpos_ignore = false;
    bool composite_xpos = false;
    bool linearization = false;
    bool distance = false;
    bool charlm = false;
    bool use_transformer = false;
    std::unique_ptr<detail::NativeCharLM> forward_charlm;
    std::unique_ptr<detail::NativeCharLM> backward_charlm;
    std::unique_ptr<detail::NativeTransformer> transformer;
    // The fast runners over the views above (their own copies of the
    // recurrent weights in the kernels' layouts).
    std::unique_ptr<detail::GatedCharLstm> char_model;
    std::unique_ptr<detail::HighwayStack> encoder;
    // The relation scorer's bilinear weight [I1, I2, O] laid out [I2, I1 * O],
    // so that head rows multiply it directly.
    at::Tensor deprel_by_head;
    // The scorers' relu sides multiplied at once: W1 and W2 of every scorer
    // stacked, [sum of D, 2H], with their biases, and the first column of
    // each ("deprel.W1", ...). The relation scorer's head side is left out:
    // bulk parsing needs it only under the heads decoding reads.
    at::Tensor side_weight;
    at::Tensor side_bias;
    std::unordered_map<std::string, std::int64_t> side_column;
};

namespace detail {

// Configuration readers: a missing or null key gives the default; a present
// value must have the JSON type ("assets.config.<key>" in the error).
std::int64_t read_config_int(const JsonValue& config, std::string_view key, std::int64_t fallback);
bool read_config_bool(const JsonValue& config, std::string_view key, bool fallback);
double read_config_number(const JsonValue& config, std::string_view key);
// The "_unit2id" object of a vocabulary, ids as stored.
std::unordered_map<std::string, std::int64_t> read_unit2id(const JsonValue& vocab, std::string_view label);

// The tensor view stored under `name`; "missing depparse tensor: '<name>'" otherwise.
const at::Tensor& require_depparse_tensor(const DepparsePlan::Impl& impl, std::string_view name);
// Presence of every tensor the configuration needs, then their shapes.
void validate_depparse_tensors(const DepparsePlan::Impl& impl);
std::vector<at::Tensor> collect_depparse_char_lstm_weights(const DepparsePlan::Impl& impl);
std::vector<at::Tensor> collect_depparse_highway_lstm_weights(const DepparsePlan::Impl& impl, std::int64_t l);

// A text of two or more question and exclamation marks becomes "?" or "!"
// after its first mark; any other text is returned as it is.
std::string fold_terminal_punctuation(const std::string& text);

// The character model's vector of a text or of character ids,
// [char_hidden_dim]; no characters: "depparse cannot encode an empty word".
at::Tensor encode_depparse_word(const DepparsePlan::Impl& impl, const std::string& text);
at::Tensor encode_depparse_characters(const DepparsePlan::Impl& impl, const std::vector<std::int64_t>& ids);

// Input rows of one sentence, [1, n + 1, D], root row first. The character-LM
// rows ([n + 1, hidden] for "\n" and the words) are computed here when their
// pointers are null.
at::Tensor embed_words(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                       const at::Tensor* forward_features, const at::Tensor* backward_features);

// The encoder's input of many sentences by column block (each sentence with
// its root row first), with the checks and character-LM features of
// embed_sentences.
KeyedInputs depparse_inputs(const DepparsePlan::Impl& impl, const std::vector<std::vector<DepparseWord>>& sentences,
                           const std::vector<at::Tensor>& forward_features,
                           const std::vector<at::Tensor>& backward_features);

// Input rows of many sentences, one [n_i + 1, D] tensor per sentence
// (undefined for an empty one); the character model runs once over the
// distinct forms of all of them. Character-LM features: one tensor per
// sentence, or empty lists, which makes the character LMs run here per
// sentence. Errors come in sentence and word order.
std::vector<at::Tensor> embed_sentences(const DepparsePlan::Impl& impl,
                                        const std::vector<std::vector<DepparseWord>>& sentences,
                                        const std::vector<at::Tensor>& forward_features,
                                        const std::vector<at::Tensor>& backward_features);

// The highway BiLSTM over one sentence: [1, n + 1, 2 * hidden_dim].
at::Tensor encode_sentence(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                           const at::Tensor* forward_features, const at::Tensor* backward_features);

// The highway BiLSTM over many sentences in length-sorted batches of at most
// batch_size padded rows (the recurrence runs over real rows only): one contiguous [1, n_i + 1, H] tensor per sentence
// in input order, undefined for an empty sentence.
std::vector<at::Tensor> encode_batch(const DepparsePlan::Impl& impl,
                                     const std::vector<std::vector<DepparseWord>>& sentences,
                                     const std::vector<at::Tensor>& forward_features,
                                     const std::vector<at::Tensor>& backward_features);

// The longest-first order of the non-empty sentences and the first position
// of every batch in it, followed by the order's size.
struct DepparseBatches {
    std::vector<std::size_t> order;
    std::vector<std::int64_t> lengths;  // n + 1, in order
    std::vector<std::size_t> starts;
};
DepparseBatches depparse_batches(const DepparsePlan::Impl& impl,
                                 const std::vector<std::vector<DepparseWord>>& sentences);

// Deep biaffine scorer `name` over [B, n, H]: [B, n, n, O], rows dependents.
at::Tensor deep_biaffine(const DepparsePlan::Impl& impl, const at::Tensor& encoded, std::string_view name);

// Arc log-probabilities [B, n, n] (normalised over heads) and label
// log-probabilities [B, n, n, L] (over relations). A mask [B, n] is true at
// real positions; padding columns are no head for any row.
std::pair<at::Tensor, at::Tensor> score_sentence(const DepparsePlan::Impl& impl, const at::Tensor& encoded,
                                                 const at::Tensor* mask);

// score_sentence over padded length-sorted batches: per sentence its
// [1, n + 1, n + 1] arc and [1, n + 1, n + 1, L] label scores, undefined for
// an empty one.
std::vector<std::pair<at::Tensor, at::Tensor>> score_batch(const DepparsePlan::Impl& impl,
                                                           const std::vector<at::Tensor>& encoded,
                                                           const std::vector<std::vector<DepparseWord>>& sentences);

// One sentence's predictions from its encoding [1, n + 1, H]: the arc scores,
// the best tree, and relations scored only under the heads decoding reads,
// as bulk parsing does.
std::vector<DepparsePrediction> parse_encoded_sentence(const DepparsePlan::Impl& impl, const at::Tensor& encoded);

// Every sentence parsed: input rows for all of them (the character model once
// over their distinct forms), then per batch of depparse_batches the encoder,
// the scorers and decoding, so that only the batches in flight hold
// encodings and label scores. One prediction list per sentence (empty for an
// empty one); the first failure in sentence order is rethrown after every
// batch has run. Character-LM features as for embed_sentences.
std::vector<std::vector<DepparsePrediction>> parse_sentences(const DepparsePlan::Impl& impl,
                                                             const std::vector<std::vector<DepparseWord>>& sentences,
                                                             const std::vector<at::Tensor>& forward_features,
                                                             const std::vector<at::Tensor>& backward_features);

// Decoding. Score matrices hold doubles: row = dependent, column = candidate
// head, position 0 the root. DepparseScores (a list of rows) is the form the
// decoder's tests write; the engine keeps one flat square DepparseMatrix.
using DepparseScores = std::vector<std::vector<double>>;

struct DepparseMatrix {
    std::int64_t n = 0;
    std::vector<double> values;  // row-major, n * n
    DepparseMatrix() = default;
    DepparseMatrix(std::int64_t size, double value)
        : n(size), values(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), value) {}
    double* operator[](std::int64_t row) { return values.data() + row * n; }
    const double* operator[](std::int64_t row) const { return values.data() + row * n; }
};

// A sentence's unpenalised arc log-probabilities as the scorer left them:
// n x n floats, rows `stride` apart, held by whoever made the view; read as
// doubles.
struct DepparseArcs {
    std::int64_t n = 0;
    std::int64_t stride = 0;
    const float* values = nullptr;
    double operator()(std::int64_t dependent, std::int64_t head) const { return values[dependent * stride + head]; }
};
// The view of arc scores [n, n] whose rows are contiguous (the tensor holds them).
DepparseArcs depparse_arcs(const at::Tensor& arc);
// The arcs widened into `scores`, resized to n x n.
void widen_arcs(const DepparseArcs& arcs, DepparseMatrix& scores);

// Relation log-probabilities per (dependent, head), labels values each: the
// whole cube in `values` ((dependent * n + head) * labels + k), or, when
// `fill` is set, cells computed the first time at() reads them: fill writes
// a cell's labels values, which are kept, and only those cells take memory.
// A pointer from at() stays valid as long as the cube.
class DepparseLabelCube {
public:
    std::int64_t n = 0;
    std::int64_t labels = 0;
    std::vector<double> values;
    std::function<void(std::int64_t dependent, std::int64_t head, double* out)> fill;
    const double* at(std::int64_t dependent, std::int64_t head);

private:
    std::unordered_map<std::uint64_t, const double*> filled_;
    std::vector<std::unique_ptr<double[]>> blocks_;
    std::int64_t block_free_ = 0;  // cells left in the last block
};

// A maximum spanning arborescence rooted at 0: one head per position, entry 0
// is 0. Ties go to the lowest column or member index. Contracts cycles in the
// matrix itself, which it leaves changed.
std::vector<std::int64_t> chu_liu_edmonds(DepparseMatrix& scores);
// chu_liu_edmonds after a penalty on every root attachment; exactly one word
// on the root or "single-root dependency decoding did not produce one root".
// The matrix is left changed.
std::vector<std::int64_t> decode_single_root(DepparseMatrix& scores);
// The same over a list of rows ("cannot decode an empty score row" for a
// row of another length than the list).
std::vector<std::int64_t> chu_liu_edmonds(const DepparseScores& scores);
std::vector<std::int64_t> decode_single_root(const DepparseScores& scores);

// The head-constraint repair's candidate trees over one pass's group: the
// arcs with each member's row replaced by its joined row (members.size()
// rows of n doubles at `joined`), except the anchor's. decode(a) gives the
// heads decode_single_root gives for that matrix, ties included, with the
// same errors. Groups of three or more members decode each candidate from
// a saved state of one decode shared by all (see prepare_reference).
class RepairCandidates {
public:
    RepairCandidates(const DepparseArcs& arcs, const std::vector<std::int64_t>& members, const double* joined);
    std::vector<std::int64_t> decode(std::size_t anchor);
    // Candidates decoded with the matrix decoder so far (for scores that
    // are not numbers, or +inf, or maxima shared by very many positions).
    std::size_t matrix_decodes() const { return matrix_decodes_; }
    // Candidates decoded from a saved state of the reference decode.
    std::size_t resumed_decodes() const { return resumed_decodes_; }

private:
    struct RowStats {
        double min = std::numeric_limits<double>::infinity();   // smallest finite value, any column
        double max = -std::numeric_limits<double>::infinity();  // largest off the root and the diagonal
        std::size_t ties = 0;                                    // columns holding max: offset in a pool
        std::size_t tie_count = 0;
    };
    struct Span {
        const std::int32_t* data = nullptr;
        std::size_t count = 0;
    };
    struct Level {
        std::size_t cycle = 0;
        std::size_t first_score = 0;
        double total = 0.0;
    };
    // The reference decode's state before a level's contraction: what a
    // candidate needs to go on from there (see resume).
    struct Checkpoint {
        std::size_t level = 0;
        std::size_t cycles = 0;
        std::size_t scores = 0;
        std::int64_t slots = 0;
        std::size_t tie_work = 0;
        std::vector<std::int64_t> parent, enclosing, tied_head, row_slot, free_slots;
        std::vector<double> maximum;
        std::vector<char> on_root, tied_together, settled, on_cycle;
        std::vector<std::pair<std::int64_t, std::vector<std::int64_t>>> tied_under;
        std::vector<std::pair<std::int64_t, std::size_t>> pending;
        std::vector<std::int64_t> live_slots;  // live rows: slot, values, inside flags
        std::vector<double> rows;
        std::vector<std::uint8_t> inside;
    };
    template <typename T>
    RowStats stats_of(const T* row, std::int64_t x, std::vector<std::int32_t>& ties);
    double penalty_minimum() const;
    double root_entry(std::int64_t x, double m) const;
    void start_head(std::int64_t x);
    void start_decode();
    bool contract_all();
    void prepare_reference();
    void take_checkpoint();
    void restore(const Checkpoint& checkpoint);
    void patch_anchor(std::int64_t a, double m);
    bool resume();
    bool joined_row(std::int64_t x, const double** row, const RowStats** stats) const;
    double value(std::int64_t node, std::int64_t y) const;
    double recomputed(std::int64_t node, std::int64_t y) const;
    double reach_of(std::int64_t v);
    std::uint64_t* seconds_of(std::size_t level);
    void store_in_contraction_order();
    std::int64_t stored(std::int64_t position) const { return permuted_ ? perm_[static_cast<std::size_t>(position)] : position; }
    double* slot_row(std::int64_t slot);
    std::uint8_t* inside_of(std::int64_t slot) { return inside_.data() + static_cast<std::size_t>(slot) * words_; }
    double* row_of(std::int64_t node);
    const double* row_of(std::int64_t node) const;
    Span ties_of(std::int64_t v) const;
    std::int64_t find(std::int64_t v);
    std::int64_t best_of(std::int64_t v);
    void find_tied_head(std::int64_t v);
    void walk(std::int64_t start);
    void contract(std::size_t index);
    std::vector<std::int64_t> decode_by_rows();
    std::vector<std::int64_t> expand();
    std::size_t tie_budget() const;
    void aim_at_maximum(std::int64_t v, std::int64_t head);
    void order_positions(std::size_t count);
    void build_ancestors(std::size_t count);
    std::int64_t ancestor_below(std::int64_t y, std::int64_t bound) const;

    DepparseArcs arcs_;
    std::int64_t n_;
    std::vector<std::int64_t> members_;
    const double* joined_;
    bool usable_ = true;
    std::size_t matrix_decodes_ = 0;
    std::int64_t anchor_ = -1;
    std::vector<std::int64_t> member_of_;
    std::vector<RowStats> arc_stats_;
    std::vector<RowStats> joined_stats_;
    std::vector<std::int32_t> arc_ties_;
    std::vector<std::int32_t> joined_ties_;
    DepparseMatrix dense_;
    // Where rows store each position (see store_in_contraction_order).
    bool permuted_ = false;
    std::vector<std::int32_t> perm_;   // position -> place
    std::vector<std::int32_t> order_;  // place -> position
    std::vector<float> arcs_stored_;
    std::vector<double> joined_stored_;
    std::vector<std::int64_t> first_originals_;  // per level of the first candidate, its original member
    // One decode's state, kept for the next. Nodes: positions 0 .. n - 1,
    // then the contracted cycles in order; a node's id is its place in order.
    std::vector<double> root_column_;
    std::vector<double> block_max_;
    std::vector<std::unique_ptr<double[]>> blocks_;  // row slots
    std::int64_t slots_ = 0;
    std::vector<std::int64_t> free_slots_;
    std::vector<std::int64_t> row_slot_;            // per cycle, -1 once given back
    std::vector<std::uint8_t> inside_;              // per row slot and block of 64: all inside the cycle
    std::vector<double> root_value_;                // per cycle, its row's root column
    std::size_t words_ = 0;                         // 64-bit words of a bit per position
    std::vector<std::uint64_t> seconds_;            // per two-member cycle, which member gave each value
    std::vector<std::int64_t> parent_;                // union-find
    std::vector<std::int64_t> enclosing_;             // the node a node was contracted into
    std::vector<double> maximum_;
    std::vector<char> on_root_;
    std::vector<Span> tie_span_;                      // positions' tied maxima
    std::vector<std::vector<std::int32_t>> level_ties_;  // cycles' tied maxima
    std::vector<std::int64_t> tied_head_;             // heads of nodes with several tied maxima
    std::vector<std::vector<std::int64_t>> tied_under_;
    std::vector<char> tied_together_;                 // one node holds all of them: head is its holder
    std::vector<std::int64_t> under_;
    std::vector<std::int64_t> moved_;
    std::vector<char> settled_;
    std::vector<char> on_cycle_;
    std::vector<std::int64_t> stamp_;
    std::vector<std::int64_t> place_;
    std::vector<std::int64_t> path_;
    std::int64_t walk_id_ = 0;
    std::int64_t round_start_ = 0;
    std::size_t tie_work_ = 0;
    std::vector<std::vector<std::int64_t>> cycles_;
    std::vector<std::pair<std::int64_t, std::size_t>> pending_;  // max-heap by first node
    // The reference decode (every member joined) and its saved states.
    bool reference_tried_ = false;
    bool checkpointing_ = false;
    std::size_t checkpoint_every_ = 1;
    std::size_t rows_left_ = 0;  // rows the checkpoints may still keep
    std::size_t resumed_decodes_ = 0;
    double reference_minimum_ = 0.0;
    std::vector<Checkpoint> checkpoints_;
    std::vector<std::size_t> contracted_at_;   // per position, the reference's level that contracts it
    std::vector<std::int64_t> first_below_;    // per level, the least first node of the cycles before it
    std::vector<double> reference_root_column_;
    std::vector<Span> reference_tie_span_;
    std::vector<std::vector<std::int64_t>> reference_cycles_;
    std::vector<Level> reference_levels_;
    std::vector<std::int64_t> reference_member_heads_;
    std::vector<double> reference_member_scores_;
    std::vector<std::vector<std::int32_t>> reference_level_ties_;
    std::vector<double> reference_root_value_;
    std::vector<std::uint64_t> reference_seconds_;
    // Leading entries of the working lists (per level, per cycle, per
    // member score) that still equal the reference's.
    std::size_t clean_levels_ = 0;
    std::size_t clean_cycles_ = 0;
    std::size_t clean_scores_ = 0;
    std::vector<char> leads_;
    std::vector<Level> levels_;
    std::vector<std::int64_t> member_heads_;
    std::vector<double> member_scores_;
    std::vector<std::int64_t> rank_;
    std::vector<std::int64_t> low_;
    std::vector<std::int64_t> high_;
    std::vector<std::vector<std::int64_t>> up_;
    std::vector<std::size_t> target_begin_;
    std::vector<std::size_t> target_count_;
    std::vector<double> target_value_;
    std::vector<std::int32_t> targets_;
    std::vector<char> value_known_;
    std::vector<std::int32_t> reached_;
    std::vector<std::int32_t> entering_;
};

// "obj", "subj", "subj_outer" or none, by exact relation name.
std::optional<std::string> head_constraint_class(std::string_view relation);
// Chooses a relation per word (classifier output index, word w at w - 1) and
// repairs heads with two dependents of one constraint class, at most five
// passes. Classifier output k names deprel_labels[k + 4].
std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> decode_with_head_constraints(
    const std::vector<std::string>& deprel_labels, const DepparseArcs& arcs, DepparseLabelCube& cube,
    std::vector<std::int64_t> heads);

// One prediction per word from the sentence's arc [1, n, n] and label
// [1, n, n, L] log-probabilities.
std::vector<DepparsePrediction> decode_sentence(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                                                const at::Tensor& arc, const at::Tensor& label);

// One prediction per word from decoded heads (entry 0 the root's): relations
// by decode_with_head_constraints over the cube, which may change heads.
std::vector<DepparsePrediction> relate_heads(const DepparsePlan::Impl& impl, const DepparseArcs& arcs,
                                             DepparseLabelCube& cube, std::vector<std::int64_t> heads);

}  // namespace detail
}  // namespace quelbin
