// Coarse-grained parallel work over ATen's intra-op thread pool.
//
// Bulk work is split into independent tasks whose grouping depends only on the
// input, never on the thread count; each task runs on one thread with every
// ATen operator and BLAS product inside it single-threaded. Results are then
// the same, bit for bit, at every thread count, and a busy machine costs one
// parallel region per call instead of one per small product.
#pragma once

#include <c10/util/FunctionRef.h>

#include <cstddef>
#include <vector>

namespace quelbin::detail {

// Runs task(0), ..., task(count - 1), each exactly once. With more than one
// task and more than one ATen thread, the tasks are shared out over the pool
// (each thread takes the next task not yet started, so a slow thread holds
// back no other); otherwise they run in order on the calling thread. Inside a
// task, ATen operators and BLAS products open no parallel region of their own,
// and the caller's autograd and inference-mode settings hold. When tasks
// throw, the exception of the first of them in index order is rethrown (the
// one a run in order meets) once every started task has finished; tasks not
// yet started then do not start.
void run_tasks(std::size_t count, c10::function_ref<void(std::size_t)> task);

// While it lives, the calling thread runs as a single task: its ATen
// operators and BLAS products open no parallel region. For work that cannot
// be split, e.g. one word or one paragraph.
class SerialScope {
public:
    SerialScope();
    ~SerialScope();
    SerialScope(const SerialScope&) = delete;
    SerialScope& operator=(const SerialScope&) = delete;

private:
    int previous_openmp_ = 1;
    int previous_mkl_ = 0;
};

// Cuts items 0..count-1, in order, into consecutive groups of at least
// `weight_per_group` total weight (the last group may weigh less); returns the
// first item of each group followed by count. Depends only on the weights.
template <class Weight>
std::vector<std::size_t> group_by_weight(std::size_t count, std::size_t weight_per_group, Weight&& weight) {
    std::vector<std::size_t> bounds{0};
    std::size_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += weight(i);
        if (sum >= weight_per_group && i + 1 < count) {
            bounds.push_back(i + 1);
            sum = 0;
        }
    }
    if (count > 0) bounds.push_back(count);
    return bounds;
}

// Allocates whole pages straight from the system and returns them on release.
// For the large scratch buffers of tasks: freed heap memory would stay in the
// heap of whichever pool thread ran the task, out of reach of the others.
void* map_pages(std::size_t bytes);
void unmap_pages(void* data, std::size_t bytes) noexcept;

template <class T>
struct PageAllocator {
    using value_type = T;
    PageAllocator() = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(map_pages(n * sizeof(T))); }
    void deallocate(T* data, std::size_t n) noexcept { unmap_pages(data, n * sizeof(T)); }
    template <class U>
    bool operator==(const PageAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const PageAllocator<U>&) const noexcept { return false; }
};

// A task's scratch buffer.
template <class T>
using TaskBuffer = std::vector<T, PageAllocator<T>>;

}  // namespace quelbin::detail
