"""Outlines: the bookmark tree from /First and /Next, titles decoded,
destinations and actions kept raw, cycles refused, and hostile depth and
sharing bounded."""

from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS, checker_password, checker_reports, outline_tree


def outline_doc(items: dict[int, str], first: str = "/First 101 0 R", root_extra: str = "") -> quillet.Document:
    """A document whose outline root (object 100) has `first`; `items` maps
    object numbers to item dictionaries (written without << >>)."""
    objects = [(100, "<< /Type /Outlines %s %s >>" % (first, root_extra))]
    objects += [(n, "<< " + body + " >>") for n, body in items.items()]
    return quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=objects))


def shape(items: list[dict]) -> list:
    return [(i["title"], shape(i["children"])) for i in items]


def test_no_outlines_or_no_first_gives_empty_list():
    assert quillet.Document(simple_pdf(["BT ET"])).outlines() == []
    assert outline_doc({}, first="").outlines() == []


def test_tree_in_reading_order_with_record_keys():
    doc = outline_doc({
        101: "/Title (Part 1) /First 102 0 R /Next 104 0 R /Dest [3 0 R /Fit] /Count 2 /Last 103 0 R",
        102: "/Title (Chapter 1) /Next 103 0 R /Parent 101 0 R",
        103: "/Title (Chapter 2) /A << /S /URI /URI (https://example.org/) >>",
        104: "/Title (Part 2) /Prev 101 0 R",
    })
    items = doc.outlines()
    assert shape(items) == [("Part 1", [("Chapter 1", []), ("Chapter 2", [])]), ("Part 2", [])]
    assert items[0] == {
        "id": "101 0 R", "title": "Part 1", "destination": "[3 0 R /Fit]", "action": None,
        "children": [
            {"id": "102 0 R", "title": "Chapter 1", "destination": None, "action": None, "children": []},
            {"id": "103 0 R", "title": "Chapter 2", "destination": None,
             "action": "<< /S /URI /URI (https://example.org/) >>", "children": []},
        ],
    }
    assert list(items[0]) == ["id", "title", "destination", "action", "children"]


@pytest.mark.parametrize("title, expected", [
    ("()", ""),
    ("(Plain)", "Plain"),
    ("<FEFF004B00F60020D83DDE00>", "K\u00f6 \U0001F600"),
    ("<FEFFD800>", "\ufffd"),
    ("<C3A9>", "\u00e9"),
    ("<E9>", "\u00e9"),  # PDFDocEncoding
])
def test_titles_are_decoded_text_strings(title, expected):
    assert outline_doc({101: "/Title " + title}).outlines()[0]["title"] == expected


def test_title_given_by_reference_is_read_not_refused():
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=[
        (100, "<< /First 101 0 R >>"),
        (101, "<< /Title 50 0 R /Next 102 0 R >>"),
        (102, "<< /Title 51 0 R >>"),
        (50, "<FEFF0041>"),
        (51, "/NotAString"),
    ]))
    with pytest.raises(ValueError, match="^type mismatch in outline item /Title: expected string$"):
        doc.outlines()
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=[
        (100, "<< /First 101 0 R >>"), (101, "<< /Title 50 0 R >>"), (50, "(Introduction)")]))
    assert doc.outlines()[0]["title"] == "Introduction"


def test_destination_is_kept_as_stored_and_action_resolved_one_level():
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=[
        (100, "<< /First 101 0 R >>"),
        (101, "<< /Title (a) /Dest 50 0 R /A 51 0 R /Next 102 0 R >>"),
        (102, "<< /Title (b) /Dest /Chapter#201 >>"),
        (50, "[3 0 R /Fit]"),
        (51, "<< /S /GoTo /D (x) >>"),
    ]))
    assert [(i["destination"], i["action"]) for i in doc.outlines()] == [
        ("50 0 R", "<< /D (x) /S /GoTo >>"), ("/Chapter 1", None)]


def test_outline_root_given_directly_and_as_stream():
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines << /First 101 0 R >>",
                                      extra_objects=[(101, "<< /Title (t) >>")]))
    assert shape(doc.outlines()) == [("t", [])]
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 4 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    b.stream(4, b"", "/First 5 0 R")
    b.stream(5, b"", "/Title (in a stream)")
    assert shape(quillet.Document(b.build()).outlines()) == [("in a stream", [])]


