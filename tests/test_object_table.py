"""The object table: in-use objects, objects packed in object streams, and
the catalog and version lookups."""

import zlib

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf, xref_table
from rawpdf import CATALOG, PAGES, classic_file, object_stream_body, packed_pdf, packed_value_offset, with_object


def load_error(pdf: bytes) -> str:
    with pytest.raises(ValueError) as info:
        quillet.Document(pdf)
    return str(info.value)


# ---- direct objects ----

def test_objects_are_listed_in_id_order():
    b = PdfBuilder()
    for number in (10, 2, 1, 7):
        b.add(number, b"(%d)" % number)
    doc = quillet.Document(b.build())
    assert [o["id"] for o in doc.objects()] == ["1 0 R", "2 0 R", "7 0 R", "10 0 R"]
    assert doc.object_count() == 4


def test_object_header_must_match_its_entry():
    b = PdfBuilder().add(1, CATALOG).add(2, PAGES).raw(7, b"8 0 obj\nnull\nendobj\n")
    assert load_error(b.build()) == "invalid indirect object header"


def test_object_generation_must_match_its_entry():
    b = PdfBuilder().add(1, CATALOG).add(2, PAGES).raw(7, b"7 1 obj\nnull\nendobj\n")
    assert load_error(b.build()) == "invalid indirect object header"


def test_offset_beyond_the_file():
    pdf = classic_file([(1, CATALOG), (2, PAGES)])
    pdf = pdf.replace(b"%010d 00000 n" % pdf.index(b"2 0 obj"), b"0099999999 00000 n")
    assert load_error(pdf) == "unexpected end of PDF data"


def test_largest_offset_is_refused():
    pdf = classic_file([(1, CATALOG), (2, PAGES)])
    pdf = pdf.replace(b"%010d 00000 n" % pdf.index(b"2 0 obj"), b"9223372036854775807 00000 n")
    assert load_error(pdf) == "unexpected end of PDF data"


def test_free_entries_leave_no_object():
    doc = quillet.Document(simple_pdf(["BT ET"]))
    assert doc.object_count() == 4
    assert doc.xref()[0] == {"id": "0 65535 R", "number": 0, "generation": 65535,
                             "xref": "free next=0 generation=65535"}
    assert [o["number"] for o in doc.objects()] == [1, 2, 3, 4]


def test_first_bad_object_fails_the_load():
    pdf, at = with_object(b"<< /A (unterminated >>")
    assert load_error(pdf) == f"invalid token at byte {at + 6}: unterminated literal string"


# ---- object streams ----

PACKED = [(10, b"<< /Kind /Packed >>"), (11, b"[1 2 R]"), (12, b"(last)")]


def test_object_stream_members_are_loaded():
    doc = quillet.Document(packed_pdf(PACKED))
    assert doc.object_text(10) == "<< /Kind /Packed >>"
    assert doc.object_text(11) == "[1 2 R]"
    assert doc.object_text(12) == "(last)"
    assert doc.object(11) == {"id": "11 0 R", "number": 11, "generation": 0, "kind": "array",
                              "xref": "compressed object_stream=5 index=1", "text": "[1 2 R]"}
    # Catalog, page tree, object stream, cross-reference stream and the three.
    assert doc.object_count() == 7


def test_compressed_object_stream():
    data, first = object_stream_body(PACKED)
    packed = zlib.compress(data)
    doc = quillet.Document(packed_pdf(PACKED, stream_data=packed,
                                      stream_dict=b"/Type /ObjStm /N 3 /First %d /Filter /FlateDecode" % first))
    assert doc.object_text(12) == "(last)"


def test_header_object_numbers_are_not_trusted():
    data, first = object_stream_body(PACKED)
    data = data.replace(b"10 0 11", b"99 0 98", 1)
    doc = quillet.Document(packed_pdf(PACKED, stream_data=data))
    assert doc.object_text(10) == "<< /Kind /Packed >>"
    assert doc.object_count() == 7


def test_members_may_be_listed_out_of_header_order():
    # Entry 12 names index 0, entry 10 index 2.
    pdf = packed_pdf(PACKED, extra_rows=[(10, (2, 5, 2)), (12, (2, 5, 0))])
    doc = quillet.Document(pdf)
    assert doc.object_text(10) == "(last)"
    assert doc.object_text(12) == "<< /Kind /Packed >>"


def test_object_stream_with_too_few_header_pairs():
    data, _ = object_stream_body(PACKED)
    first = data.index(b"\n") + 1
    assert load_error(packed_pdf(PACKED, stream_dict=b"/Type /ObjStm /N 4 /First %d" % first)) == (
        "unexpected end of PDF data")


def test_enormous_count_is_bounded_by_the_header():
    data, first = object_stream_body(PACKED)
    pdf = packed_pdf(PACKED, stream_dict=b"/Type /ObjStm /N 1000000000000000000 /First %d" % first)
    assert load_error(pdf) == "unexpected end of PDF data"


