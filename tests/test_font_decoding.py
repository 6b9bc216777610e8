"""Glyphs decoded through each font: ToUnicode first, then the simple-font
encodings and glyph names, the CID orderings and CMaps of Type 0 fonts, and
U+FFFD where nothing maps a code.  Read through page_reading_text; the
assertions look for the decoded characters in the page's reading text, which
spells the Latin ligatures (U+FB00 to U+FB06) out as their letters."""

import zlib

import pytest

import quillet
from corpus import CORPUS
from pdfbuild import PdfBuilder


def page(font: str, content: bytes, objects=(), streams=()) -> quillet.Document:
    """One page whose font /F1 is object 100 with the body `font`."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
             "/Resources << /Font << /F1 100 0 R >> >> >>")
    b.stream(4, b"BT /F1 12 Tf " + content + b" ET")
    b.add(100, font)
    for number, body in objects:
        b.add(number, body)
    for number, data, extra in streams:
        b.stream(number, data, extra)
    return quillet.Document(b.build())


def read(font: str, shown: bytes, objects=(), streams=()) -> str:
    return page(font, b"<" + shown.hex().encode() + b"> Tj", objects, streams).page_reading_text(0)


SIMPLE = "<< /Type /Font /Subtype /Type1 /BaseFont /%s %s >>"


@pytest.mark.parametrize("font, shown, expected", [
    (SIMPLE % ("Helvetica", "/Encoding /WinAnsiEncoding"), b"R\xe9sum\xe9 \x80", "Résumé €"),
    (SIMPLE % ("Helvetica", "/Encoding /MacRomanEncoding"), b"R\x8esum\x8e", "Résumé"),
    (SIMPLE % ("Helvetica", "/Encoding /StandardEncoding"), b"\xe1\x27s", "Æ’s"),
    (SIMPLE % ("Helvetica", "/Encoding /MacExpertEncoding"), b"\x56", "ff"),
    (SIMPLE % ("Helvetica", ""), b"it\x27s", "it’s"),                     # non-symbolic: Standard
    (SIMPLE % ("Helvetica", "/Encoding /NoSuchEncoding"), b"Ab", "Ab"),   # unknown name: built-in
    (SIMPLE % ("Symbol", ""), b"\x61\x62", "αβ"),                         # Symbol's own encoding
    (SIMPLE % ("ABCDEF+Symbol", ""), b"\x70", "π"),
    (SIMPLE % ("ZapfDingbats", ""), b"\x33", "\u2713"),
    ("<< /Subtype /TrueType /BaseFont /Wingish /FontDescriptor << /Flags 4 >> >>", b"A\x92", "A’"),
    (SIMPLE % ("Helvetica", "/Encoding << /BaseEncoding /WinAnsiEncoding /Differences "
                            "[65 /eacute /uni20AC /f_f_i /ampersand.sc /u1F600 /uni00470048] >>"),
     b"ABCDEFz\xe9", "é€ffi&\U0001F600GHzé"),
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [65 /fi /parenleftbig /Ifractur] >>"), b"ABCa", "fi(ℑa"),
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [65 /uni4E004E014E024E034E044E05] >>"), b"AxA",
     "一丁丂七丄丅x一丁丂七丄丅"),                                        # a long text, shown twice
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [65 /dotlessj /angbracketleft /a12 /Alpha.alt_one] >>"),
     b"ABCD", "ȷ⟨\u261e\u0391"),                                        # TeX, Zapf Dingbats, suffixes
    ("<< /Subtype /TrueType /BaseFont /Arial /FontDescriptor << /Flags 32 >> >>", b"it\x27s", "it’s"),
    ("<< /Subtype /MMType1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>", b"\xe9", "é"),
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [300 /A -5 /B 66 /.notdef] >>"), b"BC", "\ufffdC"),
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [65 /g17 /uniD800 /u110000 /cid42] >>"),
     b"ABCD", "\ufffd" * 4),
    (SIMPLE % ("Helvetica", "/Encoding /StandardEncoding"), b"\x80\x01", "\ufffd\ufffd"),
    # Names hold at most 127 bytes: a longer one maps to nothing.
    (SIMPLE % ("Helvetica", "/Encoding << /Differences [65 /%sa /%s] >>" % ("a_" * 63, "a_" * 64)), b"AB",
     "a" * 64 + "\ufffd"),
    ("<< /Subtype /Type3 /FontMatrix [0.01 0 0 0.01 0 0] /FontBBox [0 0 100 100] /CharProcs << >> "
     "/Encoding << /Differences [1 /H /i /nosuchglyph] >> /FirstChar 1 /LastChar 3 /Widths [50 30 40] >>",
     b"\x01\x02\x03\x04", "Hi\ufffd\ufffd"),                               # Type3: no built-in encoding
])
def test_simple_font_encodings(font, shown, expected):
    assert expected in read(font, shown)


def test_tounicode_first_and_encoding_for_the_codes_it_leaves():
    cmap = b"begincmap 1 begincodespacerange <00> <FF> endcodespacerange 1 beginbfchar <41> <0058> endbfchar endcmap"
    font = SIMPLE % ("Helvetica", "/Encoding /WinAnsiEncoding /ToUnicode 200 0 R")
    assert "XB\xe9" in read(font, b"AB\xe9", streams=[(200, cmap, "")])


def test_type0_codes_split_by_the_encoding_before_tounicode_lookup():
    # One- and two-byte codes from the embedded CMap; ToUnicode maps the
    # one-byte code 41 and the two-byte 8001 (which longest-match reading of
    # the ToUnicode alone would split differently); 8002 falls back to the
    # ordering (CID 843 + 1).
    to_unicode = b"2 beginbfchar <41> <0058> <8001> <0059> endbfchar 1 beginbfchar <0041> <005A> endbfchar"
    cmap = EMBEDDED_CMAP.replace(b"<8001> 843", b"<8002> 844")
    font, descendant = type0("200 0 R")
    font = font.replace(">>", "/ToUnicode 201 0 R >>", 1)
    text = read(font, b"A\x80\x01\x80\x02", [descendant], [(200, cmap, ""), (201, to_unicode, "")])
    assert "XYぃ" in text


TYPE1_PROGRAM = (b"%!PS-AdobeFont-1.0: CMR10\n/FontName /CMR10 def\n/Encoding 256 array\n"
                 b"0 1 255 {1 index exch /.notdef put} for\ndup 11 /ff put\ndup 65 /Alpha put\n"
                 b"dup 97 /a put\nreadonly def\ncurrentdict end\ncurrentfile eexec\n\x8f\x12\x00/Encoding dup 66 /B put")


@pytest.mark.parametrize("encoding, shown, expected", [
    ("", b"\x0bAa", "ff\u0391a"),                                # the program's encoding
    ("/Encoding << /Differences [97 /b] >>", b"\x0ba", "ffb"),  # differences on top of it
    ("/Encoding /WinAnsiEncoding", b"A", "A"),                      # an /Encoding name wins
])
def test_embedded_type1_builtin_encoding(encoding, shown, expected):
    font = ("<< /Subtype /Type1 /BaseFont /CMR10 /FontDescriptor 101 0 R %s >>" % encoding)
    descriptor = (101, "<< /Type /FontDescriptor /Flags 4 /FontFile 200 0 R >>")
    program = (200, zlib.compress(TYPE1_PROGRAM), "/Filter /FlateDecode /Length1 %d" % len(TYPE1_PROGRAM))
    text = read(font, shown, objects=[descriptor], streams=[program])
    assert expected in text and "B" not in text                     # nothing read past eexec


def test_the_program_is_read_when_a_later_page_needs_it():
    # One call reads both pages with one decoder: the first page's code is
    # named by /Differences, the second's only by the program.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>")
    for number, shown in ((3, b"(a)"), (5, b"<0b>")):
        b.add(number, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents %d 0 R "
                      "/Resources << /Font << /F1 100 0 R >> >> >>" % (number + 1))
        b.stream(number + 1, b"BT /F1 12 Tf 72 700 Td " + shown + b" Tj ET")
    b.add(100, "<< /Subtype /Type1 /BaseFont /CMR10 /FontDescriptor 101 0 R /Encoding << /Differences [97 /b] >> >>")
    b.add(101, "<< /Type /FontDescriptor /Flags 4 /FontFile 200 0 R >>")
    b.stream(200, TYPE1_PROGRAM)
    assert quillet.Document(b.build()).reading_text() == "b\fff"


def test_a_code_tounicode_maps_is_measured_by_its_glyph_name():
    # Without /Widths the standard 14 metrics measure the glyph the encoding
    # names (Helvetica's W: 944 units), whatever text ToUnicode gives it.
    cmap = b"1 begincodespacerange <00> <FF> endcodespacerange 1 beginbfchar <57> <0058> endbfchar"
    doc = page(SIMPLE % ("Helvetica", "/ToUnicode 200 0 R"), b"72 700 Td (WW) Tj", streams=[(200, cmap, "")])
    [word] = doc.page_words(0)
    assert word["text"] == "XX"
    assert word["bbox"][2] - word["bbox"][0] == pytest.approx(2 * 0.944 * 12)


def cff_program(supplement: bool = False) -> bytes:
    """A one-font CFF with glyphs .notdef, A (string id 34), uni00E9 (its own
    string) and fi (109), encoded at codes 41, 42 and 0B (format 0), and with
    a supplement giving code 43 the glyph name A."""
    def index(items):
        if not items:
            return b"\x00\x00"
        offsets = [1]
        for item in items:
            offsets.append(offsets[-1] + len(item))
        return len(items).to_bytes(2, "big") + b"\x01" + bytes(offsets) + b"".join(items)

    def operand(value):  # five-byte integer, so the dictionary's size is fixed
        return b"\x1d" + value.to_bytes(4, "big")

    names, strings, subrs = index([b"Test"]), index([b"uni00E9"]), index([])
    char_strings = index([b"\x0e"] * 4)
    top_size = len(index([b"\x00" * 18]))
    start = 4 + len(names) + top_size + len(strings) + len(subrs)
    charset_at = start + len(char_strings)
    charset = b"\x00" + b"".join(sid.to_bytes(2, "big") for sid in (34, 391, 109))
    encoding_at = charset_at + len(charset)
    encoding = (b"\x80" if supplement else b"\x00") + b"\x03\x41\x42\x0b" + (b"\x01\x43\x00\x22" if supplement else b"")
    top = operand(charset_at) + b"\x0f" + operand(encoding_at) + b"\x10" + operand(start) + b"\x11"
    return b"\x01\x00\x04\x01" + names + index([top]) + strings + subrs + char_strings + charset + encoding


def cff_font(program: bytes) -> tuple:
    return ("<< /Subtype /Type1 /BaseFont /ABCDEF+Test /FontDescriptor 101 0 R >>",
            [(101, "<< /Type /FontDescriptor /Flags 4 /FontFile3 200 0 R >>")], [(200, program, "/Subtype /Type1C")])


@pytest.mark.parametrize("supplement, shown, expected", [
    (False, b"AB\x0bC", "AéfiC"),                  # a code it leaves out: StandardEncoding
    (True, b"C", "A"),
])
def test_embedded_cff_builtin_encoding(supplement, shown, expected):
    font, objects, streams = cff_font(cff_program(supplement))
    assert expected in read(font, shown, objects, streams)


def test_truncated_or_corrupted_cff_programs_never_fail():
    program = cff_program(True)
    for cut in range(len(program)):
        for variant in (program[:cut], program[:cut] + b"\xff" + program[cut + 1:]):
            font, objects, streams = cff_font(variant)
            assert isinstance(read(font, b"AB\x0bC", objects, streams), str)
    font, objects, streams = cff_font(program[:20])
    assert "A" in read(font, b"A", objects, streams)           # unreadable: StandardEncoding


def type0(encoding: str, ordering: str = "Japan1") -> str:
    return ("<< /Type /Font /Subtype /Type0 /BaseFont /Test /Encoding %s /DescendantFonts [101 0 R] >>" % encoding,
            (101, "<< /Type /Font /Subtype /CIDFontType0 /BaseFont /Test /CIDSystemInfo << /Registry (Adobe) "
                  "/Ordering (%s) /Supplement 2 >> /DW 1000 >>" % ordering))


EMBEDDED_CMAP = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap /WMode 0 def\n"
                 b"2 begincodespacerange <00> <7F> <8000> <FFFF> endcodespacerange\n"
                 b"1 begincidrange <20> <7E> 1 endcidrange 1 begincidchar <8001> 843 endcidchar\n"
                 b"endcmap CMapName currentdict /CMap defineresource pop end end")


@pytest.mark.parametrize("encoding, ordering, shown, expected", [
    ("/Identity-H", "Japan1", b"\x00\x22\x03\x4b", "Aあ"),              # CIDs 34 and 843
    ("/Identity-V", "Japan1", b"\x03\x4b", "あ"),
    ("/UniJIS-UCS2-H", "Japan1", b"\x30\x42\x00\x41", "あA"),           # codes are Unicode
    ("/UniGB-UTF16-H", "GB1", b"\xd8\x3d\xde\x00\x00\x41", "\U0001F600A"),
    ("/GBK-EUC-H", "GB1", b"A\xb0\xa1B", "A啊B"),                       # one- and two-byte codes
    ("/GBKp-EUC-H", "GB1", b"\xb0\xa1", "啊"),
    ("/H", "Japan1", b"\x24\x22", "あ"),                                # JIS X 0208 row 4
    ("200 0 R", "Japan1", b"A\x80\x01B", "Aあ"),                        # embedded CMap program
    ("/GBK-EUC-V", "GB1", b"\xb0\xa1", "啊"),                          # through its horizontal twin
    ("/ETenms-B5-H", "CNS1", b"\xa4\x40", "一"),                       # and through its base CMap
    ("/UniJIS-UTF8-H", "Japan1", "あA".encode(), "あA"),
    ("/UniKS-UTF32-H", "Korea1", b"\x00\x00\xac\x00", "가"),
    ("/Identity-H", "Identity", b"\x00\x22\x00\x23", "\ufffd\ufffd"),   # no ordering to read
    ("/Identity-H", "Korea2", b"\x00\x22", "\ufffd"),
    ("/NoSuchCMap", "Japan1", b"\x00\x22", "A"),                        # unknown: Identity-H
])
def test_type0_fonts_without_tounicode(encoding, ordering, shown, expected):
    font, descendant = type0(encoding, ordering)
    text = read(font, shown, objects=[descendant], streams=[(200, EMBEDDED_CMAP, "/Type /CMap")])
    assert expected in text
    if expected.startswith("\ufffd"):
        assert text.count("\ufffd") == len(expected)                     # one per two-byte code


@pytest.mark.parametrize("font, objects, streams", [
    # Broken optional entries fall back; only /ToUnicode is strict.
    (SIMPLE % ("Helvetica", "/Widths 5 /FirstChar (x) /FontDescriptor 999 0 R /Encoding [1 2]"), [], []),
    (SIMPLE % ("Helvetica", "/Encoding << /BaseEncoding 7 /Differences [(A) /B [] 65] >>"), [], []),
    (SIMPLE % ("Helvetica", "/FontDescriptor << /FontFile3 200 0 R /FontFile 201 0 R >>"), [],
     [(200, b"\x01\x00\x04\x04garbage", ""), (201, b"not flate", "/Filter /FlateDecode")]),
    ("<< /Subtype /Type0 /Encoding 200 0 R /DescendantFonts [5 (x)] >>", [],
     [(200, b"begincodespacerange <00", "")]),
    ("<< /Subtype /Type0 /Encoding /Identity-H /DescendantFonts 101 0 R >>",
     [(101, "[<< /CIDSystemInfo 7 /W [1 [2] 3 (x) 4] /W2 [1] /DW (x) >>]")], []),
])
def test_broken_optional_entries_fall_back(font, objects, streams):
    text = read(font, b"\x00A", objects, streams)
    assert text.strip()


LOOPING_CMAP = b"1 begincodespacerange <00> <FF> endcodespacerange 1 begincidrange <00> <FF> 0 endcidrange"


@pytest.mark.parametrize("font, objects, streams", [
    # A CMap that uses itself, and one using another that uses the first.
    (type0("200 0 R")[0], [type0("")[1]], [(200, LOOPING_CMAP, "/UseCMap 200 0 R")]),
    (type0("200 0 R")[0], [type0("")[1]], [(200, LOOPING_CMAP, "/UseCMap 201 0 R"),
                                            (201, LOOPING_CMAP, "/UseCMap 200 0 R")]),
    # Width ranges over every CID and overlapping ones.
    (type0("/Identity-H")[0],
     [(101, "<< /CIDSystemInfo << /Registry (Adobe) /Ordering (Japan1) >> "
            "/W [0 4294967295 500 4294967290 [1 2 3 4 5 6 7 8] 3 1 9 -7 [1]] >>")], []),
    # A range cut short before its width, at the end of the array (read past
    # the end before the fix, found by fuzzing).
    (type0("/Identity-H")[0], [(101, "<< /W [0 5] /W2 [0 5 1 2] >>")], []),
])
def test_hostile_cmaps_and_widths_are_bounded(font, objects, streams):
    assert read(font, b"\x00\x22" * 3, objects, streams) is not None


@pytest.mark.parametrize("junk, codes", [(99, 2), (100, 1)])
def test_code_spaces_past_the_bound_are_ignored(junk, codes):
    # Every glyph tries each code space: a CMap listing thousands would cost
    # their number times the glyphs.  The one-byte space after `junk`
    # two-byte ones splits "AA" into two codes only within the bound.
    spaces = b"".join(b"<FF%02X> <FF%02X> " % (i, i) for i in range(junk))
    cmap = b"%d begincodespacerange %s<00> <7F> endcodespacerange" % (junk + 1, spaces)
    font, descendant = type0("200 0 R", "Identity")
    assert read(font, b"AA", objects=[descendant], streams=[(200, cmap, "")]).count("\ufffd") == codes


def test_fonts_sharing_one_large_encoding_cmap_are_charged_for_each_parse():
    # A hundred fonts naming one mebibyte CMap program parse it a hundred
    # times, past what the call may do for a file of this size.
    cmap = b"1 begincodespacerange <0000> <FFFF> endcodespacerange\n" + b"1 begincidchar <0001> 5 endcidchar\n" * 30000
    font, descendant = type0("200 0 R")
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << %s >> >> >>"
          % " ".join("/F%d %d 0 R" % (i, 300 + i) for i in range(100)))
    b.stream(4, b"BT 72 700 Td " + b"".join(b"/F%d 1 Tf <0001> Tj " % i for i in range(100)) + b"ET")
    b.stream(200, zlib.compress(cmap), "/Filter /FlateDecode")
    b.add(*descendant)
    for i in range(100):
        b.add(300 + i, font)
    with pytest.raises(ValueError, match="^type mismatch in font /Encoding CMap: expected at most [0-9]+ bytes of content, "
                                         "text and records per call$"):
        quillet.Document(b.build()).page_reading_text(0)


def test_thousands_of_tiny_fonts_are_charged_for_their_decoders():
    # A font dictionary of 20 bytes gets a decoder of some kilobytes.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R /Resources << /Font << %s >> >> >>"
          % " ".join("/F%d <<>>" % i for i in range(8000)))
    b.stream(4, zlib.compress(b"".join(b"/F%d 1 Tf (A) Tj " % i for i in range(8000))), "/Filter /FlateDecode")
    with pytest.raises(ValueError, match="^type mismatch in page fonts: expected at most 67108864 bytes of content, "
                                         "text and records per call$"):
        quillet.Document(b.build()).page_reading_text(0)


def test_long_texts_of_glyphs_off_the_page_count_toward_the_page_bound():
    # Each "A" maps to a mebibyte of text: 70 drawn off the page decode past
    # the bound of one page's text, though none of them is recorded.
    cmap = b"1 beginbfchar <41> <" + b"0078" * (1 << 20) + b"> endbfchar"
    d = page(SIMPLE % ("Helvetica", "/ToUnicode 200 0 R"), b"-5000 -5000 Td (" + b"A" * 70 + b") Tj",
             streams=[(200, zlib.compress(cmap), "/Filter /FlateDecode")])
    with pytest.raises(ValueError, match="^type mismatch in page text: expected at most 67108864 bytes of glyph text$"):
        d.page_reading_text(0)


@pytest.mark.parametrize("font, streams, message", [
    ("<< /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 5 >>", [],
     "type mismatch in font /ToUnicode: expected stream"),
    ("<< /Subtype /Type0 /Encoding /Identity-H /ToUnicode 200 0 R >>", [(200, b"beginbfchar <01> <0041", "")],
     "unterminated CMap hex token"),
])
def test_tounicode_failures_are_those_of_page_text(font, streams, message):
    doc = page(font, b"(A) Tj", streams=streams)
    for method in (doc.page_text, doc.page_reading_text):
        with pytest.raises(ValueError, match=message):
            method(0)


@pytest.mark.skipif(not (CORPUS / "files").is_dir(), reason="corpus not available")
@pytest.mark.parametrize("name, words", [
    ("pdfjs_issue3521", ["我们都是黑体字"]),                # GBKp-EUC-H, Adobe-GB1
    ("pdfjs_noembed-jis7", ["あいうえお"]),                  # H, Adobe-Japan1
    ("pdfminer_pagelabels", ["Firstsection"]),              # Type 1 programs' own encodings
    ("pypdf_geotopo-komprimiert", ["Stetigkeit", "Abbildung"]),  # CFF programs' own encodings
])
def test_corpus_fonts_without_tounicode(name, words):
    doc = quillet.Document.open(str(CORPUS / "files" / (name + ".pdf")))
    text = "".join(doc.page_reading_text(i) for i in range(len(doc.pages())))
    for word in words:
        assert word in text.replace(" ", "")
