// Scratch buffers shared by the tasks of one call. A task leases a buffer no
// running task holds and returns it when done, so a call maps and touches
// fresh pages for as many buffers as tasks run at once rather than once per
// task (first touches of fresh pages cost about as much as the work on them).
// A leased buffer keeps what an earlier task left in it: callers read only
// what they wrote.
#pragma once

#include "kernels/parallel_tasks.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace quelbin::detail {

template <class T>
class ScratchPool {
public:
    class Lease {
    public:
        // At least `size` elements.
        Lease(ScratchPool& pool, std::size_t size) : pool_(pool) {
            {
                const std::lock_guard<std::mutex> lock(pool_.mutex_);
                if (!pool_.free_.empty()) {
                    buffer_ = std::move(pool_.free_.back());
                    pool_.free_.pop_back();
                }
            }
            if (buffer_ == nullptr) buffer_ = std::make_unique<TaskBuffer<T>>();
            if (buffer_->size() < size) {
                // A fresh buffer rather than a grown one: nothing to copy.
                TaskBuffer<T>().swap(*buffer_);
                buffer_->resize(size);
            }
        }
        ~Lease() {
            try {
                const std::lock_guard<std::mutex> lock(pool_.mutex_);
                pool_.free_.push_back(std::move(buffer_));
            } catch (...) {
                // Out of memory for the list: the buffer is released instead.
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        T* data() { return buffer_->data(); }

    private:
        ScratchPool& pool_;
        std::unique_ptr<TaskBuffer<T>> buffer_;
    };

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<TaskBuffer<T>>> free_;
};

}  // namespace quelbin::detail