def test_item_under_two_parents_is_listed_under_both():
    doc = outline_doc({
        101: "/Title (A) /First 103 0 R /Next 102 0 R",
        102: "/Title (B) /First 103 0 R",
        103: "/Title (shared) /First 104 0 R",
        104: "/Title (leaf)",
    })
    assert shape(doc.outlines()) == [("A", [("shared", [("leaf", [])])]), ("B", [("shared", [("leaf", [])])])]


@pytest.mark.parametrize("items, culprit", [
    # /Next back to an earlier sibling.
    ({101: "/Title (a) /Next 102 0 R", 102: "/Title (b) /Next 103 0 R", 103: "/Title (c) /Next 102 0 R"}, 102),
    ({101: "/Title (a) /Next 101 0 R"}, 101),
    # /First back to the parent or a farther ancestor.
    ({101: "/Title (a) /First 102 0 R", 102: "/Title (b) /First 101 0 R"}, 101),
    ({101: "/Title (a) /First 102 0 R", 102: "/Title (b) /First 103 0 R", 103: "/Title (c) /Next 101 0 R"}, 101),
    ({101: "/Title (a) /First 101 0 R"}, 101),
])
def test_cycles_are_refused(items, culprit):
    with pytest.raises(ValueError) as error:
        outline_doc(items).outlines()
    assert str(error.value) == "outline tree contains a cycle at object %d 0" % culprit


@pytest.mark.parametrize("items, first, message", [
    ({101: "/Dest [3 0 R /Fit]"}, "/First 101 0 R", "missing required entry /Title in outline item"),
    ({101: "/Title /Name"}, "/First 101 0 R", "type mismatch in outline item /Title: expected string"),
    ({101: "/Title 99 0 R"}, "/First 101 0 R", "dangling reference to object 99 0"),
    ({101: "/Title (a) /A [/S /GoTo]"}, "/First 101 0 R", "type mismatch in outline item /A: expected dictionary"),
    ({101: "/Title (a) /A 99 0 R"}, "/First 101 0 R", "dangling reference to object 99 0"),
    ({101: "/Title (a) /First << /Title (b) >>"}, "/First 101 0 R",
     "type mismatch in outline item /First: expected indirect reference"),
    ({101: "/Title (a) /Next 5"}, "/First 101 0 R", "type mismatch in outline item /Next: expected indirect reference"),
    ({101: "/Title (a) /Next 99 0 R"}, "/First 101 0 R", "dangling reference to object 99 0"),
    ({}, "/First << /Title (a) >>", "type mismatch in outline root /First: expected indirect reference"),
    ({}, "/First 99 0 R", "dangling reference to object 99 0"),
    # The entries are checked in the order /Title, /Dest, /A, /First, /Next.
    ({101: "/A 5 /First 7 /Next 8"}, "/First 101 0 R", "missing required entry /Title in outline item"),
    ({101: "/Title (a) /A 5 /First 7 /Next 8"}, "/First 101 0 R",
     "type mismatch in outline item /A: expected dictionary"),
    ({101: "/Title (a) /First 7 /Next 8"}, "/First 101 0 R",
     "type mismatch in outline item /First: expected indirect reference"),
    # An error deep in the tree fails the whole outline.
    ({101: "/Title (a) /First 102 0 R /Next 103 0 R", 102: "/Title (b)", 103: "/Title 1"}, "/First 101 0 R",
     "type mismatch in outline item /Title: expected string"),
])
def test_item_errors(items, first, message):
    with pytest.raises(ValueError) as error:
        outline_doc(items, first=first).outlines()
    assert str(error.value) == message


@pytest.mark.parametrize("catalog_extra, objects, message", [
    ("/Outlines [1]", [], "type mismatch in catalog /Outlines: expected dictionary"),
    ("/Outlines 99 0 R", [], "dangling reference to object 99 0"),
    ("/Outlines << /First 100 0 R >>", [(100, "[1 2]")], "type mismatch in outline item: expected dictionary"),
])
def test_root_errors(catalog_extra, objects, message):
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra=catalog_extra, extra_objects=objects))
    with pytest.raises(ValueError) as error:
        doc.outlines()
    assert str(error.value) == message


