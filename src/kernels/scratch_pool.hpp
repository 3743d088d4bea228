// Scratch shared by the tasks of one call. A task leases an item no running
// task holds and returns it when done, so a call maps and touches fresh pages
// for as many items as tasks run at once rather than once per task (first
// touches of fresh pages cost about as much as the work on them). A leased
// item keeps what an earlier task left in it: callers read only what they
// wrote.
#pragma once

#include "kernels/parallel_tasks.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace quelbin::detail {

template <class Item>
class LeasePool {
public:
    class Lease {
    public:
        explicit Lease(LeasePool& pool) : pool_(pool) {
            {
                const std::lock_guard<std::mutex> lock(pool_.mutex_);
                if (!pool_.free_.empty()) {
                    item_ = std::move(pool_.free_.back());
                    pool_.free_.pop_back();
                }
            }
            if (item_ == nullptr) item_ = std::make_unique<Item>();
        }
        ~Lease() {
            try {
                const std::lock_guard<std::mutex> lock(pool_.mutex_);
                pool_.free_.push_back(std::move(item_));
            } catch (...) {
                // Out of memory for the list: the item is released instead.
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        Item& operator*() { return *item_; }
        Item* operator->() { return item_.get(); }

    private:
        LeasePool& pool_;
        std::unique_ptr<Item> item_;
    };

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Item>> free_;
};

// Leases of flat buffers of at least a given size.
template <class T>
class ScratchPool : public LeasePool<TaskBuffer<T>> {
public:
    class Lease {
    public:
        // At least `size` elements.
        Lease(ScratchPool& pool, std::size_t size) : lease_(pool) {
            if (lease_->size() < size) {
                // A fresh buffer rather than a grown one: nothing to copy.
                TaskBuffer<T>().swap(*lease_);
                lease_->resize(size);
            }
        }

        T* data() { return lease_->data(); }

    private:
        typename LeasePool<TaskBuffer<T>>::Lease lease_;
    };
};

}  // namespace quelbin::detail
