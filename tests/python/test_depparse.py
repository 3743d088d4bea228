"""DepparseProcessor: heads and relations against the eager reference with an independent
decoder (one document at a time and in bulk at every budget), write-back rules, the POS
check, all-or-nothing bulk, and the default pipeline end to end."""
import os

import numpy as np
import torch

import _quelbin as q
import _quelbin_testing as t
import bundle_writer as bw
from conftest import outcome
from model_bundles.depparse import random_depparse_model, random_sentences, write_depparse_bundle
from reference.depparse import DepparseReference
from reference.depparse_decode import decode

DEP = q.DepparseModelError
# The reference's tiny products only slow down with more threads on a shared machine.
torch.set_num_threads(1)
FIELDS = ("lemma", "upos", "xpos", "feats")
VARIANTS = {  # name -> random_depparse_model arguments
    "plain": {}, "composite": dict(composite=True),
    "linearization and distance": dict(linearization=True, distance=True),
    "three layers, small budget": dict(num_layers=3, batch_size=20), "charlm": dict(charlm=True),
}


def tagged(sentences):
    """The sentences with UPOS "NOUN" on every word that has neither UPOS nor XPOS."""
    return [[w if "upos" in w or "xpos" in w else {**w, "upos": "NOUN"} for w in s] for s in sentences]


def make_documents(sentences, size=5):
    docs = []
    for j in range(0, len(sentences), size):
        chunk = sentences[j:j + size]
        doc = t.make_document("", [[w["text"] for w in s] for s in chunk])
        for sentence, records in zip(doc.sentences, chunk, strict=True):
            for word, record in zip(sentence.words, records, strict=True):
                for key in FIELDS:
                    setattr(word, key, record.get(key))
        docs.append(doc)
    return docs


def parses(docs):
    return [[(w.head, w.deprel) for w in s.words] for d in docs for s in d.sentences]


def reference_parses(reference, relations, sentences, batched):
    """Per sentence its (head, relation) list, or None where noise of 1e-4 on the scores
    changes the decoded tree or relations (the margin is too small to compare)."""
    scores = reference.scores_batched(sentences) if batched else [
        reference.scores_one(s) if s else None for s in sentences]
    rng, out = np.random.default_rng(0), []
    for pair in scores:
        if pair is None:
            out.append([])
            continue
        arc, label = (x.double().numpy() for x in pair)
        heads, rels = decode(arc, label, relations)
        stable = all(decode(arc + rng.uniform(-1e-4, 1e-4, arc.shape),
                            label + rng.uniform(-1e-4, 1e-4, label.shape), relations) == (heads, rels)
                     for _ in range(3))
        out.append(list(zip(heads, rels)) if stable else None)
    return out


def compare(got, expected):
    """(sentences compared, sentences that differ)."""
    pairs = [(g, e) for g, e in zip(got, expected, strict=True) if e is not None]
    return len(pairs), [p for p in pairs if p[0] != p[1]]


def test_parses_match_the_reference(tmp_path):
    for seed, (name, options) in enumerate(VARIANTS.items()):
        model = random_depparse_model(seed, **options)
        parser = q.DepparseProcessor(write_depparse_bundle(tmp_path / str(seed), model).path)
        reference = DepparseReference(model.tensors, model.assets())
        relations = model.vocab["deprel"]["_id2unit"][4:]
        sentences = tagged(random_sentences(seed, 40, model))
        single = parses([parser.process(d) for d in make_documents(sentences)])
        bulk = parses(parser.bulk_process(make_documents(sentences)))
        for got, batched in [(single, False), (bulk, True)]:
            compared, wrong = compare(got, reference_parses(reference, relations, sentences, batched))
            assert compared > 0.8 * len(sentences) and not wrong, (name, batched, wrong[:2])
        assert all(0 <= h <= len(s) for s, p in zip(sentences, single) for h, _ in p)


def test_bulk_equals_one_document_at_a_time_at_every_budget(tmp_path):
    sentences = tagged(random_sentences(7, 30, random_depparse_model(7), max_length=9))
    expected = None
    for budget in [1, 2, 7, 10, 33, 100, None]:
        model = random_depparse_model(7, batch_size=budget)
        parser = q.DepparseProcessor(write_depparse_bundle(tmp_path / str(budget), model).path)
        one_by_one = parses([parser.process(d) for d in make_documents(sentences)])
        expected = expected or one_by_one
        assert one_by_one == expected, budget
        assert parses(parser.bulk_process(make_documents(sentences, size=4))) == expected, budget


