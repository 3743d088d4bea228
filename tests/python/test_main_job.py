"""The main job's output is a CoNLL-U file that two readers written elsewhere read back
word for word, with every stage of the default pipeline in it."""
import importlib.util
import os
import pathlib
import subprocess
import sys

import pyconll
from udapi.core.document import Document as UdapiDocument

import _quelbin as q
from conftest import BUILD, ROOT


def load_example():
    spec = importlib.util.spec_from_file_location("example", ROOT / "scripts" / "example.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    return example


def test_main_job_prints_a_conllu_file_that_strict_readers_read(tmp_path):
    models = tmp_path / "models"
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "example.py"), "--models", str(models)],
                         capture_output=True, text=True, timeout=300, check=True,
                         env=dict(os.environ, QUELBIN_BUILD_DIR=str(BUILD)))
    output = run.stdout
    example = load_example()
    pipeline = q.Pipeline(example.LANGUAGE, model_dir=models)
    document = pipeline.process(example.SAMPLE)
    # The document's own text stops at its last word line; the file closes that sentence.
    assert output == document.to_conll() + "\n\n" and not document.to_conll().endswith("\n")
    assert [p.name for p in pipeline.processors] == ["tokenize", "mwt", "pos", "lemma", "depparse"]

    path = tmp_path / "out.conllu"
    path.write_text(output, encoding="utf-8")
    expected = [[(w.id, w.text, w.lemma, w.upos, w.head, w.deprel) for w in s.words] for s in document.sentences]
    assert len(expected) == 3 and any(t.is_mwt() for t in document.iter_tokens())
    assert all(None not in word for sentence in expected for word in sentence)  # every stage wrote
    udapi = [[(n.ord, n.form, n.lemma, n.upos, n.parent.ord, n.deprel) for n in tree.descendants]
             for bundle in UdapiDocument(str(path)).bundles for tree in bundle.trees]
    peer = [[(int(w.id), w.form, w.lemma, w.upos, int(w.head), w.deprel) for w in sentence
             if not w.is_multiword()] for sentence in pyconll.load_from_string(output)]
    assert udapi == expected == peer
    ranges = [(t.id, t.text) for s in document.sentences for t in s.tokens if t.is_mwt()]
    assert [(tuple(map(int, w.id.split("-"))), w.form) for s in pyconll.load_from_string(output)
            for w in s if w.is_multiword()] == ranges


def run_main_job(args, models, stdin=None, **options):
    return subprocess.run([sys.executable, str(ROOT / "scripts" / "example.py"), "--models", str(models), *args],
                          input=stdin, capture_output=True, timeout=600,
                          env=dict(os.environ, QUELBIN_BUILD_DIR=str(BUILD)), **options)


def snapshot(path):
    """A file's bytes, or a directory's entries with the bytes of its files."""
    if path.is_file():
        return path.read_bytes()
    return {str(p.relative_to(path)): (p.read_bytes() if p.is_file() else None) for p in sorted(path.rglob("*"))}


def test_main_job_reads_a_text_from_a_file_standard_input_or_argument(tmp_path):
    import random

    import conllu
    example = load_example()
    models = tmp_path / "models"
    # Longer than one argument may be, with words outside the models' vocabularies
    # and letters beyond ASCII, so that the random networks reach many classes.
    rng = random.Random(4)
    vocabulary = example.WORDS + ["au", "du", "maison", "été", "Zoë", "cœur", "garçon", "rue", "2026", "«", "»"]
    text = "\n\n".join(" ".join(" ".join(rng.choice(vocabulary) for _ in range(rng.randint(2, 14))) + "."
                                for _ in range(rng.randint(1, 4))) for _ in range(2500))
    assert len(text.encode()) > 128 * 1024
    source = tmp_path / "text.txt"
    source.write_text(text, encoding="utf-8")
    runs = {"--file F": run_main_job(["--file", str(source)], models),
            "-": run_main_job(["-"], models, stdin=text.encode()),
            "--file -": run_main_job(["--file", "-"], models, stdin=text.encode())}
    document = q.Pipeline(example.LANGUAGE, model_dir=models).process(text)
    expected = (document.to_conll() + "\n\n").encode()
    assert {name: (run.returncode, run.stdout == expected) for name, run in runs.items()} == \
        {name: (0, True) for name in runs}
    sentences = conllu.parse(expected.decode())
    assert len(sentences) == len(document.sentences) > 2500
    assert [[t["form"] for t in s if isinstance(t["id"], int)] for s in sentences] == \
        [[w.text for w in s.words] for s in document.sentences]
    # No column holds a reserved vocabulary entry (the text itself has no angle bracket).
    lines = [line.split("\t") for line in expected.decode().splitlines() if line and line[0] != "#"]
    assert len(lines) > 10000 and [line for line in lines if "<" in "".join(line) or ">" in "".join(line)] == []
    assert {len(line) for line in lines} == {10} and {line[3] for line in lines} > {"_"}

    dashed = run_main_job(["--", "-1 degré ce matin."], models)
    assert [line.split("\t")[1] for line in dashed.stdout.decode().splitlines() if line[:1].isdigit()][:2] == ["-1", "degré"]


