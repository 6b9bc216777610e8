"""Object inspection: object_text, object, objects, xref and dump_objects."""

import zlib

import pytest

import quillet
from pdfbuild import PdfBuilder
from test_filters import objstm_pdf

CATALOG = "<< /Type /Catalog /Pages 2 0 R >>"
PAGES = "<< /Type /Pages /Kids [] /Count 0 >>"


def doc_with(*objects: tuple[int, bytes | str]) -> quillet.Document:
    """Catalog 1, empty page tree 2, then `objects` as (number, body)."""
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.add(2, PAGES)
    for number, body in objects:
        b.add(number, body)
    return quillet.Document(b.build())


def text_of(body: bytes | str) -> str:
    return doc_with((3, body)).object_text(3)


def test_dictionary_keys_in_byte_order():
    assert doc_with().object_text(1) == "<< /Pages 2 0 R /Type /Catalog >>"
    assert text_of("<< /b 1 /B 2 /a 3 /A 4 /AA 5 >>") == "<< /A 4 /AA 5 /B 2 /a 3 /b 1 >>"
    # Bytes compare unsigned: a UTF-8 key sorts after every ASCII key.
    assert text_of(b"<< /\xc3\xa9 1 /z 2 /Z#7e 3 >>") == "<< /Z~ 3 /z 2 /\u00e9 1 >>"


def test_repeated_key_keeps_later_value():
    assert text_of("<< /B 1 /A 2 /B 3 >>") == "<< /A 2 /B 3 >>"


@pytest.mark.parametrize("body, text", [
    ("null", "null"),
    ("true", "true"),
    ("false", "false"),
    ("0", "0"),
    ("-17", "-17"),
    ("9223372036854775807", "9223372036854775807"),
    ("/Name", "/Name"),
    ("/A#20B", "/A B"),
    (b"/Caf\xc3\xa9", "/Caf\u00e9"),
    (b"/Bad\xff", "/Bad\ufffd"),
    ("(plain)", "(plain)"),
    (r"(a\(b\)c\\)", "(a(b)c\\)"),            # decoded, nothing re-escaped
    ("<FEFF0041>", "(A)"),
    ("<FEFFD800>", "(\ufffd)"),
    (b"(\xc3\xa9\xff)", "(\u00e9\ufffd)"),
    ("()", "()"),
    ("[]", "[]"),
    ("<<>>", "<< >>"),
    ("[1 [2 [3]] << /K << >> >> (s) 4 0 R]", "[1 [2 [3]] << /K << >> >> (s) 4 0 R]"),
    ("12 5 R", "12 5 R"),
])
def test_object_text_by_kind(body, text):
    assert text_of(body) == text


@pytest.mark.parametrize("literal, text", [
    ("612.0", "612"),
    ("0.1", "0.1"),
    ("-3.25", "-3.25"),
    ("-0.0", "-0"),
    (".5", "0.5"),
    ("-.5", "-0.5"),
    ("5.", "5"),
    ("0.000001", "0.000001"),
    ("0.0000000000000000000001", "0.0000000000000000000001"),
    ("1000000000000000000000.0", "1" + "0" * 21),
    ("123456789.125", "123456789.125"),
    ("0.30000000000000004", "0.30000000000000004"),
    ("12345678901234567890123.0", "12345678901234568000000"),
])
def test_real_text(literal, text):
    assert text_of(literal) == text


def test_integer_and_real_kinds_stay_apart():
    doc = doc_with((3, "3"), (4, "3.0"))
    assert (doc.object(3)["kind"], doc.object(3)["text"]) == ("integer", "3")
    assert (doc.object(4)["kind"], doc.object(4)["text"]) == ("real", "3")


STREAM_DICT = "<< /Length %d >>"


