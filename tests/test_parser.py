"""Objects as the loader parses them: direct values, indirect object headers,
streams and the nesting bound."""

import pytest

import quillet
from pdfbuild import PdfBuilder, xref_table
from rawpdf import CATALOG, PAGES, packed_pdf, packed_value_offset, trailer_tail, with_object


def value(literal: bytes) -> dict:
    pdf, _ = with_object(literal)
    return quillet.Document(pdf).object(3)


def load_error(pdf: bytes) -> str:
    with pytest.raises(ValueError) as info:
        quillet.Document(pdf)
    return str(info.value)


def object_error(literal: bytes) -> tuple[str, int]:
    pdf, at = with_object(literal)
    return load_error(pdf), at


# ---- direct objects ----

@pytest.mark.parametrize("literal, kind, text", [
    (b"1 0 R", "reference", "1 0 R"),
    (b"4294967295 65535 R", "reference", "4294967295 65535 R"),
    (b"[1 2 R 3]", "array", "[1 2 R 3]"),
    (b"[1 2 3 R]", "array", "[1 2 3 R]"),
    (b"[1 2 %c\n R]", "array", "[1 2 R]"),
    (b"[/a true null]", "array", "[/a true null]"),
    (b"[]", "array", "[]"),
    (b"[[1] [[2]]]", "array", "[[1] [[2]]]"),
    (b"<< /A 1 /A 2 >>", "dictionary", "<< /A 2 >>"),
    (b"<< /B 1 /A 2 /B 3 >>", "dictionary", "<< /A 2 /B 3 >>"),
    (b"<<>>", "dictionary", "<< >>"),
    (b"<</A<</B[1]>>>>", "dictionary", "<< /A << /B [1] >> >>"),
    (b"false", "boolean", "false"),
    (b"null", "null", "null"),
])
def test_direct_object(literal, kind, text):
    obj = value(literal)
    assert (obj["kind"], obj["text"]) == (kind, text)


@pytest.mark.parametrize("literal, at_token, message", [
    (b"[-1 0 R]", 4, "invalid object number"),
    (b"[4294967296 0 R]", 12, "invalid object number"),
    (b"[-1 70000 R]", 4, "invalid object number"),  # the number is checked first
    (b"[1 70000 R]", 3, "invalid generation number"),
    (b"[1 -1 R]", 3, "invalid generation number"),
])
def test_reference_out_of_range_points_at_generation(literal, at_token, message):
    got, at = object_error(literal)
    assert got == f"invalid token at byte {at + at_token}: {message}"


@pytest.mark.parametrize("literal, at_token, message", [
    (b"<< 1 2 >>", 3, "expected dictionary key"),
    (b"<< /A 1 (k) 2 >>", 8, "expected dictionary key"),
    (b"<< /A >>", 6, "unexpected token DictEnd"),
    (b"[1 >>]", 3, "unexpected token DictEnd"),
    (b"]", 0, "unexpected token ArrayEnd"),
    (b"foo", 0, "unexpected keyword foo"),
    (b"[true False]", 6, "unexpected keyword False"),
    (b"[1 2.0 R]", 7, "unexpected keyword R"),   # a real generation makes no reference
    (b"[1 2 Rx]", 5, "unexpected keyword Rx"),
])
def test_malformed_object(literal, at_token, message):
    got, at = object_error(literal)
    assert got == f"invalid token at byte {at + at_token}: {message}"


def test_integer_followed_by_obj_is_only_the_integer():
    # Inside an object stream, "5 0 obj" parses as the integer 5.
    assert quillet.Document(packed_pdf([(10, b"5 0 obj")])).object(10)["text"] == "5"


def test_integer_pair_at_end_of_data_is_an_integer():
    assert quillet.Document(packed_pdf([(10, b"1 0")])).object(10)["text"] == "1"


