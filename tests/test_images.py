"""Images of pages: the search through resources and form XObjects, the
image records, and pixel decoding with its PNM rendering."""

import json
import zlib
from pathlib import Path

import pytest

import quillet
from pdfbuild import resource_pages_pdf
from corpus import CORPUS, manifest


def document(page_resources: list[str | None], objects=(), streams=(), pages_extra: str = "") -> quillet.Document:
    return quillet.Document(resource_pages_pdf(page_resources, objects, streams, pages_extra))


def image(width, height, color_space="/DeviceGray", bpc="8", extra="") -> str:
    """Dictionary entries of an image XObject."""
    entries = "/Type /XObject /Subtype /Image"
    if width is not None:
        entries += " /Width %s" % width
    if height is not None:
        entries += " /Height %s" % height
    if color_space is not None:
        entries += " /ColorSpace %s" % color_space
    if bpc is not None:
        entries += " /BitsPerComponent %s" % bpc
    return entries + (" " + extra if extra else "")


def form(resources: str | None) -> str:
    entries = "/Type /XObject /Subtype /Form /BBox [0 0 10 10]"
    return entries + (" /Resources " + resources if resources is not None else "")


def single_image(data: bytes, entries: str) -> quillet.Document:
    """One page whose /XObject lists image 10 as Im0."""
    return document(["<< /XObject << /Im0 10 0 R >> >>"], streams=[(10, data, entries)])


def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def pixels_of(data: bytes, entries: str) -> tuple[dict, bytes]:
    record = single_image(data, entries).page_images(0, include_pnm=True)[0]
    return record["decoded"], record["pnm"]


def pixel_error(data: bytes, entries: str) -> str:
    return error_of(lambda: single_image(data, entries).page_images(0, include_pnm=True))


# ---- the records ----

def test_full_record_keys_in_order():
    pixels = bytes(range(6))
    stored = zlib.compress(pixels)
    doc = single_image(stored, image(2, 1, "/DeviceRGB", extra="/Filter /FlateDecode"))
    [plain] = doc.page_images(0)
    assert plain == {
        "page_index": None,
        "page_id": None,
        "name": "Im0",
        "resource_path": "Im0",
        "xobject_path": ["Im0"],
        "id": "10 0 R",
        "width": 2,
        "height": 1,
        "bits_per_component": 8,
        "color_space": "/DeviceRGB",
        "filters": ["FlateDecode"],
        "encoded_length": len(stored),
        "decoded": None,
    }
    assert list(plain) == ["page_index", "page_id", "name", "resource_path", "xobject_path", "id", "width",
                           "height", "bits_per_component", "color_space", "filters", "encoded_length", "decoded"]
    full = doc.page_images(0, include_data=True, include_pnm=True)[0]
    assert list(full)[-3:] == ["decoded", "pnm", "data"]
    assert full["decoded"] == {"width": 2, "height": 1, "components": 3, "pnm_kind": "P6", "decoded_length": 6}
    assert list(full["decoded"]) == ["width", "height", "components", "pnm_kind", "decoded_length"]
    assert full["pnm"] == b"P6\n2 1\n255\n" + pixels
    assert full["data"] == pixels
    assert list(doc.page_images(0, include_data=True)[0])[-2:] == ["decoded", "data"]


def test_images_sets_page_index_and_id():
    doc = document(["<< /XObject << /A 10 0 R >> >>", None, "<< /XObject << /B 10 0 R /C 10 0 R >> >>"],
                   streams=[(10, b"\x00", image(1, 1))])
    assert [(r["page_index"], r["page_id"], r["name"]) for r in doc.images()] == [
        (0, "3 0 R", "A"), (2, "5 0 R", "B"), (2, "5 0 R", "C")]
    assert doc.page_images(1) == []


@pytest.mark.parametrize("resources", [None, "<< >>", "<< /Font << >> >>"])
def test_page_without_images(resources):
    doc = document([resources])
    assert doc.page_images(0) == []
    assert doc.images() == []


