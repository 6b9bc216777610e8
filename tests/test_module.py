"""The module surface: class, constructors, call frame and argument rules."""

import inspect
import pathlib
import sys

import pytest

import quillet
from pdfbuild import simple_pdf
from test_embedded_files import attached

PDF = simple_pdf(["BT (Hello) Tj ET", "BT (World) Tj ET"])


@pytest.fixture
def doc():
    return quillet.Document(PDF)


def test_module_exports_exactly_two_names():
    assert quillet.__all__ == ["Document", "write_text_pdf"]
    assert quillet.Document.__module__ == "builtins"
    assert quillet.Document.__name__ == "Document"
    assert not [n for n in dir(quillet) if isinstance(getattr(quillet, n), type) and n != "Document"]


def test_method_table_order_and_count():
    names = [n for n in quillet.Document.__dict__ if not n.startswith("__")]
    assert names[:8] == ["source_bytes", "parse", "open", "open_mmap", "version", "effective_version",
                         "page_count", "object_count"]
    # The 39 methods of the index first, in its order; additions follow.
    assert names[36:39] == ["named_destinations", "embedded_files", "form_fields"]
    assert names[39:] == ["toc", "page_words", "page_reading_text", "reading_text", "encryption", "page_image_files",
                          "image_files"]


@pytest.mark.parametrize("target, expected", [
    (quillet.Document, "(data, password=None, max_decoded_bytes=None)"),
    (quillet.Document.parse, "(data, password=None, max_decoded_bytes=None)"),
    (quillet.Document.open_mmap, "(path, password=None, max_decoded_bytes=None)"),
    (quillet.Document.object, "(self, /, number, generation=0)"),
    (quillet.Document.page_chunks, "(self, /, include_fonts=False, include_images=False, reading=False)"),
    (quillet.Document.ocr_requests, "(self, /, ocr='auto')"),
    (quillet.Document.page_words, "(self, /, index)"),
    (quillet.Document.reading_text, "(self, /)"),
    (quillet.Document.with_metadata,
     "(self, /, title=None, author=None, subject=None, keywords=None, creator=None, producer=None)"),
    (quillet.write_text_pdf, "(pages, title=None, author=None)"),
    (quillet.Document.page_image_files, "(self, /, index)"),
    (quillet.Document.image_files, "(self, /)"),
])
def test_text_signatures(target, expected):
    assert str(inspect.signature(target)) == expected


@pytest.mark.parametrize("make", [quillet.Document, quillet.Document.parse])
def test_constructors_from_bytes(make):
    d = make(PDF)
    assert d.version() == (1, 7)
    assert d.source_bytes() == PDF
    assert make(data=PDF).object_count() == d.object_count()


class Bytes(bytes):
    pass


def test_bytes_subclass_is_accepted():
    assert quillet.Document(Bytes(PDF)).object_count() == 6


@pytest.mark.parametrize("kind, held", [(bytes, 1), (Bytes, 0)])
def test_document_holds_plain_bytes_by_reference(kind, held):
    # A plain bytes object is kept rather than copied; a subclass, which
    # could refer back to the document, is copied.
    data = kind(PDF)
    before = sys.getrefcount(data)
    doc = quillet.Document(data)
    assert sys.getrefcount(data) == before + held
    assert doc.source_bytes() == PDF and type(doc.source_bytes()) is bytes
    del doc
    assert sys.getrefcount(data) == before


@pytest.mark.parametrize("data", [bytearray(PDF), memoryview(PDF), PDF.decode("latin-1"), None, 5])
def test_data_must_be_bytes(data):
    with pytest.raises(TypeError, match="^argument 'data': "):
        quillet.Document(data)
    with pytest.raises(TypeError, match="^argument 'data': "):
        quillet.Document.parse(data)


@pytest.mark.parametrize("data, message", [
    (b"", "invalid PDF header"),
    (b"hello world, not a pdf", "invalid PDF header"),
    (b"%PDF-1.4\nno xref here", "invalid startxref section"),
])
def test_load_failures_are_value_errors(data, message):
    with pytest.raises(ValueError) as info:
        quillet.Document(data)
    assert str(info.value) == message


def test_argument_count_errors(doc):
    with pytest.raises(TypeError):
        quillet.Document()
    with pytest.raises(TypeError):
        doc.version(1)
    with pytest.raises(TypeError):
        doc.page_text()
    with pytest.raises(TypeError):
        doc.page_text(0, 1)
    with pytest.raises(TypeError):
        doc.page_text(0, index=0)
    with pytest.raises(TypeError):
        doc.page_text(page=0)


