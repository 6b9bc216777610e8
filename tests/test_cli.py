"""The quillet command: every subcommand on small built files, exit codes,
errors on standard error with the file name, JSON that parses, and
attachments that never land outside the folder asked for."""

import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from richpdf import rich_pdf

try:
    import quillet_cli
except ImportError:  # a build folder made before the tool existed
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import quillet_cli

BROKEN = b"%PDF-1.7\nnot a pdf at all\n"
# Encrypted with AES-256; the user password is "user".
LOCKED = Path(__file__).resolve().parent / "data" / "encrypted" / "r6-aes-256-user.pdf"


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("rich.pdf").write_bytes(rich_pdf())
    Path("hello.pdf").write_bytes(quillet.write_text_pdf(["Hello", "second page", "third"], title="Hi"))
    Path("broken.pdf").write_bytes(BROKEN)
    return tmp_path


def run(capsys, *argv):
    status = quillet_cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_check_reports_each_file_and_a_broken_one_does_not_stop_the_run(files, capsys):
    status, out, err = run(capsys, "check", "hello.pdf", "broken.pdf", "missing.pdf", "rich.pdf")
    assert status == 1
    assert out == "hello.pdf: OK\nrich.pdf: OK\n"
    message = str(pytest.raises(ValueError, quillet.Document, BROKEN).value)
    assert err.splitlines() == [f"broken.pdf: {message}",
                                "missing.pdf: failed to read missing.pdf: No such file or directory (os error 2)"]
    assert run(capsys, "check", "-q", "hello.pdf", "rich.pdf") == (0, "", "")


def test_check_json(files, capsys):
    status, out, err = run(capsys, "check", "--json", "hello.pdf", "broken.pdf")
    results = json.loads(out)
    assert status == 1 and [(r["file"], r["ok"]) for r in results] == [("hello.pdf", True), ("broken.pdf", False)]
    assert results[1]["error"] in err


def test_info(files, capsys):
    status, out, _ = run(capsys, "info", "--json", "rich.pdf")
    info = json.loads(out)
    assert status == 0
    assert {k: info[k] for k in ("version", "pages", "encrypted", "title", "fonts", "images", "links",
                                 "annotations", "outline_items", "attachments", "form_fields")} == {
        "version": "1.7", "pages": 2, "encrypted": False, "title": "Sample", "fonts": 1, "images": 1, "links": 4,
        "annotations": 6, "outline_items": 3, "attachments": 1, "form_fields": 1}
    status, out, _ = run(capsys, "info", "rich.pdf")
    assert "pages:" in out and "title:" in out and "subject:" not in out  # empty entries are left out
    assert run(capsys, "info", "broken.pdf")[0] == 1


@pytest.mark.parametrize("pages, expected", [
    (None, "Hello\n\nsecond page\n\nthird\n"),   # text(): pages joined by a line feed
    ("2", "second page\n"),
    ("3,1", "third\n\nHello\n"),
    ("2-", "second page\n\nthird\n"),
])
def test_text(files, capsys, pages, expected):
    args = ["text", "hello.pdf"] + (["--pages", pages] if pages else [])
    assert run(capsys, *args) == (0, expected, "")


def test_text_page_errors(files, capsys):
    status, out, err = run(capsys, "text", "hello.pdf", "--pages", "4")
    assert (status, out, err) == (1, "", "hello.pdf: page 4 is out of range: the document has 3 pages\n")
    with pytest.raises(SystemExit) as exit_info:
        run(capsys, "text", "hello.pdf", "--pages", "3-1")
    assert exit_info.value.code == 2


def test_text_and_markdown_reading(files, capsys):
    doc = quillet.Document.open("hello.pdf")
    assert run(capsys, "text", "--reading", "hello.pdf")[1].rstrip("\n") == doc.reading_text().rstrip("\n")
    assert run(capsys, "text", "--reading", "--pages", "2", "hello.pdf")[1].rstrip("\n") == \
        doc.page_reading_text(1).rstrip("\n")
    assert run(capsys, "markdown", "--reading", "hello.pdf")[1] == doc.to_markdown(reading=True)
    assert json.loads(run(capsys, "llm", "--reading", "--pages-only", "hello.pdf")[1]) == doc.llm_chunks(reading=True)


def test_password_opens_encrypted_files(files, capsys):
    Path("locked.pdf").write_bytes(LOCKED.read_bytes())
    required = "locked.pdf: unsupported PDF feature at byte 0: encrypted document, password required\n"
    assert run(capsys, "text", "locked.pdf") == (1, "", required)
    assert run(capsys, "text", "--password", "user", "locked.pdf") == (0, "Hello encrypted world\n", "")
    status, _, err = run(capsys, "check", "--password", "wrong", "locked.pdf", "hello.pdf")
    assert (status, err) == (1, required.replace("password required", "incorrect password"))


