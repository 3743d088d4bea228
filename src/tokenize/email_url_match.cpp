#include "tokenize/email_url_match.hpp"

#include <array>
#include <cstdint>
#include <vector>

// Each alternative of the pattern is decided at a start position without
// backtracking: wherever a repeat is followed by a character that the repeat
// cannot match, only its longest run can succeed, so a run's end settles it.
// What a start would scan again at the next start (the local part before an
// at sign, a quoted string, a run of letters and digits, a domain) is cached,
// and the one repeat that can match its own terminator (the text of an address
// literal) is solved for every position at once, right to left. Every byte is
// so looked at a bounded number of times.

namespace quelbin::detail {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

enum : std::uint16_t {
    kLocal = 1,             // [a-z0-9!#$%&'*+/=?^_`{|}~-]
    kQuoted = 2,            // inside double quotes, unescaped
    kEscapable = 4,         // after a backslash
    kLabel = 8,             // [a-z0-9]
    kLabelInner = 16,       // [a-z0-9-]
    kLiteral = 32,          // address literal text after its tag, unescaped
    kAlnum = 64,            // [a-zA-Z0-9]
    kAlnumHyphen = 128,     // [a-zA-Z0-9-]
    kPath = 256,            // [^\s"]
    kDigit = 512,           // [0-9]
};

constexpr std::array<std::uint16_t, 256> make_classes() {
    std::array<std::uint16_t, 256> classes{};
    constexpr const char symbols[] = "!#$%&'*+/=?^_`{|}~-";
    for (int b = 0; b < 256; ++b) {
        const bool lower = b >= 'a' && b <= 'z';
        const bool upper = b >= 'A' && b <= 'Z';
        const bool digit = b >= '0' && b <= '9';
        const bool control = (b >= 0x01 && b <= 0x08) || b == 0x0b || b == 0x0c || (b >= 0x0e && b <= 0x1f);
        std::uint16_t c = 0;
        if (lower || digit) c |= kLocal | kLabel | kLabelInner;
        for (const char symbol : symbols) {
            if (symbol != 0 && b == symbol) c |= kLocal;
        }
        if (b == '-') c |= kLabelInner | kAlnumHyphen;
        if (lower || upper || digit) c |= kAlnum | kAlnumHyphen;
        if (digit) c |= kDigit;
        if (control || b == 0x21 || (b >= 0x23 && b <= 0x5b) || (b >= 0x5d && b <= 0x7f)) c |= kQuoted;
        if ((b >= 0x01 && b <= 0x09) || b == 0x0b || b == 0x0c || (b >= 0x0e && b <= 0x7f)) c |= kEscapable;
        if (control || (b >= 0x21 && b <= 0x7f)) c |= kLiteral;
        if (!((b >= 0x09 && b <= 0x0d) || b == 0x20 || b == '"')) c |= kPath;
        classes[static_cast<std::size_t>(b)] = c;
    }
    return classes;
}

constexpr std::array<std::uint16_t, 256> kClasses = make_classes();

constexpr std::string_view kTopLevelDomains[] = {"gov", "org", "edu", "net", "com", "co"};

class Matcher {
public:
    explicit Matcher(std::string_view text) : text_(text), n_(text.size()) {}

    // End of the match that starts at s, or kNone. Successive calls take
    // increasing starts.
    std::size_t match_at(std::size_t s) {
        std::size_t end = email_end(s);
        if (end != kNone) return end;
        const std::size_t host = after_scheme(s);
        const bool www = starts_with(s, "www.");
        if (host != kNone && (end = hyphenated_host_end(host)) != kNone) return end;
        if (www && (end = hyphenated_host_end(s + 4)) != kNone) return end;
        if (host != kNone && (end = plain_host_end(host)) != kNone) return end;
        if (www && (end = plain_host_end(s + 4)) != kNone) return end;
        return bare_host_end(s);
    }

private:
    struct DomainMemo {
        std::size_t at = kNone;
        std::size_t end = kNone;
    };

