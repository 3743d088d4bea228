#include "model/json.hpp"

#include "document/utf8_codec.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace quelbin::detail {

// ---------------------------------------------------------------------------
// Typed access

void JsonValue::throw_type(std::string_view type, std::string_view label) {
    std::string message = "expected JSON ";
    message.append(type);
    if (!label.empty()) {
        message.append(" at ");
        message.append(label);
    }
    throw JsonError(message);
}

bool JsonValue::as_bool(std::string_view label) const {
    if (const auto* v = std::get_if<bool>(&value_)) return *v;
    throw_type("boolean", label);
}

std::int64_t JsonValue::as_integer(std::string_view label) const {
    if (const auto* v = std::get_if<std::int64_t>(&value_)) return *v;
    throw_type("integer", label);
}

double JsonValue::as_number(std::string_view label) const {
    if (const auto* v = std::get_if<double>(&value_)) return *v;
    if (const auto* v = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*v);
    throw_type("number", label);
}

const std::string& JsonValue::as_string(std::string_view label) const {
    if (const auto* v = std::get_if<std::string>(&value_)) return *v;
    throw_type("string", label);
}

const JsonArray& JsonValue::as_array(std::string_view label) const {
    if (const auto* v = std::get_if<JsonArray>(&value_)) return *v;
    throw_type("array", label);
}

const JsonObject& JsonValue::as_object(std::string_view label) const {
    if (const auto* v = std::get_if<JsonObject>(&value_)) return *v;
    throw_type("object", label);
}

const JsonValue& JsonValue::at(std::string_view key, std::string_view label) const {
    const JsonObject& members = as_object(label);
    auto it = members.find(key);
    if (it == members.end()) {
        std::string message = "missing JSON key '";
        message.append(key);
        message.push_back('\'');
        if (!label.empty()) {
            message.append(" at ");
            message.append(label);
        }
        throw JsonError(message);
    }
    return it->second;
}

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
    const auto* members = std::get_if<JsonObject>(&value_);
    if (members == nullptr) return nullptr;
    auto it = members->find(key);
    return it == members->end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// Parser

namespace {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}


// Whether a decimal token that std::from_chars found out of range lies above the
// double range (true) or below it (false). The token is already known to be
// well formed; its value is 0.d1d2... * 10^e with d1 the first non-zero digit,
// and only the sign of e matters because out-of-range values are far from 1.
bool decimal_token_overflows(std::string_view token) {
    std::size_t i = 0;
    if (token[i] == '-') ++i;
    std::int64_t e = 0;
    bool seen_nonzero = false;
    bool in_fraction = false;
    for (; i < token.size(); ++i) {
        const char c = token[i];
        if (c == '.') {
            in_fraction = true;
        } else if (is_digit(static_cast<unsigned char>(c))) {
            if (!seen_nonzero) {
                if (c != '0') {
                    seen_nonzero = true;
                } else if (in_fraction) {
                    --e;
                }
            }
            if (seen_nonzero && !in_fraction && e < (std::int64_t{1} << 40)) ++e;
        } else {
            break;  // exponent letter
        }
    }
    if (i < token.size()) {
        ++i;
        bool negative = false;
        if (token[i] == '+' || token[i] == '-') negative = token[i++] == '-';
        std::int64_t exponent = 0;
        for (; i < token.size(); ++i) {
            if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (token[i] - '0');
        }
        e += negative ? -exponent : exponent;
    }
    return e > 0;
}

class JsonParser {
public:
    explicit JsonParser(std::string_view text)
        : data_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

    JsonValue parse_document() {
        skip_whitespace();
        JsonValue value = parse_value(0);
        skip_whitespace();
        if (pos_ < size_) fail("unexpected trailing data");
        return value;
    }

private:
    [[noreturn]] void fail(const char* message) const {
        std::string text(message);
        text.append(" at JSON byte ");
        text.append(std::to_string(pos_));
        throw JsonError(text);
    }

    void skip_whitespace() noexcept {
        while (pos_ < size_) {
            const unsigned char c = data_[pos_];
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') break;
            ++pos_;
        }
    }

