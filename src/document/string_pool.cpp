#include <quelbin/string_pool.hpp>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quelbin {
namespace {

constexpr std::size_t kInitialSlots = 64;

std::size_t hash_text(std::string_view text) { return std::hash<std::string_view>{}(text); }

[[noreturn]] void invalid_id() { throw std::out_of_range("invalid string pool identifier"); }

}  // namespace

StringPool::StringPool() : index_(kInitialSlots, kAbsentStringId) {
    strings_.emplace_back();
    std::size_t slot = 0;
    find("", hash_text(""), slot);
    index_[slot] = 0;
}

// Linear probing over a power-of-two table; returns the id or kAbsentStringId
// and leaves `slot` at the match or at the free slot where the text belongs.
std::uint32_t StringPool::find(std::string_view text, std::size_t hash, std::size_t& slot) const {
    const std::size_t mask = index_.size() - 1;
    for (slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t id = index_[slot];
        if (id == kAbsentStringId) return kAbsentStringId;
        if (strings_[id] == text) return id;
    }
}

void StringPool::grow_index() {
    std::vector<std::uint32_t> bigger(index_.size() * 2, kAbsentStringId);
    const std::size_t mask = bigger.size() - 1;
    for (std::uint32_t id : index_) {
        if (id == kAbsentStringId) continue;
        std::size_t slot = hash_text(strings_[id]) & mask;
        while (bigger[slot] != kAbsentStringId) slot = (slot + 1) & mask;
        bigger[slot] = id;
    }
    index_.swap(bigger);
}

std::uint32_t StringPool::intern(std::string_view text) {
    const std::size_t hash = hash_text(text);
    std::size_t slot = 0;
    const std::uint32_t found = find(text, hash, slot);
    if (found != kAbsentStringId) return found;
    if (strings_.size() >= max_strings_) {
        throw std::overflow_error("the document string pool is full");
    }
    // Keep the table at most half full; grow before adding so that a failed
    // allocation leaves the pool unchanged.
    if ((strings_.size() + 1) * 2 > index_.size()) {
        grow_index();
        find(text, hash, slot);
    }
    const auto id = static_cast<std::uint32_t>(strings_.size());
    strings_.emplace_back(text);
    index_[slot] = id;
    return id;
}

std::uint32_t StringPool::intern_optional(const std::optional<std::string>& text) {
    return text ? intern(*text) : kAbsentStringId;
}

std::vector<std::uint32_t> StringPool::intern_all(const std::vector<std::string>& texts) {
    std::vector<std::uint32_t> ids;
    ids.reserve(texts.size());
    for (const std::string& text : texts) ids.push_back(intern(text));
    return ids;
}

const std::string& StringPool::get(std::uint32_t id) const {
    if (id == kAbsentStringId || id >= strings_.size()) invalid_id();
    return strings_[id];
}

std::optional<std::string> StringPool::optional(std::uint32_t id) const {
    if (id == kAbsentStringId) return std::nullopt;
    if (id >= strings_.size()) invalid_id();
    return strings_[id];
}

std::vector<std::string> StringPool::strings_of(const std::vector<std::uint32_t>& ids) const {
    std::vector<std::string> out;
    out.reserve(ids.size());
    for (std::uint32_t id : ids) out.push_back(get(id));
    return out;
}

void StringPool::truncate(std::size_t count) noexcept {
    if (count >= strings_.size() || count == 0) return;
    strings_.resize(count);
    // Re-seat the remaining ids in place; the table never needs to grow here.
    std::fill(index_.begin(), index_.end(), kAbsentStringId);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t id = 0; id < strings_.size(); ++id) {
        std::size_t slot = hash_text(strings_[id]) & mask;
        while (index_[slot] != kAbsentStringId) slot = (slot + 1) & mask;
        index_[slot] = static_cast<std::uint32_t>(id);
    }
}

}  // namespace quelbin
