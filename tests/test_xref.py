"""The file structure: header, startxref, classic tables, cross-reference
streams, the /Prev chain and how sections merge."""

import zlib

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf, update
from rawpdf import CATALOG, PAGES, classic_file, trailer_tail, xref_rows, xref_stream_object

MINIMAL = [(1, CATALOG), (2, PAGES), (3, b"(three)")]


def load_error(pdf: bytes) -> str:
    with pytest.raises(ValueError) as info:
        quillet.Document(pdf)
    return str(info.value)


def ids(entries) -> list[str]:
    return [entry["id"] for entry in entries]


def body(objects=MINIMAL, header: bytes = b"%PDF-1.7\n") -> tuple[bytearray, dict[int, int]]:
    out = bytearray(header)
    offsets = {}
    for number, text in objects:
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + text + b"\nendobj\n"
    return out, offsets


# ---- header ----

@pytest.mark.parametrize("header", [
    b"%pdf-1.7\n", b"%PDF-X.7\n", b"%PDF-1,7\n", b"%PDF-17\n",
    b"%PDF-.7\n", b"%PDF-1.x\n", b"%FDF-1.2\n",
])
def test_invalid_header(header):
    assert load_error(classic_file(MINIMAL, header=header)) == "invalid PDF header"


@pytest.mark.parametrize("data", [b"", b"%PDF-1.", b"%PDF-1", b"not a pdf"])
def test_short_or_foreign_bytes(data):
    assert load_error(data) == "invalid PDF header"


LEADING = [b" ", b"\xef\xbb\xbf", b"%!PS-Adobe-3.0\n" + b"% comment\n" * 100]


@pytest.mark.parametrize("leading", LEADING)
@pytest.mark.parametrize("counted", [True, False], ids=["absolute", "from-header"])
def test_bytes_before_the_header(leading, counted):
    # Offsets count from the start of the file, or from the header.
    if counted:
        pdf = classic_file(MINIMAL, header=leading + b"%PDF-1.6\n")
    else:
        pdf = leading + classic_file(MINIMAL, header=b"%PDF-1.6\n")
    doc = quillet.Document(pdf)
    assert doc.version() == (1, 6)
    assert doc.object_text(3) == "(three)"
    # The entries read as the file writes them.
    offset = pdf.index(b"1 0 obj") - (0 if counted else len(leading))
    assert doc.xref()[1]["xref"] == "in-use offset=%d generation=0" % offset


def test_header_must_start_within_the_first_1024_bytes():
    assert quillet.Document(classic_file(MINIMAL, header=b" " * 1023 + b"%PDF-1.7\n")).version() == (1, 7)
    assert load_error(classic_file(MINIMAL, header=b" " * 1024 + b"%PDF-1.7\n")) == "invalid PDF header"


def test_eight_byte_header_alone_has_no_startxref():
    assert load_error(b"%PDF-1.7") == "invalid startxref section"


@pytest.mark.parametrize("header, version", [
    (b"%PDF-1.7\n", (1, 7)), (b"%PDF-2.0\n", (2, 0)), (b"%PDF-1.10\n", (1, 1)), (b"%PDF-1.4%\xe2\xe3\n", (1, 4)),
])
def test_header_version(header, version):
    assert quillet.Document(classic_file(MINIMAL, header=header)).version() == version


# ---- startxref ----

def test_missing_startxref():
    pdf = classic_file(MINIMAL)
    assert load_error(pdf.replace(b"startxref", b"startxrex")) == "invalid startxref section"


@pytest.mark.parametrize("tail", [b"startxref\nabc\n", b"startxref\n-5\n", b"startxref", b"startxref\n1.5\n"])
def test_startxref_without_offset(tail):
    pdf = classic_file(MINIMAL)
    pdf = pdf[:pdf.rindex(b"startxref")] + tail
    assert load_error(pdf) == "invalid startxref section"


def test_startxref_glued_to_other_bytes():
    pdf = classic_file(MINIMAL)
    at = pdf.rindex(b"startxref")
    pdf = pdf[:at] + b"startxrefs 5\n"
    assert load_error(pdf) == f"invalid token at byte {at}: expected keyword startxref"