def test_unterminated_array_at_end_of_data():
    assert load_error(packed_pdf([(10, b"[1 2")])) == "unexpected end of PDF data"


# ---- nesting bound ----

@pytest.mark.parametrize("open_, close", [(b"[", b"]"), (b"<< /A ", b" >>")])
def test_nesting_up_to_the_limit_loads(open_, close):
    assert value(open_ * 256 + b"1" + close * 256)["kind"] in ("array", "dictionary")


@pytest.mark.parametrize("open_, close", [(b"[", b"]"), (b"<< /A ", b" >>")])
def test_nesting_past_the_limit_fails_at_the_opening_token(open_, close):
    message, at = object_error(open_ * 257 + b"1" + close * 257)
    assert message == f"invalid token at byte {at + 256 * len(open_)}: objects nested too deeply"


def test_hostile_nesting_fails_without_exhausting_the_stack():
    message, _ = object_error(b"[<</A " * 200_000)
    assert message.endswith("objects nested too deeply")


# ---- indirect object headers ----

def file_with_raw_object(whole: bytes) -> tuple[bytes, int]:
    """A file whose xref entry for object 3 points at `whole`, written as is."""
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.add(2, PAGES)
    b.raw(3, whole)
    pdf = b.build()
    return pdf, b.offsets[3]


@pytest.mark.parametrize("whole, at_token, message", [
    (b"3 70000 obj\nnull\nendobj\n", 2, "expected u16 integer"),
    (b"3 -1 obj\nnull\nendobj\n", 2, "expected u16 integer"),
    (b"-3 0 obj\nnull\nendobj\n", 0, "expected u32 integer"),
    (b"3 x obj\nnull\nendobj\n", 2, "expected integer"),
    (b"3 0.0 obj\nnull\nendobj\n", 2, "expected integer"),
    (b"3 0 obk\nnull\nendobj\n", 4, "expected keyword obj"),
    (b"3 0 obj\nnull\nnull\n", 13, "expected keyword endobj"),
    (b"3 0 obj\n1 2 endobj\n", 10, "expected keyword endobj"),
])
def test_bad_indirect_object_header(whole, at_token, message):
    pdf, at = file_with_raw_object(whole)
    assert load_error(pdf) == f"invalid token at byte {at + at_token}: {message}"


def test_dictionary_object_at_end_of_file():
    # The table and startxref come first; the object is the last thing in
    # the file, so the peek for "stream" runs out of data.
    out = bytearray(b"%PDF-1.7\n")
    where = {}
    for number, body in [(1, CATALOG), (2, PAGES)]:
        where[(number, 0)] = len(out)
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    table_at = len(out)
    table_len = len(xref_table({**where, (3, 0): 0}))
    where[(3, 0)] = table_at + table_len + len(b"trailer\n<< /Size 4 /Root 1 0 R >>\n") + len(
        trailer_tail(table_at))
    out += xref_table(where) + b"trailer\n<< /Size 4 /Root 1 0 R >>\n" + trailer_tail(table_at)
    assert len(out) == where[(3, 0)]
    out += b"3 0 obj\n<< /A 1 >>"
    assert load_error(bytes(out)) == "unexpected end of PDF data"


# ---- streams ----

def stream_file(dict_text: bytes, rest: bytes) -> tuple[bytes, int]:
    """A file whose object 3 is "<<dict_text>> stream" + rest; returns the
    file and the offset of the byte after the stream keyword."""
    pdf, at = with_object(b"<< " + dict_text + b" >> stream" + rest)
    return pdf, at + len(b"<< " + dict_text + b" >> stream")


def stream_text(dict_text: bytes, rest: bytes) -> str:
    pdf, _ = stream_file(dict_text, rest)
    return quillet.Document(pdf).object_text(3)


