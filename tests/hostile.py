"""Small hostile files: each one makes a naive reader spend memory or time far
out of proportion to its size.  Used by test_bounds.py, and handy for
measuring a build by hand:

    python tests/hostile.py               # list the generators and file sizes
    python tests/hostile.py NAME out.pdf  # write one of them

Every file is built here, byte for byte, from the builders the other tests
use.
"""

import sys
import zlib

from pdfbuild import PdfBuilder, simple_pdf
from rawpdf import packed_pdf

MIB = 1 << 20


def deflate_zeros(size_mib: int) -> bytes:
    """A zlib stream of `size_mib` MiB of zero bytes, built in time and memory
    proportional to its compressed size: after a full flush the compressor's
    state is reset, so every further MiB of zeros compresses to the same
    bytes, which are simply repeated."""
    c = zlib.compressobj(9)
    head = c.compress(bytes(MIB)) + c.flush(zlib.Z_FULL_FLUSH)
    segment = c.compress(bytes(MIB)) + c.flush(zlib.Z_FULL_FLUSH)
    tail = c.flush()  # the final empty block and the Adler-32 of two MiB
    total = size_mib * MIB
    # Adler-32 of zeros: the running sum stays 1, the second sum counts bytes.
    checksum = ((total % 65521) << 16) | 1
    return head + segment * (size_mib - 1) + tail[:-4] + checksum.to_bytes(4, "big")


def flate_bomb(size_mib: int, layers: int = 2) -> bytes:
    """`size_mib` MiB of zeros deflated `layers` times over."""
    data = deflate_zeros(size_mib)
    for _ in range(layers - 1):
        data = zlib.compress(data, 9)
    return data


def filters_text(layers: int) -> str:
    return "/Filter [%s]" % " ".join(["/FlateDecode"] * layers)


def objstm_bomb(size_mib: int = 4096) -> bytes:
    """An object stream (decoded at load) that inflates to `size_mib` MiB,
    deflated twice: a 4 GiB load from a file of a few kilobytes."""
    data = flate_bomb(size_mib, 2)
    return packed_pdf([(3, b"null")], stream_data=data,
                      stream_dict=b"/Type /ObjStm /N 1 /First 4 " + filters_text(2).encode())


def content_bomb(size_mib: int = 4096, wrap: str = "") -> bytes:
    """One page whose content stream inflates to `size_mib` MiB, deflated
    twice; `wrap` "hex" or "a85" stores the result as ASCII text around the
    Flate layers, as chained filters do."""
    data = flate_bomb(size_mib, 2)
    filters = ["/FlateDecode", "/FlateDecode"]
    if wrap == "hex":
        data = data.hex().encode() + b">"
        filters.insert(0, "/ASCIIHexDecode")
    elif wrap == "a85":
        import base64
        data = base64.a85encode(data) + b"~>"
        filters.insert(0, "/ASCII85Decode")
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>")
    b.stream(4, data, "/Filter [%s]" % " ".join(filters))
    return b.build()


