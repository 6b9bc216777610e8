"""Text extraction: the text-showing operators and their line feeds, text
strings without a CMap, font selection through the page resources, the
per-call font cache and the document-level joins."""

from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS



def text(content: bytes | str) -> str:
    return quillet.Document(simple_pdf([content])).page_text(0)


@pytest.mark.parametrize("content, result", [
    ("BT (Hello) Tj 0 -14 Td (World) Tj ET", "HelloWorld"),
    ("BT (Hello) Tj T* (World) Tj ET", "Hello\nWorld"),
    ("T* (A) Tj", "A"),                                  # no leading line feed
    ("(A) Tj T* T* (B) Tj", "A\n\nB"),
    ("(A) Tj T*", "A\n"),
    ("[(Hel) -250 (lo)] TJ", "Hello"),
    ("[(a) /N 5 0 R [(x)] (b)] TJ", "ab"),
    ("(A) '", "A"),                                      # nothing before: no line feed
    ("(A) Tj (B) '", "A\nB"),
    ("(A) Tj 1 2 (B) \"", "A\nB"),
    ("(A) Tj 1 2 \"", "A\n"),                            # line feed even without a string
    ("(A) Tj 5 '", "A\n"),
    ("(A) Tj 5 Tj", "A"),                                # Tj of a non-string
    ("(A) 5 Tj", ""),                                    # the last operand decides
    ("(A) Tj (B) TJ", "A"),                              # TJ of a non-array
    ("(A) (B) Tj", "B"),
    ("BT (A) Tj 1 0 0 1 50 50 Tm (B) Tj ET BT (C) Tj ET", "ABC"),
    ("/X Do (A) Tj", "A"),
    (b"<FEFF00480069> Tj", "Hi"),
    (b"<FEFFD83DDE00> Tj", "\U0001F600"),
    (b"<FEFFD800 0041> Tj", "\ufffdA"),                  # unpaired high surrogate
    (b"<FEFFDC00> Tj", "\ufffd"),
    (b"<FEFF0041 00> Tj", "A"),                          # final odd byte ignored
    (b"<FEFF> Tj", ""),
    (b"<48E9> Tj", "H\ufffd"),                           # no Latin-1 or PDFDocEncoding
    ("(caf\xc3\xa9) Tj", "caf\xe9"),                     # UTF-8 bytes read as UTF-8
    (b"<E282> Tj", "\ufffd"),                            # one maximal ill-formed part
    (b"<F0808080> Tj", "\ufffd" * 4),
    (b"<FF FE 0041> Tj", "\ufffd\ufffd\x00A"),
])
def test_operators_and_text_strings(content, result):
    assert text(content) == result


def test_page_without_contents_is_empty():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Contents 9 0 R >>")  # not inherited
    b.add(3, "<< /Type /Page >>")
    b.stream(9, b"(inherited) Tj")
    doc = quillet.Document(b.build())
    assert doc.page_text(0) == ""
    assert doc.text() == ""
    assert doc.page_texts() == [""]


def test_document_text_joins_pages_with_line_feeds():
    doc = quillet.Document(simple_pdf(["(first) Tj", "", "(third) Tj T*"]))
    assert doc.text() == "first\n\nthird\n"
    assert doc.page_texts() == ["first", "", "third\n"]
    assert [doc.page_text(i) for i in range(3)] == ["first", "", "third\n"]


def test_document_without_pages():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    doc = quillet.Document(b.build())
    assert doc.text() == ""
    assert doc.page_texts() == []


def test_an_error_on_any_page_fails_the_whole_text():
    doc = quillet.Document(simple_pdf(["(a) Tj", "(b) Tj ]"]))
    assert doc.page_text(0) == "a"
    for call in (doc.text, doc.page_texts, lambda: doc.page_text(1)):
        with pytest.raises(ValueError, match="^invalid token at byte 8: unexpected content token ArrayEnd$"):
            call()


# ---- fonts ----

CMAP_AB = b"beginbfchar <01> <0041> <02> <0042> endbfchar"
CMAP_XY = b"beginbfchar <01> <0058> <02> <0059> endbfchar"