def test_last_startxref_wins():
    pdf = classic_file(MINIMAL)
    good = pdf.rindex(b"startxref")
    assert quillet.Document(pdf[:good] + b"startxref\n99999\n%%EOF\n" + pdf[good:]).object_count() == 3
    assert load_error(pdf + b"startxref\n99999\n%%EOF\n") == "unexpected end of PDF data"


def test_startxref_far_from_end_is_found():
    assert quillet.Document(classic_file(MINIMAL) + b"%" + b" " * 100_000 + b"\n").object_count() == 3


def test_startxref_at_white_space_before_xref_is_not_a_table():
    pdf = classic_file(MINIMAL)
    xref_at = int(pdf[pdf.rindex(b"startxref") + 9:].split()[0])
    pdf = pdf[:xref_at] + b"\n" + pdf[xref_at:pdf.rindex(b"startxref")] + trailer_tail(xref_at)
    # Read as an object header, "xref" is no object number.
    assert load_error(pdf) == f"invalid token at byte {xref_at + 1}: expected integer"


# ---- classic tables ----

def test_table_layout_is_read_token_by_token():
    standard = classic_file(MINIMAL)
    out, at = body()
    table_at = len(out)
    out += b"xref 0 4 0 65535 f %d 0 n\n%d\n0\nn\r%d 00000 n\ntrailer << /Size 4 /Root 1 0 R >>\n" % (
        at[1], at[2], at[3])
    loose = quillet.Document(bytes(out + trailer_tail(table_at)))
    strict = quillet.Document(standard)
    assert loose.objects() == strict.objects()
    assert loose.xref()[0]["xref"] == "free next=0 generation=65535"


def table_file(table: bytes, objects=MINIMAL) -> bytes:
    """`table` may use {1}, {2}, ... for the 10-digit offsets of the objects."""
    out, at = body(objects)
    table_at = len(out)
    for number, offset in at.items():
        table = table.replace(b"{%d}" % number, b"%010d" % offset)
    return bytes(out + table + trailer_tail(table_at))


TRAILER = b"trailer\n<< /Size 4 /Root 1 0 R >>\n"


def test_later_row_in_a_section_replaces_earlier():
    pdf = table_file(b"xref\n0 4\n0000000000 65535 f \n{1} 00000 n \n{2} 00000 n \n0000000001 00000 n \n"
                     b"3 1\n{3} 00000 n \n" + TRAILER)
    assert quillet.Document(pdf).object_text(3) == "(three)"


@pytest.mark.parametrize("row", [b"{3} 00000 x \n", b"{3} 00000 1 \n", b"{3} 00000 N \n", b"4294967296 00000 f \n"])
def test_bad_entry_kind_or_free_link(row):
    pdf = table_file(b"xref\n0 4\n0000000000 65535 f \n{1} 00000 n \n{2} 00000 n \n" + row + TRAILER)
    assert load_error(pdf) == "invalid cross-reference table"


def test_bad_entry_generation():
    pdf = table_file(b"xref\n0 4\n0000000000 65535 f \n{1} 00000 n \n{2} 00000 n \n{3} 65536 n \n" + TRAILER)
    assert load_error(pdf).endswith(": expected u16 integer")


@pytest.mark.parametrize("generation", [b"65536", b"99999999999"])
def test_free_entry_generation_above_65535_reads_as_65535(generation):
    # Written so by several producers for the head of the free list.
    pdf = table_file(b"xref\n0 4\n0000000000 " + generation + b" f \n{1} 00000 n \n{2} 00000 n \n{3} 00000 n \n" + TRAILER)
    assert quillet.Document(pdf).xref()[0] == {"id": "0 65535 R", "number": 0, "generation": 65535,
                                               "xref": "free next=0 generation=65535"}


def test_subsection_running_past_largest_object_number():
    pdf = table_file(b"xref\n0 3\n0000000000 65535 f \n{1} 00000 n \n{2} 00000 n \n"
                     b"4294967295 2\n0000000000 00000 f \n0000000000 00000 f \n" + TRAILER, objects=MINIMAL[:2])
    assert load_error(pdf) == "invalid cross-reference table"


