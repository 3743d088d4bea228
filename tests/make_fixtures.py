"""Writes the files that the C++ tests read: reference outputs and compiled packages.

Every module in tests/fixtures/ with a ``write(out_dir)`` function contributes. A
module's output is rebuilt only when its source, the shared writers or the
references changed.
"""
import hashlib
import importlib.util
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(out_root: str) -> None:
    out_root = pathlib.Path(out_root)
    out_root.mkdir(parents=True, exist_ok=True)
    sys.path.insert(0, str(HERE))
    for source in sorted((HERE / "fixtures").glob("*.py")):
        if source.name.startswith("_"):
            continue
        digest = hashlib.sha256(source.read_bytes()).hexdigest()
        for dep in sorted(HERE.glob("*.py")) + sorted(HERE.glob("model_bundles/*.py")) + sorted(
                HERE.glob("reference/*.py")):
            digest = hashlib.sha256((digest + dep.read_text()).encode()).hexdigest()
        out_dir = out_root / source.stem
        stamp = out_dir / ".stamp"
        if stamp.exists() and stamp.read_text() == digest:
            continue
        if out_dir.exists():
            shutil.rmtree(out_dir)
        out_dir.mkdir(parents=True)
        spec = importlib.util.spec_from_file_location(f"fixture_{source.stem}", source)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        module.write(out_dir)
        stamp.write_text(digest)
        print(f"wrote fixtures {source.stem}")


if __name__ == "__main__":
    main(sys.argv[1])
