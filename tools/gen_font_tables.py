#!/usr/bin/env python3
"""Writes src/font_tables.cpp: the data the font decoder needs to turn glyph
codes into Unicode and to measure glyphs when a PDF leaves them to the
reader.

    pip install fonttools reportlab pdfminer.six
    python tools/gen_font_tables.py > src/font_tables.cpp

The packages are only the sources of the data, not dependencies of the
library:

- fontTools (MIT): the Adobe Glyph List and the ITC Zapf Dingbats glyph list
  (fontTools.agl; the lists themselves are BSD-3-Clause, Adobe), and the
  standard strings of the Compact Font Format (fontTools.cffLib).
- ReportLab (BSD-3-Clause): the six simple-font encodings by glyph name and
  the widths, ascents and descents of the standard 14 fonts, taken from
  Adobe's Core 14 AFM files (redistributable with their notice, which the
  generated file carries).
- pdfminer.six (MIT): Adobe's CMap resources converted to JSON (BSD-3-Clause,
  Adobe): CID to Unicode for the Adobe-Japan1, GB1, CNS1 and Korea1
  orderings, and the code to CID mappings of the predefined CMaps.

Lookup structures are sorted arrays searched by binary search; nothing is
built at start-up.
"""

import gzip
import json
import os
import sys

import fontTools.agl as agl
from fontTools.cffLib import cffStandardStrings
import pdfminer
from reportlab.pdfbase import _fontdata as rl

# Glyph names of the TeX fonts (Computer Modern and the AMS fonts) that the
# Adobe Glyph List does not know; values are Unicode scalar sequences.
TEX_GLYPH_NAMES = {
    "angbracketleft": [0x27E8], "angbracketright": [0x27E9],
    "arrowbothv": [0x2195], "arrowdblbothv": [0x21D5],
    "arrownortheast": [0x2197], "arrownorthwest": [0x2196],
    "arrowsoutheast": [0x2198], "arrowsouthwest": [0x2199],
    "asteriskmath": [0x2217], "bardbl": [0x2016],
    "ceilingleft": [0x2308], "ceilingright": [0x2309],
    "circleminus": [0x2296], "circledivide": [0x2298], "circledot": [0x2299],
    "circlecopyrt": [0x20DD], "compwordmark": [0x200C], "cwm": [0x200C],
    "coproduct": [0x2210], "diamondmath": [0x22C4], "dotlessj": [0x0237],
    "epsilon1": [0x03F5], "equivasymptotic": [0x224D], "flat": [0x266D],
    "floorleft": [0x230A], "floorright": [0x230B], "follows": [0x227B],
    "followsequal": [0x2AB0], "greatermuch": [0x226B],
    "harpoonleftbarbdown": [0x21BD], "harpoonleftbarbup": [0x21BC],
    "harpoonrightbarbdown": [0x21C1], "harpoonrightbarbup": [0x21C0],
    "intersectionsq": [0x2293], "lessmuch": [0x226A], "lscript": [0x2113],
    "mapsto": [0x21A6], "minusplus": [0x2213], "natural": [0x266E],
    "negationslash": [0x0338], "owner": [0x220B], "pi1": [0x03D6],
    "precedes": [0x227A], "precedesequal": [0x2AAF], "prime": [0x2032],
    "reflexsubset": [0x2286], "rho1": [0x03F1], "sharp": [0x266F],
    "similarequal": [0x2243], "slurabove": [0x2322], "slurbelow": [0x2323],
    "star": [0x22C6], "triangleleft": [0x25C1], "triangleright": [0x25B7],
    "turnstileleft": [0x22A2], "turnstileright": [0x22A3],
    "unionmulti": [0x228E], "unionsq": [0x2294], "vector": [0x20D7],
    "visiblespace": [0x2423], "visualspace": [0x2423],
    "wreathproduct": [0x2240], "Ifractur": [0x2111], "Rfractur": [0x211C],
    "triangle": [0x25B3], "triangleinv": [0x25BD], "vextendsingle": [0x2223],
    "vextenddouble": [0x2225], "subsetnoteql": [0x228A], "supersetnoteql": [0x228B],
    "notexistential": [0x2204], "squaresolid": [0x25A0], "measuredangle": [0x2221],
}

ENCODINGS = [
    ("Standard", "StandardEncoding"),
    ("WinAnsi", "WinAnsiEncoding"),
    ("MacRoman", "MacRomanEncoding"),
    ("MacExpert", "MacExpertEncoding"),
    ("Symbol", "SymbolEncoding"),
    ("ZapfDingbats", "ZapfDingbatsEncoding"),
]

STANDARD_14 = [
    "Courier", "Courier-Bold", "Courier-BoldOblique", "Courier-Oblique",
    "Helvetica", "Helvetica-Bold", "Helvetica-BoldOblique", "Helvetica-Oblique",
    "Symbol",
    "Times-Bold", "Times-BoldItalic", "Times-Italic", "Times-Roman",
    "ZapfDingbats",
]

