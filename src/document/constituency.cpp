#include <quelbin/constituency.hpp>

#include <stdexcept>
#include <utility>

namespace quelbin {

TreeNode::TreeNode(std::string label_, std::vector<TreeNodePtr> children_)
    : label(std::move(label_)), children(std::move(children_)) {}

// A chain of nodes each owned only by its parent would otherwise be released
// by one nested destructor call per level. Children that this node alone owns
// are detached into a work list first, so every node dies with no children.
// Nodes are made mutable here only when this is the last owner; nothing else
// can observe them then.
TreeNode::~TreeNode() {
    std::vector<TreeNodePtr> pending;
    for (TreeNodePtr& child : children) {
        if (child && child.use_count() == 1) pending.push_back(std::move(child));
    }
    while (!pending.empty()) {
        TreeNodePtr node = std::move(pending.back());
        pending.pop_back();
        auto& grandchildren = const_cast<TreeNode&>(*node).children;
        for (TreeNodePtr& child : grandchildren) {
            if (child && child.use_count() == 1) pending.push_back(std::move(child));
        }
        // `node` is released here with only shared (or no) children left.
    }
}

ConstituencyTree::ConstituencyTree(TreeNodePtr node) : node_(std::move(node)) {
    if (!node_) throw std::invalid_argument("a constituency tree node cannot be null");
}

ConstituencyTree::ConstituencyTree(std::string label, std::vector<ConstituencyTree> children) {
    std::vector<TreeNodePtr> nodes;
    nodes.reserve(children.size());
    for (ConstituencyTree& child : children) nodes.push_back(std::move(child.node_));
    node_ = std::make_shared<TreeNode>(std::move(label), std::move(nodes));
}

TreeSequence ConstituencyTree::children() const { return TreeSequence(node_->children); }

bool ConstituencyTree::is_preterminal() const noexcept {
    return node_->children.size() == 1 && node_->children.front()->children.empty();
}

std::vector<std::string> ConstituencyTree::leaf_labels() const {
    std::vector<std::string> labels;
    std::vector<const TreeNode*> stack{node_.get()};
    while (!stack.empty()) {
        const TreeNode* node = stack.back();
        stack.pop_back();
        if (node->children.empty()) {
            labels.push_back(node->label);
            continue;
        }
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            stack.push_back(it->get());
        }
    }
    return labels;
}

// Iterative so that very deep trees cannot exhaust the call stack: each frame
// is a node and the index of its next child.
std::string ConstituencyTree::to_string() const {
    std::string out;
    std::vector<std::pair<const TreeNode*, std::size_t>> stack;
    auto open = [&](const TreeNode* node) {
        if (node->children.empty()) {
            out += node->label;
            return;
        }
        out += '(';
        out += node->label;
        stack.emplace_back(node, 0);
    };
    open(node_.get());
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next == node->children.size()) {
            out += ')';
            stack.pop_back();
            continue;
        }
        const TreeNode* child = node->children[next++].get();
        out += ' ';
        open(child);
    }
    return out;
}

TreeSequence::TreeSequence(std::vector<TreeNodePtr> nodes) : nodes_(std::move(nodes)) {
    range_.count = nodes_.size();
}

TreeSequence::TreeSequence(std::vector<TreeNodePtr> nodes, std::int64_t start, std::int64_t step,
                           std::uint64_t count)
    : nodes_(std::move(nodes)) {
    range_.start = start;
    range_.step = step;
    range_.count = count;
}

ConstituencyTree TreeSequence::at(std::int64_t index) const {
    std::uint64_t k = 0;
    if (!detail::normalize_sequence_index(index, range_.count, k)) {
        throw std::out_of_range("tree index is outside the sequence");
    }
    // A negative position wraps to a huge size_t, which the checked access refuses.
    const auto position = static_cast<std::size_t>(static_cast<std::uint64_t>(range_.position(k)));
    return ConstituencyTree(nodes_.at(position));
}

TreeSequence TreeSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
    const SequenceRange r = range_.slice(first, step, count);
    return TreeSequence(nodes_, r.start, r.step, r.count);
}

TreeSequence TreeSequence::reversed() const {
    const SequenceRange r = range_.reversed();
    return TreeSequence(nodes_, r.start, r.step, r.count);
}

bool TreeSequence::contains(const ConstituencyTree& tree) const {
    for (std::uint64_t k = 0; k < range_.count; ++k) {
        const auto position = static_cast<std::uint64_t>(range_.position(k));
        if (position < nodes_.size() && nodes_[position] == tree.node()) return true;
    }
    return false;
}

}  // namespace quelbin
