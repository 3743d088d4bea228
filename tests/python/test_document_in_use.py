"""A document that a processing call is working on (with the interpreter lock released)
cannot be used from another Python thread: every read, edit and processing call of it
raises RuntimeError and changes nothing, while the working call goes on unaffected and
the document is usable again once it returns."""
import sys
import threading

import pytest

import _quelbin as q
import document_races as races
from document_races import IN_USE

pytest.importorskip("torch")


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("in_use")
    races.write_models(root)
    return root


@pytest.fixture(scope="module")
def setup(root):
    return races.Setup(q, root / "1.14.0" / "en")


def while_in_engine(call, then):
    """Runs `call` in a thread and `then()` in this one while the call is inside the
    engine: with a huge switch interval this thread gets the lock back only when the call
    releases it, and keeps it (so the call cannot return) until `then` is done."""
    old, out = sys.getswitchinterval(), {}
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=lambda: out.update(result=call()))
        worker.start()
        try:
            then()
        finally:
            worker.join()
    finally:
        sys.setswitchinterval(old)
    return out["result"]


def test_every_other_use_is_refused_while_processing(setup):
    doc, other = setup.document(), setup.document(1)
    other_form = other.to_dict()
    sentence, token, word = doc.sentences[0], doc.sentences[0].tokens[0], doc.sentences[0].words[0]
    words, iterator, same_doc = doc.iter_words(), iter(doc.sentences), sentence.doc
    pipeline_stages = q.Pipeline("en", processors="")
    uses = {
        "Word.upos =": lambda: setattr(word, "upos", "X"),
        "Word.head =": lambda: setattr(word, "head", 0),
        "Word.morphemes =": lambda: setattr(word, "morphemes", ["a"]),
        "Token.ner =": lambda: setattr(token, "ner", "O"),
        "Token.spaces_after =": lambda: setattr(token, "spaces_after", ""),
        "Sentence.sentiment =": lambda: setattr(sentence, "sentiment", 1),
        "Sentence.constituency =": lambda: setattr(sentence, "constituency", None),
        "Document.lang =": lambda: setattr(doc, "lang", "fr"),
        "Document.coref =": lambda: setattr(doc, "coref", []),
        "Document.rebuild_entities": doc.rebuild_entities,
        "Word.text": lambda: word.text,
        "Word.id": lambda: word.id,
        "Word.parent": lambda: word.parent,
        "Token.words": lambda: token.words,
        "Sentence.words": lambda: sentence.words,
        "Sentence.dependencies": lambda: sentence.dependencies,
        "Document.text": lambda: doc.text,
        "Document.num_words": lambda: doc.num_words,
        "Document.sentences": lambda: doc.sentences,
        "Document.iter_words": doc.iter_words,
        "Document.ents": lambda: doc.ents,
        "WordSequence[0]": lambda: words[0],
        "next(iterator)": lambda: next(iterator),
        "Document.to_dict": doc.to_dict,
        "Sentence.to_dict": sentence.to_dict,
        "Word.to_dict": word.to_dict,
        "Document.to_conll": doc.to_conll,
        "repr(Document)": lambda: repr(doc),
        "format(Document)": lambda: format(doc, "conll"),
        "repr(Token)": lambda: repr(token),
        "POSProcessor.process": lambda: setup.pos.process(doc),
        "MWTProcessor.bulk_process": lambda: setup.mwt.bulk_process([other, doc]),
        "Pipeline.process(document)": lambda: pipeline_stages.process(doc),
        "Pipeline.bulk_process(documents)": lambda: pipeline_stages.bulk_process([other, doc]),
    }
    got = {}

    def use():
        for name, call in uses.items():
            try:
                call()
                got[name] = "done"
            except RuntimeError as error:
                got[name] = str(error)
        # Identity does not read the document: comparing, hashing and windows still work.
        got["identity"] = (doc == same_doc, hash(doc) == hash(same_doc), len(words), word in words)

    result = while_in_engine(lambda: setup.pos.process(doc), use)
    assert got == dict.fromkeys(uses, IN_USE) | {"identity": (True, True, doc.num_words, True)}
    # The working call was not disturbed, the refused ones changed nothing, and the
    # document and its old views work again.
    assert result == doc and doc.to_dict() == setup.tagged()
    assert other.to_dict() == other_form and doc.lang is None
    assert next(iterator) == doc.sentences[0] and words[0] == word and word.upos == setup.tagged()[0][0]["upos"]


def test_the_input_of_a_tokenizer_is_refused_and_its_result_is_new(setup):
    doc = q.Document(setup.texts[0])
    got = []
    result = while_in_engine(lambda: setup.tokenize.process(doc),
                             lambda: got.append(races.refused(lambda: doc.text)))
    assert got == [True]
    assert result != doc and result.to_dict() == setup.tokenized[0] and doc.sentences.__len__() == 0


def test_what_worked_before_still_works(setup, root):
    doc = setup.document()
    # One document given twice to one bulk call.
    twice = setup.pos.bulk_process([doc, doc])
    assert twice == [doc, doc] and doc.to_dict() == setup.tagged()
    # A pipeline's own stages one after another, on a document and on texts.
    pipeline = q.Pipeline("en", processors="tokenize,mwt,pos", model_dir=root)
    alone = setup.pos.process(setup.mwt.process(setup.tokenize.process(q.Document(setup.texts[1])))).to_dict()
    assert pipeline.process(q.Document(setup.texts[1])).to_dict() == alone
    assert [d.to_dict() for d in pipeline.bulk_process(setup.texts[1:2] * 2)] == [alone, alone]


@pytest.mark.parametrize("call", [
    lambda d: q.POSProcessor().process(d),
    lambda d: q.MWTProcessor().bulk_process([d, d]),
    lambda d: q.Pipeline("en", processors="tokenize").process(d),
    lambda d: q.Pipeline("en", processors="tokenize").bulk_process([d]),
], ids=["process", "bulk_process", "Pipeline.process", "Pipeline.bulk_process"])
def test_a_call_that_fails_in_the_engine_frees_its_documents(setup, call):
    doc = setup.document()
    with pytest.raises(q.ProcessorNotImplementedError):
        call(doc)
    doc.lang = "en"
    assert setup.pos.process(doc).to_dict() == setup.tagged() and doc.lang == "en"


@pytest.mark.parametrize("name", races.SCENARIOS)
def test_threads_racing_on_one_document(setup, name):
    scenario, rounds = races.SCENARIOS[name]
    counts = scenario(setup, rounds)
    assert counts["refused"] > 0, counts
