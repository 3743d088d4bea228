#!/usr/bin/env python3
"""Measures how many of a fixed sample of one-line mutants the test suites kill.

The sample is scripts/mutants.tsv: one mutant a line (id, file, line, kind, the
original line stripped, its replacement). The engine sources come from one
commit and the tests from another, so the same sample can be run against the
tests before and after a rewrite:

    scripts/mutation_sample.py --engine-commit b70690d --tests-commit HEAD --workers 3

Each worker owns a detached work copy under --scratch (engine paths checked out
from the engine commit, everything else from the tests commit), built once in
Release with ccache. The fixtures are written once (they do not depend on the
engine), the unmutated suites must pass in every copy, and then each mutant is
applied, the test targets rebuilt incrementally, the C++ suite run and, if it
passes, the Python suite. A mutant that does not compile is "invalid"; one that
makes a suite fail or time out is "killed"; otherwise it "survived". The mutated
file is restored after every mutant.
"""
import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SAMPLE = Path(__file__).resolve().with_name("mutants.tsv")
DEFAULT_ENGINE = "b70690d"
# Paths taken from the engine commit; the rest of the tree (tests/, scripts/)
# comes from the tests commit.
ENGINE_PATHS = ["src", "include", "python", "bench", "cmake", "CMakeLists.txt"]
TARGETS = ["quelbin_tests", "_quelbin", "_quelbin_testing"]
VENV = Path("/work/main/.venv")


