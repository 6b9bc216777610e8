"""The reading engine: page_words, page_reading_text, reading_text and the
exports' reading=True path.

Pages use one font whose glyphs are all half an em wide, so at 10 points a
glyph is 5 points wide, and whose ascent and descent are 0.8 and -0.2 em.
"""

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf

FONT = ("<< /Type /Font /Subtype /Type1 /BaseFont /TestSans /FirstChar 32 /LastChar 126 /Widths [%s] "
        "/FontDescriptor << /Type /FontDescriptor /FontName /TestSans /Flags 32 /Ascent 800 /Descent -200 >> >>"
        % " ".join(["500"] * 95))
RESOURCES = "<< /Font << /F1 %s >> >>" % FONT


def doc(*pages, resources=RESOURCES, **kwargs) -> quillet.Document:
    return quillet.Document(simple_pdf(list(pages), resources=resources, **kwargs))


def bt(body: str, at: str = "72 700") -> str:
    return "BT /F1 10 Tf %s Td %s ET\n" % (at, body)


def reading(content: str, **kwargs) -> str:
    return doc(content, **kwargs).page_reading_text(0)


@pytest.mark.parametrize("body, expected", [
    ("(Hello) Tj", "Hello"),
    ("[(Hello) -300 (World)] TJ", "Hello World"),      # a gap of 0.3 em
    ("[(Hel) -50 (lo)] TJ", "Hello"),                   # kerning, not a space
    ("(Hello) Tj 30 0 Td (World) Tj", "Hello World"),   # Td past the word's end
    ("(Hello ) Tj 40 0 Td (World) Tj", "Hello World"),  # a shown space and a gap: one space
    ("(Hello  World) Tj", "Hello  World"),              # the spaces the content shows
    ("(H) Tj 5 0 Td (i) Tj", "Hi"),                     # glyph by glyph
    ("0.5 Tc (Hello) Tj", "Hello"),                     # slight letter spacing
    ("3 Tc (S) Tj 0 Tc (pace) Tj", "S pace"),           # wide letter spacing shows as a gap
    ("(Line one) Tj 0 -12 Td (Line two) Tj", "Line one\nLine two"),
    ("12 TL (a) Tj T* (b) Tj (c) ' ", "a\nb\nc"),
    ("(a) Tj 0 -12 Td (b) Tj 0 -12 Td (c) Tj 0 -36 Td (d) Tj", "a\nb\nc\n\nd"),  # paragraph spacing
    ("3 Tr (Hidden) Tj", "Hidden"),                     # invisible text reads like any other
    ("(x) Tj 0 3 Td (2) Tj", "x2"),                     # a superscript stays on its line
])
def test_words_and_lines(body, expected):
    assert reading(bt(body)) == expected


@pytest.mark.parametrize("content", [
    bt("(Bold) Tj") + bt("(Bold) Tj", "72.4 700.2"),                       # the string drawn twice
    bt("(B) Tj 0.4 0 Td (B) Tj 4.6 0 Td (o) Tj 0.4 0 Td (o) Tj 4.6 0 Td (ld) Tj"),  # glyph by glyph
])
def test_fake_bold_is_kept_once(content):
    assert reading(content) == "Bold"


def test_a_heading_is_a_block_of_its_own():
    content = "BT /F1 20 Tf 72 700 Td (Title) Tj /F1 10 Tf 0 -20 Td (Body one) Tj 0 -12 Td (Body two) Tj ET"
    assert reading(content) == "Title\n\nBody one\nBody two"


def test_two_columns_read_one_after_the_other():
    # Drawn row by row across both columns, read column by column.
    rows = []
    for i in range(4):
        y = 700 - 12 * i
        rows.append(bt("(left column line %d of text) Tj" % i, "72 %d" % y))
        rows.append(bt("(right column line %d of text) Tj" % i, "320 %d" % y))
    rows.append(bt("(A footer across the page below both columns of text) Tj", "72 600"))
    left = "\n".join("left column line %d of text" % i for i in range(4))
    right = "\n".join("right column line %d of text" % i for i in range(4))
    assert reading("\n".join(rows)) == left + "\n\n" + right + "\n\nA footer across the page below both columns of text"


def test_a_table_reads_row_by_row():
    rows = [bt("(%s) Tj 200 0 Td (%s) Tj" % pair, "72 %d" % (700 - 12 * i))
            for i, pair in enumerate([("Name:", "Ann"), ("City:", "Oslo"), ("Job:", "Pilot")])]
    assert reading("\n".join(rows)) == "Name: Ann\nCity: Oslo\nJob: Pilot"