def test_index_not_below_count():
    pdf = packed_pdf(PACKED, extra_rows=[(12, (2, 5, 3))])
    assert load_error(pdf) == "invalid indirect object header"


def restated_header(last_offset: int) -> bytes:
    """PACKED with the header offset of its last member replaced."""
    data, first = object_stream_body(PACKED)
    header = b"10 0 11 20 12 %d\n" % last_offset
    assert data[:first] == b"10 0 11 20 12 28\n"
    return packed_pdf(PACKED, stream_data=header + data[first:],
                      stream_dict=b"/Type /ObjStm /N 3 /First %d" % len(header))


@pytest.mark.parametrize("last_offset", [4000000000, 4294967295, 35])
def test_member_offset_beyond_data(last_offset):
    assert load_error(restated_header(last_offset)) == "invalid indirect object header"


def test_member_offset_at_end_of_data():
    data, first = object_stream_body(PACKED)
    assert load_error(restated_header(len(data) - first)) == "unexpected end of PDF data"


def test_data_shorter_than_first():
    assert load_error(packed_pdf(PACKED, stream_dict=b"/Type /ObjStm /N 3 /First 100000")) == (
        "invalid indirect object header")


def test_non_integer_in_header():
    data, first = object_stream_body(PACKED)
    data = data.replace(b"11 20", b"11 /x", 1)
    assert load_error(packed_pdf(PACKED, stream_data=data)) == "invalid token at byte 8: expected integer"


@pytest.mark.parametrize("stream_dict, message", [
    (b"/N 3 /First 16", "type mismatch in compressed object owner: expected /ObjStm"),
    (b"/Type /XRef /N 3 /First 16", "type mismatch in compressed object owner: expected /ObjStm"),
    (b"/Type /ObjStm /First 16", "missing required entry /N in object stream /N"),
    (b"/Type /ObjStm /N 3", "missing required entry /First in object stream /First"),
    (b"/Type /ObjStm /N -3 /First 16", "type mismatch in object stream /N: expected non-negative integer"),
    (b"/Type /ObjStm /N 3 /First 16.0", "type mismatch in object stream /First: expected non-negative integer"),
    (b"/Type /ObjStm /N 3 /First 16 /Filter /Foo", "failed to decode /Foo stream: unknown filter"),
])
def test_bad_object_stream_dictionary(stream_dict, message):
    assert load_error(packed_pdf(PACKED, stream_dict=stream_dict)) == message


def test_owner_must_be_generation_zero():
    assert load_error(packed_pdf(PACKED, stream_generation=1)) == "dangling reference to object 5 0"


def test_owner_must_exist():
    pdf = packed_pdf(PACKED, extra_rows=[(11, (2, 6, 0))])
    assert load_error(pdf) == "dangling reference to object 6 0"


def test_owner_must_be_a_stream():
    # Object 1, the catalog, named as an object stream.
    pdf = packed_pdf(PACKED, extra_rows=[(11, (2, 1, 0))])
    assert load_error(pdf) == "type mismatch in object stream: expected stream"


def test_owner_inside_another_object_stream_is_not_a_stream():
    # Object 10 is itself packed, so it can never be a stream.
    pdf = packed_pdf(PACKED, extra_rows=[(20, (2, 10, 0))])
    assert load_error(pdf) == "type mismatch in object stream: expected stream"


def test_error_in_member_fails_the_load():
    packed = PACKED[:2] + [(12, b"<< /A 1 /B >>")]
    at = packed_value_offset(packed, 2)
    assert load_error(packed_pdf(packed)) == f"invalid token at byte {at + 11}: unexpected token DictEnd"


def test_stream_keyword_inside_object_stream_is_not_read():
    doc = quillet.Document(packed_pdf([(10, b"<< /Length 3 >>\nstream\nabc\nendstream")]))
    assert doc.object(10)["kind"] == "dictionary"


# ---- catalog and versions ----

def version_doc(catalog: bytes, header_version: str = "1.7") -> quillet.Document:
    return quillet.Document(PdfBuilder(version=header_version).add(1, catalog).add(2, PAGES).build())


@pytest.mark.parametrize("catalog_extra, version", [
    (b"", (1, 7)),
    (b"/Version /1.4", (1, 4)),     # lower than the header still wins
    (b"/Version /2.0", (2, 0)),
])
def test_effective_version(catalog_extra, version):
    doc = version_doc(b"<< /Type /Catalog /Pages 2 0 R " + catalog_extra + b" >>")
    assert doc.effective_version() == version
    assert doc.version() == (1, 7)


