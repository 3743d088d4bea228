"""Python threads that use one document while a processor works on it: each use either
does its work or raises RuntimeError IN_USE and changes nothing, and the document ends
as some order of the calls that ran would leave it.

Shared by test_document_in_use.py, which runs every scenario in its own process, and by
this file's command line, which counts how many runs of each scenario end badly (a
crash, a wrong result or another error) against a given build:

    .venv/bin/python tests/python/document_races.py --build build [--runs 20] [--rounds N]
"""
import argparse
import collections
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import threading
import time

IN_USE = "the document is being processed by another call"
KINDS = ("tokenize", "mwt", "pos")
THREADS = 8
SINGLE_CALLS = 3


def refused(call):
    """True when `call` raised the in-use error, False when it returned; any other error
    propagates."""
    try:
        call()
    except RuntimeError as error:
        if str(error) != IN_USE:
            raise
        return True
    return False


def run_threads(*targets):
    """Runs the targets in threads started together; re-raises the first error."""
    barrier, errors = threading.Barrier(len(targets)), []

    def run(target):
        barrier.wait()
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            errors.append(error)

    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def in_background(call, rounds):
    """Runs `call` `rounds` times in a new thread; returns the event set when it ends and
    a function that waits for it and re-raises its error."""
    done, errors = threading.Event(), []

    def run():
        try:
            for _ in range(rounds):
                call()
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            errors.append(error)
        finally:
            done.set()

    worker = threading.Thread(target=run)
    worker.start()

    def join():
        worker.join()
        if errors:
            raise errors[0]

    return done, join


class Setup:
    """The processors, a tokenized text and the documents made from it."""

    def __init__(self, q, models):
        self.q = q
        self.tokenize, self.mwt, self.pos = (getattr(q, name)(models / kind) for name, kind in zip(
            ("TokenizeProcessor", "MWTProcessor", "POSProcessor"), KINDS))
        import kind_models
        self.texts = [kind_models.sample_text(seed, 150) for seed in (1, 2, 3)]
        self.tokenized = [self.tokenize.process(q.Document(t)).to_dict() for t in self.texts]

    def document(self, k=0):
        return self.q.Document.from_dict(self.tokenized[k], self.texts[k])

    def tagged(self, k=0):
        return self.pos.process(self.document(k)).to_dict()


def edit_while_processing(s, rounds):
    """The tagger works on a document in one thread while the main thread sets tags of
    its words; a final tagging must then give what tagging alone gives."""
    doc, expected = s.document(), s.tagged()
    words = list(doc.iter_words())
    done, join = in_background(lambda: s.pos.process(doc), rounds)
    edits = refusals = 0
    while not done.is_set():
        for w in words:
            # A new string each time: the document's string pool keeps growing.
            if refused(lambda: setattr(w, "xpos", f"E{edits}")) or refused(lambda: setattr(w, "upos", "E")):
                refusals += 1
            else:
                edits += 1
    join()
    assert s.pos.process(doc).to_dict() == expected
    return {"edits": edits, "refused": refusals}


def eight_threads_one_document(s, rounds):
    """Eight threads expand one new document at once, each round: the calls that run give
    what one expansion gives (a second expansion changes nothing), the others are
    refused."""
    expected = s.mwt.process(s.document()).to_dict()
    ran = refusals = 0
    for _ in range(rounds):
        doc, results = s.document(), []

        def expand():
            out = []
            if not refused(lambda: out.append(s.mwt.process(doc))):
                results.append(out[0])

        run_threads(*[expand] * THREADS)
        assert results, "no call ran"
        assert doc.to_dict() == expected
        assert all(r == doc and r.to_dict() == expected for r in results)
        ran, refusals = ran + len(results), refusals + THREADS - len(results)
    return {"ran": ran, "refused": refusals}


def read_views_while_processing(s, rounds):
    """The expander rebuilds the tables of an expanded document (to the same content) in
    one thread while the main thread reads the text, words, sentences and the dictionary
    form: every read gives the stored value or is refused."""
    # A long text (beyond the sentences' own) takes a while to read, and its buffer is
    # replaced on every rebuild.
    doc = s.mwt.process(s.q.Document.from_dict(s.tokenized[0], s.texts[0] + "\n\n" + "x" * 400_000))
    text, form = doc.text, doc.to_dict()
    texts = [w.text for w in doc.iter_words()]
    sentence_lengths = [len(sent.words) for sent in doc.sentences]
    reads = refusals = 0

    def read_all():
        nonlocal reads
        for _ in range(20):
            assert doc.text == text
        for i, w in enumerate(doc.iter_words()):
            assert w.text == texts[i] and w.upos is None
            reads += 1
        assert [len(sent.words) for sent in doc.sentences] == sentence_lengths
        assert doc.text == text and doc.to_dict() == form

    done, join = in_background(lambda: s.mwt.process(doc), rounds)
    while not done.is_set():
        refusals += refused(read_all)
    join()
    read_all()
    return {"reads": reads, "refused": refusals}


