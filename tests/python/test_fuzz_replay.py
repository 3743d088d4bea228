"""Replays the dictionary-form fuzz inputs (tests/fuzz/regressions/dict_form/ and the seeds in
tests/fuzz/corpus/dict_form/) through Document.from_dict the way the fuzz target reads them:
each builds a document that writes back to the same dictionary form, or raises ValueError or
TypeError."""
import json
import pathlib

import pytest

import _quelbin as q

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
INPUTS = sorted(p for kept in ("regressions", "corpus") for p in (FUZZ / kept / "dict_form").glob("*"))


def test_seeds_are_present():
    assert any(p.parent.parent.name == "corpus" for p in INPUTS)


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.parent.name}/{p.name}")
def test_kept_dict_form_input(path):
    value = json.loads(path.read_bytes().decode("utf-8", "surrogateescape"))
    sentences, text = (value.get("sentences"), value.get("text")) if isinstance(value, dict) else (value, None)
    try:
        document = q.Document.from_dict(sentences, text)
    except (ValueError, TypeError):
        return
    written = document.to_dict()
    assert q.Document.from_dict(written, document.text).to_dict() == written
