#include "model/sha256.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUELBIN_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace quelbin::detail {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

using CompressFn = void (*)(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// The compression function applied to count consecutive 64-byte blocks.
void sha256_compress(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t ch = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + ch + kRoundConstants[t] + w[t];
            const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if QUELBIN_SHA256_X86

bool cpu_has_sha_extensions() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

// The same compression with the SHA-NI instructions. The state lives in two
// registers as ABEF and CDGH, the layout sha256rnds2 works on.
__attribute__((target("sha,sse4.1,ssse3"))) void sha256_compress_shani(
    std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));          // DCBA
    __m128i cdgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));     // HGFE
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                                              // CDAB
    cdgh = _mm_shuffle_epi32(cdgh, 0x1B);                                            // EFGH
    __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8);                                    // ABEF
    cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);                                         // CDGH

    for (; count > 0; --count, blocks += 64) {
        const __m128i abef_saved = abef;
        const __m128i cdgh_saved = cdgh;
        __m128i w[4];
        for (int i = 0; i < 16; ++i) {
            __m128i quad;
            if (i < 4) {
                quad = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byte_swap);
            } else {
                // W[t] for t = 4i..4i+3 from the four preceding quads.
                const __m128i& q4 = w[i & 3];        // W[4i-16 ..]
                const __m128i& q3 = w[(i + 1) & 3];  // W[4i-12 ..]
                const __m128i& q2 = w[(i + 2) & 3];  // W[4i-8 ..]
                const __m128i& q1 = w[(i + 3) & 3];  // W[4i-4 ..]
                quad = _mm_add_epi32(_mm_sha256msg1_epu32(q4, q3), _mm_alignr_epi8(q1, q2, 4));
                quad = _mm_sha256msg2_epu32(quad, q1);
            }
            w[i & 3] = quad;
            __m128i msg = _mm_add_epi32(
                quad, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
        }
        abef = _mm_add_epi32(abef, abef_saved);
        cdgh = _mm_add_epi32(cdgh, cdgh_saved);
    }

    tmp = _mm_shuffle_epi32(abef, 0x1B);      // FEBA
    cdgh = _mm_shuffle_epi32(cdgh, 0xB1);     // DCHG
    abef = _mm_blend_epi16(tmp, cdgh, 0xF0);  // DCBA
    cdgh = _mm_alignr_epi8(cdgh, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), cdgh);
}

#endif

CompressFn best_compress() noexcept {
#if QUELBIN_SHA256_X86
    static const CompressFn chosen =
        cpu_has_sha_extensions() ? &sha256_compress_shani : &sha256_compress;
    return chosen;
#else
    return &sha256_compress;
#endif
}

std::string digest_hex(const void* data, std::size_t size, CompressFn compress) {
    std::uint32_t state[8];
    std::memcpy(state, kInitialState, sizeof state);
    const auto* bytes = static_cast<const unsigned char*>(data);
    // Whole blocks straight from the input, then the tail with the padding: a
    // 0x80 byte, zeros up to 56 mod 64, and the bit length as big-endian u64.
    const std::size_t whole = size / 64;
    if (whole > 0) compress(state, bytes, whole);
    const std::size_t tail = size % 64;
    unsigned char last[128] = {};
    if (tail > 0) std::memcpy(last, bytes + whole * 64, tail);
    last[tail] = 0x80;
    const std::size_t padded = tail < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i) last[padded - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(state, last, padded / 64);

    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (std::uint32_t word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(digits[(word >> shift) & 0xF]);
    }
    return hex;
}

}  // namespace

std::string sha256_hex(const void* data, std::size_t size) {
    return digest_hex(data, size, best_compress());
}

std::string sha256_hex_portable(const void* data, std::size_t size) {
    return digest_hex(data, size, &sha256_compress);
}

bool sha256_uses_hardware() noexcept {
    return best_compress() != &sha256_compress;
}

}  // namespace quelbin::detail
