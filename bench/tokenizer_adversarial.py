"""Tokenizer time on single paragraphs made to make its regular-expression
rules slow, against ordinary text of the same size.

Writes a tokenizer bundle of realistic size (embedding 32, hidden 64, all nine
features, the lexicon feature and the multi-word head; random weights) into
--dir, then for each kind of text and each size writes one paragraph (no blank
line) and times, with build/bench/tokenizer_bench on one thread (best of
--repeat runs, each in its own process), the features alone (paragraph split,
the four structural rules and the lexicon) and TokenizerPlan::process (all of
the tokenizer, the e-mail/URL rule included). Prints seconds per million
characters and their ratio to ordinary text of the same size.

Kinds marked "features only" are timed without process: on "A A A" the random
network ends a sentence only near the start of each 1000-character window, so
that every window advances by a few characters and labelling alone takes
hundreds of times longer than on other text; that is the labelling's windowing,
not a rule.

    .venv/bin/python bench/tokenizer_adversarial.py [--sizes 131072,1048576,4194304]
                                                    [--kinds "ordinary|1.1.1|..."] [--repeat 2]
                                                    [--dir build/bench_tokenizer_adversarial]
"""
import argparse
import json
import os
import pathlib
import random
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

from model_bundles.tokenizer import DEFAULT_FEATURES, STRUCTURAL, write_tokenizer_bundle  # noqa: E402
from reference.tokenizer import mixed_english_text  # noqa: E402

ADDRESSES = [
    "john.doe@example.com", "first.last@sub-domain.example.org", "\"john doe\"@example.com",
    "user@[192.168.0.1]", "a..b@c.d", "User@Example.com", "http://www.example.com/path?q=1",
    "https://example.org/a/b.c", "www.wikipedia.org", "docs.python.org", "site.co.uk/x", "ftp://x.org",
]


def one_paragraph(text):
    """The text with every newline made a space, so that no blank line cuts it."""
    return text.replace("\r", " ").replace("\n", " ")


def address_text(size, seed=2):
    """Ordinary sentences with an e-mail address or URL every few words."""
    rng, words = random.Random(seed), one_paragraph(mixed_english_text(size, seed=seed)).split(" ")
    out = [rng.choice(ADDRESSES) if rng.random() < 0.25 else word for word in words]
    return " ".join(out)


def repeated(piece, prefix=""):
    return lambda size: (prefix + piece * (size // len(piece) + 1))[:size]


KINDS = {
    "ordinary": lambda size: one_paragraph(mixed_english_text(size, seed=1))[:size],
    "1.1.1": repeated("1."),
    "a.a.a": repeated("a."),
    "a@a.a@a": repeated("a@a."),
    "http://http://": repeated("http://"),
    "one long URL": repeated("a/b.c?d=e&", "http://www.example.com/"),
    "addresses": lambda size: address_text(size)[:size],
    "quoted \\\"\\\"": repeated("\\\"", "\""),
    "a@[1.2.3.t:": repeated("a@[1.2.3.t:"),
    "A A A": repeated("A "),
    "1/1/1": repeated("1/"),
    "$1,1,1": repeated(",1", "$1"),
    "Aa Aa: (555)": repeated("Aa Aa: (555)x1234 1/2/2020 May "),
}
FEATURES_ONLY = {"A A A"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="131072,1048576,4194304")
    parser.add_argument("--kinds", default="|".join(KINDS))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dir", default=str(BUILD / "bench_tokenizer_adversarial"))
    args = parser.parse_args()

    directory = pathlib.Path(args.dir)
    bundle = directory / "bundle"
    lexicon = sorted({w.strip(".,!?;:()\"").lower() for w in mixed_english_text(20_000, seed=3).split()} - {""})
    write_tokenizer_bundle(bundle, seed=4, scale=0.3, head_scale=10.0, emb_dim=32, hidden_dim=64,
                           use_mwt=True, feat_funcs=DEFAULT_FEATURES + STRUCTURAL, use_dictionary=True,
                           lexicon=lexicon)
    sizes = [int(s) for s in args.sizes.split(",")]
    kinds = args.kinds.split("|")
    print(f"TokenizerPlan::process, one paragraph, 1 thread, best of {args.repeat}; "
          f"bundle: emb 32, hidden 64, 9 features + lexicon ({len(lexicon)} words), mwt")
    print(f"{'text':<16} {'characters':>11} {'features s/M':>13} {'x ordinary':>11} {'process s/M':>12} "
          f"{'x ordinary':>11} {'process s':>10} {'peak MB':>8}")
    baseline = {}
    for kind in kinds:
        for size in sizes:
            text = KINDS[kind](size)
            path = directory / "text.txt"
            path.write_text(text, encoding="utf-8")
            parts = "features" if kind in FEATURES_ONLY else "features,process"
            command = [str(BUILD / "bench" / "tokenizer_bench"), str(bundle), str(path), "1", str(args.repeat),
                       parts]
            env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
            result = json.loads(subprocess.run(command, check=True, capture_output=True, text=True,
                                               env=env).stdout)
            per_million = {part: 1e6 / result[f"{part}_chars_per_s"] if result[f"{part}_chars_per_s"] else None
                           for part in ("features", "process")}
            if kind == "ordinary":
                baseline[size] = per_million
            cells = []
            for part in ("features", "process"):
                value, base = per_million[part], baseline.get(size, {}).get(part)
                cells.append(f"{value:.3f}" if value else "-")
                cells.append(f"{value / base:.2f}" if value and base else "-")
            seconds = f"{result['process_seconds']:.2f}" if per_million["process"] else "-"
            print(f"{kind:<16} {len(text):>11} {cells[0]:>13} {cells[1]:>11} {cells[2]:>12} "
                  f"{cells[3]:>11} {seconds:>10} {result['peak_rss_mb']:>8.0f}", flush=True)


if __name__ == "__main__":
    main()
