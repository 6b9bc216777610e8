import pathlib
import zlib

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS


STANDARD = ["title", "author", "subject", "keywords", "creator", "producer", "creation_date",
            "modification_date", "trapped"]


def with_info(info, extra_objects=(), **kwargs):
    """A one-page document whose trailer /Info is object 100 with `info`."""
    return quillet.Document(simple_pdf(["q"], trailer="/Info 100 0 R", extra_objects=[(100, info), *extra_objects],
                                       **kwargs))


def test_plain_file_has_empty_fields():
    doc = quillet.Document(simple_pdf(["q"]))
    assert doc.metadata() == {
        "format": "PDF 1.7", **{key: "" for key in STANDARD}, "encrypted": False, "xmp": None, "custom": {}}
    assert doc.metadata_xml() is None


def test_keys_in_order():
    assert list(quillet.Document(simple_pdf(["q"])).metadata()) == [
        "format", *STANDARD, "encrypted", "xmp", "custom"]


def test_standard_fields():
    m = with_info("<< /Title (T) /Author (A) /Subject (S) /Keywords (K) /Creator (C) /Producer (P)"
                  " /CreationDate (D:20240102030405Z) /ModDate (D:2024) /Trapped /Unknown >>").metadata()
    assert [m[key] for key in STANDARD] == ["T", "A", "S", "K", "C", "P", "D:20240102030405Z", "D:2024", "Unknown"]
    assert m["custom"] == {}


@pytest.mark.parametrize("value, text", [
    ("(plain)", "plain"),
    ("<FEFF004800E9>", "H\u00e9"),
    ("<C3A9>", "\u00e9"),
    ("(caf\\351)", "caf\u00e9"),
    ("<FEFFD800>", "\ufffd"),
    ("/True", "True"),
    ("true", "true"),
    ("false", "false"),
    ("12", "12"),
    ("-7", "-7"),
    ("4.5", "4.5"),
    ("2.0", "2"),
    ("-0.25", "-0.25"),
    ("0.1", "0.1"),
    ("100000000000000000000000.0", "100000000000000000000000"),
    ("/A#20B", "A B"),
], ids=["string", "utf16", "utf8", "pdfdoc-high-byte", "unpaired-surrogate", "name", "true", "false", "integer",
        "negative", "real", "integral-real", "negative-real", "tenth", "huge-real", "name-escape"])
def test_value_conversions(value, text):
    m = with_info("<< /Trapped %s /Extra %s >>" % (value, value)).metadata()
    assert (m["trapped"], m["custom"]) == (text, {"Extra": text})


@pytest.mark.parametrize("value", ["null", "[1 2]", "<< /A 1 >>", "101 0 R"])
def test_values_that_do_not_convert_are_empty_or_left_out(value):
    m = with_info("<< /Title %s /Extra %s /Kept (k) >>" % (value, value), [(101, "(stored apart)")]).metadata()
    assert m["title"] == ""
    assert m["custom"] == {"Kept": "k"}


def test_custom_entries_in_key_order_and_case_exact():
    m = with_info("<< /title (lower) /Zeta 1 /PageCount 12 /Rating 4.5 /Alpha /Beta /Title (Upper) >>").metadata()
    assert m["title"] == "Upper"
    assert list(m["custom"].items()) == [("Alpha", "Beta"), ("PageCount", "12"), ("Rating", "4.5"),
                                         ("Zeta", "1"), ("title", "lower")]


def test_custom_key_bytes_are_read_as_utf8():
    m = with_info("<< /Caf#C3#A9 (x) /Bad#FF (y) >>").metadata()
    assert m["custom"] == {"Bad\ufffd": "y", "Caf\u00e9": "x"}


def test_custom_keys_decoding_alike_keep_the_later_in_byte_order():
    m = with_info("<< /K#FF (second) /K#FE (first) >>").metadata()
    assert m["custom"] == {"K\ufffd": "second"}


def test_info_given_directly_in_the_trailer():
    doc = quillet.Document(simple_pdf(["q"], trailer="/Info << /Title (direct) >>"))
    assert doc.metadata()["title"] == "direct"


def test_info_as_a_stream_dictionary():
    stream = (100, b"<< /Title (streamed) /Length 0 >>\nstream\n\nendstream")
    doc = quillet.Document(simple_pdf(["q"], trailer="/Info 100 0 R", extra_objects=[stream]))
    assert doc.metadata()["title"] == "streamed"


@pytest.mark.parametrize("trailer, objects, message", [
    ("/Info 100 0 R", [(100, "[/Title (x)]")], "type mismatch in trailer /Info: expected dictionary"),
    ("/Info (text)", [], "type mismatch in trailer /Info: expected dictionary"),
    ("/Info 150 0 R", [], "dangling reference to object 150 0"),
])
def test_bad_info_fails(trailer, objects, message):
    doc = quillet.Document(simple_pdf(["q"], trailer=trailer, extra_objects=objects))
    with pytest.raises(ValueError) as raised:
        doc.metadata()
    assert str(raised.value) == message


