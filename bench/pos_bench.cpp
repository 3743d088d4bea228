// Phases of the POS tagger's bulk path over the sentences bench/pos.py writes:
// input rows (character model included), highway BiLSTM, heads. One thread.
//   build/bench/pos_bench <dir>   (dir holds bundle/ and sentences.json)
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <chrono>
#include <cstdio>

#include "model/json.hpp"
#include "syntax/pos_impl.hpp"

int main(int argc, char** argv) {
    using namespace quelbin;
    if (argc < 2) {
        std::fprintf(stderr, "usage: pos_bench <dir>\n");
        return 2;
    }
    at::set_num_threads(1);
    const std::filesystem::path dir = argv[1];
    const POSPlan::Impl impl(dir / "bundle", false);
    std::vector<std::vector<std::string>> sentences;
    const detail::JsonValue parsed = detail::load_json(dir / "sentences.json");
    for (const detail::JsonValue& s : parsed.as_array("")) {
        sentences.emplace_back();
        for (const detail::JsonValue& w : s.as_array("")) sentences.back().push_back(w.as_string(""));
    }
    const c10::InferenceMode guard;
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    const auto t0 = Clock::now();
    const auto inputs = detail::embed_pos_sentences(impl, sentences, {}, {});
    const auto t1 = Clock::now();
    const auto encoded = detail::encode_pos_batch(impl, sentences, {}, {});
    const auto t2 = Clock::now();
    const auto tags = detail::classify_pos_batch(impl, encoded, sentences);
    const auto t3 = Clock::now();
    std::printf("{\"inputs\": %.3f, \"encode_with_inputs\": %.3f, \"heads\": %.3f, \"sentences\": %zu}\n",
                seconds(t0, t1), seconds(t1, t2), seconds(t2, t3), tags.size());
}