def test_info_on_a_file_that_stays_encrypted(files, capsys):
    Path("locked.pdf").write_bytes(LOCKED.read_bytes())
    status, out, err = run(capsys, "info", "locked.pdf")
    lines = dict(line.split(":", 1) for line in out.splitlines())
    assert (status, err) == (0, "")
    assert lines["encryption"].strip() == ("Standard handler, revision 6, AESV3 256-bit, not decrypted: "
                                           "unsupported PDF feature at byte 0: encrypted document, password required")
    assert (lines["pages"].strip(), lines["objects"].strip(), lines["title"].strip(), lines["fonts"].strip()) == (
        "1", "12", "unavailable", "unavailable")
    info = json.loads(run(capsys, "info", "--json", "locked.pdf")[1])
    assert (info["encrypted"], info["title"], info["attachments"]) == (True, None, None)
    assert info["encryption"] == quillet.Document.open("locked.pdf").encryption()
    opened = json.loads(run(capsys, "info", "--json", "--password", "user", "locked.pdf")[1])
    assert (opened["title"], opened["attachments"], opened["encryption"]["password"]) == ("Secret title", 1, "user")


def test_markdown(files, capsys):
    assert run(capsys, "markdown", "rich.pdf") == (0, quillet.Document(rich_pdf()).to_markdown(), "")


@pytest.mark.parametrize("mode, requests", [("auto", 3), ("off", 0), ("always", 5)])
def test_llm_json(files, capsys, mode, requests):
    status, out, _ = run(capsys, "llm", "rich.pdf", "--ocr", mode)
    assert status == 0
    assert json.loads(out) == quillet.Document(rich_pdf()).llm_document(ocr=mode)
    assert len(json.loads(out)["ocr_requests"]) == requests
    assert len(json.loads(run(capsys, "llm", "rich.pdf", "--pages-only")[1])) == 2


def test_attachments_list_and_extract(files, capsys):
    assert run(capsys, "attachments", "rich.pdf") == (0, "notes.txt\tnotes.txt\t5\ttext/plain\tNotes\n", "")
    assert json.loads(run(capsys, "attachments", "--json", "rich.pdf")[1])[0]["declared_size"] == 5
    status, out, _ = run(capsys, "attachments", "rich.pdf", "--extract", "out")
    assert (status, out) == (0, os.path.join("out", "notes.txt") + "\n")
    assert Path("out/notes.txt").read_bytes() == b"hello"
    # A second extraction never overwrites.
    status, _, err = run(capsys, "attachments", "rich.pdf", "--extract", "out")
    assert status == 1 and err.startswith("rich.pdf: notes.txt: cannot write out/notes.txt: File exists")


@pytest.mark.parametrize("command", ["attachments", "images"])
def test_extract_into_a_file_fails_with_the_reason(files, capsys, command):
    Path("taken").write_bytes(b"")
    status, out, err = run(capsys, command, "rich.pdf", "--extract", "taken")
    assert (status, out) == (1, "") and err.endswith("rich.pdf: cannot create taken: File exists\n")


