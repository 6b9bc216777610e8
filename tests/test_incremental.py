"""Incremental updates: with_metadata, with_uri_link and with_text_annotation
append exactly one new section to the loaded file, which loads back and
chains to the old one."""

import math
import os
import re
from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, qpdf_check, simple_pdf, xref_table
from corpus import CORPUS, manifest
from rawpdf import classic_file


INFO = (9, "<< /Title (Old title) /Author (Old author) /Subject (Old subject) /Keywords (k1 k2) "
           "/Creator (Old creator) /Producer (Old producer) /CreationDate (D:20200101) >>")


def base_pdf(page_extra: str = "", extra_objects=(), trailer: str = "/Info 9 0 R") -> bytes:
    """Catalog 1, pages 2, page 3 with content 4, page 5 with content 6, Info 9."""
    return simple_pdf(["BT ET", "BT ET"], page_extra=page_extra, extra_objects=[INFO, *extra_objects],
                      trailer=trailer)


def startxref(pdf: bytes) -> int:
    return int(pdf[pdf.rindex(b"startxref") + 10:].split()[0])


def section(new: bytes, old: bytes) -> bytes:
    """What an update appended to `old`."""
    assert new.startswith(old)
    return new[len(old):]


def expected_section(old: bytes, objects: list[tuple[int, bytes]], size: int, info: int | None, root=b"1 0 R") -> bytes:
    """An update section laid out independently of the library."""
    out = bytearray(old if old.endswith(b"\n") else old + b"\n")
    offsets = {}
    for number, body in objects:
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n" + b"".join(b"%d 1\n%010d 00000 n \n" % (n, offsets[n]) for n in sorted(offsets))
    out += b"trailer\n<< /Size %d /Root " % size + root
    if info is not None:
        out += b" /Info %d 0 R" % info
    out += b" /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (startxref(old), xref)
    return bytes(out[len(old):])


# ---- metadata ----

def test_metadata_section_exactly(tmp_path):
    old = base_pdf()
    new = quillet.Document(old).with_metadata(title="New title", producer="me")
    body = (b"<< /Title (New title) /Author (Old author) /Subject (Old subject) /Keywords (k1 k2) "
            b"/Creator (Old creator) /Producer (me) >>")
    assert section(new, old) == expected_section(old, [(10, body)], size=11, info=10)
    qpdf_check(new, tmp_path)


def test_metadata_without_arguments_keeps_values_and_sets_producer():
    old = base_pdf()
    new = quillet.Document(old).with_metadata()
    assert b"/Creator (Old creator) /Producer (quillet) >>" in new
    meta = quillet.Document(new).metadata()
    assert (meta["title"], meta["author"], meta["subject"], meta["keywords"], meta["creator"], meta["producer"]) == (
        "Old title", "Old author", "Old subject", "k1 k2", "Old creator", "quillet")
    # Dates and custom entries are not carried over.
    assert meta["creation_date"] == ""


@pytest.mark.parametrize("title", ["", "   ", "\t\n", "\u00a0\u3000"])
def test_blank_title_is_dropped(title):
    new = quillet.Document(base_pdf()).with_metadata(title=title)
    info = new[new.rindex(b"10 0 obj"):]
    assert b"/Title" not in info
    assert info.startswith(b"10 0 obj\n<< /Author (Old author)")


def test_metadata_without_old_info():
    old = simple_pdf(["BT ET"], trailer="")
    new = quillet.Document(old).with_metadata(author="A")
    assert section(new, old) == expected_section(old, [(5, b"<< /Author (A) /Producer (quillet) >>")], size=6, info=5)


@pytest.mark.parametrize("text", [
    "Caf\u00e9 cr\u00e8me", "\u65e5\u672c\u8a9e", "\U0001F600 smile", "plain (ascii) \\ text",
])
def test_metadata_round_trips_text(text, tmp_path):
    new = quillet.Document(base_pdf()).with_metadata(title=text, author=text, keywords=text)
    qpdf_check(new, tmp_path)
    meta = quillet.Document(new).metadata()
    assert (meta["title"], meta["author"], meta["keywords"]) == (text, text, text)


