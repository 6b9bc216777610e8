"""Images as files to save: codecs passed through, the rest written as PNG
in gray or RGB with alpha from masks, fax data wrapped in TIFF, and a
failure kept to its own image."""

import io
import zlib

import pytest

import quillet
from corpus import CORPUS, manifest
from pdfbuild import resource_pages_pdf


def single(data: bytes, entries: str, objects=(), streams=()) -> dict:
    """The image_files record of image 10 (Im0) on a one-page document."""
    pdf = resource_pages_pdf(["<< /XObject << /Im0 10 0 R >> >>"], objects, [(10, data, entries)] + list(streams))
    [record] = quillet.Document(pdf).page_image_files(0)
    return record


def image(width: int, height: int, color_space: str = "/DeviceGray", bpc: int = 8, extra: str = "") -> str:
    return "/Subtype /Image /Width %d /Height %d /ColorSpace %s /BitsPerComponent %d %s" % (
        width, height, color_space, bpc, extra)


def opened(record: dict):
    """The saved bytes decoded by Pillow."""
    pil = pytest.importorskip("PIL.Image")
    assert record["error"] is None, record["error"]
    picture = pil.open(io.BytesIO(record["data"]))
    picture.load()
    return picture


def values(picture) -> list:
    return [picture.getpixel((x, y)) for y in range(picture.height) for x in range(picture.width)]


def pixels(record: dict, mode: str = "RGB") -> list:
    return values(opened(record).convert(mode))


# ---- records ----

def test_records_keep_the_identity_of_the_image_listing():
    pdf = resource_pages_pdf(["<< /XObject << /B 10 0 R /A 11 0 R >> >>", None, "<< /XObject << /C 10 0 R >> >>"],
                             streams=[(10, b"\x00", image(1, 1)), (11, b"", "/Subtype /Image")])
    doc = quillet.Document(pdf)
    files = doc.image_files()
    assert [list(r) for r in files] == [["page_index", "page_id", "name", "id", "width", "height", "format",
                                         "extension", "data", "error"]] * 3
    keys = ["page_index", "page_id", "name", "id", "width", "height"]
    assert [[r[k] for k in keys] for r in files] == [[r[k] for k in keys] for r in doc.images()]
    assert files[0]["width"] is None and files[0]["error"] == "type mismatch in image /Width: expected positive integer"
    assert [r["page_index"] for r in doc.page_image_files(2)] == [None]
    # One image shown twice is converted once; its bytes are shared.
    assert files[1]["data"] is files[2]["data"] and files[1]["extension"] == ".png"


# ---- PNG: colour spaces, depths, /Decode ----

# A 2 x 2 grid of RGB samples, the first input varying fastest.
SAMPLED = (21, bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9]),
           "/FunctionType 0 /Domain [0 1 0 1] /Range [0 1 0 1 0 1] /Size [2 2] /BitsPerSample 8")