def test_main_job_refuses_bad_input_before_writing_models(tmp_path):
    (tmp_path / "latin1.txt").write_bytes("marché".encode("latin-1"))
    rows = [(["--file", str(tmp_path / "latin1.txt")], "latin1.txt: not UTF-8 text"),
            (["--file", str(tmp_path / "missing.txt")], "missing.txt: No such file or directory"),
            (["--file", str(tmp_path / "latin1.txt"), "texte"], "not both")]
    for args, message in rows:
        run = run_main_job(args, tmp_path / "models")
        assert (run.returncode != 0, message in run.stderr.decode()) == (True, True), (args, run.stderr)
    assert not (tmp_path / "models").exists()


def test_main_job_writes_example_models_only_where_it_may(tmp_path):
    example = load_example()
    marker = example.MARKER

    def make(files):
        def setup(path):
            for name, content in files.items():
                (path / name).parent.mkdir(parents=True, exist_ok=True)
                (path / name).write_text(content) if content is not None else (path / name).mkdir()
        return setup

    current = tmp_path / "current"
    example.ensure_example_models(current)
    refused = "is not empty and holds no QUELBIN_EXAMPLE_MODELS file"
    # (what is at the path before, the expected outcome: written, kept, or the message)
    rows = [("new", None, "written"),
            ("empty", make({}), "written"),
            ("older tree of the script", make({marker: "3\n", "1.14.0/fr/stale": "x"}), "written"),
            ("tree of a version that marked it with VERSION", make({"VERSION": "3", "1.14.0": None}), "remove it by hand"),
            ("a user's model tree", make({"resources.json": "{}", "1.14.0/fr/pos/tensors.bin": "w"}), refused),
            ("a project with a VERSION file", make({"VERSION": "3", "1.14.0": None, "notes": "n"}), refused),
            ("a file", lambda path: None, "not a directory")]
    for i, (case, setup, outcome) in enumerate(rows):
        path = tmp_path / "cases" / str(i) / "models"
        if setup is not None:
            path.parent.mkdir(parents=True)
            if case == "a file":
                path.write_text("keep")
            else:
                path.mkdir()
                setup(path)
        before = snapshot(path) if path.exists() else None
        try:
            example.ensure_example_models(path)
            got = "written"
        except SystemExit as stop:
            got = str(stop.code)
        if outcome == "written":
            assert (got, snapshot(path)) == ("written", snapshot(current)), case
        else:
            assert outcome in got and snapshot(path) == before, (case, got)
        # Nothing is left beside it, whatever happened.
        assert sorted(p.name for p in path.parent.iterdir()) == ["models"], case
    stamp = (current / marker).stat().st_mtime_ns
    example.ensure_example_models(current)
    assert (current / marker).stat().st_mtime_ns == stamp  # a current tree is kept as it is


