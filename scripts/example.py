"""The main job: runs the default pipeline (tokenize, mwt, pos, lemma, depparse)
over a text and prints the result as a CoNLL-U file.

The text is the argument, the file given with --file, or standard input ("-" or
"--file -"); without any, a French sample. It is read whole, so its size is
bounded only by memory.

No trained model can be fetched here, so the first run writes a small example
model tree (made with the test-bundle writer) into the build folder and reuses
it afterwards (written again when found damaged): a tokenizer whose weights are
set by hand to split at spaces and punctuation, a dictionary-only expander, a
POS tagger, a dependency parser and a NER tagger with small random weights, and
a dictionary-only lemmatizer. The output shows the engine at work, not
linguistic quality.
"""
import argparse
import contextlib
import os
import pathlib
import shutil
import signal
import sys
import tempfile

if __name__ == "__main__":
    # Ctrl-C and a closed output end the job at once and quietly, as they end other
    # command-line filters; while the model tree is written, Ctrl-C raises instead,
    # so that a half-written tree is removed first.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)

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


def shown(path) -> str:
    """A path as the user typed it, with bytes that are not UTF-8 written as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def make_directories(directory: pathlib.Path, given) -> None:
    """Makes `directory` and its missing parents; when one cannot be made, removes
    those it made and stops the job with a message about the --models path `given`."""
    missing = []
    for path in [directory, *directory.parents]:
        if path.is_dir():
            break
        missing.append(path)
    made = []
    try:
        for path in reversed(missing):
            path.mkdir()
            made.append(path)
    except BaseException as error:  # an interrupt too
        for path in reversed(made):
            path.rmdir()
        if not isinstance(error, OSError):
            raise
        reason = "it is there but not a directory" if isinstance(error, FileExistsError) else error.strerror
        sys.exit(f"--models {shown(given)}: cannot make the directory {shown(path)}: {reason}")


@contextlib.contextmanager
def removed_on_interrupt():
    """Ctrl-C inside raises KeyboardInterrupt, so that what the block was writing is
    removed before the job ends (quietly, status 130)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    except KeyboardInterrupt:
        sys.exit(130)
    finally:
        signal.signal(signal.SIGINT, previous)


def ensure_example_models(models: pathlib.Path, rewrite: bool = False) -> None:
    """Makes `models` hold the current example tree (`rewrite`: a new copy of it, for
    a tree of this script that is damaged). Writes only into a directory that does
    not exist, is empty or holds this script's marker file; anything else stops the
    job with a message and is left as it is. A tree is replaced whole: the new one
    is written beside it and renamed into place, never over the mapped files of a
    pipeline that may have the old one loaded."""
    with removed_on_interrupt():
        write_tree(models, rewrite)


def write_tree(models: pathlib.Path, rewrite: bool) -> None:
    def current() -> bool:
        marker = models / MARKER
        return marker.is_file() and marker.read_bytes() == (MODEL_TREE_VERSION + "\n").encode()

    given = models
    umask = os.umask(0)
    os.umask(umask)
    old = None
    try:
        models = models.resolve()  # a link is followed, never replaced
        if current() and not rewrite:
            return
        if models.exists():
            if not models.is_dir():
                sys.exit(f"--models {shown(given)}: not a directory")
            entries = {entry.name for entry in models.iterdir()}
            if entries and MARKER not in entries:
                # Versions before 4 wrote a VERSION file beside the release folder.
                old = (" If it is an example tree of an older version of this script, remove it by hand."
                       if entries == {"VERSION", "1.14.0"} else "")
                sys.exit(f"--models {shown(given)}: the directory is not empty and holds no {MARKER} file, "
                         f"so it was not written by this script; nothing was changed. "
                         f"Give a new or empty directory.{old}")
        make_directories(models.parent, given)
        fresh = pathlib.Path(tempfile.mkdtemp(prefix=f".{models.name}.", dir=models.parent))
    except (OSError, RuntimeError) as error:  # RuntimeError: a loop of symbolic links
        sys.exit(f"--models {shown(given)}: {getattr(error, 'strerror', None) or error}")
    try:
        fresh.chmod(0o777 & ~umask)  # mkdtemp makes it private
        write_example_models(fresh)
        if current() and not rewrite:  # another run was quicker
            return
        if models.exists():
            old = models.with_name(fresh.name + ".old")
            models.rename(old)
        fresh.rename(models)
    except OSError as error:
        sys.exit(f"--models {shown(given)}: cannot write the example models: {error.strerror}")
    finally:
        if fresh.exists():
            shutil.rmtree(fresh)
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)


