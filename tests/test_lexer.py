"""Tokens as the loader sees them: each literal is the value of an object in
a small file, read back through object_text() or through the load error."""

import random

import pytest

import quillet
from rawpdf import packed_pdf, with_object


def value(literal: bytes) -> dict:
    pdf, _ = with_object(literal)
    return quillet.Document(pdf).object(3)


def load_error(literal: bytes) -> tuple[str, int]:
    """The load error for a file whose object 3 holds `literal`, and the
    literal's offset in the file."""
    pdf, at = with_object(literal)
    with pytest.raises(ValueError) as info:
        quillet.Document(pdf)
    return str(info.value), at


def end_of_data_error(literal: bytes) -> str:
    """The load error when `literal` is the last thing in a buffer (the
    decoded data of an object stream ends right after it)."""
    with pytest.raises(ValueError) as info:
        quillet.Document(packed_pdf([(10, b"1"), (11, literal)]))
    return str(info.value)


# ---- literal strings ----

@pytest.mark.parametrize("literal, text", [
    (b"(a(b)c)", "(a(b)c)"),
    (b"(a\\)b)", "(a)b)"),
    (b"(\\101\\60x)", "(A0x)"),
    (b"(\\0053)", "(\x053)"),          # three octal digits at most
    (b"(\\18)", "(\x018)"),            # octal stops at a non-octal byte
    (b"(\\n\\r\\t\\b\\f)", "(\n\r\t\b\f)"),
    (b"(\\(\\)\\\\)", "(()\\)"),
    (b"(\\q)", "(q)"),                 # unknown escape: the byte itself
    (b"(ab\\\ncd)", "(abcd)"),         # line continuations
    (b"(ab\\\r\ncd)", "(abcd)"),
    (b"(ab\\\rcd)", "(abcd)"),
    (b"(a\r\nb\rc)", "(a\r\nb\rc)"),   # raw line ends kept as they are
    (b"()", "()"),
])
def test_literal_string(literal, text):
    assert value(literal)["text"] == text


@pytest.mark.parametrize("escape, char", [
    (b"\\377", "\u00ff"),
    (b"\\400", "\u00ff"),  # above 255 saturates instead of wrapping to 0
    (b"\\777", "\u00ff"),
    (b"\\0", "\u0000"),
])
def test_octal_escape_value(escape, char):
    # FE FF makes the string UTF-16BE, so the escaped byte shows as one char.
    assert value(b"(\\376\\377\\000" + escape + b")")["text"] == "(" + char + ")"


def test_unterminated_literal_string_points_at_parenthesis():
    # Nothing after the object closes the string.
    message, at = load_error(b"(abc")
    assert message == f"invalid token at byte {at}: unterminated literal string"


def test_backslash_at_end_of_data():
    assert end_of_data_error(b"(a\\") == "unexpected end of PDF data"


# ---- hexadecimal strings ----

@pytest.mark.parametrize("literal, text", [
    (b"<48 65 6C6C 6F>", "(Hello)"),
    (b"<48656c6c6f>", "(Hello)"),
    (b"<>", "()"),
    (b"<4\n8\t6\x009>", "(Hi)"),
    (b"<FEFF004>", "(@)"),   # odd digit count: a 0 is appended (00 40)
])
def test_hex_string(literal, text):
    assert value(literal)["text"] == text


def test_odd_hex_digit_count_pads_low_nibble():
    # <ABC> is the bytes AB C0: with a UTF-16 mark, U+ABC0.
    assert value(b"<FEFFABC>")["text"] == "(\uabc0)"


@pytest.mark.parametrize("literal", [b"<4G>", b"<48 %6>", b"<48(>"])
def test_invalid_hex_string(literal):
    message, at = load_error(literal)
    assert message == f"invalid token at byte {at}: invalid hex string"


@pytest.mark.parametrize("literal", [b"<48", b"<"])
def test_hex_string_at_end_of_data(literal):
    assert end_of_data_error(literal) == "unexpected end of PDF data"


# ---- names ----

@pytest.mark.parametrize("literal, text", [
    (b"/A#42C", "/ABC"),
    (b"/a#20b", "/a b"),
    (b"/Type", "/Type"),
    (b"[/ ]", "[/]"),          # a slash before a delimiter is the empty name
    (b"[/A/B]", "[/A /B]"),
    (b"/A;b*c", "/A;b*c"),
])
def test_name(literal, text):
    assert value(literal)["text"] == text


def test_name_escape_with_bad_digit_points_at_number_sign():
    message, at = load_error(b"/A#4G")
    assert message == f"invalid token at byte {at + 2}: invalid hex digit"


@pytest.mark.parametrize("literal", [b"/Name#2", b"/Name#"])
def test_name_escape_cut_by_end_of_data(literal):
    assert end_of_data_error(literal) == "unexpected end of PDF data"


def test_empty_name_at_end_of_data():
    doc = quillet.Document(packed_pdf([(10, b"/")]))
    assert doc.object_text(10) == "/"


# ---- numbers ----