def test_non_ascii_text_is_utf16():
    new = quillet.Document(base_pdf()).with_metadata(title="\u00e9")
    assert b" /Title <FEFF00E9> " in new


@pytest.mark.parametrize("ending", [b"", b"\r", b" "])
def test_one_line_feed_is_inserted_when_missing(ending):
    old = base_pdf()
    assert old.endswith(b"%%EOF\n")
    old = old[:-1] + ending
    new = quillet.Document(old).with_metadata()
    assert new[len(old):].startswith(b"\n10 0 obj\n")
    quillet.Document(new)


def test_new_numbers_stay_above_free_entries(tmp_path):
    # Objects 1-3, then 4-6 free and never to be reused, as a hybrid file
    # lists the objects of its hidden cross-reference stream.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>")
    body, where = b.body()
    rows = b"0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % where[(n, 0)] for n in (1, 2, 3))
    rows += b"0000000005 65535 f \n0000000006 65535 f \n0000000000 65535 f \n"
    old = body + b"xref\n0 7\n" + rows + b"trailer\n<< /Size 7 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % len(body)
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    assert b"\n7 0 obj\n<< /A" in new
    assert b"<< /Size 8 /Root 1 0 R /Prev" in new
    qpdf_check(new, tmp_path)


def test_no_object_number_left():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    b.add(4294967295, "(the last number)")
    doc = quillet.Document(b.build())
    with pytest.raises(ValueError, match="^unsupported PDF feature at byte 0: no object number left for a new object$"):
        doc.with_metadata()


def test_trailer_without_root():
    b = PdfBuilder()
    b.add(1, "(one)")
    body, where = b.body()
    doc = quillet.Document(body + xref_table(where) + b"trailer\n<< /Size 2 >>\nstartxref\n%d\n%%%%EOF\n" % len(body))
    for call in (lambda: doc.with_metadata(), lambda: doc.with_uri_link(0, [1, 2, 3, 4], "u:x"),
                 lambda: doc.with_text_annotation(0, [1, 2, 3, 4], "n")):
        with pytest.raises(ValueError, match="^missing required entry /Root in trailer$"):
            call()


def test_direct_info_is_not_carried_into_the_trailer():
    old = simple_pdf(["BT ET"], trailer="/Info << /Title (direct) >>")
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    assert b"trailer\n<< /Size 6 /Root 1 0 R /Prev %d >>" % startxref(old) in section(new, old)


def test_no_line_feed_inserted_after_one():
    old = base_pdf()
    new = quillet.Document(old).with_metadata()
    assert new[len(old):].startswith(b"10 0 obj\n")


# ---- annotations ----

def test_uri_link_section_exactly(tmp_path):
    old = base_pdf()
    new = quillet.Document(old).with_uri_link(0, [10, 20.5, 110, 40], "https://example.com/a(b)")
    page = (b"<< /Annots [10 0 R] /Contents 4 0 R /MediaBox [0 0 612 792] /Parent 2 0 R /Type /Page >>")
    annot = (b"<< /A << /S /URI /URI (https://example.com/a\\(b\\)) >> /Rect [10 20.5 110 40] /Subtype /Link "
             b"/Type /Annot >>")
    assert section(new, old) == expected_section(old, [(3, page), (10, annot)], size=11, info=9)
    qpdf_check(new, tmp_path)
    doc = quillet.Document(new)
    assert doc.page_count() == 2
    links = doc.page_links(0)
    assert [(link["annotation_id"], link["rect"], link["kind"], link["target"]) for link in links] == [
        ("10 0 R", [10.0, 20.5, 110.0, 40.0], "uri", "https://example.com/a(b)")]


def test_text_annotation_section_exactly(tmp_path):
    old = base_pdf()
    new = quillet.Document(old).with_text_annotation(1, [0, 0, -5, 1e21], "Note (1)\nline two")
    page = (b"<< /Annots [10 0 R] /Contents 6 0 R /MediaBox [0 0 612 792] /Parent 2 0 R /Type /Page >>")
    annot = (b"<< /Contents (Note \\(1\\)\\nline two) /Rect [0 0 -5 1000000000000000000000.0] /Subtype /Text "
             b"/Type /Annot >>")
    assert section(new, old) == expected_section(old, [(5, page), (10, annot)], size=11, info=9)
    qpdf_check(new, tmp_path)
    annotations = quillet.Document(new).page_annotations(1)
    assert annotations == [{"id": "10 0 R", "subtype": "Text", "rect": [0.0, 0.0, -5.0, 1e21],
                            "contents": "Note (1)\nline two"}]


