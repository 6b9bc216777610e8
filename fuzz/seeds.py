"""Writes the fuzzer's seed corpus: small PDF files built with the test
suite's own builders (tests/pdfbuild.py, tests/rawpdf.py, tests/hostile.py),
one or more for every feature the fuzz target reads, so that mutation
starts from files that reach deep into the library.

    python3 fuzz/seeds.py DIRECTORY
"""

import os
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import hostile  # noqa: E402
from pdfbuild import PdfBuilder, resource_pages_pdf, simple_pdf, update  # noqa: E402
from rawpdf import packed_pdf  # noqa: E402
from richpdf import rich_pdf  # noqa: E402

CMAP = b"""/CIDInit /ProcSet findresource begin 12 dict begin begincmap
1 begincodespacerange <0000> <FFFF> endcodespacerange
2 beginbfchar <0003> <0020> <0011> <0048> endbfchar
2 beginbfrange <0012> <0014> <0065> <0020> <0022> [<0041> <D835DC00> <00410042>] endbfrange
1 beginbfchar <0102030405> <0058> endbfchar
endcmap end end"""

TEXT = b"BT /F1 12 Tf 72 720 Td (Hello) Tj T* [(Wor) -250 (ld)] TJ (next) ' 1 2 (q) \" ET"
CID_TEXT = b"BT /F2 10 Tf <0011001200130003001400200021> Tj <0102030405> Tj ET"
FONTS = "<< /Font << /F1 100 0 R /F2 101 0 R >> /XObject << /Im1 110 0 R /Fm1 111 0 R >> >>"


def text_and_fonts() -> bytes:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 /Resources %s /MediaBox [0 0 612 792] >>" % FONTS)
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents [5 0 R 6 0 R] /Rotate 90 >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R /Contents 7 0 R /CropBox [10 10 600 780] >>")
    b.stream(5, TEXT)
    b.stream(6, zlib.compress(CID_TEXT), "/Filter /FlateDecode")
    b.stream(7, b"BT /F1 9 Tf (References) Tj T* ([1] A. Author, A paper, 2020.) Tj ET")
    b.add(100, "<< /Type /Font /Subtype /TrueType /BaseFont /Arial /FirstChar 32 /LastChar 34 "
               "/Widths [250 300 350] /Encoding /WinAnsiEncoding /FontDescriptor 102 0 R >>")
    b.add(101, "<< /Type /Font /Subtype /Type0 /BaseFont /Cid /Encoding /Identity-H /ToUnicode 103 0 R "
               "/DescendantFonts [104 0 R] >>")
    b.add(102, "<< /Type /FontDescriptor /FontName /Arial /Flags 32 /ItalicAngle 0 /Ascent 905 /Descent -212 "
               "/CapHeight 716 /StemV 80 /FontFile2 105 0 R >>")
    b.stream(103, CMAP)
    b.add(104, "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /Cid /W [1 [500 600] 10 20 700] >>")
    b.stream(105, zlib.compress(b"\x00\x01\x00\x00" + bytes(60)), "/Filter /FlateDecode /Length1 64")
    b.stream(110, zlib.compress(bytes(range(12))), "/Type /XObject /Subtype /Image /Width 2 /Height 2 "
             "/BitsPerComponent 8 /ColorSpace /DeviceRGB /Filter /FlateDecode")
    b.stream(111, b"/Im2 Do", "/Type /XObject /Subtype /Form /BBox [0 0 1 1] "
             "/Resources << /XObject << /Im2 112 0 R >> >>")
    b.stream(112, bytes(range(16)), "/Type /XObject /Subtype /Image /Width 2 /Height 2 "
             "/BitsPerComponent 8 /ColorSpace /DeviceCMYK")
    b.add(120, "<< /Title (A \\(title\\)) /Author <FEFF00C9> /CreationDate (D:20200101120000Z) /Custom (x) >>")
    return b.build(trailer="/Info 120 0 R /ID [<0102> <0304>]")


