"""ToUnicode CMaps: bfchar and bfrange sections, code widths, the longest
match, the Latin-1 fallback and the error texts, observed through the text
of a page whose font carries the CMap."""

import random

import pytest

import quillet
from pdfbuild import PdfBuilder


def doc_with_cmap(cmap: bytes, content: bytes) -> quillet.Document:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>")
    b.stream(4, content)
    b.add(5, "<< /Type /Font /Subtype /Type0 /ToUnicode 6 0 R >>")
    b.stream(6, cmap)
    return quillet.Document(b.build())


def decode(cmap: bytes, *shown: bytes) -> str:
    """The text of each shown string (raw code bytes) through the CMap."""
    texts = []
    for codes in shown:
        content = b"BT /F1 12 Tf <" + codes.hex().encode() + b"> Tj ET"
        texts.append(doc_with_cmap(cmap, content).page_text(0))
    return texts[0] if len(texts) == 1 else texts


def parse_error(cmap: bytes) -> str:
    with pytest.raises(ValueError) as info:
        doc_with_cmap(cmap, b"/F1 1 Tf").page_text(0)
    return str(info.value)


def bfchar(*pairs: str) -> bytes:
    return ("%d beginbfchar\n" % len(pairs) + "\n".join(pairs) + "\nendbfchar\n").encode()


def bfrange(*triples: str) -> bytes:
    return ("%d beginbfrange\n" % len(triples) + "\n".join(triples) + "\nendbfrange\n").encode()


FULL_CMAP = b"""/CIDInit /ProcSet findresource begin
12 dict begin
begincmap
/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def
/CMapName /Adobe-Identity-UCS def
/CMapType 2 def
1 begincodespacerange
<0000> <FFFF>
endcodespacerange
% a comment with <unbalanced brackets and beginbfchar
2 beginbfchar
<0003> <0020>
<0011> <0048>
endbfchar
1 beginbfrange
<0044> <0046> <0061>
endbfrange
endcmap
CMapName currentdict /CMap defineresource pop
end
end
"""


def test_typical_cmap():
    assert decode(FULL_CMAP, bytes.fromhex("0011 0044 0045 0003 0046")) == "Hab c"


@pytest.mark.parametrize("cmap, codes, text", [
    (bfchar("<01> <0041>"), b"\x01\x02", "A\x02"),
    (bfrange("<0000> <0002> <0041>"), b"\x00\x01\x00\x05", "B\x00\x05"),
    (bfrange("<01> <03> [<0041> <0042>]"), b"\x01\x02\x03", "AB\x03"),
    (bfrange("<0000> <00FF> <D835DC00>"), b"\x00\x01", "\U0001D401"),
    (bfrange("<00> <02> <00FF>"), b"\x01\x02", "\u0100\u0101"),
    (bfchar("<01> <00410042>"), b"\x01", "AB"),
    (bfchar("<01> <D800>"), b"\x01", "\ufffd"),
    (bfchar("<01> <D800DC00>"), b"\x01", "\U00010000"),
    (bfchar("<01> <D8000041>"), b"\x01", "\ufffdA"),
    (bfchar("<01> <DC00>"), b"\x01", "\ufffd"),
    (bfchar("<01> <004100>"), b"\x01", "A"),       # a final odd byte is ignored
    (bfchar("<01> <>"), b"\x01A", "A"),             # mapped to nothing
    (bfchar("<1> <0041>"), b"\x10", "A"),           # odd digits: a 0 appended
    (bfchar("<0 1> < 00 41 >"), b"\x01", "A"),       # white space inside dropped
    (bfchar("<ab> <0041>"), b"\xab", "A"),
    (b"1 begincodespacerange <00> <FF> endcodespacerange", b"\xe9\x41", "\xe9A"),
    (b"", b"\xff", "\xff"),
    # The longest mapped code wins; lengths come from the mapped codes.
    (bfchar("<01> <0041>", "<0102> <0042>"), b"\x01\x02\x01\x03", "BA\x03"),
    (bfchar("<0102> <0042>"), b"\x01\x03", "\x01\x03"),
    (bfchar("<0102030405> <0058>", "<01> <0041>"), b"\x01\x02\x03\x04\x05\x01", "XA"),
    (bfchar("<0102030405> <0058>"), b"\x01\x02\x03\x04", "\x01\x02\x03\x04"),
    # Later mappings replace earlier ones code by code.
    (bfchar("<01> <0041>", "<01> <0042>"), b"\x01", "B"),
    (bfrange("<00> <FF> <0041>") + bfchar("<05> <0058>"), b"\x04\x05\x06", "EXG"),
    (bfchar("<05> <0058>") + bfrange("<00> <FF> <0041>"), b"\x04\x05\x06", "EFG"),
    (bfrange("<00> <FF> <0041>", "<10> <1F> <0061>"), b"\x0f\x10\x1f\x25", "Pap" + chr(0x41 + 0x25)),
    # Array form: widths of the bounds are not compared.
    (bfrange("<01> <0002> [<0041> <0042>]"), b"\x01\x02", "AB"),
    # Sections repeat and interleave; a section left open at the end is fine.
    (bfchar("<01> <0041>") + bfrange("<02> <03> <0061>") + b"1 beginbfchar <04> <0058>", b"\x01\x02\x03\x04",
     "AabX"),
    # Empty range when high is below low.
    (bfrange("<05> <01> <0041>"), b"\x03", "\x03"),
    (bfrange("<05> <01> []"), b"\x03", "\x03"),
])
def test_decoding(cmap, codes, text):
    assert decode(cmap, codes) == text


