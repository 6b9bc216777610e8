"""Hand-laid PDF files for loader tests: cross-reference streams with chosen
rows, object streams with chosen headers, and helpers that place one object
body in a file so that lexer and parser errors show exact offsets.

    pdf, at = with_object(b"[1 2 R]")         # object 3 holds the value
    at                                        # offset of its first byte
    pdf = packed_pdf([(10, b"(abc)")])        # object 10 inside object stream 5
"""

from pdfbuild import PdfBuilder, xref_table

CATALOG = b"<< /Type /Catalog /Pages 2 0 R >>"
PAGES = b"<< /Type /Pages /Kids [] /Count 0 >>"


def with_object(body: bytes, number: int = 3) -> tuple[bytes, int]:
    """A classic file whose object `number` has `body` as its value; returns
    the file and the offset of the body's first byte."""
    b = PdfBuilder()
    b.add(1, CATALOG)
    b.add(2, PAGES)
    b.add(number, body)
    pdf = b.build()
    return pdf, b.offsets[number] + len(b"%d 0 obj\n" % number)


def trailer_tail(xref_offset: int) -> bytes:
    return b"startxref\n%d\n%%%%EOF\n" % xref_offset


def classic_file(objects: list[tuple[int, bytes]], trailer: bytes = b"", header: bytes = b"%PDF-1.7\n") -> bytes:
    """Objects written as "n 0 obj ... endobj", a standard table and trailer."""
    out = bytearray(header)
    where = {}
    for number, body in objects:
        where[(number, 0)] = len(out)
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    start = len(out)
    size = max([n for n, _ in where] + [0]) + 1
    out += xref_table(where)
    out += b"trailer\n<< /Size %d /Root 1 0 R%s >>\n" % (size, b" " + trailer if trailer else b"")
    out += trailer_tail(start)
    return bytes(out)


def xref_rows(rows: list[tuple[int, int, int]], widths=(1, 4, 2)) -> bytes:
    """Binary rows of a cross-reference stream, each field big-endian."""
    return b"".join(
        b"".join(value.to_bytes(width, "big") for value, width in zip(row, widths) if width) for row in rows
    )


def xref_stream_object(number: int, data: bytes, dict_text: bytes) -> bytes:
    return (b"%d 0 obj\n<< /Type /XRef /Length %d %s >>\nstream\n" % (number, len(data), dict_text)
            + data + b"\nendstream\nendobj\n")


def object_stream_body(objects: list[tuple[int, bytes]]) -> tuple[bytes, int]:
    """Decoded object-stream data: header pairs, then the objects separated
    by single spaces, with nothing after the last one.  Returns (data, /First)."""
    offsets, data = [], b""
    for _, body in objects:
        if data:
            data += b" "
        offsets.append(len(data))
        data += body
    header = b" ".join(b"%d %d" % (n, off) for (n, _), off in zip(objects, offsets)) + b"\n"
    return header + data, len(header)


def packed_pdf(packed: list[tuple[int, bytes]], stream_number: int = 5, stream_dict: bytes | None = None,
               stream_data: bytes | None = None, stream_generation: int = 0,
               extra_rows: list[tuple[int, tuple[int, int, int]]] = (), catalog: bytes = CATALOG) -> bytes:
    """A file with catalog 1 and page tree 2 as direct objects and the
    `packed` objects inside object stream `stream_number`, listed by a
    cross-reference stream as compressed entries (index = position)."""
    data, first = object_stream_body(packed)
    if stream_data is not None:
        data = stream_data
    if stream_dict is None:
        stream_dict = b"/Type /ObjStm /N %d /First %d" % (len(packed), first)
    out = bytearray(b"%PDF-1.7\n")
    offsets = {}
    for number, body in [(1, catalog), (2, PAGES)]:
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    offsets[stream_number] = len(out)
    out += (b"%d %d obj\n<< %s /Length %d >>\nstream\n" % (stream_number, stream_generation, stream_dict, len(data))
            + data + b"\nendstream\nendobj\n")
    rows = {0: (0, 0, 65535)}
    for number in (1, 2):
        rows[number] = (1, offsets[number], 0)
    rows[stream_number] = (1, offsets[stream_number], stream_generation)
    for index, (number, _) in enumerate(packed):
        rows[number] = (2, stream_number, index)
    for number, row in extra_rows:
        rows[number] = row
    xref_number = max(rows) + 1
    xref_at = len(out)
    rows[xref_number] = (1, xref_at, 0)
    numbers = sorted(rows)
    index = b" ".join(b"%d 1" % n for n in numbers)
    out += xref_stream_object(xref_number, xref_rows([rows[n] for n in numbers]),
                              b"/Size %d /W [1 4 2] /Index [%s] /Root 1 0 R" % (xref_number + 1, index))
    out += trailer_tail(xref_at)
    return bytes(out)


def packed_value_offset(packed: list[tuple[int, bytes]], position: int) -> int:
    """Offset, inside the decoded object-stream data, of packed object `position`."""
    _, first = object_stream_body(packed)
    return first + sum(len(body) + 1 for _, body in packed[:position])