def test_optional_reads():
    doc = single_image(b"", "/Subtype /Image /Width 2.0 /Height 10 0 R /ColorSpace [/Indexed /DeviceRGB 1 <00FF00>] "
                            "/BitsPerComponent 1 /Filter [/AHx /DCT]")
    [r] = doc.page_images(0)
    assert (r["width"], r["height"], r["bits_per_component"]) == (None, None, 1)
    assert r["color_space"] == "[/Indexed /DeviceRGB 1 (\x00\ufffd\x00)]"
    assert r["filters"] == ["AHx", "DCT"]


def test_missing_color_space_and_dimensions_are_none():
    [r] = single_image(b"", "/Subtype /Image").page_images(0)
    assert [r[k] for k in ("width", "height", "bits_per_component", "color_space", "filters")] == \
        [None, None, None, None, []]


def test_names_in_byte_order_and_skipped_subtypes():
    doc = document(["<< /XObject << /Im10 10 0 R /Im2 10 0 R /Im1 10 0 R /PS 11 0 R /None 12 0 R "
                    "/Str 13 0 R /Other 14 0 R >> >>"],
                   streams=[(10, b"", image(1, 1)), (11, b"", "/Subtype /PS"), (12, b"", "/Type /XObject"),
                            (13, b"", "/Subtype (Image)"), (14, b"", "/Subtype /Imagex")])
    assert [r["name"] for r in doc.page_images(0)] == ["Im1", "Im10", "Im2"]


def test_direct_xobject_dictionary_through_reference_and_inherited():
    doc = document([None], [(11, "<< /XObject 12 0 R >>"), (12, "<< /X 10 0 R >>")],
                   streams=[(10, b"", image(1, 1))], pages_extra="/Resources 11 0 R")
    assert [(r["name"], r["id"]) for r in doc.page_images(0)] == [("X", "10 0 R")]


# ---- forms ----

def test_nested_forms_depth_first():
    # Page: A (image), Fm0 (form: Im1, Fm1 (form: Deep)), Fm9 (form without
    # resources), Z (image).
    doc = document(["<< /XObject << /Z 10 0 R /Fm0 20 0 R /A 10 0 R /Fm9 22 0 R >> >>"],
                   streams=[(10, b"", image(1, 1)),
                            (20, b"", form("<< /XObject << /Im1 10 0 R /Fm1 21 0 R >> >>")),
                            (21, b"", form("<< /XObject << /Deep 10 0 R >> >>")),
                            (22, b"", form(None))])
    records = doc.page_images(0)
    assert [(r["name"], r["resource_path"], r["xobject_path"]) for r in records] == [
        ("A", "A", ["A"]),
        ("Deep", "Fm0/Fm1/Deep", ["Fm0", "Fm1", "Deep"]),
        ("Im1", "Fm0/Im1", ["Fm0", "Im1"]),
        ("Z", "Z", ["Z"]),
    ]


def test_form_resources_through_a_reference():
    doc = document(["<< /XObject << /Fm0 20 0 R >> >>"], [(30, "<< /XObject << /Im1 10 0 R >> >>")],
                   streams=[(10, b"", image(1, 1)), (20, b"", form("30 0 R"))])
    assert [r["resource_path"] for r in doc.page_images(0)] == ["Fm0/Im1"]


def test_form_used_twice_is_searched_twice():
    doc = document(["<< /XObject << /A 20 0 R /B 20 0 R >> >>"],
                   streams=[(10, b"", image(1, 1)), (20, b"", form("<< /XObject << /Im 10 0 R >> >>"))])
    assert [r["resource_path"] for r in doc.page_images(0)] == ["A/Im", "B/Im"]


@pytest.mark.parametrize("streams, message", [
    ([(20, b"", form("<< /XObject << /Self 20 0 R >> >>"))],
     "XObject resource tree contains a cycle at object 20 0"),
    ([(20, b"", form("<< /XObject << /Next 21 0 R >> >>")), (21, b"", form("<< /XObject << /Back 20 0 R >> >>"))],
     "XObject resource tree contains a cycle at object 20 0"),
    ([(20, b"", form("5"))], "type mismatch in form XObject /Resources: expected dictionary"),
    ([(20, b"", form("50 0 R"))], "dangling reference to object 50 0"),
    ([(20, b"", form("<< /XObject [] >>"))], "type mismatch in page /Resources /XObject: expected dictionary"),
    ([(20, b"", form("<< /XObject << /X 5 >> >>"))],
     "type mismatch in page /Resources /XObject item: expected stream"),
    ([(20, b"", form("<< /XObject << /X 50 0 R >> >>"))], "dangling reference to object 50 0"),
])
def test_form_errors(streams, message):
    # Image A is found before the failing form: nothing partial comes back.
    doc = document(["<< /XObject << /A 10 0 R /Fm 20 0 R >> >>"], streams=[(10, b"", image(1, 1))] + streams)
    assert error_of(lambda: doc.page_images(0)) == message
    assert error_of(doc.images) == message


