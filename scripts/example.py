"""Runs the engine over a sample text and prints the result."""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))

import _quelbin  # noqa: E402

print(f"_quelbin {_quelbin.__version__}: {_quelbin.__doc__}")
