// The in-order transition system: legality rules, applying Shift, Open and
// Close, and the parse loop of one sentence.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include <ATen/ops/linear.h>
#include <ATen/ops/max.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/stack.h>
#include <c10/core/InferenceMode.h>

#include "extended/constituency_impl.hpp"
#include "quelbin/errors.hpp"

namespace quelbin {
namespace detail {

namespace {

bool previous_was_open(const ConstituencyPlan::Impl& impl, const ConstituencyParseState& state) {
    if (state.transition_stack.size() <= 1) return false;
    const auto& top = state.transition_stack.back().transition;
    return top && impl.transitions[static_cast<std::size_t>(*top)].kind == TransitionKind::Open;
}

bool unary_blocked(const ConstituencyStackEntry& entry, std::int64_t unary_limit) {
    return entry.item && entry.item->tree && check_constituency_unary_limit(entry, unary_limit);
}

void apply_close(const ConstituencyPlan::Impl& impl, ConstituencyParseState& state) {
    auto& stack = state.constituent_stack;
    std::vector<ConstituencyStackItem> children;
    while (stack.size() > 1 && !stack.back().item->is_open) {
        children.push_back(std::move(*stack.back().item));
        stack.pop_back();
    }
    if (stack.size() <= 1) throw ConstituencyModelError("constituency Close has no matching Open");
    const std::vector<std::string> labels = stack.back().item->labels;
    stack.pop_back();
    if (stack.size() <= 1) throw ConstituencyModelError("in-order constituency Close has no left child");
    children.push_back(std::move(*stack.back().item));
    stack.pop_back();
    std::reverse(children.begin(), children.end());

    std::vector<ConstituencyTree> trees;
    std::vector<at::Tensor> inputs;
    trees.reserve(children.size());
    inputs.reserve(children.size());
    for (const ConstituencyStackItem& child : children) {
        if (!child.tree) throw ConstituencyModelError("constituency child is a dummy marker");
        trees.push_back(*child.tree);
        inputs.push_back(child.input.reshape({impl.hidden_size}));
    }
    const at::Tensor pooled = std::get<0>(at::max(at::stack(inputs, 0), 0));
    const at::Tensor composed = at::relu(at::linear(pooled, require_constituency_tensor(impl, "reduce_linear.weight"),
                                                    require_constituency_tensor(impl, "reduce_linear.bias")))
                                    .reshape({1, impl.hidden_size});
    ConstituencyStackItem item;
    item.tree = build_constituency_tree(labels, std::move(trees));
    item.input = composed;
    push_constituent(impl, state, std::move(item));
    state.open_count -= 1;
}

void apply_transition(const ConstituencyPlan::Impl& impl, ConstituencyParseState& state,
                      const ConstituencyTransition& transition) {
    switch (transition.kind) {
        case TransitionKind::Shift: {
            ConstituencyStackItem item;
            item.tree = state.preterminals[static_cast<std::size_t>(state.shifted)];
            item.input = state.word_vectors[static_cast<std::size_t>(state.shifted) + 1]
                             .narrow(0, 0, impl.hidden_size)
                             .reshape({1, impl.hidden_size});
            state.shifted += 1;
            push_constituent(impl, state, std::move(item));
            break;
        }
        case TransitionKind::Open: {
            const at::Tensor& dummy = require_constituency_tensor(impl, "dummy_embedding.weight");
            if (transition.open_index >= dummy.size(0)) {
                throw ConstituencyModelError("constituency Open index is outside dummy embeddings");
            }
            ConstituencyStackItem item;
            item.input = dummy[transition.open_index].reshape({1, impl.hidden_size});
            item.labels = transition.labels;
            item.is_open = true;
            push_constituent(impl, state, std::move(item));
            state.open_count += 1;
            break;
        }
        case TransitionKind::Close:
            apply_close(impl, state);
            break;
    }
}

}  // namespace

bool check_constituency_unary_limit(const ConstituencyStackEntry& entry, std::int64_t unary_limit) {
    std::int64_t count = 0;
    const TreeNode* node = entry.item->tree->node().get();
    while (node->children.size() == 1) {
        ++count;
        node = node->children.front().get();
    }
    return count > unary_limit;
}

bool constituency_transition_legal(const ConstituencyPlan::Impl& impl, const ConstituencyParseState& state,
                                   const ConstituencyTransition& transition) {
    const std::int64_t constituents = static_cast<std::int64_t>(state.constituent_stack.size());
    switch (transition.kind) {
        case TransitionKind::Shift:
            return state.shifted < state.n && (state.open_count > 0 || constituents == 1);
        case TransitionKind::Open: {
            if (state.open_count > state.n + 10 || constituents <= 1 || previous_was_open(impl, state)) return false;
            if (impl.root_labels.count(transition.labels.front()) != 0) {
                return state.open_count == 0 && state.shifted == state.n;
            }
            if (state.open_count == 0 && state.shifted < state.n) return true;
            return !unary_blocked(state.constituent_stack.back(), impl.unary_limit);
        }
        case TransitionKind::Close: {
            if (state.open_count < 1) return false;
            if (!previous_was_open(impl, state)) return true;
            if (state.open_count > 1 || state.shifted == state.n) return true;
            return constituents >= 3 &&
                   !unary_blocked(state.constituent_stack[state.constituent_stack.size() - 2], impl.unary_limit);
        }
    }
    return false;
}

ConstituencyTree build_constituency_tree(const std::vector<std::string>& labels,
                                         std::vector<ConstituencyTree> children) {
    if (labels.empty()) throw ConstituencyModelError("cannot build a constituent without a label");
    ConstituencyTree tree(labels.back(), std::move(children));
    for (std::size_t i = labels.size() - 1; i-- > 0;) tree = ConstituencyTree(labels[i], {tree});
    return tree;
}

}  // namespace detail

ConstituencyTree ConstituencyPlan::Impl::parse(const std::vector<std::string>& words,
                                               const std::vector<std::string>& tags) const {
    if (words.empty()) throw ConstituencyModelError("constituency parser cannot parse an empty sentence");
    if (words.size() != tags.size()) throw ConstituencyModelError("constituency words and tags have different lengths");
    const c10::InferenceMode guard;

    ConstituencyParseState state;
    state.n = static_cast<std::int64_t>(words.size());
    state.word_vectors = detail::encode_constituency_words(*this, words, tags);
    if (state.word_vectors.size() != words.size() + 2) {
        throw ConstituencyModelError("constituency word encoder omitted sentence sentinels");
    }
    state.preterminals.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        state.preterminals.emplace_back(tags[i], std::vector<ConstituencyTree>{ConstituencyTree(words[i], {})});
    }
    const auto start = [&](const char* name) {
        return boundary_vectors ? detail::require_constituency_tensor(*this, name) : at::Tensor();
    };
    state.transition_stack.push_back(detail::start_constituency_stack(
        transition_lstm_weights, transition_lstm_state, start("transition_stack.start_embedding"), num_lstm_layers));
    state.constituent_stack.push_back(detail::start_constituency_stack(
        constituent_lstm_weights, constituent_lstm_state, start("constituent_stack.start_embedding"),
        num_lstm_layers));