def test_subsection_ending_at_largest_object_number():
    pdf = table_file(b"xref\n0 3\n0000000000 65535 f \n{1} 00000 n \n{2} 00000 n \n"
                     b"4294967295 1\n0000000000 00000 f \n" + TRAILER, objects=MINIMAL[:2])
    assert ids(quillet.Document(pdf).xref())[-1] == "4294967295 0 R"


def test_huge_subsection_count_stops_at_end_of_data():
    pdf = table_file(b"xref\n0 4000000000\n0000000000 65535 f \n" + TRAILER)
    assert load_error(pdf).endswith("expected integer")


def test_trailer_must_be_a_dictionary():
    pdf = table_file(b"xref\n0 1\n0000000000 65535 f \ntrailer\n[1 2]\n")
    at = pdf.index(b"[1 2]") + 5
    assert load_error(pdf) == f"invalid token at byte {at}: expected dictionary object"


# ---- merging sections along /Prev ----

BASE = [(1, CATALOG), (2, PAGES), (3, b"(three)"), (4, b"(four)")]


def test_newest_entry_wins():
    pdf = update(classic_file(BASE), [(3, b"(three, revised)")])
    doc = quillet.Document(pdf)
    assert doc.object_text(3) == "(three, revised)"
    assert doc.object_count() == 4


def test_free_entry_of_another_generation_leaves_older_object():
    base = classic_file(BASE)
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    table_at = len(out)
    out += b"xref\n4 1\n0000000000 00001 f \ntrailer\n<< /Size 5 /Root 1 0 R /Prev %d >>\n" % prev
    out += trailer_tail(table_at)
    doc = quillet.Document(bytes(out))
    # The free entry's key is (4, 1): the older in-use (4, 0) is another key.
    assert doc.object_count() == 4
    entries = {e["id"]: e["xref"] for e in doc.xref()}
    assert entries["4 1 R"] == "free next=0 generation=1"
    assert "4 0 R" in entries


def test_newer_free_entry_with_same_key_wins():
    base = classic_file(BASE)
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    table_at = len(out)
    out += b"xref\n4 1\n0000000000 00000 f \ntrailer\n<< /Size 5 /Root 1 0 R /Prev %d >>\n" % prev
    out += trailer_tail(table_at)
    doc = quillet.Document(bytes(out))
    assert doc.object_count() == 3
    assert {e["id"]: e["xref"] for e in doc.xref()}["4 0 R"] == "free next=0 generation=0"
    with pytest.raises(ValueError, match="^dangling reference to object 4 0$"):
        doc.object(4)


def test_new_generation_keeps_both_keys():
    base = classic_file(BASE)
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    at = len(out)
    out += b"4 1 obj\n(four, generation 1)\nendobj\n"
    table_at = len(out)
    out += b"xref\n4 1\n%010d 00001 n \ntrailer\n<< /Size 5 /Root 1 0 R /Prev %d >>\n" % (at, prev)
    out += trailer_tail(table_at)
    doc = quillet.Document(bytes(out))
    assert [o["id"] for o in doc.objects()] == ["1 0 R", "2 0 R", "3 0 R", "4 0 R", "4 1 R"]
    assert doc.object_text(4, 1) == "(four, generation 1)"
    assert doc.object_text(4) == "(four)"


def test_trailer_comes_from_newest_section():
    pdf = update(classic_file(BASE), [(5, b"<< /Type /Catalog /Pages 2 0 R /Version /1.4 >>")], root=5)
    assert quillet.Document(pdf).effective_version() == (1, 4)


