"""The module as a whole: its names in registration order, the shape of its classes and
signatures, the import failure path, argument conversions, what processor_specs reports,
and the passage of engine exceptions."""
import os
import pathlib
import subprocess
import sys

import pytest

import _quelbin as q
import _quelbin_testing as t
import kind_models
from conftest import BUILD, outcome

MODEL_KINDS = ("Tokenizer Seq2Seq MWT POS Lemma Depparse NER Sentiment Constituency Coref CharLM "
               "LangID MorphSeg").split()
# The module's exception classes in their registration order, with their bases.
ENGINE_ERRORS = ([("ProcessorNotImplementedError", NotImplementedError),
                  ("ProcessorRequirementsError", ValueError), ("ModelBundleError", RuntimeError)]
                 + [(kind + "ModelError", "ModelBundleError") for kind in MODEL_KINDS]
                 + [(name, RuntimeError) for name in ("WordPieceError", "SubwordError",
                                                      "TransformerError")])
PROCESSORS = ("LangIDProcessor TokenizeProcessor MWTProcessor POSProcessor LemmaProcessor "
              "DepparseProcessor NERProcessor SentimentProcessor ConstituencyProcessor "
              "CorefProcessor MorphSegProcessor").split()
CLASSES = ("TensorDescriptor ModelBundle CharLMPlan CorefPrediction CorefPlan MorphSegPlan "
           "WordPieceEncoding WordPieceTokenizer ByteBPETokenizer XLMRobertaTokenizer "
           "TransformerEncoder CorefMention CorefChain CorefAttachment ConstituencyTree Document "
           "Sentence Token Word Span _SentenceIterator SentenceSequence _TokenIterator "
           "TokenSequence _WordIterator WordSequence _SpanIterator SpanSequence _TreeIterator "
           "TreeSequence Processor").split() + PROCESSORS + ["Pipeline"]
ATTRIBUTES = ["__version__", "free_threaded_build"]
FUNCTIONS = ["processor_specs", "native_version"]
# Every name the module adds, in registration order.
REGISTERED = ATTRIBUTES + [name for name, _ in ENGINE_ERRORS] + CLASSES + FUNCTIONS
# Standard C++ exceptions and the engine's JSON error become built-in classes.
STANDARD_ERRORS = [("invalid_argument", ValueError), ("domain_error", ValueError),
                   ("length_error", ValueError), ("range_error", ValueError),
                   ("out_of_range", IndexError), ("overflow_error", OverflowError),
                   ("logic_error", RuntimeError), ("runtime_error", RuntimeError),
                   ("JsonError", RuntimeError)]
STANDARD_MODULE_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def registered_names(module):
    return [name for name in vars(module) if name not in STANDARD_MODULE_NAMES]


def test_module_names_in_registration_order():
    assert (len(ENGINE_ERRORS), len(CLASSES), len(PROCESSORS)) == (19, 43, 11)
    assert q.__doc__ == "Native components of Quelbin."
    assert (q.__version__, q.native_version(), q.free_threaded_build) == ("0.1.0", "0.1.0", False)
    names = registered_names(q)
    assert names == REGISTERED


def test_classes_are_open_without_instance_dictionaries_or_docstrings():
    for name in CLASSES:
        if not hasattr(q, name):
            continue
        cls = getattr(q, name)
        bases = (q.Processor,) if name in PROCESSORS else (object,)
        assert (cls.__module__, cls.__bases__, cls.__doc__) == ("_quelbin", bases, None), name
        type("Sub" + name, (cls,), {})  # a final class raises TypeError here
        assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls), name
        for member_name, member in vars(cls).items():
            function = getattr(member, "fget", member)
            if type(function).__module__ != "nanobind":
                continue  # the interpreter's own slots
            # Only the rendered signature: one line per overload, nothing else.
            lines = function.__doc__.split("\n")
            assert all(line.startswith((member_name + "(", "(")) for line in lines), (name, member_name)
    for name in FUNCTIONS:
        assert getattr(q, name).__doc__ == name + "() -> " + ("dict" if name == "processor_specs" else "str")
    assert outcome(lambda: q.Document("x").__dict__)[0] is AttributeError


