// The fuzz targets' entry functions, by name. Each takes one input and returns
// "" when the code under test returned or failed with its own error, else a
// description of the fault. The libFuzzer driver aborts on a fault; the
// regression test replays the kept inputs through the same functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelbin::fuzz {

using Entry = std::string (*)(std::string_view data);

struct Target {
    const char* name;
    Entry run;
};

// Every target of the engine's own sources (the dictionary-form target, which
// embeds the interpreter, is built on its own).
const std::vector<Target>& engine_targets();
Entry find_target(std::string_view name);

// Bundles, model indexes and loaders (targets/bundle_targets.cpp).
std::string fuzz_model_bundle(std::string_view data);
std::string fuzz_model_index(std::string_view data);
std::string fuzz_loader(std::string_view kind, std::string_view data);

// Text paths (targets/text_targets.cpp).
std::string fuzz_json(std::string_view data);
std::string fuzz_tokenize_text(std::string_view data);
std::string fuzz_wordpiece(std::string_view data);
std::string fuzz_byte_bpe(std::string_view data);
std::string fuzz_unigram(std::string_view data);

}  // namespace quelbin::fuzz
