#!/usr/bin/env python3
"""Generates src/encoders/wordpiece_tables.cpp, the character tables of the
WordPiece tokenizer (src/encoders/wordpiece.cpp).

Input: UnicodeData.txt and extracted/DerivedGeneralCategory.txt of the Unicode
Character Database (see scripts/unicode_data.py). The tables follow Unicode
15.1, whose additions over 15.0 are letters or symbols without decompositions:
they leave the unassigned (Cn) set, and change nothing else here.

Tables (all sorted by code point):
- control: ranges of the general categories Cc, Cf, Cs, Co and Cn;
- punctuation: ranges of Pc, Pd, Ps, Pe, Pi, Pf and Po;
- accent map: every code point whose canonical decomposition (full, Hangul
  syllables included) with the nonspacing marks (Mn) removed differs from the
  code point itself, with that sequence of 0 to 3 code points.
The CJK ranges are a fixed list in the tokenizer's own source; the whitespace
ranges are those of src/encoders/subword_text.cpp.

The build does not run this script; its output is committed. Run:
    python3 scripts/gen_wordpiece_tables.py [ucd-dir]
"""
import sys

from unicode_data import (category_ranges, data_lines, file_start, range_table, read_categories,
                          ucd_directory, write)

OUT = "src/encoders/wordpiece_tables.cpp"
NAMESPACE = "quelbin::detail::wordpiece_data"
CONTROL = {"Cc", "Cf", "Cs", "Co", "Cn"}
PUNCTUATION = {"Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po"}
EXPECTED = {"control": 712, "punctuation": 191, "accents": 15200,
            "accents0": 1985, "accents1": 2000, "accents2": 433, "accents3": 10782}


def read_canonical(ucd):
    canonical = {}
    for fields in data_lines(ucd / "UnicodeData.txt"):
        if fields[5] and not fields[5].startswith("<"):
            canonical[int(fields[0], 16)] = [int(x, 16) for x in fields[5].split()]
    return canonical


def nfd(cp, canonical):
    if 0xAC00 <= cp <= 0xD7A3:  # Hangul syllables decompose algorithmically
        index = cp - 0xAC00
        jamo = [0x1100 + index // 588, 0x1161 + (index % 588) // 28]
        if index % 28:
            jamo.append(0x11A7 + index % 28)
        return jamo
    if cp not in canonical:
        return [cp]
    return [x for part in canonical[cp] for x in nfd(part, canonical)]


def build(ucd):
    category = read_categories(ucd)
    canonical = read_canonical(ucd)
    control = category_ranges(category, CONTROL)
    punctuation = category_ranges(category, PUNCTUATION)
    accents = {}
    for cp in range(0x110000):
        stripped = [x for x in nfd(cp, canonical) if category[x] != "Mn"]
        if stripped != [cp]:
            accents[cp] = stripped
    counts = {"control": len(control), "punctuation": len(punctuation), "accents": len(accents)}
    for n in range(4):
        counts[f"accents{n}"] = sum(1 for seq in accents.values() if len(seq) == n)
    if counts != EXPECTED:
        sys.exit(f"unexpected table sizes {counts}, expected {EXPECTED}")
    return control, punctuation, accents


def render(control, punctuation, accents):
    out = file_start("gen_wordpiece_tables.py", "encoders/wordpiece_tables.hpp", NAMESPACE)
    range_table(out, "unicode_data::CodePointRange", "kControlRanges", control)
    range_table(out, "unicode_data::CodePointRange", "kPunctuationRanges", punctuation)
    out.append("const AccentMapping kAccentMap[] = {")
    for cp in sorted(accents):
        seq = accents[cp]
        padded = [f"0x{x:04X}" for x in seq] + ["0"] * (3 - len(seq))
        out.append(f"    {{0x{cp:04X}, {len(seq)}, {{{', '.join(padded)}}}}},")
    out.append("};")
    out.append(f"const std::size_t kAccentMapSize = {len(accents)};")
    out.append("")
    return out


def main():
    write(OUT, render(*build(ucd_directory())), NAMESPACE)


if __name__ == "__main__":
    main()
