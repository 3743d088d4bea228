import pytest

import _quelbin as q
import _quelbin_testing as t

MODEL_KINDS = ("Tokenizer Seq2Seq MWT POS Lemma Depparse NER Sentiment Constituency Coref CharLM "
               "LangID MorphSeg").split()
# The module's exception classes in their registration order, with their bases.
ENGINE_ERRORS = ([("ProcessorNotImplementedError", NotImplementedError),
                  ("ProcessorRequirementsError", ValueError), ("ModelBundleError", RuntimeError)]
                 + [(kind + "ModelError", "ModelBundleError") for kind in MODEL_KINDS]
                 + [(name, RuntimeError) for name in ("WordPieceError", "SubwordError",
                                                      "TransformerError")])
# Standard C++ exceptions and the engine's JSON error become built-in classes.
STANDARD_ERRORS = [("invalid_argument", ValueError), ("domain_error", ValueError),
                   ("length_error", ValueError), ("range_error", ValueError),
                   ("out_of_range", IndexError), ("overflow_error", OverflowError),
                   ("logic_error", RuntimeError), ("runtime_error", RuntimeError),
                   ("JsonError", RuntimeError)]


def test_module_attributes_and_name_order():
    assert q.__doc__ == "Native components of Quelbin."
    assert (q.__version__, q.native_version(), q.free_threaded_build) == ("0.1.0", "0.1.0", False)
    names = [name for name in vars(q) if not name.startswith("__")]
    assert names[:20] == ["free_threaded_build"] + [name for name, _ in ENGINE_ERRORS]
    assert names[-2:] == ["processor_specs", "native_version"]
    for name in names[20:-2]:
        cls = getattr(q, name)
        processor = name.endswith("Processor") and name != "Processor"
        assert (cls.__module__, cls.__bases__) == ("_quelbin", (q.Processor,) if processor else (object,))


def test_every_exception_reaches_python_as_its_class_with_its_message():
    for name, base in ENGINE_ERRORS:
        cls = getattr(q, name)
        assert cls.__bases__ == (getattr(q, base) if isinstance(base, str) else base,), name
        assert (cls.__module__, cls.__doc__) == ("_quelbin", None), name
    for kind, cls in [(name, getattr(q, name)) for name, _ in ENGINE_ERRORS] + STANDARD_ERRORS:
        with pytest.raises(Exception) as info:
            t.throw_engine_error(kind, f"'{kind}' failed at byte 12")
        assert (type(info.value), info.value.args) == (cls, (f"'{kind}' failed at byte 12",)), kind
    with pytest.raises(MemoryError):
        t.throw_engine_error("bad_alloc", "")
