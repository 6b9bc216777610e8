"""Encrypted documents: the standard security handler decrypts strings and
streams while loading; documents that stay encrypted refuse every content
method rather than return ciphertext.

The files in data/encrypted/ were written by other libraries (see
make_encrypted.py); the hand-built files below encrypt with RC4 and MD5
written out here from the standard, for the rules those writers do not
exercise."""

import re
from hashlib import md5
from pathlib import Path

import pytest

import quillet
from corpus import CORPUS, manifest
from pdfbuild import PdfBuilder

DATA = Path(__file__).resolve().parent / "data" / "encrypted"
TEXT = "Hello encrypted world"
REQUIRED = "^unsupported PDF feature at byte 0: encrypted document, password required$"
INCORRECT = "^unsupported PDF feature at byte 0: encrypted document, incorrect password$"

# file: (revision, string method, user password or "" for none)
FILES = {
    "r2-rc4-40": (2, "RC4", ""),
    "r2-rc4-40-user": (2, "RC4", "user"),
    "r3-rc4-128": (3, "RC4", ""),
    "r3-rc4-128-user-objstm": (3, "RC4", "user"),
    "r4-rc4-clear-metadata": (4, "RC4", ""),
    "r4-aes-128-user": (4, "AESV2", "user"),
    "r4-aes-128-clear-metadata": (4, "AESV2", "user"),
    "r5-aes-256-user": (5, "AESV3", "user"),
    "r6-aes-256-objstm": (6, "AESV3", ""),
    "r6-aes-256-user": (6, "AESV3", "user"),
}


def data(name: str) -> bytes:
    return (DATA / (name + ".pdf")).read_bytes()


def assert_plain(doc) -> None:
    assert doc.text() == TEXT
    assert doc.metadata()["title"] == "Secret title"
    assert doc.metadata()["encrypted"] is True
    assert [item["title"] for item in doc.outlines()] == ["Secret chapter"]
    assert doc.page_labels() == ["Sec-1"]
    assert [(f["name"], f["data"]) for f in doc.embedded_files(include_data=True)] == [("note.txt", b"attached words")]
    assert "application/pdf" in doc.metadata_xml()


# ---- files written by other libraries, one per revision ----

@pytest.mark.parametrize("name", FILES)
@pytest.mark.parametrize("who", ["user", "owner"])
def test_each_revision_decrypts_with_user_and_owner_password(name, who):
    revision, method, user = FILES[name]
    assert TEXT.encode() not in data(name)  # really stored encrypted
    password = user if who == "user" else "owner"
    doc = quillet.Document(data(name), password=password or None)
    assert_plain(doc)
    e = doc.encryption()
    assert (e["filter"], e["revision"], e["string_method"], e["password"], e["error"]) == (
        "Standard", revision, method, who, None)
    assert e["key_bits"] == {2: 40, 3: 128, 4: 128, 5: 256, 6: 256}[revision]


@pytest.mark.parametrize("name", [n for n, (_, _, user) in FILES.items() if user])
@pytest.mark.parametrize("password", ["wrong", ""])
def test_wrong_password_fails_the_load(name, password):
    with pytest.raises(ValueError, match=INCORRECT):
        quillet.Document(data(name), password=password)


def test_password_reaches_every_constructor(tmp_path):
    path = tmp_path / "f.pdf"
    path.write_bytes(data("r6-aes-256-user"))
    for doc in (quillet.Document.parse(data("r6-aes-256-user"), "user"), quillet.Document.open(str(path), "user"),
                quillet.Document.open_mmap(str(path), password="user")):
        assert doc.text() == TEXT
    with pytest.raises(TypeError, match="^argument 'password': "):
        quillet.Document(data("r6-aes-256-user"), password=b"user")


@pytest.mark.parametrize("name", ["r4-aes-128-clear-metadata", "r4-rc4-clear-metadata"])
def test_metadata_stream_stays_in_the_clear_with_encrypt_metadata_false(name):
    assert b"<dc:format>application/pdf</dc:format>" in data(name)
    doc = quillet.Document(data(name), password=FILES[name][2] or None)
    assert doc.encryption()["encrypt_metadata"] is False
    assert_plain(doc)


# ---- documents that stay encrypted ----