def test_huge_range_is_stored_compactly():
    cmap = bfrange("<00000000> <FFFFFFFF> <00000000>")
    assert decode(cmap, bytes.fromhex("00410042 0000004A")) == "AB\x00J"
    assert decode(bfrange("<00000000> <FFFFFF00> <0041>") + bfchar("<00000002> <0058>"),
                  bytes.fromhex("00000001 00000002 00000003")) == "BXD"


def test_full_two_byte_ranges_and_thousands_of_entries():
    entries = "\n".join("<%04X> <%04X>" % (c, 0x4E00 + c) for c in range(5000))
    cmap = bfrange("<0000> <FFFF> <0000>") + ("5000 beginbfchar\n" + entries + "\nendbfchar").encode()
    codes = b"".join(c.to_bytes(2, "big") for c in (0, 1, 4999, 5000, 0x20AC))
    assert decode(cmap, codes) == "\u4e00\u4e01" + chr(0x4E00 + 4999) + "\u1388\u20ac"


def reference_decode(cmap_entries, codes: bytes) -> str:
    """Model: expand every entry into a dict, then longest match first."""
    table = {}
    for low, high, dest in cmap_entries:
        for c in range(low, high + 1):
            table[c.to_bytes(2, "big")] = chr(dest + c - low)
    return reference_longest_match(table, codes)


@pytest.mark.parametrize("seed", range(5))
def test_overlapping_ranges_match_expansion(seed):
    rng = random.Random(seed)
    entries = []
    for _ in range(60):
        low = rng.randrange(0, 300)
        high = low + rng.choice([0, 0, 1, 5, 40, 200])
        entries.append((low, high, rng.randrange(0x100, 0x2000)))
    cmap = b"".join(
        bfchar("<%04X> <%04X>" % (lo, d)) if lo == hi else bfrange("<%04X> <%04X> <%04X>" % (lo, hi, d))
        for lo, hi, d in entries)
    codes = b"".join(c.to_bytes(2, "big") for c in range(0, 520))
    assert decode(cmap, codes) == reference_decode(entries, codes)