def chain_outline(count: int, link: str) -> quillet.Document:
    """Items 1000 .. 1000+count-1, each naming the next through `link`."""
    objects = [(100, "<< /First 1000 0 R >>")]
    for i in range(count):
        nxt = " %s %d 0 R" % (link, 1001 + i) if i + 1 < count else ""
        objects.append((1000 + i, "<< /Title (%d)%s >>" % (i, nxt)))
    return quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=objects))


def test_deep_outline_is_refused_not_overflowing_the_stack():
    with pytest.raises(ValueError, match="^type mismatch in outline tree: expected at most 256 levels$"):
        chain_outline(100_000, "/First").outlines()


def test_outline_of_the_deepest_allowed_level_is_read():
    items = chain_outline(256, "/First").outlines()
    depth = 0
    while items:
        depth += 1
        items = items[0]["children"]
    assert depth == 256
    with pytest.raises(ValueError, match="at most 256 levels"):
        chain_outline(257, "/First").outlines()


def test_long_sibling_chain_is_walked_without_recursion():
    items = chain_outline(100_000, "/Next").outlines()
    assert len(items) == 100_000 and items[-1]["title"] == "99999"


def test_exponential_sharing_is_bounded():
    # Level k holds two items that both have the first item of level k+1 as
    # their first child: 2^40 items along all branches from 80 objects.
    levels = 40
    objects = [(100, "<< /First 1000 0 R >>")]
    for k in range(levels):
        child = " /First %d 0 R" % (1000 + 2 * (k + 1)) if k + 1 < levels else ""
        objects.append((1000 + 2 * k, "<< /Title (a%d) /Next %d 0 R%s >>" % (k, 1001 + 2 * k, child)))
        objects.append((1001 + 2 * k, "<< /Title (b%d)%s >>" % (k, child)))
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=objects))
    with pytest.raises(ValueError, match="^type mismatch in outline tree: expected at most 200000 items$"):
        doc.outlines()


def test_copies_of_a_large_shared_item_are_bounded():
    # Seven levels of doubling reach the last item 128 times; its 1 MB title
    # would be copied 128 times.
    levels = 8
    objects = [(100, "<< /First 1000 0 R >>")]
    for k in range(levels):
        child = " /First %d 0 R" % (1000 + 2 * (k + 1)) if k + 1 < levels else ""
        title = "(" + "x" * 1_000_000 + ")" if k + 1 == levels else "(t)"
        objects.append((1000 + 2 * k, "<< /Title %s /Next %d 0 R%s >>" % (title, 1001 + 2 * k, child)))
        objects.append((1001 + 2 * k, "<< /Title (b)%s >>" % child))
    doc = quillet.Document(simple_pdf(["BT ET"], catalog_extra="/Outlines 100 0 R", extra_objects=objects))
    with pytest.raises(ValueError, match="^type mismatch in outline tree: expected at most 67108864 bytes "
                                         "of titles and targets$"):
        doc.outlines()


# ---- real files: the tree matches the external checker's ----



def checker_outlines() -> list[tuple[str, list]]:
    """(file name, the checker's outline) for every corpus file with an
    outline that the checker read (decrypted, when encrypted)."""
    return [(name, report["outlines"]) for name, report in checker_reports() if report.get("outlines")]


CHECKED = checker_outlines()

# Files whose outline is refused, with the reason.
REFUSED = {
    "qpdf_outlines-with-loop": "outline tree contains a cycle at object 4 0",
}


@pytest.mark.skipif(not CHECKED, reason="corpus not available")
@pytest.mark.parametrize("name, expected", CHECKED, ids=[name for name, _ in CHECKED])
def test_outline_matches_the_external_checker(name, expected):
    try:
        doc = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes(), password=checker_password(name))
    except ValueError:
        pytest.skip("not loadable")
    if name in REFUSED:
        with pytest.raises(ValueError) as error:
            doc.outlines()
        assert str(error.value) == REFUSED[name]
        return
    assert outline_tree(doc.outlines(), "id", "children", "title") == outline_tree(expected, "object", "kids", "title")