    bool is(std::size_t i, std::uint16_t cls) const {
        return i < n_ && (kClasses[static_cast<unsigned char>(text_[i])] & cls) != 0;
    }
    bool byte_is(std::size_t i, char b) const { return i < n_ && text_[i] == b; }
    bool in_range(std::size_t i, char low, char high) const {
        return i < n_ && text_[i] >= low && text_[i] <= high;
    }
    bool starts_with(std::size_t i, std::string_view word) const {
        return i <= n_ && text_.substr(i, word.size()) == word;
    }
    std::size_t run_end(std::size_t i, std::uint16_t cls) const {
        while (is(i, cls)) ++i;
        return i;
    }

    // A local part, an at sign and a domain.
    std::size_t email_end(std::size_t s) {
        if (is(s, kLocal)) {
            // Dotted words must reach the at sign: the run of word characters
            // and dots from s has to end there, with no dot that is last or
            // followed by another dot. All starts inside one run share it.
            if (s >= local_end_) {
                local_bad_dot_ = kNone;
                std::size_t i = s;
                for (; is(i, kLocal) || byte_is(i, '.'); ++i) {
                    if (text_[i] == '.' && !is(i + 1, kLocal)) local_bad_dot_ = i;
                }
                local_end_ = i;
            }
            if (local_bad_dot_ != kNone && local_bad_dot_ >= s) return kNone;
            if (!byte_is(local_end_, '@')) return kNone;
            return domain_end(local_end_ + 1, unquoted_domain_);
        }
        if (byte_is(s, '"')) {
            // A quoted string ends at its first unescaped quote; a quote inside
            // the last one scanned was escaped, and its scan ends at the same place.
            if (!(s + 1 >= quoted_from_ && s < quoted_end_)) {
                std::size_t i = s + 1;
                for (;;) {
                    if (is(i, kQuoted)) ++i;
                    else if (byte_is(i, '\\') && is(i + 1, kEscapable)) i += 2;
                    else break;
                }
                quoted_from_ = s + 1;
                quoted_end_ = i;
            }
            if (!byte_is(quoted_end_, '"') || !byte_is(quoted_end_ + 1, '@')) return kNone;
            return domain_end(quoted_end_ + 2, quoted_domain_);
        }
        return kNone;
    }

    std::size_t domain_end(std::size_t p, DomainMemo& memo) {
        if (memo.at != p) {
            memo.at = p;
            memo.end = is(p, kLabel) ? dotted_domain_end(p) : byte_is(p, '[') ? literal_end(p + 1) : kNone;
        }
        return memo.end;
    }

    // Labels joined by dots, at least two: the match keeps every label that a
    // dot follows, then the next label, or ends before the last dot when no
    // label follows it and two labels remain. A label runs to its last letter
    // or digit.
    std::size_t dotted_domain_end(std::size_t q) const {
        std::size_t dots = 0;
        std::size_t before_dot = kNone;
        while (is(q, kLabel)) {
            const std::size_t r = run_end(q + 1, kLabelInner);
            if (is(r - 1, kLabel) && byte_is(r, '.')) {
                ++dots;
                before_dot = r;
                q = r + 1;
                continue;
            }
            if (dots == 0) return kNone;
            std::size_t last = r - 1;
            while (!is(last, kLabel)) --last;
            return last + 1;
        }
        return dots >= 2 ? before_dot : kNone;
    }

    // The end of a number 0 to 255 at x that the byte `next` follows, or kNone.
    std::size_t octet_then(std::size_t x, char next) const {
        const bool three = (byte_is(x, '2') && ((byte_is(x + 1, '5') && in_range(x + 2, '0', '5')) ||
                                                (in_range(x + 1, '0', '4') && is(x + 2, kDigit)))) ||
                           (byte_is(x, '1') && is(x + 1, kDigit) && is(x + 2, kDigit));
        if (three && byte_is(x + 3, next)) return x + 3;
        if (in_range(x, '1', '9') && is(x + 1, kDigit) && byte_is(x + 2, next)) return x + 2;
        if (is(x, kDigit) && byte_is(x + 1, next)) return x + 1;
        return kNone;
    }

    // "[" already read: three numbers with dots, then a number or a tag with
    // its text, then "]".
    std::size_t literal_end(std::size_t x) {
        for (int k = 0; k < 3; ++k) {
            x = octet_then(x, '.');
            if (x == kNone) return kNone;
            ++x;
        }
        const std::size_t octet = octet_then(x, ']');
        if (octet != kNone) return octet + 1;
        const std::size_t tag = run_end(x, kLabelInner);
        if (tag == x || !is(tag - 1, kLabel) || !byte_is(tag, ':')) return kNone;
        return literal_text_end(tag + 1, true);
    }

