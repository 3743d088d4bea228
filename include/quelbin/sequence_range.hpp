// The strided index range behind every sequence of the document model:
// negative indexing, slicing and reversal without copying any rows.
#pragma once

#include <cstdint>

namespace quelbin {

struct SequenceRange {
    std::int64_t start = 0;   // row of element 0
    std::int64_t step = 1;    // row distance between neighbours
    std::uint64_t count = 0;  // number of elements

    // Row of element index (negative counts from the end), truncated to 32
    // bits; std::out_of_range "index is outside the sequence" outside [0, count).
    std::uint32_t resolve(std::int64_t index) const;
    // Arguments already normalised by the caller; nothing is checked.
    SequenceRange slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    SequenceRange reversed() const;
    // Position start + step * index computed without signed overflow.
    std::int64_t position(std::uint64_t index) const;
};

namespace detail {
// Turns a possibly negative index into [0, count); false when outside.
bool normalize_sequence_index(std::int64_t index, std::uint64_t count, std::uint64_t& out);
}  // namespace detail

}  // namespace quelbin