@pytest.mark.parametrize("color_space, bpc, data, extra, expected", [
    ("/DeviceGray", 1, b"\xa0", "", [(255,) * 3, (0,) * 3, (255,) * 3]),
    ("/DeviceGray", 2, b"\x1b", "", [(0,) * 3, (85,) * 3, (170,) * 3]),
    ("/DeviceGray", 4, b"\x0f\xf0", "", [(0,) * 3, (255,) * 3, (255,) * 3]),
    ("/DeviceGray", 8, b"\x00\x80\xff", "", [(0,) * 3, (128,) * 3, (255,) * 3]),
    ("/DeviceGray", 8, b"\x00\x80\xff", "/Decode [1 0]", [(255,) * 3, (127,) * 3, (0,) * 3]),
    ("/DeviceGray", 1, b"\xa0", "/Decode [0 0.5]", [(128,) * 3, (0,) * 3, (128,) * 3]),
    ("/DeviceRGB", 8, bytes([255, 0, 0, 0, 255, 0, 1, 2, 3]), "", [(255, 0, 0), (0, 255, 0), (1, 2, 3)]),
    ("/DeviceRGB", 16, bytes([255, 0, 0, 0, 0, 0] * 3), "", [(255, 0, 0)] * 3),
    ("/DeviceRGB", 4, bytes([0xf0, 0x0f, 0x00, 0x0f, 0xf0]), "",
     [(255, 0, 0), (255, 0, 0), (0, 255, 255)]),
    ("/DeviceCMYK", 8, bytes([0, 0, 0, 0, 255, 0, 0, 0, 200, 10, 30, 100]), "",
     [(255, 255, 255), (0, 255, 255), (0, 145, 125)]),
    ("[/CalGray << /WhitePoint [1 1 1] >>]", 8, b"\x10\x20\x30", "", [(16,) * 3, (32,) * 3, (48,) * 3]),
    ("[/CalRGB << /WhitePoint [1 1 1] >>]", 8, bytes(range(9)), "", [(0, 1, 2), (3, 4, 5), (6, 7, 8)]),
    ("[/ICCBased 20 0 R]", 8, b"\x10\x20\x30", "", [(16,) * 3, (32,) * 3, (48,) * 3]),
    ("[/Lab << /WhitePoint [0.9505 1 1.089] >>]", 8, bytes([255, 128, 128, 0, 128, 128, 128, 128, 128]),
     "/Decode [0 100 -128 127 -128 127]", [(255, 255, 255), (0, 0, 0), (119, 119, 119)]),
    ("[/Indexed /DeviceRGB 2 <FF000000FF000000FF>]", 2, b"\x19", "", [(255, 0, 0), (0, 255, 0), (0, 0, 255)]),
    # An index beyond hival takes the last entry.
    ("[/Indexed /DeviceRGB 1 <FF000000FF00>]", 2, b"\x1c", "", [(255, 0, 0), (0, 255, 0), (0, 255, 0)]),
    ("[/Indexed [/ICCBased 20 0 R] 1 (\x00\xff)]", 8, b"\x01\x00\x01", "", [(255,) * 3, (0,) * 3, (255,) * 3]),
    ("[/Indexed /DeviceCMYK 0 <00FF0000>]", 8, b"\x00\x00\x00", "", [(255, 0, 255)] * 3),
    ("[/Separation /Spot /DeviceRGB << /FunctionType 2 /Domain [0 1] /C0 [1 1 1] /C1 [1 0 0] /N 1 >>]", 8,
     b"\x00\x80\xff", "", [(255, 255, 255), (255, 127, 127), (255, 0, 0)]),
    # The grid's corners, then between (1, 0) and (1, 1).
    ("[/DeviceN [/A /B] /DeviceRGB 21 0 R]", 8, bytes([0, 0, 255, 0, 0, 255, 255, 255, 255, 128]), "",
     [(255, 0, 0), (0, 255, 0), (0, 0, 255), (9, 9, 9), (5, 132, 5)]),
])
def test_colour_spaces_and_depths(color_space, bpc, data, extra, expected):
    icc = (20, b"", "/N 1 /Alternate /DeviceGray")
    record = single(data, image(len(expected), 1, color_space, bpc, extra), streams=[icc, SAMPLED])
    assert (record["format"], record["extension"], record["data"][:8]) == ("png", ".png", b"\x89PNG\r\n\x1a\n")
    assert pixels(record) == expected


def test_sixteen_bit_gray_keeps_its_depth():
    picture = opened(single(b"\x12\x34\xff\xff", image(2, 1, bpc=16)))
    assert picture.mode == "I;16" and values(picture) == [0x1234, 0xFFFF]


def test_palette_is_written_as_a_palette():
    picture = opened(single(b"\x02\x00\x01", image(3, 1, "[/Indexed /DeviceRGB 2 <FF000000FF000000FF>]")))
    assert picture.mode == "P" and values(picture) == [2, 0, 1]


# ---- masks ----

@pytest.mark.parametrize("decode, expected", [("", [0, 255, 0, 255]), ("/Decode [1 0]", [255, 0, 255, 0])])
def test_stencil_mask_paints_black(decode, expected):
    # Samples 0 paint (black); /Decode [1 0] makes 1 paint.
    record = single(b"\x50", "/Subtype /Image /Width 4 /Height 1 /ImageMask true /BitsPerComponent 1 " + decode)
    assert pixels(record, "L") == expected


RGB_2X1 = bytes([255, 0, 0, 0, 0, 255])


