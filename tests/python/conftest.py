import collections.abc
import copy
import functools
import gc
import itertools
import operator
import os
import pathlib
import sys
import threading
import types

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))

# The extension module, the test-only extension and the shared test helpers.
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(BUILD / "tests" / "python"))
sys.path.insert(0, str(ROOT / "tests"))

import bundle_writer  # noqa: E402


def outcome(call):
    """What `call` returns, or the exception it raises as (class, message)."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the row names the class it expects
        return type(error), str(error)


def edit_at(*keys, **changes):
    """A bundle edit that sets keys of the assets object at `keys`, removing those given
    as KeyError."""
    def edit(bundle):
        target = bundle["assets"]
        for key in keys:
            target = target[key]
        for key, value in changes.items():
            target.pop(key) if value is KeyError else target.update({key: value})
    return edit


def edit(path, value=None):
    """A bundle edit that sets the item at a "/"-separated key path, or removes it for None."""
    *parents, key = path.split("/")

    def apply(bundle):
        for parent in parents:
            bundle = bundle[parent]
        bundle.pop(key) if value is None else bundle.update({key: value})
    return apply


def check_refusals(tmp_path, rows, processor, assets, tensors, load):
    """Per row (edit of {"processor", "assets", "tensors"}, error class or None when it
    loads, message), `load` of the edited bundle; returns the last bundle's path."""
    for i, (edit, error, message) in enumerate(rows):
        bundle = {"processor": processor, "assets": copy.deepcopy(assets), "tensors": dict(tensors)}
        edit(bundle)
        path = bundle_writer.write_bundle(tmp_path / str(i), bundle["processor"], bundle["tensors"],
                                          bundle["assets"]).path
        got = outcome(lambda: load(path))
        assert (got if isinstance(got, tuple) else None) == (error and (error, message)), (i, got)
    return path


def releases_lock(call, times=1):
    """True when `call` lets another Python thread run while it is inside the engine, on a
    loaded machine as on an idle one.

    `call` is a bound method or a functools.partial of one, run `times` times, or an
    iterator each step of which makes such a call (map(method, arguments)), run for up to
    `times` steps. A second thread runs it from C, between two marks also set from C, so
    that no Python frame comes between that thread's own frame and the engine. Meanwhile
    this thread asks for the lock, and counts a release when it holds the lock while the
    mark says "in" and the other thread's innermost frame is its own: that thread is then
    inside a call that gave the lock up. Python code that a call runs (a path's
    __fspath__, a json encoder) shows its own frame there and does not count.

    With a short switch interval, a thread that waits for the lock turns its wait into a
    request that the holder honours at its next release, by waiting there until the lock
    has been taken. So a release is seen at the latest at the first one after this thread
    has had the processor once during the run (the run then stops), whatever the load; a
    call that keeps the lock is never seen. The collector is off during the run: a
    finalizer could release the lock in C."""
    if isinstance(call, (types.FunctionType, types.MethodType)):
        raise TypeError("a Python function would come between the thread and the engine")
    steps = call if isinstance(call, collections.abc.Iterator) else map(operator.call, itertools.repeat(call))
    state, going, errors = ["before"], [True], []

    def mark(word):
        return map(operator.call, [functools.partial(state.__setitem__, 0, word)])

    until_seen = iter(functools.partial(going.__getitem__, 0), False)
    marked = itertools.chain(mark("in"), itertools.islice(zip(until_seen, steps), times), mark("out"))

    def run():
        try:
            collections.deque(marked, 0)
        except BaseException as error:  # noqa: BLE001 - raised again in the calling thread
            errors.append(error)

    def inside_a_call():
        frame = sys._current_frames().get(worker.ident)
        return state[0] == "in" and frame is not None and frame.f_code is run.__code__

    old, collecting = sys.getswitchinterval(), gc.isenabled()
    gc.disable()
    sys.setswitchinterval(1e-4)
    released = False
    try:
        worker = threading.Thread(target=run)
        worker.start()
        while not released and worker.is_alive():
            released = inside_a_call()
        going[0] = False
        worker.join()
    finally:
        sys.setswitchinterval(old)
        if collecting:
            gc.enable()
    if errors:
        raise errors[0]
    return released
