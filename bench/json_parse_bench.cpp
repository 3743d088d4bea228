// Parse throughput of the engine's JSON reader on one file: best of N runs,
// file reading excluded. Usage: json_parse_bench FILE [RUNS]
#include "model/json.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string text = quelbin::detail::load_text_file(argv[1]);
    double best = 1e300;
    std::size_t members = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const quelbin::detail::JsonValue value = quelbin::detail::parse_json(text);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        members = value.is_object() ? value.as_object("").size() : 0;
        if (elapsed.count() < best) best = elapsed.count();
    }
    std::printf("%.4f %zu\n", best, members);  // seconds, top-level members
    return 0;
}