@pytest.mark.parametrize("prev", [b"-1", b"(12)", b"1.0", b"null", b"1 0 R"])
def test_unusable_prev_ends_the_chain(prev):
    base = classic_file(BASE)
    out = bytearray(base)
    at = len(out)
    out += b"5 0 obj\n(five)\nendobj\n"
    table_at = len(out)
    out += b"xref\n0 1\n0000000000 65535 f \n5 1\n%010d 00000 n \ntrailer\n<< /Size 6 /Root 1 0 R /Prev %s >>\n" % (
        at, prev)
    out += trailer_tail(table_at)
    doc = quillet.Document(bytes(out))
    assert ids(doc.objects()) == ["5 0 R"]


def test_prev_pointing_at_its_own_section_ends_the_chain():
    out, at = body(BASE)
    table_at = len(out)
    out += b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % at[n] for n in range(1, 5))
    out += b"trailer\n<< /Size 5 /Root 1 0 R /Prev %d >>\n" % table_at + trailer_tail(table_at)
    assert quillet.Document(bytes(out)).object_count() == 4


def test_prev_cycle_between_two_sections_ends_the_chain():
    # Section A (newest) lists 1 and 2 and points at B; B lists 3 and 4 and
    # points back at A.
    out, at = body(BASE)
    a_at = len(out)
    b_at = a_at + len(b"xref\n1 2\n") + 40 + len(b"trailer\n<< /Size 5 /Root 1 0 R /Prev %010d >>\n" % 0)
    out += b"xref\n1 2\n%010d 00000 n \n%010d 00000 n \n" % (at[1], at[2])
    out += b"trailer\n<< /Size 5 /Root 1 0 R /Prev %010d >>\n" % b_at
    assert len(out) == b_at
    out += b"xref\n3 2\n%010d 00000 n \n%010d 00000 n \n" % (at[3], at[4])
    out += b"trailer\n<< /Size 5 /Prev %d >>\n" % a_at + trailer_tail(a_at)
    doc = quillet.Document(bytes(out))
    assert ids(doc.objects()) == ["1 0 R", "2 0 R", "3 0 R", "4 0 R"]


def test_long_prev_chain():
    pdf = classic_file(BASE)
    for i in range(200):
        pdf = update(pdf, [(3, b"(revision %d)" % i)])
    assert quillet.Document(pdf).object_text(3) == "(revision 199)"


# ---- cross-reference streams ----

def stream_pdf(dict_text: bytes, rows=None, widths=(1, 4, 2), data: bytes | None = None, objects=MINIMAL) -> bytes:
    """Objects 1-3, then object 4: a cross-reference stream with `dict_text`
    (plus /Root) and rows given as (type, field 2, field 3) or raw `data`;
    rows=None lists objects 0-4 as they are."""
    out, at = body(objects)
    xref_at = len(out)
    if data is None:
        if rows is None:
            rows = [(0, 0, 0)] + [(1, at[n], 0) for n, _ in objects] + [(1, xref_at, 0)]
        data = xref_rows(rows, widths)
    out += xref_stream_object(4, data, b"/Root 1 0 R " + dict_text)
    return bytes(out + trailer_tail(xref_at))


def test_xref_stream_without_index_covers_zero_to_size():
    doc = quillet.Document(stream_pdf(b"/Size 5 /W [1 2 1]", widths=(1, 2, 1)))
    assert ids(doc.xref()) == ["0 0 R", "1 0 R", "2 0 R", "3 0 R", "4 0 R"]
    assert doc.object_text(3) == "(three)"
    assert doc.xref()[0]["xref"] == "free next=0 generation=0"


def test_xref_stream_without_type_column_is_all_in_use():
    out, at = body()
    xref_at = len(out)
    rows = [(at[1], 0), (at[2], 0), (at[3], 0), (xref_at, 0)]
    data = b"".join(o.to_bytes(2, "big") + g.to_bytes(1, "big") for o, g in rows)
    out += xref_stream_object(4, data, b"/Root 1 0 R /Size 5 /Index [1 4] /W [0 2 1]")
    doc = quillet.Document(bytes(out + trailer_tail(xref_at)))
    assert [e["xref"].split()[0] for e in doc.xref()] == ["in-use"] * 4


def test_xref_stream_with_zero_width_generation():
    doc = quillet.Document(stream_pdf(b"/Size 5 /W [1 4 0]", widths=(1, 4, 0)))
    assert doc.object_count() == 4