    // The text of an address literal is one or more characters or escapes and
    // "]", and its characters include "]" and the backslash: the match ends at
    // the "]" that the greedy repeat meets first while giving characters back.
    // literal_ends_[x] is that end for the repeat's position x after at least
    // one character, computed for all positions together on first use.
    std::size_t literal_text_end(std::size_t x, bool first) {
        if (literal_ends_.empty()) {
            literal_ends_.assign(n_ + 2, kNone);
            for (std::size_t i = n_; i-- > 0;) literal_ends_[i] = literal_step(i, false);
        }
        return literal_step(x, first);
    }
    std::size_t literal_step(std::size_t x, bool first) const {
        std::size_t end = kNone;
        if (is(x, kLiteral)) end = literal_ends_[x + 1];
        if (end == kNone && byte_is(x, '\\') && is(x + 1, kEscapable)) end = literal_ends_[x + 2];
        if (end == kNone && !first && byte_is(x, ']')) end = x + 1;
        return end;
    }

    // Position after "http://" or "https://" and an optional "www." at s;
    // kNone without a scheme, or when "www" follows it without a dot.
    std::size_t after_scheme(std::size_t s) const {
        if (!starts_with(s, "http")) return kNone;
        std::size_t h = s + 4;
        if (byte_is(h, 's')) ++h;
        if (!starts_with(h, "://")) return kNone;
        h += 3;
        if (starts_with(h, "www.")) return h + 4;
        return starts_with(h, "www") ? kNone : h;
    }

    // [a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\. and a path, at h.
    std::size_t hyphenated_host_end(std::size_t h) const {
        if (!is(h, kAlnum)) return kNone;
        const std::size_t r = run_end(h + 1, kAlnumHyphen);
        if (r < h + 3 || !is(r - 1, kAlnum) || !byte_is(r, '.')) return kNone;
        return path_end(r + 1);
    }

    // [a-zA-Z0-9]+\. and a path, at h.
    std::size_t plain_host_end(std::size_t h) const {
        const std::size_t r = run_end(h, kAlnum);
        if (r == h || !byte_is(r, '.')) return kNone;
        return path_end(r + 1);
    }

    // Letters and digits, a dot, one of six endings, a dot and a path. All
    // starts inside one run of letters and digits share the run's end.
    std::size_t bare_host_end(std::size_t s) {
        if (!is(s, kAlnum)) return kNone;
        if (s >= alnum_end_) alnum_end_ = run_end(s, kAlnum);
        const std::size_t r = alnum_end_;
        if (!byte_is(r, '.')) return kNone;
        for (const std::string_view ending : kTopLevelDomains) {
            if (!starts_with(r + 1, ending) || !byte_is(r + 1 + ending.size(), '.')) continue;
            const std::size_t end = path_end(r + 2 + ending.size());
            if (end != kNone) return end;
        }
        return kNone;
    }

    // [^\s"]{2,} at x: its whole run.
    std::size_t path_end(std::size_t x) const {
        if (!is(x, kPath) || !is(x + 1, kPath)) return kNone;
        return run_end(x + 2, kPath);
    }

    std::string_view text_;
    std::size_t n_;
    std::size_t local_end_ = 0;
    std::size_t local_bad_dot_ = kNone;
    std::size_t quoted_from_ = 0;
    std::size_t quoted_end_ = 0;
    std::size_t alnum_end_ = 0;
    DomainMemo unquoted_domain_;
    DomainMemo quoted_domain_;
    std::vector<std::size_t> literal_ends_;
};

}  // namespace

void for_each_email_or_url(std::string_view text,
                           const std::function<void(std::size_t, std::size_t)>& on_match) {
    Matcher matcher(text);
    std::size_t s = 0;
    while (s < text.size()) {
        const std::size_t end = matcher.match_at(s);
        if (end == kNone) {
            ++s;
            continue;
        }
        on_match(s, end);
        s = end;
    }
}

}  // namespace quelbin::detail
