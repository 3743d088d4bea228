// Leases of a scratch pool: never one buffer to two holders, a returned
// buffer serves the next lease, and a lease larger than the buffer gets a new one.
#include "kernels/scratch_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using quelbin::detail::ScratchPool;

TEST(ScratchPool, LeasesAreExclusiveAndReused) {
    ScratchPool<float> pool;
    float* first = nullptr;
    {
        ScratchPool<float>::Lease a(pool, 1000);
        ScratchPool<float>::Lease b(pool, 1000);
        EXPECT_NE(a.data(), b.data());
        a.data()[999] = 1.0f;
        b.data()[999] = 2.0f;
        EXPECT_EQ(a.data()[999], 1.0f);
        first = a.data();
    }
    {
        // The buffer returned last (a's, destroyed after b's) comes back
        // first, its contents kept.
        ScratchPool<float>::Lease again(pool, 500);
        EXPECT_EQ(again.data(), first);
        EXPECT_EQ(again.data()[999], 1.0f);
    }
    ScratchPool<float>::Lease larger(pool, 1 << 20);
    larger.data()[(1 << 20) - 1] = 3.0f;  // the whole size is there (AddressSanitizer checks)
    EXPECT_EQ(larger.data()[(1 << 20) - 1], 3.0f);
}

// Threads leasing at once each write their own mark through the buffer and
// find it intact: no buffer is held twice.
TEST(ScratchPool, ConcurrentLeasesNeverShareABuffer) {
    ScratchPool<int> pool;
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                ScratchPool<int>::Lease lease(pool, 256);
                for (int i = 0; i < 256; ++i) lease.data()[i] = t;
                std::this_thread::yield();
                for (int i = 0; i < 256; ++i) {
                    if (lease.data()[i] != t) ++clashes;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(clashes.load(), 0);
}

}  // namespace
