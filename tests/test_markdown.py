"""Markdown export: the exact text of to_markdown() (title, metadata table,
outline, page sections, references) and the per-page chunks of
page_chunks()."""

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf

FORMAT_ONLY_TABLE = "## Metadata\n\n| Field | Value |\n| --- | --- |\n|Format|PDF 1.7|\n\n"


def shown(text: str) -> str:
    """A content stream showing `text` line by line (T* between lines)."""
    lines = text.split("\n")
    return "BT " + " T* ".join("(%s) Tj" % line for line in lines) + " ET"


def doc(*pages: str, info: str | None = None, **kw) -> quillet.Document:
    """One page per text (shown with `shown`); `info` is the Info dictionary
    body, stored as object 90."""
    extra = list(kw.pop("extra_objects", []))
    trailer = ""
    if info is not None:
        extra.append((90, "<< " + info + " >>"))
        trailer = "/Info 90 0 R"
    return quillet.Document(simple_pdf([shown(p) if p else "" for p in pages], extra_objects=extra,
                                       trailer=trailer, **kw))


# ---- title and metadata table ----

def test_document_without_info_has_fallback_title_and_format_row():
    assert doc("Hello").to_markdown() == "# PDF Document\n\n" + FORMAT_ONLY_TABLE + "## Page 1\n\nHello\n\n"


@pytest.mark.parametrize("title, heading", [
    ("()", "PDF Document"),
    ("(   )", "PDF Document"),
    ("( Word )", "Word"),
    ("<FEFF00A0004100A0>", "A"),          # no-break spaces are white space
    ("(Two\\nLines)", "Two\nLines"),     # not escaped, inner break kept
    ("(A|B)", "A|B"),
    ("42", "42"),                        # Info numbers convert to text
    ("[(A)]", "PDF Document"),           # arrays do not
])
def test_title_heading(title, heading):
    md = doc("x", info="/Title " + title).to_markdown()
    assert md.startswith("# " + heading + "\n\n## Metadata\n\n")


def test_metadata_rows_in_order_escaped_and_blank_ones_left_out():
    info = ("/Title (T) /Producer (P) /Creator (C) /Keywords (  ) /Subject (S\\r) /Author (A|B\\nC) "
            "/CreationDate (D:2020) /ModDate (D:2021) /Trapped /True /Custom (x)")
    md = doc("x", info=info).to_markdown()
    assert md == ("# T\n\n## Metadata\n\n| Field | Value |\n| --- | --- |\n"
                  "|Author|A\\|B<br>C|\n"
                  "|Subject|S\r|\n"
                  "|Creator|C|\n"
                  "|Producer|P|\n"
                  "|Created|D:2020|\n"
                  "|Modified|D:2021|\n"
                  "|Format|PDF 1.7|\n\n"
                  "## Page 1\n\nx\n\n")


def test_value_is_written_untrimmed():
    md = doc("x", info="/Author ( Ann )").to_markdown()
    assert "|Author| Ann |\n" in md


def test_metadata_failure_ends_the_export():
    d = quillet.Document(simple_pdf([shown("x")], extra_objects=[(90, "[1 2]")], trailer="/Info 90 0 R"))
    with pytest.raises(ValueError, match="^type mismatch in trailer /Info: expected dictionary$"):
        d.to_markdown()
    with pytest.raises(ValueError, match="^type mismatch in trailer /Info: expected dictionary$"):
        d.page_chunks()


# ---- outline ----

def outline_doc(items: dict[int, str], first: str = "/First 101 0 R") -> quillet.Document:
    objects = [(100, "<< /Type /Outlines %s >>" % first)] + [(n, "<< " + b + " >>") for n, b in items.items()]
    return doc("Body", catalog_extra="/Outlines 100 0 R", extra_objects=objects)


def test_outline_nested_list():
    d = outline_doc({
        101: "/Title (Part 1) /First 102 0 R /Next 105 0 R /Dest [3 0 R /Fit]",
        102: "/Title (Chapter 1) /First 103 0 R /Next 104 0 R",
        103: "/Title ( Section | 1 ) /A << /S /URI /URI (https://example.org/) >>",
        104: "/Title (Chapter 2)",
        105: "/Title (Part 2)",
    })
    assert d.to_markdown() == ("# PDF Document\n\n" + FORMAT_ONLY_TABLE + "## Outline\n\n"
                               "- Part 1\n"
                               "  - Chapter 1\n"
                               "    -  Section | 1 \n"
                               "  - Chapter 2\n"
                               "- Part 2\n"
                               "\n"
                               "## Page 1\n\nBody\n\n")