@pytest.mark.parametrize("mask, stream, expected", [
    ("/SMask 11 0 R", (b"\x40\xc0", image(2, 1)), [(255, 0, 0, 64), (0, 0, 255, 192)]),
    ("/SMask 11 0 R", (b"\x40\xc0", image(2, 1, extra="/Decode [1 0]")), [(255, 0, 0, 191), (0, 0, 255, 63)]),
    # A mask of another size is left out.
    ("/SMask 11 0 R", (b"\x40\xc0\x00\x00", image(2, 2)), [(255, 0, 0, 255), (0, 0, 255, 255)]),
    # A stencil: 1 hides the pixel.
    ("/Mask 11 0 R", (b"\x40", "/Subtype /Image /Width 2 /Height 1 /ImageMask true"),
     [(255, 0, 0, 255), (0, 0, 255, 0)]),
    ("/Mask [0 10 0 10 250 255]", None, [(255, 0, 0, 255), (0, 0, 255, 0)]),
    # /SMask wins over /Mask.
    ("/SMask 11 0 R /Mask [0 255 0 255 0 255]", (b"\x40\xc0", image(2, 1)), [(255, 0, 0, 64), (0, 0, 255, 192)]),
])
def test_masks_become_alpha(mask, stream, expected):
    streams = [(11,) + stream] if stream else []
    assert pixels(single(RGB_2X1, image(2, 1, "/DeviceRGB", extra=mask), streams=streams), "RGBA") == expected


def test_palette_with_alpha_is_expanded():
    record = single(b"\x01\x00", image(2, 1, "[/Indexed /DeviceGray 1 <00FF>]", extra="/Mask [1 1]"))
    assert opened(record).mode == "LA" and pixels(record, "LA") == [(255, 0), (0, 255)]


# ---- codecs passed through ----

STAND_IN = b"\xff\xd8 stand-in \xff\xd9"


@pytest.mark.parametrize("filters, stored, expected", [
    ("/DCTDecode", STAND_IN, ("jpeg", ".jpg", STAND_IN)),
    ("/DCT", STAND_IN, ("jpeg", ".jpg", STAND_IN)),
    ("[/ASCIIHexDecode /DCTDecode]", STAND_IN.hex().encode() + b">", ("jpeg", ".jpg", STAND_IN)),
    ("[/FlateDecode /JPXDecode]", zlib.compress(b"\x00\x00\x00\x0cjP  "), ("jp2", ".jp2", b"\x00\x00\x00\x0cjP  ")),
    ("/JBIG2Decode", b"\x00\x00\x00\x00\x30", ("jbig2", ".jb2", b"\x00\x00\x00\x00\x30")),
])
def test_codecs_pass_through_byte_for_byte(filters, stored, expected):
    record = single(stored, image(1, 1, extra="/Filter " + filters))
    assert (record["format"], record["extension"], record["data"], record["error"]) == expected + (None,)


def test_real_jpeg_opens_and_jbig2_globals_are_noted():
    pil = pytest.importorskip("PIL.Image")
    out = io.BytesIO()
    pil.new("CMYK", (8, 4), (0, 255, 0, 0)).save(out, "JPEG")
    record = single(out.getvalue(), image(8, 4, "/DeviceCMYK", extra="/Filter /DCTDecode"))
    assert record["data"] == out.getvalue() and opened(record).size == (8, 4)
    noted = single(b"segments", image(1, 1, extra="/Filter /JBIG2Decode /DecodeParms << /JBIG2Globals 12 0 R >>"))
    assert (noted["data"], noted["error"]) == (b"segments", "image needs the JBIG2 global segments of object 12 0")