@pytest.mark.parametrize("dict_text, rest, data", [
    (b"/Length 3", b"\r\nabc\nendstream", "abc"),
    (b"/Length 3", b"\nabc endstream", "abc"),
    (b"/Length 3", b"\rabc\r\n%c\nendstream", "abc"),   # a lone CR is accepted
    (b"/Length 0", b"\nendstream", ""),
    # Without a usable direct /Length the body runs to endstream, minus one
    # line end before it.
    (b"/Length 10 0 R", b"\nabc\nendstream", "abc"),
    (b"/Length 10 0 R", b"\nabc\r\nendstream", "abc"),
    (b"/Length 10 0 R", b"\nabc\rendstream", "abc"),
    (b"/Length 10 0 R", b"\nabc\n\nendstream", "abc\\n"),
    (b"/Length 10 0 R", b"\nabcendstream", "abc"),
    (b"/Length 10 0 R", b"\nendstream", ""),
    (b"/Length 10 0 R", b"\r\nendstream", ""),      # trimming never reaches before the body
    (b"/Length -1", b"\nabc\nendstream", "abc"),
    (b"/Length 3.0", b"\nabc\nendstream", "abc"),
    (b"", b"\nabc\nendstream", "abc"),
])
def test_stream_body(dict_text, rest, data):
    text = stream_text(dict_text, rest)
    length = len(data.replace("\\n", "\n"))
    assert text.split("\n")[2] == f"<{length} encoded bytes: {data}>"


def test_wrong_length_inside_the_file_is_not_repaired():
    pdf, after = stream_file(b"/Length 2", b"\nabc\nendstream")
    assert load_error(pdf) == f"invalid token at byte {after + 3}: expected keyword endstream"


def test_length_beyond_the_file():
    pdf, _ = stream_file(b"/Length 1000000", b"\nabc\nendstream")
    assert load_error(pdf) == "unexpected end of PDF data"


def test_huge_length_does_not_overflow():
    pdf, _ = stream_file(b"/Length 9223372036854775807", b"\nabc\nendstream")
    assert load_error(pdf) == "unexpected end of PDF data"


@pytest.mark.parametrize("rest", [b" \nabc\nendstream", b"\tabc\nendstream", b"%\nabc\nendstream"])
def test_stream_keyword_needs_line_end(rest):
    pdf, after = stream_file(b"/Length 3", rest)
    assert load_error(pdf) == (
        f"invalid token at byte {after}: stream keyword must be followed by an end-of-line marker")


def test_missing_endstream_with_indirect_length():
    pdf, after = stream_file(b"/Length 10 0 R", b"\nabc\nendobj")
    assert load_error(pdf) == f"unsupported PDF feature at byte {after + 1}: indirect stream length"


def test_stream_dictionary_keys_are_kept():
    text = stream_text(b"/Length 3 /Filter /FlateDecode", b"\nabc\nendstream")
    assert text == "<< /Filter /FlateDecode /Length 3 >>\nstream\n<3 encoded bytes: abc>\nendstream"


def test_non_dictionary_followed_by_stream_is_not_a_stream():
    message, at = object_error(b"[1] stream\nabc\nendstream")
    assert message == f"invalid token at byte {at + 4}: expected keyword endobj"


def test_error_inside_object_stream_counts_from_its_decoded_data():
    packed = [(10, b"(ok)"), (11, b"[1 }]")]
    offset = packed_value_offset(packed, 1) + 3
    assert load_error(packed_pdf(packed)) == f"invalid token at byte {offset}: unexpected byte 0x7d"


def test_dictionary_with_keys_in_reverse_order_loads_sorted():
    # Built by sorting once: a hostile key order is not quadratic.
    from pdfbuild import PdfBuilder

    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    b.add(3, "<< " + " ".join("/K%05d %d" % (i, i) for i in range(50000, 0, -1)) + " /K00001 0 >>")
    text = quillet.Document(b.build()).object_text(3)
    assert text.startswith("<< /K00001 0 /K00002 2 /K00003 3 ")
    assert text.endswith(" /K50000 50000 >>")