@pytest.mark.parametrize("resources, objects, message", [
    ("<< /XObject 5 >>", [], "type mismatch in page /Resources /XObject: expected dictionary"),
    ("<< /XObject 50 0 R >>", [], "dangling reference to object 50 0"),
    ("<< /XObject << /X << /Subtype /Image >> >> >>", [],
     "type mismatch in page /Resources /XObject item: expected stream"),
    ("<< /XObject << /X 11 0 R >> >>", [(11, "<< /Subtype /Image >>")],
     "type mismatch in page /Resources /XObject item: expected stream"),
    ("[]", [], "type mismatch in page /Resources: expected dictionary"),
])
def test_page_level_errors(resources, objects, message):
    doc = document([resources], objects)
    assert error_of(lambda: doc.page_images(0)) == message


def chain_of_forms(length: int) -> quillet.Document:
    """Forms 20, 21, ... each listing the next as Fm; the last lists Im."""
    streams = [(10, b"", image(1, 1))]
    for i in range(length):
        inner = "<< /XObject << /Im 10 0 R >> >>" if i == length - 1 else "<< /XObject << /Fm %d 0 R >> >>" % (21 + i)
        streams.append((20 + i, b"", form(inner)))
    return document(["<< /XObject << /Fm 20 0 R >> >>"], streams=streams)


def test_deep_form_chain_is_bounded_not_a_stack_overflow():
    [r] = chain_of_forms(64).page_images(0)
    assert r["xobject_path"] == ["Fm"] * 64 + ["Im"]
    message = "type mismatch in page /Resources /XObject: expected at most 64 nested form XObjects"
    assert error_of(lambda: chain_of_forms(65).page_images(0)) == message
    assert error_of(lambda: chain_of_forms(20_000).page_images(0)) == message


def shared_forms(levels: int, bottom: str) -> quillet.Document:
    """Form i lists form i+1 under two names, L and R: 2^(levels-1) paths
    lead to the last form, which lists `bottom` (stream 10) as X."""
    streams = [(10, b"", bottom)]
    for i in range(levels):
        inner = ("<< /XObject << /X 10 0 R >> >>" if i == levels - 1
                 else "<< /XObject << /L %d 0 R /R %d 0 R >> >>" % (21 + i, 21 + i))
        streams.append((20 + i, b"", form(inner)))
    return document(["<< /XObject << /Fm 20 0 R >> >>"], streams=streams)


def test_forms_shared_along_many_branches_are_bounded():
    records = shared_forms(10, image(1, 1)).page_images(0)
    assert len(records) == 2 ** 9
    assert records[0]["resource_path"] == "Fm/" + "L/" * 9 + "X"
    assert records[-1]["resource_path"] == "Fm/" + "R/" * 9 + "X"
    # 2^40 paths: the walk stops after a million entries, not after 2^41.
    assert error_of(lambda: shared_forms(41, "/Subtype /PS").page_images(0)) == \
        "type mismatch in page /Resources /XObject: expected at most 1000000 XObject entries per page"
    assert error_of(lambda: shared_forms(41, image(1, 1)).images()) == \
        "type mismatch in page /Resources /XObject: expected at most 67108864 bytes of image paths per page"


def test_long_names_under_many_occurrences_are_bounded():
    # Every image found copies its path: a 100 kB form name above 1000
    # images would hold 200 MB of paths.
    long_name = "N" * 100_000
    names = " ".join("/I%d 10 0 R" % i for i in range(1000))
    doc = document(["<< /XObject << /%s 20 0 R >> >>" % long_name],
                   streams=[(10, b"", image(1, 1)), (20, b"", form("<< /XObject << %s >> >>" % names))])
    assert error_of(lambda: doc.page_images(0)) == \
        "type mismatch in page /Resources /XObject: expected at most 67108864 bytes of image paths per page"