def git(*args, cwd=REPO, check=True):
    result = subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise SystemExit(f"git {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout.strip()


def read_sample(path):
    mutants = []
    for raw in path.read_text().splitlines():
        if not raw.strip() or raw.startswith("#"):
            continue
        ident, file, line, kind, original, replacement = raw.split("\t")
        mutants.append(dict(id=ident, file=file, line=int(line), kind=kind,
                            original=original, replacement=replacement))
    return mutants


def run(cmd, cwd, env=None, timeout=None, log=None):
    """Runs cmd in its own process group; returns (returncode or 'timeout', output)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        status = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        status = "timeout"
    if log is not None:
        log.write_text(out)
    return status, out


class Copy:
    def __init__(self, path, args):
        self.path = path
        self.build = path / "build"
        self.args = args
        self.env = dict(os.environ, CCACHE_BASEDIR="/work", OMP_NUM_THREADS=str(args.omp_threads),
                        QUELBIN_BUILD_DIR=str(self.build))

    def prepare(self, engine, tests, without=()):
        if not (self.path / ".git").exists():
            if self.path.exists():
                shutil.rmtree(self.path)
            git("worktree", "add", "--detach", "-f", str(self.path), tests)
        else:
            git("checkout", "--detach", "-f", tests, cwd=self.path)
            git("clean", "-fdq", "-e", "build", "-e", ".venv", cwd=self.path)
        for name in ENGINE_PATHS:
            target = self.path / name
            if target.is_dir():
                shutil.rmtree(target)
            elif target.exists():
                target.unlink()
            if git("ls-tree", engine, name, cwd=self.path):
                git("checkout", engine, "--", name, cwd=self.path)
        # Tests of code newer than the engine commit cannot build against it.
        for name in without:
            (self.path / name).unlink(missing_ok=True)
        venv = self.path / ".venv"
        if not venv.exists():
            venv.symlink_to(VENV)

    def compile(self, log):
        if not (self.build / "build.ninja").exists():
            status, _ = run(["cmake", "-S", str(self.path), "-B", str(self.build), "-G", "Ninja",
                             "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={self.path}/.venv/bin/python"],
                            self.path, self.env, log=log)
            if status != 0:
                return False
        status, _ = run(["cmake", "--build", str(self.build), "-j", str(self.args.jobs), "--target", *TARGETS],
                        self.path, self.env, log=log)
        return status == 0

    def fixtures(self, log):
        status, _ = run(["ctest", "-R", "make_fixtures", "--output-on-failure"], self.build, self.env, log=log)
        return status == 0

    def suites(self, logs):
        """Runs the C++ then the Python suite; returns (failed suite or None, detail)."""
        cpp = [str(self.build / "tests" / "quelbin_tests"), "--gtest_brief=1"]
        if self.args.fail_fast:
            cpp.append("--gtest_fail_fast")
        status, out = run(cpp, self.build, self.env, timeout=self.args.timeout, log=logs / "cpp.log")
        if status != 0:
            failed = re.findall(r"\[  FAILED  \] (\S+)", out)
            return "cpp" if status != "timeout" else "cpp-timeout", failed[0] if failed else f"exit {status}"
        py = [str(self.path / ".venv" / "bin" / "python"), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
              "tests/python"]
        status, out = run(py, self.path, self.env, timeout=self.args.timeout, log=logs / "python.log")
        if status != 0:
            failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
            return "python" if status != "timeout" else "python-timeout", failed[0] if failed else f"exit {status}"
        return None, ""


def apply(copy, mutant):
    """Writes the mutated file; returns its original text (for the restore)."""
    path = copy.path / mutant["file"]
    text = path.read_text()
    lines = text.split("\n")
    index = mutant["line"] - 1
    if index >= len(lines) or lines[index].strip() != mutant["original"]:
        raise SystemExit(f"{mutant['id']}: {mutant['file']}:{mutant['line']} does not read "
                         f"{mutant['original']!r}")
    line = lines[index]
    lines[index] = line[:len(line) - len(line.lstrip())] + mutant["replacement"]
    path.write_text("\n".join(lines))
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--engine-commit", default=DEFAULT_ENGINE)
    parser.add_argument("--tests-commit", default="HEAD")
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2, help="build jobs per work copy")
    parser.add_argument("--omp-threads", type=int, default=1)
    parser.add_argument("--timeout", type=int, default=300, help="seconds per suite")
    parser.add_argument("--no-fail-fast", dest="fail_fast", action="store_false")
    parser.add_argument("--scratch", type=Path, default=Path("/work/mut"))
    parser.add_argument("--sample", type=Path, default=SAMPLE)
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--without", action="append", default=[],
                        help="a test file to leave out (one of code newer than the engine commit)")
    parser.add_argument("--out", type=Path, help="results TSV (default bench/results/mutation-E-T.tsv)")
    args = parser.parse_args()

    engine = git("rev-parse", "--verify", args.engine_commit + "^{commit}")
    tests = git("rev-parse", "--verify", args.tests_commit + "^{commit}")
    name = f"{engine[:7]}-{tests[:7]}"
    out = args.out or REPO / "bench" / "results" / f"mutation-{name}.tsv"
    out.parent.mkdir(parents=True, exist_ok=True)
    mutants = read_sample(args.sample)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    logs = args.scratch / f"{name}-logs"
    logs.mkdir(parents=True, exist_ok=True)
    started = time.time()
    print(f"engine {engine[:10]}, tests {tests[:10]}, {len(mutants)} mutants, {args.workers} workers", flush=True)

    copies = [Copy(args.scratch / f"{name}-{i}", args) for i in range(args.workers)]
    for copy in copies:
        copy.prepare(engine, tests, args.without)

    # Build, fixtures and an unmutated run in every copy, side by side.
    errors = []

    def setup(copy, i):
        log_dir = logs / f"baseline-{i}"
        log_dir.mkdir(exist_ok=True)
        if not copy.compile(log_dir / "build.log"):
            errors.append(f"copy {i}: build failed, see {log_dir / 'build.log'}")
        elif not copy.fixtures(log_dir / "fixtures.log"):
            errors.append(f"copy {i}: fixtures failed, see {log_dir / 'fixtures.log'}")
        else:
            suite, detail = copy.suites(log_dir)
            if suite:
                errors.append(f"copy {i}: unmutated {suite} suite fails ({detail}), see {log_dir}")

    threads = [threading.Thread(target=setup, args=(c, i)) for i, c in enumerate(copies)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise SystemExit("baseline failed:\n  " + "\n  ".join(errors))
    print(f"baseline passes in {len(copies)} copies after {time.time() - started:.0f} s", flush=True)

    work = queue.Queue()
    for m in mutants:
        work.put(m)
    results = {}
    lock = threading.Lock()

    def worker(copy):
        while True:
            try:
                m = work.get_nowait()
            except queue.Empty:
                return
            t0 = time.time()
            log_dir = logs / m["id"]
            log_dir.mkdir(exist_ok=True)
            original = apply(copy, m)
            try:
                if not copy.compile(log_dir / "build.log"):
                    status, by, detail = "invalid", "", "does not compile"
                else:
                    by, detail = copy.suites(log_dir)
                    status = "killed" if by else "survived"
            finally:
                (copy.path / m["file"]).write_text(original)
            row = dict(m, status=status, by=by or "", detail=detail, seconds=round(time.time() - t0))
            with lock:
                results[m["id"]] = row
                print(f"{m['id']} {status:8} {row['by']:14} {m['file']}:{m['line']} {detail} "
                      f"({row['seconds']} s)", flush=True)

    threads = [threading.Thread(target=worker, args=(c,)) for c in copies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    rows = [results[m["id"]] for m in mutants if m["id"] in results]
    columns = ["id", "file", "line", "kind", "status", "by", "detail", "seconds", "original", "replacement"]
    lines = [f"# engine {engine} tests {tests}", "\t".join(columns)]
    lines += ["\t".join(str(r[c]) for c in columns) for r in rows]
    killed = sum(r["status"] == "killed" for r in rows)
    invalid = sum(r["status"] == "invalid" for r in rows)
    summary = f"killed {killed} of {len(rows) - invalid} (invalid {invalid})"
    elapsed = time.time() - started
    lines.append(f"# {summary}; {elapsed / 60:.1f} min with {args.workers} workers")
    out.write_text("\n".join(lines) + "\n")
    survivors = [r for r in rows if r["status"] == "survived"]
    print(f"results in {out}")
    for r in survivors:
        print(f"survived {r['id']} {r['file']}:{r['line']} {r['kind']}: {r['replacement']}")
    print(summary)
    print(f"{elapsed / 60:.1f} min")


if __name__ == "__main__":
    main()
