#include "tokenize/features.hpp"

#include "model/unicode.hpp"
#include "tokenize/email_url_match.hpp"

#include <quelbin/errors.hpp>

#include <algorithm>
#include <cstring>
#include <string>

namespace quelbin::detail {
namespace {

struct DigitRange {
    std::uint32_t first;
    std::uint32_t last;
};

// General category Nd, Unicode 15.1.
constexpr DigitRange kDecimalDigits[] = {
    {0x30, 0x39},       {0x660, 0x669},     {0x6F0, 0x6F9},     {0x7C0, 0x7C9},     {0x966, 0x96F},
    {0x9E6, 0x9EF},     {0xA66, 0xA6F},     {0xAE6, 0xAEF},     {0xB66, 0xB6F},     {0xBE6, 0xBEF},
    {0xC66, 0xC6F},     {0xCE6, 0xCEF},     {0xD66, 0xD6F},     {0xDE6, 0xDEF},     {0xE50, 0xE59},
    {0xED0, 0xED9},     {0xF20, 0xF29},     {0x1040, 0x1049},   {0x1090, 0x1099},   {0x17E0, 0x17E9},
    {0x1810, 0x1819},   {0x1946, 0x194F},   {0x19D0, 0x19D9},   {0x1A80, 0x1A89},   {0x1A90, 0x1A99},
    {0x1B50, 0x1B59},   {0x1BB0, 0x1BB9},   {0x1C40, 0x1C49},   {0x1C50, 0x1C59},   {0xA620, 0xA629},
    {0xA8D0, 0xA8D9},   {0xA900, 0xA909},   {0xA9D0, 0xA9D9},   {0xA9F0, 0xA9F9},   {0xAA50, 0xAA59},
    {0xABF0, 0xABF9},   {0xFF10, 0xFF19},   {0x104A0, 0x104A9}, {0x10D30, 0x10D39}, {0x11066, 0x1106F},
    {0x110F0, 0x110F9}, {0x11136, 0x1113F}, {0x111D0, 0x111D9}, {0x112F0, 0x112F9}, {0x11450, 0x11459},
    {0x114D0, 0x114D9}, {0x11650, 0x11659}, {0x116C0, 0x116C9}, {0x11730, 0x11739}, {0x118E0, 0x118E9},
    {0x11950, 0x11959}, {0x11C50, 0x11C59}, {0x11D50, 0x11D59}, {0x11DA0, 0x11DA9}, {0x11F50, 0x11F59},
    {0x16A60, 0x16A69}, {0x16AC0, 0x16AC9}, {0x16B50, 0x16B59}, {0x1D7CE, 0x1D7FF}, {0x1E140, 0x1E149},
    {0x1E2F0, 0x1E2F9}, {0x1E4F0, 0x1E4F9}, {0x1E950, 0x1E959}, {0x1FBF0, 0x1FBF9},
};
static_assert(sizeof kDecimalDigits / sizeof kDecimalDigits[0] == 64);

struct StructuralRegexes {
    ByteRegex labeled_field{R"(\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:)"};
    ByteRegex phone_id{
        R"((?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b))"};
    ByteRegex date_pattern{
        R"((?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December)\s+[0-9]{1,2},?\s+[0-9]{4}\b))"};
    ByteRegex currency{R"(\$\s?[0-9][0-9,]*(?:\.[0-9]+)?)"};
};

// The four structural expressions are compiled together on first use.
const StructuralRegexes& structural_regexes() {
    static const StructuralRegexes regexes;
    return regexes;
}

std::size_t utf8_length_from_lead(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    return 4;
}

std::string join_units(const Paragraph& paragraph) {
    std::size_t size = 0;
    for (const CharUnit& unit : paragraph) size += unit.text.size();
    std::string text;
    text.reserve(size);
    for (const CharUnit& unit : paragraph) text += unit.text;
    return text;
}

// Sets mask[u] to 1 for every unit u covered by a match that find reports
// (as byte offsets into text, the concatenated unit texts).
template <class FindMatches>
void mark_matches(std::string_view text, std::vector<float>& mask, FindMatches&& find) {
    const std::size_t units = mask.size();
    std::vector<std::uint32_t> unit_of_byte(text.size() + 1);
    std::size_t p = 0;
    std::uint32_t unit = 0;
    while (p < text.size()) {
        const std::size_t length = utf8_length_from_lead(static_cast<unsigned char>(text[p]));
        for (std::size_t k = 0; k < length && p < text.size(); ++k) unit_of_byte[p++] = unit;
        ++unit;
    }
    unit_of_byte[text.size()] = static_cast<std::uint32_t>(units);
    find([&](std::size_t begin, std::size_t end) {
        const std::size_t first = unit_of_byte[begin];
        const std::size_t last = std::min<std::size_t>(unit_of_byte[end], units);
        for (std::size_t u = first; u < last; ++u) mask[u] = 1.0f;
    });
}

}  // namespace

const ByteRegex& labeled_field_regex() { return structural_regexes().labeled_field; }
const ByteRegex& phone_id_regex() { return structural_regexes().phone_id; }
const ByteRegex& date_pattern_regex() { return structural_regexes().date_pattern; }
const ByteRegex& currency_regex() { return structural_regexes().currency; }

bool is_decimal_digit(std::uint32_t cp) {
    for (const DigitRange& range : kDecimalDigits) {
        if (cp >= range.first && cp <= range.last) return true;
    }
    return false;
}

void mark_regex_matches(std::string_view text, const ByteRegex& regex, std::vector<float>& mask) {
    mark_matches(text, mask, [&](const auto& on_match) { regex.for_each_match(text, on_match); });
}

void compute_unit_features_into(const TokenizerPlan::Impl& impl, const Paragraph& paragraph, float* out) {
    const std::size_t n = paragraph.size();

    enum class Simple { space_before, capitalized, numeric };
    std::vector<Simple> simple;
    bool end_of_para = false;
    bool start_of_para = false;
    for (const std::string& name : impl.feat_funcs) {
        if (name == "space_before") simple.push_back(Simple::space_before);
        else if (name == "capitalized") simple.push_back(Simple::capitalized);
        else if (name == "numeric") simple.push_back(Simple::numeric);
        else if (name == "end_of_para") end_of_para = true;
        else if (name == "start_of_para") start_of_para = true;
    }

    std::vector<std::vector<float>> structural;
    std::string text;
    for (const char* feature : kStructuralFeatures) {
        if (std::find(impl.feat_funcs.begin(), impl.feat_funcs.end(), feature) == impl.feat_funcs.end()) {
            continue;
        }
        const StructuralRegexes& regexes = structural_regexes();
        const ByteRegex* regex = nullptr;
        if (std::strcmp(feature, "labeled_field") == 0) regex = &regexes.labeled_field;
        else if (std::strcmp(feature, "phone_id") == 0) regex = &regexes.phone_id;
        else if (std::strcmp(feature, "date_pattern") == 0) regex = &regexes.date_pattern;
        else if (std::strcmp(feature, "currency") == 0) regex = &regexes.currency;
        else throw TokenizerModelError(std::string("unsupported structural tokenizer feature: ") + feature);
        if (structural.empty()) text = join_units(paragraph);
        std::vector<float> mask(n, 0.0f);
        mark_regex_matches(text, *regex, mask);
        structural.push_back(std::move(mask));
    }

    const std::int64_t dict = impl.use_dictionary ? impl.num_dict_feat : 0;
    const std::int64_t width = static_cast<std::int64_t>(simple.size()) + (end_of_para ? 1 : 0) +
                               static_cast<std::int64_t>(structural.size()) + (start_of_para ? 1 : 0) +
                               2 * dict;
    if (width != impl.feat_dim) {
        throw TokenizerModelError("tokenizer feature dimension does not match feat_funcs");
    }

    float* row = out;
    std::string forward;
    std::string backward;
    for (std::size_t i = 0; i < n; ++i) {
        const CharUnit& unit = paragraph[i];
        for (Simple feature : simple) {
            bool value = false;
            switch (feature) {
                case Simple::space_before: value = unit.code_point == 0x20; break;
                case Simple::capitalized: value = unicode_is_upper(unit.text); break;
                case Simple::numeric: value = is_decimal_digit(unit.code_point); break;
            }
            *row++ = value ? 1.0f : 0.0f;
        }
        if (end_of_para) *row++ = i + 1 == n ? 1.0f : 0.0f;
        if (start_of_para) *row++ = i == 0 ? 1.0f : 0.0f;
        for (const std::vector<float>& mask : structural) *row++ = mask[i];
        if (dict > 0) {
            float* forward_values = row;
            float* backward_values = row + dict;
            std::fill(row, row + 2 * dict, 0.0f);
            row += 2 * dict;
            forward = unit.text;
            backward = unit.text;
            bool forward_open = true;
            bool backward_open = true;
            for (std::int64_t w = 1; w <= dict; ++w) {
                const std::size_t offset = static_cast<std::size_t>(w);
                if (forward_open && i + offset < n) {
                    forward += unicode_lower(paragraph[i + offset].text);
                    if (impl.lexicon_words.count(forward) != 0) forward_values[w - 1] = 1.0f;
                    forward_open = impl.lexicon_prefixes.count(forward) != 0;
                }
                if (backward_open && offset <= i) {
                    backward.insert(0, unicode_lower(paragraph[i - offset].text));
                    if (impl.lexicon_words.count(backward) != 0) backward_values[w - 1] = 1.0f;
                    backward_open = impl.lexicon_suffixes.count(backward) != 0;
                }
                if (!forward_open && !backward_open) break;
            }
        }
    }
}

std::vector<float> compute_unit_features(const TokenizerPlan::Impl& impl, const Paragraph& paragraph) {
    // The width is checked inside before any row is written; size the output from
    // the configured width (negative widths fail the check first).
    const std::size_t width = impl.feat_dim > 0 ? static_cast<std::size_t>(impl.feat_dim) : 0;
    std::vector<float> values(paragraph.size() * width);
    compute_unit_features_into(impl, paragraph, values.data());
    return values;
}

void mask_emails_and_urls(const Paragraph& paragraph, std::vector<std::int64_t>& labels) {
    const std::string text = join_units(paragraph);
    if (text.empty() || text.find_first_of("@.") == std::string::npos) return;
    std::vector<float> marked(paragraph.size(), 0.0f);
    mark_matches(text, marked, [&](const auto& on_match) { for_each_email_or_url(text, on_match); });
    const std::size_t n = std::min(paragraph.size(), labels.size());
    std::size_t i = 0;
    while (i < n) {
        if (marked[i] == 0.0f) {
            ++i;
            continue;
        }
        std::size_t b = i;
        while (b + 1 < n && marked[b + 1] != 0.0f) ++b;
        for (std::size_t k = i; k < b; ++k) labels[k] = 0;
        if (labels[b] == 0) labels[b] = 1;
        i = b + 1;
    }
}

}  // namespace quelbin::detail
