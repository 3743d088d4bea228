// Native side of bench/charlm.py: times NativeCharLM::encode_many over a file of
// sentences (one a line, words separated by single spaces) and prints one JSON
// line with characters read per second, multiply-adds per second and the peak
// resident memory.
//
//   charlm_bench <bundle_dir> <sentences_file> <threads (0 keeps ATen's default)> <repeat>
#include "encoders/native_charlm.hpp"
#include "model/json.hpp"

#include <quelbin/model_bundle.hpp>

#include <ATen/Parallel.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: charlm_bench <bundle_dir> <sentences_file> <threads> <repeat>\n";
        return 2;
    }
    const int threads = std::stoi(argv[3]);
    const int repeat = std::max(1, std::stoi(argv[4]));
    if (threads > 0) at::set_num_threads(threads);

    std::vector<std::vector<std::string>> sentences;
    std::ifstream in(argv[2], std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        sentences.emplace_back();
        for (std::string word; std::getline(words, word, ' ');) sentences.back().push_back(word);
    }

    auto bundle = std::make_shared<quelbin::ModelBundle>(argv[1], false);
    const quelbin::detail::JsonValue assets = quelbin::detail::parse_json(bundle->assets_json());
    const quelbin::detail::NativeCharLM model(bundle, "", assets);
    const auto& config = assets.at("config", "");
    const std::int64_t hidden = model.hidden_size();
    const std::int64_t layers = config.at("char_num_layers", "").as_integer("");
    const std::int64_t emb = bundle->tensor("char_emb.weight").shape[1];
    std::int64_t characters = 0;
    for (const auto& words : sentences) characters += static_cast<std::int64_t>(model.char_input(words).ids.size());
    // Multiply-adds of the input and recurrent products per character read.
    const double per_char = 4.0 * hidden * (emb + hidden) + (layers - 1) * 4.0 * hidden * (2.0 * hidden);

    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const auto rows = model.encode_many(sentences);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "{\"threads\": " << at::get_num_threads() << ", \"sentences\": " << sentences.size()
              << ", \"characters\": " << characters << ", \"seconds\": " << best
              << ", \"chars_per_s\": " << characters / best << ", \"gmac_per_s\": " << characters * per_char / best / 1e9
              << ", \"peak_rss_mb\": " << usage.ru_maxrss / 1024.0 << "}\n";
    return 0;
}