def test_keyword_arguments(doc):
    assert doc.page_text(index=1) == "World"
    assert doc.object(number=1, generation=0) == doc.object(1)


def test_open_and_source_bytes(tmp_path):
    path = tmp_path / "a.pdf"
    path.write_bytes(PDF)
    d = quillet.Document.open(str(path))
    assert d.source_bytes() == PDF
    path.unlink()
    assert d.source_bytes() == PDF  # kept in memory


def test_open_missing_file(tmp_path):
    path = str(tmp_path / "missing.pdf")
    with pytest.raises(ValueError) as info:
        quillet.Document.open(path)
    assert str(info.value) == f"failed to read {path}: No such file or directory (os error 2)"


def test_open_path_with_nul():
    with pytest.raises(ValueError) as info:
        quillet.Document.open("a\0b")
    assert str(info.value) == "failed to read a\0b: file name contained an unexpected NUL byte"


@pytest.mark.parametrize("opener", [quillet.Document.open, quillet.Document.open_mmap])
@pytest.mark.parametrize("path", [pathlib.Path("x.pdf"), b"x.pdf", None])
def test_path_must_be_str(opener, path):
    with pytest.raises(TypeError, match="^argument 'path': "):
        opener(path)


def test_open_mmap_source_bytes_rereads_the_file(tmp_path):
    path = tmp_path / "a.pdf"
    path.write_bytes(PDF)
    d = quillet.Document.open_mmap(str(path))
    assert d.source_bytes() == PDF
    path.write_bytes(b"changed")
    assert d.source_bytes() == b"changed"
    path.unlink()
    with pytest.raises(ValueError) as info:
        d.source_bytes()
    assert str(info.value) == f"failed to read {path}: No such file or directory (os error 2)"
    assert d.page_text(0) == "Hello"  # everything else keeps working


@pytest.mark.parametrize("call, error", [
    (lambda d: d.page_text(-1), OverflowError),
    (lambda d: d.page_text(2**64), OverflowError),
    (lambda d: d.object(2**32), OverflowError),
    (lambda d: d.object(1, 70000), OverflowError),
    (lambda d: d.object(1, -1), OverflowError),
    (lambda d: d.page_text(1.0), TypeError),
    (lambda d: d.page_text("1"), TypeError),
])
def test_integer_conversion(doc, call, error):
    with pytest.raises(error) as info:
        call(doc)
    if error is TypeError:
        assert str(info.value).startswith("argument '")


def test_index_accepts_objects_with_index(doc):
    class Two:
        def __index__(self):
            return 1

    assert doc.page_text(Two()) == "World"


def test_page_index_out_of_range(doc):
    with pytest.raises(ValueError, match="^page index out of range$"):
        doc.page_text(2)


@pytest.mark.parametrize("value", [0, 1, None, "yes"])
def test_bool_arguments_refuse_non_bools(doc, value):
    with pytest.raises(TypeError, match="^argument 'include_fonts': "):
        doc.page_chunks(include_fonts=value)


def test_numpy_bool_is_accepted(doc):
    np = pytest.importorskip("numpy")
    assert doc.fonts(include_data=np.bool_(True)) == doc.fonts(include_data=True)
    assert doc.page_chunks(include_fonts=np.bool_(False)) == doc.page_chunks()


def test_ocr_argument_must_be_str(doc):
    with pytest.raises(TypeError, match="^argument 'ocr': "):
        doc.ocr_requests(ocr=b"auto")


def test_write_text_pdf_refuses_a_single_str():
    with pytest.raises(TypeError, match="^argument 'pages': "):
        quillet.write_text_pdf("page")
    with pytest.raises(TypeError, match="^argument 'pages': "):
        quillet.write_text_pdf([b"page"])


def test_rect_refuses_a_str(doc):
    with pytest.raises(TypeError, match="^argument 'rect': "):
        doc.with_uri_link(0, "0 0 1 1", "https://example.com")


def test_method_called_through_class_with_foreign_receiver():
    with pytest.raises(TypeError):
        quillet.Document.version(5)


def test_documents_are_independent_and_immutable(doc):
    before = doc.objects()
    other = quillet.Document(simple_pdf(["BT (x) Tj ET"]))
    assert other.page_text(0) == "x"
    assert doc.objects() == before


