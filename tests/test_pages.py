"""The page tree: the walk, inherited attributes, page_count() and pages(),
the page-index rule and the bounds that keep hostile trees finite."""

import csv
from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS, manifest



def tree(*objects, pages_ref="2 0 R"):
    """A file with catalog 1 (/Pages `pages_ref`) and the given objects."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages %s >>" % pages_ref)
    for number, body in objects:
        b.add(number, body)
    return quillet.Document(b.build())


def page_ids(doc):
    return [p["id"] for p in doc.pages()]


def pages_error(*objects, **kw):
    with pytest.raises(ValueError) as info:
        tree(*objects, **kw).pages()
    return str(info.value)


# ---- the walk ----

def test_pages_in_document_order_depth_first():
    doc = tree(
        (2, "<< /Type /Pages /Kids [3 0 R 4 0 R 7 0 R] /Count 4 >>"),
        (3, "<< /Type /Page /Parent 2 0 R >>"),
        (4, "<< /Type /Pages /Kids [5 0 R 6 0 R] /Parent 2 0 R >>"),
        (5, "<< /Type /Page /Parent 4 0 R >>"),
        (6, "<< /Type /Page /Parent 4 0 R >>"),
        (7, "<< /Type /Page /Parent 2 0 R >>"),
    )
    assert page_ids(doc) == ["3 0 R", "5 0 R", "6 0 R", "7 0 R"]
    assert [p["index"] for p in doc.pages()] == [0, 1, 2, 3]
    assert [p["parent"] for p in doc.pages()] == ["2 0 R", "4 0 R", "4 0 R", "2 0 R"]


@pytest.mark.parametrize("type_entry", ["", "/Type 5", "/Type (Pages)"])
def test_node_without_name_type_is_intermediate(type_entry):
    doc = tree((2, "<< %s /Kids [3 0 R] >>" % type_entry), (3, "<< /Type /Page >>"))
    assert page_ids(doc) == ["3 0 R"]


def test_page_with_kids_is_a_leaf():
    doc = tree((2, "<< /Type /Pages /Kids [3 0 R] >>"), (3, "<< /Type /Page /Kids [9 0 R] >>"))
    assert page_ids(doc) == ["3 0 R"]


def test_page_stored_as_stream_is_a_page():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] >>")
    b.stream(3, b"", "/Type /Page")
    assert page_ids(quillet.Document(b.build())) == ["3 0 R"]


def test_kids_given_by_reference():
    doc = tree((2, "<< /Type /Pages /Kids 4 0 R >>"), (3, "<< /Type /Page >>"), (4, "[3 0 R 3 0 R]"))
    assert page_ids(doc) == ["3 0 R", "3 0 R"]


def test_page_under_two_parents_is_listed_twice():
    doc = tree(
        (2, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>"),
        (3, "<< /Type /Pages /Kids [5 0 R] >>"),
        (4, "<< /Type /Pages /Kids [5 0 R] >>"),
        (5, "<< /Type /Page >>"),
    )
    assert page_ids(doc) == ["5 0 R", "5 0 R"]


def test_empty_tree_has_no_pages():
    assert tree((2, "<< /Type /Pages /Kids [] /Count 0 >>")).pages() == []


@pytest.mark.parametrize("objects, message", [
    ([(2, "<< /Type /Pages /Kids [2 0 R] >>")], "page tree contains a cycle at object 2 0"),
    ([(2, "<< /Type /Pages /Kids [3 0 R] >>"), (3, "<< /Kids [4 0 R] >>"), (4, "<< /Kids [5 0 R 2 0 R] >>"),
      (5, "<< /Type /Page >>")], "page tree contains a cycle at object 2 0"),
    ([(2, "<< /Type /Pages /Kids [<< /Type /Page >>] >>")],
     "type mismatch in page tree node /Kids item: expected indirect reference"),
    ([(2, "<< /Type /Pages >>")], "missing required entry /Kids in page tree node"),
    ([(2, "<< /Type /Pages /Kids 3 >>")], "type mismatch in page tree node /Kids: expected array"),
    ([(2, "<< /Type /Pages /Kids 4 0 R >>")], "dangling reference to object 4 0"),
    ([(2, "<< /Type /Pages /Kids [9 0 R] >>")], "dangling reference to object 9 0"),
    ([(2, "<< /Type /Pages /Kids [3 0 R] >>"), (3, "[1 2]")], "type mismatch in page tree node: expected dictionary"),
    ([(2, "<< /Type /Pagez /Kids [] >>")], "type mismatch in page tree node /Type: expected /Pages or /Page"),
])
def test_walk_errors(objects, message):
    assert pages_error(*objects) == message


def test_catalog_pages_must_be_a_reference_for_pages():
    doc = tree(pages_ref="<< /Type /Pages /Kids [] /Count 0 >>")
    with pytest.raises(ValueError, match="^type mismatch in catalog /Pages: expected indirect reference$"):
        doc.pages()
    assert doc.page_count() == 0  # page_count accepts a direct dictionary


def test_missing_catalog_pages():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog >>")
    doc = quillet.Document(b.build())
    for call in (doc.pages, doc.page_count, doc.text):
        with pytest.raises(ValueError, match="^missing required entry /Pages in catalog$"):
            call()


def test_dangling_catalog_pages():
    doc = tree(pages_ref="5 0 R")
    for call in (doc.pages, doc.page_count):
        with pytest.raises(ValueError, match="^dangling reference to object 5 0$"):
            call()


def test_fan_out_to_the_same_node_fails_in_bounded_time():
    # 40 nodes whose /Kids both name the next node describe 2^40 nodes (no
    # pages, which are bounded sooner: see test_bounds.py).
    objects = [(n, "<< /Type /Pages /Kids [%d 0 R %d 0 R] >>" % (n + 1, n + 1)) for n in range(2, 42)]
    doc = tree(*objects, (42, "<< /Type /Pages /Kids [] >>"))
    for call in (doc.pages, doc.text, lambda: doc.page_text(0)):
        with pytest.raises(ValueError, match="^type mismatch in page tree: expected at most 2000000 nodes$"):
            call()


def test_deep_tree_fails_with_depth_bound():
    objects = [(n, "<< /Type /Pages /Kids [%d 0 R] >>" % (n + 1)) for n in range(2, 602)]
    doc = tree(*objects, (602, "<< /Type /Page >>"))
    with pytest.raises(ValueError, match="^type mismatch in page tree: expected at most 512 levels$"):
        doc.pages()


def test_moderately_deep_tree_is_walked():
    objects = [(n, "<< /Type /Pages /Kids [%d 0 R] >>" % (n + 1)) for n in range(2, 302)]
    doc = tree(*objects, (302, "<< /Type /Page >>"))
    assert page_ids(doc) == ["302 0 R"]


# ---- page_count ----

@pytest.mark.parametrize("count, result", [
    ("/Count 7", 7),
    ("/Count 0", 0),
    ("/Count 3.0", "type mismatch in page tree root /Count: expected non-negative integer"),
    ("/Count -1", "type mismatch in page tree root /Count: expected non-negative integer"),
    ("/Count 5 0 R", "type mismatch in page tree root /Count: expected non-negative integer"),
    ("", "missing required entry /Count in page tree root"),
])
def test_page_count_is_the_declared_count(count, result):
    doc = tree((2, "<< /Type /Pages /Kids [3 0 R] %s >>" % count), (3, "<< /Type /Page >>"), (5, "7"))
    if isinstance(result, int):
        assert doc.page_count() == result
    else:
        with pytest.raises(ValueError, match="^" + result + "$"):
            doc.page_count()


def test_page_count_root_must_be_a_dictionary():
    doc = tree((2, "[1 2]"))
    with pytest.raises(ValueError, match="^type mismatch in catalog /Pages: expected dictionary$"):
        doc.page_count()


# ---- attributes ----

def page0(parent_entries="", page_entries="", grand_entries=""):
    doc = tree(
        (2, "<< /Type /Pages /Kids [3 0 R] %s >>" % grand_entries),
        (3, "<< /Type /Pages /Kids [4 0 R] /Parent 2 0 R %s >>" % parent_entries),
        (4, "<< /Type /Page /Parent 3 0 R %s >>" % page_entries),
        (9, "[0 0 10 10]"),
    )
    return doc.pages()[0]


@pytest.mark.parametrize("entries, media_box", [
    ("/MediaBox [0 0 612.5 792]", [0.0, 0.0, 612.5, 792.0]),
    ("/MediaBox [-1 -2.5 3 4]", [-1.0, -2.5, 3.0, 4.0]),
    ("/MediaBox [0 0 612]", None),
    ("/MediaBox [0 0 612 792 5]", None),
    ("/MediaBox [0 0 612 9 0 R]", None),
    ("/MediaBox [0 0 (a) 1]", None),
    ("/MediaBox 9 0 R", None),
    ("", None),
])
def test_media_box_conversion(entries, media_box):
    assert page0(page_entries=entries)["media_box"] == media_box


def test_nearest_ancestor_wins_and_own_entry_wins():
    assert page0(grand_entries="/MediaBox [0 0 1 1]", parent_entries="/MediaBox [0 0 2 2]")["media_box"] == [
        0.0, 0.0, 2.0, 2.0]
    assert page0(grand_entries="/MediaBox [0 0 1 1]")["media_box"] == [0.0, 0.0, 1.0, 1.0]
    assert page0(parent_entries="/MediaBox [0 0 2 2]", page_entries="/MediaBox [0 0 3 3]")["media_box"] == [
        0.0, 0.0, 3.0, 3.0]
    # The page's own entry wins whatever its value: no fallback past it.
    assert page0(parent_entries="/MediaBox [0 0 2 2]", page_entries="/MediaBox 5")["media_box"] is None
    assert page0(parent_entries="/Rotate 90", page_entries="/Rotate 1.5")["rotate"] is None


def test_crop_box_does_not_fall_back_to_media_box():
    p = page0(page_entries="/MediaBox [0 0 10 10]")
    assert p["crop_box"] is None
    assert page0(grand_entries="/CropBox [1 1 9 9]")["crop_box"] == [1.0, 1.0, 9.0, 9.0]


@pytest.mark.parametrize("parent_entries, page_entries, rotate", [
    ("/Rotate 90", "", 90),
    ("/Rotate 90.0", "", None),
    ("/Rotate 90", "/Rotate 180", 180),
    ("", "/Rotate 450", 450),
    ("", "/Rotate -90", -90),
    ("", "", None),
])
def test_rotate(parent_entries, page_entries, rotate):
    assert page0(parent_entries=parent_entries, page_entries=page_entries)["rotate"] == rotate


def test_page_record_keys_in_order():
    p = page0()
    assert list(p) == ["index", "id", "parent", "media_box", "crop_box", "rotate"]
    assert p["id"] == "4 0 R" and p["parent"] == "3 0 R"


def test_parent_that_is_not_a_reference_is_none():
    doc = tree((2, "<< /Type /Pages /Kids [3 0 R] >>"), (3, "<< /Type /Page /Parent 5 >>"))
    assert doc.pages()[0]["parent"] is None


def test_inherited_resources_reach_the_page():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Resources << /Font << /F1 5 0 R >> >> >>")
    b.add(3, "<< /Type /Page /Contents 4 0 R >>")
    b.stream(4, b"BT /F1 1 Tf <01> Tj ET")
    b.add(5, "<< /Type /Font /ToUnicode 6 0 R >>")
    b.stream(6, b"beginbfchar <01> <0041> endbfchar")
    assert quillet.Document(b.build()).page_text(0) == "A"


# ---- the page-index rule ----

def test_page_index_rule():
    doc = quillet.Document(simple_pdf(["(a) Tj"] * 5))
    assert doc.page_text(4) == "a"
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_text(5)
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_text(2**64 - 1)
    with pytest.raises(OverflowError):
        doc.page_text(-1)
    with pytest.raises(TypeError, match="^argument 'index': "):
        doc.page_text(1.0)
    with pytest.raises(TypeError, match="^argument 'index': "):
        doc.page_text("1")


def test_page_index_rule_reports_the_walk_error_first():
    doc = tree((2, "<< /Type /Pages /Kids [2 0 R] >>"))
    with pytest.raises(ValueError, match="^page tree contains a cycle at object 2 0$"):
        doc.page_text(0)


# ---- the page list is walked once per document ----

PER_PAGE_CALLS = ["page_text", "page_fonts", "page_images", "page_image_files", "page_links", "page_annotations",
                  "page_reading_text", "page_words"]


def page_walks(records):
    return [r for r in records if r[0] == "span" and r[2] == "pages"]


# A ToUnicode CMap of a length no other stream of the file has.
SHARED_CMAP = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
               b"1 begincodespacerange <00> <FF> endcodespacerange\n"
               b"1 beginbfrange <20> <7E> <0020> endbfrange\nendcmap end end %%" + b"x" * 100)


def test_per_page_loop_walks_the_page_tree_once():
    pdf = simple_pdf(["BT /F1 9 Tf (p%d) Tj ET" % i for i in range(500)], resources="<< /Font << /F1 2000 0 R >> >>",
                     extra_objects=[(2000, "<< /Type /Font /Subtype /Type1 /BaseFont /A /ToUnicode 2001 0 R >>"),
                                    (2001, b"<< /Length %d >>\nstream\n%s\nendstream" % (len(SHARED_CMAP), SHARED_CMAP))])
    doc = quillet.Document(pdf)

    def every_page_call():
        for i in range(500):
            for call in PER_PAGE_CALLS:
                getattr(doc, call)(i)
        return doc.text(), doc.reading_text(), doc.pages(), doc.page_chunks(include_fonts=True)

    records = quillet._collect_diagnostics(every_page_call)
    assert page_walks(records) == [("span", "quillet::document", "pages", {"pages": "500"})]
    # The pages share one font: its CMap is read once for the content-order
    # text and once for the reading engine's decoder, not once per page.
    cmap_reads = [r for r in records if r[2] == "decoded_data_cow" and r[3]["encoded_len"] == str(len(SHARED_CMAP))]
    assert len(cmap_reads) == 2
    # Kept, not lost: later calls walk nothing and give the same results.
    assert page_walks(quillet._collect_diagnostics(lambda: doc.page_text(499))) == []
    assert doc.page_text(499) == "p499"


@pytest.mark.parametrize("call", PER_PAGE_CALLS + ["text", "pages"])
def test_walk_error_is_kept_and_raised_again(call):
    doc = tree((2, "<< /Type /Pages /Kids [3 0 R 2 0 R] >>"), (3, "<< /Type /Page >>"))
    method = getattr(doc, call)
    args = (0,) if call.startswith("page_") else ()

    def twice():
        for _ in range(2):
            with pytest.raises(ValueError, match="^page tree contains a cycle at object 2 0$"):
                method(*args)

    assert len(page_walks(quillet._collect_diagnostics(twice))) == 1


# ---- corpus ----

def corpus_rows():
    return [(row["name"], row["pages"]) for row in manifest()]


@pytest.mark.skipif(not CORPUS.exists(), reason="corpus not available")
def test_corpus_page_counts_match_the_manifest():
    checked = 0
    for name, pages in corpus_rows():
        if not pages.isdigit():
            continue
        try:
            doc = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes())
            found = len(doc.pages())
        except ValueError:
            continue  # files this library refuses to load or walk
        assert found == int(pages), name
        checked += 1
    assert checked > 100