def test_xref_stream_index_subsections_and_later_rows_replace_earlier():
    out, at = body()
    xref_at = len(out)
    rows = [(1, at[1], 0), (1, at[2], 0), (1, 1, 0), (1, at[3], 0), (1, xref_at, 0)]
    out += xref_stream_object(4, xref_rows(rows) + b"trailing bytes are ignored",
                              b"/Root 1 0 R /Size 5 /Index [1 3 3 2] /W [1 4 2]")
    doc = quillet.Document(bytes(out + trailer_tail(xref_at)))
    assert ids(doc.xref()) == ["1 0 R", "2 0 R", "3 0 R", "4 0 R"]
    assert doc.object_text(3) == "(three)"


def test_compressed_xref_stream():
    out, at = body()
    xref_at = len(out)
    rows = [(0, 0, 65535)] + [(1, at[n], 0) for n in (1, 2, 3)] + [(1, xref_at, 0)]
    data = zlib.compress(xref_rows(rows))
    out += xref_stream_object(4, data, b"/Root 1 0 R /Size 5 /W [1 4 2] /Filter /FlateDecode")
    assert quillet.Document(bytes(out + trailer_tail(xref_at))).object_count() == 4


def test_xref_stream_trailer_is_the_stream_dictionary():
    doc = quillet.Document(PdfBuilder().add(1, CATALOG).add(2, PAGES).build(xref_stream=True))
    assert doc.effective_version() == (1, 7)
    assert doc.object_count() == 3


@pytest.mark.parametrize("dict_text, widths, message", [
    (b"/Size 5", (1, 4, 2), "missing required entry /W in xref stream /W"),
    (b"/Size 5 /W /Foo", (1, 4, 2), "type mismatch in xref stream /W: expected array"),
    (b"/Size 5 /W [1 -1 2]", (1, 4, 2), "type mismatch in xref stream /W: expected non-negative integer"),
    (b"/Size 5 /W [1 4.0 2]", (1, 4, 2), "type mismatch in xref stream /W: expected non-negative integer"),
    (b"/Size 5 /W [1 4 2 7 /x]", (1, 4, 2), "type mismatch in xref stream /W: expected non-negative integer"),
    (b"/Size 5 /W [1 2]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2 0]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 9 1]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [0 0 0]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [9223372036854775807 9223372036854775807 2]", (1, 4, 2), "invalid cross-reference table"),
    (b"/W [1 4 2]", (1, 4, 2), "missing required entry /Size in xref stream /Size"),
    (b"/Size -1 /W [1 4 2]", (1, 4, 2), "type mismatch in xref stream /Size: expected non-negative integer"),
    (b"/Size 4294967296 /W [1 4 2]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2] /Index 5", (1, 4, 2), "type mismatch in xref stream /Index: expected array"),
    (b"/Size 5 /W [1 4 2] /Index [0]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2] /Index [0 -5]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2] /Index [0 5.0]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2] /Index [4294967296 1]", (1, 4, 2), "invalid cross-reference table"),
    (b"/Size 5 /W [1 4 2] /Index [0 6]", (1, 4, 2), "invalid cross-reference table"),  # data too short
    (b"/Size 5 /W [1 4 2] /Index [0 4294967295 0 4294967295]", (1, 4, 2), "invalid cross-reference table"),
])
def test_bad_xref_stream_dictionary(dict_text, widths, message):
    assert load_error(stream_pdf(dict_text, widths=widths)) == message


def test_xref_stream_rows_running_past_largest_object_number():
    rows = [(0, 0, 0), (0, 0, 0)]
    assert load_error(stream_pdf(b"/Size 5 /W [1 4 2] /Index [4294967295 2]", rows=rows)) == (
        "invalid cross-reference table")