@pytest.mark.parametrize("literal, kind, text", [
    (b"-12", "integer", "-12"),
    (b"+7", "integer", "7"),
    (b"0", "integer", "0"),
    (b"9223372036854775807", "integer", "9223372036854775807"),
    (b"-9223372036854775808", "integer", "-9223372036854775808"),
    (b"+.5", "real", "0.5"),
    (b"5.", "real", "5"),
    (b"-.25", "real", "-0.25"),
    (b"-0.0", "real", "-0"),
    (b"003.500", "real", "3.5"),
])
def test_number(literal, kind, text):
    obj = value(literal)
    assert (obj["kind"], obj["text"]) == (kind, text)


@pytest.mark.parametrize("literal, text", [
    (b"[1.2.3]", "[1.2 0.3]"),   # a second point starts a new token
    (b"[1-2]", "[1 -2]"),
    (b"[1(a)]", "[1 (a)]"),
    (b"[1/N]", "[1 /N]"),
])
def test_number_ends_at_first_byte_that_cannot_continue_it(literal, text):
    assert value(literal)["text"] == text


@pytest.mark.parametrize("literal, message", [
    (b"-", "invalid integer"),
    (b"+", "invalid integer"),
    (b"9223372036854775808", "invalid integer"),
    (b"-9223372036854775809", "invalid integer"),
    (b"99999999999999999999999", "invalid integer"),
    (b".", "invalid real number"),
    (b"+.", "invalid real number"),
    (b"-.", "invalid real number"),
])
def test_invalid_number(literal, message):
    got, at = load_error(b"[0 " + literal + b"]")
    assert got == f"invalid token at byte {at + 3}: {message}"


def test_digits_then_letters_are_two_tokens():
    # 12abc lexes as 12 then the keyword abc, which is not a value.
    message, at = load_error(b"[12abc]")
    assert message == f"invalid token at byte {at + 3}: unexpected keyword abc"


def test_exponent_is_not_part_of_a_number():
    message, at = load_error(b"[1e5]")
    assert message == f"invalid token at byte {at + 2}: unexpected keyword e5"


def test_reals_are_the_nearest_double():
    # Short reals are computed directly, longer ones by the general
    # conversion: both must give the double nearest the decimal text.
    rng = random.Random(15)
    literals = [b"0.1", b"0.3", b"123456789.012345", b"1234567890.123456", b"9007199254740993.0",
                b"0.000000000000001", b"0.0000000000000001", b"1.7976931348623157"]
    for _ in range(500):
        whole, fraction = rng.randrange(0, 19), rng.randrange(0, 19)
        literals.append(("".join(rng.choice("0123456789") for _ in range(whole)) + "." +
                         "".join(rng.choice("0123456789") for _ in range(fraction or 1))).encode())
    shown = value(b"[" + b" ".join(literals) + b"]")["text"][1:-1].split(" ")
    assert [float(text) for text in shown] == [float(literal) for literal in literals]


def test_very_long_real_does_not_fail():
    assert value(b"0." + b"0" * 400 + b"1")["kind"] == "real"
    assert value(b"1" * 400 + b".5")["kind"] == "real"


# ---- delimiters, keywords, white space, comments ----

@pytest.mark.parametrize("byte, hex_text", [(b"}", "7d"), (b"{", "7b"), (b")", "29"), (b">", "3e")])
def test_unexpected_byte(byte, hex_text):
    message, at = load_error(b"[1 " + byte + b" 2]")
    assert message == f"invalid token at byte {at + 3}: unexpected byte 0x{hex_text}"


@pytest.mark.parametrize("literal, shown", [
    (b"*", "*"), (b"'", "'"), (b'"', '"'), (b"\\x", "\\x"), (b"abc", "abc"), (b"\x80\xff", "\ufffd\ufffd"),
])
def test_other_bytes_start_keywords(literal, shown):
    message, at = load_error(b"[" + literal + b"]")
    assert message == f"invalid token at byte {at + 1}: unexpected keyword {shown}"


@pytest.mark.parametrize("literal", [
    b"[1\x002\t3\x0c4\r5\n6 7]",
    b"[1%comment\n2%another\r3 4 5 6 7]",
    b"[1 % comment ] ( <\r\n2 3 4 5 6 7]",
])
def test_white_space_and_comments_separate_tokens(literal):
    assert value(literal)["text"] == "[1 2 3 4 5 6 7]"


def test_comment_running_to_end_of_data():
    assert end_of_data_error(b"%comment") == "unexpected end of PDF data"


def test_nothing_but_white_space_before_end_of_data():
    assert end_of_data_error(b"  \n ") == "unexpected end of PDF data"


@pytest.mark.parametrize("raw, shown", [
    (b"caf\xc3\xa9", "caf\u00e9"),
    (b"\xe2\x82x", "\ufffdx"),              # truncated sequence: one replacement
    (b"\xf0\x80\x80", "\ufffd\ufffd\ufffd"),  # F0 80 is never valid: each byte alone
    (b"\xed\xa0\x80", "\ufffd\ufffd\ufffd"),  # surrogate code points are ill-formed
    (b"\xc0\xaf", "\ufffd\ufffd"),            # overlong form
    (b"\xf4\x90\x80\x80", "\ufffd" * 4),      # above U+10FFFF
    (b"\xf0\x9f\x98\x80", "\U0001f600"),
    (b"\xf0\x9f\x98", "\ufffd"),
])
def test_keyword_text_in_messages_replaces_ill_formed_utf8(raw, shown):
    message, at = load_error(b"[" + raw + b"]")
    assert message == f"invalid token at byte {at + 1}: unexpected keyword {shown}"