def bulk_shares_document(s, rounds):
    """Each round, the expander's bulk call over three new documents, the middle one
    given many times, and the tagger's calls on the middle one start together in two
    threads: each call runs whole or is refused whole, and the middle document ends as
    the calls that ran leave it in some order (a second expansion changes nothing)."""
    tagged, expanded = s.tagged(1), s.mwt.process(s.document(1))
    outcomes = {(True, False): [expanded.to_dict()], (False, True): [tagged],
                (True, True): [s.mwt.process(s.q.Document.from_dict(tagged, s.texts[1])).to_dict(),
                               s.pos.process(expanded).to_dict()]}
    others = [s.mwt.process(s.document(k)).to_dict() for k in (0, 2)]
    ran, rng = collections.Counter(), random.Random(5)
    for round_ in range(rounds):
        docs = [s.document(k) for k in range(3)]
        untagged = [d.to_dict() for d in docs]
        done = {}
        # Either side may start a little later, so each gets to run first.
        delays = [0.0, 0.0]
        delays[round_ % 2] = rng.random() * 0.004

        def bulk():
            time.sleep(delays[0])
            done["bulk"] = not refused(lambda: s.mwt.bulk_process([docs[0]] + [docs[1]] * 10 + [docs[2]]))

        def single():
            time.sleep(delays[1])
            done["single"] = [refused(lambda: s.pos.process(docs[1])) for _ in range(SINGLE_CALLS)].count(False) > 0

        run_threads(bulk, single)
        ran.update(name for name, ran_ in done.items() if ran_)
        assert docs[1].to_dict() in outcomes[done["bulk"], done["single"]]
        assert [docs[0].to_dict(), docs[2].to_dict()] == (others if done["bulk"] else untagged[::2])
    ran["refused"] = rounds - ran["bulk"]
    return dict(ran)


# Each scenario with its number of rounds: enough for a run to take a second or two.
SCENARIOS = {f.__name__: (f, rounds) for f, rounds in (
    (edit_while_processing, 4), (eight_threads_one_document, 20), (read_views_while_processing, 60),
    (bulk_shares_document, 40))}


def write_models(root):
    """The bundles of KINDS in a model tree under `root` with its index; returns their
    directory."""
    import bundle_writer
    import kind_models
    directory = root / "1.14.0" / kind_models.LANGUAGE
    for kind in KINDS:
        kind_models.WRITERS[kind](directory / kind)
    bundle_writer.write_index(root, [(kind, "default", kind) for kind in KINDS], language=kind_models.LANGUAGE)
    return directory


def helper_paths(build):
    root = pathlib.Path(__file__).resolve().parents[2]
    return [str(build / "python"), str(root / "build" / "tests" / "python"), str(root / "tests"),
            str(pathlib.Path(__file__).resolve().parent)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, required=True,
                        help="build directory whose python/ holds the module")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--rounds", type=int, help="rounds of every scenario (default: its own)")
    parser.add_argument("--scenario", help=argparse.SUPPRESS)
    parser.add_argument("--models", type=pathlib.Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.path[:0] = helper_paths(args.build.resolve())
    if args.scenario:  # one run, in this process
        import _quelbin
        scenario, rounds = SCENARIOS[args.scenario]
        print(scenario(Setup(_quelbin, args.models), args.rounds or rounds))
        return
    with tempfile.TemporaryDirectory() as root:
        models = str(write_models(pathlib.Path(root)))
        for name in SCENARIOS:
            outcomes = collections.Counter()
            for _ in range(args.runs):
                run = subprocess.run([sys.executable, __file__, "--build", str(args.build), "--scenario", name,
                                      "--models", models] + (["--rounds", str(args.rounds)] if args.rounds else []),
                                     capture_output=True, text=True, timeout=600,
                                     env=dict(os.environ, OMP_NUM_THREADS="2"))
                if run.returncode < 0:
                    outcomes[f"killed by signal {-run.returncode}"] += 1
                elif run.returncode:
                    last = (run.stderr.strip().splitlines() or ["?"])[-1]
                    outcomes["crashed (abort)" if "Aborted" in last or run.returncode == 134 else last[:100]] += 1
                else:
                    outcomes["ok"] += 1
            print(f"{name}: {args.runs} runs: " + ", ".join(f"{k} {v}" for k, v in outcomes.most_common()),
                  flush=True)


if __name__ == "__main__":
    main()
