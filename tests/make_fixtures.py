"""Writes the files the C++ tests read: ``write(out_dir)`` of every module in
tests/fixtures/, rerun only when it, the shared writers or the references changed."""
import hashlib
import importlib.util
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(out_root: str) -> None:
    out_root = pathlib.Path(out_root)
    sys.path.insert(0, str(HERE))
    helpers = sorted(HERE.glob("*.py"))
    for folder in ("model_bundles", "reference"):
        helpers += sorted((HERE / folder).glob("*.py"))
    for source in sorted((HERE / "fixtures").glob("*.py")):
        digest = hashlib.sha256(source.read_bytes()).hexdigest()
        for dep in helpers:
            digest = hashlib.sha256((digest + dep.read_text()).encode()).hexdigest()
        out_dir = out_root / source.stem
        stamp = out_dir / ".stamp"
        if stamp.exists() and stamp.read_text() == digest:
            continue
        shutil.rmtree(out_dir, ignore_errors=True)
        out_dir.mkdir(parents=True)
        spec = importlib.util.spec_from_file_location(f"fixture_{source.stem}", source)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        module.write(out_dir)
        stamp.write_text(digest)
        print(f"wrote fixtures {source.stem}")


if __name__ == "__main__":
    main(sys.argv[1])