    const at::Tensor& transition_embedding = detail::require_constituency_tensor(*this, "transition_embedding.weight");
    const std::size_t count = transitions.size();
    std::vector<std::pair<double, std::size_t>> ranked(count);
    while (true) {
        if (state.shifted == state.n && state.constituent_stack.size() == 2) {
            const auto& item = state.constituent_stack.back().item;
            if (item && item->tree && root_labels.count(item->tree->label()) != 0) return *item->tree;
        }
        const at::Tensor scores = detail::score_constituency_transitions(*this, state);
        if (scores.dim() != 1 || scores.size(0) != static_cast<std::int64_t>(count)) {
            throw ConstituencyModelError("constituency output layer has the wrong shape");
        }
        const at::Tensor values = scores.to(at::kDouble).contiguous();
        const double* data = values.data_ptr<double>();
        for (std::size_t i = 0; i < count; ++i) ranked[i] = {data[i], i};
        // A NaN score ranks below every number, so the order stays strict.
        for (auto& entry : ranked) {
            if (std::isnan(entry.first)) entry.first = -std::numeric_limits<double>::infinity();
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        const ConstituencyTransition* chosen = nullptr;
        std::size_t index = 0;
        for (const auto& [score, i] : ranked) {
            if (detail::constituency_transition_legal(*this, state, transitions[i])) {
                chosen = &transitions[i];
                index = i;
                break;
            }
        }
        if (chosen == nullptr) throw ConstituencyModelError("constituency parser could not find a legal transition");
        if (state.steps >= 20 * (state.n + 2)) {
            throw ConstituencyModelError("constituency parser exceeded its transition limit");
        }
        detail::apply_transition(*this, state, *chosen);
        state.transition_stack.push_back(detail::push_constituency_stack(
            state.transition_stack.back(), transition_embedding[static_cast<std::int64_t>(index)],
            transition_lstm_weights, num_lstm_layers, transition_hidden_size, std::nullopt,
            static_cast<std::int64_t>(index), transition_runner ? &*transition_runner : nullptr));
        state.steps += 1;
    }
}

}  // namespace quelbin