def test_main_job_inputs_and_errors(tmp_path):
    import re
    import resource
    import shutil

    import conllu
    example = load_example()
    models = tmp_path / "models"
    example.ensure_example_models(models)
    pipeline = q.Pipeline(example.LANGUAGE, model_dir=models)
    expected = (pipeline.process("Il va.").to_conll() + "\n\n").encode()
    user = tmp_path / "mine"  # a user's tree, shaped as the example trees of old versions were
    (user / "1.14.0" / "de" / "pos").mkdir(parents=True)
    (user / "VERSION").write_text("2")
    (user / "1.14.0" / "de" / "pos" / "tensors.bin").write_text("weights")
    damaged = tmp_path / "damaged"
    shutil.copytree(models, damaged)
    tensors = damaged / "1.14.0" / "fr" / "pos" / "tensors.bin"
    tensors.write_bytes(tensors.read_bytes()[:100])
    (tmp_path / "target").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "target")
    (tmp_path / "a file").write_text("keep")
    (tmp_path / "bom.txt").write_bytes(b"\xef\xbb\xbfIl va.")

    def cap_memory():  # far below what one sentence of 30,000 words needs
        resource.setrlimit(resource.RLIMIT_AS, (1500 << 20, 1500 << 20))

    # (case, arguments, standard input, set-up in the child, the output or the message)
    rows = [("a user's tree", ["--models", user, "Il va."], None, None, "holds no QUELBIN_EXAMPLE_MODELS"),
            ("argument not UTF-8", [b"a \xff"], None, None, "the text argument: not UTF-8 text"),
            ("standard input closed", ["-"], None, lambda: os.close(0), "standard input is closed"),
            ("models on a virtual filesystem", ["--models", "/proc/quelbin/models", "x"], None, None,
             "--models /proc/quelbin/models: cannot make the directory /proc/quelbin"),
            ("models under a file", ["--models", tmp_path / "a file" / "sub", "x"], None, None,
             "cannot make the directory"),
            ("a sentence too long", ["-"], " ".join(["marché"] * 30000).encode(), cap_memory,
             "one sentence of the text is too long for the memory available"),
            ("damaged example tree", ["--models", damaged, "Il va."], None, None, expected),
            ("link to an empty directory", ["--models", tmp_path / "link", "Il va."], None, None, expected),
            ("byte-order mark in a file", ["--file", tmp_path / "bom.txt"], None, None, expected),
            ("byte-order mark on standard input", ["-"], b"\xef\xbb\xbfIl va.", None, expected),
            ("text and file together", ["x", "--file", tmp_path / "bom.txt"], None, None, "not both"),
            ("unknown option", ["--bogus"], None, None, "unrecognized arguments: --bogus")]
    for case, args, stdin, setup, outcome in rows:
        before = snapshot(tmp_path)
        run = run_main_job(args, models, stdin=stdin, preexec_fn=setup)
        if isinstance(outcome, bytes):
            assert (run.returncode, run.stdout, run.stderr) == (0, outcome, b""), case
            continue
        errors = run.stderr.decode(errors="replace")
        assert (run.returncode != 0, run.stdout, len(errors.splitlines()), outcome in errors) == \
            (True, b"", 1, True), (case, errors)
        assert snapshot(tmp_path) == before, case
    assert not pathlib.Path("/proc/quelbin").exists()
    # The damaged tree is written again; the link stays and the tree goes into its target.
    assert snapshot(damaged) == snapshot(models)
    assert (tmp_path / "link").is_symlink() and snapshot(tmp_path / "target") == snapshot(models)

    # Wrapped text: every text comment is one line, its sentence with each line break as a space.
    wrapped = "Il va au marché{0}du village avec des amis. Ils achètent{0}du pain.{0}{0}Le marché{0}ferme."
    for line_break in ["\n", "\r\n", "\r"]:
        text = wrapped.format(line_break)
        run = run_main_job(["-"], models, stdin=text.encode())
        document = pipeline.process(text)
        assert sum(line_break in s.text for s in document.sentences) == 3, line_break
        sentences = conllu.parse(run.stdout.decode())
        assert [s.metadata["text"] for s in sentences] == \
            [re.sub(r"\r\n|\r|\n", " ", s.text) for s in document.sentences], line_break
        assert [[t["form"] for t in s if isinstance(t["id"], int)] for s in sentences] == \
            [[w.text for w in s.words] for s in document.sentences], line_break


def test_main_job_ends_quietly_on_a_closed_output_or_an_interrupt(tmp_path):
    import signal
    models = tmp_path / "models"
    load_example().ensure_example_models(models)
    command = [sys.executable, str(ROOT / "scripts" / "example.py"), "--models", str(models)]
    env = dict(os.environ, QUELBIN_BUILD_DIR=str(BUILD))
    # The reader of the output is gone before the job writes, as with `| head` on a long file.
    read_end, write_end = os.pipe()
    os.close(read_end)
    job = subprocess.Popen([*command, "-"], stdin=subprocess.PIPE, stdout=write_end, stderr=subprocess.PIPE, env=env)
    os.close(write_end)
    _, errors = job.communicate(b"Il va. " * 20000, timeout=300)
    assert (job.returncode, errors) == (-signal.SIGPIPE, b"")
    # Ctrl-C while the job waits for its input: opening the FIFO returns once the job has it open.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    job = subprocess.Popen([*command, "--file", str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    with open(fifo, "wb"):
        job.send_signal(signal.SIGINT)
        out, errors = job.communicate(timeout=300)
    assert (job.returncode, out, errors) == (-signal.SIGINT, b"", b"")
