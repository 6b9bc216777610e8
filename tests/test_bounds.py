"""Every call is bounded by what the file holds: small hostile files (built in
hostile.py) either fail fast with the limit's message or succeed within the
bound.  No clock: a regression shows as a hang or as memory, never as a
flaky assertion."""

import base64
import zlib

import pytest

import quillet
import hostile
from pdfbuild import PdfBuilder, simple_pdf
from rawpdf import object_stream_body, packed_pdf

MIB = 1 << 20
DEFAULT_LIMIT = 64 * MIB


def decode_limit(limit: int) -> str:
    return "^type mismatch in stream data: expected at most %d decoded bytes per call \\(max_decoded_bytes\\)$" % limit


def work_limit(context: str, pdf: bytes, decoded: int = 0) -> str:
    """The work a call on `pdf` may do, having decoded `decoded` bytes."""
    limit = max(64 * MIB, 64 * (len(pdf) + decoded))
    return "^type mismatch in %s: expected at most %d bytes of content, text and records per call$" % (context, limit)


# ---- decompression bombs ----

def test_object_stream_bomb_fails_the_load():
    with pytest.raises(ValueError, match=decode_limit(DEFAULT_LIMIT)):
        quillet.Document(hostile.objstm_bomb(1024))


@pytest.mark.parametrize("wrap", ["", "hex", "a85"])
def test_content_bomb_fails_the_call(wrap):
    doc = quillet.Document(hostile.content_bomb(1024, wrap))
    with pytest.raises(ValueError, match=decode_limit(DEFAULT_LIMIT)):
        doc.text()


def metadata_pdf(size_mib: int) -> bytes:
    """A document whose XMP stream inflates to `size_mib` MiB (deflated twice,
    as only bombs are)."""
    data = hostile.flate_bomb(size_mib, 2)
    return simple_pdf(["BT (x) Tj ET"], catalog_extra="/Metadata 100 0 R", extra_objects=[
        (100, b"<< /Length %d /Filter [/FlateDecode /FlateDecode] >>\nstream\n" % len(data) + data
         + b"\nendstream")])


def test_a_lower_limit_refuses_an_ordinary_file(tmp_path):
    pdf = simple_pdf(["BT (Hello) Tj ET"], compress=True)
    assert quillet.Document(pdf).text() == "Hello"
    path = tmp_path / "hello.pdf"
    path.write_bytes(pdf)
    for doc in (quillet.Document(pdf, max_decoded_bytes=10), quillet.Document.parse(pdf, max_decoded_bytes=10),
                quillet.Document.open(str(path), max_decoded_bytes=10),
                quillet.Document.open_mmap(str(path), max_decoded_bytes=10)):
        with pytest.raises(ValueError, match=decode_limit(10)):
            doc.text()
        assert doc.page_count() == 1


def test_a_higher_limit_reads_what_the_default_refuses():
    pdf = metadata_pdf(65)
    with pytest.raises(ValueError, match=decode_limit(DEFAULT_LIMIT)):
        quillet.Document(pdf).metadata_xml()
    doc = quillet.Document(pdf, max_decoded_bytes=80 * MIB)
    assert len(doc.metadata_xml()) == 65 * MIB
    # The writers load the file again under the same limit.
    updated = doc.with_metadata(title="T")
    assert quillet.Document(updated, max_decoded_bytes=80 * MIB).metadata()["title"] == "T"


def test_object_streams_count_against_the_limit_at_load():
    data, first = object_stream_body([(3, b"(" + b"x" * 1000 + b")")])
    pdf = packed_pdf([(3, b"")], stream_data=zlib.compress(data),
                     stream_dict=b"/Type /ObjStm /N 1 /First %d /Filter /FlateDecode" % first)
    assert quillet.Document(pdf, max_decoded_bytes=len(data)).object_count() == 5
    with pytest.raises(ValueError, match=decode_limit(len(data) - 1)):
        quillet.Document(pdf, max_decoded_bytes=len(data) - 1)


@pytest.mark.parametrize("value, error", [(-1, OverflowError), (1.5, TypeError), ("1", TypeError)])
def test_limit_argument_conversion(value, error):
    with pytest.raises(error):
        quillet.Document(simple_pdf([""]), max_decoded_bytes=value)


