#!/usr/bin/env python3
"""Generates src/encoders/subword_text_tables.cpp, the character classes of the
byte-level BPE pre-splitter and of the unigram tokenizer's normaliser.

Input: extracted/DerivedGeneralCategory.txt of the Unicode Character Database
(see scripts/unicode_data.py), with the Unicode 15.1 additions; the row counts
are asserted below.

Tables (sorted, inclusive, disjoint, adjacent ranges joined):
- letters: general categories Lu, Ll, Lt, Lm, Lo;
- marks: Mn, Mc, Me;
- numbers: Nd, Nl, No.
The whitespace table is ten fixed ranges written out in the C++ source.

The build does not run this script; its output is committed. Run:
    python3 scripts/gen_subword_tables.py [ucd-dir]
"""
import sys

from unicode_data import category_ranges, file_start, range_table, read_categories, ucd_directory, write

OUT = "src/encoders/subword_text_tables.cpp"
NAMESPACE = "quelbin::detail::subword_data"
CLASSES = {
    "kLetterRanges": ({"Lu", "Ll", "Lt", "Lm", "Lo"}, 660),
    "kMarkRanges": ({"Mn", "Mc", "Me"}, 310),
    "kNumberRanges": ({"Nd", "Nl", "No"}, 137),
}


def main():
    category = read_categories(ucd_directory())
    out = file_start("gen_subword_tables.py", "encoders/subword_text.hpp", NAMESPACE)
    for name, (wanted, expected) in CLASSES.items():
        rows = category_ranges(category, wanted)
        if len(rows) != expected:
            sys.exit(f"{name}: {len(rows)} ranges, expected {expected}")
        range_table(out, "unicode_data::CodePointRange", name, rows)
    write(OUT, out, NAMESPACE)


if __name__ == "__main__":
    main()
