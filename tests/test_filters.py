"""Stream filters, exercised through the streams a load must decode: object
streams and cross-reference streams.  A filter that gets one byte wrong makes
the packed objects unparsable or changes their text."""

import base64
import re
import zlib

import pytest

import quillet
from pdfbuild import PdfBuilder

PACKED = [
    (1, "<< /Type /Catalog /Pages 2 0 R >>"),
    (2, "<< /Type /Pages /Kids [] /Count 0 >>"),
    (3, "[" + " ".join(str(i) for i in range(300)) + "]"),
    (4, "(" + "x" * 300 + ")"),
    # Bytes from the whole range, so that every predictor sum and wrap-around
    # is taken: UTF-8 text of two- and three-byte characters.
    (5, ("(" + "".join(chr(0x80 + (i * 37) % 0x780) + chr(0x3000 + (i * 101) % 0x5000) for i in range(400)) + ")")
     .encode("utf-8")),
]
CATALOG_TEXT = "<< /Pages 2 0 R /Type /Catalog >>"


def objstm_data(packed=PACKED) -> tuple[bytes, int]:
    """The decoded body of an object stream holding `packed`, and its /First."""
    offsets, bodies = [], b""
    for _, body in packed:
        offsets.append(len(bodies))
        bodies += (body.encode("latin-1") if isinstance(body, str) else body) + b"\n"
    header = b" ".join(b"%d %d" % (n, off) for (n, _), off in zip(packed, offsets)) + b"\n"
    return header + bodies, len(header)


def objstm_pdf(packed=PACKED, encode=lambda d: d, filter_text="", xref_encode=lambda d: d, xref_filter_text="",
               data: bytes | None = None, direct=()) -> bytes:
    """A document whose objects `packed` live in object stream 10, stored as
    encode(body) (or `data` verbatim) with `filter_text` in its dictionary,
    and whose `direct` objects (numbers 12 and up) are stored as such;
    cross-reference stream 11 (/W [1 4 2], rows stored as xref_encode(rows))
    lists everything."""
    body, first = objstm_data(packed)
    stored = data if data is not None else encode(body)
    b = PdfBuilder()
    b.stream(10, stored, "/Type /ObjStm /N %d /First %d %s" % (len(packed), first, filter_text))
    for number, text in direct:
        b.add(number, text)
    out, where = b.body()
    start = len(out)
    entries = {0: (0, 0, 65535), 10: (1, where[(10, 0)], 0), 11: (1, start, 0)}
    entries.update({n: (1, where[(n, 0)], 0) for n, _ in direct})
    for i, (n, _) in enumerate(packed):
        entries[n] = (2, 10, i)
    rows = b"".join(bytes([t]) + f2.to_bytes(4, "big") + f3.to_bytes(2, "big") for _, (t, f2, f3) in sorted(entries.items()))
    index = b" ".join(b"%d 1" % n for n in sorted(entries))
    xdata = xref_encode(rows)
    xref = (b"11 0 obj\n<< /Type /XRef /Size %d /W [1 4 2]" % (max(entries) + 1) + b" /Index [%s] /Root 1 0 R /Length %d %s >>\nstream\n"
            % (index, len(xdata), xref_filter_text.encode()) + xdata + b"\nendstream\nendobj\n")
    return out + xref + b"startxref\n%d\n%%%%EOF\n" % start


def load_error(pdf: bytes) -> str:
    with pytest.raises(ValueError) as info:
        quillet.Document(pdf)
    return str(info.value)


def assert_packed_loaded(doc):
    assert doc.object_text(1) == CATALOG_TEXT
    assert doc.object_text(3) == "[" + " ".join(str(i) for i in range(300)) + "]"
    assert doc.object_text(4) == "(" + "x" * 300 + ")"
    assert doc.object_text(5) == PACKED[4][1].decode("utf-8")


# ---- reference encoders ----

def hex_encode(data: bytes) -> bytes:
    return data.hex().upper().encode() + b">"