SIGNATURES = [  # member -> its rendered signature, one rendering rule or more each
    (q.LemmaProcessor.lemmatize, "lemmatize(self, word: str, pos: str | None = None) -> str"),
    (q.MWTProcessor.expand, "expand(self, arg: str, /) -> str"),
    (q.SentimentProcessor.classify_many,
     "classify_many(self, sentences: collections.abc.Sequence[collections.abc.Sequence[str]], "
     "batch_size: int = 5000) -> list[int]"),
    (q.ModelBundle.__init__, "__init__(self, path: str | os.PathLike, verify_checksums: bool = True) -> None"),
    (q.TokenizeProcessor.bundle_path.fget, "(self) -> pathlib.Path | None"),
    (q.ByteBPETokenizer.__init__,
     "__init__(self, vocabulary: collections.abc.Sequence[str], merges: "
     "collections.abc.Sequence[tuple[str, str]], unknown_token: str = '<unk>', cls_token: str = '<s>', "
     "sep_token: str = '</s>', add_prefix_space: bool = False) -> None"),
    (q.CharLMPlan.encode, "encode(self, words: collections.abc.Sequence[str]) -> list[list[float]]"),
    (q.WordSequence.__getitem__, "__getitem__(self, arg: int, /) -> _quelbin.Word\n"
                                 "__getitem__(self, arg: slice, /) -> _quelbin.WordSequence"),
    (q.Document.from_dict,
     "from_dict(sentences: collections.abc.Sequence, text: object = None) -> _quelbin.Document"),
    (q.Word.to_dict, "to_dict(self) -> dict"),
    (q.Processor.bulk_process,
     "bulk_process(self, arg: collections.abc.Sequence[_quelbin.Document], /) -> list[_quelbin.Document]"),
    (q.Pipeline.process, "\n".join(
        f"process(self, arg: {arg}, /) -> {result}" for arg, result in [
            ("str", "_quelbin.Document"), ("_quelbin.Document", "_quelbin.Document"),
            ("collections.abc.Sequence[str]", "list[_quelbin.Document]"),
            ("collections.abc.Sequence[_quelbin.Document]", "list[_quelbin.Document]")])),
]


def test_signatures_are_rendered_from_the_types():
    for member, signature in SIGNATURES:
        assert member.__doc__ == signature


