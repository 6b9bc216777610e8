"""Writes the encrypted test files in tests/data/encrypted/.

    python tests/make_encrypted.py      # needs pikepdf and pypdf (with cryptography)

One small plain document, built here with exact offsets, is encrypted by
other libraries, once per revision of the standard security handler and
password arrangement listed in CASES.  The output is committed: encryption
draws random IVs and file identifiers, so fixed files keep the tests
repeatable, and the test suite needs neither library.  Run this again only
to add or change a case.
"""

from pathlib import Path

from pdfbuild import PdfBuilder

OUT = Path(__file__).resolve().parent / "data" / "encrypted"

TEXT = "Hello encrypted world"
TITLE = "Secret title"
XMP = (b"<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
       b"<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:format>application/pdf"
       b"</dc:format></rdf:Description></rdf:RDF></x:xmpmeta>")
ATTACHMENT = b"attached words"

# name: (revision, AES, user password, owner password, /EncryptMetadata, object streams, writer)
CASES = {
    "r2-rc4-40": (2, False, "", "owner", True, False, "pikepdf"),
    "r2-rc4-40-user": (2, False, "user", "owner", True, False, "pikepdf"),
    "r3-rc4-128": (3, False, "", "owner", True, False, "pikepdf"),
    "r3-rc4-128-user-objstm": (3, False, "user", "owner", True, True, "pikepdf"),
    "r4-rc4-clear-metadata": (4, False, "", "owner", False, False, "pikepdf"),
    "r4-aes-128-user": (4, True, "user", "owner", True, False, "pikepdf"),
    "r4-aes-128-clear-metadata": (4, True, "user", "owner", False, False, "pikepdf"),
    "r5-aes-256-user": (5, True, "user", "owner", True, False, "pypdf"),
    "r6-aes-256-objstm": (6, True, "", "owner", True, True, "pikepdf"),
    "r6-aes-256-user": (6, True, "user", "owner", True, False, "pikepdf"),
}


def plain_document() -> bytes:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 10 0 R /Outlines 11 0 R"
             " /PageLabels << /Nums [0 << /S /D /P (Sec-) >>] >>"
             " /Names << /EmbeddedFiles << /Names [(note.txt) 13 0 R] >> >> >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
             " /Resources << /Font << /F1 5 0 R >> >> >>")
    b.stream(4, b"BT /F1 12 Tf 72 700 Td (%s) Tj ET" % TEXT.encode())
    b.add(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.stream(10, XMP, "/Type /Metadata /Subtype /XML")
    b.add(11, "<< /Type /Outlines /First 12 0 R /Last 12 0 R /Count 1 >>")
    b.add(12, "<< /Title (Secret chapter) /Parent 11 0 R /Dest [3 0 R /Fit] >>")
    b.add(13, "<< /Type /Filespec /F (note.txt) /UF (note.txt) /EF << /F 14 0 R >> >>")
    b.stream(14, ATTACHMENT, "/Type /EmbeddedFile")
    b.add(15, "<< /Title (%s) /Author (Alice) >>" % TITLE)
    return b.build(trailer="/Info 15 0 R")


def with_pikepdf(plain: bytes, path: Path, revision, aes, user, owner, metadata, objstm) -> None:
    import io

    import pikepdf

    with pikepdf.open(io.BytesIO(plain)) as pdf:
        mode = pikepdf.ObjectStreamMode.generate if objstm else pikepdf.ObjectStreamMode.disable
        # pikepdf takes the flag only with AES (metadata is always encrypted
        # before revision 4).
        encryption = pikepdf.Encryption(user=user, owner=owner, R=revision, aes=aes, metadata=metadata and aes)
        pdf.save(path, encryption=encryption, object_stream_mode=mode, compress_streams=False)


def with_pypdf(plain: bytes, path: Path, revision, aes, user, owner, metadata, objstm) -> None:
    import io

    import pypdf

    assert revision == 5 and aes and metadata and not objstm
    writer = pypdf.PdfWriter(clone_from=pypdf.PdfReader(io.BytesIO(plain)))
    writer.encrypt(user_password=user, owner_password=owner, algorithm="AES-256-R5")
    with path.open("wb") as f:
        writer.write(f)


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    plain = plain_document()
    for name, (*params, writer) in CASES.items():
        make = with_pikepdf if writer == "pikepdf" else with_pypdf
        make(plain, OUT / (name + ".pdf"), *params)


if __name__ == "__main__":
    main()