# ---- pixels ----

@pytest.mark.parametrize("color_space, width, height, data, expected", [
    ("/DeviceGray", 1, 1, b"\x07", b"\x07"),
    ("/DeviceGray", 3, 2, b"\x01\x02\x03\x04\x05\x06\x07", b"\x01\x02\x03\x04\x05\x06"),
    ("/DeviceRGB", 2, 3, bytes(range(18)), bytes(range(18))),
    ("/DeviceRGB", 2, 3, bytes(range(20)), bytes(range(18))),
    # 255 - C - K and so on, clamped at zero.
    ("/DeviceCMYK", 7, 1,
     bytes([0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 200, 10, 30, 100, 0, 0, 0, 255, 10, 20, 30, 40, 9]),
     bytes([255, 255, 255, 0, 255, 255, 255, 0, 255, 255, 255, 0, 0, 145, 125, 0, 0, 0, 205, 195, 185])),
])
def test_pixel_paths(color_space, width, height, data, expected):
    decoded, pnm = pixels_of(data, image(width, height, color_space))
    kind, components = ("P5", 1) if color_space == "/DeviceGray" else ("P6", 3)
    assert decoded == {"width": width, "height": height, "components": components, "pnm_kind": kind,
                       "decoded_length": len(expected)}
    assert pnm == kind.encode() + b"\n%d %d\n255\n" % (width, height) + expected


def test_cmyk_example_and_exact_pnm_bytes():
    _, pnm = pixels_of(bytes.fromhex("00000000FF000000"), image(2, 1, "/DeviceCMYK"))
    assert pnm == b"P6\n2 1\n255\n" + bytes.fromhex("FFFFFF00FFFF")
    _, gray = pixels_of(b"\x80", image(1, 1))
    assert gray == b"P5\n1 1\n255\n\x80"


