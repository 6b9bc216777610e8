"""Every method of the module, used as a program would use it.  The tests
type-check this file with `mypy --strict` against the shipped stubs and run
it, so the stubs must describe what the calls really return."""

from __future__ import annotations

import os
import tempfile
from typing import TYPE_CHECKING

import quillet

if TYPE_CHECKING:
    from quillet import EmbeddedFile, Encryption, Font, Image, ImageFile, LlmDocument, Metadata, Page, TocEntry, Word


def box_width(box: list[float] | None) -> float:
    return 0.0 if box is None else box[2] - box[0]


def describe_font(font: Font) -> str:
    descriptor = font["descriptor"]
    embedded = descriptor["embedded_font"] if descriptor else None
    return f"{font['name']} {font['base_font'] or '?'} {embedded['kind'] if embedded else 'not embedded'}"


def image_bytes(image: Image) -> int:
    decoded = image["decoded"]
    return len(image.get("pnm", b"")) + (decoded["decoded_length"] if decoded else 0)


def main() -> None:
    pdf: bytes = quillet.write_text_pdf(["Hello", "World"], title="Typed", author=None)
    pdf = quillet.Document(pdf).with_uri_link(0, [72, 700, 200, 714], "https://example.org/")
    doc = quillet.Document.parse(pdf).with_text_annotation(1, (72.0, 700.0, 90.0, 720.0), "A note")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "typed.pdf")
        with open(path, "wb") as out:
            out.write(doc)
        with quillet.Document.open(path) as opened:
            assert opened.source_bytes() == doc
        mapped = quillet.Document.open_mmap(path, password=None)
        assert len(mapped) == 2 and bool(mapped)

    d = quillet.Document(doc)
    major, minor = d.version()
    assert (major, minor) <= d.effective_version()
    count: int = d.object_count() + d.page_count()
    assert count > 0 and all(entry["xref"] for entry in d.xref())
    kinds = {summary["kind"] for summary in d.objects()}
    assert d.object(1)["number"] == 1 and d.object_text(1, 0).startswith("<<") and "obj" in d.dump_objects()
    assert "dictionary" in kinds

    pages: list[Page] = d.pages()
    assert sum(box_width(page["media_box"]) for page in pages) == 1224.0
    assert d.text() == "\n".join(d.page_texts()) and d.page_text(0) == "Hello\n"
    assert d.references_text() is None
    words: list[Word] = d.page_words(0)
    assert [(word["text"], word["font"], word["block"], word["line"]) for word in words] == [
        ("Hello", "Helvetica", 0, 0)]
    assert words[0]["bbox"][0] == 72.0 and words[0]["size"] == 12.0
    assert d.reading_text() == d.page_reading_text(0) + "\f" + d.page_reading_text(1) == "Hello\fWorld"

    assert [describe_font(font) for font in d.page_fonts(0, include_data=False)] == ["F1 Helvetica not embedded"]
    assert len(d.fonts(True)) == 2
    assert sum(image_bytes(image) for image in d.page_images(0) + d.images(include_pnm=True)) == 0
    files: list[ImageFile] = d.page_image_files(0) + d.image_files()
    assert [file["extension"] for file in files] == []

    assert d.outlines() == [] and d.named_destinations() == {}
    toc: list[TocEntry] = d.toc()
    assert [entry["page_index"] for entry in toc] == []
    assert [link["kind"] for link in d.page_links(0)] == ["uri"]
    assert [note["contents"] for note in d.page_annotations(1)] == ["A note"]
    assert d.form_fields() == []

    metadata: Metadata = d.metadata()
    assert metadata["title"] == "Typed" and not metadata["encrypted"] and d.metadata_xml() is None
    encryption: Encryption | None = quillet.Document(doc, "unused for a plain file").encryption()
    assert encryption is None
    assert d.page_labels() == ["1", "2"]
    attachments: list[EmbeddedFile] = d.embedded_files(include_data=True)
    assert attachments == []

    assert d.to_markdown().startswith("# Typed") and d.to_markdown(reading=True).startswith("# Typed")
    assert [chunk["page_label"] for chunk in d.page_chunks(include_fonts=True)] == ["1", "2"]
    assert [chunk["text"] for chunk in d.page_chunks(reading=True)] == ["Hello", "World"]
    assert [block["id"] for block in d.llm_chunks(reading=True, include_links=False)[0]["blocks"]] == ["page-1-text-1"]
    llm: LlmDocument = d.llm_document(include_images=False, ocr="off")
    assert [block["kind"] for page in llm["pages"] for block in page["blocks"]] == ["text", "link", "text", "annotation"]
    assert len(d.llm_chunks(ocr="always")) == len(d.ocr_requests("always")) == 2

    updated = quillet.Document(d.with_metadata(title="Retitled", producer=None))
    assert updated.metadata()["title"] == "Retitled"


if __name__ == "__main__":
    main()
