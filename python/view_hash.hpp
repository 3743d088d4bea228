// Hash of a view consistent with its __eq__: the identity of the storage and
// the rows the view compares. The view class takes part too: views of two
// classes with equal hashes would make a set compare them, and __eq__ across
// classes raises TypeError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace quelbin::python {

enum class ViewKind : std::uint32_t { document = 1, sentence, token, word, span };

template <typename Storage>
std::size_t view_hash(ViewKind kind, const std::shared_ptr<Storage>& storage, std::uint32_t row,
                      std::uint32_t sentence_row = 0) {
    std::size_t h = std::hash<const void*>()(storage.get());
    for (std::uint64_t part : {std::uint64_t{static_cast<std::uint32_t>(kind)}, std::uint64_t{row},
                               std::uint64_t{sentence_row}}) {
        h ^= std::hash<std::uint64_t>()(part) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    }
    return h;
}

}  // namespace quelbin::python
