"""The content-stream grammar, observed through page text and the errors
it reports: operands, operators, the reference look-ahead, the joining of
a page's streams and inline images."""


import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf


def text(content: bytes | str) -> str:
    return quillet.Document(simple_pdf([content])).page_text(0)


def error(content: bytes | str) -> str:
    with pytest.raises(ValueError) as info:
        text(content)
    return str(info.value)


def multi_stream_doc(*streams: bytes, contents: str | None = None, extra=()) -> quillet.Document:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    refs = " ".join("%d 0 R" % (10 + i) for i in range(len(streams)))
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents %s >>" % (contents or "[%s]" % refs))
    for i, data in enumerate(streams):
        b.stream(10 + i, data)
    for number, body in extra:
        b.add(number, body)
    return quillet.Document(b.build())


@pytest.mark.parametrize("content, result", [
    ("", ""),
    ("  \r\n\t% only a comment\n%another", ""),
    ("BT /F1 12 Tf (Hi) Tj ET", "Hi"),
    ("1 0 0 1 5 5 cm (a) Tj", "a"),
    ("12 0 R Do (a) Tj", "a"),                        # a reference operand
    ("5 6 Td 5 0 Td (a) Tj", "a"),                     # integers stay integers
    ("true false null (a) Tj", "a"),
    ("/MCID << /A [1 2.5 (x) /N <41>] /B << /C 1 0 R /D 3 >> >> BDC (a) Tj EMC", "a"),
    ("[ (a) 120 (b) ] TJ", "ab"),
    ("[(a)[(b)]] TJ", "a"),                            # nested arrays are not shown
    ("(a) 12 0 %comment\n R Tj", ""),                  # the last operand is the reference
    ("1 2%c\nR Tj (b) Tj", "b"),                       # a comment inside the look-ahead
    ("(a) Tj 3 -1 Td", "a"),
    ("(a) Tj <48", "a"),                               # the data ends inside a token
    ("(a)Tj(b)Tj", "ab"),
])
def test_grammar(content, result):
    assert text(content) == result


@pytest.mark.parametrize("content, message", [
    ("12 0", "invalid token at byte 4: content stream ended with dangling operands"),
    ("(a) Tj (b)", "invalid token at byte 10: content stream ended with dangling operands"),
    ("(a) Tj (b)  \n", "invalid token at byte 13: content stream ended with dangling operands"),
    ("[ true ] x", "invalid token at byte 6: unexpected content token Keyword([116, 114, 117, 101])"),
    ("<< /A null >> x", "invalid token at byte 10: unexpected content token Keyword([110, 117, 108, 108])"),
    ("<< 3 4 >> BDC", "invalid token at byte 3: expected content dictionary key"),
    ("<< /A >> BDC", "invalid token at byte 8: unexpected content token DictEnd"),
    ("] x", "invalid token at byte 1: unexpected content token ArrayEnd"),
    ("(a) >> x", "invalid token at byte 6: unexpected content token DictEnd"),
    ("[ (a) ", "unexpected end of PDF data"),
    ("<< /A 1", "unexpected end of PDF data"),
    ("[ (a", "invalid token at byte 2: unterminated literal string"),
    ("(a) ) Tj", "invalid token at byte 4: unexpected byte 0x29"),
    ("(a) Tj 3 +", "invalid token at byte 9: invalid integer"),  # the look-ahead does not swallow it
    ("4294967296 0 R Do", "invalid token at byte 10: invalid object number"),
    ("-1 0 R Do", "invalid token at byte 2: invalid object number"),
    ("1 65536 R Do", "invalid token at byte 1: invalid generation"),
    ("1 -1 R Do", "invalid token at byte 1: invalid generation"),
    ("[" * 300 + "]" * 300 + " x", "invalid token at byte 256: objects nested too deeply"),
])
def test_grammar_errors(content, message):
    assert error(content) == message


def test_moderate_nesting_is_accepted():
    assert text("[" * 200 + "]" * 200 + " x (a) Tj") == "a"


# ---- a page's streams ----

def test_streams_are_joined_at_a_token_boundary():
    # Joined with nothing between them, "Tj" and "T*" would run together.
    doc = multi_stream_doc(b"BT (A) Tj", b"T* (B) Tj ET")
    assert doc.page_text(0) == "A\nB"


def test_operands_may_continue_in_the_next_stream():
    assert multi_stream_doc(b"BT (A)", b"Tj ET").page_text(0) == "A"


