import gc
import types

import pytest

import _quelbin as q
import bundle_writer as bw

KINDS = [
    ("langid", q.LangIDProcessor, [], "extended"),
    ("tokenize", q.TokenizeProcessor, [], "ud"),
    ("mwt", q.MWTProcessor, ["tokenize"], "ud"),
    ("pos", q.POSProcessor, ["tokenize"], "ud"),
    ("lemma", q.LemmaProcessor, ["tokenize"], "ud"),
    ("depparse", q.DepparseProcessor, ["tokenize", "pos", "lemma"], "ud"),
    ("ner", q.NERProcessor, ["tokenize"], "extended"),
    ("sentiment", q.SentimentProcessor, ["tokenize"], "extended"),
    ("constituency", q.ConstituencyProcessor, ["tokenize", "pos"], "extended"),
    ("coref", q.CorefProcessor, ["tokenize"], "coref"),
    ("morphseg", q.MorphSegProcessor, ["tokenize"], "extended"),
]


def test_processor_specs_table():
    specs = q.processor_specs()
    assert list(specs) == [name for name, *_ in KINDS]
    for name, _, requires, module in KINDS:
        assert list(specs[name]) == ["requires", "provides", "module", "implemented"]
        assert specs[name]["requires"] == requires
        assert specs[name]["provides"] == [name]
        assert specs[name]["module"] == module
        assert specs[name]["implemented"] is (name != "coref")
    assert specs["depparse"] == {
        "requires": ["tokenize", "pos", "lemma"], "provides": ["depparse"],
        "module": "ud", "implemented": True}
    # A new dict every call.
    specs["pos"]["requires"].append("x")
    assert q.processor_specs()["pos"]["requires"] == ["tokenize"]


@pytest.mark.parametrize("name, cls, requires, module", KINDS)
def test_bundleless_processor_classes(name, cls, requires, module):
    processor = cls()
    assert isinstance(processor, q.Processor)
    assert processor.name == name
    assert processor.requires == requires
    assert processor.provides == [name]
    assert processor.module == module
    assert processor.implemented is False
    assert processor.bundle_path is None
    assert repr(processor) == f"<{name} processor implemented=False>"
    assert processor.bulk_process([]) == []


def test_processor_base_cannot_be_created():
    with pytest.raises(TypeError):
        q.Processor()


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: q.LangIDProcessor().identify("x"), "langid"),
        (lambda: q.LangIDProcessor().identify_many(["x"]), "langid"),
        (lambda: q.TokenizeProcessor().predict_labels("x"), "tokenize"),
        (lambda: q.MWTProcessor().expand("x"), "mwt"),
        (lambda: q.LemmaProcessor().lemmatize("running"), "lemma"),
        (lambda: q.LemmaProcessor().lemmatize(word="running", pos=None), "lemma"),
        (lambda: q.NERProcessor().tag(["x"]), "ner"),
        (lambda: q.SentimentProcessor().classify(["x"]), "sentiment"),
        (lambda: q.SentimentProcessor().classify_many([["x"]]), "sentiment"),
        (lambda: q.ConstituencyProcessor().uses_xpos, "constituency"),
        (lambda: q.ConstituencyProcessor().parse(["x"], ["X"]), "constituency"),
        (lambda: q.CorefProcessor().predicts_singletons, "coref"),
        (lambda: q.CorefProcessor().predicts_zero_anaphora, "coref"),
        (lambda: q.MorphSegProcessor().segment("x"), "morphseg"),
        (lambda: q.MorphSegProcessor().segment_many(["x"]), "morphseg"),
    ],
)
def test_model_operations_without_bundle(call, name):
    with pytest.raises(q.ProcessorNotImplementedError) as info:
        call()
    assert str(info.value) == f"the '{name}' processor has no loaded model bundle"


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.POSProcessor("x", verify_checksums=1),
        lambda: q.LangIDProcessor("x", lang_subset="en"),
        lambda: q.SentimentProcessor().classify_many([["x"]], batch_size=-1),
        lambda: q.NERProcessor().tag("abc"),
        lambda: q.TokenizeProcessor().bulk_process(["text"]),
        lambda: q.TokenizeProcessor().process("text"),
    ],
)
def test_processor_argument_types(call):
    with pytest.raises(TypeError):
        call()


def test_pipeline_processor_normalisation():
    assert [p.name for p in q.Pipeline("en", processors=" tokenize , pos ,, ").processors] == [
        "tokenize", "pos"]
    assert q.Pipeline("en", processors="").processors == []
    assert q.Pipeline("en", processors=None).processors == []
    assert [p.name for p in q.Pipeline("en", processors=("tokenize", "mwt")).processors] == [
        "tokenize", "mwt"]
    default = q.Pipeline("en")
    assert [p.name for p in default.processors] == ["tokenize", "mwt", "pos", "lemma", "depparse"]
    assert [type(p) for p in default.processors] == [
        q.TokenizeProcessor, q.MWTProcessor, q.POSProcessor, q.LemmaProcessor, q.DepparseProcessor]
    with pytest.raises(ValueError, match=r"^unknown processor: ' pos'$"):
        q.Pipeline("en", processors=["tokenize", " pos"])
    with pytest.raises(ValueError, match=r"^a processor may only appear once in a pipeline: 'tokenize'$"):
        q.Pipeline("en", processors="tokenize,tokenize")
    with pytest.raises(RuntimeError):
        q.Pipeline("en", processors=[1, 2])
    with pytest.raises(RuntimeError):
        q.Pipeline("en", processors=b"tokenize")