@pytest.mark.parametrize("compression, params", [
    ("group4", "/K -1"),
    ("group3", "/K 0 /EndOfLine true"),
    ("tiff_ccitt", "/K 0 /EncodedByteAlign true"),
])
def test_ccitt_is_wrapped_in_a_tiff_that_opens(compression, params):
    pil = pytest.importorskip("PIL.Image")
    picture = pil.new("1", (40, 12), 1)
    for x in range(3, 30):
        picture.putpixel((x, 5), 0)
        picture.putpixel((x // 2, x % 12), 0)
    out = io.BytesIO()
    picture.save(out, "TIFF", compression=compression)
    tiff = pil.open(out)
    [offset], [length] = tiff.tag_v2[273], tiff.tag_v2[279]
    # Fax coding names black and white runs; the writer's photometric
    # says which is which, /BlackIs1 says the same to a PDF reader.
    black_is_1 = "true" if tiff.tag_v2[262] == 1 else "false"
    fax = out.getvalue()[offset:offset + length]
    entries = image(40, 12, bpc=1, extra="/Filter /CCITTFaxDecode /DecodeParms << %s /Columns 40 /BlackIs1 %s >>"
                    % (params, black_is_1))
    record = single(fax, entries)
    assert (record["format"], record["extension"]) == ("ccitt", ".tif")
    assert record["data"].endswith(fax) and pixels(record, "L") == values(picture.convert("L"))


# ---- failures stay with their image ----

def test_broken_image_beside_good_ones():
    pdf = resource_pages_pdf(["<< /XObject << /A 10 0 R /B 11 0 R /C 12 0 R /D 13 0 R >> >>"], streams=[
        (10, b"\x07", image(1, 1)),
        (11, b"not zlib", image(1, 1, extra="/Filter /FlateDecode")),
        (12, b"", image(1, 1, extra="/Filter 5")),
        (13, b"\x09", image(1, 1)),
    ])
    records = quillet.Document(pdf).image_files()
    assert [(r["name"], r["format"], r["data"] is None, r["error"]) for r in records] == [
        ("A", "png", False, None),
        ("B", "png", True, "failed to decode /FlateDecode stream: corrupt deflate stream"),
        ("C", None, True, "type mismatch in stream /Filter: expected name or array"),
        ("D", "png", False, None),
    ]


def test_page_walk_failures_still_raise():
    doc = quillet.Document(resource_pages_pdf(["<< /XObject << /X 5 >> >>"]))
    for call in (doc.image_files, lambda: doc.page_image_files(0)):
        with pytest.raises(ValueError, match="^type mismatch in page /Resources /XObject item: expected stream$"):
            call()
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_image_files(1)


IMAGE_ERROR = "failed to decode /Image stream: "


@pytest.mark.parametrize("entries, data, message", [
    # A huge declared image over a few bytes fails before anything is
    # allocated for it.
    (image(1_000_000, 1_000_000, "/DeviceRGB"), b"\xff" * 100,
     IMAGE_ERROR + "decoded image data is shorter than its declared size"),
    (image(2_000_000_000, 2_000_000_000, "/DeviceCMYK", 16), b"", IMAGE_ERROR + "image dimensions overflow"),
    (image(2**31, 1), b"", "type mismatch in image /Width: expected at most 2147483647 pixels"),
    (image(1, 1, bpc=3), b"\x00", "type mismatch in image /BitsPerComponent: expected 1, 2, 4, 8 or 16"),
    (image(1, 1, "/Pattern"), b"\x00", IMAGE_ERROR + "unsupported image color space /Pattern"),
    (image(1, 1, "[/Separation /S /DeviceGray << /FunctionType 4 /Domain [0 1] /Range [0 1] >>]"), b"\x00",
     IMAGE_ERROR + "unsupported tint transform: function type 4"),
    (image(1, 1, "[/Indexed /DeviceRGB 3 <FF0000>]"), b"\x00",
     IMAGE_ERROR + "Indexed color space lookup table is too short"),
    (image(1, 1, "[/Indexed [/Indexed /DeviceGray 0 <00>] 0 <00>]"), b"\x00",
     IMAGE_ERROR + "unsupported image color space [/Indexed [/Indexed /DeviceGray 0 (\x00)] 0 (\x00)]"),
    (image(1, 1, "[/ICCBased 10 0 R]"), b"\x00", IMAGE_ERROR + "unsupported image color space [/ICCBased 10 0 R]"),
    (image(1, 1, extra="/Filter /LZWDecode"), b"", "failed to decode /LZWDecode stream: filter is not supported yet"),
])
def test_conversion_errors(entries, data, message):
    record = single(data, entries)
    assert (record["data"], record["error"]) == (None, message)


def test_colour_space_nesting_is_bounded():
    # A chain of ICC profiles, each the next one's /Alternate.
    objects = [(20 + i, "[/ICCBased %d 0 R]" % (40 + i)) for i in range(12)]
    streams = [(40 + i, b"", "/N 1 /Alternate %d 0 R" % (21 + i)) for i in range(12)]
    record = single(b"\x00", image(1, 1, "20 0 R"), objects, streams)
    assert record["error"] == "type mismatch in image /ColorSpace: expected at most 8 nested color spaces"


# ---- corpus ----

@pytest.mark.skipif(not manifest(), reason="corpus not available")
def test_corpus_every_image_gets_data_or_an_error():
    saved = 0
    for row in manifest():
        if row["has_images"] != "y":
            continue
        try:
            doc = quillet.Document.open(str(CORPUS / "files" / (row["name"] + ".pdf")))
            records = doc.image_files()
        except ValueError:
            continue
        for r in records:
            assert (r["data"] is None) != (r["error"] is None) or r["format"] == "jbig2", r
            if r["format"] == "png" and r["data"] is not None:
                opened(r)
                saved += 1
    assert saved > 0
