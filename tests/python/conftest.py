import copy
import os
import pathlib
import sys
import threading

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


def releases_lock(call, attempts=5):
    """True when `call`, run in a thread, lets the main thread go on while it is inside the
    engine: with a huge switch interval a thread gives the lock up only by releasing it. On
    a busy machine the main thread may not wake before a short call ends, so a release is
    looked for in several attempts; a call that keeps the lock shows none in any of them."""
    old, done = sys.getswitchinterval(), threading.Event()
    sys.setswitchinterval(1000.0)
    try:
        for _ in range(attempts):
            done.clear()
            worker = threading.Thread(target=lambda: (call(), done.set()))
            worker.start()
            released = not done.is_set()
            worker.join()
            if released:
                break
    finally:
        sys.setswitchinterval(old)
    return released
