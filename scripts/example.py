"""The main job: runs the default pipeline (tokenize, mwt, pos, lemma, depparse)
over a text and prints the result as a CoNLL-U file.

The text is the argument, the file given with --file, or standard input ("-" or
"--file -"); without any, a French sample. It is read whole, so its size is
bounded only by memory.

No trained model can be fetched here, so the first run writes a small example
model tree (made with the test-bundle writer) into the build folder and reuses
it afterwards: a tokenizer whose weights are set by hand to split at spaces and
punctuation, a dictionary-only expander, a POS tagger, a dependency parser and
a NER tagger with small random weights, and a dictionary-only lemmatizer. The
output shows the engine at work, not linguistic quality.
"""
import argparse
import os
import pathlib
import shutil
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(ROOT / "tests"))

import _quelbin  # noqa: E402

SAMPLE = ("Il va au marché du village avec des amis. Ils achètent du pain et des fruits.\n\n"
          "Le marché ferme à midi.")
LANGUAGE = "fr"
# The file that marks a tree this script wrote, holding the version of its content.
MARKER = "QUELBIN_EXAMPLE_MODELS"
MODEL_TREE_VERSION = "4"
# Words the random POS tagger and parser have in their vocabularies.
WORDS = ["Il", "va", "à", "le", "marché", "de", "village", "avec", "des", "amis", ".", "Ils", "achètent",
         "pain", "et", "fruits", "Le", "ferme", "midi"]
NEVER = -1e9  # score of a class the example models must never predict


def never_predict(tensors, prefix, classes):
    """Makes the classifier at `prefix` (a ".weight" and a ".bias") score the given output
    classes at NEVER whatever its input, so that argmax never picks them."""
    tensors[prefix + ".weight"][classes] = 0.0
    tensors[prefix + ".bias"][classes] = NEVER


def write_example_models(root: pathlib.Path) -> None:
    import bundle_writer
    from model_bundles.lemma import write_lemma_bundle
    from model_bundles.depparse import DEPRELS, random_depparse_model, write_depparse_bundle
    from model_bundles.mwt import write_dict_bundle
    from model_bundles.ner import RESERVED as NER_RESERVED, random_ner, write_ner_bundle
    from model_bundles.pos import SPECIALS, random_pos_model, write_pos_bundle
    from model_bundles.tokenizer import (DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width,
                                         hand_set_weights, write_tokenizer_bundle)

    language_dir = root / "1.14.0" / LANGUAGE
    vocab = DEFAULT_VOCAB + "àâçéèêëîïôûùüÀÉ"
    emb_dim, hidden_dim = 8, 8
    weights = hand_set_weights(vocab, emb_dim, hidden_dim, feature_width(DEFAULT_FEATURES))
    write_tokenizer_bundle(language_dir / "tokenize", emb_dim=emb_dim, hidden_dim=hidden_dim,
                           use_mwt=True, lang=LANGUAGE, shorthand="fr_example", vocab=vocab,
                           tensor_overrides=weights, language=LANGUAGE)
    write_dict_bundle(language_dir / "mwt", {"au": "à le", "du": "de le"}, language=LANGUAGE)
    lemmas = {"va": "aller", "Il": "il", "Ils": "il", "achètent": "acheter", "amis": "ami",
              "fruits": "fruit", "ferme": "fermer", "Le": "le", "le": "le", "les": "le"}
    write_lemma_bundle(language_dir / "lemma", {"*": lemmas}, language=LANGUAGE)
    # The XPOS and feature vocabularies begin with the reserved entries; XPOS prints
    # any id it predicts, a feature prints all but id 2 (no value). None of them
    # belongs in a CoNLL-U file.
    pos = random_pos_model(1, words=WORDS, scale=2.0)
    never_predict(pos.tensors, "xpos_clf.W_bilin", list(range(len(SPECIALS))))
    for k in range(len(pos.vocab["feats"]["_id2unit"])):
        never_predict(pos.tensors, f"ufeats_clf.{k}.W_bilin", [0, 1])
    write_pos_bundle(language_dir / "pos", pos, language=LANGUAGE)
    # Relations without "_", which CoNLL-U reads as no relation; the parser never
    # predicts its vocabulary's reserved entries.
    relations = [r for r in DEPRELS if r != "_"]
    write_depparse_bundle(language_dir / "depparse", random_depparse_model(2, words=WORDS, scale=1.5, deprels=relations),
                          language=LANGUAGE)
    ner = random_ner(3, words=list(dict.fromkeys(w.lower() for w in WORDS)), scale=1.5)
    never_predict(ner.tensors, "tag_clfs.0", list(range(len(NER_RESERVED))))
    ner.tensors["tag_clfs.0.bias"][len(NER_RESERVED)] += 12.0  # "O" mostly: entities are few
    write_ner_bundle(language_dir / "ner", ner, language=LANGUAGE)
    bundle_writer.write_index(root, [(kind, "default", kind)
                                     for kind in ("tokenize", "mwt", "pos", "lemma", "depparse", "ner")],
                              language=LANGUAGE)
    (root / MARKER).write_text(MODEL_TREE_VERSION + "\n")