def test_error_offsets_count_the_line_feed_between_streams():
    doc = multi_stream_doc(b"BT", b"]")
    with pytest.raises(ValueError, match="^invalid token at byte 4: unexpected content token ArrayEnd$"):
        doc.page_text(0)


def test_single_stream_offsets_are_unchanged():
    doc = multi_stream_doc(b"BT ]", contents="10 0 R")
    with pytest.raises(ValueError, match="^invalid token at byte 4: unexpected content token ArrayEnd$"):
        doc.page_text(0)


def test_nested_and_referenced_contents_arrays():
    doc = multi_stream_doc(b"(A) Tj", b"(B) Tj", b"(C) Tj", contents="[10 0 R [11 0 R 20 0 R]]",
                           extra=[(20, "[12 0 R]")])
    assert doc.page_text(0) == "ABC"


def test_empty_contents_array():
    assert multi_stream_doc(contents="[]").page_text(0) == ""


def test_contents_decoded_through_filters():
    assert quillet.Document(simple_pdf(["BT (zipped) Tj ET"], compress=True)).page_text(0) == "zipped"


@pytest.mark.parametrize("contents, extra", [
    ("<< /A 1 >>", []),
    ("5", []),
    ("[10 0 R 7]", []),
    ("20 0 R", [(20, "21 0 R"), (21, "[]")]),  # resolved one level only
    ("20 0 R", [(20, "[20 0 R]")]),          # an array containing itself
    ("20 0 R", [(20, "[21 0 R]"), (21, "[20 0 R]")]),
])
def test_contents_errors(contents, extra):
    doc = multi_stream_doc(b"(A) Tj", contents=contents, extra=extra)
    with pytest.raises(ValueError, match="^type mismatch in page /Contents: expected stream or array of streams$"):
        doc.page_text(0)


def test_contents_fan_out_is_bounded():
    # 30 arrays each naming the next twice would list the stream 2^30 times.
    extra = [(20 + i, "[%d 0 R %d 0 R]" % (21 + i, 21 + i)) for i in range(29)] + [(49, "[10 0 R 10 0 R]")]
    doc = multi_stream_doc(b"(A) Tj", contents="20 0 R", extra=extra)
    with pytest.raises(ValueError, match="^type mismatch in page /Contents: expected at most 100000 streams$"):
        doc.page_text(0)


def test_dangling_contents_reference():
    doc = multi_stream_doc(b"(A) Tj", contents="[10 0 R 99 0 R]")
    with pytest.raises(ValueError, match="^dangling reference to object 99 0$"):
        doc.page_text(0)


# ---- inline images ----

def inline_image(data: bytes, entries: bytes = b"/W 4 /H 1 /BPC 8 /CS /G") -> bytes:
    return b"BT (A) Tj ET q BI " + entries + b" ID " + data + b"\nEI Q BT (B) Tj ET"


@pytest.mark.parametrize("data", [
    b"\x00\x01\x02\x03",
    b") } > ]",                       # bytes the tokeniser would refuse
    b"(X) Tj",                        # bytes that would look like shown text
    b"EIE EI\x01 xEI EI",             # EI not delimited by white space on both sides
    b"",
])
def test_inline_image_data_is_skipped(data):
    assert text(inline_image(data)) == "AB"


def test_inline_image_length_skips_an_embedded_ei():
    data = b"ab EI cd"
    assert text(inline_image(data, b"/W 8 /H 1 /BPC 8 /CS /G /L %d" % len(data))) == "AB"
    assert text(inline_image(data, b"/W 8 /H 1 /BPC 8 /CS /G /Length %d" % len(data))) == "AB"


def test_inline_image_with_exact_length_and_no_white_space_before_ei():
    content = b"BI /W 2 /H 1 /L 2 ID \x00)EI (B) Tj"
    assert text(content) == "B"


def test_inline_image_at_the_end_of_the_content():
    assert text(b"(A) Tj BI /W 1 /H 1 ID \x29 EI") == "A"


def test_inline_image_without_ei_fails():
    assert error(b"(A) Tj BI /W 1 ID \x00\x01 EIx") == "invalid token at byte 18: inline image data without EI"


def test_inline_image_operators_are_ordinary_operations():
    # The dictionary entries are operands of ID; nothing is left dangling.
    assert text(b"BI /W 1 /H 1 /F [/AHx] ID 00> EI") == ""