# A null /Encrypt encrypts nothing, yet the entry is there.  (A dictionary
# that cannot be used makes metadata() refuse instead: test_security.py.)
@pytest.mark.parametrize("encrypt", ["/Encrypt 100 0 R", "/Encrypt null"])
def test_encrypt_entry_of_any_value_sets_encrypted(encrypt):
    doc = quillet.Document(simple_pdf(["q"], trailer=encrypt, extra_objects=[(100, "null")]))
    assert doc.metadata()["encrypted"] is True


@pytest.mark.parametrize("version, catalog_extra, expected", [
    ("1.4", "", "PDF 1.4"),
    ("1.4", "/Version /1.7", "PDF 1.7"),
    ("2.0", "", "PDF 2.0"),
])
def test_format_is_the_effective_version(version, catalog_extra, expected):
    b = PdfBuilder(version=version)
    b.add(1, "<< /Type /Catalog /Pages 2 0 R %s >>" % catalog_extra)
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    assert quillet.Document(b.build()).metadata()["format"] == expected


def test_bad_catalog_version_fails_metadata():
    doc = quillet.Document(simple_pdf(["q"], catalog_extra="/Version (1.7)"))
    with pytest.raises(ValueError, match="^type mismatch in catalog /Version: expected name$"):
        doc.metadata()


# ---- XMP ----

XMP = '<?xpacket begin="\ufeff"?><x:xmpmeta xmlns:x="adobe:ns:meta/"><dc:title>Caf\u00e9</dc:title></x:xmpmeta>\n'


def with_xmp(stream_object):
    return quillet.Document(simple_pdf(["q"], catalog_extra="/Metadata 100 0 R", extra_objects=[stream_object]))


def stream(data, extra=b""):
    return (100, b"<< /Length %d%s >>\nstream\n" % (len(data), extra) + data + b"\nendstream")


def test_xmp_is_returned_unchanged_with_its_byte_order_mark():
    doc = with_xmp(stream(XMP.encode()))
    assert doc.metadata_xml() == XMP
    assert doc.metadata()["xmp"] == XMP


def test_xmp_is_decoded_through_filters():
    doc = with_xmp(stream(zlib.compress(XMP.encode()), b" /Filter /FlateDecode"))
    assert doc.metadata_xml() == XMP


def test_xmp_through_a_filter_chain():
    data = zlib.compress(XMP.encode()).hex().upper().encode() + b">"
    doc = with_xmp(stream(data, b" /Filter [/ASCIIHexDecode /FlateDecode]"))
    assert doc.metadata_xml() == XMP


def test_xmp_invalid_utf8_is_replaced():
    assert with_xmp(stream(b"<a>\xff\xfe</a>")).metadata_xml() == "<a>\ufffd\ufffd</a>"


@pytest.mark.parametrize("metadata, message", [
    ("<< /Type /Metadata >>", "type mismatch in catalog /Metadata: expected stream"),
    ("150 0 R", "dangling reference to object 150 0"),
    ("101 0 R", "type mismatch in catalog /Metadata: expected stream"),
])
def test_bad_metadata_entry_fails_both_methods(metadata, message):
    doc = quillet.Document(simple_pdf(["q"], catalog_extra="/Metadata " + metadata,
                                      extra_objects=[(101, "<< /Type /Metadata >>")]))
    for method in (doc.metadata_xml, doc.metadata):
        with pytest.raises(ValueError) as raised:
            method()
        assert str(raised.value) == message


def test_undecodable_xmp_fails_with_the_filter_error():
    doc = with_xmp(stream(b"not deflate data", b" /Filter /FlateDecode"))
    with pytest.raises(ValueError, match="^failed to decode /FlateDecode stream: corrupt deflate stream$"):
        doc.metadata()


# ---- corpus ----

def pdfinfo_fields(name):
    fields = {}
    for line in (CORPUS / "oracle" / name / "pdfinfo.txt").read_text("utf-8", "replace").splitlines():
        key, sep, value = line.partition(":")
        if sep:
            fields[key] = value.strip()
    return fields


def corpus_names():
    if not (CORPUS / "oracle").is_dir():
        return []
    return sorted(p.name for p in (CORPUS / "oracle").iterdir() if (p / "pdfinfo.txt").is_file())


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not available")
@pytest.mark.parametrize("name", corpus_names())
def test_corpus_metadata_agrees_with_pdfinfo(name):
    try:
        doc = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes())
        m = doc.metadata()
    except ValueError as error:
        pytest.skip("not loadable here: %s" % error)
    info = pdfinfo_fields(name)
    if not info:
        pytest.skip("pdfinfo could not read the file")
    encryption = doc.encryption()
    # pdfinfo calls a file unencrypted when its strings and streams are
    # stored in the clear (only attachments encrypted); /Encrypt is there.
    if not (encryption and encryption["string_method"] == encryption["stream_method"] == "Identity"):
        assert m["encrypted"] == (info.get("Encrypted", "no").split()[0] == "yes")
    for key, field in [("Title", "title"), ("Author", "author"), ("Subject", "subject"),
                       ("Keywords", "keywords"), ("Creator", "creator"), ("Producer", "producer")]:
        # pdfinfo follows references, which are left out here: compare the
        # texts found.
        if m[field]:
            assert m[field].strip() == info.get(key, ""), field
    assert (m["xmp"] is not None) == (info.get("Metadata Stream") == "yes")