@pytest.mark.parametrize("cmap, message", [
    (b"beginbfchar <01> <0041", "invalid token at byte 17: unterminated CMap hex token"),
    (b"<0041 beginbfchar", "invalid token at byte 0: unterminated CMap hex token"),
    # Tokenising comes first: a later broken token wins over an earlier error.
    (b"beginbfchar foo <0041> endbfchar <00", "invalid token at byte 33: unterminated CMap hex token"),
    (b"beginbfchar foo <0041> endbfchar", "invalid token at byte 0: expected CMap hex token"),
    (b"beginbfchar <01> 0041 endbfchar", "invalid token at byte 0: expected CMap hex token"),
    (b"beginbfchar <0G> <0041> endbfchar", "invalid token at byte 0: invalid CMap hex"),
    (b"1 beginbfchar <01>", "invalid token at byte 2: missing bfchar destination"),
    (b"a b beginbfrange <01>", "invalid token at byte 3: missing bfrange end"),
    (b"beginbfrange <01> <02>", "invalid token at byte 1: missing bfrange destination"),
    (b"1 beginbfrange <01> <03> [<0041> <0042> <0043> <0044>] endbfrange",
     "invalid token at byte 8: too many bfrange destinations"),
    (b"beginbfrange <05> <01> [<0041>] endbfrange", "invalid token at byte 4: too many bfrange destinations"),
    (b"beginbfrange <01> <03> [<0041>", "invalid token at byte 5: unterminated bfrange array"),
    (b"beginbfrange <01> <0001> <0041> endbfrange", "invalid token at byte 0: bfrange bounds have different widths"),
    (b"beginbfrange <0102030405> <0102030406> <0041> endbfrange", "invalid token at byte 0: CMap code is too wide"),
    (b"beginbfrange <01> <02> <0000000041> endbfrange", "invalid token at byte 0: CMap code is too wide"),
    (b"beginbfrange <0102030405> <01> [<0041>] endbfrange", "invalid token at byte 0: CMap code is too wide"),
    (b"beginbfrange <00> <02> <FFFFFFFF> endbfrange", "invalid token at byte 0: bfrange destination overflow"),
    (b"beginbfrange <00000000> <FFFFFFFF> <0041> endbfrange",
     "invalid token at byte 0: bfrange destination overflow"),
])
def test_parse_errors(cmap, message):
    assert parse_error(cmap) == message


@pytest.mark.parametrize("cmap, codes, text", [
    (bfrange("<00> <02> <FFFF>"), b"\x00\x01\x02", "\uffff\x00\x01"),
    (bfrange("<0000> <D801> <FFFF>"), b"\x00\x01\xd8\x01", "\x00\ufffd"),
    (bfrange("<00> <01> <FFFFFF>"), b"\x00\x01", "\uffff\x00"),
    # Far past FFFF: still one valid character, never a code point above 10FFFF.
    (bfrange("<00000000> <00200000> <0041>"), b"\x00\x11\x00\x00", "A"),
])
def test_destination_counted_past_its_width_keeps_its_last_bytes(cmap, codes, text):
    # FFFF + 1 is 10000, whose last two bytes 0000 are U+0000; counting on
    # to 1D800 gives the lone surrogate D800.
    assert decode(cmap, codes) == text


def test_overflow_boundary_is_accepted():
    # FFFF FFFF: the noncharacter U+FFFF twice, from a destination that just fits.
    assert decode(bfrange("<00> <02> <FFFFFFFD>"), b"\x02") == "\uffff\uffff"


def reference_longest_match(table: dict[bytes, str], codes: bytes) -> str:
    """Model: at each position the longest mapped code, else one Latin-1 byte."""
    longest = max(map(len, table))
    out, p = [], 0
    while p < len(codes):
        for size in range(min(longest, len(codes) - p), 0, -1):
            if codes[p:p + size] in table:
                out.append(table[codes[p:p + size]])
                p += size
                break
        else:
            out.append(chr(codes[p]))
            p += 1
    return "".join(out)


@pytest.mark.parametrize("seed", range(6))
def test_codes_of_many_lengths_match_longest_first(seed):
    # Codes over two byte values, of one to twelve bytes, share prefixes and
    # suffixes in every way; the decoder must still pick the longest code at
    # each position, as trying every length would.
    rng = random.Random(seed)
    table = {}
    for i in range(80):
        code = bytes(rng.choice(b"\x01\x02") for _ in range(rng.randrange(1, 13)))
        table[code] = chr(0x4E00 + i)
    cmap = bfchar(*("<%s> <%04X>" % (code.hex(), ord(text)) for code, text in table.items()))
    codes = bytes(rng.choice(b"\x01\x02\x03") for _ in range(400))
    assert decode(cmap, codes) == reference_longest_match(table, codes)