def load_pipeline(models: pathlib.Path):
    """The default pipeline over the example tree at `models`. The tree is this
    script's own (ensure_example_models has run), so one that does not load is
    damaged: it is written again, once."""
    for attempt in range(2):
        try:
            return _quelbin.Pipeline(LANGUAGE, model_dir=models, verify_model_checksums=True)
        except (RuntimeError, ValueError, OSError) as error:  # ModelBundleError is a RuntimeError
            if attempt == 1:
                sys.exit(f"--models {shown(models)}: the example models do not load ({error}); "
                         "remove the directory to have it written again")
            ensure_example_models(models, rewrite=True)


def read_text(args) -> str:
    source = args.file if args.file is not None else ("-" if args.text == "-" else None)
    if source is None:
        if args.text is None:
            return SAMPLE
        # Bytes of an argument that are not UTF-8 arrive as lone surrogates.
        try:
            os.fsencode(args.text).decode("utf-8")
        except UnicodeDecodeError as error:
            sys.exit(f"the text argument: not UTF-8 text ({error.reason} at byte {error.start})")
        return args.text
    name = "standard input" if source == "-" else shown(source)
    if source == "-" and sys.stdin is None:
        sys.exit("standard input is closed: give the text as an argument or with --file")
    try:
        data = sys.stdin.buffer.read() if source == "-" else pathlib.Path(source).read_bytes()
        # A leading byte-order mark says the file is UTF-8; it is not text.
        return data.removeprefix(b"\xef\xbb\xbf").decode("utf-8")
    except OSError as error:
        sys.exit(f"{name}: {error.strerror}")
    except UnicodeDecodeError as error:
        sys.exit(f"{name}: not UTF-8 text ({error.reason} at byte {error.start})")


class Arguments(argparse.ArgumentParser):
    def error(self, message):
        # One line, as every other message of the job.
        print(f"{self.prog}: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def main() -> None:
    parser = Arguments(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("text", nargs="?",
                        help='text to process; "-" reads standard input; after "--" a text may begin with "-"')
    parser.add_argument("--file", metavar="FILE", help='UTF-8 file to process ("-": standard input)')
    parser.add_argument("--models", type=pathlib.Path, default=BUILD / "example_models",
                        help=f"model tree to use, written there first when the directory is new or empty "
                             f"(or holds this script's {MARKER} file)")
    args = parser.parse_args()
    if args.file is not None and args.text is not None:
        parser.error("give the text as an argument or with --file, not both")
    text = read_text(args)
    ensure_example_models(args.models)
    pipeline = load_pipeline(args.models)
    try:
        document = pipeline.process(text)
    except (MemoryError, RuntimeError) as error:
        if not isinstance(error, MemoryError) and "allocate" not in str(error):
            raise
        sys.exit("one sentence of the text is too long for the memory available (a sentence's parse needs "
                 "memory growing as the square of its length): split text without sentence ends first")
    conll = document.to_conll()
    # to_conll ends at the last word line; a CoNLL-U file closes every sentence,
    # the last one included, with a blank line.
    sys.stdout.buffer.write((conll + "\n\n").encode("utf-8") if conll else b"")


if __name__ == "__main__":
    main()
