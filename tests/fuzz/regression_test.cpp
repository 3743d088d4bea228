// Replays every kept fuzz input (tests/fuzz/regressions/<target>/, inputs that
// once found a fault, and the seed corpora tests/fuzz/corpus/<target>/)
// through the target's entry function in the ordinary test run.
#include <gtest/gtest.h>

#include "harness.hpp"
#include "targets.hpp"

#include <filesystem>

namespace quelbin::fuzz {
namespace {

TEST(FuzzReplay, KeptInputsPassEveryTarget) {
    const fs::path source = QUELBIN_FUZZ_SOURCE_DIR;
    std::size_t replayed = 0;
    for (const Target& target : engine_targets()) {
        for (const char* kept : {"regressions", "corpus"}) {
            const fs::path dir = source / kept / target.name;
            if (!fs::is_directory(dir)) continue;
            for (const auto& file : fs::directory_iterator(dir)) {
                EXPECT_EQ(target.run(read_file(file.path())), "") << file.path();
                ++replayed;
            }
        }
        EXPECT_TRUE(fs::is_directory(source / "corpus" / target.name)) << "no seeds for " << target.name;
    }
    EXPECT_GT(replayed, engine_targets().size());
}

TEST(FuzzReplay, PartsSplitAtTheSeparator) {
    const std::vector<std::string_view> three = split_parts("a\n====\nb\n====\nc\n====\nd", 3);
    EXPECT_EQ(three, (std::vector<std::string_view>{"a", "b", "c\n====\nd"}));
    const std::vector<std::string_view> padded = split_parts("only", 3);
    EXPECT_EQ(padded, (std::vector<std::string_view>{"only", "", ""}));
}

}  // namespace
}  // namespace quelbin::fuzz