@pytest.mark.parametrize("content, expected", [
    # Upright text first (there is more of it), the rotated line on its own.
    (bt("(Upright text here) Tj") + "BT /F1 10 Tf 0 1 -1 0 500 100 Tm (Sideways) Tj ET",
     "Upright text here\n\nSideways"),
    # A negative size turns the glyphs upside down; the pen runs leftwards.
    ("BT /F1 -10 Tf 300 700 Td (Hello) Tj ET", "Hello"),
    # Text at size zero keeps to lines of its own, after what shows.
    (bt("/F1 0 Tf (Zero size) Tj /F1 10 Tf (Shown) Tj"), "Shown\n\nZero size"),
])
def test_directions_keep_their_own_lines(content, expected):
    assert reading(content) == expected


def test_vertical_writing_runs_down_the_page():
    cmap = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
            b"1 begincodespacerange <0000> <FFFF> endcodespacerange\n"
            b"1 beginbfrange <0041> <005A> <0041> endbfrange\nendcmap end end\n")
    vertical = ("<< /Type /Font /Subtype /Type0 /BaseFont /TestMincho /Encoding /Identity-V /ToUnicode 100 0 R "
                "/DescendantFonts [<< /Type /Font /Subtype /CIDFontType0 /BaseFont /TestMincho /DW 1000 "
                "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> >>] >>")
    pdf = simple_pdf([bt("(Horizontal line) Tj") + "BT /F2 10 Tf 400 700 Td <004100420043> Tj ET"],
                     resources="<< /Font << /F1 %s /F2 %s >> >>" % (FONT, vertical),
                     extra_objects=[(100, b"<< /Length %d >>\nstream\n" % len(cmap) + cmap + b"\nendstream")])
    d = quillet.Document(pdf)
    assert d.page_reading_text(0) == "Horizontal line\n\nABC"
    assert d.page_words(0)[-1]["bbox"] == (395.0, 670.0, 405.0, 700.0)  # one em per glyph, downwards


def test_word_values_under_cm_and_tm():
    content = "q 1 0 0 1 50 0 cm BT /F1 10 Tf 2 0 0 3 100 200 Tm (Ab cd) Tj ET Q"
    words = doc(content).page_words(0)
    assert words == [
        {"text": "Ab", "bbox": (150.0, 194.0, 170.0, 224.0), "font": "TestSans", "size": 30.0, "block": 0, "line": 0},
        {"text": "cd", "bbox": (180.0, 194.0, 200.0, 224.0), "font": "TestSans", "size": 30.0, "block": 0, "line": 0},
    ]
    assert list(words[0]) == ["text", "bbox", "font", "size", "block", "line"]


def form_document(page_content: str, form_content: str, form_entries: str = "", extra=(),
                  xobjects: str = "/Fm0 10 0 R") -> quillet.Document:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
             "/Resources << /Font << /F1 %s >> /XObject << %s >> >> >>" % (FONT, xobjects))
    b.stream(4, page_content.encode())
    b.stream(10, form_content.encode(), "/Type /XObject /Subtype /Form /BBox [0 0 500 500] " + form_entries)
    for number, data, entries in extra:
        b.stream(number, data.encode(), entries)
    return quillet.Document(b.build())


def test_form_xobject_with_a_matrix_and_the_pages_font():
    d = form_document("q 2 0 0 2 100 100 cm /Fm0 Do Q", "BT /F1 10 Tf 0 0 Td (Form) Tj ET", "/Matrix [1 0 0 1 10 0]")
    assert d.page_words(0) == [
        {"text": "Form", "bbox": (120.0, 96.0, 160.0, 116.0), "font": "TestSans", "size": 20.0, "block": 0, "line": 0}]
    assert d.page_text(0) == ""  # content-order extraction does not enter forms


def test_annotation_appearances_are_read_unless_hidden():
    widget = ("<< /Type /Annot /Subtype /Widget /Rect [300 600 400 620] /F %d /AP << /N 10 0 R >> >>")
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Annots [5 0 R 6 0 R] >>")
    b.stream(4, b"")
    b.add(5, widget % 4)
    b.add(6, widget % 2)  # hidden
    b.stream(10, b"BT /F1 10 Tf 2 5 Td (Filled) Tj ET",
             "/Type /XObject /Subtype /Form /BBox [0 0 100 20] /Resources << /Font << /F1 %s >> >>" % FONT)
    d = quillet.Document(b.build())
    assert d.page_words(0)[0]["bbox"] == (302.0, 603.0, 332.0, 613.0)
    assert d.reading_text() == "Filled"