def run_length_encode(data: bytes) -> bytes:
    """Repeat runs for 3+ equal bytes, literal runs otherwise, then EOD."""
    out, i, literal = bytearray(), 0, bytearray()

    def flush():
        while literal:
            chunk = literal[:128]
            out.append(len(chunk) - 1)
            out.extend(chunk)
            del literal[:128]

    while i < len(data):
        j = i
        while j < len(data) and j - i < 128 and data[j] == data[i]:
            j += 1
        if j - i >= 3:
            flush()
            out.extend([257 - (j - i), data[i]])
            i = j
        else:
            literal.append(data[i])
            i += 1
    flush()
    return bytes(out) + b"\x80"


def paeth(a, b, c):
    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def png_encode(data: bytes, row_bytes: int, bpp: int, types) -> bytes:
    """PNG row filtering of `data` (a whole number of rows), row r using
    types[r % len(types)]."""
    assert len(data) % row_bytes == 0
    out, prev = bytearray(), bytes(row_bytes)
    for r in range(len(data) // row_bytes):
        row = data[r * row_bytes:(r + 1) * row_bytes]
        t = types[r % len(types)]
        out.append(t)
        for i in range(row_bytes):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            predicted = (0, a, b, (a + b) // 2, paeth(a, b, c))[t]
            out.append((row[i] - predicted) & 0xFF)
        prev = row
    return bytes(out)


def padded(data: bytes, multiple: int) -> bytes:
    return data + b" " * (-len(data) % multiple)


# ---- decoding ----

@pytest.mark.parametrize("filter_text, encode", [
    ("/Filter /FlateDecode", zlib.compress),
    ("/Filter /Fl", zlib.compress),
    ("/Filter /RunLengthDecode", run_length_encode),
    ("/Filter /RL", lambda d: run_length_encode(d)[:-1]),  # no end marker
    ("/Filter /ASCII85Decode", lambda d: base64.a85encode(d) + b"~>"),
    ("/Filter /A85", lambda d: b"<~" + base64.a85encode(d, wrapcol=60) + b"~>garbage"),
    ("/Filter /A85", base64.a85encode),  # no ~> at the end
    ("/Filter /ASCIIHexDecode", hex_encode),
    ("/Filter /AHx", lambda d: b" \n".join(d.hex().encode()[i:i + 7] for i in range(0, 2 * len(d), 7)) + b"> junk"),
    ("/Filter [/ASCII85Decode /FlateDecode]", lambda d: base64.a85encode(zlib.compress(d)) + b"~>"),
    ("/Filter [/AHx /RL /Fl]", lambda d: hex_encode(run_length_encode(zlib.compress(d)))),
    ("/Filter []", lambda d: d),
])
def test_object_stream_filters_decode(filter_text, encode):
    doc = quillet.Document(objstm_pdf(encode=encode, filter_text=filter_text))
    assert_packed_loaded(doc)


def test_ascii_hex_odd_digit_is_padded_with_zero():
    # The last byte of the body is "\n" (0x0A); dropping its final digit
    # leaves "0", read as 0x00: a NUL is white space, so objects still parse.
    doc = quillet.Document(objstm_pdf(encode=lambda d: d.hex().encode()[:-1], filter_text="/Filter /AHx"))
    assert_packed_loaded(doc)


def test_ascii85_zero_groups_and_white_space():
    # Eight trailing NULs (PDF white space after the last object) encode as
    # "zz"; white space of every kind is sprinkled between the digits.
    body, first = objstm_data()
    encoded = base64.a85encode(padded(body, 4) + bytes(8))
    assert encoded.endswith(b"zz")
    spaced = b"\t\n".join(encoded[i:i + 3] for i in range(0, len(encoded), 3))
    doc = quillet.Document(objstm_pdf(data=b"<~" + spaced + b"\r\f\0 ~>", filter_text="/Filter /A85"))
    assert_packed_loaded(doc)


def test_truncated_flate_gives_what_was_decompressed():
    # Without its Adler-32 trailer the stream still yields all its data.
    doc = quillet.Document(objstm_pdf(encode=lambda d: zlib.compress(d)[:-4], filter_text="/Filter /FlateDecode"))
    assert_packed_loaded(doc)


def test_flate_with_a_wrong_adler32_gives_its_data():
    # The data inflated whole; only its checksum is wrong.
    doc = quillet.Document(objstm_pdf(encode=lambda d: zlib.compress(d)[:-4] + b"\0\0\0\0",
                                      filter_text="/Filter /FlateDecode"))
    assert_packed_loaded(doc)


def test_truncated_flate_inside_the_data_is_not_an_error():
    # Cut inside the deflate data: only a prefix decompresses, so the load
    # fails later, in the object parser, not in the filter.
    message = load_error(objstm_pdf(encode=lambda d: zlib.compress(d, 0)[:40], filter_text="/Filter /FlateDecode"))
    assert message == "unexpected end of PDF data"


def test_flate_large_expansion_is_decoded_in_full():
    body, first = objstm_data()
    data = body + b" " * (8 << 20)
    doc = quillet.Document(objstm_pdf(data=zlib.compress(data, 9), filter_text="/Filter /FlateDecode"))
    assert_packed_loaded(doc)


@pytest.mark.parametrize("colors, bpc, columns", [(1, 8, 4), (3, 8, 5), (2, 16, 3), (1, 1, 20), (3, 4, 5), (1, 2, 7)])
@pytest.mark.parametrize("predictor", [10, 12, 15])
def test_png_predictor_round_trips(colors, bpc, columns, predictor):
    bits = colors * bpc
    bpp, row_bytes = (bits + 7) // 8, (bits * columns + 7) // 8
    body, first = objstm_data()
    data = png_encode(padded(body, row_bytes), row_bytes, bpp, [0, 1, 2, 3, 4, 4, 3, 1])
    params = "<< /Predictor %d /Colors %d /BitsPerComponent %d /Columns %d >>" % (predictor, colors, bpc, columns)
    doc = quillet.Document(objstm_pdf(data=zlib.compress(data), filter_text="/Filter /FlateDecode /DecodeParms " + params))
    assert_packed_loaded(doc)


def test_xref_stream_with_up_predictor():
    # The usual shape of cross-reference streams written by PDF producers.
    pdf = objstm_pdf(xref_encode=lambda rows: zlib.compress(png_encode(rows, 7, 1, [2])),
                     xref_filter_text="/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 7 >>")
    assert_packed_loaded(quillet.Document(pdf))


def test_hex_then_flate_with_predictor_parameters_per_filter():
    body, first = objstm_data()
    data = zlib.compress(png_encode(padded(body, 4), 4, 1, [2, 1]))
    pdf = objstm_pdf(data=hex_encode(data),
                     filter_text="/Filter [/ASCIIHexDecode /FlateDecode] /DecodeParms [null << /Predictor 12 /Columns 4 >>]")
    assert_packed_loaded(quillet.Document(pdf))


def test_dp_is_used_when_decode_parms_is_absent():
    body, first = objstm_data()
    data = zlib.compress(png_encode(padded(body, 4), 4, 1, [1]))
    pdf = objstm_pdf(data=data, filter_text="/Filter /FlateDecode /DP << /Predictor 12 /Columns 4 >>")
    assert_packed_loaded(quillet.Document(pdf))


def test_null_decode_parms_hides_dp():
    pdf = objstm_pdf(encode=zlib.compress, filter_text="/Filter /FlateDecode /DecodeParms null /DP << /Predictor 99 >>")
    assert_packed_loaded(quillet.Document(pdf))


@pytest.mark.parametrize("params", ["<< >>", "<< /Predictor 1 /Columns 9 >>", "<< /Colors 0 >>"])
def test_predictor_1_or_absent_leaves_data_alone(params):
    pdf = objstm_pdf(encode=zlib.compress, filter_text="/Filter /FlateDecode /DecodeParms " + params)
    assert_packed_loaded(quillet.Document(pdf))


def test_parameters_of_other_filters_are_ignored():
    pdf = objstm_pdf(encode=hex_encode, filter_text="/Filter /AHx /DecodeParms << /Predictor 5 >>")
    assert_packed_loaded(quillet.Document(pdf))


# ---- refusals and failures ----

def flate_error(name: str, message: str) -> str:
    return "failed to decode /%s stream: %s" % (name, message)


@pytest.mark.parametrize("name", ["LZWDecode", "LZW", "DCTDecode", "DCT", "CCITTFaxDecode", "CCF", "JBIG2Decode",
                                  "JPXDecode", "Crypt"])
def test_unsupported_filters_are_refused(name):
    assert load_error(objstm_pdf(filter_text="/Filter /" + name)) == flate_error(name, "filter is not supported yet")


@pytest.mark.parametrize("name", ["Foo", "flatedecode", "AHX", "JBIG2", "JPX"])
def test_unknown_filters_are_refused(name):
    assert load_error(objstm_pdf(filter_text="/Filter /" + name)) == flate_error(name, "unknown filter")


def test_first_failing_filter_of_a_chain_is_reported():
    assert load_error(objstm_pdf(encode=hex_encode, filter_text="/Filter [/AHx /Foo]")) == flate_error("Foo", "unknown filter")
    assert load_error(objstm_pdf(filter_text="/Filter [/DCT /Foo]")) == flate_error("DCT", "filter is not supported yet")


def test_failing_xref_stream_fails_the_load():
    pdf = objstm_pdf(xref_encode=lambda rows: b"\x00" + rows, xref_filter_text="/Filter /Fl")
    assert load_error(pdf) == flate_error("Fl", "corrupt deflate stream")


@pytest.mark.parametrize("data", [
    b"not zlib at all",
    b"\x78\x9c\xff\xff\xff",                         # good header, invalid block type
    b"\x78\x9d" + zlib.compress(b"x")[2:],           # header check bits wrong
    b"\x78\xbb\x00\x00\x00\x01" + zlib.compress(b"abc")[2:],  # asks for a preset dictionary
])
def test_corrupt_deflate(data):
    assert load_error(objstm_pdf(data=data, filter_text="/Filter /FlateDecode")) == flate_error(
        "FlateDecode", "corrupt deflate stream")


def test_empty_flate_input_decodes_to_nothing():
    # An empty decoded body is shorter than /First: the object-stream check
    # reports it, not the filter.
    assert load_error(objstm_pdf(data=b"", filter_text="/Filter /FlateDecode")) == "invalid indirect object header"


def predictor_pdf(params: str, raw: bytes = b"\x00\x01\x02\x03\x04" * 3) -> bytes:
    return objstm_pdf(data=zlib.compress(raw), filter_text="/Filter /FlateDecode /DecodeParms " + params)


@pytest.mark.parametrize("params, message", [
    ("<< /Predictor 2 >>", "TIFF predictor is not supported yet"),
    ("<< /Predictor 0 >>", "invalid predictor value"),
    ("<< /Predictor 5 >>", "invalid predictor value"),
    ("<< /Predictor 9 >>", "invalid predictor value"),
    ("<< /Predictor 16 >>", "invalid predictor value"),
    ("<< /Predictor 12 /Colors 0 >>", "invalid PNG predictor parameters"),
    ("<< /Predictor 12 /BitsPerComponent 0 >>", "invalid PNG predictor parameters"),
    ("<< /Predictor 12 /Columns 0 >>", "invalid PNG predictor parameters"),
    ("<< /Predictor 12 /Columns 5 >>", "invalid PNG predictor row length"),
    ("<< /Predictor 12 /Colors 4294967296 /BitsPerComponent 4294967296 >>", "PNG predictor row is too wide"),
    ("<< /Predictor 12 /Colors 4294967296 /Columns 4294967296 >>", "PNG predictor row is too wide"),
    ("<< /Predictor 12 /Colors 9223372036854775807 /BitsPerComponent 2 >>", "PNG predictor row is too wide"),
    # 2^64 - 8 row bits is still allowed: the rows are then simply too long.
    ("<< /Predictor 12 /Colors 2305843009213693951 >>", "invalid PNG predictor row length"),
])
def test_predictor_failures(params, message):
    assert load_error(predictor_pdf(params)) == flate_error("FlateDecode", message)


def test_predictor_row_length_of_nine_bytes_with_four_columns():
    message = load_error(predictor_pdf("<< /Predictor 12 /Columns 4 >>", raw=b"\x00abcd\x00abc"))
    assert message == flate_error("FlateDecode", "invalid PNG predictor row length")


@pytest.mark.parametrize("row_type", [5, 255])
def test_unknown_png_row_filter(row_type):
    raw = b"\x00abcd" + bytes([row_type]) + b"abcd"
    message = load_error(predictor_pdf("<< /Predictor 12 /Columns 4 >>", raw=raw))
    assert message == flate_error("FlateDecode", "invalid PNG predictor row filter")


@pytest.mark.parametrize("key, value", [("Columns", "4.0"), ("Columns", "-1"), ("Predictor", "12.0"),
                                        ("Colors", "1 0 R"), ("BitsPerComponent", "/Eight")])
def test_predictor_parameter_type_mismatch(key, value):
    message = load_error(predictor_pdf("<< /Predictor 12 /%s %s >>" % (key, value) if key != "Predictor"
                                       else "<< /Predictor %s >>" % value))
    assert message == "type mismatch in stream /DecodeParms /%s: expected non-negative integer" % key


@pytest.mark.parametrize("filter_text, message", [
    ("/Filter 5", "type mismatch in stream /Filter: expected name or array"),
    ("/Filter (FlateDecode)", "type mismatch in stream /Filter: expected name or array"),
    ("/Filter 1 0 R", "type mismatch in stream /Filter: expected name or array"),
    ("/Filter [/AHx 5]", "type mismatch in stream /Filter item: expected name"),
    ("/Filter [/AHx /AHx] /DecodeParms << >>",
     "type mismatch in stream /DecodeParms: expected array when /Filter is an array"),
    ("/Filter [/AHx /AHx] /DecodeParms [null]", "type mismatch in stream /DecodeParms: expected one entry per filter"),
    ("/Filter /AHx /DecodeParms [null null]", "type mismatch in stream /DecodeParms: expected one entry per filter"),
    ("/Filter [/AHx] /DecodeParms [5]", "type mismatch in stream /DecodeParms item: expected dictionary or null"),
    ("/Filter /AHx /DecodeParms 5", "type mismatch in stream /DecodeParms: expected dictionary, array, or null"),
    ("/Filter /AHx /DecodeParms 1 0 R", "type mismatch in stream /DecodeParms: expected dictionary, array, or null"),
    ("/Filter /AHx /DP /X", "type mismatch in stream /DecodeParms: expected dictionary, array, or null"),
])
def test_filter_and_parameter_shapes(filter_text, message):
    assert load_error(objstm_pdf(encode=hex_encode, filter_text=filter_text)) == message


FLATE = (12, "/FlateDecode")
HEX_FLATE = (13, "[/AHx 12 0 R]")
NO_PREDICTION = (14, "<< /Predictor 12 /Columns %d >>" % len(objstm_data()[0]))


def png_none_row(data: bytes) -> bytes:
    """One PNG predictor row of filter type None."""
    return zlib.compress(b"\x00" + data)


@pytest.mark.parametrize("filter_text, encode, direct", [
    ("/Filter 12 0 R", zlib.compress, [FLATE]),
    ("/Filter 13 0 R", lambda d: hex_encode(zlib.compress(d)), [FLATE, HEX_FLATE]),
    ("/Filter /Fl /DecodeParms 14 0 R", png_none_row, [NO_PREDICTION]),
    ("/Filter [/Fl] /DP 15 0 R", png_none_row, [NO_PREDICTION, (15, "[14 0 R]")]),
])
def test_indirect_filter_entries_are_resolved(filter_text, encode, direct):
    doc = quillet.Document(objstm_pdf(encode=encode, filter_text=filter_text, direct=direct))
    assert_packed_loaded(doc)
    raw = doc.object_text(10)
    assert all(ref in raw for ref in re.findall(r"\d+ 0 R", filter_text))  # the raw view keeps them


def test_filter_entries_may_name_compressed_objects():
    # Resolved once every object is loaded (an object stream's own entries
    # can only name objects stored directly).
    xmp = zlib.compress(b"<x:xmpmeta/>")
    packed = [(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 12 0 R >>"), PACKED[1], (6, "[/FlateDecode]")]
    stream = b"<< /Length %d /Filter 6 0 R >>\nstream\n" % len(xmp) + xmp + b"\nendstream"
    assert quillet.Document(objstm_pdf(packed, direct=[(12, stream)])).metadata_xml() == "<x:xmpmeta/>"


def test_one_large_filter_array_named_by_many_streams_is_bounded():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>").add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    b.add(3, "[" + "/AHx " * 20_000 + "]")
    for number in range(10, 2010):
        b.stream(number, b"", "/Filter 3 0 R")
    message = load_error(b.build())
    assert re.fullmatch(r"type mismatch in stream filter entries: expected at most \d+ bytes of resolved objects", message)


@pytest.mark.parametrize("filter_text, direct, message", [
    ("/Filter 12 0 R", [], "type mismatch in stream /Filter: expected name or array"),
    ("/Filter 12 0 R", [(12, "13 0 R"), (13, "/FlateDecode")], "type mismatch in stream /Filter: expected name or array"),
    ("/Filter [12 0 R]", [(12, "(FlateDecode)")], "type mismatch in stream /Filter item: expected name"),
    ("/Filter /Fl /DecodeParms 12 0 R", [(12, "/Predictor")],
     "type mismatch in stream /DecodeParms: expected dictionary, array, or null"),
])
def test_indirect_filter_entries_of_the_wrong_kind(filter_text, direct, message):
    # A missing object, a reference to a reference (one level only) and
    # values of the wrong kind are refused as before.
    assert load_error(objstm_pdf(encode=zlib.compress, filter_text=filter_text, direct=direct)) == message


@pytest.mark.parametrize("data, message", [
    (b"\x05ab", "truncated literal run"),
    (b"\x00a\xfe", "truncated repeat run"),
])
def test_run_length_failures(data, message):
    assert load_error(objstm_pdf(data=data, filter_text="/Filter /RL")) == flate_error("RL", message)


def test_run_length_stops_at_end_marker():
    body, first = objstm_data()
    data = run_length_encode(body) + b"\x05ab"  # after the marker: ignored
    assert_packed_loaded(quillet.Document(objstm_pdf(data=data, filter_text="/Filter /RL")))


@pytest.mark.parametrize("data, message", [
    (b"87cURD]v~>", "invalid ASCII85 byte"),
    (b"87cURD\x0b]~>", "invalid ASCII85 byte"),       # vertical tab is not white space here
    (b"87cURD]~", "invalid ASCII85 byte"),
    (b"87cURD]~x>", "invalid ASCII85 byte"),
    (b"87cz~>", "invalid ASCII85 byte"),
    (b"87cUR!~>", "invalid short ASCII85 group"),
    (b"!", "invalid short ASCII85 group"),
    (b"uuuuu~>", "ASCII85 group overflow"),
    (b"s8W-\"~>", "ASCII85 group overflow"),           # 2^32: one above the largest group
    (b"uuuu~>", "ASCII85 group overflow"),            # padded short group
])
def test_ascii85_failures(data, message):
    assert load_error(objstm_pdf(data=data, filter_text="/Filter /A85")) == flate_error("A85", message)


def test_ascii85_largest_group_is_accepted():
    # s8W-! is 2^32 - 1: its four bytes decode, and only the object-stream
    # check (data shorter than /First) rejects them.
    message = load_error(objstm_pdf(data=b"s8W-!~>", filter_text="/Filter /A85"))
    assert message == "invalid indirect object header"


@pytest.mark.parametrize("data", [b"4G>", b"48 65 6C 6C 6F 0x>", b"\x0b>"])
def test_ascii_hex_invalid_digit(data):
    assert load_error(objstm_pdf(data=data, filter_text="/Filter /AHx")) == flate_error("AHx", "invalid ASCIIHex digit")
