"""The README's Python session runs as written, over the main job's example tree, and the
project files it names exist."""
import os
import pathlib
import re
import subprocess
import sys

from conftest import BUILD, ROOT
from test_main_job import load_example

README = (ROOT / "README.md").read_text(encoding="utf-8")


def test_readme_python_session_runs(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```$", README, re.S | re.M)
    assert len(blocks) >= 3 and "PYTHONPATH=build/python .venv/bin/python" in README
    # A project folder as the README's reader has it after the main job's first run.
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "python").symlink_to(BUILD / "python")
    load_example().ensure_example_models(tmp_path / "build" / "example_models")
    run = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300, env=dict(os.environ, PYTHONPATH="build/python"))
    assert run.returncode == 0, run.stderr
    assert "tensor file checksum mismatch" in run.stdout and "('au', ['à', 'le'])" in run.stdout


def test_readme_names_files_that_exist():
    named = set(re.findall(r"`((?:scripts|tests)/[\w./-]*)`", README))
    assert "tests/bundle_writer.py" in named and "tests/python/kind_models.py" in named
    assert [path for path in sorted(named) if not (ROOT / path).exists()] == []
    # The functions it points to are where it says.
    for name, path in [("random_pos_model", "tests/model_bundles/pos.py"),
                       ("write_pos_bundle", "tests/model_bundles/pos.py"),
                       ("write_model_tree", "tests/python/kind_models.py")]:
        assert name in README and f"def {name}(" in (ROOT / path).read_text()
