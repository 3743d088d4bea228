import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))

# The extension module, the test-only extension and the shared test helpers.
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(BUILD / "tests" / "python"))
sys.path.insert(0, str(ROOT / "tests"))


def outcome(call):
    """What `call` returns, or the exception it raises as (class, message), so that
    one table row can name either."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the row names the class it expects
        return type(error), str(error)
