"""PDF text strings: titles and other metadata, outline titles, annotation
contents, form field names and values, page label prefixes and attached file
names.  A byte order mark names the encoding; otherwise valid UTF-8 reads as
UTF-8 and anything else as PDFDocEncoding."""

import pytest

import quillet
from pdfbuild import simple_pdf


def title(string: str) -> str:
    pdf = simple_pdf(["BT ET"], trailer="/Info 100 0 R", extra_objects=[(100, "<< /Title %s >>" % string)])
    return quillet.Document(pdf).metadata()["title"]


@pytest.mark.parametrize("string, text", [
    ("(plain)", "plain"),
    ("(caf\\351)", "caf\u00e9"),                       # PDFDocEncoding
    ("<80 18 A0 9F AD 7F>", "\u2022\u02d8\u20ac\ufffd\ufffd\ufffd"),  # its own letters; undefined codes
    ("<C3A9>", "\u00e9"),                              # valid UTF-8 stays UTF-8
    ("<EFBBBF C3A9>", "\u00e9"),                       # UTF-8 with its byte order mark
    ("<EFBBBF E9>", "\ufffd"),                         # ... which leaves no PDFDocEncoding
    ("<FEFF 00E9 D83D DE00>", "\u00e9\U0001F600"),     # UTF-16BE
    ("<FFFE E900 3DD8 00DE>", "\u00e9\U0001F600"),     # UTF-16LE
    ("<FFFE 00D8 41>", "\ufffd"),                      # unpaired surrogate; odd final byte ignored
])
def test_text_string_encodings(string, text):
    assert title(string) == text


def test_every_text_string_reader_uses_pdfdoc_encoding():
    e = "(\\351t\\351)"  # PDFDocEncoding for "été"
    pdf = simple_pdf(
        ["BT /F1 12 Tf %s Tj ET" % e],
        catalog_extra="/Outlines 101 0 R /AcroForm << /Fields [103 0 R] >> "
                      "/PageLabels << /Nums [0 << /S /D /P %s >>] >> "
                      "/Names << /EmbeddedFiles << /Names [(f) 104 0 R] >> >>" % e,
        page_extra="/Annots [106 0 R]",
        resources="<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>",
        trailer="/Info 107 0 R",
        extra_objects=[(101, "<< /First 102 0 R >>"), (102, "<< /Title %s >>" % e),
                       (103, "<< /FT /Tx /T %s /TU %s /V %s >>" % (e, e, e)),
                       (104, "<< /Type /Filespec /F %s /Desc %s /EF << /F 105 0 R >> >>" % (e, e)),
                       (105, "<< /Length 1 >>\nstream\nx\nendstream"),
                       (106, "<< /Subtype /Text /Rect [0 0 1 1] /Contents %s >>" % e),
                       (107, "<< /Title %s /Custom %s >>" % (e, e))])
    doc = quillet.Document(pdf)
    field = doc.form_fields()[0]
    attached = doc.embedded_files()[0]
    metadata = doc.metadata()
    assert [doc.outlines()[0]["title"], doc.page_annotations(0)[0]["contents"], field["name"],
            field["alternate_name"], attached["file_name"], attached["description"], metadata["title"],
            metadata["custom"]["Custom"]] == ["\u00e9t\u00e9"] * 8
    assert (field["value"], doc.page_labels()) == ("(\u00e9t\u00e9)", ["\u00e9t\u00e91"])
    # Shown text without a ToUnicode map and the raw object views read the
    # bytes as UTF-8, as they always have.
    assert doc.page_text(0) == "\ufffdt\ufffd"
    assert doc.object_text(102) == "<< /Title (\ufffdt\ufffd) >>"