def test_write_back_and_the_pos_check(tmp_path):
    model = random_depparse_model(3)
    parser = q.DepparseProcessor(write_depparse_bundle(tmp_path / "m", model).path)
    relations = set(model.vocab["deprel"]["_id2unit"][4:])
    sentences = [[{"text": "cat", "upos": "NOUN"}], [], [{"text": "sat", "xpos": "V"}, {"text": "on", "upos": "ADP"},
                                                         {"text": "mat", "upos": "NOUN", "lemma": "mat"}]]
    doc = make_documents(sentences)[0]
    before = doc.to_dict()
    parser.process(doc)
    got = parses([doc])
    assert got[0] == [(0, got[0][0][1])] and got[1] == [] and sorted(h for h, _ in got[2]).count(0) == 1
    assert all(r in relations for s in got for _, r in s)
    # Only head and relation change; a second run overwrites the first.
    after = doc.to_dict()
    for s_before, s_after in zip(before, after, strict=True):
        for w_before, w_after in zip(s_before, s_after, strict=True):
            assert {k: v for k, v in w_after.items() if k not in ("head", "deprel")} == w_before
    for word in doc.iter_words():
        word.head, word.deprel = 9, "stale"
    assert parses([parser.process(doc)]) == got
    empty = t.make_document("", [])
    assert parser.process(empty).to_dict() == [] and parser.bulk_process([]) == []

    # A word with neither UPOS nor XPOS: process keeps the sentences before it;
    # bulk changes no document.
    docs = make_documents([[{"text": "cat", "upos": "NOUN"}], [{"text": "sat"}], [{"text": "on", "upos": "X"}]])
    assert outcome(lambda: parser.process(docs[0])) == (DEP, "POS must run before depparse")
    assert [(w.head, w.deprel is not None) for w in docs[0].iter_words()] == [(0, True), (None, False), (None, False)]
    fresh = make_documents([[{"text": "cat", "upos": "NOUN"}]]) + make_documents([[{"text": "sat"}]])
    before = [d.to_dict() for d in fresh]
    assert outcome(lambda: parser.bulk_process(fresh)) == (DEP, "POS must run before depparse")
    assert [d.to_dict() for d in fresh] == before


def test_bulk_writes_nothing_when_a_sentence_fails(tmp_path):
    # Only "obj": any head with two dependents leaves no relation to repair with.
    model = random_depparse_model(4, deprels=["obj"])
    parser = q.DepparseProcessor(write_depparse_bundle(tmp_path / "m", model).path)
    words = [{"text": w, "upos": "NOUN"} for w in ["the", "cat", "sat", "on", "the", "mat", "and", "a", "dog"]]
    docs = make_documents([[words[0]], [words[1]]]) + make_documents([words])
    before = [d.to_dict() for d in docs]
    message = "head constraints excluded every dependency relation"
    assert outcome(lambda: parser.bulk_process(docs)) == (DEP, message)
    assert [d.to_dict() for d in docs] == before
    parser.process(docs[0])  # one-word sentences parse
    assert parses([docs[0]]) == [[(0, "obj")], [(0, "obj")]]


def test_refused_bundles(tmp_path):
    model = random_depparse_model(5)
    path = write_depparse_bundle(tmp_path / "wrong", model, assets={**model.assets(), "config": 3}).path
    assert outcome(lambda: q.DepparseProcessor(path))[0] is DEP
    assert q.DepparseProcessor().implemented is False and q.DepparseProcessor().bundle_path is None


FRENCH = ["Il", "va", "à", "le", "marché", "de", "village", ".", "Ils", "pain", "!", "Le", "ferme"]
TEXT = "Il va au marché du village. Ils achètent du pain!\n\nLe marché ferme à midi ??"


