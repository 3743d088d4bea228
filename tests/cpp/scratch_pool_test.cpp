// Leases of a scratch pool: never one buffer to two holders, a returned
// buffer serves the next lease, and a lease larger than the buffer gets a new
// one. A workspace hands a buffer out again only once nothing refers to it.
#include "kernels/scratch_pool.hpp"
#include "kernels/workspace.hpp"

#include <ATen/ops/ones.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using quelbin::detail::ScratchPool;
using quelbin::detail::Workspace;

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

// A released buffer serves the next request that fits, the smallest that
// does; one still referred to, even through a view, is never handed out; a
// request larger than every free buffer replaces the largest of them.
TEST(Workspace, ReusesOnlyBuffersNothingRefersTo) {
    Workspace workspace;
    const float* big = nullptr;
    const float* small = nullptr;
    {
        const at::Tensor a = workspace.take({100, 10});
        const at::Tensor b = workspace.take({10, 10});
        EXPECT_EQ(a.sizes(), at::IntArrayRef({100, 10}));
        EXPECT_TRUE(a.is_contiguous());
        big = a.const_data_ptr<float>();
        small = b.const_data_ptr<float>();
    }
    const at::Tensor fits_small = workspace.take({50});
    EXPECT_EQ(fits_small.const_data_ptr<float>(), small);
    at::Tensor kept = workspace.take({2, 25}).fill_(7.0f);
    EXPECT_EQ(kept.const_data_ptr<float>(), big);
    const at::Tensor view = kept.narrow(0, 1, 1);
    kept = at::Tensor();
    // The view still holds the big buffer: a new one, and the view's values stay.
    const at::Tensor other = workspace.take({2, 25}).fill_(1.0f);
    EXPECT_NE(other.const_data_ptr<float>(), big);
    EXPECT_TRUE(view.equal(at::ones({1, 25}).mul_(7.0f)));
}

TEST(Workspace, GrowsAFreeBufferRatherThanAddingOne) {
    Workspace workspace;
    for (const std::int64_t n : {10, 1000, 100, 100000, 5}) {
        const at::Tensor t = workspace.take({n}).fill_(static_cast<float>(n));
        // One buffer in all: each request finds the single one free, grown as needed.
        EXPECT_EQ(t.numel(), n);
        EXPECT_EQ(t[n - 1].item<float>(), static_cast<float>(n));
    }
    const at::Tensor first = workspace.take({100000});
    const at::Tensor second = workspace.take({100000});
    EXPECT_NE(first.const_data_ptr<float>(), second.const_data_ptr<float>());
}

}  // namespace
