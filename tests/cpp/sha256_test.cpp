// SHA-256, the dispatching and the portable code, against Python's hashlib and
// in its incremental form.
#include <gtest/gtest.h>

#include "model/sha256.hpp"

#include "fixtures.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using HashFn = std::string (*)(const void*, std::size_t);
const HashFn kImplementations[] = {&quelbin::detail::sha256_hex,
                                   &quelbin::detail::sha256_hex_portable};

TEST(Sha256, MatchesHashlibOnRandomBuffers) {
    std::ifstream in(quelbin::testing::fixture_path("sha256_vectors", "vectors.bin"),
                     std::ios::binary);
    std::size_t count = 0;
    for (std::uint32_t n = 0; in.read(reinterpret_cast<char*>(&n), 4); ++count) {
        // At an odd address (unaligned loads), ending where the buffer ends.
        std::vector<unsigned char> bytes(n + 1);
        in.read(reinterpret_cast<char*>(bytes.data() + 1), n);
        std::string digest(64, ' ');
        in.read(digest.data(), 64);
        for (HashFn fn : kImplementations) EXPECT_EQ(fn(bytes.data() + 1, n), digest) << n;
    }
    EXPECT_EQ(count, 306u);
}

// Pieces of any size, empty ones and ones straddling blocks among them, give the
// one-shot digest of either implementation; an empty input comes as a null pointer.
TEST(Sha256, IncrementalMatchesOneShot) {
    std::mt19937 rng(12345);
    for (std::size_t n : {0u, 55u, 56u, 64u, 65u, 128u, 1000u, 4097u}) {
        std::vector<unsigned char> bytes(n);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        const unsigned char* data = n ? bytes.data() : nullptr;
        const std::string expected = quelbin::detail::sha256_hex_portable(data, n);
        EXPECT_EQ(quelbin::detail::sha256_hex(data, n), expected);
        for (int trial = 0; trial < 20; ++trial) {
            quelbin::detail::Sha256 hasher;
            for (std::size_t at = 0, piece = 0; at < n; at += piece) {
                piece = std::min<std::size_t>(n - at, rng() % 130);
                hasher.update(bytes.data() + at, piece);
            }
            EXPECT_EQ(hasher.hex_digest(), expected) << "length " << n;
        }
    }
}

}  // namespace
