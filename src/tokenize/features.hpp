// Hand-made per-character features of the tokenizer and the e-mail/URL rule.
#pragma once

#include "tokenize/byte_regex.hpp"
#include "tokenize/char_units.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quelbin::detail {

// Structural features in the fixed column order of a feature row.
inline constexpr const char* kStructuralFeatures[] = {"labeled_field", "phone_id", "date_pattern",
                                                      "currency"};

// The four structural expressions, compiled together on first use.
const ByteRegex& labeled_field_regex();
const ByteRegex& phone_id_regex();
const ByteRegex& date_pattern_regex();
const ByteRegex& currency_regex();

// Whether a code point is a decimal digit (general category Nd).
bool is_decimal_digit(std::uint32_t cp);

// Units x feat_dim values, row by row; throws TokenizerModelError when the
// configured features do not add up to feat_dim.
std::vector<float> compute_unit_features(const TokenizerPlan::Impl& impl, const Paragraph& paragraph);
// The same rows written to out, which holds units x feat_dim floats.
void compute_unit_features_into(const TokenizerPlan::Impl& impl, const Paragraph& paragraph, float* out);

// Sets mask[u] to 1 for every unit u covered by a match of the expression over
// text, the concatenated unit texts; mask holds one entry per unit.
void mark_regex_matches(std::string_view text, const ByteRegex& regex, std::vector<float>& mask);

// Makes every e-mail address and URL one token: labels inside a match run are
// cleared and the run's last unit ends a token.
void mask_emails_and_urls(const Paragraph& paragraph, std::vector<std::int64_t>& labels);

}  // namespace quelbin::detail