STILL_WORKING = {
    "version": lambda d: d.version(), "effective_version": lambda d: d.effective_version(),
    "page_count": lambda d: d.page_count(), "pages": lambda d: d.pages(), "object_count": lambda d: d.object_count(),
    "xref": lambda d: d.xref(), "objects": lambda d: d.objects(), "object": lambda d: d.object(1),
    "object_text": lambda d: d.object_text(1), "dump_objects": lambda d: d.dump_objects(),
    "source_bytes": lambda d: d.source_bytes(), "encryption": lambda d: d.encryption(),
}
REFUSED = {
    "text": lambda d: d.text(), "page_text": lambda d: d.page_text(0), "page_texts": lambda d: d.page_texts(),
    "references_text": lambda d: d.references_text(), "to_markdown": lambda d: d.to_markdown(),
    "page_chunks": lambda d: d.page_chunks(), "llm_document": lambda d: d.llm_document(),
    "llm_chunks": lambda d: d.llm_chunks(), "ocr_requests": lambda d: d.ocr_requests(),
    "metadata": lambda d: d.metadata(), "metadata_xml": lambda d: d.metadata_xml(),
    "outlines": lambda d: d.outlines(), "page_labels": lambda d: d.page_labels(),
    "page_annotations": lambda d: d.page_annotations(0), "page_links": lambda d: d.page_links(0),
    "page_fonts": lambda d: d.page_fonts(0), "fonts": lambda d: d.fonts(),
    "page_images": lambda d: d.page_images(0), "images": lambda d: d.images(),
    "named_destinations": lambda d: d.named_destinations(), "embedded_files": lambda d: d.embedded_files(),
    "form_fields": lambda d: d.form_fields(), "toc": lambda d: d.toc(),
    "page_reading_text": lambda d: d.page_reading_text(0), "page_words": lambda d: d.page_words(0),
    "reading_text": lambda d: d.reading_text(), "page_image_files": lambda d: d.page_image_files(0),
    "image_files": lambda d: d.image_files(),
}
# Loaders, and the writers, which refuse encrypted files whatever happens.
OTHERS = {"parse", "open", "open_mmap", "with_metadata", "with_text_annotation", "with_uri_link"}


def test_every_method_is_either_refused_or_reads_no_content():
    # A new method must say where it belongs: reading strings or streams of
    # a document that stays encrypted would return ciphertext.
    names = {n for n in quillet.Document.__dict__ if not n.startswith("__")}
    assert names == set(STILL_WORKING) | set(REFUSED) | OTHERS


@pytest.mark.parametrize("method", REFUSED)
def test_content_methods_refuse_a_document_without_its_password(method):
    doc = quillet.Document(data("r4-aes-128-user"))
    with pytest.raises(ValueError, match=REQUIRED):
        REFUSED[method](doc)


@pytest.mark.parametrize("method", STILL_WORKING)
def test_object_views_work_without_the_password(method):
    doc = quillet.Document(data("r4-aes-128-user"))
    STILL_WORKING[method](doc)
    assert doc.page_count() == len(doc) == 1
    e = doc.encryption()
    assert (e["password"], e["error"]) == (None, REQUIRED.strip("^$"))


def test_updates_of_encrypted_documents_stay_refused():
    doc = quillet.Document(data("r3-rc4-128"))
    with pytest.raises(ValueError, match="incremental update of an encrypted document$"):
        doc.with_metadata(title="x")


def test_object_stream_without_the_password_fails_the_load():
    with pytest.raises(ValueError, match=REQUIRED):
        quillet.Document(data("r3-rc4-128-user-objstm"))


def encrypt_file(encrypt: str, extra_objects=(), file_id="<00112233445566778899aabbccddeeff>") -> bytes:
    """A plain one-page document whose trailer names `encrypt` (object 9)."""
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>")
    b.stream(4, b"BT (Potato) Tj ET")
    b.add(9, encrypt)
    for number, body in extra_objects:
        b.add(number, body)
    return b.build(trailer="/Encrypt 9 0 R /ID [%s %s]" % (file_id, file_id))


OU = "/O <%s> /U <%s> /P -4" % ("11" * 32, "22" * 32)


