// Compiled with OpenMP (see CMakeLists.txt): ATen's parallel_for is a header
// template that runs over its OpenMP pool only when the caller is built so.
#include "kernels/parallel_tasks.hpp"

#include <ATen/Parallel.h>
#include <ATen/ThreadLocalState.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>

#include <sys/mman.h>

// MKL's per-thread thread count, exported by libtorch when ATen is built with
// MKL (absent otherwise, then the reference stays null). ATen sets it to the
// pool size when a thread first uses the pool and never lowers it inside its
// own regions, so a product called from a task would open a nested region.
extern "C" int MKL_Set_Num_Threads_Local(int) __attribute__((weak));

namespace quelbin::detail {

// Outside a parallel region ATen's operators, oneDNN and MKL open regions as
// wide as the calling thread's OpenMP and MKL thread counts; the scope sets
// both to one for this thread only (the pool and other threads keep theirs)
// and puts them back after. Inside a region ATen's operators already run
// inline and MKL's count goes to one.
SerialScope::SerialScope() {
    // ATen sets both counts the first time a thread uses the pool (libtorch
    // and this library each keep their own flag for it): done first, so that
    // it cannot undo the settings below.
    at::internal::lazy_init_num_threads();
    (void)at::get_num_threads();
    previous_openmp_ = omp_get_max_threads();
    omp_set_num_threads(1);
    if (MKL_Set_Num_Threads_Local != nullptr) previous_mkl_ = MKL_Set_Num_Threads_Local(1);
}

SerialScope::~SerialScope() {
    if (MKL_Set_Num_Threads_Local != nullptr) MKL_Set_Num_Threads_Local(previous_mkl_);
    omp_set_num_threads(previous_openmp_);
}

void* map_pages(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    return data;
}

void unmap_pages(void* data, std::size_t bytes) noexcept {
    if (data != nullptr) munmap(data, bytes);
}

void run_tasks(std::size_t count, c10::function_ref<void(std::size_t)> task) {
    if (count == 0) return;
    at::internal::lazy_init_num_threads();
    const std::size_t threads =
        at::in_parallel_region() ? 1 : static_cast<std::size_t>(std::max(1, at::get_num_threads()));
    const std::size_t workers = std::min(count, threads);
    if (workers <= 1) {
        SerialScope scope;
        for (std::size_t i = 0; i < count; ++i) task(i);
        return;
    }

    const at::ThreadLocalState caller;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::size_t error_task = count;
    std::mutex error_mutex;
    // One chunk per worker; each worker then takes tasks in order until none is left.
    at::parallel_for(0, static_cast<std::int64_t>(workers), 1, [&](std::int64_t first, std::int64_t last) {
        const at::ThreadLocalStateGuard state(caller);
        SerialScope scope;
        for (std::int64_t worker = first; worker < last; ++worker) {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
                if (i >= count) break;
                try {
                    task(i);
                } catch (...) {
                    // Tasks start in order, so every task before this one has
                    // started and finishes: the error kept, that of the first
                    // failing task, is the one a serial run meets.
                    const std::lock_guard<std::mutex> lock(error_mutex);
                    if (i < error_task) {
                        error = std::current_exception();
                        error_task = i;
                    }
                    failed.store(true, std::memory_order_relaxed);
                }
            }
        }
    });
    if (error) std::rethrow_exception(error);
}

}  // namespace quelbin::detail
