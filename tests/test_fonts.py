"""Fonts of pages: resource entries, descriptors and embedded font programs,
as fonts() and page_fonts() report them."""

import json
import zlib
from pathlib import Path

import pytest

import quillet
from pdfbuild import resource_pages_pdf
from corpus import CORPUS


def document(page_resources: list[str | None], objects=(), streams=(), pages_extra: str = "") -> quillet.Document:
    return quillet.Document(resource_pages_pdf(page_resources, objects, streams, pages_extra))


def one_page(resources: str, objects=(), streams=()) -> quillet.Document:
    return document([resources], objects, streams)


def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


PROGRAM = b"%!PS-AdobeFont-1.0: Demo\n" * 4

FULL = one_page(
    "<< /Font << /F1 10 0 R >> >>",
    objects=[
        (10, "<< /Type /Font /Subtype /Type1 /BaseFont /Demo-Bold /Encoding /WinAnsiEncoding /FontDescriptor 11 0 R >>"),
        (11, "<< /Type /FontDescriptor /FontName /Demo-Bold /FontFamily (Demo) /FontStretch /Condensed /Flags 32 "
             "/ItalicAngle -12.5 /Ascent 718 /Descent -207 /CapHeight 718 /StemV 88 /FontFile 12 0 R >>"),
    ],
    streams=[(12, zlib.compress(PROGRAM), "/Filter /FlateDecode /Length1 100 /Length2 5 0 R /Length3 0.0")],
)

FULL_RECORD = {
    "page_index": None,
    "page_id": None,
    "name": "F1",
    "id": "10 0 R",
    "subtype": "Type1",
    "base_font": "Demo-Bold",
    "encoding": "/WinAnsiEncoding",
    "descriptor_id": "11 0 R",
    "descriptor": {
        "id": "11 0 R",
        "font_name": "Demo-Bold",
        "font_family": "(Demo)",
        "font_stretch": "Condensed",
        "flags": 32,
        "italic_angle": "-12.5",
        "ascent": "718",
        "descent": "-207",
        "cap_height": "718",
        "stem_v": "88",
        "embedded_font": {
            "kind": "FontFile",
            "id": "12 0 R",
            "subtype": None,
            "filters": ["FlateDecode"],
            "encoded_length": len(zlib.compress(PROGRAM)),
            "length1": 100,
            "length2": None,
            "length3": None,
        },
    },
}


def test_full_record_keys_in_order_and_values():
    fonts = FULL.page_fonts(0)
    assert fonts == [FULL_RECORD]
    assert list(fonts[0]) == list(FULL_RECORD)
    assert list(fonts[0]["descriptor"]) == list(FULL_RECORD["descriptor"])
    assert list(fonts[0]["descriptor"]["embedded_font"]) == list(FULL_RECORD["descriptor"]["embedded_font"])


def test_include_data_adds_the_decoded_program_last():
    embedded = FULL.page_fonts(0, include_data=True)[0]["descriptor"]["embedded_font"]
    assert list(embedded)[-1] == "data"
    assert embedded["data"] == PROGRAM
    assert "data" not in FULL.page_fonts(0, include_data=False)[0]["descriptor"]["embedded_font"]


def test_fonts_sets_page_index_and_id():
    assert FULL.fonts() == [dict(FULL_RECORD, page_index=0, page_id="3 0 R")]


@pytest.mark.parametrize("resources", [None, "<< >>", "<< /ProcSet [/PDF] >>"])
def test_page_without_fonts(resources):
    doc = document([resources])
    assert doc.page_fonts(0) == []
    assert doc.fonts() == []


def test_resource_names_in_byte_order():
    doc = one_page("<< /Font << /F10 10 0 R /F2 10 0 R /F1 10 0 R /f0 10 0 R >> >>", [(10, "<< /Type /Font >>")])
    assert [f["name"] for f in doc.page_fonts(0)] == ["F1", "F10", "F2", "f0"]


