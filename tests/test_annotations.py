"""Page annotations: every entry of a page's /Annots in order, with its id,
subtype, rectangle and contents taken only when stored directly."""

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf


def annotated(annots: str, objects=(), pages: int = 1) -> quillet.Document:
    """A document whose pages all carry `annots` as their /Annots value."""
    return quillet.Document(simple_pdf(["BT ET"] * pages, page_extra="/Annots " + annots, extra_objects=objects))


def test_page_without_annots_or_with_empty_array_has_none():
    assert quillet.Document(simple_pdf(["BT ET"])).page_annotations(0) == []
    assert annotated("[]").page_annotations(0) == []


def test_annotation_record_keys_and_values():
    doc = annotated("[100 0 R]", [(100, "<< /Type /Annot /Subtype /Text /Rect [10 20.5 30 40] /Contents (Note) >>")])
    assert doc.page_annotations(0) == [
        {"id": "100 0 R", "subtype": "Text", "rect": [10.0, 20.5, 30.0, 40.0], "contents": "Note"}
    ]
    assert list(doc.page_annotations(0)[0]) == ["id", "subtype", "rect", "contents"]


def test_every_subtype_is_listed_in_annots_order_without_deduplication():
    doc = annotated(
        "[101 0 R << /Subtype /Link >> 100 0 R 101 0 R]",
        [(100, "<< /Subtype /Widget >>"), (101, "<< /Subtype /Popup >>")],
    )
    assert [(a["id"], a["subtype"]) for a in doc.page_annotations(0)] == [
        ("101 0 R", "Popup"), (None, "Link"), ("100 0 R", "Widget"), ("101 0 R", "Popup")]


def test_annots_given_by_reference_is_followed():
    doc = annotated("50 0 R", [(50, "[100 0 R]"), (100, "<< /Subtype /Square >>")])
    assert [a["id"] for a in doc.page_annotations(0)] == ["100 0 R"]


def test_annotation_stored_as_stream_uses_its_dictionary():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Annots [4 0 R] >>")
    b.stream(4, b"xyz", "/Subtype /FileAttachment /Contents (att)")
    [annotation] = quillet.Document(b.build()).page_annotations(0)
    assert (annotation["id"], annotation["subtype"], annotation["contents"]) == ("4 0 R", "FileAttachment", "att")


def test_annots_are_read_from_the_page_only_not_inherited():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Annots [<< /Subtype /Text >>] >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    assert quillet.Document(b.build()).page_annotations(0) == []


@pytest.mark.parametrize("annots, objects, message", [
    ("[5]", [], "type mismatch in page /Annots item: expected dictionary"),
    ("[100 0 R (x)]", [(100, "<< /Subtype /Text >>")], "type mismatch in page /Annots item: expected dictionary"),
    ("[100 0 R]", [(100, "[1 2]")], "type mismatch in page /Annots item: expected dictionary"),
    ("<< /Subtype /Text >>", [], "type mismatch in page /Annots: expected array"),
    ("50 0 R", [(50, "42")], "type mismatch in page /Annots: expected array"),
    ("99 0 R", [], "dangling reference to object 99 0"),
    ("[<< /Subtype /Text >> 99 0 R]", [], "dangling reference to object 99 0"),
])
def test_malformed_annots_fail_the_whole_call(annots, objects, message):
    with pytest.raises(ValueError) as error:
        annotated(annots, objects).page_annotations(0)
    assert str(error.value) == message


@pytest.mark.parametrize("rect, expected", [
    ("[0 0 612 792]", [0.0, 0.0, 612.0, 792.0]),
    ("[30 40 10 -20.25]", [30.0, 40.0, 10.0, -20.25]),  # kept in file order, not normalised
    ("[1 2 3 4 5]", None),
    ("[1 2 3]", None),
    ("[1 2 3 (4)]", None),
    ("[1 2 3 50 0 R]", None),
    ("50 0 R", None),
    ("(0 0 1 1)", None),
])
def test_rect_is_four_direct_numbers_or_none(rect, expected):
    doc = annotated("[<< /Subtype /Square /Rect %s >>]" % rect, [(50, "[1 2 3 4]")])
    assert doc.page_annotations(0)[0]["rect"] == expected


@pytest.mark.parametrize("entry, expected", [
    (b"/Contents (caf\xc3\xa9)", "caf\u00e9"),
    (b"/Contents <FEFF00480069D83DDE00>", "Hi\U0001F600"),
    (b"/Contents (\xff\xfe)", ""),  # UTF-16LE, empty
    (b"/Contents ()", ""),
    (b"/Contents /Name", None),
    (b"/Contents 50 0 R", None),
    (b"", None),
])
def test_contents_is_a_direct_text_string(entry, expected):
    objects = [(50, "(indirect)"), (100, b"<< /Subtype /Text " + entry + b" >>")]
    assert annotated("[100 0 R]", objects).page_annotations(0)[0]["contents"] == expected


@pytest.mark.parametrize("entry, expected", [
    ("/Subtype /Highlight", "Highlight"),
    ("/Subtype /A#C3#A9", "A\u00e9"),
    ("/Subtype /#FF", "\ufffd"),
    ("/Subtype (Text)", None),
    ("/Subtype 50 0 R", None),
    ("", None),
])
def test_subtype_is_a_direct_name(entry, expected):
    doc = annotated("[<< %s >>]" % entry, [(50, "/Text")])
    assert doc.page_annotations(0)[0]["subtype"] == expected


def test_each_page_has_its_own_annotations():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R /Annots [<< /Subtype /Ink >>] >>")
    doc = quillet.Document(b.build())
    assert doc.page_annotations(0) == []
    assert [a["subtype"] for a in doc.page_annotations(1)] == ["Ink"]


def test_page_index_out_of_range():
    doc = annotated("[]", pages=2)
    assert doc.page_annotations(index=1) == []
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_annotations(2)


def test_annotation_listed_many_times_shares_its_contents():
    # A long note listed once per /Annots entry is one str, not a copy each.
    doc = annotated("[" + " 100 0 R" * 50 + "]", [(100, "<< /Subtype /Text /Contents (" + "n" * 100_000 + ") >>")])
    records = doc.page_annotations(0)
    assert len(records) == 50 and len(records[0]["contents"]) == 100_000
    assert all(r["contents"] is records[0]["contents"] for r in records)