ORDERINGS = ["CNS1", "GB1", "Japan1", "Korea1"]

# Predefined CMaps whose code to CID mapping is carried: the common legacy
# encodings of the four orderings.  The Unicode-coded CMaps (Uni...) need no
# table, the code is the text; every other predefined CMap gets at least its
# code space, so codes split correctly.
CID_TABLE_CMAPS = [
    "H", "V", "EUC-H", "EUC-V", "90ms-RKSJ-H", "90ms-RKSJ-V", "90msp-RKSJ-H", "90msp-RKSJ-V",
    "GB-EUC-H", "GB-EUC-V", "GBpc-EUC-H", "GBpc-EUC-V", "GBK-EUC-H", "GBK-EUC-V", "GBKp-EUC-H", "GBKp-EUC-V",
    "KSC-EUC-H", "KSC-EUC-V", "KSCms-UHC-H", "KSCms-UHC-V",
    "B5pc-H", "B5pc-V", "ETen-B5-H", "ETen-B5-V", "ETenms-B5-H", "ETenms-B5-V",
]

CMAP_DIR = os.path.join(os.path.dirname(pdfminer.__file__), "cmap")


def glyph_names():
    """Every glyph name the tables refer to, with its Unicode text."""
    names = {name: "".join(map(chr, values)) for name, values in agl.LEGACY_AGL2UV.items()}
    for index, char in enumerate(agl._AGL_ZAPF_DINGBATS):
        if char != " ":
            names.setdefault("a%d" % index, char)
    for name, values in TEX_GLYPH_NAMES.items():
        # Where the Adobe Glyph List gives a private-use code point (Adobe's
        # own, such as dotlessj), the TeX meaning is the useful text.
        if name not in names or all(0xE000 <= ord(c) <= 0xF8FF for c in names[name]):
            names[name] = "".join(map(chr, values))
    for encoding in rl.encodings.values():
        for name in encoding:
            if name:
                names.setdefault(name, "")
    for widths in rl.widthsByFontGlyph.values():
        for name in widths:
            names.setdefault(name, "")
    return sorted(names.items(), key=lambda item: item[0].encode())


def c_string_lines(data, indent="    "):
    """Bytes as adjacent C string literals of modest width."""
    lines = []
    line = ""
    for byte in data:
        piece = chr(byte) if 0x20 <= byte < 0x7F and chr(byte) not in '"\\?' else "\\%03o" % byte
        line += piece
        if len(line) > 100:
            lines.append('%s"%s"' % (indent, line))
            line = ""
    if line or not lines:
        lines.append('%s"%s"' % (indent, line))
    return "\n".join(lines)


def number_lines(values, per_line=16, indent="    "):
    values = list(values)
    rows = []
    for i in range(0, len(values), per_line):
        rows.append(indent + ",".join(str(v) for v in values[i:i + per_line]) + ",")
    return "\n".join(rows)


def flatten_code2cid(tree, prefix=b""):
    for key, value in tree.items():
        code = prefix + bytes([int(key)])
        if isinstance(value, dict):
            yield from flatten_code2cid(value, code)
        else:
            yield code, value


def load_cmap(name):
    with gzip.open(os.path.join(CMAP_DIR, name + ".json.gz")) as f:
        data = json.load(f)
    return data.get("IS_VERTICAL", False), dict(flatten_code2cid(data["CODE2CID"]))


def code_space(codes):
    """Code-space ranges covering the mapped codes: per code length, runs of
    consecutive first bytes, each with the span of every later byte."""
    by_size = {}
    for code in codes:
        by_size.setdefault(len(code), {}).setdefault(code[0], []).append(code)
    ranges = []
    for size, firsts in sorted(by_size.items()):
        run = []
        for first in sorted(firsts) + [None]:
            if run and (first is None or first != run[-1] + 1):
                members = [c for f in run for c in firsts[f]]
                low = bytes([run[0]] + [min(c[i] for c in members) for i in range(1, size)])
                high = bytes([run[-1]] + [max(c[i] for c in members) for i in range(1, size)])
                ranges.append((size, low, high))
                run = []
            if first is not None:
                run.append(first)
    return ranges


def cid_ranges(mapping):
    """(size, low, high, cid) runs of consecutive codes with consecutive CIDs."""
    runs = []
    for code, cid in sorted(mapping.items(), key=lambda item: (len(item[0]), item[0])):
        value = int.from_bytes(code, "big")
        if runs:
            size, low, high, first = runs[-1]
            if size == len(code) and value == high + 1 and cid == first + (value - low):
                runs[-1] = (size, low, value, first)
                continue
        runs.append((len(code), value, value, cid))
    return runs


