// Sentence, token, span and word sequences over a document's storage.
#include <quelbin/document.hpp>
#include <quelbin/sequences.hpp>

#include <stdexcept>
#include <utility>

namespace quelbin {
namespace {

// True when row equals start + k * step (in 32-bit arithmetic) for some k
// below count. Walks the positions: a strided range of 32-bit rows needs no
// more than count comparisons, and it stays exact for any step.
bool range_holds_row(const SequenceRange& range, std::uint32_t row) {
    for (std::uint64_t k = 0; k < range.count; ++k) {
        if (static_cast<std::uint32_t>(range.position(k)) == row) return true;
    }
    return false;
}

}  // namespace

// --- SentenceSequence ---

SentenceSequence::SentenceSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Sentence SentenceSequence::at(std::int64_t index) const {
    return Sentence(storage_, range_.resolve(index));
}

SentenceSequence SentenceSequence::slice(std::int64_t first, std::int64_t step,
                                         std::uint64_t count) const {
    return SentenceSequence(storage_, range_.slice(first, step, count));
}

SentenceSequence SentenceSequence::reversed() const {
    return SentenceSequence(storage_, range_.reversed());
}

bool SentenceSequence::contains(const Sentence& sentence) const {
    if (range_.count == 0 || sentence.storage() != storage_) return false;
    return range_holds_row(range_, sentence.index());
}

// --- TokenSequence ---

TokenSequence::TokenSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Token TokenSequence::at(std::int64_t index) const { return Token(storage_, range_.resolve(index)); }

TokenSequence TokenSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
    return TokenSequence(storage_, range_.slice(first, step, count));
}

TokenSequence TokenSequence::reversed() const { return TokenSequence(storage_, range_.reversed()); }

bool TokenSequence::contains(const Token& token) const {
    if (range_.count == 0 || token.storage() != storage_) return false;
    return range_holds_row(range_, token.index());
}

// --- SpanSequence ---

SpanSequence::SpanSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Span SpanSequence::at(std::int64_t index) const { return Span(storage_, range_.resolve(index)); }

SpanSequence SpanSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
    return SpanSequence(storage_, range_.slice(first, step, count));
}

SpanSequence SpanSequence::reversed() const { return SpanSequence(storage_, range_.reversed()); }

bool SpanSequence::contains(const Span& span) const {
    if (range_.count == 0 || span.storage() != storage_) return false;
    return range_holds_row(range_, span.index());
}

// --- WordSequence ---

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, std::vector<std::uint32_t> rows)
    : storage_(std::move(storage)) {
    range_ = SequenceRange{0, 1, rows.size()};
    rows_ = std::make_shared<const std::vector<std::uint32_t>>(std::move(rows));
}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range,
                           WordRowList rows)
    : storage_(std::move(storage)), range_(range), rows_(std::move(rows)) {}

// The word row at a position of the range (already inside [0, count)). A row
// list is read with a checked access, so a range that leaves its list reports
// an invalid word instead of reading past it.
std::uint32_t WordSequence::row_at(std::uint64_t position) const {
    const std::int64_t raw = range_.position(position);
    if (!rows_) return static_cast<std::uint32_t>(raw);
    if (raw < 0 || static_cast<std::uint64_t>(raw) >= rows_->size()) {
        throw std::out_of_range("invalid word view");
    }
    return (*rows_)[static_cast<std::size_t>(raw)];
}

Word WordSequence::at(std::int64_t index) const {
    std::uint64_t k = 0;
    if (!detail::normalize_sequence_index(index, range_.count, k)) {
        throw std::out_of_range("index is outside the sequence");
    }
    if (!rows_) return Word(storage_, range_.resolve(index), kNoRow);
    return Word(storage_, row_at(k), kNoRow);
}

WordSequence WordSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
    return WordSequence(storage_, range_.slice(first, step, count), rows_);
}

WordSequence WordSequence::reversed() const {
    return WordSequence(storage_, range_.reversed(), rows_);
}

bool WordSequence::contains(const Word& word) const {
    if (range_.count == 0 || word.storage() != storage_) return false;
    // ROOT has no word row; no element is ever ROOT.
    if (word.is_root()) return false;
    for (std::uint64_t k = 0; k < range_.count; ++k) {
        if (rows_) {
            const std::int64_t raw = range_.position(k);
            if (raw < 0 || static_cast<std::uint64_t>(raw) >= rows_->size()) continue;
            if ((*rows_)[static_cast<std::size_t>(raw)] == word.index()) return true;
        } else if (static_cast<std::uint32_t>(range_.position(k)) == word.index()) {
            return true;
        }
    }
    return false;
}

}  // namespace quelbin
