// Internals of the byte-level BPE tokenizer, exposed for its tests.
#pragma once

#include "encoders/subword_text.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace quelbin::detail {

// The code point standing for byte b in vocabulary strings: printable bytes
// stand for themselves, the other 68 for U+0100 upwards in byte order.
std::uint32_t byte_symbol_code_point(unsigned char b);
// Its UTF-8 string.
std::string byte_symbol(unsigned char b);

struct ByteRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// Cuts decoded text into pre-tokens: contractions ('s 't 're 've 'm 'll 'd),
// then maximal runs of one class (letters with marks, numbers, whitespace,
// other), a single space before a non-whitespace code point being carried
// onto the run after it. Returns the byte ranges in order.
std::vector<ByteRange> byte_bpe_pre_split(const std::vector<DecodedCodePoint>& text);

}  // namespace quelbin::detail
