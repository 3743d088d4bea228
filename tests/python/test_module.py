import subprocess
import sys

import pytest

import _quelbin
import _quelbin_testing

EXCEPTIONS = [
    ("ProcessorNotImplementedError", NotImplementedError),
    ("ProcessorRequirementsError", ValueError),
    ("ModelBundleError", RuntimeError),
    ("TokenizerModelError", "ModelBundleError"),
    ("Seq2SeqModelError", "ModelBundleError"),
    ("MWTModelError", "ModelBundleError"),
    ("POSModelError", "ModelBundleError"),
    ("LemmaModelError", "ModelBundleError"),
    ("DepparseModelError", "ModelBundleError"),
    ("NERModelError", "ModelBundleError"),
    ("SentimentModelError", "ModelBundleError"),
    ("ConstituencyModelError", "ModelBundleError"),
    ("CorefModelError", "ModelBundleError"),
    ("CharLMModelError", "ModelBundleError"),
    ("LangIDModelError", "ModelBundleError"),
    ("MorphSegModelError", "ModelBundleError"),
    ("WordPieceError", RuntimeError),
    ("SubwordError", RuntimeError),
    ("TransformerError", RuntimeError),
]


def test_module_attributes():
    assert _quelbin.__doc__ == "Native components of Quelbin."
    assert _quelbin.__version__ == "0.1.0"
    assert _quelbin.free_threaded_build is False
    assert _quelbin.native_version() == "0.1.0"


def test_exception_classes_registered_in_order_with_bases():
    names = [name for name in vars(_quelbin) if name.endswith("Error")]
    assert names == [name for name, _ in EXCEPTIONS]
    for name, base in EXCEPTIONS:
        cls = getattr(_quelbin, name)
        expected = getattr(_quelbin, base) if isinstance(base, str) else base
        assert cls.__bases__ == (expected,), name
        assert cls.__module__ == "_quelbin"
        assert cls.__name__ == name
        assert "__doc__" not in vars(cls) or cls.__doc__ is None


@pytest.mark.parametrize("name", [name for name, _ in EXCEPTIONS])
def test_engine_exception_reaches_python_as_its_class(name):
    message = f"'{name}' failed at byte 12"
    with pytest.raises(getattr(_quelbin, name)) as info:
        _quelbin_testing.throw_engine_error(name, message)
    assert type(info.value) is getattr(_quelbin, name)
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("invalid_argument", ValueError),
        ("domain_error", ValueError),
        ("length_error", ValueError),
        ("range_error", ValueError),
        ("out_of_range", IndexError),
        ("overflow_error", OverflowError),
        ("logic_error", RuntimeError),
        ("runtime_error", RuntimeError),
        ("JsonError", RuntimeError),
    ],
)
def test_standard_exceptions_map_to_builtin_classes(kind, expected):
    with pytest.raises(expected) as info:
        _quelbin_testing.throw_engine_error(kind, "the document string pool is full")
    assert type(info.value) is expected
    assert str(info.value) == "the document string pool is full"


def test_allocation_failure_is_memory_error():
    with pytest.raises(MemoryError):
        _quelbin_testing.throw_engine_error("bad_alloc", "")


def test_base_classes_catch_their_families():
    for name, base in EXCEPTIONS:
        if base == "ModelBundleError":
            with pytest.raises(_quelbin.ModelBundleError):
                _quelbin_testing.throw_engine_error(name, "x")
    with pytest.raises(ValueError):
        _quelbin_testing.throw_engine_error("ProcessorRequirementsError", "x")
    with pytest.raises(NotImplementedError):
        _quelbin_testing.throw_engine_error("ProcessorNotImplementedError", "x")


def test_import_failure_surfaces_as_import_error(tmp_path):
    # A module file that cannot be loaded gives ImportError, not a crash.
    broken = tmp_path / "_quelbin.cpython-311-x86_64-linux-gnu.so"
    broken.write_bytes(b"\x7fELF not really a shared object")
    code = "import sys; sys.path.insert(0, sys.argv[1]);\ntry:\n import _quelbin\nexcept ImportError as e:\n print('ImportError')"
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True)
    assert out.returncode == 0
    assert out.stdout.strip() == "ImportError"


# Classes in their fixed registration order.
CLASS_ORDER = (
    "TensorDescriptor ModelBundle CharLMPlan CorefPrediction CorefPlan MorphSegPlan "
    "WordPieceEncoding WordPieceTokenizer ByteBPETokenizer XLMRobertaTokenizer TransformerEncoder "
    "CorefMention CorefChain CorefAttachment ConstituencyTree Document Sentence Token Word Span "
    "_SentenceIterator SentenceSequence _TokenIterator TokenSequence _WordIterator WordSequence "
    "_SpanIterator SpanSequence _TreeIterator TreeSequence Processor LangIDProcessor TokenizeProcessor "
    "MWTProcessor POSProcessor LemmaProcessor DepparseProcessor NERProcessor SentimentProcessor "
    "ConstituencyProcessor CorefProcessor MorphSegProcessor Pipeline").split()


def test_public_names_follow_the_registration_order():
    names = [n for n in vars(_quelbin) if not n.startswith("__")]
    exceptions = [name for name, _ in EXCEPTIONS]
    assert names[0] == "free_threaded_build"
    assert names[1:20] == exceptions
    classes = names[20:-2]
    assert names[-2:] == ["processor_specs", "native_version"]
    # Every registered class is one of the table's, in the table's order.
    assert classes == [c for c in CLASS_ORDER if c in classes]
    for name in classes:
        cls = getattr(_quelbin, name)
        assert cls.__module__ == "_quelbin"
        expected = (_quelbin.Processor,) if name.endswith("Processor") and name != "Processor" else (object,)
        assert cls.__bases__ == expected, name
    for required in ("Document", "Pipeline", "ModelBundle", "TokenizeProcessor", "ConstituencyTree"):
        assert required in classes
