// Calls that run without the interpreter lock, and the interpreter's exit.
//
// A thread that takes the lock back after the interpreter began to finalise is
// ended by the interpreter from inside that call, an unwinding that cannot pass
// the binding's frames; a daemon thread inside a long call would so abort the
// whole process at exit. So every such call is counted while it runs, and an
// exit handler (which runs before finalisation begins) waits for the calls under
// way to take the lock back and return. A call that begins after that handler
// ran never starts: its thread releases the lock and sleeps until the process
// ends, as the interpreter would have stopped it anyway.
#pragma once

#include "module.hpp"

namespace quelbin::python {

// Releases the interpreter lock for its lifetime; constructed and destroyed with
// the lock held. Usable as a binding's call guard.
class Unlocked {
public:
    Unlocked();
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

using Release = nb::call_guard<Unlocked>;

// Registers the exit handler that waits for the calls under way.
void wait_for_unlocked_calls_at_exit();

}  // namespace quelbin::python
