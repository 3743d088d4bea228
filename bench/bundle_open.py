"""Opening a large model bundle: resident memory and time, with and without
SHA-256 verification.

Writes a bundle of --size-mb megabytes of float32 tensors with the shared test
bundle writer (once; reused while its size matches), then opens it in fresh
interpreters and prints, per mode, the open time, the rise of resident memory
(VmRSS) as a share of the tensor file, the verification throughput over the
file, and the page faults taken while opening (the kernel maps several pages
per fault, so only the count of major faults, which read from disk, says much).

    .venv/bin/python bench/bundle_open.py [--size-mb 512] [--dir build/bench_bundle] [--repeat 3]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))

PROBE = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import _quelbin

def rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")

def faults():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_minflt + usage.ru_majflt, usage.ru_majflt

path, verify = sys.argv[2], sys.argv[3] == "1"
before, (f0, m0) = rss(), faults()
start = time.perf_counter()
bundle = _quelbin.ModelBundle(path, verify)
seconds = time.perf_counter() - start
after, (f1, m1) = rss(), faults()
assert bundle.checksums_verified is verify
print(json.dumps({"seconds": seconds, "rss_delta": after - before, "faults": f1 - f0,
                  "major_faults": m1 - m0, "size": bundle.tensor_file_size,
                  "tensors": len(bundle.tensor_names)}))
"""


def ensure_bundle(directory: pathlib.Path, size_mb: int) -> None:
    manifest = directory / "manifest.json"
    wanted = size_mb << 20
    if manifest.exists() and json.loads(manifest.read_text())["tensor_file"]["size"] == wanted:
        return
    import numpy as np
    sys.path.insert(0, str(ROOT / "tests"))
    import bundle_writer

    rng = np.random.default_rng(0)
    per_tensor = 8 << 20
    count = wanted // per_tensor

    def tensors():
        for i in range(count):
            yield f"layer{i}.weight", rng.standard_normal(per_tensor // 4, dtype=np.float32).reshape(-1, 1024)

    bundle_writer.write_bundle(directory, "pos", tensors(), {"config": {}}, alignment=64)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--dir", type=pathlib.Path, default=BUILD / "bench_bundle")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    ensure_bundle(args.dir, args.size_mb)
    for verify in (False, True):
        runs = []
        for _ in range(args.repeat):
            out = subprocess.run([sys.executable, "-c", PROBE, str(BUILD / "python"), str(args.dir),
                                  "1" if verify else "0"], check=True, capture_output=True, text=True)
            runs.append(json.loads(out.stdout))
        best = min(runs, key=lambda run: run["seconds"])
        size = best["size"]
        print(f"verify={verify!s:5}  file {size / 2**20:.0f} MiB in {best['tensors']} tensors  "
              f"open {best['seconds'] * 1e3:9.2f} ms (best of {args.repeat})  "
              f"RSS +{best['rss_delta'] / 2**20:8.2f} MiB = {100 * best['rss_delta'] / size:6.2f}% of file  "
              f"{size / best['seconds'] / 2**30:8.2f} GiB/s  "
              f"page faults {best['faults']} ({best['major_faults']} major)")


if __name__ == "__main__":
    main()