def test_ligatures_are_spelled_out():
    cmap = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
            b"1 begincodespacerange <00> <FF> endcodespacerange\n"
            b"1 beginbfchar <41> <FB01> endbfchar\nendcmap end end\n")
    font = FONT.replace("/Type /Font", "/Type /Font /ToUnicode 100 0 R", 1)
    pdf = simple_pdf([bt("(Ance) Tj")], resources="<< /Font << /F1 %s >> >>" % font,
                     extra_objects=[(100, b"<< /Length %d >>\nstream\n" % len(cmap) + cmap + b"\nendstream")])
    assert quillet.Document(pdf).page_reading_text(0) == "fince"


def test_reading_text_joins_pages_with_form_feeds():
    d = doc(bt("(One) Tj"), "", bt("(Three) Tj"))
    assert d.reading_text() == "One\f\fThree"
    assert [d.page_reading_text(i) for i in range(3)] == ["One", "", "Three"]


def test_exports_take_reading_text_when_asked():
    d = doc(bt("[(Hello) -300 (World)] TJ") + bt("(Second block) Tj", "72 600"))
    assert "HelloWorld" in d.to_markdown()
    assert "Hello World\n\nSecond block" in d.to_markdown(reading=True)
    assert d.page_chunks(reading=True)[0]["text"] == d.page_reading_text(0)
    page = d.llm_chunks(reading=True)[0]
    assert page["text"] == d.page_reading_text(0)
    texts = [b for b in page["blocks"] if b["kind"] == "text"]
    assert [(b["id"], b["text"], b["bbox"]) for b in texts] == [
        ("page-1-text-1", "Hello World", [72.0, 698.0, 125.0, 708.0]),
        ("page-1-text-2", "Second block", [72.0, 598.0, 132.0, 608.0]),
    ]
    assert d.llm_document(reading=True)["pages"] == d.llm_chunks(reading=True)


@pytest.mark.parametrize("content, resources, message", [
    (bt("(x) Tj") + "5", RESOURCES, "invalid token at byte 34: content stream ended with dangling operands"),
    (bt("(x) Tj"), "<< /Font << /F1 5 >> >>", "type mismatch in font resource: expected dictionary"),
    (bt("(x) Tj"), "<< /Font 5 >>", "type mismatch in page /Resources /Font: expected dictionary"),
])
def test_failures_are_those_of_page_text(content, resources, message):
    d = doc(content, resources=resources)
    for call in (d.page_text, d.page_reading_text, d.page_words):
        with pytest.raises(ValueError, match="^" + message + "$"):
            call(0)


def test_page_index_rule():
    d = doc(bt("(x) Tj"))
    for call in (d.page_reading_text, d.page_words):
        with pytest.raises(ValueError, match="^page index out of range$"):
            call(1)
        with pytest.raises(OverflowError):
            call(-1)


def test_deep_graphics_state_nesting_is_bounded():
    with pytest.raises(ValueError, match="^type mismatch in page content: expected at most 32768 nested graphics states$"):
        reading("q " * 40000)


def test_a_form_drawing_itself_is_a_cycle():
    d = form_document("/Fm0 Do", "/Fm0 Do", "/Resources << /XObject << /Fm0 10 0 R >> >>")
    with pytest.raises(ValueError, match="^XObject resource tree contains a cycle at object 10 0$"):
        d.page_reading_text(0)


def test_forms_drawn_along_many_branches_are_bounded():
    # Each form draws the next twice: 2^24 copies of a string drawn off the
    # page, far beyond the work one page may take.
    levels = 24
    extra = [(11 + i, "/Fm0 Do /Fm0 Do" if i < levels - 1 else bt("(%s) Tj" % ("x" * 64), "-900 -900"),
              "/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources << /Font << /F1 %s >> "
              "/XObject << /Fm0 %d 0 R >> >>" % (FONT, 12 + i)) for i in range(levels)]
    d = form_document("/Fm0 Do", "/Fm0 Do /Fm0 Do", "/Resources << /XObject << /Fm0 11 0 R >> >>", extra)
    with pytest.raises(ValueError, match="^type mismatch in page content: expected at most 16777216 operations and glyphs$"):
        d.page_reading_text(0)


