"""Links and destinations: the link annotations of a page with their
resolved targets, and the document's named destinations from the catalog's
/Dests dictionary and its /Names /Dests tree."""

from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf


def linked(annots: str, objects=()) -> quillet.Document:
    """A one-page document whose page carries `annots` as its /Annots."""
    return quillet.Document(simple_pdf(["BT ET"], page_extra="/Annots " + annots, extra_objects=objects))


def one_link(entries: str, objects=()) -> dict:
    [link] = linked("[100 0 R]", [(100, "<< /Subtype /Link /Rect [0 0 10 10] " + entries + " >>"), *objects]) \
        .page_links(0)
    return link


def target(entries: str, objects=()) -> tuple:
    link = one_link(entries, objects)
    return link["kind"], link["target"]


def test_link_record_keys_and_values():
    link = one_link("/A << /S /URI /URI (https://example.org/) >>")
    assert link == {"annotation_id": "100 0 R", "rect": [0.0, 0.0, 10.0, 10.0], "kind": "uri",
                    "target": "https://example.org/"}
    assert list(link) == ["annotation_id", "rect", "kind", "target"]


@pytest.mark.parametrize("entries, objects, expected", [
    # The action decides whenever there is one; /Dest is not looked at.
    ("/A << /S /URI /URI (https://a.example/) >> /Dest (chapter1)", [], ("uri", "https://a.example/")),
    ("/A << /S /GoToR /F (b.pdf) /D [0 /Fit] >> /Dest (chapter1)", [],
     ("action", "<< /D [0 /Fit] /F (b.pdf) /S /GoToR >>")),
    ("/A 50 0 R /Dest /ignored", [(50, "<< /S /GoTo /D (here) >>")], ("named", "here")),
    ("/Dest (chapter1)", [], ("named", "chapter1")),
    ("/Dest /chapter1", [], ("named", "chapter1")),
    ("/Dest <FEFF00E9>", [], ("named", "\u00e9")),
    ("/Dest /#FFx", [], ("named", "\ufffdx")),
    ("/Dest [3 0 R /Fit]", [], ("destination", "[3 0 R /Fit]")),
    ("/Dest [3 0 R /XYZ 0 792.5 null]", [], ("destination", "[3 0 R /XYZ 0 792.5 null]")),
    # A reference is followed one level only.
    ("/Dest 50 0 R", [(50, "[3 0 R /FitH 700]")], ("destination", "[3 0 R /FitH 700]")),
    ("/Dest 50 0 R", [(50, "51 0 R"), (51, "[3 0 R /Fit]")], ("destination", "51 0 R")),
    ("/Dest 50 0 R", [(50, "(viaref)")], ("named", "viaref")),
    ("/Dest 7", [], ("destination", "7")),
    ("/A << /S /GoTo /D [3 0 R /Fit] >>", [], ("destination", "[3 0 R /Fit]")),
    ("/A << /S /GoTo /D /sec2 >>", [], ("named", "sec2")),
    ("/A << /S /GoTo /D 50 0 R >>", [(50, "(sec3)")], ("named", "sec3")),
    ("/A << /S /URI /URI <FEFF0068007400740070003A002F002F00E9> >>", [], ("uri", "http://\u00e9")),
    ("/A << /S /Launch /F (app.exe) >>", [], ("action", "<< /F (app.exe) /S /Launch >>")),
    ("/A << /S /Named /N /NextPage >>", [], ("action", "<< /N /NextPage /S /Named >>")),
    ("/A << /URI (https://no-type.example/) >>", [], ("action", "<< /URI (https://no-type.example/) >>")),
    ("/A << /S (URI) /URI (x) >>", [], ("action", "<< /S (URI) /URI (x) >>")),
    ("/A << /S 50 0 R /URI (x) >>", [(50, "/URI")], ("action", "<< /S 50 0 R /URI (x) >>")),
    ("/A 50 0 R", [(50, "<< /S /JavaScript /JS (app.alert(1)) >>")],
     ("action", "<< /JS (app.alert(1)) /S /JavaScript >>")),
    ("", [], (None, None)),
])
def test_link_targets(entries, objects, expected):
    assert target(entries, objects) == expected


def test_action_stored_as_stream_uses_its_dictionary():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /Annots [<< /Subtype /Link /A 4 0 R >>] >>")
    b.stream(4, b"", "/S /URI /URI (https://s.example/)")
    assert quillet.Document(b.build()).page_links(0)[0]["target"] == "https://s.example/"


