import hashlib
import json
import pathlib
import zlib

import pytest

import quillet
from pdfbuild import simple_pdf
from corpus import CORPUS, checker_password



def stream(number, data, extra=""):
    return (number, b"<< /Length %d %s >>\nstream\n" % (len(data), extra.encode()) + data + b"\nendstream")


FILES = [stream(90, b"ninety", "/Subtype /text#2Fplain /Params << /Size 6 >>"),
         stream(91, b"ninety-one"), stream(92, b"ninety-two"), stream(93, b"ninety-three"),
         stream(94, b"ninety-four")]


def attached(names, objects=(), catalog_names=None):
    """A document whose /Names /EmbeddedFiles tree holds the /Names array
    body `names`; streams 90 to 94 exist."""
    if catalog_names is None:
        catalog_names = "<< /EmbeddedFiles << /Names [%s] >> >>" % names
    return quillet.Document(simple_pdf(["q"], catalog_extra="/Names " + catalog_names,
                                       extra_objects=[*FILES, *objects]))


def test_no_names_or_no_embedded_files_gives_an_empty_list():
    assert quillet.Document(simple_pdf(["q"])).embedded_files() == []
    assert attached("", catalog_names="<< /Dests << /Names [] >> >>").embedded_files() == []


def test_record_keys_and_values():
    doc = attached("(report) << /Type /Filespec /F (r.txt) /Desc (The report) /EF << /F 90 0 R >> >>")
    assert doc.embedded_files() == [{"name": "report", "file_name": "r.txt", "description": "The report",
                                     "subtype": "text/plain", "declared_size": 6}]
    [record] = doc.embedded_files(include_data=True)
    assert list(record) == ["name", "file_name", "description", "subtype", "declared_size", "data"]
    assert record["data"] == b"ninety"


def test_records_in_name_order_and_shared_specification():
    doc = attached("(b) 100 0 R (a) 100 0 R (c) << /EF << /F 91 0 R >> >>",
                   [(100, "<< /EF << /F 90 0 R >> >>")])
    assert [(f["name"], f["data"]) for f in doc.embedded_files(include_data=True)] == [
        ("a", b"ninety"), ("b", b"ninety"), ("c", b"ninety-one")]


def test_data_is_decoded():
    payload = b"compressed payload " * 20
    doc = attached("(z) << /EF << /F 100 0 R >> >>", [stream(100, zlib.compress(payload), "/Filter /FlateDecode")])
    assert doc.embedded_files(include_data=True)[0]["data"] == payload
    assert "data" not in doc.embedded_files()[0]
    assert "data" not in doc.embedded_files(include_data=False)[0]


@pytest.mark.parametrize("ef, data", [
    ("/UF 90 0 R /F 91 0 R /Unix 92 0 R /DOS 93 0 R /Mac 94 0 R", b"ninety"),
    ("/F 91 0 R /Unix 92 0 R /DOS 93 0 R /Mac 94 0 R", b"ninety-one"),
    ("/Unix 92 0 R /DOS 93 0 R /Mac 94 0 R", b"ninety-two"),
    ("/DOS 93 0 R /Mac 94 0 R", b"ninety-three"),
    ("/Mac 94 0 R", b"ninety-four"),
    ("/Other 91 0 R /Mac 94 0 R", b"ninety-four"),
])
def test_ef_entry_preference(ef, data):
    doc = attached("(x) << /EF << %s >> >>" % ef)
    assert doc.embedded_files(include_data=True)[0]["data"] == data


@pytest.mark.parametrize("filespec, file_name", [
    ("/UF <FEFF00E9002E007400780074> /F (e.txt)", "\u00e9.txt"),
    ("/UF 5 /F (fallback.txt)", "fallback.txt"),
    ("/UF /name.txt /F (fallback.txt)", "fallback.txt"),
    ("/F (only.txt)", "only.txt"),
    ("/F << /Unix (x) >>", None),
    ("/F 100 0 R", None),
    ("", None),
])
def test_file_name_rules(filespec, file_name):
    doc = attached("(x) << %s /EF << /F 90 0 R >> >>" % filespec, [(100, "(indirect.txt)")])
    assert doc.embedded_files()[0]["file_name"] == file_name


@pytest.mark.parametrize("desc, description", [
    ("/Desc <FEFF0041>", "A"), ("/Desc ()", ""), ("/Desc /Name", None), ("/Desc 100 0 R", None), ("", None)])
def test_description_rules(desc, description):
    doc = attached("(x) << %s /EF << /F 90 0 R >> >>" % desc, [(100, "(indirect)")])
    assert doc.embedded_files()[0]["description"] == description


@pytest.mark.parametrize("extra, size", [
    ("/Params << /Size 1024 >>", 1024),
    ("/Params << /Size -5 >>", -5),
    ("/Params << /Size 10.0 >>", None),
    ("/Params << /Size 100 0 R >>", None),
    ("/Params 101 0 R", None),
    ("/Params << >>", None),
    ("/Params [/Size 3]", None),
    ("", None),
])
def test_declared_size(extra, size):
    doc = attached("(x) << /EF << /F 100 0 R >> >>",
                   [stream(100, b"abc", extra), (101, "<< /Size 1024 >>")])
    assert doc.embedded_files()[0]["declared_size"] == size


