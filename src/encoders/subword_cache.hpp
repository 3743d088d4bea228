// The word cache and the encode framing shared by the subword tokenizers.
//
// A tokenizer supplies its class and separator ids and a word routine (one
// word's bytes to its subword ids); encode_words frames the ids of a word list
// and SubwordWordCache saves repeated words the routine's work.
#pragma once

#include <quelbin/subword.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelbin::detail {

// Direct-mapped cache from a word's exact bytes to its ids: 8192 slots
// allocated at construction, never cleared; a word lives only in the slot its
// hash selects and replaces whatever word was there. Hits share the lock,
// stores take it exclusively, and the word routine runs with no lock held.
// Safe to call from several threads at once.
class SubwordWordCache {
public:
    static constexpr std::size_t kSlotCount = 8192;

    SubwordWordCache() : slots_(new Slot[kSlotCount]) {}
    SubwordWordCache(const SubwordWordCache&) = delete;
    SubwordWordCache& operator=(const SubwordWordCache&) = delete;

    // Number of occupied slots.
    std::size_t size() const {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        return static_cast<std::size_t>(count_);
    }

    static std::size_t slot_index(std::string_view word) {
        return std::hash<std::string_view>{}(word) & (kSlotCount - 1);
    }

    // Appends the ids of `word` to `out`: the cached ids on a hit, otherwise
    // routine(word) (a std::vector<std::int64_t>, or a const reference to one),
    // which is then stored. An exception from the routine passes through and
    // stores nothing.
    template <class Routine>
    void append_ids(std::string_view word, Routine&& routine, std::vector<std::int64_t>& out) const {
        append_ids_at(slot_index(word), word, std::forward<Routine>(routine), out);
    }

    // append_ids with the word's slot index already computed.
    template <class Routine>
    void append_ids_at(std::size_t index, std::string_view word, Routine&& routine,
                       std::vector<std::int64_t>& out) const {
        Slot& slot = slots_[index];
        {
            std::shared_lock<std::shared_mutex> lock(mutex_);
            if (slot.occupied && slot.key == word) {
                out.insert(out.end(), slot.ids.begin(), slot.ids.end());
                return;
            }
        }
        // A routine may return its ids by value or as a reference to its own
        // buffer, valid until its next call; either way they are copied into
        // the slot's own storage, which a replaced word leaves in place.
        decltype(auto) ids = routine(word);
        out.insert(out.end(), ids.begin(), ids.end());
        store(slot, word, ids);
    }

    // Starts loading the slot at `index` into the processor cache ahead of its
    // lookup. Only a hint: nothing is read, so no lock is needed.
    void prefetch(std::size_t index) const { __builtin_prefetch(&slots_[index]); }

    // The ids of `word`, through the cache as in append_ids.
    template <class Routine>
    std::vector<std::int64_t> ids(std::string_view word, Routine&& routine) const {
        std::vector<std::int64_t> out;
        append_ids(word, std::forward<Routine>(routine), out);
        return out;
    }

private:
    struct Slot {
        std::string key;
        std::vector<std::int64_t> ids;
        bool occupied = false;
    };

    void store(Slot& slot, std::string_view word, const std::vector<std::int64_t>& ids) const {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        if (!slot.occupied) ++count_;
        slot.key.assign(word.data(), word.size());
        slot.ids.assign(ids.begin(), ids.end());
        slot.occupied = true;
    }

    std::unique_ptr<Slot[]> slots_;
    mutable std::uint64_t count_ = 0;
    mutable std::shared_mutex mutex_;
};

// The encoding of words[0, count) in order (each word anything a
// std::string_view is made from), each word's ids taken through `cache` with
// `routine`; with add_special_tokens the class id comes first and the
// separator id last, both with word id -1. An exception from the routine
// leaves with nothing returned.
//
// input_ids grows as needed from a reserve of two ids a word; word_ids and
// attention_mask are sized once, exactly, after the ids are known, from the
// end offset of each word's ids (kept in a per-thread buffer, released after
// a call whenever it grew past kKeptWordEnds entries).
inline constexpr std::size_t kKeptWordEnds = std::size_t{1} << 16;

template <class Word, class Routine>
WordPieceEncoding encode_words(const Word* words, std::size_t count, bool add_special_tokens,
                               std::int64_t cls_id, std::int64_t sep_id,
                               const SubwordWordCache& cache, Routine&& routine) {
    thread_local std::vector<std::size_t> ends;
    struct Release {
        ~Release() {
            if (ends.capacity() > kKeptWordEnds) std::vector<std::size_t>().swap(ends);
        }
    } release;
    ends.resize(count);
    WordPieceEncoding encoding;
    std::vector<std::int64_t>& ids = encoding.input_ids;
    ids.reserve(count * 2 + 2);
    if (add_special_tokens) ids.push_back(cls_id);
    // Each word's slot index is computed a few words ahead and its slot
    // prefetched, so that the lookups of a long list do not wait on memory.
    constexpr std::size_t kAhead = 4;
    std::size_t ahead[kAhead];
    for (std::size_t i = 0; i < count && i < kAhead; ++i) {
        ahead[i] = SubwordWordCache::slot_index(std::string_view(words[i]));
        cache.prefetch(ahead[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t index = ahead[i % kAhead];
        if (i + kAhead < count) {
            ahead[i % kAhead] = SubwordWordCache::slot_index(std::string_view(words[i + kAhead]));
            cache.prefetch(ahead[i % kAhead]);
        }
        cache.append_ids_at(index, std::string_view(words[i]), routine, ids);
        ends[i] = ids.size();
    }
    if (add_special_tokens) ids.push_back(sep_id);

    std::vector<std::int64_t>& word_ids = encoding.word_ids;
    word_ids.resize(ids.size());
    std::int64_t* w = word_ids.data();
    std::size_t at = 0;
    if (add_special_tokens) w[at++] = -1;
    for (std::size_t i = 0; i < count; ++i) {
        for (const std::size_t end = ends[i]; at < end; ++at) w[at] = static_cast<std::int64_t>(i);
    }
    if (add_special_tokens) w[at++] = -1;
    encoding.attention_mask.assign(ids.size(), 1);
    return encoding;
}

// The same over a vector of words.
template <class Routine>
WordPieceEncoding encode_words(const std::vector<std::string>& words, bool add_special_tokens,
                               std::int64_t cls_id, std::int64_t sep_id,
                               const SubwordWordCache& cache, Routine&& routine) {
    return encode_words(words.data(), words.size(), add_special_tokens, cls_id, sep_id, cache,
                        std::forward<Routine>(routine));
}

}  // namespace quelbin::detail