# Every method of the class, in method-table order, with its signature.
METHOD_INDEX = [
    ("source_bytes", "(self, /)"), ("parse", "(data, password=None, max_decoded_bytes=None)"),
    ("open", "(path, password=None, max_decoded_bytes=None)"), ("open_mmap", "(path, password=None, max_decoded_bytes=None)"),
    ("version", "(self, /)"), ("effective_version", "(self, /)"), ("page_count", "(self, /)"),
    ("object_count", "(self, /)"), ("xref", "(self, /)"), ("objects", "(self, /)"),
    ("object", "(self, /, number, generation=0)"), ("object_text", "(self, /, number, generation=0)"),
    ("dump_objects", "(self, /)"), ("text", "(self, /)"), ("references_text", "(self, /)"),
    ("to_markdown", "(self, /, reading=False)"),
    ("page_chunks", "(self, /, include_fonts=False, include_images=False, reading=False)"),
    ("llm_document", "(self, /, include_text=True, include_images=True, include_links=True, "
                     "include_annotations=True, ocr='auto', reading=False)"),
    ("llm_chunks", "(self, /, include_text=True, include_images=True, include_links=True, "
                   "include_annotations=True, ocr='auto', reading=False)"),
    ("ocr_requests", "(self, /, ocr='auto')"),
    ("with_metadata", "(self, /, title=None, author=None, subject=None, keywords=None, creator=None, producer=None)"),
    ("with_text_annotation", "(self, /, page_index, rect, contents)"),
    ("with_uri_link", "(self, /, page_index, rect, uri)"), ("page_texts", "(self, /)"),
    ("page_text", "(self, /, index)"), ("pages", "(self, /)"), ("page_labels", "(self, /)"),
    ("metadata", "(self, /)"), ("metadata_xml", "(self, /)"), ("outlines", "(self, /)"),
    ("page_annotations", "(self, /, index)"), ("page_links", "(self, /, index)"),
    ("page_fonts", "(self, /, index, include_data=False)"), ("fonts", "(self, /, include_data=False)"),
    ("page_images", "(self, /, index, include_data=False, include_pnm=False)"),
    ("images", "(self, /, include_data=False, include_pnm=False)"), ("named_destinations", "(self, /)"),
    ("embedded_files", "(self, /, include_data=False)"), ("form_fields", "(self, /)"),
]


def test_method_index():
    names = [n for n in quillet.Document.__dict__ if not n.startswith("__")]
    indexed = [(n, str(inspect.signature(getattr(quillet.Document, n)))) for n in names[:len(METHOD_INDEX)]]
    assert indexed == METHOD_INDEX


def test_open_reports_read_failures(tmp_path):
    # Opening a directory succeeds; reading it is what fails.
    with pytest.raises(ValueError) as info:
        quillet.Document.open(str(tmp_path))
    assert str(info.value) == f"failed to read {tmp_path}: Is a directory (os error 21)"


# ---- argument conversion through methods that exist ----

ATTACHED = "(x) << /EF << /F 90 0 R >> >>"


@pytest.mark.parametrize("value", [1.0, b"", [True]])
def test_bool_argument_refuses_truthy_non_bools(value):
    doc = attached(ATTACHED)
    with pytest.raises(TypeError, match="^argument 'include_data': "):
        doc.embedded_files(include_data=value)


@pytest.mark.parametrize("name", ["True", "False"])
def test_numpy_bool_is_read_as_its_truth_value(name):
    np = pytest.importorskip("numpy")
    doc = attached(ATTACHED)
    value = np.bool_(name == "True")
    assert doc.embedded_files(include_data=value) == doc.embedded_files(include_data=name == "True")
    assert ("data" in doc.embedded_files(include_data=value)[0]) is (name == "True")


def test_rect_items_are_anything_that_converts_to_float(doc):
    from fractions import Fraction

    expected = doc.with_uri_link(0, [10, 20.5, 30, 40], "https://example.com")
    assert doc.with_uri_link(0, (Fraction(10), 20.5, 30, 40), "https://example.com") == expected
    np = pytest.importorskip("numpy")
    assert doc.with_uri_link(0, np.array([10, 20.5, 30, 40]), "https://example.com") == expected
    assert doc.with_uri_link(0, [np.int64(10), np.float32(20.5), 30, 40], "https://example.com") == expected


@pytest.mark.parametrize("rect", [[1, 2, 3, "4"], [1, 2, 3, None], 5, {1: 1}])
def test_rect_that_is_not_numbers_is_a_type_error(doc, rect):
    with pytest.raises(TypeError, match="^argument 'rect': "):
        doc.with_uri_link(0, rect, "https://example.com")