@pytest.mark.parametrize("extra, subtype", [
    ("/Subtype /application#2Fpdf", "application/pdf"),
    ("/Subtype (text/plain)", None),
    ("/Subtype /bad#FF", "bad\ufffd"),
    ("", None),
])
def test_subtype(extra, subtype):
    doc = attached("(x) << /EF << /F 100 0 R >> >>", [stream(100, b"abc", extra)])
    assert doc.embedded_files()[0]["subtype"] == subtype


def test_specification_and_ef_by_reference_and_as_stream_dictionaries():
    doc = attached("(x) 100 0 R", [stream(100, b"", "/EF 101 0 R /F (s.txt)"), (101, "<< /DOS 93 0 R >>")])
    [record] = doc.embedded_files(include_data=True)
    assert (record["file_name"], record["data"]) == ("s.txt", b"ninety-three")


@pytest.mark.parametrize("names, message", [
    ("(x) 5", "type mismatch in embedded file specification: expected dictionary"),
    ("(x) 100 0 R", "type mismatch in embedded file specification: expected dictionary"),
    ("(x) << /F (x.txt) >>", "missing required entry /EF in embedded file specification"),
    ("(x) << /EF [90 0 R] >>", "type mismatch in file specification /EF: expected dictionary"),
    ("(x) << /EF 101 0 R >>", "type mismatch in file specification /EF: expected dictionary"),
    ("(x) << /EF 150 0 R >>", "dangling reference to object 150 0"),
    ("(x) << /EF << /Other 90 0 R >> >>", "missing required entry /F in file specification /EF"),
    ("(x) << /EF << /F << /Length 0 >> >> >>",
     "type mismatch in file specification /EF entry: expected indirect reference"),
    ("(x) << /EF << /F (data) >> >>", "type mismatch in file specification /EF entry: expected indirect reference"),
    ("(x) << /EF << /F 101 0 R >> >>", "type mismatch in file specification /EF entry: expected stream"),
    ("(x) << /EF << /F 150 0 R >> >>", "dangling reference to object 150 0"),
    ("(good) << /EF << /F 90 0 R >> >> (x) << /EF << /UF 91 0 R /F 150 0 R >> >> (y) << >>",
     "missing required entry /EF in embedded file specification"),
], ids=["integer", "array-by-ref", "no-ef", "ef-array", "ef-ref-string", "ef-dangling", "ef-no-key", "ef-direct-dict",
        "ef-string", "ef-not-stream", "ef-dangling-stream", "one-bad-fails-all"])
def test_bad_specifications_fail_the_whole_call(names, message):
    doc = attached(names, [(100, "[1]"), (101, "(text)")])
    with pytest.raises(ValueError) as raised:
        doc.embedded_files()
    assert str(raised.value) == message


@pytest.mark.parametrize("catalog_names, message", [
    ("5", "type mismatch in catalog /Names: expected dictionary"),
    ("150 0 R", "dangling reference to object 150 0"),
    ("<< /EmbeddedFiles (x) >>", "type mismatch in catalog /Names /EmbeddedFiles: expected dictionary"),
])
def test_bad_names_dictionary(catalog_names, message):
    with pytest.raises(ValueError) as raised:
        attached("", catalog_names=catalog_names).embedded_files()
    assert str(raised.value) == message


def test_catalog_names_by_reference():
    doc = quillet.Document(simple_pdf(["q"], catalog_extra="/Names 100 0 R", extra_objects=[
        *FILES, (100, "<< /EmbeddedFiles 101 0 R >>"), (101, "<< /Kids [<< /Names [(k) << /EF << /F 91 0 R >> >>] >>] >>")]))
    assert [f["name"] for f in doc.embedded_files()] == ["k"]


def test_undecodable_data_fails_only_when_asked_for():
    doc = attached("(x) << /EF << /F 100 0 R >> >>", [stream(100, b"garbage", "/Filter /FlateDecode")])
    assert doc.embedded_files()[0]["name"] == "x"
    with pytest.raises(ValueError, match="^failed to decode /FlateDecode stream: corrupt deflate stream$"):
        doc.embedded_files(include_data=True)


@pytest.mark.parametrize("value", [1, None])
def test_include_data_must_be_a_bool(value):
    doc = attached("(x) << /EF << /F 90 0 R >> >>")
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        doc.embedded_files(value)
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        doc.embedded_files(include_data=value)


# ---- corpus ----

def corpus_with_attachments():
    if not (CORPUS / "oracle").is_dir():
        return []
    names = []
    for oracle in sorted((CORPUS / "oracle").iterdir()):
        try:
            data = json.loads((oracle / "qpdf.json").read_bytes().decode("utf-8", "replace"))
        except (OSError, ValueError):
            continue
        if data.get("attachments"):
            names.append((oracle.name, data["attachments"]))
    return names


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not available")
@pytest.mark.parametrize("name, attachments", corpus_with_attachments(),
                         ids=[n for n, _ in corpus_with_attachments()])
def test_corpus_attachments_match_the_oracle(name, attachments):
    try:
        files = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes(),
                                 password=checker_password(name)).embedded_files(True)
    except ValueError as error:
        pytest.skip("not loadable here: %s" % error)
    assert [f["name"] for f in files] == sorted(attachments)
    for f in files:
        expected = attachments[f["name"]]
        names = {key: value[2:] if value.startswith(("u:", "b:")) else value
                 for key, value in expected["names"].items()}
        assert f["file_name"] == names.get("/UF", names.get("/F"))
        checksum = expected["streams"].get("/F", {}).get("checksum")
        if checksum:
            assert hashlib.md5(f["data"]).hexdigest() == checksum