def font_doc(resources: str, contents: list[bytes], objects=(), streams=(), page_resources=None):
    """Pages with the given contents and /Resources; objects from 100 on."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = " ".join("%d 0 R" % (10 + 2 * i) for i in range(len(contents)))
    b.add(2, "<< /Type /Pages /Kids [%s] /Resources %s >>" % (kids, resources))
    for i, data in enumerate(contents):
        own = ""
        if page_resources and page_resources[i]:
            own = " /Resources " + page_resources[i]
        b.add(10 + 2 * i, "<< /Type /Page /Contents %d 0 R%s >>" % (11 + 2 * i, own))
        b.stream(11 + 2 * i, data)
    for number, body in objects:
        b.add(number, body)
    for number, data in streams:
        b.stream(number, data)
    return quillet.Document(b.build())


FONTS = [(100, "<< /Type /Font /ToUnicode 200 0 R >>"), (101, "<< /Type /Font /ToUnicode 201 0 R >>"),
         (102, "<< /Type /Font /Subtype /Type1 >>")]
CMAPS = [(200, CMAP_AB), (201, CMAP_XY)]


@pytest.mark.parametrize("content, result", [
    (b"<0102> Tj", "\x01\x02"),                                      # before any Tf
    (b"/F1 12 Tf <0102> Tj", "AB"),
    (b"/F1 12 Tf <0102> Tj /F2 12 Tf <0102> Tj", "ABXY"),
    (b"/F1 12 Tf <01> Tj /F3 12 Tf <01> Tj (c) Tj", "A\x01c"),        # font without /ToUnicode
    (b"/F1 12 Tf <01> Tj /Nope 12 Tf <01> Tj", "A\x01"),              # font not in the resources
    (b"/F1 12 Tf <01> Tj 12 Tf <01> Tj", "AA"),                       # Tf without a name changes nothing
    (b"/F1 12 Tf <01> Tj Tf <01> Tj", "AA"),
    (b"/F1 12 Tf [<01> 5 <02>] TJ <01> ' 0 0 <02> \"", "AB\nA\nB"),
    (b"/F4 12 Tf <0102> Tj", "AB"),                                   # direct font dictionary
    (b"/F5 12 Tf <0102> Tj", "XY"),                                   # same object as F2
])
def test_font_selection(content, result):
    resources = ("<< /Font << /F1 100 0 R /F2 101 0 R /F3 102 0 R /F4 << /ToUnicode 200 0 R >> "
                 "/F5 101 0 R >> >>")
    doc = font_doc(resources, [content], FONTS, CMAPS)
    assert doc.page_text(0) == result


def test_current_cmap_resets_at_every_page():
    doc = font_doc("<< /Font << /F1 100 0 R >> >>", [b"/F1 1 Tf <01> Tj", b"<01> Tj"], FONTS, CMAPS)
    assert doc.text() == "A\n\x01"


def test_shared_font_object_across_pages_and_names():
    resources = "<< /Font << /F1 100 0 R /G 100 0 R >> >>"
    doc = font_doc(resources, [b"/F1 1 Tf <01> Tj", b"/G 1 Tf <02> Tj", b"/F1 1 Tf <0102> Tj"], FONTS, CMAPS)
    assert doc.page_texts() == ["A", "B", "AB"]


def test_direct_font_dictionaries_are_kept_apart_per_page():
    # The same name on two pages names different direct fonts.
    doc = font_doc("<< >>", [b"/F 1 Tf <01> Tj", b"/F 1 Tf <01> Tj"], FONTS, CMAPS,
                   page_resources=["<< /Font << /F << /ToUnicode 200 0 R >> >> >>",
                                   "<< /Font << /F << /ToUnicode 201 0 R >> >> >>"])
    assert doc.text() == "A\nX"


def test_page_resources_win_over_inherited_ones():
    doc = font_doc("<< /Font << /F1 100 0 R >> >>", [b"/F1 1 Tf <01> Tj", b"/F1 1 Tf <01> Tj"], FONTS, CMAPS,
                   page_resources=[None, "<< /Font << /F1 101 0 R >> >>"])
    assert doc.page_texts() == ["A", "X"]


def test_text_in_form_xobjects_is_not_extracted():
    doc = font_doc("<< /XObject << /X1 300 0 R >> >>", [b"(page) Tj /X1 Do"],
                   streams=[(300, b"(form) Tj")], objects=[])
    assert doc.page_text(0) == "page"


@pytest.mark.parametrize("resources, objects, message", [
    ("5", [], "type mismatch in page /Resources: expected dictionary"),
    ("300 0 R", [(300, "[1]")], "type mismatch in page /Resources: expected dictionary"),
    ("300 0 R", [], "dangling reference to object 300 0"),
    ("<< /Font 5 >>", [], "type mismatch in page /Resources /Font: expected dictionary"),
    ("<< /Font 300 0 R >>", [], "dangling reference to object 300 0"),
    ("<< /Font << /F1 5 >> >>", [], "type mismatch in font resource: expected dictionary"),
    ("<< /Font << /F1 300 0 R >> >>", [], "dangling reference to object 300 0"),
    ("<< /Font << /F1 300 0 R >> >>", [(300, "<< /ToUnicode 5 >>")],
     "type mismatch in font /ToUnicode: expected stream"),
    ("<< /Font << /F1 300 0 R >> >>", [(300, "<< /ToUnicode 301 0 R >>"), (301, "<< /A 1 >>")],
     "type mismatch in font /ToUnicode: expected stream"),
    ("<< /Font << /F1 300 0 R >> >>", [(300, "<< /ToUnicode 302 0 R >>")],
     "dangling reference to object 302 0"),
])
def test_resource_errors(resources, objects, message):
    doc = font_doc(resources, [b"(a) Tj /F1 1 Tf (b) Tj"], objects)
    with pytest.raises(ValueError, match="^" + message + "$"):
        doc.page_text(0)


def test_resources_are_only_read_by_tf():
    doc = font_doc("5", [b"(a) Tj"])
    assert doc.page_text(0) == "a"


def test_broken_tounicode_fails_page_and_document_text():
    doc = font_doc("<< /Font << /F1 100 0 R >> >>", [b"(ok) Tj", b"/F1 1 Tf <01> Tj"],
                   [(100, "<< /ToUnicode 200 0 R >>")], [(200, b"beginbfchar <01> <0041")])
    assert doc.page_text(0) == "ok"
    message = "^invalid token at byte 17: unterminated CMap hex token$"
    for call in (doc.text, doc.page_texts, lambda: doc.page_text(1)):
        with pytest.raises(ValueError, match=message):
            call()


def test_compressed_tounicode_stream():
    import zlib
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] >>")
    b.add(3, "<< /Type /Page /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>")
    b.stream(4, b"/F1 1 Tf <01> Tj")
    b.add(5, "<< /ToUnicode 6 0 R >>")
    b.stream(6, zlib.compress(CMAP_XY), "/Filter /FlateDecode")
    assert quillet.Document(b.build()).page_text(0) == "X"


def test_text_is_charged_as_it_grows():
    # Each code maps to 128 KiB of text: 600 of them pass the call's 64 MiB
    # of work, which stops the page there, before the broken font after them.
    import zlib
    cmap = b"beginbfchar <41> <" + b"0078" * (1 << 17) + b"> endbfchar"
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] >>")
    b.add(3, "<< /Type /Page /Contents 4 0 R /Resources << /Font << /F1 5 0 R /F2 7 >> >> >>")
    b.stream(4, b"/F1 1 Tf (" + b"A" * 600 + b") Tj /F2 1 Tf")
    b.add(5, "<< /ToUnicode 6 0 R >>")
    b.stream(6, zlib.compress(cmap), "/Filter /FlateDecode")
    message = "^type mismatch in page text: expected at most 67108864 bytes of content, text and records per call$"
    with pytest.raises(ValueError, match=message):
        quillet.Document(b.build()).page_text(0)


def test_many_pages_sharing_one_font():
    pages = [b"BT /F1 12 Tf <0102> Tj T* <02> Tj ET"] * 40
    doc = font_doc("<< /Font << /F1 100 0 R >> >>", pages, FONTS, CMAPS)
    assert doc.text() == "\n".join(["AB\nB"] * 40)


# ---- corpus ----

def words(text: str) -> set[str]:
    return {w for w in "".join(c if c.isalnum() else " " for c in text).split() if len(w) >= 4}


@pytest.mark.skipif(not CORPUS.exists(), reason="corpus not available")
def test_corpus_text_loosely_matches_the_oracle():
    # Spacing, layout, form XObjects and fonts without ToUnicode make the
    # texts differ; the oracle's words should still mostly be found, with
    # white space ignored, in most files.
    fractions = {}
    for pdf in sorted((CORPUS / "files").glob("*.pdf")):
        oracle = CORPUS / "oracle" / pdf.stem / "text.txt"
        if not oracle.exists():
            continue
        expected = words(oracle.read_text(errors="replace"))
        if len(expected) < 20:
            continue
        try:
            ours = "".join(quillet.Document(pdf.read_bytes()).text().split())
        except ValueError:
            continue  # refused files (encryption, broken streams, ...)
        fractions[pdf.stem] = sum(1 for w in expected if w in ours) / len(expected)
    assert len(fractions) > 20
    good = [name for name, fraction in fractions.items() if fraction >= 0.5]
    assert len(good) >= 0.75 * len(fractions), fractions
