// The count of calls under way without the interpreter lock, and the exit
// handler that waits for them (see unlocked.hpp).
#include "unlocked.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quelbin::python {
namespace {

struct UnlockedCalls {
    std::mutex mutex;
    std::condition_variable done;
    std::condition_variable never;  // parked threads wait on it for good
    std::uint64_t under_way = 0;
    bool closing = false;
    std::thread::id exiting;  // the thread that ran the exit handler
};

// Never destroyed: parked threads still wait on it while the process exits. A
// forked child gets a new one, since the parent's other threads, and their
// calls, are not in it.
UnlockedCalls* calls = new UnlockedCalls;

void renew_after_fork() noexcept { calls = new UnlockedCalls; }

[[noreturn]] void park(std::unique_lock<std::mutex>& lock) {
    for (;;) calls->never.wait(lock);
}

bool other_threads_alive() {
    PyThreadState* self = PyThreadState_Get();
    for (PyThreadState* t = PyInterpreterState_ThreadHead(self->interp); t; t = PyThreadState_Next(t)) {
        if (t != self) return true;
    }
    return false;
}

// Runs before finalisation: no call of another thread starts from now on, and
// the ones under way end before this returns. The exiting thread itself goes on
// calling (later exit handlers, finalisers): the interpreter never ends it.
// Objects that other threads still hold are never released, so the binding
// library's leak report would only list them.
void wait_for_calls() {
    {
        std::lock_guard lock(calls->mutex);
        calls->closing = true;
        calls->exiting = std::this_thread::get_id();
    }
    {
        nb::gil_scoped_release release;
        std::unique_lock lock(calls->mutex);
        calls->done.wait(lock, [] { return calls->under_way == 0; });
    }
    if (other_threads_alive()) nb::set_leak_warnings(false);
}

}  // namespace

Unlocked::Unlocked() {
    std::unique_lock lock(calls->mutex);
    if (calls->closing && std::this_thread::get_id() != calls->exiting) {
        PyEval_SaveThread();
        park(lock);
    }
    ++calls->under_way;
    lock.unlock();
    state_ = PyEval_SaveThread();
}

Unlocked::~Unlocked() {
    // The exit handler is still waiting for this call, so finalisation has not begun.
    PyEval_RestoreThread(state_);
    std::lock_guard lock(calls->mutex);
    if (--calls->under_way == 0) calls->done.notify_all();
}

void wait_for_unlocked_calls_at_exit() {
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, renew_after_fork) == 0;
    (void)fork_handler;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(wait_for_calls));
}

}  // namespace quelbin::python
