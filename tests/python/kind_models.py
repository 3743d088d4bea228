"""One small random model per processor kind in one model tree, the pipeline that runs them
all, and a text for it: shared by the tests that must reach every kind that runs a model."""
import os
import pathlib
import random

import _quelbin as q
import bundle_writer as bw
from model_bundles.coref import coref_package, random_coref, write_coref_bundle
from model_bundles.constituency import random_constituency_model, write_constituency_bundle
from model_bundles.depparse import random_depparse_model, write_depparse_bundle
from model_bundles.langid import random_langid, write_langid_bundle
from model_bundles.lemma import write_lemma_bundle
from model_bundles.morphseg import random_morphseg, write_morphseg_bundle
from model_bundles.mwt import write_mwt_bundle
from model_bundles.ner import random_ner, write_ner_bundle
from model_bundles.pos import random_pos_model, write_pos_bundle
from model_bundles.sentiment import random_sentiment, write_sentiment_bundle
from model_bundles.seq2seq import random_model
from model_bundles.tokenizer import (DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights,
                                     write_tokenizer_bundle)

LANGUAGE = "en"
PACKAGES = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build")) / "fixtures" / "aoti_packages"
CHARS = list("abcdefghijklmnopqrstuvwxyz")
# Every kind that runs a model, in pipeline order, with the writer of its test bundle.
WRITERS = {
    "langid": lambda d: write_langid_bundle(d, random_langid(12)),
    # Splits at spaces and punctuation and marks tokens ending in "u" as multi-word.
    "tokenize": lambda d: write_tokenizer_bundle(
        d, use_mwt=True, tensor_overrides=hand_set_weights(DEFAULT_VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))),
    "mwt": lambda d: write_mwt_bundle(d, random_model(5, chars=CHARS, max_dec_len=6)),
    "pos": lambda d: write_pos_bundle(d, random_pos_model(7)),
    "lemma": lambda d: write_lemma_bundle(d, {}, random_model(6, chars=CHARS, max_dec_len=6)),
    "depparse": lambda d: write_depparse_bundle(d, random_depparse_model(8)),
    "ner": lambda d: write_ner_bundle(d, random_ner(9, scale=1.5)),
    "sentiment": lambda d: write_sentiment_bundle(d, random_sentiment(10, bilstm=True)),
    "constituency": lambda d: write_constituency_bundle(d, random_constituency_model(11, tag_source="upos")),
    "coref": lambda d: write_coref_bundle(d, random_coref(14, link_bias=2.0),
                                          coref_package(PACKAGES)),
    "morphseg": lambda d: write_morphseg_bundle(d, random_morphseg(13)),
}
PIPELINE = tuple(WRITERS)


def write_model_tree(root):
    """Writes one bundle per kind of WRITERS under `root` with its index; returns the
    bundle directory of each kind."""
    directory = root / "1.14.0" / LANGUAGE
    paths = {kind: directory / kind for kind in WRITERS}
    for kind, write in WRITERS.items():
        write(paths[kind])
    bw.write_index(root, [(kind, "default", kind) for kind in WRITERS], language=LANGUAGE)
    return paths


def sample_text(seed: int, sentences: int) -> str:
    """Paragraphs of short lowercase sentences; the words ending in "u" make multi-word tokens."""
    rng, paragraphs = random.Random(seed), []
    while sentences > 0:
        count = min(sentences, rng.randint(1, 6))
        sentences -= count
        paragraphs.append(" ".join(
            " ".join("".join(rng.choice(CHARS) for _ in range(rng.randint(1, 8))) + rng.choice("uuxyz")
                     for _ in range(rng.randint(3, 10))) + rng.choice(".!?")
            for _ in range(count)))
    return "\n\n".join(paragraphs)


def annotations(document):
    """What the processors write into a document, sentence-level values included."""
    return (document.lang, document.to_dict(),
            [(s.sentiment, str(s.constituency), s.comments) for s in document.sentences])


def stage_inputs(pipeline, texts):
    """Per processor name: its processor and the (dictionary form, text) of each document it
    gets in `pipeline` (no dictionary form before tokenization)."""
    documents, out = [q.Document(text) for text in texts], {}
    for processor in pipeline.processors:
        out[processor.name] = (processor, [(d.to_dict(), d.text) for d in documents])
        documents = processor.bulk_process(documents)
    return out


def copies(inputs):
    return [q.Document.from_dict(sentences, text) if sentences else q.Document(text)
            for sentences, text in inputs]