@pytest.mark.parametrize("data, preview", [
    (b"BT (a) Tj ET", ": BT (a) Tj ET"),
    (b"", ": "),
    (b"a\r\nb\rc\nd", ": a\\n\\nb\\nc\\nd"),
    (b"tab\there\x0cff", ": tab\there\x0cff"),
    (b"x" * 120, ": " + "x" * 120),
    (b"x" * 121, ""),
    (b"bell\x07", ""),
    (b"vt\x0b", ""),
    (b"nul\x00", ""),
    (b"del\x7f", ""),
    (b"high\xe9", ""),
])
def test_stream_preview(data, preview):
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.stream(3, data)
    text = quillet.Document(b.build()).object_text(3)
    assert text == "<< /Length %d >>\nstream\n<%d encoded bytes%s>\nendstream" % (len(data), len(data), preview)


def test_flate_stream_shows_only_its_byte_count():
    data = zlib.compress(b"BT (a) Tj ET")
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.stream(3, data, "/Filter /FlateDecode")
    assert quillet.Document(b.build()).object_text(3) == (
        "<< /Filter /FlateDecode /Length %d >>\nstream\n<%d encoded bytes>\nendstream" % (len(data), len(data)))


def test_object_summary_record():
    doc = doc_with()
    assert doc.object(1) == {
        "id": "1 0 R", "number": 1, "generation": 0, "kind": "dictionary",
        "xref": "in-use offset=15 generation=0", "text": "<< /Pages 2 0 R /Type /Catalog >>",
    }
    assert list(doc.object(1)) == ["id", "number", "generation", "kind", "xref", "text"]


def test_object_with_generation():
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.add(3, "(gen seven)", generation=7)
    doc = quillet.Document(b.build())
    assert doc.object(3, 7)["text"] == "(gen seven)"
    assert doc.object_text(3, generation=7) == "(gen seven)"
    with pytest.raises(ValueError, match="^dangling reference to object 3 0$"):
        doc.object(3)


@pytest.mark.parametrize("method", ["object", "object_text"])
def test_absent_object_is_a_dangling_reference(method):
    with pytest.raises(ValueError, match="^dangling reference to object 999 0$"):
        getattr(doc_with(), method)(999)


def test_xref_lists_every_entry_including_free_ones():
    doc = doc_with()
    entries = doc.xref()
    assert entries[0] == {"id": "0 65535 R", "number": 0, "generation": 65535, "xref": "free next=0 generation=65535"}
    assert [e["id"] for e in entries] == ["0 65535 R", "1 0 R", "2 0 R"]
    assert entries[1]["xref"] == "in-use offset=15 generation=0"


def test_compressed_objects_in_listings():
    doc = quillet.Document(objstm_pdf())
    objects = {o["number"]: o for o in doc.objects()}
    assert objects[1] == {
        "id": "1 0 R", "number": 1, "generation": 0, "kind": "dictionary",
        "xref": "compressed object_stream=10 index=0", "text": "<< /Pages 2 0 R /Type /Catalog >>",
    }
    assert objects[3]["kind"] == "array"
    assert objects[4]["xref"] == "compressed object_stream=10 index=3"
    assert objects[10]["kind"] == "stream"
    assert [o["number"] for o in doc.objects()] == sorted(objects)
    xref = {e["id"]: e["xref"] for e in doc.xref()}
    assert xref["2 0 R"] == "compressed object_stream=10 index=1"
    assert xref["0 65535 R"] == "free next=0 generation=65535"


def test_dump_objects_format():
    doc = doc_with((3, "[1.5 (x)]"))
    o = {n: doc.object(n) for n in (1, 2, 3)}
    expected = "\n\n".join(
        "%d 0 obj %% %s %% %s\n%s\nendobj" % (n, o[n]["xref"], o[n]["kind"], o[n]["text"]) for n in (1, 2, 3))
    dump = doc.dump_objects()
    assert dump == expected
    assert dump.startswith("1 0 obj % in-use offset=15 generation=0 % dictionary\n<< /Pages 2 0 R /Type /Catalog >>\nendobj\n\n2 0 obj")
    assert dump.endswith("[1.5 (x)]\nendobj")


def test_dump_objects_of_an_empty_table():
    b = PdfBuilder()
    assert quillet.Document(b.build()).dump_objects() == ""
