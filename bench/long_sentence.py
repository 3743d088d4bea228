"""One very long sentence through the default pipeline (tokenize, mwt, pos, lemma, depparse)
with the main job's example models, at one thread (or --threads): time and peak memory per length.

A text without sentence-final punctuation ("Il va " repeated) becomes one sentence, so the
parser decodes one tree over all its words. Two parsers:

* "example": the example models' parser (scripts/example.py);
* "obj/subj": the same pipeline with a random parser whose relations are mostly in the
  object and subject classes, so that most heads carry two objects or subjects and the
  head-constraint repair re-decodes the tree once per member of a group, up to five passes.

Every case runs in a process of its own, under an address-space cap (prlimit --as) and a time
limit (--timeout), with OMP_NUM_THREADS=1 (--threads N sets N; --threads default leaves the
library's default); its peak RSS is the child's own maximum resident set (loading the models
has a higher transient peak than what stays resident, so short sentences show that peak).

    .venv/bin/python bench/long_sentence.py [--cases example:1000,example:2000,...]
                                            [--cap-gb 6] [--timeout 300] [--threads 1|N|default]
                                            [--models build/bench_long_sentence]
"""
import argparse
import hashlib
import json
import os
import pathlib
import resource
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
DEFAULT_CASES = ("example:1000,example:2000,example:5000,example:10000,"
                 "obj/subj:300,obj/subj:500,obj/subj:1000")
# Relations of the obj/subj parser: five of seven fall in a constraint class.
OBJ_SUBJ_RELATIONS = ["obj", "nsubj", "csubj", "nsubj:pass", "csubj:pass", "det", "case"]


def write_models(root):
    """Two model trees under root: the example models, and the same with the obj/subj parser."""
    sys.path.insert(0, str(ROOT / "scripts"))
    sys.path.insert(0, str(ROOT / "tests"))
    import example
    from model_bundles.depparse import random_depparse_model, write_depparse_bundle
    marker = root / "VERSION"
    if marker.exists() and marker.read_text() == example.MODEL_TREE_VERSION:
        return
    example.write_example_models(root / "example")
    example.write_example_models(root / "obj_subj")
    parser = random_depparse_model(2, words=example.WORDS, scale=1.5, deprels=OBJ_SUBJ_RELATIONS)
    write_depparse_bundle(root / "obj_subj" / "1.14.0" / example.LANGUAGE / "depparse", parser,
                          language=example.LANGUAGE)
    marker.write_text(example.MODEL_TREE_VERSION)


def child(models, words):
    """One case: prints a JSON line with the stage times and the peak RSS."""
    sys.path.insert(0, str(BUILD / "python"))
    import _quelbin as q
    pipeline = q.Pipeline("fr", model_dir=models)
    status = pathlib.Path("/proc/self/status").read_text().splitlines()
    before = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024
    document = q.Document("Il va " * (words // 2))
    stages = {}
    start = time.perf_counter()
    for processor in pipeline.processors:
        begin = time.perf_counter()
        document = processor.process(document)
        stages[processor.name] = round(time.perf_counter() - begin, 3)
    seconds = time.perf_counter() - start
    sentences = [[(w.head, w.deprel) for w in s.words] for s in document.sentences]
    heads = [h for s in sentences for h, _ in s]
    relations = [r for s in sentences for _, r in s]
    print(json.dumps({"seconds": seconds, "stages": stages, "rss_before_mb": before,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "sentences": len(sentences), "words": len(heads), "roots": heads.count(0),
                      "obj_subj_share": sum(r in OBJ_SUBJ_RELATIONS[:5] for r in relations) / max(1, len(relations)),
                      "result": hashlib.sha256(json.dumps(sentences).encode()).hexdigest()[:12]}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", default=DEFAULT_CASES, help="parser:words, comma-separated")
    parser.add_argument("--cap-gb", type=float, default=6.0, help="address-space cap of every case")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds a case may take")
    parser.add_argument("--threads", default="1", help="OMP_NUM_THREADS of every case, or 'default'")
    parser.add_argument("--models", type=pathlib.Path, default=BUILD / "bench_long_sentence")
    parser.add_argument("--child", nargs=2, metavar=("MODELS", "WORDS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(pathlib.Path(args.child[0]), int(args.child[1]))
        return
    write_models(args.models)
    env = {**os.environ, "QUELBIN_BUILD_DIR": str(BUILD)}
    for name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(name, None)
        if args.threads != "default":
            env[name] = args.threads
    cap = int(args.cap_gb * 1e9)
    for case in args.cases.split(","):
        name, words = case.split(":")
        models = args.models / ("example" if name == "example" else "obj_subj")
        command = ["prlimit", f"--as={cap}", sys.executable, __file__, "--child", str(models), words]
        try:
            done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"{name}, {int(words):,} words: stopped after {args.timeout:g} s", flush=True)
            continue
        if done.returncode != 0:
            last = (done.stderr.strip().splitlines() or ["(no message)"])[-1]
            print(f"{name}, {int(words):,} words: failed (exit {done.returncode}) under a {args.cap_gb:g} GB "
                  f"address-space cap: {last}", flush=True)
            continue
        run = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"{name}, {run['words']:,} words in {run['sentences']} sentence(s): {run['seconds']:.2f} s "
              f"(depparse {run['stages']['depparse']:.2f} s, pos {run['stages']['pos']:.2f} s), "
              f"peak RSS {run['peak_rss_mb']:,.0f} MB ({run['rss_before_mb']:,.0f} MB resident after loading); "
              f"words on the root {run['roots']}, obj/subj relations {run['obj_subj_share']:.0%}; "
              f"heads and relations {run['result']}", flush=True)


if __name__ == "__main__":
    main()