def test_invalid_utf8_name_is_replaced():
    doc = one_page("<< /Font << /F#FF 10 0 R >> >>", [(10, "<< /Type /Font >>")])
    assert doc.page_fonts(0)[0]["name"] == "F\ufffd"


def test_direct_font_and_direct_descriptor_have_no_ids():
    doc = one_page("<< /Font << /F1 << /Subtype /TrueType /FontDescriptor << /FontName /X /Flags 32.0 >> >> >> >>")
    [font] = doc.page_fonts(0)
    assert font["id"] is None
    assert font["descriptor_id"] is None
    assert font["descriptor"] == {
        "id": None, "font_name": "X", "font_family": None, "font_stretch": None, "flags": None,
        "italic_angle": None, "ascent": None, "descent": None, "cap_height": None, "stem_v": None,
        "embedded_font": None,
    }


def test_resources_inherited_from_the_page_tree():
    doc = document([None], [(10, "<< /Type /Font /BaseFont /Inherited >>")],
                   pages_extra="/Resources << /Font << /F1 10 0 R >> >>")
    assert [f["base_font"] for f in doc.page_fonts(0)] == ["Inherited"]


def test_font_dictionary_and_resources_through_references():
    doc = one_page("10 0 R", [(10, "<< /Font 11 0 R >>"), (11, "<< /F1 12 0 R >>"), (12, "<< /Subtype /Type3 >>")])
    assert [(f["name"], f["id"], f["subtype"]) for f in doc.page_fonts(0)] == [("F1", "12 0 R", "Type3")]


@pytest.mark.parametrize("encoding, text", [
    ("/Encoding /MacRomanEncoding", "/MacRomanEncoding"),
    ("/Encoding 20 0 R", "20 0 R"),
    ("/Encoding << /Type /Encoding /Differences [1 /a /b] >>", "<< /Differences [1 /a /b] /Type /Encoding >>"),
    ("/Encoding (Identity-H)", "(Identity-H)"),
    ("", None),
])
def test_encoding_text_form(encoding, text):
    doc = one_page("<< /Font << /F1 10 0 R >> >>", [(10, "<< /Type /Font %s >>" % encoding)])
    assert doc.page_fonts(0)[0]["encoding"] == text


def test_optional_entries_of_the_wrong_type_give_none():
    doc = one_page("<< /Font << /F1 10 0 R >> >>", [
        (10, "<< /Subtype (Type1) /BaseFont (Helvetica) /FontDescriptor << /FontName (X) /FontFamily /Fam "
             "/FontStretch (Wide) /Flags 20 0 R /Ascent 1.5 /StemV [80] >> >>"),
    ])
    [font] = doc.page_fonts(0)
    assert (font["subtype"], font["base_font"]) == (None, None)
    d = font["descriptor"]
    assert (d["font_name"], d["font_family"], d["font_stretch"], d["flags"]) == (None, "/Fam", None, None)
    assert (d["ascent"], d["stem_v"]) == ("1.5", "[80]")


@pytest.mark.parametrize("entries, kind", [
    ("/FontFile2 20 0 R /FontFile3 21 0 R", "FontFile2"),
    ("/FontFile3 21 0 R", "FontFile3"),
    ("/FontFile3 21 0 R /FontFile 20 0 R /FontFile2 21 0 R", "FontFile"),
])
def test_font_file_preference(entries, kind):
    doc = one_page("<< /Font << /F1 << /FontDescriptor << %s >> >> >> >>" % entries,
                   streams=[(20, b"program", ""), (21, b"cff", "/Subtype /Type1C")])
    embedded = doc.page_fonts(0)[0]["descriptor"]["embedded_font"]
    assert embedded["kind"] == kind
    assert embedded["subtype"] == ("Type1C" if embedded["id"] == "21 0 R" else None)