@pytest.mark.parametrize("entries, objects, message", [
    ("/A << /S /GoTo >>", [], "missing required entry /D in GoTo action"),
    ("/A << /S /URI >> /Dest (x)", [], "missing required entry /URI in URI action"),
    ("/A << /S /URI /URI 50 0 R >>", [(50, "(https://example.org/)")],
     "type mismatch in URI action /URI: expected string"),
    ("/A << /S /URI /URI /https >>", [], "type mismatch in URI action /URI: expected string"),
    ("/A [/S /URI]", [], "type mismatch in link annotation /A: expected dictionary"),
    ("/A 50 0 R", [(50, "(not an action)")], "type mismatch in link annotation /A: expected dictionary"),
    ("/A 99 0 R", [], "dangling reference to object 99 0"),
    ("/Dest 99 0 R", [], "dangling reference to object 99 0"),
    ("/A << /S /GoTo /D 99 0 R >>", [], "dangling reference to object 99 0"),
])
def test_link_target_errors(entries, objects, message):
    with pytest.raises(ValueError) as error:
        one_link(entries, objects)
    assert str(error.value) == message


def test_one_bad_link_fails_the_whole_page():
    doc = linked("[<< /Subtype /Link /Dest (ok) >> << /Subtype /Link /A << /S /GoTo >> >>]")
    with pytest.raises(ValueError, match="^missing required entry /D in GoTo action$"):
        doc.page_links(0)


def test_only_link_annotations_are_listed():
    doc = linked(
        "[<< /Subtype /Widget /A << /S /URI /URI (w) >> >> 100 0 R << /Subtype (Link) /Dest (s) >> << /Dest (n) >>"
        " << /Subtype /Text >> << /Subtype /Link /Dest (b) /Rect [1 2 3] >> << /Subtype 50 0 R /Dest (r) >>]",
        [(100, "<< /Subtype /Link /Dest (a) >>"), (50, "/Link")],
    )
    assert doc.page_links(0) == [
        {"annotation_id": "100 0 R", "rect": None, "kind": "named", "target": "a"},
        {"annotation_id": None, "rect": None, "kind": "named", "target": "b"},
    ]


def test_malformed_non_link_annotations_do_not_matter_but_annots_errors_do():
    assert linked("[<< /Subtype /Text /A 99 0 R >>]").page_links(0) == []
    with pytest.raises(ValueError, match="^type mismatch in page /Annots item: expected dictionary$"):
        linked("[<< /Subtype /Link >> 5]").page_links(0)


def test_page_links_index_out_of_range():
    doc = linked("[]")
    assert doc.page_links(0) == []
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_links(doc.page_count())


# ---- named destinations ----

def destinations(catalog_extra: str, objects=()) -> dict:
    return quillet.Document(simple_pdf(["BT ET"], catalog_extra=catalog_extra, extra_objects=objects)) \
        .named_destinations()


def test_no_destinations():
    assert destinations("") == {}
    assert destinations("/Dests << >> /Names << >>") == {}


def test_catalog_dests_dictionary():
    result = destinations(
        "/Dests 50 0 R",
        [(50, "<< /b [3 0 R /Fit] /a 51 0 R /c << /D [3 0 R /FitH 10] >> /d << /D 52 0 R >> /e (str) /f#20g /Nm >>"),
         (51, "[3 0 R /XYZ 0 0 0]"), (52, "[3 0 R /FitV 5]")],
    )
    assert result == {"a": "[3 0 R /XYZ 0 0 0]", "b": "[3 0 R /Fit]", "c": "[3 0 R /FitH 10]",
                      "d": "[3 0 R /FitV 5]", "e": "(str)", "f g": "/Nm"}
    assert list(result) == ["a", "b", "c", "d", "e", "f g"]


def test_name_tree_destinations_override_the_catalog_dictionary():
    result = destinations(
        "/Dests << /a [3 0 R /Fit] /only_dict /X >> /Names << /Dests 50 0 R /EmbeddedFiles << >> >>",
        [(50, "<< /Kids [51 0 R 52 0 R] >>"),
         (51, "<< /Names [(a) 53 0 R (b) [3 0 R /FitB]] >>"),
         (52, "<< /Names [<FEFF00E9> (named) (c) << /D 54 0 R /SD [1] >>] >>"),
         (53, "<< /D [3 0 R /FitR 1 2 3 4] >>"),
         (54, "[3 0 R /XYZ null null 0]")],
    )
    assert result == {"a": "[3 0 R /FitR 1 2 3 4]", "b": "[3 0 R /FitB]", "c": "[3 0 R /XYZ null null 0]",
                      "only_dict": "/X", "\u00e9": "(named)"}
    # Ascending by the names' UTF-8 bytes.
    assert list(result) == ["a", "b", "c", "only_dict", "\u00e9"]


