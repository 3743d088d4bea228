#!/usr/bin/env python3
"""Generates src/model/unicode_tables.cpp, the case tables of src/model/unicode.cpp.

Input: the Unicode Character Database text files of Debian's `unicode-data`
package under /usr/share/unicode (Unicode 15.0, the version ICU 72 is built
from): UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt. Another
directory can be given as the first argument.

The tables follow Unicode 15.1. Its additions over 15.0 are CJK ideographs
(U+2EBF0..U+2EE5D), ideographic description characters (U+2FFC..U+2FFF) and one
CJK stroke (U+31EF): none has a case mapping or the Lowercase, Uppercase or
Cased property, and 15.1 changed no case property of an existing character, so
the 15.0 files give the 15.1 tables unchanged. The row counts are asserted below.

Tables (all sorted by code point):
- lowercase map: every simple lowercase mapping of UnicodeData.txt except that of
  U+0130 (which lower-cases to two code points, handled in code);
- uppercase map: every code point whose full uppercase mapping is one code point
  (the simple mapping, unless SpecialCasing.txt gives an unconditional
  multi-code-point one);
- uppercase expansions: the unconditional multi-code-point uppercase mappings of
  SpecialCasing.txt, their sequences in one shared pool;
- lowercase, uppercase and cased ranges: the derived properties Lowercase,
  Uppercase and Cased as inclusive, disjoint ranges.

The build does not run this script; its output is committed. Run:
    python3 scripts/gen_unicode_tables.py [ucd-dir]
"""
import sys

from unicode_data import code_points, data_lines, file_start, range_table, ranges_of, ucd_directory, write

OUT = "src/model/unicode_tables.cpp"
NAMESPACE = "quelbin::detail::unicode_data"
EXPECTED_ROWS = {
    "lower": 1432, "upper": 1423, "expansions": 102,
    "Lowercase": 671, "Uppercase": 651, "Cased": 157,
}


def read_simple_mappings(ucd):
    lower, upper = {}, {}
    for fields in data_lines(ucd / "UnicodeData.txt"):
        cp = int(fields[0], 16)
        if fields[12]:
            upper[cp] = int(fields[12], 16)
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return lower, upper


def read_unconditional_upper(ucd):
    special = {}
    for fields in data_lines(ucd / "SpecialCasing.txt"):
        # code; lower; title; upper; [condition list;]
        if len(fields) > 4 and fields[4]:
            continue
        special[int(fields[0], 16)] = [int(x, 16) for x in fields[3].split()]
    return special


def read_ranges(ucd, prop):
    points = set()
    for fields in data_lines(ucd / "DerivedCoreProperties.txt"):
        if fields[1] == prop:
            points.update(code_points(fields[0]))
    return ranges_of(points)


def build(ucd):
    lower, simple_upper = read_simple_mappings(ucd)
    del lower[0x0130]
    special = read_unconditional_upper(ucd)
    upper = dict(simple_upper)
    expansions = {}
    for cp, seq in special.items():
        if len(seq) > 1:
            expansions[cp] = seq
            upper.pop(cp, None)
        elif seq[0] != cp:
            upper[cp] = seq[0]
        else:
            upper.pop(cp, None)
    ranges = {prop: read_ranges(ucd, prop) for prop in ("Lowercase", "Uppercase", "Cased")}
    counts = {"lower": len(lower), "upper": len(upper), "expansions": len(expansions)}
    counts.update({prop: len(r) for prop, r in ranges.items()})
    if counts != EXPECTED_ROWS:
        sys.exit(f"unexpected table sizes {counts}, expected {EXPECTED_ROWS}")
    assert not set(upper) & set(expansions)
    assert all(2 <= len(seq) <= 3 for seq in expansions.values())
    return lower, upper, expansions, ranges


def render(lower, upper, expansions, ranges):
    out = file_start("gen_unicode_tables.py", "model/unicode_tables.hpp", NAMESPACE)

    def mapping_table(name, table):
        out.append(f"const CodePointMapping {name}[] = {{")
        for cp in sorted(table):
            out.append(f"    {{0x{cp:04X}, 0x{table[cp]:04X}}},")
        out.append("};")
        out.append(f"const std::size_t {name}Size = {len(table)};")
        out.append("")

    mapping_table("kLowercaseMap", lower)
    mapping_table("kUppercaseMap", upper)

    out.append("namespace {")
    out.append("const std::uint32_t kExpansionPool[] = {")
    offsets = {}
    pool = 0
    for cp in sorted(expansions):
        offsets[cp] = pool
        seq = expansions[cp]
        out.append("    " + " ".join(f"0x{x:04X}," for x in seq) + f"  // U+{cp:04X}")
        pool += len(seq)
    out.append("};")
    out.append("}  // namespace")
    out.append("")
    out.append("const CodePointExpansion kUppercaseExpansions[] = {")
    for cp in sorted(expansions):
        out.append(f"    {{0x{cp:04X}, kExpansionPool + {offsets[cp]}, {len(expansions[cp])}}},")
    out.append("};")
    out.append(f"const std::size_t kUppercaseExpansionsSize = {len(expansions)};")
    out.append("")

    for prop, name in (("Lowercase", "kLowercaseRanges"), ("Uppercase", "kUppercaseRanges"),
                       ("Cased", "kCasedRanges")):
        range_table(out, "CodePointRange", name, ranges[prop])
    return out


def main():
    write(OUT, render(*build(ucd_directory())), NAMESPACE)


if __name__ == "__main__":
    main()
