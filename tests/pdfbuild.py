"""Build small PDF files for tests with every offset computed exactly.

    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>")
    b.stream(4, b"BT (Hi) Tj ET")                     # /Length filled in
    b.stream(5, zlib.compress(data), "/Filter /FlateDecode")
    pdf = b.build()                                   # classic xref table
    pdf = b.build(xref_stream=True)                   # cross-reference stream
    b.offsets[3]                                      # byte offset of "3 0 obj"

Object bodies are str (encoded latin-1) or bytes.  `simple_pdf` makes a whole
document from page content strings.  `update` appends an incremental section.
"""

import shutil
import subprocess
import zlib

Body = str | bytes


def _b(x: Body) -> bytes:
    return x.encode("latin-1") if isinstance(x, str) else x


class PdfBuilder:
    def __init__(self, version: str = "1.7", header: bytes | None = None):
        self.header = header if header is not None else b"%PDF-" + version.encode() + b"\n%\xe2\xe3\xcf\xd3\n"
        self.objects: list[tuple[int, int, bytes]] = []  # (number, generation, whole "n g obj ... endobj")
        self.offsets: dict[int, int] = {}
        self.startxref = 0

    def add(self, number: int, body: Body, generation: int = 0) -> "PdfBuilder":
        """An indirect object whose value is `body`."""
        whole = b"%d %d obj\n" % (number, generation) + _b(body) + b"\nendobj\n"
        self.objects.append((number, generation, whole))
        return self

    def stream(self, number: int, data: bytes, extra: Body = b"", generation: int = 0, length: Body | None = None):
        """A stream object with /Length filled in (or `length` given as text)."""
        length_text = _b(length) if length is not None else str(len(data)).encode()
        dict_text = b"<< /Length " + length_text + (b" " + _b(extra) if extra else b"") + b" >>"
        return self.add(number, dict_text + b"\nstream\n" + data + b"\nendstream", generation)

    def raw(self, number: int, whole: Body, generation: int = 0) -> "PdfBuilder":
        """An object written exactly as given (header and endobj included)."""
        self.objects.append((number, generation, _b(whole)))
        return self

    def body(self) -> tuple[bytes, dict[tuple[int, int], int]]:
        out = bytearray(self.header)
        where = {}
        for number, generation, whole in self.objects:
            where[(number, generation)] = len(out)
            self.offsets[number] = len(out)
            out += whole
        return bytes(out), where

    def build(self, root: int = 1, trailer: Body = b"", xref_stream: bool = False, size: int | None = None) -> bytes:
        """The whole file: body, cross-reference section, trailer, startxref."""
        out, where = self.body()
        if size is None:
            size = max([n for n, _ in where] + [0]) + 1
        extra = (b" " + _b(trailer)) if trailer else b""
        if xref_stream:
            number = size
            where[(number, 0)] = len(out)
            entries = {0: (0, 0, 65535)}
            for (n, g), off in where.items():
                entries[n] = (1, off, g)
            rows = b"".join(
                bytes([t]) + o.to_bytes(4, "big") + g.to_bytes(2, "big")
                for _, (t, o, g) in sorted(entries.items())
            )
            index = b" ".join(b"%d 1" % n for n in sorted(entries))
            dict_text = b"<< /Type /XRef /Size %d /W [1 4 2] /Index [%s] /Root %d 0 R /Length %d%s >>" % (
                number + 1, index, root, len(rows), extra)
            self.startxref = len(out)
            out += b"%d 0 obj\n" % number + dict_text + b"\nstream\n" + rows + b"\nendstream\nendobj\n"
        else:
            self.startxref = len(out)
            out += xref_table(where)
            out += b"trailer\n<< /Size %d /Root %d 0 R%s >>\n" % (size, root, extra)
        out += b"startxref\n%d\n%%%%EOF\n" % self.startxref
        return bytes(out)