# pdfminer.six stores these CMaps without the base their Adobe source names
# with usecmap.
USECMAP = {"ETenms-B5-H": "ETen-B5-H", "ETenms-B5-V": "ETen-B5-V"}


def with_parent(name, mapping, loaded, cmap_names):
    """The mappings to store for `name` and the index of the CMap to consult
    for the rest: an earlier table CMap whose mappings differ from these in
    fewest codes (codes it maps that `name` does not are stored as CID 0,
    unmapped), when that saves at least half the ranges."""
    if name in USECMAP:
        return mapping, cmap_names.index(USECMAP[name])
    best = (mapping, -1)
    best_runs = len(cid_ranges(mapping))
    for candidate in CID_TABLE_CMAPS[: CID_TABLE_CMAPS.index(name)]:
        if candidate in USECMAP:
            continue
        base = loaded[candidate][1]
        own = {c: cid for c, cid in mapping.items() if base.get(c) != cid}
        own.update((c, 0) for c in base if c not in mapping)
        runs = len(cid_ranges(own))
        if runs * 2 <= best_runs and (best[1] < 0 or runs < len(cid_ranges(best[0]))):
            best = (own, cmap_names.index(candidate))
    return best


def unicode_kind(name):
    for marker, kind in (("-UCS2-", 1), ("-UTF16-", 2), ("-UTF8-", 3), ("-UTF32-", 4)):
        if name.startswith("Uni") and marker in name:
            return kind
    return 0