@pytest.mark.parametrize("contents", ["Gr\u00fc\u00dfe", "\U0001F600", "ascii"])
def test_text_annotation_contents_round_trip(contents, tmp_path):
    new = quillet.Document(base_pdf()).with_text_annotation(0, [1, 2, 3, 4], contents)
    qpdf_check(new, tmp_path)
    annotations = quillet.Document(new).page_annotations(0)
    assert annotations[-1]["contents"] == contents


@pytest.mark.parametrize("uri", ["https://example.com/\u00fc\u00f1\u00ee", "mailto:a@b.c", "x:\x01\\"])
def test_uri_bytes_round_trip(uri, tmp_path):
    new = quillet.Document(base_pdf()).with_uri_link(0, [1, 2, 3, 4], uri)
    qpdf_check(new, tmp_path)
    links = quillet.Document(new).page_links(0)
    assert (links[-1]["kind"], links[-1]["target"]) == ("uri", uri)


def test_uri_is_written_as_its_utf8_bytes():
    new = quillet.Document(base_pdf()).with_uri_link(0, [1, 2, 3, 4], "a\u00fc")
    assert b"/URI <61C3BC>" in new


def test_existing_direct_annots_keep_their_order():
    old = base_pdf(page_extra="/Annots [100 0 R]", extra_objects=[(100, "<< /Type /Annot /Subtype /Square >>")])
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    assert b"<< /Annots [100 0 R 101 0 R] /Contents 4 0 R" in section(new, old)
    annotations = quillet.Document(new).page_annotations(0)
    assert [a["id"] for a in annotations] == ["100 0 R", "101 0 R"]


def test_indirect_annots_array_becomes_direct():
    old = base_pdf(page_extra="/Annots 100 0 R",
                   extra_objects=[(100, "[101 0 R]"), (101, "<< /Type /Annot /Subtype /Square >>")])
    new = quillet.Document(old).with_text_annotation(0, [1, 2, 3, 4], "n")
    written = section(new, old)
    assert b"3 0 obj\n<< /Annots [101 0 R 102 0 R] /Contents" in written
    assert b"100 0 obj" not in written
    assert b"\n100 1\n" not in written


@pytest.mark.parametrize("annots, extra, message", [
    ("/Annots 5", [], "type mismatch in page /Annots: expected array"),
    ("/Annots << >>", [], "type mismatch in page /Annots: expected array"),
    ("/Annots 100 0 R", [(100, "<< >>")], "type mismatch in page /Annots: expected array"),
    ("/Annots 100 0 R", [], "dangling reference to object 100 0"),
])
def test_bad_annots(annots, extra, message):
    doc = quillet.Document(base_pdf(page_extra=annots, extra_objects=extra))
    for call in (lambda: doc.with_uri_link(0, [1, 2, 3, 4], "u:x"),
                 lambda: doc.with_text_annotation(0, [1, 2, 3, 4], "n")):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            call()


def test_page_index_beyond_the_pages():
    doc = quillet.Document(base_pdf())
    with pytest.raises(ValueError, match="^type mismatch in page index: expected existing page$"):
        doc.with_uri_link(2, [1, 2, 3, 4], "u:x")
    with pytest.raises(ValueError, match="^type mismatch in page index: expected existing page$"):
        doc.with_text_annotation(10**12, [1, 2, 3, 4], "n")


@pytest.mark.parametrize("rect", [
    [1, 2, math.inf, 4], [-math.inf, 0, 0, 0], [0, math.nan, 0, 0],
])
def test_non_finite_rect(rect):
    doc = quillet.Document(base_pdf())
    with pytest.raises(ValueError, match="^type mismatch in annotation rect: expected finite numbers$"):
        doc.with_uri_link(0, rect, "u:x")
    with pytest.raises(ValueError, match="^type mismatch in annotation rect: expected finite numbers$"):
        doc.with_text_annotation(0, rect, "n")


