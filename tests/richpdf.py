"""One small document with something for every method: two pages, a font
with a descriptor and an embedded program, an image drawn directly and
through a form, links of each target kind, a note, an outline, named
destinations from both sources, a form field, page labels, Info and XMP
metadata and an attached file.

    pdf = rich_pdf()
"""

from pdfbuild import PdfBuilder

XMP = b'<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/"/><?xpacket end="w"?>'
PAGE_ONE_TEXT = b"BT /F1 12 Tf (Hello, sample) Tj T* (References) Tj T* ([1] A. Author, A title, 2020.) Tj ET"


def rich_pdf() -> bytes:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 20 0 R /Dests 30 0 R /Names 31 0 R /AcroForm 40 0 R"
             " /PageLabels << /Nums [0 << /S /r >> 1 << /S /D /P (P-) >>] >> /Metadata 50 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 5 0 R"
             " /Resources << /Font << /F1 10 0 R >> /XObject << /Fm0 13 0 R /Im1 12 0 R >> >>"
             " /Annots [60 0 R 61 0 R 62 0 R 63 0 R 64 0 R 41 0 R] >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Rotate 90 /Contents 6 0 R"
             " /Resources << /XObject << /Im1 12 0 R >> >> >>")
    b.stream(5, PAGE_ONE_TEXT)
    b.stream(6, b"q 100 0 0 50 0 0 cm /Im1 Do Q")
    b.add(10, "<< /Type /Font /Subtype /TrueType /BaseFont /Helvetica /Encoding /WinAnsiEncoding"
              " /FontDescriptor 11 0 R >>")
    b.add(11, "<< /Type /FontDescriptor /FontName /Helvetica /Flags 32 /ItalicAngle 0 /Ascent 718 /Descent -207"
              " /CapHeight 718 /StemV 88 /FontFile2 14 0 R >>")
    b.stream(14, b"not really a font program", "/Length1 25")
    b.stream(12, b"\x00\xff", "/Type /XObject /Subtype /Image /Width 2 /Height 1 /BitsPerComponent 8"
                               " /ColorSpace /DeviceGray")
    b.stream(13, b"/Im2 Do", "/Type /XObject /Subtype /Form /BBox [0 0 10 10]"
                             " /Resources << /XObject << /Im2 12 0 R >> >>")
    # Outline: an explicit destination with a named child, then a URI.
    b.add(20, "<< /Type /Outlines /First 21 0 R /Last 23 0 R /Count 3 >>")
    b.add(21, "<< /Title (Introduction) /Dest [3 0 R /Fit] /First 22 0 R /Last 22 0 R /Next 23 0 R >>")
    b.add(22, "<< /Title (Chapter) /Dest /chapter >>")
    b.add(23, "<< /Title (Website) /A << /S /URI /URI (https://example.org/) >> >>")
    b.add(30, "<< /chapter [4 0 R /Fit] >>")
    b.add(31, "<< /Dests << /Names [(intro) [3 0 R /XYZ 0 792 0]] >>"
              " /EmbeddedFiles << /Names [(notes.txt) 70 0 R] >> >>")
    b.add(40, "<< /Fields [41 0 R] >>")
    b.add(41, "<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Ada) /Rect [72 600 272 620] /P 3 0 R >>")
    b.stream(50, XMP, "/Type /Metadata /Subtype /XML")
    b.add(60, "<< /Type /Annot /Subtype /Link /Rect [72 700 200 714] /A << /S /URI /URI (https://example.org/) >> >>")
    b.add(61, "<< /Type /Annot /Subtype /Link /Rect [72 680 200 694] /Dest /chapter >>")
    b.add(62, "<< /Type /Annot /Subtype /Link /Rect [72 660 200 674] /Dest [4 0 R /Fit] >>")
    b.add(63, "<< /Type /Annot /Subtype /Link /Rect [72 640 200 654] /A << /S /Launch /F (other.pdf) >> >>")
    b.add(64, "<< /Type /Annot /Subtype /Text /Rect [300 700 320 720] /Contents (A note) >>")
    b.add(70, "<< /Type /Filespec /F (notes.txt) /UF (notes.txt) /Desc (Notes) /EF << /F 71 0 R >> >>")
    b.stream(71, b"hello", "/Type /EmbeddedFile /Subtype /text#2Fplain /Params << /Size 5 >>")
    b.add(80, "<< /Title (Sample) /Author (Ada) /CreationDate (D:20240101000000Z) /Reviewed (yes) >>")
    return b.build(trailer="/Info 80 0 R")
