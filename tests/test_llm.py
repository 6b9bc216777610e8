"""The LLM document: per-page chunks with text, image, link, annotation and
OCR placeholder blocks, the OCR requests of each mode, the include flags,
the ids, and the dict shapes of llm_document, llm_chunks and ocr_requests."""

import resource
from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder

PAGE_KEYS = ["page_index", "page_number", "page_label", "page_id", "media_box", "crop_box", "rotate", "text",
             "metadata", "blocks"]
BLOCK_KEYS = ["id", "kind", "page_index", "bbox", "text", "html", "markdown", "object_id", "target", "image",
              "ocr_request"]
IMAGE_KEYS = ["name", "resource_path", "width", "height", "bits_per_component", "color_space", "filters",
              "encoded_length"]
REQUEST_KEYS = ["id", "target", "page_index", "page_number", "page_id", "object_id", "resource_path", "bbox",
                "width", "height", "reason", "suggested_dpi"]
LETTER = [0.0, 0.0, 612.0, 792.0]

IMAGE = "/Type /XObject /Subtype /Image /Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceGray"


def document(*pages, objects=(), streams=(), catalog: str = "", tree: str = "", info: str | None = None) -> quillet.Document:
    """Catalog 1, page tree 2, page i at 10 + 2i with its content at 11 + 2i.
    A page is its content, or (content, extra page entries); it gets a
    letter media box unless the extra entries name /MediaBox.  Objects and
    streams (number, data, dictionary entries) from 100 on; `info` is the
    Info dictionary's body (object 90)."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R %s >>" % catalog)
    kids = " ".join("%d 0 R" % (10 + 2 * i) for i in range(len(pages)))
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d %s >>" % (kids, len(pages), tree))
    for i, page in enumerate(pages):
        content, extra = (page, "") if isinstance(page, (str, bytes)) else page
        if "/MediaBox" not in extra:
            extra = "/MediaBox [0 0 612 792] " + extra
        b.add(10 + 2 * i, "<< /Type /Page /Parent 2 0 R /Contents %d 0 R %s >>" % (11 + 2 * i, extra))
        b.stream(11 + 2 * i, content.encode("latin-1") if isinstance(content, str) else content)
    for number, body in objects:
        b.add(number, body)
    for number, data, extra in streams:
        b.stream(number, data, extra)
    if info is not None:
        b.add(90, "<< %s >>" % info)
    return quillet.Document(b.build(trailer="/Info 90 0 R" if info is not None else ""))


def images(*names: str) -> tuple[str, list]:
    """Page resources listing image streams 100, 101, ... under `names`."""
    entries = " ".join("/%s %d 0 R" % (name, 100 + i) for i, name in enumerate(names))
    return "/Resources << /XObject << %s >> >>" % entries, [(100 + i, b"\x00\xff", IMAGE) for i in range(len(names))]


def kinds(page: dict) -> list[tuple[str, str]]:
    return [(b["id"], b["kind"]) for b in page["blocks"]]


# ---- the three kinds of page ----

def test_scanned_page_in_auto_mode():
    resources, streams = images("Im1", "Im2")
    d = document(("", resources), streams=streams)
    result = d.llm_document()
    assert list(result) == ["metadata", "pages", "ocr_requests"]
    (page,) = result["pages"]
    assert kinds(page) == [("page-1-image-1", "image"), ("page-1-image-2", "image"), ("page-1-ocr", "ocr_placeholder")]
    assert [b["ocr_request"] for b in page["blocks"][:2]] == [None, None]
    request = {
        "id": "page-1-ocr", "target": "page", "page_index": 0, "page_number": 1, "page_id": "10 0 R",
        "object_id": "10 0 R", "resource_path": None, "bbox": LETTER, "width": None, "height": None,
        "reason": "no_text", "suggested_dpi": 200,
    }
    assert result["ocr_requests"] == [request]
    assert list(request) == REQUEST_KEYS and list(result["ocr_requests"][0]) == REQUEST_KEYS
    assert page["blocks"][2] == {
        "id": "page-1-ocr", "kind": "ocr_placeholder", "page_index": 0, "bbox": LETTER, "text": None,
        "html": None, "markdown": "<!-- OCR placeholder: NoText page 1 -->", "object_id": "10 0 R",
        "target": "page", "image": None, "ocr_request": request,
    }


def test_text_page_with_two_images_in_auto_mode():
    resources, streams = images("Im1", "Im2")
    d = document(("BT (Caption) Tj ET", resources), streams=streams)
    result = d.llm_document()
    (page,) = result["pages"]
    assert kinds(page) == [("page-1-text", "text"), ("page-1-image-1", "image"), ("page-1-image-2", "image")]
    requests = result["ocr_requests"]
    assert [(r["id"], r["target"], r["reason"]) for r in requests] == [
        ("page-1-image-1-ocr", "image", "image_may_contain_text"),
        ("page-1-image-2-ocr", "image", "image_may_contain_text")]
    assert requests[0] == {
        "id": "page-1-image-1-ocr", "target": "image", "page_index": 0, "page_number": 1, "page_id": "10 0 R",
        "object_id": "100 0 R", "resource_path": "Im1", "bbox": None, "width": 2, "height": 1,
        "reason": "image_may_contain_text", "suggested_dpi": 200,
    }
    assert [b["ocr_request"] for b in page["blocks"][1:]] == requests


def test_page_with_neither_text_nor_images():
    d = document("BT ( \t) Tj ET")
    result = d.llm_document()
    (page,) = result["pages"]
    assert page["blocks"] == [] and result["ocr_requests"] == []
    assert page["text"] == " \t"


def test_white_space_only_text_counts_as_no_text():
    resources, streams = images("Im1")
    d = document(("BT (\\r\\n) Tj ET", resources), streams=streams)
    assert [r["id"] for r in d.ocr_requests()] == ["page-1-ocr"]


# ---- blocks ----

def test_text_block_and_page_record():
    d = document(("BT (  Hello) Tj T* (World ) Tj ET", "/CropBox [10 10 600 780] /Rotate 90"))
    (page,) = d.llm_chunks()
    assert list(page) == PAGE_KEYS
    assert page["page_index"] == 0 and page["page_number"] == 1 and page["page_label"] == "1"
    assert page["page_id"] == "10 0 R"
    assert page["media_box"] == LETTER and page["crop_box"] == [10.0, 10.0, 600.0, 780.0] and page["rotate"] == 90
    assert page["text"] == "  Hello\nWorld "
    assert page["metadata"] == d.metadata()
    assert page["blocks"] == [{
        "id": "page-1-text", "kind": "text", "page_index": 0, "bbox": LETTER, "text": "  Hello\nWorld ",
        "html": None, "markdown": "Hello\nWorld", "object_id": "10 0 R", "target": None, "image": None,
        "ocr_request": None,
    }]
    assert list(page["blocks"][0]) == BLOCK_KEYS


def test_image_block_through_a_form():
    streams = [
        (100, b"", "/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources << /XObject << /Im1 101 0 R >> >>"),
        (101, b"x\x9c\x03\x00\x00\x00\x00\x01", "/Type /XObject /Subtype /Image /Width 1 /Height 1.0 "
                                                 "/BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 1 <000000FFFFFF>] "
                                                 "/Filter /FlateDecode"),
    ]
    d = document(("BT (t) Tj ET", "/Resources << /XObject << /Fm0 100 0 R >> >>"), streams=streams)
    (page,) = d.llm_chunks(ocr="off")
    image_block = page["blocks"][1]
    assert image_block == {
        "id": "page-1-image-1", "kind": "image", "page_index": 0, "bbox": None, "text": None, "html": None,
        "markdown": "![Im1](Fm0/Im1)", "object_id": "101 0 R", "target": None,
        "image": {
            "name": "Im1", "resource_path": "Fm0/Im1", "width": 1, "height": None, "bits_per_component": 8,
            "color_space": "[/Indexed /DeviceRGB 1 (\x00\x00\x00\ufffd\ufffd\ufffd)]", "filters": ["FlateDecode"],
            "encoded_length": 8,
        },
        "ocr_request": None,
    }
    assert list(image_block["image"]) == IMAGE_KEYS


def test_image_listing_failure_is_raised_only_with_images():
    d = document(("BT (t) Tj ET", "/Resources << /XObject << /Im1 100 0 R >> >>"),
                 objects=[(100, "<< /Type /XObject /Subtype /Form /BBox [0 0 1 1] "
                                "/Resources << /XObject << /Im9 101 0 R >> >> >>")],
                 streams=[(101, b"\x00", IMAGE)])
    # The form is a plain dictionary, not a stream: listing images fails.
    with pytest.raises(ValueError, match="^type mismatch in page /Resources /XObject item: expected stream$"):
        d.llm_document()
    assert d.llm_document(include_images=False)["pages"][0]["blocks"][0]["kind"] == "text"


ANNOTS = [
    (100, "<< /Type /Annot /Subtype /Link /Rect [0 0 10 10] /A << /S /URI /URI (https://example.org/) >> "
          "/Contents (Visit) >>"),
    (101, "<< /Type /Annot /Subtype /Text /Rect [1 2 3 4.5] /Contents <FEFF004E006F00740065> >>"),
    (102, "<< /Type /Annot /Subtype /Link /Rect [0 0 10] /Dest [10 0 R /Fit] /Contents /NotAString >>"),
]


def annotated(annots: str = "[100 0 R 101 0 R 102 0 R]", objects=ANNOTS) -> quillet.Document:
    return document(("", "/Annots " + annots), objects=objects)


def test_links_and_annotations_are_numbered_separately():
    (page,) = annotated().llm_chunks()
    assert kinds(page) == [("page-1-link-1", "link"), ("page-1-link-2", "link"), ("page-1-annotation-2", "annotation")]
    link1, link2, note = page["blocks"]
    assert link1 == {
        "id": "page-1-link-1", "kind": "link", "page_index": 0, "bbox": [0.0, 0.0, 10.0, 10.0], "text": "Visit",
        "html": None, "markdown": "https://example.org/", "object_id": "100 0 R", "target": "https://example.org/",
        "image": None, "ocr_request": None,
    }
    assert (link2["bbox"], link2["text"], link2["target"], link2["markdown"]) == (None, None, "[10 0 R /Fit]",
                                                                                "[10 0 R /Fit]")
    assert note == {
        "id": "page-1-annotation-2", "kind": "annotation", "page_index": 0, "bbox": [1.0, 2.0, 3.0, 4.5],
        "text": "Note", "html": None, "markdown": "Note", "object_id": "101 0 R", "target": "Text", "image": None,
        "ocr_request": None,
    }


def test_annotation_numbers_stay_without_link_blocks():
    (page,) = annotated().llm_chunks(include_links=False)
    assert kinds(page) == [("page-1-annotation-2", "annotation")]
    (page,) = annotated().llm_chunks(include_annotations=False)
    assert kinds(page) == [("page-1-link-1", "link"), ("page-1-link-2", "link")]


@pytest.mark.parametrize("annotation, target", [
    ("<< /Subtype /Link /Dest (chapter1) >>", "chapter1"),
    ("<< /Subtype /Link /Dest /chapter1 >>", "chapter1"),
    ("<< /Subtype /Link /A << /S /Launch /F (x.pdf) >> >>", "<< /F (x.pdf) /S /Launch >>"),
    ("<< /Subtype /Link >>", None),
])
def test_link_targets(annotation, target):
    (page,) = document(("", "/Annots [%s]" % annotation)).llm_chunks()
    (block,) = page["blocks"]
    assert (block["id"], block["target"], block["markdown"], block["object_id"]) == ("page-1-link-1", target, target,
                                                                                    None)


@pytest.mark.parametrize("annotation, bbox, text, target", [
    ("<< /Rect [0 0 1 1] >>", [0.0, 0.0, 1.0, 1.0], None, None),                 # no /Subtype
    ("<< /Subtype (Link) /Contents (c) >>", None, "c", None),                   # a string is not a link
    ("<< /Subtype /Highlight /Rect 100 0 R /Contents 101 0 R >>", None, None, "Highlight"),
    ("<< /Subtype /Caf#C3#A9 /Rect [0 0 1 1 1] >>", None, None, "Caf\u00e9"),
    ("<< /Subtype /Bad#FF >>", None, None, "Bad\ufffd"),
])
def test_annotation_fields_read_only_direct_values(annotation, bbox, text, target):
    d = document(("", "/Annots [%s]" % annotation), objects=[(100, "[0 0 1 1]"), (101, "(indirect)")])
    (block,) = d.llm_chunks()[0]["blocks"]
    assert (block["id"], block["kind"]) == ("page-1-annotation-1", "annotation")
    assert (block["bbox"], block["text"], block["markdown"], block["target"], block["object_id"]) == (
        bbox, text, text, target, None)


def test_link_failure_is_raised_only_with_links():
    d = document(("", "/Annots [100 0 R]"),
                 objects=[(100, "<< /Subtype /Link /A << /S /URI /URI 101 0 R >> >>"), (101, "(x)")])
    with pytest.raises(ValueError, match="^type mismatch in URI action /URI: expected string$"):
        d.llm_document()
    assert kinds(d.llm_chunks(include_links=False)[0]) == []


def test_annotation_listing_failure():
    d = document(("", "/Annots 5"))
    for flags in ({}, {"include_links": False}, {"include_annotations": False}):
        with pytest.raises(ValueError, match="^type mismatch in page /Annots: expected array$"):
            d.llm_document(**flags)
    assert d.llm_document(include_links=False, include_annotations=False)["pages"][0]["blocks"] == []


# ---- OCR modes ----

def mixed_document() -> quillet.Document:
    """Page 1: text and an image; page 2: only an image; page 3: nothing."""
    resources, streams = images("Im1")
    return document(("BT (Text) Tj ET", resources), ("", resources), "", streams=streams)


def request_ids(result) -> list[tuple[str, str]]:
    return [(r["id"], r["reason"]) for r in result]


def test_always_mode_requests_every_page_and_image():
    result = mixed_document().llm_document(ocr="always")
    assert request_ids(result["ocr_requests"]) == [
        ("page-1-image-1-ocr", "forced"), ("page-1-ocr", "forced"),
        ("page-2-image-1-ocr", "forced"), ("page-2-ocr", "forced"),
        ("page-3-ocr", "forced")]
    assert [b["markdown"] for p in result["pages"] for b in p["blocks"] if b["kind"] == "ocr_placeholder"] == [
        "<!-- OCR placeholder: Forced page 1 -->", "<!-- OCR placeholder: Forced page 2 -->",
        "<!-- OCR placeholder: Forced page 3 -->"]
    # The placeholder comes after every other block of its page.
    assert [kinds(p)[-1] for p in result["pages"]] == [
        ("page-1-ocr", "ocr_placeholder"), ("page-2-ocr", "ocr_placeholder"), ("page-3-ocr", "ocr_placeholder")]


def test_always_mode_without_text_or_images():
    d = mixed_document()
    assert request_ids(d.llm_document(include_text=False, ocr="always")["ocr_requests"]) == request_ids(
        d.llm_document(ocr="always")["ocr_requests"])
    assert request_ids(d.ocr_requests(ocr="always")) == request_ids(d.llm_document(ocr="always")["ocr_requests"])
    assert request_ids(d.llm_document(include_images=False, ocr="always")["ocr_requests"]) == [
        ("page-1-ocr", "forced"), ("page-2-ocr", "forced"), ("page-3-ocr", "forced")]


def test_auto_mode():
    result = mixed_document().llm_document()
    assert request_ids(result["ocr_requests"]) == [("page-1-image-1-ocr", "image_may_contain_text"),
                                                   ("page-2-ocr", "no_text")]
    assert [kinds(p) for p in result["pages"]] == [
        [("page-1-text", "text"), ("page-1-image-1", "image")],
        [("page-2-image-1", "image"), ("page-2-ocr", "ocr_placeholder")],
        []]


def test_auto_mode_without_images_requests_nothing():
    d = mixed_document()
    result = d.llm_document(include_images=False)
    assert result["ocr_requests"] == []
    assert [kinds(p) for p in result["pages"]] == [[("page-1-text", "text")], [], []]


def test_auto_mode_without_text_blocks_still_decides_by_text():
    result = mixed_document().llm_document(include_text=False)
    assert request_ids(result["ocr_requests"]) == [("page-1-image-1-ocr", "image_may_contain_text"),
                                                   ("page-2-ocr", "no_text")]
    assert result["pages"][0]["text"] == "Text"


@pytest.mark.parametrize("spelling, mode", [
    ("off", "off"), ("none", "off"), ("false", "off"),
    ("auto", "auto"),
    ("always", "always"), ("true", "always"), ("force", "always"),
])
def test_ocr_spellings(spelling, mode):
    d = mixed_document()
    assert d.llm_document(ocr=spelling) == d.llm_document(ocr=mode)
    assert d.llm_chunks(ocr=spelling) == d.llm_document(ocr=mode)["pages"]
    assert d.ocr_requests(ocr=spelling) == d.llm_document(ocr=mode)["ocr_requests"]
    assert d.ocr_requests(spelling) == d.ocr_requests(ocr=mode)


def test_off_mode_raises_nothing():
    d = mixed_document()
    result = d.llm_document(ocr="off")
    assert result["ocr_requests"] == [] and d.ocr_requests(ocr="off") == []
    assert all(b["ocr_request"] is None and b["kind"] != "ocr_placeholder" for p in result["pages"] for b in p["blocks"])


@pytest.mark.parametrize("value", ["Auto", "ALWAYS", "", "on", " off", "yes"])
def test_bad_ocr_value(value):
    d = mixed_document()
    for call in (lambda: d.llm_document(ocr=value), lambda: d.llm_chunks(ocr=value), lambda: d.ocr_requests(value)):
        with pytest.raises(ValueError, match=r"^ocr must be one of 'off', 'auto', or 'always'$"):
            call()


def test_bad_ocr_value_fails_before_any_work():
    d = document(("", "/Contents 99 0 R"))  # the text of this page cannot be read
    with pytest.raises(ValueError, match="^dangling reference to object 99 0$"):
        d.llm_document()
    with pytest.raises(ValueError, match="^ocr must be one of"):
        d.llm_document(ocr="sometimes")
    with pytest.raises(ValueError, match="^ocr must be one of"):
        d.ocr_requests(ocr="sometimes")


@pytest.mark.parametrize("kwargs, name", [
    ({"ocr": b"auto"}, "ocr"), ({"ocr": None}, "ocr"), ({"include_text": 1}, "include_text"),
    ({"include_annotations": None}, "include_annotations"),
])
def test_argument_types(kwargs, name):
    with pytest.raises(TypeError, match="^argument '%s': " % name):
        mixed_document().llm_document(**kwargs)


# ---- pages: boxes, rotation, labels ----

def test_media_box_reference_is_not_followed():
    d = document(("BT (x) Tj ET", "/MediaBox 100 0 R"), objects=[(100, "[0 0 612 792]")])
    (page,) = d.llm_chunks()
    assert page["media_box"] is None and page["blocks"][0]["bbox"] is None


def test_inherited_boxes_and_rotation():
    d = document(("BT (x) Tj ET", "/MediaBox [0 0 100 200.5] /Rotate 90.0"), ("", "/MediaBox 7"),
                 tree="/MediaBox [0 0 1 1] /CropBox [0 0 50 50] /Rotate 180")
    p1, p2 = d.llm_chunks()
    assert (p1["media_box"], p1["crop_box"], p1["rotate"]) == ([0.0, 0.0, 100.0, 200.5], [0.0, 0.0, 50.0, 50.0], None)
    assert (p2["media_box"], p2["crop_box"], p2["rotate"]) == (None, [0.0, 0.0, 50.0, 50.0], 180)


def test_page_request_bbox_is_the_media_box():
    resources, streams = images("Im1")
    d = document(("", resources + " /MediaBox [0 0 10 20 30]"), ("", resources), streams=streams)
    assert [r["bbox"] for r in d.ocr_requests()] == [None, LETTER]


def test_labels_and_ids_across_pages():
    d = document("BT (a) Tj ET", "BT (b) Tj ET", catalog="/PageLabels << /Nums [1 << /S /A >>] >>")
    pages = d.llm_chunks()
    assert [(p["page_label"], p["page_id"], [b["id"] for b in p["blocks"]]) for p in pages] == [
        ("1", "10 0 R", ["page-1-text"]), ("A", "12 0 R", ["page-2-text"])]
    assert all(b["page_index"] == p["page_index"] for p in pages for b in p["blocks"])


def test_metadata_in_document_and_every_chunk():
    d = document("", "", info="/Title (T) /Custom (c)")
    result = d.llm_document()
    assert result["metadata"] == d.metadata() and d.metadata()["title"] == "T"
    assert [p["metadata"] for p in result["pages"]] == [d.metadata()] * 2
    # Each is a dict of its own.
    result["pages"][0]["metadata"]["custom"]["Custom"] = "changed"
    result["pages"][0]["metadata"]["title"] = "changed"
    assert result["metadata"] == result["pages"][1]["metadata"] == d.metadata()


def test_metadata_is_not_copied_per_page():
    # 2,000 pages and a 1 MB XMP packet: a copy of the packet per page would
    # need 2 GB in the library and as much again in Python strings.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 4 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [%s] /Count 2000 >>" % " ".join("%d 0 R" % (10 + i) for i in range(2000)))
    b.stream(4, b"x" * 1_000_000)
    for i in range(2000):
        b.add(10 + i, "<< /Type /Page /Parent 2 0 R >>")
    d = quillet.Document(b.build())
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    pages = d.llm_chunks()
    chunks = d.page_chunks()
    grown_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert len(pages) == len(chunks) == 2000
    assert pages[1999]["metadata"]["xmp"] is pages[0]["metadata"]["xmp"]
    assert grown_kb < 300_000


def test_label_failure_ends_the_export():
    d = document("", catalog="/PageLabels << /Nums [0 << /St 0 >>] >>")
    with pytest.raises(ValueError, match="^type mismatch in page label /St: expected positive integer$"):
        d.llm_document()


def test_ids_are_unique_and_requests_match_their_blocks():
    resources, streams = images("Im1", "Im2")
    annots = " /Annots [<< /Subtype /Link /Dest /x >> << /Subtype /Text >>]"
    d = document(("BT (t) Tj ET", resources + annots), ("", resources + annots), streams=streams)
    result = d.llm_document(ocr="always")
    ids = [b["id"] for p in result["pages"] for b in p["blocks"]]
    assert len(ids) == len(set(ids))
    attached = [b["ocr_request"] for p in result["pages"] for b in p["blocks"] if b["ocr_request"]]
    assert attached == result["ocr_requests"]
    assert all(r["id"] in (b + "-ocr" for b in ids) or r["id"] in ids for r in attached)
    assert all(b["html"] is None for p in result["pages"] for b in p["blocks"])
    assert all(r["suggested_dpi"] == 200 for r in result["ocr_requests"])


# ---- real files ----

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "files"


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not present")
def test_corpus_exports_agree_with_the_feature_methods():
    checked = 0
    for path in sorted(CORPUS.glob("*.pdf")):
        try:
            d = quillet.Document(path.read_bytes())
            result = d.llm_document(ocr="always")
        except ValueError:
            continue
        checked += 1
        pages = result["pages"]
        assert [p["text"] for p in pages] == d.page_texts(), path.name
        assert [p["page_label"] for p in pages] == d.page_labels(), path.name
        ids = [b["id"] for p in pages for b in p["blocks"]]
        assert len(ids) == len(set(ids)), path.name
        images = sum(1 for p in pages for b in p["blocks"] if b["kind"] == "image")
        assert len(result["ocr_requests"]) == len(pages) + images, path.name
        # Everything the Markdown needs has been read successfully above.
        md = d.to_markdown()
        assert all("## Page %d\n\n" % (i + 1) in md for i in range(len(pages))), path.name
        assert [c["text"] for c in d.page_chunks()] == d.page_texts(), path.name
    assert checked > 100