@pytest.mark.parametrize("row, widths", [
    ((3, 0, 0), (1, 4, 2)),                    # unknown type
    ((0, 0, 65536), (1, 4, 4)),                # free generation too large
    ((0, 4294967296, 0), (1, 8, 2)),           # free link too large
    ((1, 9, 65536), (1, 4, 4)),                # in-use generation too large
    ((2, 4294967296, 0), (1, 8, 2)),           # object-stream number too large
    ((2, 5, 4294967296), (1, 4, 8)),           # index too large
])
def test_bad_xref_stream_row(row, widths):
    pdf = stream_pdf(b"/Size 1 /W [%d %d %d]" % widths, rows=[row], widths=widths)
    assert load_error(pdf) == "invalid cross-reference table"


@pytest.mark.parametrize("object_text", [
    b"<< /Type /XRef /Size 1 /W [1 1 1] >>",                 # not a stream
    b"<< /Size 1 /W [1 1 1] /Length 3 >>\nstream\n\x01\x00\x00\nendstream",
    b"<< /Type /XRefx /Size 1 /W [1 1 1] /Length 3 >>\nstream\n\x01\x00\x00\nendstream",
    b"<< /Type (XRef) /Size 1 /W [1 1 1] /Length 3 >>\nstream\n\x01\x00\x00\nendstream",
])
def test_section_object_must_be_an_xref_stream(object_text):
    out, _ = body()
    xref_at = len(out)
    out += b"4 0 obj\n" + object_text + b"\nendobj\n"
    assert load_error(bytes(out + trailer_tail(xref_at))) == "invalid cross-reference table"


def test_xref_stream_decode_failure_is_reported():
    out, _ = body()
    xref_at = len(out)
    out += xref_stream_object(4, b"not zlib", b"/Root 1 0 R /Size 5 /W [1 4 2] /Filter /FlateDecode")
    assert load_error(bytes(out + trailer_tail(xref_at))) == (
        "failed to decode /FlateDecode stream: corrupt deflate stream")


def test_xref_stream_update_over_classic_table():
    base = classic_file(BASE)
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    at = len(out)
    out += b"3 0 obj\n(three, revised)\nendobj\n"
    xref_at = len(out)
    out += xref_stream_object(5, xref_rows([(1, at, 0), (1, xref_at, 0)]),
                              b"/Root 1 0 R /Size 6 /Index [3 1 5 1] /W [1 4 2] /Prev %d" % prev)
    doc = quillet.Document(bytes(out + trailer_tail(xref_at)))
    assert doc.object_text(3) == "(three, revised)"
    assert ids(doc.objects()) == ["1 0 R", "2 0 R", "3 0 R", "4 0 R", "5 0 R"]


def hybrid_file(table_rows: bytes = b"", xref_stm: bytes | None = None, wrong_self_row: bool = False) -> bytes:
    """Objects 1-3 and 5 (5 also packed in object stream 7 as "(packed)");
    a classic table for 0-3 plus `table_rows`, whose trailer's /XRefStm names
    stream 6 listing 5 as compressed, 6 and 7 (and a /Prev not to follow)."""
    out, at = body(MINIMAL + [(5, b"(five)")])
    at[7] = len(out)
    out += b"7 0 obj\n<< /Type /ObjStm /N 1 /First 4 /Length 12 >>\nstream\n5 0 (packed)\nendstream\nendobj\n"
    stm_at = len(out)
    rows = [(5, (2, 7, 0)), (6, (1, at[1] if wrong_self_row else stm_at, 0)), (7, (1, at[7], 0))]
    index = b" ".join(b"%d 1" % n for n, _ in rows)
    out += xref_stream_object(6, xref_rows([row for _, row in rows]),
                              b"/Size 8 /Index [%s] /W [1 4 2] /Prev 999999" % index)
    table_at = len(out)
    out += b"xref\n0 4\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % at[n] for n in (1, 2, 3))
    out += table_rows.replace(b"{5}", b"%010d" % at[5])
    xref_stm = (xref_stm or b"%d" % stm_at).replace(b"{5}", b"%d" % at[5])
    out += b"trailer\n<< /Size 8 /Root 1 0 R /XRefStm %s >>\n" % xref_stm + trailer_tail(table_at)
    return bytes(out)