@pytest.mark.parametrize("rect", [[], [1, 2, 3], [1, 2, 3, 4, 5], (1.0,) * 8])
def test_rect_length_is_checked_before_reading_the_file(rect, tmp_path):
    path = tmp_path / "gone.pdf"
    path.write_bytes(base_pdf())
    doc = quillet.Document.open_mmap(str(path))
    os.remove(path)
    with pytest.raises(ValueError, match="^rect must contain exactly four numbers$"):
        doc.with_uri_link(0, rect, "u:x")
    with pytest.raises(ValueError, match="^rect must contain exactly four numbers$"):
        doc.with_text_annotation(0, rect, "n")


@pytest.mark.parametrize("kwargs, exception, pattern", [
    ({"page_index": -1, "rect": [1, 2, 3, 4]}, OverflowError, None),
    ({"page_index": 0.0, "rect": [1, 2, 3, 4]}, TypeError, "^argument 'page_index': "),
    ({"page_index": 0, "rect": "1234"}, TypeError, "^argument 'rect': "),
    ({"page_index": 0, "rect": 5}, TypeError, "^argument 'rect': "),
    ({"page_index": 0, "rect": [1, 2, "3", 4]}, TypeError, "^argument 'rect': "),
])
def test_annotation_argument_types(kwargs, exception, pattern):
    doc = quillet.Document(base_pdf())
    with pytest.raises(exception, match=pattern):
        doc.with_uri_link(uri="u:x", **kwargs)
    with pytest.raises(TypeError, match="^argument 'uri': "):
        doc.with_uri_link(0, [1, 2, 3, 4], b"u:x")
    with pytest.raises(TypeError, match="^argument 'contents': "):
        doc.with_text_annotation(0, [1, 2, 3, 4], None)


def test_metadata_argument_types():
    doc = quillet.Document(base_pdf())
    with pytest.raises(TypeError, match="^argument 'producer': "):
        doc.with_metadata(producer=b"x")


# ---- chaining and sources ----