def test_pipeline_requirements_error():
    with pytest.raises(q.ProcessorRequirementsError) as info:
        q.Pipeline("en", processors="pos,tokenize")
    assert str(info.value) == "processor 'pos' is missing requirements: tokenize"
    assert isinstance(info.value, ValueError)
    with pytest.raises(q.ProcessorRequirementsError, match="missing requirements: pos, lemma$"):
        q.Pipeline("en", processors="tokenize,depparse")


def test_pipeline_package_forms():
    p = q.Pipeline("en", processors="tokenize,pos", package={"tokenize": "default", "pos": "alt"})
    assert p.package == {"pos": "alt", "tokenize": "default"}
    assert list(p.package) == ["pos", "tokenize"]
    assert q.Pipeline("en", processors="tokenize", package={}).package == {}
    proxy = types.MappingProxyType({"tokenize": "x"})
    assert q.Pipeline("en", processors="tokenize", package=proxy).package == {"tokenize": "x"}
    assert q.Pipeline("en", processors="tokenize", package="gsd").package == "gsd"
    with pytest.raises(TypeError, match="^package must be a string or mapping from processor names to package names$"):
        q.Pipeline("en", processors="tokenize", package=[("tokenize", "x")])
    with pytest.raises(TypeError, match="^package must be a string or mapping"):
        q.Pipeline("en", processors="tokenize", package=None)
    with pytest.raises(TypeError, match="^package mapping processor names and package names must be strings$"):
        q.Pipeline("en", processors="pos", package={"pos": 1})
    with pytest.raises(ValueError, match=r"^package was specified for unrequested processor: 'ner'$"):
        q.Pipeline("en", processors="tokenize", package={"ner": "x", "pos": "y"})
    with pytest.raises(ValueError, match=r"^package for processor 'tokenize' cannot be empty$"):
        q.Pipeline("en", processors="tokenize", package={"tokenize": ""})
    with pytest.raises(ValueError, match="^a pipeline package cannot be empty$"):
        q.Pipeline("en", processors="tokenize", package="")


@pytest.mark.parametrize(
    "kwargs",
    [
        {"verify_model_checksums": 1},
        {"langid_lang_subset": "en"},
        {"lang": 5},
        {"resources_version": None},
        {"model_dir": 3},
    ],
)
def test_pipeline_argument_types(kwargs):
    args = {"lang": "en", "processors": "tokenize"}
    args.update(kwargs)
    with pytest.raises(TypeError):
        q.Pipeline(**args)


def test_pipeline_properties_and_repr(tmp_path):
    p = q.Pipeline("de", processors="tokenize", langid_lang_subset=("en", "fr"))
    assert repr(p) == "<Pipeline lang=de processors=1>"
    assert p.lang == "de"
    assert p.resources_version == "1.14.0"
    assert p.model_dir is None
    with pytest.raises(AttributeError):
        p.lang = "en"
    with pytest.raises(ValueError, match="^a pipeline language is required$"):
        q.Pipeline("")


def test_processors_outlive_their_pipeline():
    p = q.Pipeline("en", processors="tokenize,pos")
    processors = p.processors
    assert p.processors is not p.processors  # a new list on every read
    del p
    gc.collect()
    assert [x.name for x in processors] == ["tokenize", "pos"]
    assert processors[1].requires == ["tokenize"]
    assert repr(processors[0]) == "<tokenize processor implemented=False>"


def test_bulk_processing_of_nothing():
    p = q.Pipeline("en")
    assert p.process([]) == []
    assert p.bulk_process([]) == []
    assert p.process_many([]) == []
    assert p([]) == []


def test_bundle_resolution_errors(tmp_path):
    # No index at all.
    with pytest.raises(q.ModelBundleError):
        q.Pipeline("en", processors="pos", model_dir=tmp_path)
    bw.write_index(tmp_path, [("tokenize", "default", "tok"), ("pos", "a", "pos-a"), ("pos", "b", "pos-b")])
    # No entry for the processor.
    with pytest.raises(q.ModelBundleError, match="^no converted bundle for en/ner/default$"):
        q.Pipeline("en", processors="ner", model_dir=tmp_path)
    # Two packages for the default request.
    with pytest.raises(q.ModelBundleError, match="^package 'default' is ambiguous for converted processor 'pos'$"):
        q.Pipeline("en", processors="pos", model_dir=tmp_path)
    # A named package that is absent.
    with pytest.raises(q.ModelBundleError, match="^no converted bundle for en/pos/c$"):
        q.Pipeline("en", processors="pos", package="c", model_dir=tmp_path)
    # A per-processor package picks one entry; the bundle it names does not exist.
    with pytest.raises(q.ModelBundleError):
        q.Pipeline("en", processors="pos", package={"pos": "a"}, model_dir=tmp_path)
    # Hostile identifiers never reach the file system.
    with pytest.raises(q.ModelBundleError):
        q.Pipeline("../en", processors="pos", model_dir=tmp_path)
    with pytest.raises(q.ModelBundleError):
        q.Pipeline("en", processors="pos", package="../a", model_dir=tmp_path)
    # Argument checks come before any resolution.
    with pytest.raises(ValueError, match="^a processor may only appear once"):
        q.Pipeline("en", processors="ner,ner", model_dir=tmp_path)
    # A pipeline that refers to no known processor touches no index.
    with pytest.raises(ValueError, match="^unknown processor: 'nope'$"):
        q.Pipeline("en", processors="nope", model_dir=tmp_path / "missing")