@pytest.mark.parametrize("body, expected", [
    ("50 Tz (Hello) Tj 20 0 Td (World) Tj", "Hello World"),  # half-width glyphs: "Hello" ends at 12.5
    ("50 Tz (Hello) Tj 12.5 0 Td (World) Tj", "HelloWorld"),
    ("-14 TL (one) Tj 0 -14 TD (two) Tj T* (three) Tj", "one\ntwo\nthree"),
    ("2 Ts (up) Tj 0 Ts ( and down) Tj", "up and down"),
    ("(a) Tj 1 0 0 1 300 700 Tm (b) Tj", "a b"),
    ("(Hello) Tj 0 0 Td (Hello) Tj", "Hello"),              # the same word again on the same spot
    ("(ll) Tj", "ll"),                                     # letters repeated side by side are kept
])
def test_text_state_and_positioning(body, expected):
    assert reading(bt(body)) == expected


def test_words_carry_block_line_font_and_size():
    content = (bt("(Heading) Tj", "72 720").replace("/F1 10 Tf", "/F1 16 Tf") +
               bt("(one two) Tj 0 -12 Td (three) Tj") + "BT /F2 10 Tf 72 600 Td (nameless) Tj ET\n")
    resources = "<< /Font << /F1 %s /F2 %s >> >>" % (FONT, FONT.replace("/BaseFont /TestSans ", ""))
    words = doc(content, resources=resources).page_words(0)
    assert [(w["text"], w["block"], w["line"], w["font"], w["size"]) for w in words] == [
        ("Heading", 0, 0, "TestSans", 16.0), ("one", 1, 0, "TestSans", 10.0), ("two", 1, 0, "TestSans", 10.0),
        ("three", 1, 1, "TestSans", 10.0), ("nameless", 2, 0, None, 10.0)]


def test_a_word_drawn_in_pieces_out_of_order_is_one_word():
    content = bt("(lo) Tj", "87 700") + bt("(Hel) Tj")
    words = doc(content).page_words(0)
    assert [(w["text"], w["bbox"]) for w in words] == [("Hello", (72.0, 698.0, 97.0, 708.0))]


def test_rotated_word_box():
    words = doc("BT /F1 10 Tf 0 1 -1 0 500 100 Tm (Up) Tj ET").page_words(0)
    assert words[0]["bbox"] == (492.0, 100.0, 502.0, 110.0)
    assert words[0]["size"] == 10.0


def test_text_off_the_page_is_left_out():
    assert reading(bt("(Shown) Tj") + bt("(Gone) Tj", "700 700")) == "Shown"


def test_font_from_a_graphics_state_dictionary():
    resources = "<< /ExtGState << /GS1 << /Font [%s 10] >> >> >>" % FONT
    assert reading("BT /GS1 gs 72 700 Td [(Set) -300 (by gs)] TJ ET", resources=resources) == "Set by gs"


@pytest.mark.parametrize("ext_g_state", ["99 0 R", "<< /GS1 99 0 R >>", "<< /GS1 << /Font 99 0 R >> >>",
                                         "<< /GS1 << /Font [99 0 R 10] >> >>", "<< /GS1 << /Font [%s 99 0 R] >> >>" % FONT],
                         ids=["states", "state", "pair", "font", "size"])
def test_graphics_state_naming_a_missing_object_is_passed_over(ext_g_state):
    resources = "<< /ExtGState %s /Font << /F1 %s >> >>" % (ext_g_state, FONT)
    assert reading(bt("/GS1 gs (Hello) Tj"), resources=resources) == "Hello"


def test_type3_font_matrix_scales_advances():
    # Glyphs 50 units wide in a 1/100 font matrix: half an em, as above.
    type3 = ("<< /Type /Font /Subtype /Type3 /FontMatrix [0.01 0 0 0.01 0 0] /FontBBox [0 0 100 100] "
             "/FirstChar 97 /LastChar 98 /Widths [50 50] /CharProcs << >> /Encoding << /Differences [97 /a /b] >> >>")
    words = doc(bt("(ab) Tj 20 0 Td (ba) Tj"), resources="<< /Font << /F1 %s >> >>" % type3).page_words(0)
    assert [(w["text"], w["bbox"][0], w["bbox"][2]) for w in words] == [("ab", 72.0, 82.0), ("ba", 92.0, 102.0)]