@pytest.mark.parametrize("from_header", [True, False])
def test_update_counts_offsets_as_the_file_does(from_header, tmp_path):
    # Bytes before the header: the new section's offsets count from the
    # header when the file's own do, else from the start of the file.
    leading = b"%!PS-Adobe-3.0\n"
    objects = [(1, b"<< /Type /Catalog /Pages 2 0 R >>"), (2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
               (3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>")]
    old = leading + classic_file(objects) if from_header else classic_file(objects, header=leading + b"%PDF-1.7\n")
    new = quillet.Document(quillet.Document(old).with_metadata(title="t")).with_text_annotation(0, [1, 2, 3, 4], "n")
    shift = len(leading) if from_header else 0
    assert startxref(new) + shift == new.rindex(b"\nxref\n") + 1
    assert b"%010d 00000 n" % (new.rindex(b"5 0 obj") - shift) in section(new, old)
    doc = quillet.Document(new)
    assert (doc.metadata()["title"], doc.page_annotations(0)[0]["contents"]) == ("t", "n")
    if from_header:
        qpdf_check(new, tmp_path)  # which always counts from the header


def test_two_updates_chain_through_prev(tmp_path):
    old = base_pdf()
    first = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:one")
    second = quillet.Document(first).with_text_annotation(0, [5, 6, 7, 8], "two")
    assert second.startswith(first)
    tail = section(second, first)
    assert b"/Prev %d >>" % startxref(first) in tail
    assert first[startxref(first):].startswith(b"xref\n")
    # The page collects both annotations; the second is numbered after the first.
    assert b"3 0 obj\n<< /Annots [10 0 R 11 0 R]" in tail
    assert b"trailer\n<< /Size 12 /Root 1 0 R /Info 9 0 R /Prev" in tail
    qpdf_check(second, tmp_path)
    third = quillet.Document(second).with_metadata(title="t")
    assert b"12 0 obj\n<< /Title (t)" in third
    assert b"/Size 13 /Root 1 0 R /Info 12 0 R /Prev %d >>" % startxref(second) in third
    doc = quillet.Document(third)
    assert doc.object_count() == 10  # 1-6 and 9, two annotations and the new Info
    annotations = doc.page_annotations(0)
    assert [a["id"] for a in annotations] == ["10 0 R", "11 0 R"]


def test_document_is_unchanged():
    old = base_pdf()
    doc = quillet.Document(old)
    doc.with_metadata(title="x")
    doc.with_uri_link(0, [1, 2, 3, 4], "u:x")
    assert doc.source_bytes() == old
    assert doc.object_count() == 7


def test_open_mmap_rereads_the_file_and_fails_once_it_is_gone(tmp_path):
    path = tmp_path / "doc.pdf"
    old = base_pdf()
    path.write_bytes(old)
    doc = quillet.Document.open_mmap(str(path))
    assert doc.with_metadata().startswith(old)
    os.remove(path)
    message = f"^failed to read {re.escape(str(path))}: No such file or directory \\(os error 2\\)$"
    for call in (lambda: doc.with_metadata(), lambda: doc.with_uri_link(0, [1, 2, 3, 4], "u:x"),
                 lambda: doc.with_text_annotation(0, [1, 2, 3, 4], "n")):
        with pytest.raises(ValueError, match=message):
            call()


def test_update_of_xref_stream_file_uses_a_classic_table(tmp_path):
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>")
    old = b.build(xref_stream=True)
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    tail = section(new, old)
    assert b"\nxref\n3 1\n" in tail
    assert b"/Prev %d >>" % startxref(old) in tail
    quillet.Document(new)
    qpdf_check(new, tmp_path)


def test_encrypted_document_is_refused():
    old = base_pdf(trailer="/Info 9 0 R /Encrypt 100 0 R",
                   extra_objects=[(100, "<< /Filter /Standard /V 1 /R 2 /O <00> /U <00> /P -4 >>")])
    doc = quillet.Document(old)
    message = "^unsupported PDF feature at byte 0: incremental update of an encrypted document$"
    for call in (lambda: doc.with_metadata(title="x"), lambda: doc.with_uri_link(0, [1, 2, 3, 4], "u:x"),
                 lambda: doc.with_text_annotation(0, [1, 2, 3, 4], "n")):
        with pytest.raises(ValueError, match=message):
            call()


# ---- copied objects survive serialisation ----

def test_names_are_escaped_in_a_copied_page(tmp_path):
    old = base_pdf(page_extra="/A#20B /x#23y /C#2Fd#28 /Caf#C3#A9 /Key#09 /Plain_name-1.2")
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    # Keys are written in byte order.
    assert (b"<< /A#20B /x#23y /Annots [10 0 R] /C#2Fd#28 /Caf#C3#A9 /Contents 4 0 R /Key#09 /Plain_name-1.2 "
            b"/MediaBox" in section(new, old))
    qpdf_check(new, tmp_path)
    expected = base_pdf(page_extra="/A#20B /x#23y /C#2Fd#28 /Caf#C3#A9 /Key#09 /Plain_name-1.2 /Annots [10 0 R]")
    assert quillet.Document(new).object_text(3) == quillet.Document(expected).object_text(3)


@pytest.mark.parametrize("literal, written", [
    ("(a(b)c)", b"(a\\(b\\)c)"),
    ("(cr\\r and lf\\n)", b"(cr\\r and lf\\n)"),
    ("<FEFF0041>", b"<FEFF0041>"),
    ("<00FF10E2>", b"<00FF10E2>"),
    ("(caf\\351)", b"<636166E9>"),
    ("(tab\tnul\\000)", b"(tab\tnul\x00)"),
])
def test_strings_are_copied_byte_for_byte(literal, written, tmp_path):
    old = base_pdf(page_extra="/Custom " + literal)
    new = quillet.Document(old).with_text_annotation(0, [1, 2, 3, 4], "n")
    assert b"/Custom " + written + b" " in section(new, old)
    qpdf_check(new, tmp_path)
    expected = base_pdf(page_extra="/Custom " + literal + " /Annots [10 0 R]")
    assert quillet.Document(new).object(3)["text"] == quillet.Document(expected).object(3)["text"]


def test_huge_integral_real_stays_a_real(tmp_path):
    old = base_pdf(
        page_extra="/Big [123.25 1000000000000000000000.0 -9223372036854775808.0 9223372036854775807 3.0 0.5]")
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    # -2^63 in its shortest form that reads back as the same double.
    assert (b"/Big [123.25 1000000000000000000000.0 -9223372036854776000.0 9223372036854775807 3 0.5]"
            in section(new, old))
    quillet.Document(new)
    qpdf_check(new, tmp_path)


@pytest.mark.parametrize("stored, written", [
    ("-42", b"-42"),
    ("0.1", b"0.1"),
    ("-0.0", b"-0"),
    ("3.0", b"3"),
    ("0.0000001", b"0.0000001"),  # never in exponent form
    ("123456789.125", b"123456789.125"),
    ("-.5", b"-0.5"),
])
def test_number_forms_in_a_copied_page(stored, written):
    new = quillet.Document(base_pdf(page_extra="/N " + stored)).with_text_annotation(0, [1, 2, 3, 4], "n")
    assert b"/MediaBox [0 0 612 792] /N " + written + b" /Parent" in new


def test_objects_keep_their_generation(tmp_path):
    # Page 7 generation 3 and Info 8 generation 1: the page is rewritten
    # under its own id, its entry carries the generation.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [7 3 R] /Count 1 >>")
    b.add(7, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>", generation=3)
    b.add(8, "<< /Title (x) >>", generation=1)
    old = b.build(trailer="/Info 8 1 R")
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    tail = section(new, old)
    assert tail.startswith(b"7 3 obj\n<< /Annots [9 0 R] /MediaBox")
    assert b"xref\n7 1\n%010d 00003 n \n9 1\n" % len(old) in tail
    assert b"<< /Size 10 /Root 1 0 R /Info 8 1 R /Prev %d >>" % startxref(old) in tail
    assert [link["annotation_id"] for link in quillet.Document(new).page_links(0)] == ["9 0 R"]
    qpdf_check(new, tmp_path)


@pytest.mark.parametrize("call, written", [
    (lambda doc: doc.with_metadata(title="a\r\nb\rc"), b"/Title (a\\nbc)"),
    (lambda doc: doc.with_text_annotation(0, [1, 2, 3, 4], "a\r\nb"), b"/Contents (a\\nb)"),
])
def test_carriage_returns_are_dropped_from_ascii_text(call, written):
    assert written in call(quillet.Document(base_pdf()))


def test_deepest_loadable_page_is_written_back():
    old = base_pdf(page_extra="/Deep " + "[" * 255 + "]" * 255)
    new = quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")
    assert quillet.Document(new).object_text(3) == quillet.Document(old).object_text(3).replace(
        "/Contents", "/Annots [10 0 R] /Contents", 1)


def test_non_finite_real_in_a_page_is_refused():
    # Hundreds of digits overflow a double: the loader reads infinity.
    old = base_pdf(page_extra="/Huge " + "9" * 400 + ".0")
    with pytest.raises(ValueError, match="^type mismatch in incremental trailer object: expected finite number$"):
        quillet.Document(old).with_uri_link(0, [1, 2, 3, 4], "u:x")


# ---- real files ----

def corpus_files() -> list[str]:
    return sorted(row["name"] for row in manifest()
                  if row["qpdf_check_ok"] == "y" and row["encrypted"] != "y" and row["pages"] not in ("", "0"))


@pytest.mark.skipif(not corpus_files(), reason="corpus not available")
def test_corpus_updates_load_back_and_check(tmp_path):
    checked = 0
    for name in corpus_files():
        data = (CORPUS / "files" / (name + ".pdf")).read_bytes()
        try:
            doc = quillet.Document(data)
            doc.pages()
        except ValueError:
            continue
        try:
            new = doc.with_uri_link(0, [72, 72, 144, 90], "https://example.com/")
        except ValueError as error:
            # A page whose /Annots names a missing object cannot be extended.
            assert str(error).startswith("dangling reference to object"), name
            continue
        new = quillet.Document(new).with_metadata(title="Checked")
        reloaded = quillet.Document(new)
        assert reloaded.page_count() == doc.page_count(), name
        if checked < 25:
            qpdf_check(new, tmp_path)
        checked += 1
    assert checked > 0
