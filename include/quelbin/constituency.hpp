// Immutable constituency trees: handles over shared nodes, and the strided
// sequence of a node's children.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/sequence_range.hpp>

namespace quelbin {

struct TreeNode {
    TreeNode(std::string label, std::vector<std::shared_ptr<const TreeNode>> children);
    // Releases deep chains of nodes without deep recursion.
    ~TreeNode();
    TreeNode(const TreeNode&) = delete;
    TreeNode& operator=(const TreeNode&) = delete;

    std::string label;
    std::vector<std::shared_ptr<const TreeNode>> children;
};

using TreeNodePtr = std::shared_ptr<const TreeNode>;

class TreeSequence;

class ConstituencyTree {
public:
    // std::invalid_argument "a constituency tree node cannot be null".
    explicit ConstituencyTree(TreeNodePtr node);
    // A new node over the children's nodes (shared, not copied).
    ConstituencyTree(std::string label, std::vector<ConstituencyTree> children);

    const std::string& label() const noexcept { return node_->label; }
    TreeSequence children() const;
    bool is_leaf() const noexcept { return node_->children.empty(); }
    bool is_preterminal() const noexcept;
    std::vector<std::string> leaf_labels() const;
    // "(S (NP John) (VP runs))"; a leaf is its bare label.
    std::string to_string() const;
    bool same_node(const ConstituencyTree& other) const noexcept { return node_ == other.node_; }

    const TreeNodePtr& node() const noexcept { return node_; }

private:
    TreeNodePtr node_;
};

class TreeSequence {
public:
    TreeSequence() = default;
    explicit TreeSequence(std::vector<TreeNodePtr> nodes);
    TreeSequence(std::vector<TreeNodePtr> nodes, std::int64_t start, std::int64_t step,
                 std::uint64_t count);

    std::uint64_t size() const noexcept { return range_.count; }
    // std::out_of_range "tree index is outside the sequence".
    ConstituencyTree at(std::int64_t index) const;
    TreeSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    TreeSequence reversed() const;
    bool contains(const ConstituencyTree& tree) const;

    const std::vector<TreeNodePtr>& nodes() const noexcept { return nodes_; }
    const SequenceRange& range() const noexcept { return range_; }

private:
    std::vector<TreeNodePtr> nodes_;
    SequenceRange range_;
};

}  // namespace quelbin
