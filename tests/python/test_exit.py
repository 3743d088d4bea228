"""A program that ends while a daemon thread is inside a call that released the interpreter
lock exits with its own status and prints nothing of its own: the exit waits for the call in
flight, and a call that begins afterwards never starts."""
import concurrent.futures
import os
import subprocess
import sys

import pytest

import document_races as races
from conftest import BUILD, ROOT

RUNS = 20

PROGRAM = r"""
import sys, threading, time
sys.path[:0] = [{module!r}, {tests!r}, {helpers!r}]
import _quelbin as q
import kind_models
models, kind = sys.argv[1], sys.argv[2]
text = kind_models.sample_text(1, 120)
if kind == "pipeline":
    nlp = q.Pipeline("en", processors="tokenize,mwt,pos", model_dir=models)
    call = lambda: nlp.process(text)
elif kind == "processor":
    pos = q.POSProcessor(models + "/1.14.0/en/pos")
    doc = q.Pipeline("en", processors="tokenize,mwt", model_dir=models).process(text)
    call = lambda: pos.process(doc)
elif kind == "bulk":
    nlp = q.Pipeline("en", processors="tokenize,mwt,pos", model_dir=models)
    texts = [kind_models.sample_text(seed, 12) for seed in range(10)]
    call = lambda: nlp.bulk_process(texts)
else:
    tokenizer = q.WordPieceTokenizer(["[UNK]", "[CLS]", "[SEP]", "a", "##b"])
    rounds = iter(range(10**9))
    # Words not seen before at every call, so the tokenizer's cache does not shorten it.
    call = lambda: tokenizer.encode([f"w{{next(rounds)}}x{{k}}" for k in range(50000)])
started = threading.Event()
def work():
    while True:
        started.set()
        call()
threading.Thread(target=work, daemon=True).start()
started.wait()
time.sleep(0.05)
print("done")
"""


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("exit")
    races.write_models(root)
    return root


@pytest.mark.parametrize("kind", ["pipeline", "processor", "bulk", "encode"])
def test_a_daemon_thread_inside_a_call_does_not_stop_the_exit(models, kind):
    program = PROGRAM.format(module=str(BUILD / "python"), tests=str(ROOT / "tests/python"),
                             helpers=str(ROOT / "tests"))
    env = dict(os.environ, OMP_NUM_THREADS="1")

    def run(_):
        return subprocess.run([sys.executable, "-c", program, str(models), kind], capture_output=True,
                              text=True, timeout=120, env=env)

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(run, range(RUNS)))
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == [(0, "done\n", "")] * RUNS


def test_the_exiting_thread_still_calls_after_the_wait(models):
    # Exit handlers run last registered first: this one runs after the module's own.
    program = f"""
import atexit, sys
atexit.register(lambda: print(len(nlp.process("ab cu. de fx.").sentences)))
sys.path[:0] = [{str(BUILD / "python")!r}]
import _quelbin as q
nlp = q.Pipeline("en", processors="tokenize,mwt,pos", model_dir={str(models)!r})
"""
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "2\n", "")
