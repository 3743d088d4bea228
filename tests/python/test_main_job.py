"""The main job's output is a CoNLL-U file that two readers written elsewhere read back
word for word, with every stage of the default pipeline in it."""
import importlib.util
import os
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