@pytest.mark.parametrize("filters", ["", "/Filter /FlateDecode", "/Filter [/AHx /Fl]", "/Filter /RL"])
@pytest.mark.parametrize("color_space, per_pixel", [("/DeviceGray", 1), ("/DeviceRGB", 3), ("/DeviceCMYK", 4)])
def test_pixels_through_filters_match_direct_computation(filters, color_space, per_pixel):
    width, height = 37, 11
    raw = bytes((i * 7 + i // 5) % 256 for i in range(width * height * per_pixel + 9))
    if "AHx" in filters:
        stored = zlib.compress(raw).hex().encode() + b">"
    elif "Flate" in filters:
        stored = zlib.compress(raw)
    elif "RL" in filters:
        stored = b"".join(bytes([len(raw[i:i + 128]) - 1]) + raw[i:i + 128] for i in range(0, len(raw), 128)) + b"\x80"
    else:
        stored = raw
    record = single_image(stored, image(width, height, color_space, extra=filters)).page_images(
        0, include_data=True, include_pnm=True)[0]
    n = width * height
    if per_pixel == 4:
        expected = bytearray()
        for i in range(n):
            c, m, y, k = raw[4 * i:4 * i + 4]
            expected += bytes([max(0, 255 - c - k), max(0, 255 - m - k), max(0, 255 - y - k)])
    else:
        expected = raw[:n * per_pixel]
    header = b"P6" if per_pixel > 1 else b"P5"
    assert record["pnm"] == header + b"\n%d %d\n255\n" % (width, height) + bytes(expected)
    # The data key is the filter output, not the pixels.
    assert record["data"] == raw


@pytest.mark.parametrize("entries, message", [
    (image(0, 1), "type mismatch in image /Width: expected positive integer"),
    (image(-5, 1), "type mismatch in image /Width: expected positive integer"),
    (image(None, 1), "type mismatch in image /Width: expected positive integer"),
    (image("1.0", 1), "type mismatch in image /Width: expected positive integer"),
    (image("30 0 R", 1), "type mismatch in image /Width: expected positive integer"),
    (image(1, 0), "type mismatch in image /Height: expected positive integer"),
    (image(1, None), "type mismatch in image /Height: expected positive integer"),
    (image(1, 1, bpc="1"), "failed to decode /Image stream: only 8-bit image components can be decoded to pixels"),
    (image(1, 1, bpc="16"), "failed to decode /Image stream: only 8-bit image components can be decoded to pixels"),
    (image(1, 1, bpc="8.0"), "failed to decode /Image stream: only 8-bit image components can be decoded to pixels"),
    (image(1, 1, bpc=None), "failed to decode /Image stream: only 8-bit image components can be decoded to pixels"),
    (image(1, 1, color_space=None), "missing required entry /ColorSpace in image XObject"),
    (image(1, 1, "/DeviceGrey"), "failed to decode /Image stream: unsupported image color space /DeviceGrey"),
    (image(1, 1, "/ICCBased"), "failed to decode /Image stream: unsupported image color space /ICCBased"),
    (image(1, 1, "30 0 R"), "failed to decode /Image stream: unsupported image color space 30 0 R"),
    (image(1, 1, "[/Indexed /DeviceRGB 0 <FFFFFF>]"),
     "failed to decode /Image stream: unsupported image color space [/Indexed /DeviceRGB 0 (\ufffd\ufffd\ufffd)]"),
    (image(1, 1, "[/CalRGB << >>]"), "failed to decode /Image stream: unsupported image color space [/CalRGB << >>]"),
    (image(2, 2), "failed to decode /Image stream: decoded image data is shorter than Width * Height"),
    (image(1, 2, "/DeviceRGB"), "failed to decode /Image stream: decoded RGB image data is shorter than Width * Height * 3"),
    (image(1, 1, "/DeviceCMYK"),
     "failed to decode /Image stream: decoded CMYK image data is shorter than Width * Height * 4"),
    (image(4294967296, 4294967296), "failed to decode /Image stream: image dimensions overflow"),
    (image(4294967296, 2147483648, "/DeviceRGB"), "failed to decode /Image stream: RGB image dimensions overflow"),
    (image(2147483648, 2147483648, "/DeviceCMYK"), "failed to decode /Image stream: CMYK image dimensions overflow"),
    (image(1, 1, extra="/Filter /DCTDecode"), "failed to decode /DCTDecode stream: filter is not supported yet"),
    # The stream is decoded before the colour space is looked at.
    (image(1, 1, "/ICCBased", extra="/Filter /DCT"), "failed to decode /DCT stream: filter is not supported yet"),
    # The dictionary is checked before the stream is decoded.
    (image(0, 1, extra="/Filter /DCTDecode"), "type mismatch in image /Width: expected positive integer"),
])
def test_pixel_errors(entries, message):
    assert pixel_error(b"\x01\x02\x03", entries) == message


def test_huge_declared_image_over_little_data_fails_without_allocating():
    # 10^12 RGB pixels declared over a few bytes: short data, not a 3 TB buffer.
    for color_space, message in [
        ("/DeviceGray", "decoded image data is shorter than Width * Height"),
        ("/DeviceRGB", "decoded RGB image data is shorter than Width * Height * 3"),
        ("/DeviceCMYK", "decoded CMYK image data is shorter than Width * Height * 4"),
    ]:
        entries = image(1_000_000, 1_000_000, color_space, extra="/Filter /FlateDecode")
        assert pixel_error(zlib.compress(b"\xff" * 1000), entries) == "failed to decode /Image stream: " + message
    assert pixel_error(b"", image(2**62, 2, "/DeviceGray")) == \
        "failed to decode /Image stream: decoded image data is shorter than Width * Height"


def test_pixels_only_when_asked_for():
    doc = document(["<< /XObject << /Bad 10 0 R /Good 11 0 R >> >>"],
                   streams=[(10, b"\x00", image(1, 1, bpc="1")), (11, b"\x00", image(1, 1))])
    assert [r["decoded"] for r in doc.images()] == [None, None]
    message = "failed to decode /Image stream: only 8-bit image components can be decoded to pixels"
    assert error_of(lambda: doc.images(include_pnm=True)) == message
    assert error_of(lambda: doc.page_images(0, include_pnm=True)) == message


def test_data_errors_only_when_asked_for():
    doc = single_image(b"not zlib", image(1, 1, extra="/Filter /FlateDecode"))
    assert doc.page_images(0)[0]["filters"] == ["FlateDecode"]
    assert error_of(lambda: doc.page_images(0, include_data=True)) == \
        "failed to decode /FlateDecode stream: corrupt deflate stream"
    bad_filter = single_image(b"", image(1, 1, extra="/Filter 5"))
    assert error_of(lambda: bad_filter.page_images(0)) == "type mismatch in stream /Filter: expected name or array"


def test_shared_image_on_many_pages_gives_equal_results():
    raw = bytes(range(256)) * 3
    doc = document(["<< /XObject << /A 10 0 R /B 10 0 R >> >>"] * 3,
                   streams=[(10, zlib.compress(raw), image(16, 16, "/DeviceRGB", extra="/Filter /FlateDecode"))])
    records = doc.images(include_data=True, include_pnm=True)
    assert len(records) == 6
    assert all(r["pnm"] == b"P6\n16 16\n255\n" + raw for r in records)
    assert all(r["data"] == raw for r in records)
    # Each record has its own "decoded" dict.
    records[0]["decoded"]["width"] = 0
    assert records[1]["decoded"]["width"] == 16


def test_page_index_rule_and_argument_types():
    doc = single_image(b"\x00", image(1, 1))
    assert error_of(lambda: doc.page_images(1)) == "page index out of range"
    with pytest.raises(OverflowError):
        doc.page_images(-1)
    with pytest.raises(TypeError, match="^argument 'include_pnm': "):
        doc.page_images(0, include_pnm=None)
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        doc.images(1)
    with pytest.raises(TypeError):
        doc.images(False, False, False)


# ---- corpus ----



def corpus_files():
    return [row["name"] for row in manifest() if row["has_images"] == "y"]


def oracle_filters(value, objects: dict) -> list[str]:
    """The oracle writes one filter as a name, none as [null], and a /Filter
    given by reference as the reference, whose value is in its object list."""
    if isinstance(value, str) and value.endswith(" R"):
        value = objects["obj:" + value]["value"]
    if isinstance(value, str):
        value = [value]
    return [name[1:] for name in value if name]


@pytest.mark.skipif(not corpus_files(), reason="corpus not available")
def test_corpus_page_level_images_match_oracle():
    compared = 0
    for name in corpus_files():
        try:
            doc = quillet.Document.open(str(CORPUS / "files" / (name + ".pdf")))
            with (CORPUS / "oracle" / name / "qpdf.json").open() as f:
                report = json.load(f)
            oracle = report.get("pages")
            if oracle is None:
                continue
            ours = [[r for r in doc.page_images(i) if len(r["xobject_path"]) == 1] for i in range(len(oracle))]
        except ValueError:
            continue
        for page, records in zip(oracle, ours):
            expected = sorted((i["name"][1:], i["object"], i["width"], i["height"], i["bitspercomponent"],
                               oracle_filters(i["filter"], report["qpdf"][1])) for i in page["images"])
            got = sorted((r["name"], r["id"], r["width"], r["height"], r["bits_per_component"], r["filters"])
                         for r in records)
            # The oracle leaves stencil masks out; they are images all the same.
            got = [g for g in got if g in expected or "/ImageMask true" not in doc.object_text(int(g[1].split()[0]))]
            assert got == expected, name
            compared += len(got)
    assert compared > 0


def test_image_listed_many_times_shares_its_color_space_text():
    # An indexed colour space with a long lookup table, shown once per name.
    lookup = "<" + "00" * 60_000 + ">"
    names = " ".join("/I%d 10 0 R" % i for i in range(40))
    doc = document(["<< /XObject << %s >> >>" % names],
                   streams=[(10, b"", image(1, 1, "[/Indexed /DeviceRGB 255 %s]" % lookup))])
    records = doc.page_images(0)
    assert len(records) == 40 and records[0]["color_space"].startswith("[/Indexed /DeviceRGB 255 (\x00\x00")
    assert all(r["color_space"] is records[0]["color_space"] for r in records)