def test_filters_applied_in_order_for_data():
    stored = zlib.compress(PROGRAM).hex().encode() + b">"
    doc = one_page("<< /Font << /F1 << /FontDescriptor << /FontFile3 20 0 R >> >> >> >>",
                   streams=[(20, stored, "/Filter [/AHx /Fl]")])
    embedded = doc.page_fonts(0, include_data=True)[0]["descriptor"]["embedded_font"]
    assert embedded["filters"] == ["AHx", "Fl"]
    assert embedded["encoded_length"] == len(stored)
    assert embedded["data"] == PROGRAM


def test_no_descriptor_and_no_program():
    doc = one_page("<< /Font << /F1 << /Subtype /Type1 >> /F2 << /FontDescriptor << /Flags 4 >> >> >> >>")
    f1, f2 = doc.page_fonts(0)
    assert f1["descriptor"] is None
    assert f2["descriptor"]["embedded_font"] is None


def test_fonts_are_not_merged():
    # Page 3 names object 10 twice, page 4 once: three records.
    doc = document(["<< /Font << /A 10 0 R /B 10 0 R >> >>", "<< /Font << /C 10 0 R >> >>"],
                   [(10, "<< /Type /Font /BaseFont /Shared >>")])
    assert [(f["page_index"], f["page_id"], f["name"], f["id"]) for f in doc.fonts()] == [
        (0, "3 0 R", "A", "10 0 R"), (0, "3 0 R", "B", "10 0 R"), (1, "4 0 R", "C", "10 0 R")]
    assert [f["name"] for f in doc.page_fonts(1)] == ["C"]


def test_shared_program_data_on_every_page():
    doc = document(["<< /Font << /F1 10 0 R >> >>"] * 3,
                   [(10, "<< /FontDescriptor << /FontFile2 20 0 R >> >>")],
                   streams=[(20, zlib.compress(PROGRAM), "/Filter /FlateDecode")])
    fonts = doc.fonts(include_data=True)
    assert [f["descriptor"]["embedded_font"]["data"] for f in fonts] == [PROGRAM] * 3


@pytest.mark.parametrize("resources, objects, message", [
    ("<< /Font 5 >>", [], "type mismatch in page /Resources /Font: expected dictionary"),
    ("<< /Font 50 0 R >>", [], "dangling reference to object 50 0"),
    ("<< /Font << /F1 (x) >> >>", [], "type mismatch in font resource: expected dictionary"),
    ("<< /Font << /F1 50 0 R >> >>", [], "dangling reference to object 50 0"),
    ("<< /Font << /F1 << /FontDescriptor /None >> >> >>", [],
     "type mismatch in font /FontDescriptor: expected dictionary"),
    ("<< /Font << /F1 << /FontDescriptor 50 0 R >> >> >>", [], "dangling reference to object 50 0"),
    ("<< /Font << /F1 << /FontDescriptor << /FontFile2 10 0 R >> >> >> >>", [(10, "<< /Length 0 >>")],
     "type mismatch in FontFile2: expected stream"),
    ("<< /Font << /F1 << /FontDescriptor << /FontFile 50 0 R >> >> >> >>", [],
     "dangling reference to object 50 0"),
    ("<< /Font << /F1 << /FontDescriptor << /FontFile3 [] >> >> >> >>", [],
     "type mismatch in FontFile3: expected stream"),
    ("5", [], "type mismatch in page /Resources: expected dictionary"),
])
def test_errors_fail_the_whole_call(resources, objects, message):
    # A good font listed first: nothing partial comes back.
    doc = document(["<< /Font << /F0 60 0 R >> >>", resources], [(60, "<< /Type /Font >>")] + objects)
    assert error_of(lambda: doc.page_fonts(1)) == message
    assert error_of(doc.fonts) == message


def test_filter_errors():
    doc = one_page("<< /Font << /F1 << /FontDescriptor << /FontFile 20 0 R >> >> >> >>",
                   streams=[(20, b"not zlib", "/Filter /FlateDecode")])
    # Listed without data; the program is only decoded when asked for.
    assert doc.page_fonts(0)[0]["descriptor"]["embedded_font"]["filters"] == ["FlateDecode"]
    assert error_of(lambda: doc.page_fonts(0, include_data=True)) == \
        "failed to decode /FlateDecode stream: corrupt deflate stream"
    bad_list = one_page("<< /Font << /F1 << /FontDescriptor << /FontFile 20 0 R >> >> >> >>",
                        streams=[(20, b"x", "/Filter [/AHx 3]")])
    assert error_of(lambda: bad_list.page_fonts(0)) == "type mismatch in stream /Filter item: expected name"