def test_nested_forms_compose_their_matrices():
    inner = (11, "BT /F1 10 Tf 0 0 Td (Deep) Tj ET",
             "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Matrix [1 0 0 1 5 5]")
    d = form_document("q 1 0 0 1 100 100 cm /Fm0 Do Q", "/Fm1 Do",
                      "/Matrix [2 0 0 2 0 0] /Resources << /Font << /F1 %s >> /XObject << /Fm1 11 0 R >> >>" % FONT,
                      [inner])
    assert d.page_words(0)[0]["bbox"] == (110.0, 106.0, 150.0, 126.0)


def test_check_box_shows_the_state_it_is_in():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Annots [5 0 R 99 0 R] >>")
    b.stream(4, bt("(Agree) Tj").encode(), "/Resources << /Font << /F1 %s >> >>" % FONT)
    b.add(5, "<< /Type /Annot /Subtype /Widget /Rect [60 698 70 708] /AS /Yes /AP << /N << /Yes 10 0 R /Off 11 0 R >> >> >>")
    entries = "/Type /XObject /Subtype /Form /BBox [0 0 10 10] /Resources << /Font << /F1 %s >> >>" % FONT
    b.stream(10, b"BT /F1 10 Tf 0 2 Td (X) Tj ET", entries)
    b.stream(11, b"BT /F1 10 Tf 0 2 Td (O) Tj ET", entries)
    # Object 99 does not exist: an annotation that dangles shows nothing.
    assert quillet.Document(b.build()).page_reading_text(0) == "X Agree"


def test_llm_reading_blocks_and_ocr_decision():
    d = doc(bt("(Alpha) Tj"), "")
    pages = d.llm_chunks(reading=True)
    block = pages[0]["blocks"][0]
    assert (block["id"], block["kind"], block["text"], block["markdown"], block["object_id"]) == (
        "page-1-text-1", "text", "Alpha", "Alpha", "3 0 R")
    assert pages[1]["blocks"] == [] and pages[1]["text"] == ""
    assert d.page_chunks(include_fonts=True, reading=True)[0]["fonts"] == d.page_chunks(include_fonts=True)[0]["fonts"]


def test_references_section_from_reading_text():
    content = bt("(Body text of the paper) Tj 0 -40 Td (References) Tj 0 -12 Td [([1] A. Author) -300 (Title)] TJ")
    assert d_markdown_tail(doc(content).to_markdown(reading=True)) == "References\n[1] A. Author Title\n"


def d_markdown_tail(markdown: str) -> str:
    return markdown.split("## Extracted References\n\n", 1)[1]


@pytest.mark.parametrize("xobjects, message", [
    ("/Fm0 5", "type mismatch in page /Resources /XObject item: expected stream"),
    ("/Fm0 12 0 R", "dangling reference to object 12 0"),
])
def test_broken_form_entries_fail_like_the_image_search(xobjects, message):
    d = form_document("/Fm0 Do", "", xobjects=xobjects)
    for call in (d.page_reading_text, d.page_images):
        with pytest.raises(ValueError, match="^" + message + "$"):
            call(0)


def test_a_pages_cost_is_charged_as_it_grows():
    # A form of 2000 glyphs drawn 1000 times records 130 MB of glyphs, past
    # the call's 64 MiB of work: the page stops there, before the broken
    # XObject after them.
    d = form_document("/Fm0 Do " * 1000 + "/Fm1 Do", "BT /F1 0.1 Tf 72 300 Td (%s) Tj ET" % ("A" * 2000),
                      xobjects="/Fm0 10 0 R /Fm1 5")
    with pytest.raises(ValueError, match="^type mismatch in page content: expected at most 67108864 bytes of content, "
                                         "text and records per call$"):
        d.page_reading_text(0)


def test_deep_chain_of_forms_is_bounded():
    extra = [(11 + i, "/Fm0 Do", "/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources << /XObject << /Fm0 %d 0 R >> >>"
              % (12 + i)) for i in range(70)]
    d = form_document("/Fm0 Do", "/Fm0 Do", "/Resources << /XObject << /Fm0 11 0 R >> >>", extra)
    with pytest.raises(ValueError, match="^type mismatch in page /Resources /XObject: expected at most 64 nested form XObjects$"):
        d.page_reading_text(0)