ARGUMENTS = [  # call -> the class it raises: TypeError when no overload takes the arguments
    # Keyword names where a method names its arguments, positional only elsewhere; a bundle-less
    # processor shows that the arguments converted by refusing to run.
    (lambda: q.LemmaProcessor().lemmatize(word="x", pos=None), q.ProcessorNotImplementedError),
    (lambda: q.LemmaProcessor().lemmatize("x", "VERB"), q.ProcessorNotImplementedError),
    (lambda: q.SentimentProcessor().classify_many(sentences=[["a"]], batch_size=2),
     q.ProcessorNotImplementedError),
    (lambda: q.ConstituencyProcessor().parse(words=["a"], tags=["X"]), q.ProcessorNotImplementedError),
    (lambda: q.MorphSegProcessor().segment_many(words=["a"]), q.ProcessorNotImplementedError),
    (lambda: q.MWTProcessor().expand(token="x"), TypeError),
    (lambda: q.LangIDProcessor().identify(text="x"), TypeError),
    (lambda: q.TokenizeProcessor().predict_labels(text="x"), TypeError),
    (lambda: q.TokenizeProcessor().process(document=q.Document("x")), TypeError),
    (lambda: q.Pipeline("en", processors="").process(text="x"), TypeError),
    (lambda: q.Document("x").byte_offset(codepoint_index=0), None),
    # Booleans only from True and False.
    (lambda: q.TokenizeProcessor("/nonexistent", verify_checksums=1), TypeError),
    (lambda: q.TokenizeProcessor(model_path="/nonexistent", verify_checksums=True), q.ModelBundleError),
    (lambda: q.Pipeline("en", processors="", verify_model_checksums=0), TypeError),
    # Integers never from a float.
    (lambda: q.SentimentProcessor().classify_many([["a"]], 2.0), TypeError),
    (lambda: q.SentimentProcessor().classify_many([["a"]], -1), TypeError),
    (lambda: q.Document("x").byte_offset(0.0), TypeError),
    # Sequences: any sequence but a str or bytes object.
    (lambda: q.NERProcessor().tag("ab"), TypeError),
    (lambda: q.NERProcessor().tag(b"ab"), TypeError),
    (lambda: q.NERProcessor().tag(("a", "b")), q.ProcessorNotImplementedError),
    (lambda: q.MorphSegProcessor().segment_many(["a", 1]), TypeError),
    (lambda: q.LangIDProcessor("/nonexistent", lang_subset="en"), TypeError),
    (lambda: q.LangIDProcessor("/nonexistent", lang_subset=("en",)), q.ModelBundleError),
    # Paths from str, bytes or os.PathLike.
    (lambda: q.NERProcessor(b"/nonexistent"), q.ModelBundleError),
    (lambda: q.NERProcessor(pathlib.PurePosixPath("/nonexistent")), q.ModelBundleError),
    (lambda: q.NERProcessor(7), TypeError),
    # Strings: a str only.
    (lambda: q.MorphSegProcessor().segment(b"ab"), TypeError),
    (lambda: q.Pipeline(b"en", processors=""), TypeError),
]


def test_arguments_convert_strictly():
    for i, (call, error) in enumerate(ARGUMENTS):
        got = outcome(call)
        assert (got[0] if isinstance(got, tuple) else None) is error, (i, got)


def test_processor_specs_tell_which_kinds_run_a_model(tmp_path):
    """A kind is reported implemented exactly when its processor loads a test bundle and
    annotates with it; a kind without a model runner refuses every bundle."""
    paths = kind_models.write_model_tree(tmp_path)
    pipeline = q.Pipeline(kind_models.LANGUAGE, processors=",".join(kind_models.PIPELINE), model_dir=tmp_path)
    stages = kind_models.stage_inputs(pipeline, [kind_models.sample_text(seed, 3) for seed in range(4)])
    specs = q.processor_specs()
    classes = {getattr(q, name)().name: getattr(q, name) for name in PROCESSORS}
    assert set(specs) == set(classes)
    for kind, row in specs.items():
        cls = classes[kind]
        if kind in stages:
            processor, inputs = stages[kind]
            loaded = cls(paths[kind])
            before = [kind_models.annotations(d) for d in kind_models.copies(inputs)]
            after = [kind_models.annotations(d) for d in loaded.bulk_process(kind_models.copies(inputs))]
            runs = loaded.implemented and after != before
        else:
            refused = outcome(lambda: cls(paths["tokenize"]))
            assert refused == (q.ProcessorNotImplementedError, f"the '{kind}' processor is registered "
                               "but native inference is not implemented"), kind
            runs = False
        assert row["implemented"] is runs, kind


