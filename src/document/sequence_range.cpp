#include <quelbin/sequence_range.hpp>

#include <stdexcept>

namespace quelbin {
namespace detail {

bool normalize_sequence_index(std::int64_t index, std::uint64_t count, std::uint64_t& out) {
    if (index < 0) {
        // Magnitude computed in unsigned arithmetic so that INT64_MIN is safe.
        const std::uint64_t back = std::uint64_t{0} - static_cast<std::uint64_t>(index);
        if (back > count) return false;
        out = count - back;
        return true;
    }
    out = static_cast<std::uint64_t>(index);
    return out < count;
}

}  // namespace detail

// Two's-complement arithmetic in 64 unsigned bits: the wrapped result is the
// mathematical one whenever that fits, with no signed overflow otherwise.
std::int64_t SequenceRange::position(std::uint64_t index) const {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(start) +
                                     static_cast<std::uint64_t>(step) * index);
}

std::uint32_t SequenceRange::resolve(std::int64_t index) const {
    std::uint64_t k = 0;
    if (!detail::normalize_sequence_index(index, count, k)) {
        throw std::out_of_range("index is outside the sequence");
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(start) +
                                      static_cast<std::uint64_t>(step) *
                                          static_cast<std::uint32_t>(k));
}

SequenceRange SequenceRange::slice(std::int64_t first, std::int64_t step_, std::uint64_t count_) const {
    SequenceRange out;
    out.start = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) +
                                          static_cast<std::uint64_t>(step) *
                                              static_cast<std::uint64_t>(first));
    out.step = static_cast<std::int64_t>(static_cast<std::uint64_t>(step) *
                                         static_cast<std::uint64_t>(step_));
    out.count = count_;
    return out;
}

SequenceRange SequenceRange::reversed() const {
    if (count == 0) return *this;
    SequenceRange out;
    out.start = position(count - 1);
    out.step = static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(step));
    out.count = count;
    return out;
}

}  // namespace quelbin