@pytest.mark.parametrize("wrong_self_row", [False, True])
def test_hybrid_file_reads_the_objects_of_its_xref_stm(wrong_self_row):
    # The stream is object 6 where /XRefStm found it, whatever its own row says.
    doc = quillet.Document(hybrid_file(wrong_self_row=wrong_self_row))
    assert doc.object_text(5) == "(packed)"
    assert ids(doc.objects()) == ["1 0 R", "2 0 R", "3 0 R", "5 0 R", "6 0 R", "7 0 R"]


@pytest.mark.parametrize("table_rows, text", [
    (b"5 1\n{5} 00000 n \n", "(five)"),    # the table's object, not the packed one
    (b"5 1\n0000000000 00001 f \n", None),  # freed in the table: the stream does not bring it back
])
def test_hybrid_table_wins_over_its_stream(table_rows, text):
    doc = quillet.Document(hybrid_file(table_rows))
    if text:
        assert doc.object_text(5) == text
    else:
        with pytest.raises(ValueError, match="^dangling reference to object 5 0$"):
            doc.object_text(5)


def test_hybrid_stream_is_refused_like_any_section():
    # A /XRefStm that is not an offset is no hybrid section.
    assert load_error(hybrid_file(xref_stm=b"{5}")) == "invalid cross-reference table"
    assert quillet.Document(hybrid_file(xref_stm=b"(not an offset)")).object_count() == 3


# ---- loading from a memory-mapped file ----

def test_open_mmap_reads_like_bytes(tmp_path):
    pdf = simple_pdf(["BT (Hi) Tj ET"])
    path = tmp_path / "a.pdf"
    path.write_bytes(pdf)
    assert quillet.Document.open_mmap(str(path)).objects() == quillet.Document(pdf).objects()


def test_open_mmap_missing_file(tmp_path):
    path = str(tmp_path / "missing.pdf")
    with pytest.raises(ValueError) as info:
        quillet.Document.open_mmap(path)
    assert str(info.value) == f"failed to open {path}: No such file or directory (os error 2)"


def test_open_mmap_empty_file(tmp_path):
    path = tmp_path / "empty.pdf"
    path.write_bytes(b"")
    with pytest.raises(ValueError, match="^invalid PDF header$"):
        quillet.Document.open_mmap(str(path))


def test_open_mmap_directory(tmp_path):
    with pytest.raises(ValueError) as info:
        quillet.Document.open_mmap(str(tmp_path))
    assert str(info.value).startswith(f"failed to memory-map {tmp_path}: ")
    assert str(info.value).endswith(")")


def test_open_mmap_path_with_nul():
    with pytest.raises(ValueError) as info:
        quillet.Document.open_mmap("a\0b.pdf")
    assert str(info.value) == "failed to open a\0b.pdf: file name contained an unexpected NUL byte"


def test_open_mmap_parse_error(tmp_path):
    path = tmp_path / "bad.pdf"
    path.write_bytes(b"%PDF-1.7\nnothing else\n")
    with pytest.raises(ValueError, match="^invalid startxref section$"):
        quillet.Document.open_mmap(str(path))


def test_sections_nested_in_trailer_strings_are_refused():
    # Each section's trailer holds the next section inside a string, so every
    # section reads all the ones after it: work quadratic in the file.  The
    # bytes read along the chain are bounded by four times the file.
    out, at = body()
    first = len(out)
    levels = 16
    prefix = b"xref\n0 0\ntrailer\n<< /Prev %010d /S ("
    step = len(prefix % 0)
    out += b"xref\n0 4\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % at[n] for n in (1, 2, 3))
    head = b"trailer\n<< /Size 4 /Root 1 0 R /Prev %010d /S ("
    out += head % (len(out) + len(head % 0))
    for _ in range(levels):
        out += prefix % (len(out) + step)
    out += b"xref\n0 0\ntrailer\n<< >>" + b") >>" * (levels + 1) + b"\n"
    out += trailer_tail(first)
    assert load_error(bytes(out)) == (
        f"type mismatch in cross-reference chain: expected at most {4 * len(out)} bytes of sections")
