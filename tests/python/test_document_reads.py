"""A read that builds Python objects as it goes can run other Python code midway: the
garbage collector's callbacks, which may change the document themselves or let another
thread run. While such a read is under way, processing or editing its document raises
RuntimeError and changes nothing, so the read never mixes two states of the document;
other reads still go on side by side."""
import gc
import threading

import pytest

import _quelbin as q
import document_races as races

pytest.importorskip("torch")

BEING_READ = "the document is being read by another call"


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    root = tmp_path_factory.mktemp("reads")
    races.write_models(root)
    return races.Setup(q, root / "1.14.0" / "en")


def during_read(read, act, in_thread):
    """Runs `read()` with a collection at every allocation; at the 200th collection,
    `act()` runs inside it, in this thread or in another one that the callback waits for. Returns what `read` returned and what `act` returned or raised."""
    outcome, calls = {}, [0]

    def attempt():
        try:
            outcome["act"] = act()
        except RuntimeError as error:
            outcome["act"] = str(error)

    def callback(phase, info):
        calls[0] += phase == "start"
        if phase == "start" and calls[0] == 200:
            if in_thread:
                worker = threading.Thread(target=attempt)
                worker.start()
                worker.join()
            else:
                attempt()

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        result = read()
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert "act" in outcome, "the read made too few collections"
    return result, outcome["act"]


READS = {
    "Document.to_dict": lambda doc: doc.to_dict(),
    "repr(Document)": repr,
    "format(Document)": lambda doc: format(doc, ""),
}


@pytest.mark.parametrize("in_thread", [True, False], ids=["other thread", "same thread"])
@pytest.mark.parametrize("read", READS)
def test_processing_or_editing_a_document_that_is_being_read_is_refused(setup, read, in_thread):
    doc = setup.document()
    word = doc.sentences[-1].words[-1]
    acts = {
        "MWTProcessor.process": lambda: setup.mwt.process(doc),
        "POSProcessor.bulk_process": lambda: setup.pos.bulk_process([setup.document(1), doc]),
        "Word.upos =": lambda: setattr(word, "upos", "X"),
        "Document.rebuild_entities": doc.rebuild_entities,
    }
    for name, act in acts.items():
        before = READS[read](doc)
        got, refusal = during_read(lambda: READS[read](doc), lambda: act() and "done", in_thread)
        assert (name, refusal) == (name, BEING_READ)
        assert got == before and READS[read](doc) == before, name
    # Once the read is over, the document is processed as usual.
    assert setup.pos.process(doc).to_dict() == setup.pos.process(setup.document()).to_dict()


def test_reads_of_one_document_go_on_side_by_side(setup):
    doc = setup.pos.process(setup.document())
    form = doc.to_dict()
    for in_thread in (True, False):
        got, inner = during_read(doc.to_dict, doc.to_dict, in_thread)
        assert got == form and inner == form
