// The BiLSTM recurrence on its own: forward_projected over random weights and
// projections, for each kernel this CPU runs and a few batch sizes, one thread.
// Prints multiply-adds per second of the recurrent product (16 H^2 per step of
// a sequence, both directions) and nanoseconds per sequence step.
//
//   bilstm_bench [hidden (64)] [steps (1000)] [repeat (5)]
#include "kernels/bilstm.hpp"

#include <ATen/Parallel.h>
#include <ATen/ops/randn.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using quelbin::detail::BiLstm;
    using quelbin::detail::LstmKernel;
    const std::int64_t hidden = argc > 1 ? std::stoll(argv[1]) : 64;
    const std::int64_t steps = argc > 2 ? std::stoll(argv[2]) : 1000;
    const int repeat = argc > 3 ? std::max(1, std::stoi(argv[3])) : 5;
    at::set_num_threads(1);
    c10::InferenceMode guard;
    at::manual_seed(1);
    std::vector<at::Tensor> weights;
    for (int direction = 0; direction < 2; ++direction) {
        weights.push_back(at::randn({4 * hidden, 8}).mul_(0.3));
        weights.push_back(at::randn({4 * hidden, hidden}).mul_(0.3 / std::sqrt(hidden)));
        weights.push_back(at::randn({4 * hidden}).mul_(0.1));
        weights.push_back(at::randn({4 * hidden}).mul_(0.1));
    }
    for (const LstmKernel kernel : quelbin::detail::available_lstm_kernels()) {
        const BiLstm lstm(weights, kernel);
        for (const std::int64_t batch : {1, 2, 4, 8, 16, 64}) {
            const at::Tensor projection = at::randn({batch, steps, 8 * hidden});
            double best = 1e300;
            for (int i = 0; i < repeat; ++i) {
                const auto start = std::chrono::steady_clock::now();
                lstm.forward_projected(projection);
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            const double sequence_steps = 2.0 * static_cast<double>(batch * steps);
            std::printf("%-8s batch %ld: %6.1f G multiply-adds/s, %6.1f ns per sequence step\n",
                        kernel == LstmKernel::avx512 ? "avx512" : "portable", static_cast<long>(batch),
                        sequence_steps * 4.0 * static_cast<double>(hidden * hidden) / best / 1e9,
                        best / sequence_steps * 1e9);
        }
    }
    return 0;
}
