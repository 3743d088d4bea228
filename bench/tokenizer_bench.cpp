// Native side of bench/tokenizer.py: times the tokenizer's features alone,
// TokenizerPlan::process and TokenizerPlan::process_bulk over one text file and
// prints one JSON line with characters per second and the peak resident memory.
//
//   tokenizer_bench <bundle_dir> <text_file> <threads (0 keeps ATen's default)> <repeat> [parts]
//
// With a fifth argument only the parts it names run (e.g. "process" for
// profiling, "process,bulk"); the others report 0.
#include "tokenize/char_units.hpp"
#include "tokenize/features.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <quelbin/document.hpp>
#include <quelbin/tokenizer.hpp>

#include <ATen/Parallel.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class F>
double best_of(int repeat, F&& work) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, seconds_since(start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::cerr << "usage: tokenizer_bench <bundle_dir> <text_file> <threads> <repeat> [parts]\n";
        return 2;
    }
    const std::string only = argc == 6 ? argv[5] : "";
    const int threads = std::stoi(argv[3]);
    const int repeat = std::max(1, std::stoi(argv[4]));
    if (threads > 0) at::set_num_threads(threads);
    const auto timed = [&](const char* part, auto&& work) {
        return only.empty() || only.find(part) != std::string::npos ? best_of(repeat, work) : 0.0;
    };
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();

    const quelbin::TokenizerPlan plan(argv[1], false);
    const quelbin::TokenizerPlan::Impl impl(argv[1], false);
    const quelbin::Document input(text);
    const double characters = static_cast<double>(input.codepoint_count());

    std::size_t units = 0;
    const double features = timed("features", [&] {
        units = 0;
        for (const auto& paragraph : quelbin::detail::split_paragraphs(text, impl.skip_newline)) {
            units += quelbin::detail::compute_unit_features(impl, paragraph).size();
        }
    });
    std::uint64_t tokens = 0;
    const double process = timed("process", [&] { tokens = plan.process(input).num_tokens(); });
    // The text cut into documents of about 2000 characters at paragraph breaks.
    std::vector<quelbin::Document> documents;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\n\n", std::min(text.size(), start + 2000));
        end = end == std::string::npos ? text.size() : end + 2;
        documents.emplace_back(text.substr(start, end - start));
        start = end;
    }
    std::uint64_t bulk_tokens = 0;
    const double bulk = timed("bulk", [&] {
        bulk_tokens = 0;
        for (const auto& document : plan.process_bulk(documents)) bulk_tokens += document.num_tokens();
    });

    // Parts that did not run report 0.
    const auto rate = [&](double seconds) { return seconds > 0 ? characters / seconds : 0.0; };
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "{\"threads\": " << at::get_num_threads() << ", \"characters\": " << characters
              << ", \"feature_values\": " << units << ", \"tokens\": " << tokens
              << ", \"bulk_tokens\": " << bulk_tokens << ", \"bulk_documents\": " << documents.size()
              << ", \"features_chars_per_s\": " << rate(features)
              << ", \"process_chars_per_s\": " << rate(process)
              << ", \"bulk_chars_per_s\": " << rate(bulk)
              << ", \"process_seconds\": " << process << ", \"peak_rss_mb\": " << usage.ru_maxrss / 1024.0
              << "}" << std::endl;
    return 0;
}