def main():
    out = []
    emit = out.append
    emit("// Generated by tools/gen_font_tables.py; do not edit.")
    emit("//")
    emit("// Sources, with their licences (the data, not code, is taken from them):")
    emit("// - Adobe Glyph List 2.0 and ITC Zapf Dingbats glyph list, as shipped in")
    emit("//   fontTools (MIT); the lists: Copyright 2002-2019 Adobe, BSD-3-Clause.")
    emit("// - Simple-font encodings and the standard 14 font metrics, as shipped in")
    emit("//   ReportLab (BSD-3-Clause), from Adobe's Core 14 AFM files:")
    emit("//     This file and the 14 PostScript(R) AFM files it accompanies may be used,")
    emit("//     copied, and distributed for any purpose and without charge, with or")
    emit("//     without modification, provided that all copyright notices are retained;")
    emit("//     that the AFM files are not distributed without this file; that all")
    emit("//     modifications to this file or any of the AFM files are prominently noted")
    emit("//     in the modified file(s); and that this paragraph is not modified. Adobe")
    emit("//     Systems has no responsibility or obligation to support the use of the AFM")
    emit("//     files.")
    emit("//   (Modification noted: only the widths, ascent and descent are kept.)")
    emit("// - CID to Unicode tables and predefined CMaps: Adobe CMap resources")
    emit("//   (Copyright 1990-2019 Adobe, BSD-3-Clause), as converted by pdfminer.six (MIT).")
    emit("// - The Compact Font Format's 391 standard strings (Adobe Technical Note")
    emit("//   5176), as shipped in fontTools (MIT).")
    emit("// - Glyph names of the TeX fonts: written for this library.")
    emit("")
    emit('#include "font_tables.h"')
    emit("")
    emit("namespace quillet::font_tables {")
    emit("")

    # ---- glyph names ----
    names = glyph_names()
    index_of = {name: i for i, (name, _) in enumerate(names)}
    name_blob = bytearray()
    text_blob = bytearray()
    entries = []
    text_offsets = {}
    for name, text in names:
        encoded = text.encode()
        if encoded not in text_offsets:
            text_offsets[encoded] = len(text_blob)
            text_blob += encoded
        entries.append((len(name_blob), len(name), text_offsets[encoded], len(encoded)))
        name_blob += name.encode()
    assert len(text_blob) < 65536 and max(len(n) for n, _ in names) < 256
    emit("const char kGlyphNameBytes[] =")
    emit(c_string_lines(name_blob) + ";")
    emit("")
    emit("const char kGlyphTextBytes[] =")
    emit(c_string_lines(text_blob) + ";")
    emit("")
    emit("const GlyphNameEntry kGlyphNames[] = {")
    for i in range(0, len(entries), 6):
        emit("    " + " ".join("{%d,%d,%d,%d}," % e for e in entries[i:i + 6]))
    emit("};")
    emit("const size_t kGlyphNameCount = %d;" % len(entries))
    emit("")

    # ---- CFF standard strings ----
    strings = "".join(cffStandardStrings).encode()
    offsets = [0]
    for string in cffStandardStrings:
        offsets.append(offsets[-1] + len(string.encode()))
    emit("const char kCffStandardStringBytes[] =")
    emit(c_string_lines(strings) + ";")
    emit("const uint16_t kCffStandardStringOffsets[%d] = {" % len(offsets))
    emit(number_lines(offsets, 20))
    emit("};")
    emit("")

    # ---- simple-font encodings ----
    emit("const uint16_t kEncodings[%d][256] = {" % len(ENCODINGS))
    for label, attribute in ENCODINGS:
        table = getattr(rl, attribute)
        assert len(table) == 256
        emit("    // %s" % label)
        emit("    {")
        emit(number_lines((index_of[n] if n else kNone for n in table), 16, "        "))
        emit("    },")
    emit("};")
    emit("")

    # ---- standard 14 metrics ----
    widths_out = []
    fonts_out = []
    for font in STANDARD_14:
        widths = rl.widthsByFontGlyph[font]
        ascent, descent = rl.ascent_descent[font]
        values = sorted((index_of[n], w) for n, w in widths.items())
        fixed = values[0][1] if len({w for _, w in values}) == 1 else 0
        first = len(widths_out)
        if not fixed:
            widths_out.extend(values)
        fonts_out.append((font, ascent, descent, fixed, first, 0 if fixed else len(values)))
    emit("const GlyphWidth kStandard14Widths[] = {")
    for i in range(0, len(widths_out), 8):
        emit("    " + " ".join("{%d,%d}," % w for w in widths_out[i:i + 8]))
    emit("};")
    emit("")
    emit("const Standard14Font kStandard14[%d] = {" % len(fonts_out))
    for font in fonts_out:
        emit('    {"%s", %d, %d, %d, %d, %d},' % font)
    emit("};")
    emit("")

    # ---- CID to Unicode ----
    sizes = {}
    for ordering in ORDERINGS:
        with gzip.open(os.path.join(CMAP_DIR, "to-unicode-Adobe-%s.json.gz" % ordering)) as f:
            data = json.load(f)
        table = {}
        # Horizontal forms first; CIDs that only vertical writing uses keep
        # their vertical form.
        for key in ("CID2UNICHR_H", "CID2UNICHR_V"):
            for cid, text in data[key].items():
                if len(text) == 1 and ord(text) <= 0xFFFF:
                    table.setdefault(int(cid), ord(text))
        size = max(table) + 1
        # Four hex digits per CID: the most compact source text for values
        # that follow no pattern, and still read in place.
        digits = "".join("%04X" % table.get(cid, 0) for cid in range(size))
        emit("const char k%sToUnicode[] =" % ordering)
        emit("\n".join('    "%s"' % digits[i:i + 112] for i in range(0, len(digits), 112)) + ";")
        emit("")
        sizes[ordering] = size
    emit("const CidOrdering kCidOrderings[%d] = {" % len(ORDERINGS))
    for ordering in ORDERINGS:
        emit('    {"%s", k%sToUnicode, %d},' % (ordering, ordering, sizes[ordering]))
    emit("};")
    emit("")

    # ---- predefined CMaps ----
    cmap_names = sorted(
        n[: -len(".json.gz")] for n in os.listdir(CMAP_DIR)
        if n.endswith(".json.gz") and not n.startswith("to-unicode-")
    )
    loaded = {name: load_cmap(name) for name in cmap_names}
    spaces = []
    ranges = []
    records = []
    for name in cmap_names:
        vertical, mapping = loaded[name]
        # A CMap built on another reads that one's codes too.
        space = code_space({**loaded[USECMAP[name]][1], **mapping} if name in USECMAP else mapping)
        space_first = len(spaces)
        spaces.extend(space)
        range_first, range_count, parent = len(ranges), 0, -1
        if name in CID_TABLE_CMAPS:
            own, parent = with_parent(name, mapping, loaded, cmap_names)
            runs = cid_ranges(own)
            ranges.extend(runs)
            range_count = len(runs)
        records.append((name, int(vertical), unicode_kind(name), space_first, len(space), range_first, range_count, parent))
    emit("const CodeSpaceRange kCodeSpaces[] = {")
    for size, low, high in spaces:
        emit("    {%d, {%s}, {%s}}," % (size, ",".join(map(str, low)), ",".join(map(str, high))))
    emit("};")
    emit("")
    emit("const CidRange kPredefinedCidRanges[] = {")
    for i in range(0, len(ranges), 4):
        emit("    " + " ".join("{%d,%d,%d,%d}," % (low, high, cid, size) for size, low, high, cid in ranges[i:i + 4]))
    emit("};")
    emit("")
    emit("const PredefinedCMap kPredefinedCMaps[] = {")
    for record in records:
        emit('    {"%s", %d, %d, %d, %d, %d, %d, %d},' % record)
    emit("};")
    emit("const size_t kPredefinedCMapCount = %d;" % len(records))
    emit("")
    emit("}  // namespace quillet::font_tables")
    sys.stdout.write("\n".join(out) + "\n")


kNone = 0xFFFF

if __name__ == "__main__":
    main()