# Importing the module into a module object that refuses one name, or that holds one
# already: the names registered before it are there, the import fails with ImportError.
FAILING_IMPORT = """
import importlib.util, sys, types
how, name = sys.argv[1:3]
sys.path.insert(0, sys.argv[3])
spec = importlib.util.find_spec("_quelbin")
module = spec.loader.create_module(spec)

class Refusing(types.ModuleType):
    def __setattr__(self, key, value):
        if key == name:
            raise LookupError("refused " + key)
        super().__setattr__(key, value)

if how == "refuse":
    module.__class__ = Refusing
else:
    types.ModuleType.__setattr__(module, name, None)
try:
    spec.loader.exec_module(module)
except ImportError as error:
    print(repr(error), repr(error.__cause__), error.__cause__ is error.__context__)
    print(" ".join(key for key in vars(module) if key not in {standard!r} and key != name))
"""
INITIALIZING = "ImportError('Encountered an error while initializing the extension.')"
IMPORT_FAILURES = [  # how, name -> the ImportError with its cause
    ("refuse", "__version__", f"{INITIALIZING} LookupError('refused __version__') True"),
    ("refuse", "free_threaded_build", f"{INITIALIZING} LookupError('refused free_threaded_build') True"),
    ("refuse", "ModelBundleError", f"{INITIALIZING} LookupError('refused ModelBundleError') True"),
    ("refuse", "TransformerError", f"{INITIALIZING} LookupError('refused TransformerError') True"),
    ("refuse", "TensorDescriptor", f"{INITIALIZING} LookupError('refused TensorDescriptor') True"),
    ("refuse", "Document", f"{INITIALIZING} LookupError('refused Document') True"),
    ("refuse", "Pipeline", f"{INITIALIZING} LookupError('refused Pipeline') True"),
    ("refuse", "native_version", f"{INITIALIZING} LookupError('refused native_version') True"),
    # The binding library throws a standard exception: its text is the ImportError's message.
    ("hold", "SubwordError", "ImportError('nanobind::detail::exception_new(): an object of the same "
                             "name already exists!') None True"),
]


def test_a_failure_while_filling_the_module_becomes_an_import_error():
    for how, name, error in IMPORT_FAILURES:
        script = FAILING_IMPORT.format(standard=STANDARD_MODULE_NAMES)
        run = subprocess.run([sys.executable, "-c", script, how, name, str(BUILD / "python")],
                             capture_output=True, text=True, timeout=120, check=True)
        got, before = run.stdout.split("\n")[:2]
        assert got == error, name
        assert before.split() == REGISTERED[:REGISTERED.index(name)], name


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



# Run in a fresh process: the module is imported in the main interpreter, then in a
# sub-interpreter, which is refused; the main interpreter's module keeps working.
SUB_INTERPRETER = """
import _xxsubinterpreters as interpreters
import _quelbin
document = _quelbin.Document("x")
interpreter = interpreters.create()
try:
    interpreters.run_string(interpreter, "import _quelbin")
except interpreters.RunFailedError as error:
    print(error)
print(document.to_dict(), _quelbin.Document("y").text, repr(_quelbin.Pipeline("en", processors="")))
"""


def test_a_sub_interpreter_is_refused_and_the_main_module_stays_intact():
    pytest.importorskip("_xxsubinterpreters")
    run = subprocess.run([sys.executable, "-c", SUB_INTERPRETER], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, PYTHONPATH=str(BUILD / "python")))
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "<class 'ImportError'>: _quelbin cannot be imported in a sub-interpreter: the binding "
        "library's type registry is shared by the whole process, so only the main interpreter may "
        "import the module",
        "[] y <Pipeline lang=en processors=0>"]


# The built module imported as a package's submodule: every name it registers reports the
# import name as its __module__, and rendered signatures name its classes under it.
RENAMED = """
import importlib.util, sys
spec = importlib.util.spec_from_file_location("renamed._quelbin", sys.argv[1])
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
for name in sys.argv[2:]:
    print(name, getattr(module, name).__module__)
print(module.Pipeline.process.__doc__.split("\\n")[0])
print(module.Document.from_dict.__doc__)
"""


def test_every_name_reports_the_import_name_as_its_module():
    names = [name for name, _ in ENGINE_ERRORS] + CLASSES + FUNCTIONS
    run = subprocess.run([sys.executable, "-c", RENAMED, q.__file__] + names,
                         capture_output=True, text=True, timeout=120, check=True)
    assert run.stdout.splitlines() == [f"{name} renamed._quelbin" for name in names] + [
        "process(self, arg: str, /) -> renamed._quelbin.Document",
        "from_dict(sentences: collections.abc.Sequence, text: object = None) -> renamed._quelbin.Document"]