def test_names_without_a_dests_tree_adds_nothing():
    assert destinations("/Dests << /a /X >> /Names << /EmbeddedFiles << /Names [] >> >>") == {"a": "/X"}


@pytest.mark.parametrize("tree, objects, message", [
    ("<< /Names [(a) << /S /GoTo >>] >>", [], "missing required entry /D in name tree destination"),
    ("<< /Names [(a) 99 0 R] >>", [], "dangling reference to object 99 0"),
    ("[(a) [3 0 R /Fit]]", [], "type mismatch in catalog /Names /Dests: expected dictionary"),
    ("50 0 R", [(50, "<< /Kids [51 0 R] >>"), (51, "<< /Kids [50 0 R] >>")],
     "name tree contains a cycle at object 50 0"),
    ("<< /Names [(a)] >>", [], "type mismatch in name tree /Names: expected even-length key/value array"),
])
def test_name_tree_errors(tree, objects, message):
    with pytest.raises(ValueError) as error:
        destinations("/Dests << /ok [3 0 R /Fit] >> /Names << /Dests %s >>" % tree, objects)
    assert str(error.value) == message


@pytest.mark.parametrize("catalog_extra, objects, message", [
    ("/Dests [1 2]", [], "type mismatch in catalog /Dests: expected dictionary"),
    ("/Dests 99 0 R", [], "dangling reference to object 99 0"),
    ("/Dests << /x 99 0 R >>", [], "dangling reference to object 99 0"),
    ("/Dests << /x << /S /GoTo >> >>", [], "missing required entry /D in catalog /Dests value"),
    ("/Dests << /x << /D 99 0 R >> >>", [], "dangling reference to object 99 0"),
    ("/Names [1 2]", [], "type mismatch in catalog /Names: expected dictionary"),
    ("/Names 50 0 R", [(50, "5")], "type mismatch in catalog /Names: expected dictionary"),
    ("/Names 99 0 R", [], "dangling reference to object 99 0"),
])
def test_named_destination_errors(catalog_extra, objects, message):
    with pytest.raises(ValueError) as error:
        destinations(catalog_extra, objects)
    assert str(error.value) == message


# ---- real files ----

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"
FILES = sorted((CORPUS / "files").glob("*.pdf")) if (CORPUS / "manifest.tsv").is_file() else []


@pytest.mark.skipif(not FILES, reason="corpus not available")
@pytest.mark.parametrize("path", FILES, ids=[p.stem for p in FILES])
def test_real_files_give_links_among_their_annotations_or_a_value_error(path):
    try:
        doc = quillet.Document(path.read_bytes())
        pages = len(doc.pages())
    except ValueError:
        pytest.skip("no page list")
    for index in range(pages):
        try:
            annotations = doc.page_annotations(index)
        except ValueError:
            continue
        try:
            links = doc.page_links(index)
        except ValueError:
            continue
        assert len(links) == sum(a["subtype"] == "Link" for a in annotations)
        assert [link["annotation_id"] for link in links] == [a["id"] for a in annotations if a["subtype"] == "Link"]
    try:
        assert all(isinstance(v, str) for v in doc.named_destinations().values())
    except ValueError:
        pass


# ---- hostile repetition ----

def test_one_large_action_listed_many_times_is_bounded():
    # Each occurrence of the link copies its 1 MB action: 70 copies would
    # hold 70 MB, from a file of 1 MB.
    action = "<< /S /Launch /F (" + "x" * 1_000_000 + ") >>"
    doc = linked("[" + " 100 0 R" * 70 + "]", [(100, "<< /Subtype /Link /A 101 0 R >>"), (101, action)])
    with pytest.raises(ValueError, match="^type mismatch in page links: expected at most 67108864 bytes "
                                         "of link targets$"):
        doc.page_links(0)
    few = linked("[" + " 100 0 R" * 3 + "]", [(100, "<< /Subtype /Link /A 101 0 R >>"), (101, action)])
    assert [link["kind"] for link in few.page_links(0)] == ["action"] * 3


@pytest.mark.parametrize("catalog_extra", [
    "/Dests << %s >>" % " ".join("/d%d 50 0 R" % i for i in range(70)),
    "/Names << /Dests << /Names [%s] >> >>" % " ".join("(d%d) 50 0 R" % i for i in range(70)),
])
def test_one_large_destination_under_many_names_is_bounded(catalog_extra):
    objects = [(50, "[3 0 R /XYZ " + "1 " * 500_000 + "]")]
    with pytest.raises(ValueError, match="^type mismatch in named destinations: expected at most 67108864 bytes "
                                         "of destinations$"):
        destinations(catalog_extra, objects)
