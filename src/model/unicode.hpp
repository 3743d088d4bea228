// Case mapping, case tests and normalisation of UTF-8 text.
//
// Lower- and upper-casing and the case tests use the engine's own tables
// (Unicode 15.1) and strict UTF-8 decoding: ill-formed input throws
// std::invalid_argument "invalid UTF-8 sequence at byte offset N". The
// normalisation chain goes through ICU.
#pragma once

#include <string>
#include <string_view>

namespace quelbin::detail {

// Code point by code point, without context or language rules; U+0130 becomes
// U+0069 U+0307, and capital sigma always becomes U+03C3.
std::string unicode_lower(std::string_view text);
// Full uppercase mapping code point by code point (U+00DF becomes "SS").
std::string unicode_upper(std::string_view text);
// True when the text has at least one cased code point and every cased code
// point is lowercase (respectively uppercase); uncased code points are ignored.
bool unicode_is_lower(std::string_view text);
bool unicode_is_upper(std::string_view text);
// NFKC, then full default case folding, then NFC. Ill-formed UTF-8 becomes
// U+FFFD; only ICU failures throw (std::runtime_error).
std::string unicode_nfkc_casefold_nfc(std::string_view text);

}  // namespace quelbin::detail