def ensure_example_models(models: pathlib.Path) -> None:
    """Makes `models` hold the current example tree. Writes only into a directory that
    does not exist, is empty or holds a tree this script wrote; anything else stops
    the job with a message and is left as it is. A tree is replaced whole: the new
    one is written beside it and renamed into place, never over the mapped files of
    a pipeline that may have the old one loaded."""
    def current() -> bool:
        marker = models / MARKER
        return marker.is_file() and marker.read_text() == MODEL_TREE_VERSION + "\n"

    models = models.resolve()  # a link is followed, never replaced
    if current():
        return
    if models.exists():
        if not models.is_dir():
            sys.exit(f"--models {models}: not a directory")
        entries = {entry.name for entry in models.iterdir()}
        # Versions before 4 marked their tree with a VERSION file beside the release folder.
        legacy = (entries == {"VERSION", "1.14.0"} and (models / "VERSION").is_file()
                  and (models / "VERSION").read_text().isdigit())
        if entries and MARKER not in entries and not legacy:
            sys.exit(f"--models {models}: the directory is not empty and holds no {MARKER} file, "
                     "so it was not written by this script; nothing was changed. "
                     "Give a new or empty directory.")
    models.parent.mkdir(parents=True, exist_ok=True)
    fresh = pathlib.Path(tempfile.mkdtemp(prefix=f".{models.name}.", dir=models.parent))
    umask = os.umask(0)
    os.umask(umask)
    fresh.chmod(0o777 & ~umask)  # mkdtemp makes it private
    old = None
    try:
        write_example_models(fresh)
        if current():  # another run was quicker
            return
        if models.exists():
            old = models.with_name(fresh.name + ".old")
            models.rename(old)
        fresh.rename(models)
    finally:
        if fresh.exists():
            shutil.rmtree(fresh)
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)


def read_text(args) -> str:
    source = args.file if args.file is not None else ("-" if args.text == "-" else None)
    if source is None:
        return SAMPLE if args.text is None else args.text
    try:
        data = sys.stdin.buffer.read() if source == "-" else pathlib.Path(source).read_bytes()
        return data.decode("utf-8")
    except OSError as error:
        sys.exit(f"--file {source}: {error.strerror}")
    except UnicodeDecodeError as error:
        sys.exit(f"{'standard input' if source == '-' else source}: not UTF-8 text ({error.reason} at byte {error.start})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("text", nargs="?",
                        help='text to process; "-" reads standard input; after "--" a text may begin with "-"')
    parser.add_argument("--file", metavar="FILE", help='UTF-8 file to process ("-": standard input)')
    parser.add_argument("--models", type=pathlib.Path, default=BUILD / "example_models",
                        help="model tree to use, written there first when the directory is new or empty")
    args = parser.parse_args()
    if args.file is not None and args.text is not None:
        parser.error("give the text as an argument or with --file, not both")
    text = read_text(args)
    ensure_example_models(args.models)
    pipeline = _quelbin.Pipeline(LANGUAGE, model_dir=args.models)
    conll = pipeline.process(text).to_conll()
    # to_conll ends at the last word line; a CoNLL-U file closes every sentence,
    # the last one included, with a blank line.
    sys.stdout.buffer.write((conll + "\n\n").encode("utf-8") if conll else b"")


if __name__ == "__main__":
    main()
