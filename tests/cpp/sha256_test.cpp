// SHA-256: the standard's examples, padding boundaries and random buffers
// against Python's hashlib, for both the dispatching and the portable code.
#include <gtest/gtest.h>

#include "model/sha256.hpp"

#include "fixtures.hpp"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using quelbin::detail::sha256_hex;
using quelbin::detail::sha256_hex_portable;

using HashFn = std::string (*)(const void*, std::size_t);
const HashFn kImplementations[] = {&sha256_hex, &sha256_hex_portable};

std::string hash(HashFn fn, const std::string& s) { return fn(s.data(), s.size()); }

TEST(Sha256, PublishedExamples) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Padding boundaries: 55 bytes fit one block, 56 and 63 need a second, 64 is whole.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (HashFn fn : kImplementations) {
        for (const auto& c : cases) {
            EXPECT_EQ(hash(fn, c.input), c.digest) << "length " << c.input.size();
        }
    }
    // A null pointer with length 0 is never read.
    EXPECT_EQ(sha256_hex(nullptr, 0), cases[0].digest);
    EXPECT_EQ(sha256_hex_portable(nullptr, 0), cases[0].digest);
}

TEST(Sha256, MatchesHashlibOnRandomBuffers) {
    std::ifstream in(quelbin::testing::fixture_path("sha256_vectors", "vectors.bin"), std::ios::binary);
    ASSERT_TRUE(in) << "fixture missing";
    std::size_t count = 0;
    std::vector<unsigned char> data;
    for (;;) {
        std::uint32_t n = 0;
        if (!in.read(reinterpret_cast<char*>(&n), 4)) break;
        // An exact-size heap buffer, so that any over-read shows under the sanitizers.
        data.assign(n, 0);
        std::unique_ptr<unsigned char[]> exact(new unsigned char[n == 0 ? 1 : n]);
        in.read(reinterpret_cast<char*>(exact.get()), n);
        char digest[64];
        in.read(digest, 64);
        ASSERT_TRUE(in);
        const std::string expected(digest, 64);
        for (HashFn fn : kImplementations) {
            EXPECT_EQ(fn(exact.get(), n), expected) << "length " << n;
        }
        // The same bytes at an odd address (unaligned loads).
        std::vector<unsigned char> shifted(n + 1);
        std::memcpy(shifted.data() + 1, exact.get(), n);
        EXPECT_EQ(sha256_hex(shifted.data() + 1, n), expected) << "length " << n;
        ++count;
    }
    EXPECT_EQ(count, 306u);
}

TEST(Sha256, DigestIsLowercaseHex) {
    for (HashFn fn : kImplementations) {
        for (int n = 0; n < 40; ++n) {
            const std::string input(n, static_cast<char>(0xF0 + n % 16));
            const std::string digest = hash(fn, input);
            ASSERT_EQ(digest.size(), 64u);
            for (char c : digest) {
                EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << digest;
            }
        }
    }
}

}  // namespace