def xref_table(where: dict[tuple[int, int], int], free_head: bool = True) -> bytes:
    """A classic table with one subsection per run of consecutive numbers."""
    entries = {}
    if free_head:
        entries[0] = b"0000000000 65535 f \n"
    for (n, g), off in where.items():
        entries[n] = b"%010d %05d n \n" % (off, g)
    out = bytearray(b"xref\n")
    numbers = sorted(entries)
    i = 0
    while i < len(numbers):
        j = i
        while j + 1 < len(numbers) and numbers[j + 1] == numbers[j] + 1:
            j += 1
        out += b"%d %d\n" % (numbers[i], j - i + 1)
        for n in numbers[i:j + 1]:
            out += entries[n]
        i = j + 1
    return bytes(out)


def update(base: bytes, objects: list[tuple[int, Body]], root: int = 1, trailer: Body = b"") -> bytes:
    """Append an incremental section holding `objects` to `base`."""
    prev = int(base[base.rindex(b"startxref") + 9:].split()[0])
    out = bytearray(base)
    if not out.endswith(b"\n"):
        out += b"\n"
    where = {}
    for number, body in objects:
        where[(number, 0)] = len(out)
        out += b"%d 0 obj\n" % number + _b(body) + b"\nendobj\n"
    start = len(out)
    out += xref_table(where, free_head=False)
    size = max(n for n, _ in where) + 1
    extra = (b" " + _b(trailer)) if trailer else b""
    out += b"trailer\n<< /Size %d /Root %d 0 R /Prev %d%s >>\nstartxref\n%d\n%%%%EOF\n" % (
        size, root, prev, extra, start)
    return bytes(out)


def simple_pdf(pages: list[Body], resources: Body = "", extra_objects: list[tuple[int, Body]] = (),
               catalog_extra: Body = "", page_extra: Body = "", trailer: Body = b"", compress: bool = False) -> bytes:
    """A document with one page per content string: catalog 1, page tree 2,
    pages 3, 5, 7, ... with their content streams 4, 6, 8, ...  Extra objects
    should use numbers from 100 on."""
    b = PdfBuilder()
    n = len(pages)
    kids = " ".join("%d 0 R" % (3 + 2 * i) for i in range(n))
    b.add(1, "<< /Type /Catalog /Pages 2 0 R" + (" " + catalog_extra if catalog_extra else "") + " >>")
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, n))
    for i, content in enumerate(pages):
        page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents %d 0 R" % (4 + 2 * i)
        if resources:
            page += " /Resources " + (resources if isinstance(resources, str) else resources.decode("latin-1"))
        if page_extra:
            page += " " + (page_extra if isinstance(page_extra, str) else page_extra.decode("latin-1"))
        b.add(3 + 2 * i, page + " >>")
        data = _b(content)
        if compress:
            b.stream(4 + 2 * i, zlib.compress(data), "/Filter /FlateDecode")
        else:
            b.stream(4 + 2 * i, data)
    for number, body in extra_objects:
        b.add(number, body)
    return b.build(trailer=trailer)


def resource_pages_pdf(page_resources: list[Body | None], objects=(), streams=(), pages_extra: Body = "") -> bytes:
    """Catalog 1, page tree 2 (with `pages_extra`), pages 3, 4, ... with the
    given /Resources texts (None: no entry); extra objects (number, body) and
    streams (number, data, dictionary entries), numbered from 10 on."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = " ".join("%d 0 R" % (3 + i) for i in range(len(page_resources)))
    b.add(2, b"<< /Type /Pages /Kids [%s] /Count %d %s >>" % (kids.encode(), len(page_resources), _b(pages_extra)))
    for i, resources in enumerate(page_resources):
        entry = b" /Resources " + _b(resources) if resources is not None else b""
        b.add(3 + i, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]%s >>" % entry)
    for number, body in objects:
        b.add(number, body)
    for number, data, extra in streams:
        b.stream(number, data, extra)
    return b.build()


def qpdf_check(pdf: bytes, tmp_path) -> None:
    """An external checker agrees the file is sound (when it is installed)."""
    if shutil.which("qpdf") is None:
        return
    path = tmp_path / "checked.pdf"
    path.write_bytes(pdf)
    result = subprocess.run(["qpdf", "--check", str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
