"""toc(): the outline flattened with levels and the page each item leads to;
len(), bool() and `with` on a Document."""

import pytest

import quillet
from pdfbuild import simple_pdf

# Three pages: 3 0 R, 5 0 R and 7 0 R.
PAGES = ["BT ET"] * 3
NAMES = [(120, "<< /chap2 [5 0 R /Fit] >>"),
         (121, "<< /Dests << /Names [(chap3) << /D [7 0 R /FitH 700] >> (intro) [3 0 R /Fit]] >> >>")]


def toc_of(*items: str, extra=()) -> list[dict]:
    """The toc of a document whose outline lists `items` (dictionary
    entries without << >>) as one chain of top-level items."""
    objects = [(100, "<< /First 101 0 R >>")]
    for i, item in enumerate(items):
        link = " /Next %d 0 R" % (102 + i) if i + 1 < len(items) else ""
        objects.append((101 + i, "<< /Title (T%d) %s%s >>" % (i, item, link)))
    pdf = simple_pdf(PAGES, catalog_extra="/Outlines 100 0 R /Dests 120 0 R /Names 121 0 R",
                     extra_objects=objects + NAMES + list(extra))
    return quillet.Document(pdf).toc()


@pytest.mark.parametrize("item, page_index, uri", [
    ("/Dest [5 0 R /Fit]", 1, None),                                   # explicit destination
    ("/Dest 130 0 R", 2, None),                                        # ... stored as an object of its own
    ("/Dest /chap2", 1, None),                                         # name: catalog /Dests
    ("/Dest (chap3)", 2, None),                                        # string: /Names tree, value with /D
    ("/Dest (intro)", 0, None),
    ("/A << /S /GoTo /D [7 0 R /XYZ 0 0 0] >>", 2, None),              # GoTo actions
    ("/A << /S /GoTo /D (chap3) >>", 2, None),
    ("/A << /S /URI /URI (https://example.org/a) >>", None, "https://example.org/a"),
    ("/A << /S /URI /URI (https://x.org/) >> /Dest [3 0 R /Fit]", None, "https://x.org/"),  # action wins
    ("/A << /S /GoToR /F (other.pdf) /D [0 /Fit] >>", None, None),     # another file
    ("/A << /S /Named /N /NextPage >>", None, None),
    ("/Dest /nowhere", None, None),                                    # unknown name
    ("/Dest [1 0 R /Fit]", None, None),                                # not a page (the catalog)
    ("/Dest [2 /Fit]", 2, None),                                       # a page number, as some writers do
    ("/Dest [3 /Fit]", None, None),                                    # ... beyond the last page
    ("/Dest []", None, None),
    ("", None, None),                                                  # no target
])
def test_each_target_kind(item, page_index, uri):
    [entry] = toc_of(item, extra=[(130, "[7 0 R /Fit]")])
    assert entry == {"level": 1, "title": "T0", "page_index": page_index, "uri": uri}
    assert list(entry) == ["level", "title", "page_index", "uri"]


def test_levels_follow_the_tree_in_reading_order():
    pdf = simple_pdf(PAGES, catalog_extra="/Outlines 100 0 R", extra_objects=[
        (100, "<< /First 101 0 R >>"),
        (101, "<< /Title (Part) /Dest [3 0 R /Fit] /First 102 0 R /Next 104 0 R >>"),
        (102, "<< /Title (Chapter) /Dest [5 0 R /Fit] /First 103 0 R >>"),
        (103, "<< /Title <FEFF00C9> /Dest [7 0 R /Fit] >>"),
        (104, "<< /Title (Appendix) >>"),
    ])
    assert [(e["level"], e["title"], e["page_index"]) for e in quillet.Document(pdf).toc()] == [
        (1, "Part", 0), (2, "Chapter", 1), (3, "\u00c9", 2), (1, "Appendix", None)]


def test_no_outline_gives_empty_list():
    assert quillet.Document(simple_pdf(PAGES)).toc() == []


@pytest.mark.parametrize("item, message", [
    ("/A << /S /GoTo >>", "missing required entry /D in GoTo action"),
    ("/A << /S /URI /URI 5 >>", "type mismatch in URI action /URI: expected string"),
    ("/Dest [9 0 R /Fit] /Next 101 0 R", "outline tree contains a cycle at object 101 0"),
])
def test_malformed_outline_fails_whole_call(item, message):
    with pytest.raises(ValueError, match="^%s$" % message):
        toc_of(item)


def test_len_counts_pages_found_and_bool_is_always_true():
    # /Count says 5; the tree lists 3 pages.
    doc = quillet.Document(simple_pdf(PAGES).replace(b"/Count 3", b"/Count 5"))
    assert (len(doc), doc.page_count()) == (3, 5)
    empty = quillet.Document(quillet.write_text_pdf([]).replace(b"/Kids [3 0 R] /Count 1", b"/Kids [     ] /Count 0"))
    assert len(empty) == 0 and bool(empty) is True
    broken = quillet.Document(simple_pdf(PAGES).replace(b"/Kids [3 0 R", b"/Kids [9 0 R"))
    assert bool(broken) is True
    with pytest.raises(ValueError, match="^dangling reference to object 9 0$"):
        len(broken)


def test_with_returns_the_document_and_lets_exceptions_through():
    doc = quillet.Document(quillet.write_text_pdf(["a"]))
    with doc as same:
        assert same is doc
    assert doc.page_text(0) == "a\n"  # nothing was released
    with pytest.raises(KeyError):
        with doc:
            raise KeyError("passes through")
    assert doc.__exit__(None, None, None) is None