def dag_pages(levels: int = 5, fanout: int = 16, content: bytes = b"BT (" + b"x" * 1000 + b") Tj ET",
              resources: str = "") -> bytes:
    """A page tree whose node k lists node k + 1 `fanout` times: one page
    object and a few hundred bytes describe fanout ** levels page
    occurrences, all sharing one content stream (and `resources`).  The
    declared counts are left at 1, as a hostile file would."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 10 0 R >>")
    for k in range(levels):
        kid = 10 + k + 1 if k + 1 < levels else 3
        kids = " ".join(["%d 0 R" % kid] * fanout)
        b.add(10 + k, "<< /Type /Pages /Kids [%s] /Count 1 >>" % kids)
    page = "<< /Type /Page /MediaBox [0 0 612 792] /Contents 4 0 R"
    if resources:
        page += " /Resources " + resources
    b.add(3, page + " >>")
    b.stream(4, zlib.compress(content, 9), "/Filter /FlateDecode")
    return b.build()


SHARED_LINE = b"BT /F1 12 Tf (Some text shown on every page) Tj ET\n"


def shared_content_size(content_kib: int) -> int:
    """The decoded size of the content stream of shared_content."""
    return len(SHARED_LINE) * (content_kib * 1024 // len(SHARED_LINE))


def shared_content(pages: int = 20000, content_kib: int = 1024) -> bytes:
    """`pages` distinct page objects that all show one content stream of
    `content_kib` KiB (compressed to a few KiB)."""
    content = SHARED_LINE * (content_kib * 1024 // len(SHARED_LINE))
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = " ".join("%d 0 R" % (10 + i) for i in range(pages))
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, pages))
    b.stream(3, zlib.compress(content, 9), "/Filter /FlateDecode")
    for i in range(pages):
        b.add(10 + i, "<< /Type /Page /Parent 2 0 R /Contents 3 0 R >>")
    return b.build()


def shared_resources(pages: int = 4000, fonts: int = 4000) -> bytes:
    """`pages` page objects sharing one resource dictionary that names
    `fonts` fonts: fonts() reports pages * fonts records."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = " ".join("%d 0 R" % (10 + i) for i in range(pages))
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d /Resources 4 0 R >>" % (kids, pages))
    b.add(3, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.add(4, "<< /Font << %s >> >>" % " ".join("/F%d 3 0 R" % i for i in range(fonts)))
    for i in range(pages):
        b.add(10 + i, "<< /Type /Page /Parent 2 0 R >>")
    return b.build()


def shared_embedded_file(names: int = 5000, size_mib: int = 64) -> bytes:
    """One embedded file of `size_mib` MiB (deflated once) listed under
    `names` names."""
    b = PdfBuilder()
    pairs = " ".join("(file%05d) 5 0 R" % i for i in range(names))
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Names << /EmbeddedFiles 4 0 R >> >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    b.add(4, "<< /Names [%s] >>" % pairs)
    b.add(5, "<< /Type /Filespec /F (data.bin) /EF << /F 6 0 R >> >>")
    b.stream(6, deflate_zeros(size_mib), "/Type /EmbeddedFile /Filter /FlateDecode")
    return b.build()


def long_label_prefix(objects: int = 50000, prefix_mib: int = 1) -> bytes:
    """A page label range whose prefix is `prefix_mib` MiB, and a declared
    page count as large as the file's object count allows: one copy of the
    prefix per page."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /PageLabels << /Nums [0 3 0 R] >> >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count %d >>" % objects)
    b.add(3, b"<< /S /D /P (" + b"p" * (prefix_mib * MIB) + b") >>")
    for i in range(objects):
        b.add(10 + i, "null")
    return b.build()


def long_code_cmap(lengths: int = 300, shown_kib: int = 1024) -> bytes:
    """A font whose ToUnicode CMap maps codes of `lengths` different lengths
    (5 bytes and up, all made of one byte value) and a page showing a long
    run of that byte that no code matches in full: a decoder that tries every
    length at every position does lengths * shown work."""
    entries = "".join("<%s> <0041>\n" % ("41" * k + "42") for k in range(4, 4 + lengths))
    cmap = ("/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
            "%d beginbfchar\n%sendbfchar\nendcmap CMapName currentdict /CMap defineresource pop end end\n"
            % (lengths, entries)).encode()
    content = b"BT /F1 12 Tf <" + b"41" * (shown_kib * 1024) + b"> Tj ET"
    return simple_pdf(
        [content], compress=True,
        resources="<< /Font << /F1 100 0 R >> >>",
        extra_objects=[(100, "<< /Type /Font /Subtype /Type0 /BaseFont /X /ToUnicode 101 0 R >>"),
                       (101, b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(zlib.compress(cmap, 9))
                        + zlib.compress(cmap, 9) + b"\nendstream")])


def nested_annots(depth: int = 256) -> bytes:
    """A page whose /Annots is an indirect array nested `depth` levels deep
    (the deepest a loader accepts when the array is its own object): copied
    into the page dictionary by an annotation update, it sits one level
    deeper."""
    value = "[" * depth + "]" * depth
    return simple_pdf(["BT (x) Tj ET"], page_extra="/Annots 100 0 R", extra_objects=[(100, value)])


GENERATORS = {
    "objstm_bomb": objstm_bomb,
    "content_bomb": content_bomb,
    "content_bomb_hex": lambda: content_bomb(wrap="hex"),
    "content_bomb_a85": lambda: content_bomb(wrap="a85"),
    "dag_pages": dag_pages,
    "shared_content": shared_content,
    "shared_resources": shared_resources,
    "shared_embedded_file": shared_embedded_file,
    "long_label_prefix": long_label_prefix,
    "long_code_cmap": long_code_cmap,
    "nested_annots": nested_annots,
}


if __name__ == "__main__":
    if len(sys.argv) == 3:
        with open(sys.argv[2], "wb") as f:
            f.write(GENERATORS[sys.argv[1]]())
    else:
        for name, make in GENERATORS.items():
            print("%-22s %9d bytes" % (name, len(make())))