def test_default_pipeline_end_to_end(tmp_path):
    from model_bundles.lemma import write_lemma_bundle
    from model_bundles.mwt import write_dict_bundle
    from model_bundles.pos import random_pos_model, write_pos_bundle
    from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width
    from model_bundles.tokenizer import hand_set_weights, write_tokenizer_bundle

    root, vocab = tmp_path / "models", DEFAULT_VOCAB + "àâçéèêëîïôûùüÀÉ"
    language = root / "1.14.0" / "fr"
    write_tokenizer_bundle(language / "tok", use_mwt=True, vocab=vocab,
                           tensor_overrides=hand_set_weights(vocab, 8, 8, feature_width(DEFAULT_FEATURES)))
    write_dict_bundle(language / "mwt", {"au": "à le", "du": "de le"})
    write_pos_bundle(language / "pos", random_pos_model(21, words=FRENCH, composite=True))
    write_lemma_bundle(language / "lemma", {"*": {"va": "aller", "Ils": "il"}})
    model = random_depparse_model(22, words=FRENCH, charlm=True)
    write_depparse_bundle(language / "depparse", model)
    bw.write_index(root, [("tokenize", "default", "tok"), ("mwt", "default", "mwt"), ("pos", "default", "pos"),
                          ("lemma", "default", "lemma"), ("depparse", "default", "depparse")], language="fr")
    reference = DepparseReference(model.tensors, model.assets())
    relations = model.vocab["deprel"]["_id2unit"][4:]
    pipeline = q.Pipeline("fr", model_dir=root)
    assert [p.name for p in pipeline.processors] == ["tokenize", "mwt", "pos", "lemma", "depparse"]
    texts = [TEXT, "", "du pain.", TEXT * 3]
    single, bulk = [pipeline.process(text) for text in texts], pipeline.process(texts)
    for docs, batched in [(single, False), (bulk, True)]:
        sentences = [[{k: getattr(w, k) for k in ("text",) + FIELDS if getattr(w, k) is not None}
                      for w in s.words] for d in docs for s in d.sentences]
        compared, wrong = compare(parses(docs), reference_parses(reference, relations, sentences, batched))
        assert compared >= 0.7 * len(sentences) and not wrong, (batched, wrong[:2])
    assert parses(single) == parses(bulk)
    # Every word line of the CoNLL-U output carries its head and relation.
    rows = [line.split("\t") for line in single[0].to_conll().splitlines() if line and line[0] != "#"]
    words = [r for r in rows if "-" not in r[0]]
    assert len(words) == sum(len(s.words) for s in single[0].sentences) and all(r[6].isdigit() and r[7] in relations for r in words)


def test_main_job_prints_a_parsed_text(tmp_path):
    import os
    import subprocess
    import sys

    from conftest import BUILD, ROOT
    from model_bundles.depparse import DEPRELS
    result = subprocess.run([sys.executable, str(ROOT / "scripts" / "example.py"), "--models", str(tmp_path),
                             "Le marché ferme à midi."], capture_output=True, text=True, check=True,
                            env={**os.environ, "QUELBIN_BUILD_DIR": str(BUILD)})
    rows = [line.split("\t") for line in result.stdout.splitlines() if line and line[0] != "#"]
    words = [r for r in rows if "-" not in r[0]]
    assert [r[1] for r in words] == ["Le", "marché", "ferme", "à", "midi", "."]
    assert [r[6] for r in words].count("0") == 1 and all(r[6].isdigit() and r[7] in DEPRELS for r in words)


def test_one_long_sentence_parses_in_quadratic_memory(tmp_path):
    # 3,000 words without a full stop: one sentence. A matrix per contraction level would
    # take tens of gigabytes and the whole relation scores hundreds of megabytes; a few
    # n x n arrays take well under that. The child runs under an address-space cap, so a
    # return of that growth fails here instead of exhausting the machine.
    import json
    import subprocess
    import sys

    from conftest import BUILD, ROOT
    sys.path.insert(0, str(ROOT / "scripts"))
    import example
    example.write_example_models(tmp_path)
    # A parser whose relations have no head-constraint class: the repairs, whose time grows
    # with the size of a head's group of objects or subjects, stay out of this memory check.
    relations = ["root", "det", "case", "amod", "punct", "obl", "conj", "cc"]
    write_depparse_bundle(tmp_path / "1.14.0" / example.LANGUAGE / "depparse",
                          random_depparse_model(2, words=example.WORDS, scale=1.5, deprels=relations),
                          language=example.LANGUAGE)
    child = f"""
import json, resource, sys
sys.path.insert(0, {str(BUILD / "python")!r})
import _quelbin as q
pipeline = q.Pipeline("fr", model_dir={str(tmp_path)!r})
status = open("/proc/self/status").read().splitlines()
before = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
doc = pipeline.process("Il va " * 1500)
heads = [[w.head for w in s.words] for s in doc.sentences]
print(json.dumps({{"heads": heads, "growth_mb": (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024}}))
"""
    done = subprocess.run(["prlimit", "--as=4000000000", sys.executable, "-c", child], capture_output=True, text=True,
                          env={**os.environ, "OMP_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr[-2000:]
    run = json.loads(done.stdout)
    [heads] = run["heads"]
    assert len(heads) > 2900 and heads.count(0) == 1 and all(0 <= h <= len(heads) for h in heads)
    assert run["growth_mb"] < 500, run["growth_mb"]