    JsonValue parse_value(std::size_t depth) {
        if (pos_ >= size_) fail("unexpected end of JSON");
        switch (data_[pos_]) {
            case '{':
                if (depth >= kJsonMaxDepth) fail("JSON nesting is too deep");
                return parse_object(depth + 1);
            case '[':
                if (depth >= kJsonMaxDepth) fail("JSON nesting is too deep");
                return parse_array(depth + 1);
            case '"': {
                std::string s;
                parse_string(s);
                return JsonValue(std::move(s));
            }
            case 't':
                expect_literal("true", 4);
                return JsonValue(true);
            case 'f':
                expect_literal("false", 5);
                return JsonValue(false);
            case 'n':
                expect_literal("null", 4);
                return JsonValue();
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return parse_number();
            default:
                fail("unexpected JSON token");
        }
    }

    void expect_literal(const char* word, std::size_t length) {
        if (size_ - pos_ < length || std::memcmp(data_ + pos_, word, length) != 0) {
            fail("invalid JSON literal");
        }
        pos_ += length;
    }

    JsonValue parse_number() {
        const std::size_t start = pos_;
        if (data_[pos_] == '-') {
            ++pos_;
            if (pos_ >= size_) fail("truncated number");
            if (!is_digit(data_[pos_])) fail("invalid number");
        }
        if (data_[pos_] == '0') {
            ++pos_;
            if (pos_ < size_ && is_digit(data_[pos_])) fail("leading zero in number");
        } else {
            while (pos_ < size_ && is_digit(data_[pos_])) ++pos_;
        }
        bool integral = true;
        if (pos_ < size_ && data_[pos_] == '.') {
            integral = false;
            ++pos_;
            if (pos_ >= size_ || !is_digit(data_[pos_])) fail("missing fractional digits");
            while (pos_ < size_ && is_digit(data_[pos_])) ++pos_;
        }
        if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
            integral = false;
            ++pos_;
            if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) ++pos_;
            if (pos_ >= size_ || !is_digit(data_[pos_])) fail("missing exponent digits");
            while (pos_ < size_ && is_digit(data_[pos_])) ++pos_;
        }
        const char* first = reinterpret_cast<const char*>(data_ + start);
        const char* last = reinterpret_cast<const char*>(data_ + pos_);
        if (integral) {
            std::int64_t value = 0;
            const auto result = std::from_chars(first, last, value);
            if (result.ec == std::errc() && result.ptr == last) return JsonValue(value);
            // Too large for 64 bits: read as a double below.
        }
        double value = 0.0;
        const auto result = std::from_chars(first, last, value, std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range && result.ptr == last) {
            if (decimal_token_overflows(std::string_view(first, pos_ - start))) {
                fail("invalid floating-point number");
            }
            // Underflow below the smallest denormal reads as zero.
            return JsonValue(*first == '-' ? -0.0 : 0.0);
        }
        if (result.ec != std::errc() || result.ptr != last || !std::isfinite(value)) {
            fail("invalid floating-point number");
        }
        return JsonValue(value);
    }

    std::uint32_t read_hex4() {
        if (size_ - pos_ < 4) fail("truncated Unicode escape");
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(data_[pos_++]);
            if (digit < 0) fail("invalid Unicode escape");
            value = (value << 4) | static_cast<std::uint32_t>(digit);
        }
        return value;
    }

    // On entry data_[pos_] is the opening quote.
    void parse_string(std::string& out) {
        ++pos_;
        for (;;) {
            // Copy the run of plain bytes in one go.
            const std::size_t run = pos_;
            while (pos_ < size_) {
                const unsigned char c = data_[pos_];
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            out.append(reinterpret_cast<const char*>(data_ + run), pos_ - run);
            if (pos_ >= size_) fail("unterminated string");
            const unsigned char c = data_[pos_++];
            if (c == '"') return;
            if (c < 0x20) fail("unescaped control character in string");
            // Escape sequence.
            if (pos_ >= size_) fail("truncated string escape");
            const unsigned char e = data_[pos_++];
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    std::uint32_t cp = read_hex4();
                    if (cp >= 0xDC00 && cp <= 0xDFFF) fail("unpaired low surrogate");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (size_ - pos_ < 6 || data_[pos_] != '\\' || data_[pos_ + 1] != 'u') {
                            fail("missing low surrogate");
                        }
                        pos_ += 2;
                        const std::uint32_t low = read_hex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail("invalid low surrogate");
                        cp = 0x10000 + (cp - 0xD800) * 0x400 + (low - 0xDC00);
                    }
                    append_utf8(out, cp);
                    break;
                }
                default:
                    fail("invalid string escape");
            }
        }
    }

    JsonValue parse_array(std::size_t depth) {
        ++pos_;  // '['
        JsonArray elements;
        skip_whitespace();
        if (pos_ < size_ && data_[pos_] == ']') {
            ++pos_;
            return JsonValue(std::move(elements));
        }
        for (;;) {
            skip_whitespace();
            elements.push_back(parse_value(depth));
            skip_whitespace();
            if (pos_ < size_ && data_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < size_ && data_[pos_] == ']') {
                ++pos_;
                return JsonValue(std::move(elements));
            }
            fail("expected ','");
        }
    }

    // Members are gathered in document order and sorted once at the end: far
    // cheaper than inserting into the tree one by one for large vocabularies.
    // Duplicate keys are found after sorting; the error still names the first
    // duplicate in document order, and it wins over any later syntax error in
    // the same object, exactly as if duplicates were checked while reading.
    static constexpr std::size_t kIncomplete = static_cast<std::size_t>(-1);

    struct PendingMember {
        std::string key;
        JsonValue value;
        std::size_t end = kIncomplete;  // offset just past the value
    };

    JsonValue parse_object(std::size_t depth) {
        ++pos_;  // '{'
        skip_whitespace();
        if (pos_ < size_ && data_[pos_] == '}') {
            ++pos_;
            return JsonValue(JsonObject());
        }
        std::vector<PendingMember> pending;
        std::vector<SortEntry> order;
        bool sorted = true;
        try {
            for (;;) {
                skip_whitespace();
                if (pos_ >= size_ || data_[pos_] != '"') fail("expected object key");
                PendingMember& member = pending.emplace_back();
                parse_string(member.key);
                order.push_back(SortEntry{key_prefix(member.key), pending.size() - 1});
                if (sorted && pending.size() > 1) {
                    const SortEntry& previous = order[order.size() - 2];
                    sorted = previous.prefix < order.back().prefix ||
                             (previous.prefix == order.back().prefix &&
                              pending[pending.size() - 2].key <= member.key);
                }
                skip_whitespace();
                if (pos_ >= size_ || data_[pos_] != ':') fail("expected ':'");
                ++pos_;
                skip_whitespace();
                member.value = parse_value(depth);
                member.end = pos_;
                skip_whitespace();
                if (pos_ < size_ && data_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < size_ && data_[pos_] == '}') {
                    ++pos_;
                    break;
                }
                fail("expected ','");
            }
        } catch (const JsonError&) {
            // Members read completely before the failure; a duplicate among
            // them lies earlier in the text than the failure.
            if (!pending.empty() && pending.back().end == kIncomplete) {
                pending.pop_back();
                order.resize(pending.size());
            }
            if (!sorted) sort_entries(pending, order);
            fail_on_duplicate(pending, order);
            throw;
        }
        if (!sorted) sort_entries(pending, order);
        fail_on_duplicate(pending, order);
        JsonObject members;
        constexpr std::size_t kAhead = 8;
        for (std::size_t i = 0; i < order.size(); ++i) {
            // The members are visited out of document order: fetch ahead.
            if (i + kAhead < order.size()) __builtin_prefetch(&pending[order[i + kAhead].index]);
            PendingMember& member = pending[order[i].index];
            members.emplace_hint(members.end(), std::move(member.key), std::move(member.value));
        }
        return JsonValue(std::move(members));
    }

    struct SortEntry {
        std::uint64_t prefix;  // the first eight key bytes, big-endian, zero-padded
        std::size_t index;
    };

    // Below this many members a comparison sort is cheaper than the radix passes.
    static constexpr std::size_t kRadixSortMin = 1 << 16;

    static std::uint64_t key_prefix(const std::string& key) noexcept {
        std::uint64_t prefix = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            prefix = (prefix << 8) | (k < key.size() ? static_cast<unsigned char>(key[k]) : 0u);
        }
        return prefix;
    }

    // Puts the entries in byte order of their keys, equal keys in document
    // order: a stable radix sort on the prefixes (integer order is byte order),
    // then runs of equal prefixes by their full keys.
    static void sort_entries(const std::vector<PendingMember>& pending, std::vector<SortEntry>& entries) {
        const std::size_t n = entries.size();
        if (n < kRadixSortMin) {
            std::sort(entries.begin(), entries.end(), [&](const SortEntry& a, const SortEntry& b) {
                if (a.prefix != b.prefix) return a.prefix < b.prefix;
                const int c = pending[a.index].key.compare(pending[b.index].key);
                return c < 0 || (c == 0 && a.index < b.index);
            });
            return;
        }
        std::vector<SortEntry> buffer(n);
        SortEntry* from = entries.data();
        SortEntry* to = buffer.data();
        constexpr int kBits = 16;
        constexpr std::size_t kBuckets = std::size_t{1} << kBits;
        std::vector<std::size_t> count(kBuckets);
        for (int shift = 0; shift < 64; shift += kBits) {
            // Skip a digit that all entries share.
            const std::uint64_t first_digit = (from[0].prefix >> shift) & (kBuckets - 1);
            bool same = true;
            for (std::size_t i = 1; i < n && same; ++i) {
                same = ((from[i].prefix >> shift) & (kBuckets - 1)) == first_digit;
            }
            if (same) continue;
            std::fill(count.begin(), count.end(), 0);
            for (std::size_t i = 0; i < n; ++i) ++count[(from[i].prefix >> shift) & (kBuckets - 1)];
            std::size_t sum = 0;
            for (std::size_t& c : count) {
                const std::size_t here = c;
                c = sum;
                sum += here;
            }
            for (std::size_t i = 0; i < n; ++i) to[count[(from[i].prefix >> shift) & (kBuckets - 1)]++] = from[i];
            std::swap(from, to);
        }
        if (from != entries.data()) std::copy(from, from + n, entries.data());
        // Prefixes are equal only for keys that share their first eight bytes
        // (or differ in trailing zero bytes): order those runs by the full key.
        for (std::size_t i = 0; i < n;) {
            std::size_t j = i + 1;
            while (j < n && entries[j].prefix == entries[i].prefix) ++j;
            if (j - i > 1) {
                std::stable_sort(entries.begin() + static_cast<std::ptrdiff_t>(i),
                                 entries.begin() + static_cast<std::ptrdiff_t>(j),
                                 [&](const SortEntry& a, const SortEntry& b) {
                                     return pending[a.index].key < pending[b.index].key;
                                 });
            }
            i = j;
        }
    }

    // Fails for the first member in document order whose key appeared before it.
    void fail_on_duplicate(const std::vector<PendingMember>& pending,
                           const std::vector<SortEntry>& order) {
        std::size_t first = kIncomplete;
        for (std::size_t i = 1; i < order.size(); ++i) {
            // Equal keys are adjacent and in document order: the second of a
            // run is that key's first duplicate. Different prefixes settle
            // most pairs without touching the keys.
            if (order[i].prefix != order[i - 1].prefix) continue;
            const std::string& key = pending[order[i].index].key;
            if (key != pending[order[i - 1].index].key) continue;
            if (i >= 2 && order[i - 2].prefix == order[i].prefix &&
                pending[order[i - 2].index].key == key) {
                continue;
            }
            first = std::min(first, order[i].index);
        }
        if (first != kIncomplete) {
            pos_ = pending[first].end;
            fail("duplicate object key");
        }
    }

    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

JsonValue parse_json(std::string_view text) {
    return JsonParser(text).parse_document();
}

std::string load_text_file(const std::filesystem::path& path) {
    // Opened without blocking and read only when it is a regular file: a FIFO
    // or a device named in a bundle must not hang or stream forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw JsonError("cannot open JSON file: " + path.native());
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        throw JsonError("cannot read JSON file: " + path.native());
    }
    std::string text;
    if (static_cast<std::uint64_t>(info.st_size) < text.max_size()) {
        text.reserve(static_cast<std::size_t>(info.st_size));
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw JsonError("cannot read JSON file: " + path.native());
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

JsonValue load_json(const std::filesystem::path& path) {
    return parse_json(load_text_file(path));
}

}  // namespace quelbin::detail