def navigation() -> bytes:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 20 0 R /Dests << /here [3 0 R /Fit] >> "
             "/Names << /Dests 30 0 R /EmbeddedFiles 31 0 R >> /PageLabels << /Nums [0 << /S /r >> "
             "1 << /S /A /P (App-) /St 27 >>] >> /AcroForm << /Fields [40 0 R] >> /Metadata 50 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [10 0 R 11 0 R 12 0 R 42 0 R] >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots 13 0 R >>")
    b.add(10, "<< /Type /Annot /Subtype /Link /Rect [0 0 10 10] /A << /S /URI /URI (https://a.example/) >> >>")
    b.add(11, "<< /Type /Annot /Subtype /Link /Rect [0 0 10 10] /Dest (there) >>")
    b.add(12, "<< /Type /Annot /Subtype /Text /Rect [0 0 10 10] /Contents (A note) >>")
    b.add(13, "[<< /Type /Annot /Subtype /Link /Rect [1 1 2 2] /A << /S /GoTo /D /here >> >>]")
    b.add(20, "<< /Type /Outlines /First 21 0 R /Last 22 0 R /Count 2 >>")
    b.add(21, "<< /Title (One) /Parent 20 0 R /Next 22 0 R /Dest [3 0 R /XYZ 0 792 0] /First 23 0 R /Last 23 0 R >>")
    b.add(22, "<< /Title <FEFF0054> /Parent 20 0 R /Prev 21 0 R /A << /S /URI /URI (u) >> >>")
    b.add(23, "<< /Title (Inner) /Parent 21 0 R /Dest /here >>")
    b.add(30, "<< /Kids [32 0 R] >>")
    b.add(32, "<< /Limits [(a) (z)] /Names [(there) [4 0 R /FitH 100] (z) << /D [3 0 R /Fit] >>] >>")
    b.add(31, "<< /Names [(a.txt) 33 0 R (b.txt) 33 0 R] >>")
    b.add(33, "<< /Type /Filespec /F (a.txt) /UF <FEFF0061> /Desc (An attachment) /EF << /F 34 0 R >> >>")
    b.stream(34, zlib.compress(b"attached bytes\n" * 20), "/Type /EmbeddedFile /Subtype /text#2Fplain "
             "/Filter /FlateDecode /Params << /Size 300 >>")
    b.add(40, "<< /T (form) /FT /Tx /Ff 2 /V (value) /Kids [41 0 R 42 0 R] >>")
    b.add(41, "<< /T (a) /Parent 40 0 R /FT /Btn /V /On /DA (/Helv 0 Tf) >>")
    b.add(42, "<< /T (b) /Parent 40 0 R /Type /Annot /Subtype /Widget /Rect [0 0 5 5] /P 3 0 R >>")
    b.stream(50, b'<?xpacket?><x:xmpmeta xmlns:x="adobe:ns:meta/"><dc:title>T</dc:title></x:xmpmeta>',
             "/Type /Metadata /Subtype /XML")
    return b.build()


def filters() -> bytes:
    data = b"BT (filtered) Tj ET"
    rows = b"".join(b"\x02" + bytes([i, i + 1, i + 2, i + 3]) for i in range(4))
    run_length = b"\x02abc\xfex\x80"
    return simple_pdf([data], extra_objects=[
        (100, b"<< /Length %d /Filter [/ASCIIHexDecode /FlateDecode] >>\nstream\n" % (2 * len(zlib.compress(data)) + 1)
         + zlib.compress(data).hex().encode() + b">\nendstream"),
        (101, b"<< /Length 12 /Filter /A85 >>\nstream\n<~87cURDZ~>\nendstream"),
        (102, b"<< /Length %d /Filter /Fl /DecodeParms << /Predictor 12 /Columns 4 >> >>\nstream\n"
         % len(zlib.compress(rows)) + zlib.compress(rows) + b"\nendstream"),
        (103, b"<< /Length %d /Filter /RunLengthDecode >>\nstream\n" % len(run_length) + run_length + b"\nendstream"),
        (104, b"<< /Length 2 /Filter /DCTDecode >>\nstream\n\xff\xd8\nendstream"),
    ])


def packed() -> bytes:
    return packed_pdf([(3, b"<< /Type /Page /Parent 2 0 R >>"), (4, b"[1 2.5 (s) /n <ab> true null 9 0 R]"),
                       (6, b"<< /Nested << /Deeper [[[]]] >> >>")])


def incremental() -> bytes:
    base = simple_pdf(["BT (v1) Tj ET"], trailer="/Info 100 0 R", extra_objects=[(100, "<< /Title (Old) >>")])
    return update(base, [(100, "<< /Title (New) /Producer (p) >>"), (3, "<< /Type /Page /Parent 2 0 R "
                                                                          "/Contents 4 0 R /Annots [] >>")],
                  trailer="/Info 100 0 R")


def seeds() -> dict[str, bytes]:
    return {
        "rich.pdf": rich_pdf(),
        "text_and_fonts.pdf": text_and_fonts(),
        "navigation.pdf": navigation(),
        "filters.pdf": filters(),
        "packed.pdf": packed(),
        "incremental.pdf": incremental(),
        "xref_stream.pdf": PdfBuilder().add(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .add(2, "<< /Type /Pages /Kids [] /Count 0 >>").build(xref_stream=True),
        "resources.pdf": resource_pages_pdf(["<< /XObject << /X 10 0 R >> >>", None],
                                            streams=[(10, b"\x00\xff", "/Subtype /Image /Width 2 /Height 1 "
                                                      "/BitsPerComponent 8 /ColorSpace /DeviceGray")]),
        "dag_pages.pdf": hostile.dag_pages(levels=2, fanout=2, content=b"BT (x) Tj ET"),
        "long_codes.pdf": hostile.long_code_cmap(lengths=12, shown_kib=1),
        "nested_annots.pdf": hostile.nested_annots(depth=30),
        "labels.pdf": hostile.long_label_prefix(objects=5, prefix_mib=0),
        "embedded.pdf": hostile.shared_embedded_file(names=3, size_mib=1),
        "content_bomb.pdf": hostile.content_bomb(size_mib=2),
    }


if __name__ == "__main__":
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