def test_page_index_rule_and_argument_types():
    assert error_of(lambda: FULL.page_fonts(1)) == "page index out of range"
    with pytest.raises(OverflowError):
        FULL.page_fonts(-1)
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        FULL.page_fonts(0, include_data=1)
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        FULL.fonts(None)
    with pytest.raises(TypeError, match="^argument 'index': "):
        FULL.page_fonts("0")





def oracle_fonts(objects: dict, page_ref: str) -> list[tuple]:
    """(name, id, base font, program kind, program id) of a page's fonts,
    read from the oracle's JSON copy of every object."""
    def value(v):
        if isinstance(v, str) and v.endswith(" R") and "obj:" + v in objects:
            entry = objects["obj:" + v]
            return entry["value"] if "value" in entry else entry["stream"]["dict"]
        return v

    node = value(page_ref)
    while "/Resources" not in node and "/Parent" in node:
        node = value(node["/Parent"])
    fonts = value(value(node.get("/Resources", {})).get("/Font", {}))
    out = []
    for key, ref in fonts.items():
        font = value(ref)
        descriptor = value(font.get("/FontDescriptor", {}))
        kind = next((k for k in ("FontFile", "FontFile2", "FontFile3") if "/" + k in descriptor), None)
        program = descriptor.get("/" + kind) if kind else None
        base = font.get("/BaseFont")
        out.append((key[1:], ref if isinstance(ref, str) else None, base[1:] if isinstance(base, str) else None,
                    kind, program))
    return sorted(out)


@pytest.mark.skipif(not (CORPUS / "files").is_dir(), reason="corpus not available")
def test_corpus_fonts_match_oracle_objects():
    compared = 0
    for path in sorted((CORPUS / "files").glob("*.pdf")):
        try:
            with (CORPUS / "oracle" / path.stem / "qpdf.json").open() as f:
                oracle = json.load(f)
            objects, pages = oracle["qpdf"][1], oracle["pages"]
            doc = quillet.Document.open(str(path))
            ours = [doc.page_fonts(i) for i in range(len(pages))]
        except (ValueError, KeyError):
            continue
        for page, fonts in zip(pages, ours):
            got = sorted((f["name"], f["id"], f["base_font"],
                          f["descriptor"] and f["descriptor"]["embedded_font"] and f["descriptor"]["embedded_font"]["kind"],
                          f["descriptor"] and f["descriptor"]["embedded_font"] and f["descriptor"]["embedded_font"]["id"])
                         for f in fonts)
            assert got == oracle_fonts(objects, page["object"]), path.name
            compared += len(got)
    assert compared > 0


def test_font_listed_many_times_shares_its_text_forms():
    # One font under many names shows the same long /Encoding and metrics:
    # the records share one str each rather than holding copies.
    differences = "[1 " + "/a " * 50_000 + "]"
    names = " ".join("/F%d 10 0 R" % i for i in range(40))
    doc = one_page("<< /Font << %s >> >>" % names, [
        (10, "<< /Encoding << /Differences %s >> /FontDescriptor 11 0 R >>" % differences),
        (11, "<< /FontFamily (%s) /Ascent 718 >>" % ("f" * 50_000)),
    ])
    fonts = doc.fonts()
    assert len(fonts) == 40 and fonts[0]["encoding"].startswith("<< /Differences [1 /a /a")
    assert all(f["encoding"] is fonts[0]["encoding"] for f in fonts)
    family = fonts[0]["descriptor"]["font_family"]
    assert family == "(" + "f" * 50_000 + ")"
    assert all(f["descriptor"]["font_family"] is family for f in fonts)