def attachments_pdf(file_names: list[bytes]) -> bytes:
    b = PdfBuilder()
    names = b" ".join(b"(f%d) %d 0 R" % (i, 10 + 2 * i) for i in range(len(file_names)))
    b.add(1, b"<< /Type /Catalog /Pages 2 0 R /Names << /EmbeddedFiles << /Names [" + names + b"] >> >> >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    for i, file_name in enumerate(file_names):
        b.add(10 + 2 * i, b"<< /Type /Filespec /F (" + file_name + b") /EF << /F %d 0 R >> >>" % (11 + 2 * i))
        b.stream(11 + 2 * i, b"data %d" % i)
    return b.build()


def test_extracted_names_stay_inside_the_folder(files, capsys):
    hostile = [b"../../escape.txt", b"/etc/passwd", b"a\\\\..\\\\..\\\\b.txt", b"..", b"", b"x\\000y\\nz.txt",
               b"same.txt", b"same.txt", b"SAME.txt", b"L" * 300 + b".txt"]
    Path("hostile.pdf").write_bytes(attachments_pdf(hostile))
    status, out, err = run(capsys, "attachments", "hostile.pdf", "--extract", "box")
    assert (status, err) == (0, "")
    written = sorted(p.name for p in Path("box").iterdir())
    # ".." gives a counter name, an empty file name the attachment's name.
    assert written == sorted(["escape.txt", "passwd", "b.txt", "attachment-4", "f4", "xyz.txt",
                              "same.txt", "same (2).txt", "SAME (3).txt", "L" * 196 + ".txt"])
    assert sorted(str(p) for p in Path(".").rglob("*") if p.is_file()) == sorted(
        ["rich.pdf", "hello.pdf", "broken.pdf", "hostile.pdf"] + [os.path.join("box", n) for n in written])
    assert Path("box/f4").read_bytes() == b"data 4"


def test_images_list_and_extract(files, capsys):
    image = "/Type /XObject /Subtype /Image /Width 1 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceGray"
    # A good image shown on both pages, a broken one, and one whose name
    # tries to climb out of the folder.
    xobjects = "<< /XObject << /Good 100 0 R /Bad 101 0 R /..#2F..#2Fup 102 0 R >> >>"
    Path("pictures.pdf").write_bytes(simple_pdf(["", ""], resources=xobjects, extra_objects=[
        (100, b"<< /Length 1 %s >>\nstream\n\x07\nendstream" % image.encode()),
        (101, b"<< /Length 8 /Filter /FlateDecode %s >>\nstream\nnot zlib\nendstream" % image.encode()),
        (102, b"<< /Length 1 %s >>\nstream\n\x09\nendstream" % image.encode())]))
    status, out, _ = run(capsys, "images", "pictures.pdf")
    assert status == 0 and out.splitlines()[:2] == [
        "1\t../../up\t102 0 R\tpng\t1\t1\t67\t",
        "1\tBad\t101 0 R\tpng\t1\t1\t\tfailed to decode /FlateDecode stream: corrupt deflate stream"]
    listing = json.loads(run(capsys, "images", "--json", "pictures.pdf")[1])
    assert len(listing) == 6 and "data" not in listing[0] and listing[0]["size"] == 67

    status, out, err = run(capsys, "images", "pictures.pdf", "--extract", "pictures")
    assert status == 1
    assert err == "pictures.pdf: page 1 Bad: failed to decode /FlateDecode stream: corrupt deflate stream\n"
    assert sorted(p.name for p in Path("pictures").iterdir()) == ["page1-.._.._up.png", "page1-Good.png"]
    good = quillet.Document.open("pictures.pdf").image_files()[2]
    assert good["name"] == "Good" and Path("pictures/page1-Good.png").read_bytes() == good["data"]


def test_objects(files, capsys):
    doc = quillet.Document(rich_pdf())
    status, out, _ = run(capsys, "objects", "rich.pdf")
    assert status == 0 and len(out.splitlines()) == doc.object_count()
    assert out.splitlines()[0].split()[:5] == ["1", "0", "R", "dictionary", "<<"]
    assert run(capsys, "objects", "rich.pdf", "12") == (0, doc.object_text(12) + "\n", "")
    assert json.loads(run(capsys, "objects", "--json", "rich.pdf", "12")[1]) == doc.object(12)
    assert len(json.loads(run(capsys, "objects", "--json", "rich.pdf")[1])) == doc.object_count()
    assert run(capsys, "objects", "rich.pdf", "999") == (1, "", "rich.pdf: dangling reference to object 999 0\n")


def test_bytes_are_base64_in_json():
    assert json.loads(quillet_cli.to_json({"data": b"\x00hi"})) == {"data": "AGhp"}


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal_and_for_many_files():
    terminal, pipe = Terminal(), io.StringIO()
    for stream in (terminal, pipe):
        bar = quillet_cli.Progress(3, stream)
        bar.show(1, "b.pdf")
        bar.clear()
    assert "[" in terminal.getvalue() and "1/3 b.pdf" in terminal.getvalue() and terminal.getvalue().endswith("\r")
    assert pipe.getvalue() == ""
    single = Terminal()
    quillet_cli.Progress(1, single).show(0, "a.pdf")
    assert single.getvalue() == ""


def test_runs_as_a_program(files):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(quillet_cli.__file__).parent), str(Path(quillet.__file__).parent)] + sys.path))
    result = subprocess.run([sys.executable, "-m", "quillet_cli", "check", "hello.pdf", "broken.pdf"],
                            env=env, capture_output=True, text=True)
    assert result.returncode == 1 and result.stdout == "hello.pdf: OK\n" and result.stderr.startswith("broken.pdf: ")
    usage = subprocess.run([sys.executable, "-m", "quillet_cli", "nonsense"], env=env, capture_output=True, text=True)
    assert usage.returncode == 2 and "invalid choice" in usage.stderr