@pytest.mark.parametrize("items, first", [
    ({}, "/First 101 0 R"),                                               # dangling first item
    ({101: "/Title (A) /Next 102 0 R", 102: "/Title (B) /Next 101 0 R"}, "/First 101 0 R"),  # cycle
    ({101: "/Title (A) /Next 102 0 R", 102: "/Dest [3 0 R /Fit]"}, "/First 101 0 R"),        # no title
    ({101: "/Title 5"}, "/First 101 0 R"),                                # title not a string
    ({}, "/First << /Title (A) >>"),                                      # root /First direct
    ({}, ""),                                                             # no items at all
])
def test_broken_or_empty_outline_is_left_out_silently(items, first):
    assert outline_doc(items, first).to_markdown() == "# PDF Document\n\n" + FORMAT_ONLY_TABLE + "## Page 1\n\nBody\n\n"


def test_outline_root_of_wrong_type_is_left_out():
    d = doc("Body", catalog_extra="/Outlines 100 0 R", extra_objects=[(100, "(not a dictionary)")])
    assert "## Outline" not in d.to_markdown()


# ---- pages and references ----

def test_empty_page_gives_only_its_heading():
    assert doc("", "Text", "").to_markdown() == (
        "# PDF Document\n\n" + FORMAT_ONLY_TABLE + "## Page 1\n\n## Page 2\n\nText\n\n## Page 3\n\n")


def test_page_text_is_trimmed_in_markdown_and_not_in_chunks():
    d = quillet.Document(simple_pdf(["BT (\\n\\n  Body  ) Tj ET"]))
    assert d.to_markdown().endswith("## Page 1\n\nBody\n\n")
    assert d.page_chunks()[0]["text"] == "\n\n  Body  "


def test_references_section_from_the_joined_page_texts():
    d = doc("Intro text", "", "References\n[1] A. Author, Title, 2020.")
    assert d.to_markdown() == (
        "# PDF Document\n\n" + FORMAT_ONLY_TABLE
        + "## Page 1\n\nIntro text\n\n## Page 2\n\n## Page 3\n\nReferences\n[1] A. Author, Title, 2020.\n\n"
        + "## Extracted References\n\nReferences\n[1] A. Author, Title, 2020.\n")


def test_references_keyword_on_one_page_and_list_on_the_next():
    # Pages are joined with a line feed, so the section spans both pages.
    md = doc("Bibliography", "[1] B. Writer, Book, 1999.").to_markdown()
    assert md.endswith("## Extracted References\n\nBibliography\n[1] B. Writer, Book, 1999.\n")


def test_leading_empty_pages_add_no_separator_to_the_references_text():
    # The section text is the same whether or not empty pages come first.
    with_empty = doc("", "", "References [1] Some Author, 2001.").to_markdown()
    assert with_empty.endswith("## Extracted References\n\nReferences [1] Some Author, 2001.\n")


def test_without_references_the_markdown_ends_with_the_last_text():
    assert doc("One", "Two").to_markdown().endswith("## Page 2\n\nTwo\n\n")
    assert doc("references").to_markdown().endswith("## Page 1\n\nreferences\n\n")  # too short for a section


def test_page_text_failure_ends_the_export():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R /Contents 9 0 R >>")
    d = quillet.Document(b.build())
    with pytest.raises(ValueError, match="^dangling reference to object 9 0$"):
        d.to_markdown()
    with pytest.raises(ValueError, match="^dangling reference to object 9 0$"):
        d.page_chunks()


# ---- page_chunks ----

CHUNK_KEYS = ["page_index", "page_number", "page_label", "page_id", "text", "metadata"]


def test_chunk_records():
    d = doc("One", "", info="/Title (T) /Author (A)")
    chunks = d.page_chunks()
    assert [list(c) for c in chunks] == [CHUNK_KEYS, CHUNK_KEYS]
    assert [(c["page_index"], c["page_number"], c["page_label"], c["page_id"], c["text"]) for c in chunks] == [
        (0, 1, "1", "3 0 R", "One"), (1, 2, "2", "5 0 R", "")]
    assert all(c["metadata"] == d.metadata() for c in chunks)
    chunks[0]["metadata"]["title"] = "changed"  # every chunk has its own dict
    assert chunks[1]["metadata"]["title"] == "T"


def test_chunk_labels_come_from_page_labels():
    labels = "/PageLabels << /Nums [0 << /S /r >> 2 << /P (A-) /St 5 /S /D >>] >>"
    d = doc("a", "b", "c", catalog_extra=labels)
    assert [c["page_label"] for c in d.page_chunks()] == ["i", "ii", "A-5"]


