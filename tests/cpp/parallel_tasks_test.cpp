// The task runner: every task once, tasks sharing the pool, the first
// failing task's error, no task started after a failure, and single-threaded
// products inside a task.
#include "kernels/parallel_tasks.hpp"

#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// MKL's thread count for the calling thread, when libtorch carries MKL.
extern "C" int MKL_Get_Max_Threads() __attribute__((weak));

namespace quelbin::detail {
namespace {

// Sets ATen's thread count for one test and restores it after.
class AtenThreads {
public:
    explicit AtenThreads(int threads) : previous_(at::get_num_threads()) { at::set_num_threads(threads); }
    ~AtenThreads() { at::set_num_threads(previous_); }

private:
    int previous_;
};

TEST(RunTasks, RunsEveryTaskExactlyOnce) {
    for (const int threads : {1, 2, 4}) {
        const AtenThreads pool(threads);
        for (const std::size_t count : {0, 1, 3, 1000}) {
            std::vector<std::atomic<int>> runs(count);
            run_tasks(count, [&](std::size_t i) { ++runs[i]; });
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(runs[i].load(), 1) << threads << " threads, " << count << " tasks, task " << i;
            }
        }
    }
}

TEST(RunTasks, TasksShareThePoolAndStaySingleThreadedInside) {
    const AtenThreads pool(2);
    // Each of the two tasks waits for the other to start: they can only both
    // finish when they run at the same time.
    std::atomic<int> started{0};
    std::atomic<bool> met{true};
    std::mutex mutex;
    std::set<std::thread::id> nested_threads;
    std::vector<int> mkl_threads;
    run_tasks(2, [&](std::size_t) {
        ++started;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (started.load() < 2) {
            if (std::chrono::steady_clock::now() > deadline) {
                met = false;
                break;
            }
            std::this_thread::yield();
        }
        EXPECT_TRUE(at::in_parallel_region());
        // Work split again inside a task stays on the task's thread.
        run_tasks(4, [&](std::size_t) {
            const std::lock_guard<std::mutex> lock(mutex);
            nested_threads.insert(std::this_thread::get_id());
        });
        if (MKL_Get_Max_Threads != nullptr) {
            const std::lock_guard<std::mutex> lock(mutex);
            mkl_threads.push_back(MKL_Get_Max_Threads());
        }
    });
    EXPECT_TRUE(met) << "the two tasks did not run at the same time";
    EXPECT_EQ(nested_threads.size(), 2u);
    for (const int count : mkl_threads) EXPECT_EQ(count, 1);

    // One task runs on the caller, where ATen and MKL see one thread; the
    // caller's counts come back after.
    std::set<std::thread::id> single;
    run_tasks(1, [&](std::size_t) {
        single.insert(std::this_thread::get_id());
        EXPECT_EQ(at::get_num_threads(), 1);
        if (MKL_Get_Max_Threads != nullptr) EXPECT_EQ(MKL_Get_Max_Threads(), 1);
    });
    EXPECT_EQ(single, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(at::get_num_threads(), 2);
    if (MKL_Get_Max_Threads != nullptr) EXPECT_EQ(MKL_Get_Max_Threads(), 2);
}

TEST(RunTasks, RethrowsTheFirstFailingTasksError) {
    for (const int threads : {1, 2, 4}) {
        const AtenThreads pool(threads);
        std::vector<std::atomic<int>> runs(200);
        try {
            run_tasks(runs.size(), [&](std::size_t i) {
                ++runs[i];
                if (i == 37 || i == 38 || i == 150) throw std::runtime_error(std::to_string(i));
            });
            ADD_FAILURE() << threads << " threads: no error";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "37") << threads << " threads";
        }
        for (std::size_t i = 0; i < 37; ++i) EXPECT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
    }
}

TEST(RunTasks, KeepsTheLowestFailureWhateverItsTimeAndStartsNothingAfter) {
    // On two threads task 0 fails only once task 1's exception is on its way,
    // so the higher task fails first; on one thread task 0 fails first and
    // task 1 never starts. Either way the error is task 0's and no task after
    // the failures starts. Several rounds, since the order in which the
    // runner records the two errors is up to the threads.
    for (const int threads : {1, 2}) {
        const AtenThreads pool(threads);
        for (int round = 0; round < 20; ++round) {
            std::vector<std::atomic<int>> runs(50);
            std::mutex mutex;
            std::condition_variable changed;
            bool one_thrown = false;
            bool met = true;
            struct OnUnwind {
                std::function<void()> done;
                ~OnUnwind() { done(); }
            };
            std::string error;
            try {
                run_tasks(runs.size(), [&](std::size_t i) {
                    ++runs[i];
                    if (i == 1) {
                        const OnUnwind signal{[&] {
                            const std::lock_guard<std::mutex> lock(mutex);
                            one_thrown = true;
                            changed.notify_all();
                        }};
                        throw std::runtime_error("1");
                    }
                    if (i == 0 && threads > 1) {
                        // Task 1 runs on the other thread; the deadline only
                        // keeps a pool that runs one task at a time from hanging.
                        std::unique_lock<std::mutex> lock(mutex);
                        met = changed.wait_for(lock, std::chrono::seconds(60), [&] { return one_thrown; });
                    }
                    if (i == 0) throw std::runtime_error("0");
                });
            } catch (const std::runtime_error& thrown) {
                error = thrown.what();
            }
            ASSERT_TRUE(met) << "tasks 0 and 1 did not run at the same time";
            ASSERT_EQ(error, "0") << threads << " threads, round " << round;
            for (std::size_t i = 0; i < runs.size(); ++i) {
                ASSERT_EQ(runs[i].load(), i == 0 || (i == 1 && threads > 1) ? 1 : 0)
                    << threads << " threads, round " << round << ", task " << i;
            }
        }
    }
}

TEST(GroupByWeight, CutsConsecutiveGroupsOfAtLeastTheWeight) {
    struct Case {
        std::vector<std::size_t> weights;
        std::size_t per_group;
        std::vector<std::size_t> bounds;
    };
    const std::vector<Case> cases = {
        {{}, 10, {0}},
        {{3}, 10, {0, 1}},
        {{5, 5, 5, 5, 5}, 10, {0, 2, 4, 5}},
        {{20, 1, 1, 20}, 10, {0, 1, 4}},
        {{0, 0, 10, 0}, 10, {0, 3, 4}},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const Case& row = cases[c];
        EXPECT_EQ(group_by_weight(row.weights.size(), row.per_group, [&](std::size_t i) { return row.weights[i]; }),
                  row.bounds)
            << "case " << c;
    }
}

}  // namespace
}  // namespace quelbin::detail
