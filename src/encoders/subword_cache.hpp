// The word cache and the encode framing shared by the subword tokenizers.
//
// A tokenizer supplies its class and separator ids and a word routine (one
// word's bytes to its subword ids); encode_words frames the ids of a word list
// and SubwordWordCache saves repeated words the routine's work.
#pragma once

#include <quelbin/subword.hpp>

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelbin::detail {

// Ids appended to a buffer kept from call to call: it grows by doubling and is
// never shrunk here, and the few ids of a usual word are copied without a
// library call.
class IdSink {
public:
    explicit IdSink(std::vector<std::int64_t>& buffer)
        : buffer_(buffer), data_(buffer.data()), capacity_(buffer.size()) {}

    void append(const std::int64_t* ids, std::size_t n) {
        std::int64_t* const to = extend(n);
        switch (n) {
            case 4: to[3] = ids[3]; [[fallthrough]];
            case 3: to[2] = ids[2]; [[fallthrough]];
            case 2: to[1] = ids[1]; [[fallthrough]];
            case 1: to[0] = ids[0]; [[fallthrough]];
            case 0: break;
            default: std::memcpy(to, ids, n * sizeof(std::int64_t));
        }
    }
    void push(std::int64_t id) { append(&id, 1); }
    // Room for n more ids, to be written at the returned place.
    std::int64_t* extend(std::size_t n) {
        if (n > capacity_ - size_) grow(n);
        std::int64_t* const to = data_ + size_;
        size_ += n;
        return to;
    }

    const std::int64_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void grow(std::size_t n) {
        buffer_.resize(std::max(2 * buffer_.size(), size_ + n + 64));
        data_ = buffer_.data();
        capacity_ = buffer_.size();
    }

    std::vector<std::int64_t>& buffer_;
    std::int64_t* data_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

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
        return string_hash(word) & (kSlotCount - 1);
    }

    // The `rest` (1 to 7) bytes at p as a little-endian number, read with
    // whole loads instead of a loop over the bytes: when `after_more` the 8
    // bytes ending with them are readable, else exactly these rest bytes.
    static std::uint64_t tail_bytes(const char* p, std::size_t rest, bool after_more) {
        if (after_more) {
            std::uint64_t v;
            std::memcpy(&v, p + rest - 8, 8);
            return v >> (8 * (8 - rest));
        }
        const auto byte = [p](std::size_t k) { return std::uint64_t{static_cast<unsigned char>(p[k])}; };
        if (rest >= 4) {
            std::uint32_t low, high;
            std::memcpy(&low, p, 4);
            std::memcpy(&high, p + rest - 4, 4);  // overlaps `low` by 8 - rest bytes, equal ones
            return std::uint64_t{low} | (std::uint64_t{high} << (8 * (rest - 4)));
        }
        return byte(0) | (byte(rest / 2) << (8 * (rest / 2))) | (byte(rest - 1) << (8 * (rest - 1)));
    }

    // std::hash of the word's bytes. With the GNU library on 64-bit targets
    // its byte hash is repeated here inline, which saves a library call per
    // word on the hot path; elsewhere the library's own is called.
    static std::size_t string_hash(std::string_view word) {
#if defined(__GLIBCXX__) && __SIZEOF_SIZE_T__ == 8
        constexpr std::uint64_t mul = (std::uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
        const auto shift_mix = [](std::uint64_t v) { return v ^ (v >> 47); };
        const char* p = word.data();
        const std::size_t len = word.size();
        std::uint64_t hash = 0xc70f6907ULL ^ (len * mul);
        for (const char* const end = p + (len & ~std::size_t{7}); p != end; p += 8) {
            std::uint64_t data;
            std::memcpy(&data, p, 8);
            hash ^= shift_mix(data * mul) * mul;
            hash *= mul;
        }
        if (const std::size_t rest = len & 7; rest != 0) {
            hash ^= tail_bytes(p, rest, len >= 8);
            hash *= mul;
        }
        return static_cast<std::size_t>(shift_mix(shift_mix(hash) * mul));
#else
        return std::hash<std::string_view>{}(word);
#endif
    }

    // Appends the ids of `word` to `out`: the cached ids on a hit, otherwise
    // routine(word) (a std::vector<std::int64_t>, or a const reference to one),
    // which is then stored. An exception from the routine passes through and
    // stores nothing.
    template <class Routine>
    void append_ids(std::string_view word, Routine&& routine, std::vector<std::int64_t>& out) const {
        Slot& slot = slots_[slot_index(word)];
        {
            std::shared_lock<std::shared_mutex> lock(mutex_);
            if (slot.holds(word)) {
                const std::size_t at = out.size();
                out.resize(at + slot.id_count);
                slot.copy_ids(out.data() + at);
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

    // Appends the ids of words[0, count) in order to `out`, each as append_ids
    // gives them, and after each word the number of ids so far to ends[i].
    // The shared lock is held from one miss to the next, so that a run of hits
    // takes it once; it is released before the routine runs and while a miss
    // is stored, as for single lookups. An exception from the routine passes
    // through with no lock held; the words before it are stored.
    template <class Word, class Routine>
    void append_words(const Word* words, std::size_t count, Routine&& routine, IdSink& out,
                      std::size_t* ends) const {
        // Every slot index is computed first, in ends[i] until word i is done,
        // so that the hashes of a list run back to back while the first slots
        // load. Slots are prefetched kAhead words ahead of their lookup, and
        // the keys and ids they point to half as far ahead.
        constexpr std::size_t kAhead = 8;
        for (std::size_t i = 0; i < count; ++i) {
            ends[i] = slot_index(std::string_view(words[i]));
            if (i < kAhead) prefetch(ends[i]);
        }
        std::shared_lock<std::shared_mutex> lock(mutex_);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kAhead < count) prefetch(ends[i + kAhead]);
            if (i + kAhead / 2 < count) {
                // That slot has arrived by now: start loading what it points
                // to (read under the shared lock).
                const Slot& next = slots_[ends[i + kAhead / 2]];
                if (next.state == Slot::kHeap) __builtin_prefetch(next.block());
            }
            const std::string_view word(words[i]);
            Slot& slot = slots_[ends[i]];
            if (slot.holds(word)) {
                slot.copy_ids(out.extend(slot.id_count));
            } else {
                lock.unlock();
                decltype(auto) ids = routine(word);
                out.append(ids.data(), ids.size());
                store(slot, word, ids);
                lock.lock();
            }
            ends[i] = out.size();
        }
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
    // One cache line a slot. A word's ids (as 32-bit numbers) and key bytes
    // are kept inline when they fit, as for most words, so that a hit reads
    // this line alone; otherwise a block of the slot's own holds the ids as
    // 64-bit numbers followed by the key.
    struct alignas(64) Slot {
        static constexpr std::size_t kRoom = 48;  // bytes of ids and key kept inline
        enum : std::uint8_t { kEmpty, kInline, kHeap };

        std::uint32_t key_size = 0;
        std::uint32_t id_count = 0;
        std::uint8_t state = kEmpty;
        alignas(8) unsigned char data[kRoom];

        Slot() = default;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot() { release(); }

        unsigned char* block() const {
            unsigned char* p;
            std::memcpy(&p, data, sizeof p);
            return p;
        }
        void release() {
            if (state == kHeap) delete[] block();
            state = kEmpty;
        }
        const char* key() const {
            return reinterpret_cast<const char*>(state == kInline ? data + 4 * std::size_t{id_count}
                                                                   : block() + 8 * std::size_t{id_count});
        }

        // Whether the slot holds `word`, compared inline eight bytes at a time:
        // words are short, and a library call per lookup costs more.
        bool holds(std::string_view word) const {
            if (state == kEmpty || key_size != word.size()) return false;
            const char* a = key();
            const char* b = word.data();
            std::size_t n = word.size();
            const bool long_word = n >= 8;
            for (; n >= 8; n -= 8, a += 8, b += 8) {
                std::uint64_t x, y;
                std::memcpy(&x, a, 8);
                std::memcpy(&y, b, 8);
                if (x != y) return false;
            }
            return n == 0 || tail_bytes(a, n, long_word) == tail_bytes(b, n, long_word);
        }

        // Writes the slot's id_count ids at `to`.
        void copy_ids(std::int64_t* to) const {
            if (state != kInline) {
                if (id_count != 0) std::memcpy(to, block(), 8 * std::size_t{id_count});
                return;
            }
            for (std::size_t k = 0; k < id_count; ++k) {
                std::int32_t v;
                std::memcpy(&v, data + 4 * k, 4);
                to[k] = v;
            }
        }

        // Whether a word of these sizes has room: its sizes are 32-bit.
        static bool fits(std::string_view word, const std::vector<std::int64_t>& ids) {
            constexpr std::size_t most = std::numeric_limits<std::uint32_t>::max();
            return word.size() <= most && ids.size() <= most;
        }

        // Replaces the slot's word (fits(word, ids) holds); the slot is
        // unchanged if allocation fails.
        void assign(std::string_view word, const std::vector<std::int64_t>& ids) {
            bool narrow = ids.size() <= kRoom / 4 && 4 * ids.size() + word.size() <= kRoom;
            for (std::size_t k = 0; narrow && k < ids.size(); ++k) {
                narrow = ids[k] >= std::numeric_limits<std::int32_t>::min() &&
                         ids[k] <= std::numeric_limits<std::int32_t>::max();
            }
            if (narrow) {
                release();
                for (std::size_t k = 0; k < ids.size(); ++k) {
                    const auto v = static_cast<std::int32_t>(ids[k]);
                    std::memcpy(data + 4 * k, &v, 4);
                }
                if (!word.empty()) std::memcpy(data + 4 * ids.size(), word.data(), word.size());
                state = kInline;
            } else {
                auto* fresh = new unsigned char[8 * ids.size() + word.size()];
                if (!ids.empty()) std::memcpy(fresh, ids.data(), 8 * ids.size());
                if (!word.empty()) std::memcpy(fresh + 8 * ids.size(), word.data(), word.size());
                release();
                std::memcpy(data, &fresh, sizeof fresh);
                state = kHeap;
            }
            key_size = static_cast<std::uint32_t>(word.size());
            id_count = static_cast<std::uint32_t>(ids.size());
        }
    };
    static_assert(sizeof(Slot) == 64, "a slot is one cache line");

    // Stores a word's ids in its slot; a word of 4 GB or more is not kept.
    void store(Slot& slot, std::string_view word, const std::vector<std::int64_t>& ids) const {
        if (!Slot::fits(word, ids)) return;
        std::unique_lock<std::shared_mutex> lock(mutex_);
        const bool was_occupied = slot.state != Slot::kEmpty;
        slot.assign(word, ids);
        if (!was_occupied) ++count_;
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
// The ids and the end offset of each word's ids are gathered in per-thread
// buffers (each released after a call whenever it grew past kKeptScratch
// entries), so that the three vectors of the result are each allocated once,
// at their exact size.
inline constexpr std::size_t kKeptScratch = std::size_t{1} << 16;

struct EncodeScratch {
    std::vector<std::size_t> ends;
    std::vector<std::int64_t> ids;
};

inline EncodeScratch& encode_scratch() {
    thread_local EncodeScratch scratch;
    return scratch;
}

template <class Word, class Routine>
WordPieceEncoding encode_words(const Word* words, std::size_t count, bool add_special_tokens,
                               std::int64_t cls_id, std::int64_t sep_id,
                               const SubwordWordCache& cache, Routine&& routine) {
    EncodeScratch& scratch = encode_scratch();
    struct Release {
        EncodeScratch& s;
        ~Release() {
            if (s.ends.capacity() > kKeptScratch) std::vector<std::size_t>().swap(s.ends);
            if (s.ids.capacity() > kKeptScratch) std::vector<std::int64_t>().swap(s.ids);
        }
    } release{scratch};
    if (scratch.ends.size() < count) scratch.ends.resize(count);
    std::size_t* const ends = scratch.ends.data();
    IdSink ids(scratch.ids);
    if (add_special_tokens) ids.push(cls_id);
    cache.append_words(words, count, routine, ids, ends);
    if (add_special_tokens) ids.push(sep_id);

    WordPieceEncoding encoding;
    const std::size_t total = ids.size();
    encoding.input_ids.assign(ids.data(), ids.data() + total);
    // Most words have at most four ids: each word's index is written four
    // times whatever its count, past its end into the next word's place or
    // the four spare entries, so that the loop takes no branch on the count.
    std::vector<std::int64_t>& word_ids = encoding.word_ids;
    word_ids.resize(total + 4);
    std::int64_t* w = word_ids.data();
    std::size_t at = 0;
    if (add_special_tokens) w[at++] = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const auto index = static_cast<std::int64_t>(i);
        const std::size_t end = ends[i];
        w[at] = index;
        w[at + 1] = index;
        w[at + 2] = index;
        w[at + 3] = index;
        for (std::size_t k = at + 4; k < end; ++k) w[k] = index;
        at = end;
    }
    if (add_special_tokens) w[at++] = -1;
    word_ids.resize(total);
    encoding.attention_mask.assign(total, 1);
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
