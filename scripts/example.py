"""The main job: runs the default pipeline (tokenize, mwt, pos, lemma, depparse)
over a sample text and prints the result as a CoNLL-U file.

No trained model can be fetched here, so the first run writes a small example
model tree (made with the test-bundle writer) into the build folder and reuses
it afterwards: a tokenizer whose weights are set by hand to split at spaces and
punctuation, a dictionary-only expander, a POS tagger and a dependency parser
with small random weights, and a dictionary-only lemmatizer. The output shows
the engine at work, not linguistic quality.
"""
import argparse
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(ROOT / "tests"))

import _quelbin  # noqa: E402

SAMPLE = ("Il va au marché du village avec des amis. Ils achètent du pain et des fruits.\n\n"
          "Le marché ferme à midi.")
LANGUAGE = "fr"
MODEL_TREE_VERSION = "3"
# Words the random POS tagger and parser have in their vocabularies.
WORDS = ["Il", "va", "à", "le", "marché", "de", "village", "avec", "des", "amis", ".", "Ils", "achètent",
         "pain", "et", "fruits", "Le", "ferme", "midi"]

def write_example_models(root: pathlib.Path) -> None:
    import bundle_writer
    from model_bundles.lemma import write_lemma_bundle
    from model_bundles.depparse import DEPRELS, random_depparse_model, write_depparse_bundle
    from model_bundles.mwt import write_dict_bundle
    from model_bundles.pos import random_pos_model, write_pos_bundle
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
    write_pos_bundle(language_dir / "pos", random_pos_model(1, words=WORDS, scale=2.0), language=LANGUAGE)
    # Relations without "_", which CoNLL-U reads as no relation.
    relations = [r for r in DEPRELS if r != "_"]
    write_depparse_bundle(language_dir / "depparse", random_depparse_model(2, words=WORDS, scale=1.5, deprels=relations),
                          language=LANGUAGE)
    bundle_writer.write_index(root, [("tokenize", "default", "tokenize"), ("mwt", "default", "mwt"),
                                     ("pos", "default", "pos"), ("lemma", "default", "lemma"),
                                     ("depparse", "default", "depparse")], language=LANGUAGE)
    (root / "VERSION").write_text(MODEL_TREE_VERSION)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("text", nargs="?", default=SAMPLE, help="text to process")
    parser.add_argument("--models", type=pathlib.Path, default=BUILD / "example_models")
    args = parser.parse_args()
    version_file = args.models / "VERSION"
    if not version_file.exists() or version_file.read_text() != MODEL_TREE_VERSION:
        write_example_models(args.models)
    pipeline = _quelbin.Pipeline(LANGUAGE, model_dir=args.models)
    document = pipeline.process(args.text)
    # to_conll ends at the last word line; a CoNLL-U file closes every sentence,
    # the last one included, with a blank line.
    conll = document.to_conll()
    sys.stdout.write(conll + "\n\n" if conll else "")


if __name__ == "__main__":
    main()
