// Batched greedy decoding of a word list with a sequence-to-sequence bundle;
// driven by bench/seq2seq_greedy.py, which compares it with the eager PyTorch
// reference.
//
//   build/bench/seq2seq_greedy_bench <bundle dir> <words file> [repeat] [threads] [--texts]
//
// threads: ATen threads, 1 by default, 0 for ATen's default count.
// The words file holds one "word<TAB>tag" per line. Prints one JSON object: the
// best time over the repeats, words per second and the peak resident memory;
// with --texts, then the predicted text of each word on its own line.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <ATen/Parallel.h>

#include "quelbin/seq2seq.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " <bundle dir> <words file> [repeat] [threads] [--texts]\n";
        return 2;
    }
    const bool print_texts = std::string(argv[argc - 1]) == "--texts";
    const int positional = print_texts ? argc - 1 : argc;
    const int repeat = positional > 3 ? std::max(1, std::stoi(argv[3])) : 3;
    const int threads = positional > 4 ? std::stoi(argv[4]) : 1;
    if (threads > 0) at::set_num_threads(threads);

    std::vector<std::string> words;
    std::vector<std::optional<std::string>> tags;
    std::ifstream in(argv[2], std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        words.push_back(line.substr(0, tab));
        if (tab == std::string::npos) tags.emplace_back();
        else tags.emplace_back(line.substr(tab + 1));
    }

    const quelbin::Seq2SeqPlan plan(argv[1], false);
    double best = 1e300;
    std::size_t characters = 0;
    std::vector<quelbin::Seq2SeqPrediction> out;
    for (int r = 0; r < repeat; ++r) {
        const auto start = std::chrono::steady_clock::now();
        out = plan.predict_many(words, tags, 1, false);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        characters = 0;
        for (const auto& p : out) characters += p.text.size();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("{\"threads\": %d, \"seconds\": %.6f, \"words_per_second\": %.1f, \"peak_rss_kb\": %ld, "
                "\"output_bytes\": %zu}\n",
                at::get_num_threads(), best, static_cast<double>(words.size()) / best, usage.ru_maxrss, characters);
    if (print_texts) {
        for (const auto& p : out) std::printf("%s\n", p.text.c_str());
    }
    return 0;
}