# A stage before the last can produce more than the stream decodes to; the
# second reading in one call (which keeps the bytes) must still succeed.
CONTENT = b"BT /F1 12 Tf 72 700 Td (Shared) Tj ET"


@pytest.mark.parametrize("data, filters", [
    (zlib.compress(base64.a85encode(CONTENT, adobe=True)[2:]), "/Filter [/FlateDecode /ASCII85Decode]"),
    (zlib.compress(CONTENT.hex().encode() + b">"), "/Filter [/FlateDecode /ASCIIHexDecode]"),
    (zlib.compress(b"\0" + CONTENT), "/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns %d >>" % len(CONTENT)),
])
def test_stream_read_twice_in_a_call_whose_last_stage_shrinks(data, filters):
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 /Resources << /Font << /F1 6 0 R >> >> >>")
    for page in (3, 4):
        b.add(page, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 5 0 R >>")
    b.stream(5, data, filters)
    b.add(6, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    assert quillet.Document(b.build()).text() == "Shared\nShared"


# ---- shared things multiplied ----

def test_page_tree_listing_one_page_a_million_times_is_refused():
    doc = quillet.Document(hostile.dag_pages())
    message = "^type mismatch in page tree: expected at most 8 page occurrences, as many as the file has objects$"
    for call in (doc.pages, doc.text, doc.llm_document, lambda: doc.page_text(0)):
        with pytest.raises(ValueError, match=message):
            call()


def test_content_shared_by_many_pages_is_bounded():
    pdf = hostile.shared_content(pages=100, content_kib=1024)
    doc = quillet.Document(pdf)
    assert doc.page_text(99).startswith("Some text shown on every page")
    with pytest.raises(ValueError, match=work_limit("page content", pdf, hostile.shared_content_size(1024))):
        doc.text()


def test_resources_shared_by_many_pages_are_bounded():
    pdf = hostile.shared_resources(pages=600, fonts=600)
    doc = quillet.Document(pdf)
    assert len(doc.page_fonts(0)) == 600
    with pytest.raises(ValueError, match=work_limit("page /Resources /Font", pdf)):
        doc.fonts()


def test_label_prefix_repeated_for_every_page_is_bounded():
    pdf = hostile.long_label_prefix(objects=200, prefix_mib=1)
    with pytest.raises(ValueError, match=work_limit("page labels", pdf)):
        quillet.Document(pdf).page_labels()


def test_file_under_many_names_is_decoded_and_held_once():
    files = quillet.Document(hostile.shared_embedded_file(names=5000, size_mib=8)).embedded_files(include_data=True)
    assert len(files) == 5000 and len(files[0]["data"]) == 8 * MIB
    assert all(f["data"] is files[0]["data"] for f in files)


def test_long_codes_of_many_lengths_decode_in_one_pass():
    # 300 code lengths over a 1 MiB shown string: no code matches in full,
    # so every byte falls back to Latin-1.
    assert quillet.Document(hostile.long_code_cmap()).text() == "A" * MIB


# ---- writers write only what the reader loads ----

@pytest.mark.parametrize("write", [
    lambda doc: doc.with_text_annotation(0, [0, 0, 1, 1], "note"),
    lambda doc: doc.with_uri_link(0, [0, 0, 1, 1], "https://example.com/"),
])
def test_annotation_update_round_trip_at_the_nesting_limit(write):
    deepest = quillet.Document(hostile.nested_annots(255))
    assert quillet.Document(write(deepest)).page_count() == 1
    too_deep = quillet.Document(hostile.nested_annots(256))
    with pytest.raises(ValueError, match="^type mismatch in incremental trailer object: expected at most 256 levels"):
        write(too_deep)


def test_update_of_a_file_counting_from_its_header_reads_back():
    # Offsets that count from a header preceded by other bytes: with a prefix
    # of just this length, the update's startxref, read as given, lands on the
    # older table, and the file would read with the wrong offsets (found by
    # fuzzing).
    base = simple_pdf(["BT (x) Tj ET"])
    update_object = b"5 0 obj\n<< /Producer (quillet) >>\nendobj\n"
    prefix = len(base) + len(update_object) - (base.index(b"\nxref\n") + 1)
    doc = quillet.Document(b" " * prefix + base)
    assert quillet.Document(doc.with_metadata()).page_text(0) == "x"