@pytest.mark.parametrize("version_value, message", [
    (b"(1.4)", "type mismatch in catalog /Version: expected name"),
    (b"1.4", "type mismatch in catalog /Version: expected name"),
    (b"/1.10", "type mismatch in catalog /Version: expected name in the form /1.N"),
    (b"/1", "type mismatch in catalog /Version: expected name in the form /1.N"),
    (b"/a.b", "type mismatch in catalog /Version: expected name in the form /1.N"),
    (b"/1,4", "type mismatch in catalog /Version: expected name in the form /1.N"),
])
def test_bad_catalog_version(version_value, message):
    doc = version_doc(b"<< /Type /Catalog /Pages 2 0 R /Version " + version_value + b" >>")
    with pytest.raises(ValueError) as info:
        doc.effective_version()
    assert str(info.value) == message
    assert doc.version() == (1, 7)


@pytest.mark.parametrize("root, message", [
    (b"/Root 3 0 R", "type mismatch in trailer /Root: expected dictionary"),
    (b"/Root 9 0 R", "dangling reference to object 9 0"),
    (b"/Root 5", "type mismatch in trailer /Root: expected dictionary"),
    (b"", "missing required entry /Root in trailer"),
])
def test_bad_catalog(root, message):
    b = PdfBuilder().add(1, CATALOG).add(2, PAGES).add(3, b"42")
    pdf = b.build()
    pdf = pdf.replace(b"/Root 1 0 R", root)
    doc = quillet.Document(pdf)
    with pytest.raises(ValueError) as info:
        doc.effective_version()
    assert str(info.value) == message


def test_catalog_may_be_a_stream_dictionary():
    b = PdfBuilder().stream(1, b"x", "/Type /Catalog /Version /1.3").add(2, PAGES)
    assert quillet.Document(b.build()).effective_version() == (1, 3)


def test_document_keeps_no_reference_to_input():
    data = bytearray(simple_pdf(["BT (Hi) Tj ET"]))
    doc = quillet.Document(bytes(data))
    before = doc.objects()
    data[:] = b"\0" * len(data)
    assert doc.objects() == before


# ---- ordering by number, then generation ----

def test_objects_order_by_number_then_generation():
    # Base file: 2 0 5 and 10 0; an update adds 10 1.  (2, 5) comes before
    # (10, 0), and (10, 0) before (10, 1), in the table and in the map.
    b = PdfBuilder().add(1, CATALOG).add(2, b"(two)", generation=5).add(10, b"(ten)")
    base = b.build()
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    at = len(out)
    out += b"10 1 obj\n(ten, generation 1)\nendobj\n"
    table_at = len(out)
    out += b"xref\n10 1\n%010d 00001 n \ntrailer\n<< /Size 11 /Root 1 0 R /Prev %d >>\n" % (at, prev)
    out += b"startxref\n%d\n%%%%EOF\n" % table_at
    doc = quillet.Document(bytes(out))
    assert [o["id"] for o in doc.objects()] == ["1 0 R", "2 5 R", "10 0 R", "10 1 R"]
    assert [e["id"] for e in doc.xref()] == ["0 65535 R", "1 0 R", "2 5 R", "10 0 R", "10 1 R"]


# ---- objects that overlap ----

BIG = b"(" + b"a" * 1000 + b")"


def test_two_entries_naming_one_packed_object_both_load():
    # Entries left behind when an update rewrote their object stream can name
    # an index another object now holds; a little overlap still loads.
    doc = quillet.Document(packed_pdf([(10, BIG)], extra_rows=[(11, (2, 5, 0))]))
    assert doc.object_text(11) == doc.object_text(10)


def test_many_entries_naming_one_packed_object_are_refused():
    # Each entry would copy the shared string again: memory quadratic in the
    # size of the file.  The bytes read are bounded by four times the data.
    data, _ = object_stream_body([(10, BIG)])
    pdf = packed_pdf([(10, BIG)], extra_rows=[(100 + i, (2, 5, 0)) for i in range(8)])
    assert load_error(pdf) == (
        f"type mismatch in object stream: expected at most {4 * len(data)} bytes of objects")


def test_objects_sharing_one_stream_body_are_refused():
    # Objects 3 to 10 each start a stream whose body holds the headers of the
    # next ones and ends at the same endstream: every object copies the rest.
    headers = [b"%d 0 obj\n<< /Length %%06d >>\nstream\n" % n for n in range(3, 11)]  # fixed width
    payload = b"x" * 2000
    tail = b"\nendstream\nendobj\n"
    out = bytearray(b"%PDF-1.7\n")
    where = {}
    for number, body in [(1, CATALOG), (2, PAGES)]:
        where[(number, 0)] = len(out)
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    for i, header in enumerate(headers):
        where[(3 + i, 0)] = len(out)
        rest = sum(len(h % 0) for h in headers[i + 1:]) + len(payload)
        out += header % rest
    out += payload + tail
    table_at = len(out)
    out += xref_table(where) + b"trailer\n<< /Size 11 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % table_at
    assert load_error(bytes(out)) == f"type mismatch in PDF file: expected at most {4 * len(out)} bytes of objects"
