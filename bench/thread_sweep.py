"""Shared parts of the thread-count benchmarks (bench/tokenizer.py,
bench/seq2seq_greedy.py): a background load of one busy process per core,
the list of ATen thread counts to run, and Python threads that each call
`bulk_process` on a share of the documents with one ATen thread."""
import contextlib
import json
import os
import subprocess
import sys

THREAD_COUNTS = (1, 2, 4, 8)
PYTHON_THREADS = (1, 2, 4, 8)


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


@contextlib.contextmanager
def background_load(enabled: bool):
    """While active (and enabled), one busy process per core."""
    busy = []
    try:
        if enabled:
            for _ in range(os.cpu_count() or 1):
                busy.append(subprocess.Popen([sys.executable, "-c", "while True: pass"]))
        yield
    finally:
        for process in busy:
            process.kill()
        for process in busy:
            process.wait()


def conditions(with_load: bool):
    """(label, load enabled) pairs: quiet, then under load when asked."""
    yield "quiet", False
    if with_load:
        yield f"background load ({os.cpu_count()} busy processes)", True


def thread_env() -> dict:
    """The environment without thread-count settings, so that ATen's default holds."""
    env = dict(os.environ)
    for name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(name, None)
    return env


def run_child(command: list, threads: int) -> dict:
    """Runs `command`, which prints one JSON object, on `threads` ATen threads (0: ATen's
    default) and returns the object."""
    env = thread_env()
    if threads:
        env.update(OMP_NUM_THREADS=str(threads), MKL_NUM_THREADS=str(threads))
    return json.loads(subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout)


def print_sweep(name: str, rates: dict, default: int, unit: str) -> None:
    """rates: thread count -> {part: rate}; prints each with its ratio to one thread."""
    base = rates[1]
    for threads, parts in rates.items():
        label = f"{threads} thread{'s' if threads > 1 else ''}" + (" (default)" if threads == default else "")
        cells = ", ".join(f"{part} {rate:,.0f} {unit} ({rate / base[part]:.2f}x)" for part, rate in parts.items())
        print(f"  {name}, {label}: {cells}")


# Runs in a child process with one ATen thread: argv[1] is a JSON job with the
# module path, the processor class and bundle, the documents (texts or
# dictionary forms), the Python thread counts and the repeat count.
PYTHON_THREADS_CHILD = r"""
import json, sys, threading, time
job = json.loads(sys.stdin.read())
sys.path.insert(0, job["module_dir"])
import _quelbin as q
processor = getattr(q, job["processor"])(job["bundle"])
if job["dict_form"]:
    documents = [q.Document.from_dict(d) for d in job["documents"]]
else:
    documents = [q.Document(t) for t in job["documents"]]
results = {}
for n in job["threads"]:
    shares = [documents[i::n] for i in range(n)]
    best = float("inf")
    for _ in range(job["repeat"]):
        workers = [threading.Thread(target=processor.bulk_process, args=(share,)) for share in shares]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        best = min(best, time.perf_counter() - start)
    results[n] = job["amount"] / best
print(json.dumps(results))
"""


def python_threads(module_dir, processor: str, bundle, documents, dict_form: bool, amount: float,
                   repeat: int) -> dict:
    """Python threads -> rate (amount per second), one ATen thread in the child."""
    env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    job = {"module_dir": str(module_dir), "processor": processor, "bundle": str(bundle),
           "documents": documents, "dict_form": dict_form, "threads": list(PYTHON_THREADS),
           "amount": amount, "repeat": repeat}
    out = subprocess.run([sys.executable, "-c", PYTHON_THREADS_CHILD], input=json.dumps(job), check=True,
                         capture_output=True, text=True, env=env).stdout
    return {int(k): v for k, v in json.loads(out).items()}


def print_python_threads(rates: dict, unit: str) -> None:
    base = rates[1]
    print("  " + ", ".join(f"{n} Python thread{'s' if n > 1 else ''} {rate:,.0f} {unit} ({rate / base:.2f}x)"
                           for n, rate in rates.items()))