def test_chunk_label_failure_ends_the_call():
    d = doc("a", catalog_extra="/PageLabels << /Nums [0 << /S /d >>] >>")
    with pytest.raises(ValueError, match=r"^type mismatch in page label /S: expected /D, /R, /r, /A, or /a$"):
        d.page_chunks()
    # to_markdown does not use labels
    assert d.to_markdown().endswith("## Page 1\n\na\n\n")


FONTS = "<< /Font << /F2 100 0 R /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> " \
        "/XObject << /Im1 101 0 R >> >>"


def resources_doc(resources: str = FONTS, content: bytes = b"BT /F1 12 Tf (Hi) Tj ET") -> quillet.Document:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R /Resources %s >>" % resources)
    b.stream(4, content)
    b.add(5, "<< /Type /Page /Parent 2 0 R /Contents 6 0 R >>")
    b.stream(6, b"")
    b.add(100, "<< /Type /Font /Subtype /TrueType /BaseFont /Arial /Encoding /WinAnsiEncoding >>")
    b.stream(101, b"\x00\xff", "/Type /XObject /Subtype /Image /Width 2 /Height 1 /BitsPerComponent 8 "
                               "/ColorSpace /DeviceGray")
    return quillet.Document(b.build())


@pytest.mark.parametrize("flags, extra_keys", [
    ({}, []),
    ({"include_fonts": False, "include_images": False}, []),
    ({"include_fonts": True}, ["fonts"]),
    ({"include_images": True}, ["images"]),
    ({"include_fonts": True, "include_images": True}, ["fonts", "images"]),
])
def test_chunk_keys_follow_the_flags(flags, extra_keys):
    chunks = resources_doc().page_chunks(**flags)
    assert [list(c) for c in chunks] == [CHUNK_KEYS + extra_keys] * 2


def test_chunk_fonts_and_images_are_the_document_listings_of_the_page():
    d = resources_doc()
    chunks = d.page_chunks(include_fonts=True, include_images=True)
    fonts, images = d.fonts(), d.images()
    assert [f["name"] for f in chunks[0]["fonts"]] == ["F1", "F2"]
    assert chunks[0]["fonts"] == [f for f in fonts if f["page_index"] == 0]
    assert chunks[0]["images"] == [i for i in images if i["page_index"] == 0]
    assert chunks[0]["images"][0]["page_id"] == "3 0 R"
    assert chunks[1]["fonts"] == [] and chunks[1]["images"] == []


def test_chunk_font_and_image_failures_are_raised():
    d = resources_doc("<< /Font << /F1 7 >> /XObject << /Im1 8 >> >>", b"BT (Hi) Tj ET")
    assert len(d.page_chunks()) == 2  # the text does not select the broken font
    with pytest.raises(ValueError, match="^type mismatch in font resource: expected dictionary$"):
        d.page_chunks(include_fonts=True)
    with pytest.raises(ValueError, match=r"^type mismatch in page /Resources /XObject item: expected stream$"):
        d.page_chunks(include_images=True)


def test_chunk_flags_must_be_bool():
    d = doc("x")
    with pytest.raises(TypeError, match="^argument 'include_fonts': "):
        d.page_chunks(include_fonts=1)
    with pytest.raises(TypeError, match="^argument 'include_images': "):
        d.page_chunks(False, None)
    with pytest.raises(TypeError, match="^argument 'reading': "):
        d.to_markdown(1)


def test_font_cmaps_are_shared_across_pages():
    # Two pages naming one font object: both decode through its CMap.
    cmap = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
            b"1 begincodespacerange <00> <FF> endcodespacerange\n"
            b"1 beginbfchar <01> <0041> endbfchar\nendcmap end end\n")
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 /Resources << /Font << /F1 7 0 R >> >> >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>")
    b.stream(4, b"BT /F1 1 Tf <01> Tj ET")
    b.add(5, "<< /Type /Page /Parent 2 0 R /Contents 6 0 R >>")
    b.stream(6, b"BT /F1 1 Tf <0101> Tj ET")
    b.add(7, "<< /Type /Font /Subtype /Type0 /ToUnicode 8 0 R >>")
    b.stream(8, cmap)
    d = quillet.Document(b.build())
    assert d.to_markdown().endswith("## Page 1\n\nA\n\n## Page 2\n\nAA\n\n")
    assert [c["text"] for c in d.page_chunks()] == ["A", "AA"]
