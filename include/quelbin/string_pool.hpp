// Per-document interning of annotation strings. Columns store 32-bit ids:
// id 0 is the empty string and kAbsentStringId marks a value that is not set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin {

inline constexpr std::uint32_t kAbsentStringId = 0xFFFFFFFFu;

namespace detail {
struct StringPoolTestPeer;
}

class StringPool {
public:
    StringPool();

    // Id of the text, adding it when new; std::overflow_error
    // "the document string pool is full" when no id is left.
    std::uint32_t intern(std::string_view text);
    // kAbsentStringId for no value, else intern of the value.
    std::uint32_t intern_optional(const std::optional<std::string>& text);
    std::vector<std::uint32_t> intern_all(const std::vector<std::string>& texts);

    // std::out_of_range "invalid string pool identifier" for kAbsentStringId or
    // an id outside the pool. The reference is valid until the next intern.
    const std::string& get(std::uint32_t id) const;
    // No value for kAbsentStringId; an id outside the pool throws like get.
    std::optional<std::string> optional(std::uint32_t id) const;
    std::vector<std::string> strings_of(const std::vector<std::uint32_t>& ids) const;

    // Number of strings, the empty one included.
    std::size_t size() const noexcept { return strings_.size(); }

private:
    friend class DocumentStorage;
    friend struct detail::StringPoolTestPeer;

    std::uint32_t find(std::string_view text, std::size_t hash, std::size_t& slot) const;
    void grow_index();
    // Drops every string with an id >= count; used to undo a failed build.
    void truncate(std::size_t count) noexcept;

    std::vector<std::string> strings_;
    // Open-addressing index: each slot holds an id or kAbsentStringId.
    std::vector<std::uint32_t> index_;
    std::size_t max_strings_ = 0xFFFFFFFFu;
};

}  // namespace quelbin