@pytest.mark.parametrize("encrypt, reason", [
    ("<< /Filter /Foo /V 2 /R 3 >>", "encryption handler /Foo"),
    ("<< /Filter /Adobe.PubSec /SubFilter /adbe.pkcs7.s5 /V 4 /Recipients [<00>] >>",
     "encryption handler /Adobe.PubSec"),
    ("<< /Filter /Standard /V 3 /R 3 %s >>" % OU, "encryption handler /Standard /V 3 /R 3"),
    ("<< /Filter /Standard /V 5 /R 7 %s >>" % OU, "encryption handler /Standard /V 5 /R 7"),
    ("<< /Filter /Standard /V 4 /R 4 /CF << /X << /CFM /Foo >> >> /StmF /X /StrF /X %s >>" % OU,
     "encryption handler /Standard crypt filter method /Foo"),
])
def test_unknown_handler_refuses_content_and_names_itself(encrypt, reason):
    doc = quillet.Document(encrypt_file(encrypt))
    message = "^unsupported PDF feature at byte 0: %s$" % re.escape(reason)
    for call in (doc.text, doc.metadata, doc.page_texts):
        with pytest.raises(ValueError, match=message):
            call()
    assert doc.page_count() == 1 and doc.object_count() == 5
    assert doc.encryption()["error"] == message.strip("^$").replace("\\", "")


@pytest.mark.parametrize("encrypt, message", [
    ("<< /Filter /Standard >>", "missing required entry /R in encryption dictionary"),
    ("<< /Filter /Standard /V 2 /R 3 /Length 44 %s >>" % OU,
     "type mismatch in encryption dictionary /Length: expected multiple of 8 from 40 to 128"),
    ("<< /Filter /Standard /V 1 /R 2 /O <00> /U <00> /P -4 >>",
     "type mismatch in encryption dictionary /O: expected string of at least 32 bytes"),
    ("[]", "type mismatch in trailer /Encrypt: expected dictionary"),
])
def test_broken_encryption_dictionary_refuses_content(encrypt, message):
    doc = quillet.Document(encrypt_file(encrypt))
    with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
        doc.text()


def test_identity_filters_leave_strings_and_streams_readable_without_the_password():
    # Only attachments are encrypted (/EFF): the rest reads as stored.
    encrypt = ("<< /Filter /Standard /V 4 /R 4 /CF << /StdCF << /CFM /AESV2 >> >> /StmF /Identity /StrF /Identity"
               " /EFF /StdCF %s >>" % OU)
    doc = quillet.Document(encrypt_file(encrypt))
    assert doc.text() == "Potato"
    e = doc.encryption()
    assert (e["string_method"], e["stream_method"], e["embedded_file_method"]) == ("Identity", "Identity", "AESV2")
    assert doc.embedded_files() == []
    with pytest.raises(ValueError, match=REQUIRED):
        doc.embedded_files(include_data=True)


# ---- hand-built RC4 files: rules that the writers above do not exercise ----

PAD = bytes.fromhex("28BF4E5E4E758A4164004E56FFFA01082E2E00B6D0683E802F0CA9FE6453697A")
FILE_ID = bytes(range(16))


def rc4(key: bytes, data: bytes) -> bytes:
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) % 256
        s[i], s[j] = s[j], s[i]
    out = bytearray()
    i = j = 0
    for byte in data:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        out.append(byte ^ s[(s[i] + s[j]) % 256])
    return bytes(out)


# RFC 6229 keystream: (key, offset, 16 bytes), for 40- and 128-bit keys.
RFC6229 = [
    ("0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"),
    ("0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"),
    ("0102030405", 1520, "3294f744d8f9790507e70f62e5bbceea"),
    ("0102030405", 4096, "ff25b58995996707e51fbdf08b34d875"),
    ("0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"),
    ("0102030405060708090a0b0c0d0e0f10", 4080, "ff38265c1642c1abe8d3c2fe5e572bf8"),
]


@pytest.mark.parametrize("key, offset, expected", RFC6229)
def test_rc4_of_these_tests_matches_rfc6229(key, offset, expected):
    assert rc4(bytes.fromhex(key), bytes(offset + 16))[offset:].hex() == expected


def rc4_handler(user: bytes, owner: bytes, key_bytes: int = 16):
    """/O, /U and the file key of revisions 3 and 4 (ISO 32000-2 algorithms
    2, 3, 5)."""
    padded = lambda password: (password + PAD)[:32]
    h = md5(padded(owner)).digest()
    for _ in range(50):
        h = md5(h).digest()
    o = padded(user)
    for i in range(20):
        o = rc4(bytes(b ^ i for b in h[:key_bytes]), o)
    h = md5(padded(user) + o + (-4).to_bytes(4, "little", signed=True) + FILE_ID).digest()
    for _ in range(50):
        h = md5(h[:key_bytes]).digest()
    key = h[:key_bytes]
    u = md5(PAD + FILE_ID).digest()
    for i in range(20):
        u = rc4(bytes(b ^ i for b in key), u)
    return o, u + bytes(16), key


