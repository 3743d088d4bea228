// Sequences of document views: a shared storage pointer and a strided range,
// with negative indexing, slicing and reversal that never copy column data.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <quelbin/sequence_range.hpp>

namespace quelbin {

class DocumentStorage;
class Sentence;
class Token;
class Word;
class Span;

class SentenceSequence {
public:
    SentenceSequence() = default;
    SentenceSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

    std::uint64_t size() const noexcept { return range_.count; }
    // std::out_of_range "index is outside the sequence", then the view's own
    // "invalid sentence view" when the row no longer exists.
    Sentence at(std::int64_t index) const;
    SentenceSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    SentenceSequence reversed() const;
    bool contains(const Sentence& sentence) const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    const SequenceRange& range() const noexcept { return range_; }

private:
    std::shared_ptr<DocumentStorage> storage_;
    SequenceRange range_;
};

class TokenSequence {
public:
    TokenSequence() = default;
    TokenSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

    std::uint64_t size() const noexcept { return range_.count; }
    Token at(std::int64_t index) const;
    TokenSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    TokenSequence reversed() const;
    bool contains(const Token& token) const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    const SequenceRange& range() const noexcept { return range_; }

private:
    std::shared_ptr<DocumentStorage> storage_;
    SequenceRange range_;
};

class SpanSequence {
public:
    SpanSequence() = default;
    SpanSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

    std::uint64_t size() const noexcept { return range_.count; }
    Span at(std::int64_t index) const;
    SpanSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    SpanSequence reversed() const;
    bool contains(const Span& span) const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    const SequenceRange& range() const noexcept { return range_; }

private:
    std::shared_ptr<DocumentStorage> storage_;
    SequenceRange range_;
};

using WordRowList = std::shared_ptr<const std::vector<std::uint32_t>>;

// Without a row list the range yields word rows directly; with one, the range
// indexes the list and the list entry is the word row.
class WordSequence {
public:
    WordSequence() = default;
    WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);
    WordSequence(std::shared_ptr<DocumentStorage> storage, std::vector<std::uint32_t> rows);
    WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range, WordRowList rows);

    std::uint64_t size() const noexcept { return range_.count; }
    // Words carry no sentence row, so this never yields the ROOT word.
    Word at(std::int64_t index) const;
    WordSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
    WordSequence reversed() const;
    // Compares word rows only; the sentence row of the view is ignored.
    bool contains(const Word& word) const;

    const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
    const SequenceRange& range() const noexcept { return range_; }
    const WordRowList& rows() const noexcept { return rows_; }

private:
    std::uint32_t row_at(std::uint64_t position) const;

    std::shared_ptr<DocumentStorage> storage_;
    SequenceRange range_;
    WordRowList rows_;
};

}  // namespace quelbin
