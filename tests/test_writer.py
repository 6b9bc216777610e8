"""write_text_pdf: the exact layout of a new text document, escaping of
page text and Info values, and that every result is a sound PDF."""


import pytest

import quillet
from pdfbuild import qpdf_check

PAGE = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 << /Type /Font "
        b"/Subtype /Type1 /BaseFont /Helvetica >> >> >> /Contents %d 0 R >>")


def expected_pdf(contents: list[bytes], info: bytes = b"<< /Producer (quillet) >>") -> bytes:
    """The file laid out independently of the library: catalog, page tree,
    page/content pairs, Info, a full xref table, trailer, startxref."""
    m = len(contents)
    bodies = [b"<< /Type /Catalog /Pages 2 0 R >>",
              b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(b"%d 0 R" % (2 * i + 3) for i in range(m)), m)]
    for i, content in enumerate(contents):
        bodies.append(PAGE % (2 * i + 4))
        bodies.append(b"<< /Length %d  >>\nstream\n" % len(content) + content + b"\nendstream")
    bodies.append(info)
    out = bytearray(b"%PDF-1.7\n%\x80\x80\x80\x80\n")
    offsets = []
    for number, body in enumerate(bodies, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    size = len(bodies) + 1
    out += b"xref\n0 %d\n0000000000 65535 f \n" % size
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, size - 1, xref)
    return bytes(out)


def content(*lines: bytes) -> bytes:
    return b"BT /F1 12 Tf 72 720 Td 14 TL" + b"".join(b" (" + line + b") Tj T*" for line in lines) + b" ET"


# ---- layout ----

@pytest.mark.parametrize("pages, contents", [
    ([], [content()]),
    ([""], [content()]),
    (["Hello"], [content(b"Hello")]),
    (["one", "two"], [content(b"one"), content(b"two")]),
    (["a\r\nb\n"], [content(b"a", b"b")]),
    (["a\n\nb"], [content(b"a", b"", b"b")]),
    (["\n"], [content(b"")]),
    (["x\ry"], [content(b"xy")]),
    (["f(x) = \\1\t!"], [content(b"f\\(x\\) = \\\\1\t!")]),
    (["caf\u00e9 \U0001F600"], [content(b"caf?\\u{e9} ?\\u{1f600}")]),
])
def test_layout_byte_for_byte(pages, contents, tmp_path):
    pdf = quillet.write_text_pdf(pages)
    assert pdf == expected_pdf(contents)
    qpdf_check(pdf, tmp_path)


def test_empty_list_gives_one_blank_page():
    pdf = quillet.write_text_pdf([])
    assert b"<< /Length 31  >>\nstream\nBT /F1 12 Tf 72 720 Td 14 TL ET\nendstream" in pdf
    assert b"/Count 1 >>" in pdf
    assert b"trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R >>" in pdf


def test_hello_has_length_45():
    pdf = quillet.write_text_pdf(["Hello"])
    assert b"<< /Length 45  >>\nstream\nBT /F1 12 Tf 72 720 Td 14 TL (Hello) Tj T* ET\n" in pdf


@pytest.mark.parametrize("title, author, info", [
    (None, None, b"<< /Producer (quillet) >>"),
    ("", None, b"<< /Producer (quillet) /Title () >>"),
    ("Report (draft)", "A\\B", b"<< /Producer (quillet) /Title (Report \\(draft\\)) /Author (A\\\\B) >>"),
    (None, "line\nbreak", b"<< /Producer (quillet) /Author (line\\nbreak) >>"),
    # Text beyond ASCII becomes a UTF-16BE text string, so it reads back as
    # the same characters (astral ones as a surrogate pair).
    ("Zo\u00eb", None, b"<< /Producer (quillet) /Title <FEFF005A006F00EB> >>"),
    (None, "\U0001F600", b"<< /Producer (quillet) /Author <FEFFD83DDE00> >>"),
])
def test_info_dictionary(title, author, info, tmp_path):
    pdf = quillet.write_text_pdf(["x"], title=title, author=author)
    assert pdf == expected_pdf([content(b"x")], info)
    qpdf_check(pdf, tmp_path)


def test_offsets_point_at_objects_and_xref():
    pdf = quillet.write_text_pdf(["a", "b", "c"], title="t")
    xref = int(pdf[pdf.rindex(b"startxref") + 10:].split()[0])
    assert pdf[xref:xref + 5] == b"xref\n"
    rows = pdf[xref:].split(b"\n")[3:3 + 8]
    for number, row in enumerate(rows, start=1):
        offset = int(row[:10])
        assert pdf[offset:].startswith(b"%d 0 obj\n" % number)


# ---- results read back ----

def test_result_loads_back_with_its_text():
    doc = quillet.Document(quillet.write_text_pdf(["first line\nsecond", "page two"], title="T"))
    assert doc.version() == (1, 7)
    assert doc.page_count() == 2
    assert doc.object_count() == 7
    assert doc.page_texts() == ["first line\nsecond\n", "page two\n"]


@pytest.mark.parametrize("title, author", [
    ("Plain title", "Someone"),
    ("Gr\u00fc\u00dfe \u2014 \u65e5\u672c", "\U0001F600 emoji"),
    ("(parens) and \\ backslash", "tab\there"),
])
def test_info_round_trips_through_metadata(title, author):
    doc = quillet.Document(quillet.write_text_pdf(["x"], title=title, author=author))
    meta = doc.metadata()
    assert (meta["title"], meta["author"], meta["producer"]) == (title, author, "quillet")


# ---- arguments ----

@pytest.mark.parametrize("kwargs, name", [
    ({"pages": "not a list"}, "pages"),
    ({"pages": ["ok", b"bytes"]}, "pages"),
    ({"pages": 5}, "pages"),
    ({"pages": [], "title": b"t"}, "title"),
    ({"pages": [], "author": 1}, "author"),
])
def test_argument_types(kwargs, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        quillet.write_text_pdf(**kwargs)


def test_any_sequence_of_str():
    assert quillet.write_text_pdf(("a", "b")) == quillet.write_text_pdf(["a", "b"])
