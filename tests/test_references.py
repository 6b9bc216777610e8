"""The references section: the last heading-like keyword to the end of the
document's text."""

import pytest

import quillet
from pdfbuild import simple_pdf


def escape(line: str) -> bytes:
    data = line.encode("utf-8")
    return b"(" + data.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)") + b")"


def references(*pages: str):
    """references_text() of a document whose pages hold these texts (lines
    split at line feeds, shown with T*)."""
    contents = [b"BT " + b" T* ".join(escape(line) + b" Tj" for line in page.split("\n")) + b" ET"
                for page in pages]
    doc = quillet.Document(simple_pdf(contents))
    assert doc.text() == "\n".join(pages)  # the text is what the test says
    return doc.references_text()


ENTRY = "[1] A. Author, Title, 2020."


@pytest.mark.parametrize("pages, section", [
    (["Intro\nReferences\n" + ENTRY], "References\n" + ENTRY),
    (["Intro\nREFERENCES\n" + ENTRY], "REFERENCES\n" + ENTRY),
    (["Intro\nBibliography\n" + ENTRY], "Bibliography\n" + ENTRY),
    (["Intro\n参考文献\n" + ENTRY], "参考文献\n" + ENTRY),
    # The last keyword wins, even inside a sentence of the bibliography.
    (["References\n[1] On bibliography tools and more, 2020."], "bibliography tools and more, 2020."),
    (["See the references below.\nMore text here.\nReferences\n" + ENTRY], "References\n" + ENTRY),
    (["Text with references inline and a long tail after it"], "references inline and a long tail after it"),
    # Sections run to the end, across pages, and keep trailing white space.
    (["Intro", "References\n[1] A.", "[2] B. Author, 2021.\n"], "References\n[1] A.\n[2] B. Author, 2021.\n"),
    (["Body\nreferences"], None),
    (["No keyword here at all, only a long text."], None),
    ([""], None),
])
def test_sections(pages, section):
    assert references(*pages) == section


@pytest.mark.parametrize("tail, found", [
    ("x" * 11, True),     # "References" + 11 bytes: exactly 21
    ("x" * 10, False),    # 20 bytes
    ("x" * 10 + "\n\n", False),
    ("\u3000x" * 4, True),  # "References" + 4 * 4 bytes: 26 bytes, ends in x
    ("x" * 10 + "\u3000\u2003", False),  # Unicode white space is trimmed too
])
def test_minimum_length_after_trimming(tail, found):
    result = references("Intro\nReferences" + tail)
    assert result == ("References" + tail if found else None)


def test_keyword_after_a_character_that_changes_length_when_lower_cased():
    # U+0130 lower-cases to two characters (three bytes instead of two); the
    # section still starts exactly at the keyword.
    text = "\u0130stanbul \u0130\u0130\u0130 notes\nReferences\n" + ENTRY
    assert references(text) == "References\n" + ENTRY


def test_keyword_after_kelvin_sign():
    # U+212A lower-cases to the one-byte k.
    assert references("\u212a\u212a\u212a\nBibliography\n" + ENTRY) == "Bibliography\n" + ENTRY


def test_no_pages():
    from pdfbuild import PdfBuilder
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    assert quillet.Document(b.build()).references_text() is None


def test_text_errors_pass_through():
    doc = quillet.Document(simple_pdf(["(References and more) Tj ]"]))
    with pytest.raises(ValueError, match="^invalid token at byte 26: unexpected content token ArrayEnd$"):
        doc.references_text()