def rc4_file(content: bytes, encrypt_extra="/V 2 /R 3 /Length 128", user=b"", extra=lambda enc: []) -> bytes:
    """RC4 document (revision 3, or 4 when `encrypt_extra` says so): catalog 1, pages 2, page 3, content 4, Info 5,
    /Encrypt 9; `extra(enc)` gives more objects, enc(number, bytes) being the
    encrypted hex string of object `number`."""
    o, u, key = rc4_handler(user, b"owner")
    enc = lambda number, data: "<%s>" % rc4(md5(key + number.to_bytes(3, "little") + b"\0\0").digest(), data).hex()
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>")
    b.stream(4, bytes.fromhex(enc(4, content)[1:-1]))
    b.add(5, "<< /Title %s >>" % enc(5, b"Hand title"))
    b.add(9, "<< /Filter /Standard %s /O <%s> /U <%s> /P -4 >>" % (encrypt_extra, o.hex(), u.hex()))
    for number, body in extra(enc):
        b.add(number, body)
    return b.build(trailer="/Info 5 0 R /Encrypt 9 0 R /ID [<%s> <%s>]" % (FILE_ID.hex(), FILE_ID.hex()))


def test_long_rc4_stream_and_owner_password():
    # Past offset 4096 of the keystream, where RFC 6229 checks the helper.
    words = " ".join("word%04d" % i for i in range(600))
    pdf = rc4_file(b"BT (%s) Tj ET" % words.encode(), user=b"user")
    doc = quillet.Document(pdf, password="owner")
    assert doc.text() == words
    assert doc.metadata()["title"] == "Hand title"
    assert doc.encryption()["password"] == "owner"


def test_missing_length_of_a_v2_dictionary_reads_as_128_bits():
    doc = quillet.Document(rc4_file(b"BT (Potato) Tj ET", encrypt_extra="/V 2 /R 3"))
    assert (doc.text(), doc.encryption()["key_bits"]) == ("Potato", 128)


def test_what_stays_as_stored():
    # The /Contents of a signature, the /Encrypt dictionary, and a stream
    # whose own /Crypt filter is /Identity.
    signature = "<< /Type /Sig /Contents <414243> /Name %s >>"
    pdf = rc4_file(b"BT (Potato) Tj ET", encrypt_extra="/V 4 /R 4 /CF << /StdCF << /CFM /V2 >> >> /StmF /StdCF /StrF /StdCF",
                   extra=lambda enc: [(6, signature % enc(6, b"Signer")),
                                      (7, b"<< /Filter /Crypt /DecodeParms << /Name /Identity >> /Length 9 >>\n"
                                          b"stream\nin clear\n\nendstream")])
    doc = quillet.Document(pdf)
    assert doc.text() == "Potato"
    assert doc.object_text(6) == "<< /Contents (ABC) /Name (Signer) /Type /Sig >>"
    assert doc.object(9)["text"] == quillet.Document(pdf.replace(b"/Encrypt 9 0 R", b"")).object(9)["text"]
    assert "/Crypt" not in doc.object_text(7)


# ---- the corpus ----

def decryptable_corpus_files():
    """(name, password) of the encrypted corpus files the checker decrypted."""
    for row in manifest():
        check = CORPUS / "oracle" / row["name"] / "check.txt"
        if row["encrypted"] != "y" or not check.is_file():
            continue
        report = check.read_text("utf-8", "replace")
        password = re.search(r"^User password = (.*)$", report, re.M)
        if "Supplied password is" in report and password:
            yield row["name"], password.group(1)


def word_bag(text: str) -> dict:
    bag = {}
    for word in re.findall(r"\w{2,}", text.lower()):
        bag[word] = bag.get(word, 0) + 1
    return bag


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not available")
@pytest.mark.parametrize("name, password", list(decryptable_corpus_files()))
def test_corpus_file_decrypts_and_reads_like_the_oracle(name, password):
    data = (CORPUS / "files" / (name + ".pdf")).read_bytes()
    ours = word_bag(quillet.Document(data, password=password or None).text())
    expected = word_bag((CORPUS / "oracle" / name / "text.txt").read_text("utf-8", "replace"))
    if not expected:
        return  # the oracle's own reader opened nothing
    common = sum(min(count, ours.get(word, 0)) for word, count in expected.items())
    assert common >= 0.5 * sum(expected.values()), (ours, expected)
