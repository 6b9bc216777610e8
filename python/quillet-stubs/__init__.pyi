"""Strict, fast PDF reading and inspection.

Load a file with ``Document(data)``, ``Document.parse(data)``,
``Document.open(path)`` or ``Document.open_mmap(path)`` (each takes
``password=`` for encrypted files); every method then answers with plain
Python values: str, bytes, int, float, bool, None, and lists and dicts whose
keys always come in the order documented here.  For readable text, start
with ``reading_text()``.

Every defect in the input, and every refusal, raises ``ValueError`` with one
fixed message; nothing partial is ever returned.  A wrong argument type
raises ``TypeError`` naming the argument ("argument 'index': ..."), an
integer out of range ``OverflowError``.  A broken internal invariant (a bug,
never a property of the input) raises ``quillet.InternalError``, which
derives from ``BaseException`` so that ``except Exception`` does not hide it.

The record types below (``Page``, ``Font``, ``LlmBlock``, ...) exist for type
checkers only: import them under ``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from types import TracebackType
from typing import Literal, NotRequired, Self, SupportsIndex, TypeAlias, TypedDict, final, type_check_only

__all__ = ["Document", "write_text_pdf"]

# A rectangle or box: four floats in the order the file stores them
# (normally x1, y1, x2, y2 in points), never normalised.
_Box: TypeAlias = list[float]
# Spellings the `ocr` parameter accepts (exact, case-sensitive).
_OcrMode: TypeAlias = Literal["off", "none", "false", "auto", "always", "true", "force"]
_ObjectKind: TypeAlias = Literal[
    "null", "boolean", "integer", "real", "name", "string", "array", "dictionary", "reference", "stream"
]

# ---- records: every dict the library returns, keys in their order ----

@type_check_only
class XrefEntry(TypedDict):
    """One entry of the merged cross-reference map (``xref()``)."""

    id: str
    """The object's id as text, "12 0 R"."""
    number: int
    generation: int
    xref: str
    """"free next={} generation={}", "in-use offset={} generation={}" or
    "compressed object_stream={} index={}"."""

@type_check_only
class ObjectSummary(TypedDict):
    """One indirect object (``objects()``, ``object()``)."""

    id: str
    number: int
    generation: int
    kind: _ObjectKind
    xref: str | None
    """The cross-reference entry's text (as in ``XrefEntry``), None without one."""
    text: str
    """The object rendered as PDF-like text; streams show their length only."""

@type_check_only
class Page(TypedDict):
    """One leaf page of the page tree (``pages()``)."""

    index: int
    """0-based position in the page list."""
    id: str
    parent: str | None
    """The page's own /Parent reference as "n g R", None otherwise."""
    media_box: _Box | None
    """Own or inherited /MediaBox; None unless a direct array of four numbers."""
    crop_box: _Box | None
    """Own or inherited /CropBox (no fallback to the media box)."""
    rotate: int | None
    """Own or inherited /Rotate as stored (not reduced modulo 360); None unless an integer."""

@type_check_only
class EmbeddedFont(TypedDict):
    """The font program a descriptor names (``FontDescriptor["embedded_font"]``)."""

    kind: Literal["FontFile", "FontFile2", "FontFile3"]
    id: str | None
    subtype: str | None
    filters: list[str]
    encoded_length: int
    length1: int | None
    length2: int | None
    length3: int | None
    data: NotRequired[bytes]
    """The decoded program; present only with ``include_data=True``."""

@type_check_only
class FontDescriptor(TypedDict):
    """A font's /FontDescriptor; metrics are texts as stored ("718", "-12.5")."""

    id: str | None
    font_name: str | None
    font_family: str | None
    font_stretch: str | None
    flags: int | None
    italic_angle: str | None
    ascent: str | None
    descent: str | None
    cap_height: str | None
    stem_v: str | None
    embedded_font: EmbeddedFont | None

@type_check_only
class Font(TypedDict):
    """One entry of a page's /Resources /Font (``fonts()``, ``page_fonts()``)."""

    page_index: int | None
    """The page's index in ``fonts()``; None in ``page_fonts()``."""
    page_id: str | None
    """The page's id in ``fonts()``; None in ``page_fonts()``."""
    name: str
    """The resource name, without the slash (F1)."""
    id: str | None
    subtype: str | None
    base_font: str | None
    encoding: str | None
    """/Encoding as text whatever its kind (/WinAnsiEncoding, "5 0 R", a dictionary's text)."""
    descriptor_id: str | None
    descriptor: FontDescriptor | None

@type_check_only
class DecodedImage(TypedDict):
    """What ``include_pnm=True`` decoded (``Image["decoded"]``)."""

    width: int
    height: int
    components: Literal[1, 3]
    pnm_kind: Literal["P5", "P6"]
    decoded_length: int

@type_check_only
class Image(TypedDict):
    """One image XObject reached from a page's resources (``images()``, ``page_images()``)."""

    page_index: int | None
    """The page's index in ``images()``; None in ``page_images()``."""
    page_id: str | None
    name: str
    resource_path: str
    """The form XObject names down to the image joined by "/" (Fm0/Im1)."""
    xobject_path: list[str]
    id: str | None
    width: int | None
    height: int | None
    bits_per_component: int | None
    color_space: str | None
    """/ColorSpace as text whatever its kind (/DeviceRGB, "[/ICCBased 9 0 R]")."""
    filters: list[str]
    encoded_length: int
    decoded: DecodedImage | None
    """With ``include_pnm=True`` the decoded pixels' shape, else None."""
    pnm: NotRequired[bytes]
    """A binary PNM file (P5 gray, P6 RGB); present only with ``include_pnm=True``."""
    data: NotRequired[bytes]
    """The stream's decoded data; present only with ``include_data=True``."""

@type_check_only
class ImageFile(TypedDict):
    """One image as a file to save (``image_files()``, ``page_image_files()``)."""

    page_index: int | None
    """The page's index in ``image_files()``; None in ``page_image_files()``."""
    page_id: str | None
    name: str
    id: str | None
    width: int | None
    """/Width when a direct integer, as ``images()`` shows it."""
    height: int | None
    format: Literal["jpeg", "jp2", "png", "jbig2", "ccitt"] | None
    """Chosen by the last filter; None when /Filter itself is malformed."""
    extension: Literal[".jpg", ".jp2", ".png", ".jb2", ".tif"] | None
    data: bytes | None
    """The file's bytes; None when converting this image failed."""
    error: str | None
    """Why converting failed (the ValueError text), or a note beside the data
    (JBIG2 global segments kept in another object); None otherwise."""

@type_check_only
class Link(TypedDict):
    """One link annotation of a page (``page_links()``)."""

    annotation_id: str | None
    rect: _Box | None
    kind: Literal["uri", "named", "destination", "action"] | None
    """None when the link has neither /A nor /Dest."""
    target: str | None
    """The URI or destination name itself; an explicit destination or action as text."""

@type_check_only
class Annotation(TypedDict):
    """One entry of a page's /Annots, any subtype (``page_annotations()``)."""

    id: str | None
    subtype: str | None
    rect: _Box | None
    contents: str | None

@type_check_only
class OutlineItem(TypedDict):
    """One bookmark with its children (``outlines()``)."""

    id: str
    title: str
    destination: str | None
    """/Dest as stored, as text (a reference stays a reference)."""
    action: str | None
    """/A as dictionary text."""
    children: list[OutlineItem]

@type_check_only
class TocEntry(TypedDict):
    """One line of the table of contents (``toc()``)."""

    level: int
    """1 for a top-level item, 2 for its children, ..."""
    title: str
    page_index: int | None
    """The 0-based page the item leads to; None when its target is no page of this document."""
    uri: str | None
    """The target of a URI action, else None."""

@type_check_only
class FormField(TypedDict):
    """One terminal field of the interactive form (``form_fields()``)."""

    id: str | None
    name: str | None
    full_name: str | None
    """Partial names joined with "." (form.total)."""
    alternate_name: str | None
    mapping_name: str | None
    field_type: str | None
    """"Button", "Text", "Choice", "Signature" or "Unknown([...])" with the name's bytes."""
    value: str | None
    """/V as text ("(Ada)", "/Yes"), inherited from parents."""
    default_value: str | None
    flags: int | None
    widgets: list[str]

@type_check_only
class EmbeddedFile(TypedDict):
    """One attached file of the /EmbeddedFiles name tree (``embedded_files()``)."""

    name: str
    file_name: str | None
    description: str | None
    subtype: str | None
    """Usually a MIME type (application/pdf)."""
    declared_size: int | None
    data: NotRequired[bytes]
    """The file's bytes; present only with ``include_data=True``."""

@type_check_only
class Metadata(TypedDict):
    """Document-level facts (``metadata()``); the nine Info texts are "" when absent."""

    format: str
    """"PDF 1.7": the effective version."""
    title: str
    author: str
    subject: str
    keywords: str
    creator: str
    producer: str
    creation_date: str
    """The raw PDF date string (D:20240131120000Z), not parsed."""
    modification_date: str
    trapped: str
    encrypted: bool
    xmp: str | None
    custom: dict[str, str]
    """Every other Info entry that is a string, name, number or boolean, by key."""

_CryptMethod: TypeAlias = Literal["Identity", "RC4", "AESV2", "AESV3"]

@type_check_only
class Encryption(TypedDict):
    """How the file is encrypted (``encryption()``): its /Encrypt dictionary
    as far as it could be read, and whether a password opened it."""

    filter: str | None
    """The security handler: "Standard" is decrypted, others (the public-key
    "Adobe.PubSec") are not."""
    version: int | None
    """/V"""
    revision: int | None
    """/R: 2 to 6 for the standard handler."""
    key_bits: int | None
    string_method: _CryptMethod | None
    stream_method: _CryptMethod | None
    embedded_file_method: _CryptMethod | None
    encrypt_metadata: bool
    """False when the XMP stream is stored in the clear."""
    permissions: int | None
    """/P, the permission bits as a signed 32-bit integer."""
    password: Literal["user", "owner"] | None
    """Which password opened the file; None when none did."""
    error: str | None
    """Why data stays encrypted (the message content methods raise); None
    once decrypted."""

@type_check_only
class PageChunk(TypedDict):
    """One page for indexing (``page_chunks()``)."""

    page_index: int
    page_number: int
    page_label: str
    page_id: str
    text: str
    metadata: Metadata
    fonts: NotRequired[list[Font]]
    """Present only with ``include_fonts=True``."""
    images: NotRequired[list[Image]]
    """Present only with ``include_images=True``."""

@type_check_only
class LlmImage(TypedDict):
    """The image of an image block."""

    name: str
    resource_path: str
    width: int | None
    height: int | None
    bits_per_component: int | None
    color_space: str | None
    filters: list[str]
    encoded_length: int

@type_check_only
class OcrRequest(TypedDict):
    """A page or image whose text should be recognised."""

    id: str
    """"page-3-ocr" or "page-3-image-2-ocr": splice results back by this id."""
    target: Literal["page", "image"]
    page_index: int
    page_number: int
    page_id: str
    object_id: str | None
    resource_path: str | None
    bbox: _Box | None
    width: int | None
    height: int | None
    reason: Literal["no_text", "image_may_contain_text", "forced"]
    suggested_dpi: int

@type_check_only
class LlmBlock(TypedDict):
    """One content block of an LLM page."""

    id: str
    """"page-1-text" ("page-1-text-2" with ``reading=True``), "page-1-image-2", "page-1-link-1",
    "page-1-annotation-3" or "page-1-ocr"."""
    kind: Literal["text", "image", "link", "annotation", "ocr_placeholder"]
    page_index: int
    bbox: _Box | None
    """The media box for the text block and placeholders (a reading block's own
    box, x0 y0 x1 y1, with ``reading=True``); the annotation's /Rect."""
    text: str | None
    html: None
    markdown: str | None
    object_id: str | None
    target: str | None
    """Links: the URI, name, destination or action; annotations: the subtype; placeholders: "page"."""
    image: LlmImage | None
    ocr_request: OcrRequest | None

@type_check_only
class LlmPage(TypedDict):
    """One page of the LLM export (``llm_chunks()``, ``llm_document()["pages"]``)."""

    page_index: int
    page_number: int
    page_label: str
    page_id: str
    media_box: _Box | None
    crop_box: _Box | None
    rotate: int | None
    text: str
    metadata: Metadata
    blocks: list[LlmBlock]

@type_check_only
class LlmDocument(TypedDict):
    """The LLM export (``llm_document()``)."""

    metadata: Metadata
    pages: list[LlmPage]
    ocr_requests: list[OcrRequest]

@type_check_only
class Word(TypedDict):
    """One word of a page in reading order (``page_words()``)."""

    text: str
    """The word as ``page_reading_text()`` shows it."""
    bbox: tuple[float, float, float, float]
    """x0, y0, x1, y1: the upright box around its glyphs in the page's user
    space (points, y upwards, before /Rotate), from the fonts' descent to
    their ascent."""
    font: str | None
    """The /BaseFont of its first glyph's font, without the slash; None when the font has none."""
    size: float
    """The effective font size of its first glyph in points: the Tf size as
    the text and graphics matrices stretch it across the baseline."""
    block: int
    """Its block's number on the page, from 0 in reading order."""
    line: int
    """Its line's number within the block, from 0."""

# ---- the document ----

@final
class Document:
    """A loaded PDF: ``Document(data)`` parses ``bytes``.

    Loading is eager and strict: the header, the cross-reference chain and
    every object are parsed now, and any defect raises ``ValueError``.  The
    document is immutable, holds no open file, and may be shared between
    threads.  ``len(doc)`` is the number of pages the page tree lists;
    ``with`` works and releases nothing.
    """

    def __new__(cls, data: bytes, password: str | None = None, max_decoded_bytes: int | None = None) -> Self:
        """Parse ``data``, the whole file.

        An encrypted file is decrypted while it loads: ``password`` is tried
        as the user password, then as the owner password; without one the
        empty password is.  A file that stays encrypted still loads, but the
        methods that read its strings or streams raise ValueError
        "unsupported PDF feature at byte 0: encrypted document, password
        required" (or "... encryption handler /Name").

        ``max_decoded_bytes`` bounds the stream data one call (loading
        included) may decode, each stream counted once per call; None allows
        the larger of 64 MiB and 1032 times the file's size.  A call that
        would decode more raises ValueError.

        Raises ValueError with the loader's message for a defective file or
        "... encrypted document, incorrect password" for a given password
        that fits neither; TypeError for anything but bytes (bytearray and
        memoryview included).
        """

    # The loaders are static methods bound to their class, which is how a
    # class method behaves (and how stubtest sees such a builtin).
    @classmethod
    def parse(cls, data: bytes, password: str | None = None, max_decoded_bytes: int | None = None) -> Document:
        """The same as ``Document(data, password)``."""

    @classmethod
    def open(cls, path: str, password: str | None = None, max_decoded_bytes: int | None = None) -> Document:
        """Read the file at ``path`` whole and parse it (``password`` as for ``Document``).

        Raises ValueError "failed to read {path}: {reason} (os error N)" when
        the file cannot be read, the loader's message for a defective file.
        """

    @classmethod
    def open_mmap(cls, path: str, password: str | None = None, max_decoded_bytes: int | None = None) -> Document:
        """Parse the file at ``path`` through a memory map released after loading (``password`` as for ``Document``).

        No copy of the file is kept: ``source_bytes()`` and the ``with_*``
        writers read the file again.  Raises ValueError "failed to open
        {path}: ..." or "failed to memory-map {path}: ...", or the loader's
        message.
        """

    def source_bytes(self) -> bytes:
        """The loaded file's bytes (for ``open_mmap``: the file as it is now).

        Raises ValueError "failed to read ..." when a memory-mapped file can
        no longer be read.
        """

    # ---- versions and objects ----

    def version(self) -> tuple[int, int]:
        """(major, minor) from the %PDF-M.m header."""

    def effective_version(self) -> tuple[int, int]:
        """The catalog's /Version when present, else the header version.

        Raises ValueError for a /Version that is not a name like /1.4.
        """

    def object_count(self) -> int:
        """The number of loaded indirect objects."""

    def xref(self) -> list[XrefEntry]:
        """Every cross-reference entry (free ones included), by object id."""

    def objects(self) -> list[ObjectSummary]:
        """Every loaded object, by object id."""

    def object(self, number: SupportsIndex, generation: SupportsIndex = 0) -> ObjectSummary:
        """One object's summary.

        Raises ValueError "dangling reference to object {n} {g}" when there is
        no such object, OverflowError for a number beyond 32 bits or a
        generation beyond 65535.
        """

    def object_text(self, number: SupportsIndex, generation: SupportsIndex = 0) -> str:
        """One object as text, as in ``ObjectSummary["text"]``; errors as ``object()``."""

    def dump_objects(self) -> str:
        """Every object as "n g obj % entry % kind", its text and "endobj", separated by blank lines."""

    # ---- pages and text ----

    def page_count(self) -> int:
        """The page tree root's declared /Count (``len(doc)`` counts the pages found).

        Raises ValueError when /Pages or /Count is missing or malformed.
        """

    def pages(self) -> list[Page]:
        """Every leaf page in document order with its inherited attributes.

        Raises ValueError for a broken page tree (a cycle, a missing /Kids, a
        dangling reference, ...).
        """

    def text(self) -> str:
        """The whole document's text: the pages joined by "\\n".

        Text is taken in content order, decoded through ToUnicode maps; a line
        break only where the content starts a new line (T*, ', ").  Raises
        ValueError for broken content, resources or fonts.  For the text a
        reader sees, use ``reading_text()``.
        """

    def page_texts(self) -> list[str]:
        """One text per page, as ``text()`` extracts them."""

    def page_text(self, index: SupportsIndex) -> str:
        """The text of page ``index`` (0-based).

        Raises ValueError "page index out of range" for an index not below
        ``len(doc)``, OverflowError for a negative one.
        """

    def references_text(self) -> str | None:
        """The bibliography: ``text()`` from the last "References" or "Bibliography" on; None without one."""

    def page_reading_text(self, index: SupportsIndex) -> str:
        """The text of page ``index`` as a reader sees it.

        Glyphs placed by their positions: words of a line joined by a space
        (or the spaces the content shows), lines by "\\n", blocks by an empty
        line, in reading order (top to bottom, column by column); no line
        feed at the end.  Glyphs decode through /ToUnicode, else the font's
        encoding and glyph names, else its CID ordering, else as U+FFFD.
        Form XObjects and annotation appearances are read, invisible text
        too; text outside the crop box is left out and text drawn twice on
        one spot is kept once.

        Raises ValueError "page index out of range", the errors of
        ``page_text()`` for broken content, resources or fonts, those of
        ``page_images()`` for broken form XObjects, and "type mismatch in
        page content: expected at most ..." for a page beyond the bounds.
        """

    def page_words(self, index: SupportsIndex) -> list[Word]:
        """The words of page ``index`` in reading order, with their boxes, fonts, sizes, blocks and lines.

        The words of ``page_reading_text()``; errors as that method.
        """

    def reading_text(self) -> str:
        """Every page's ``page_reading_text()``, pages separated by a form feed ("\\f").

        An empty page still adds its separator.  Errors as
        ``page_reading_text()``, for the first page that fails.
        """

    # ---- resources ----

    def page_fonts(self, index: SupportsIndex, include_data: bool = False) -> list[Font]:
        """The fonts page ``index`` names, by resource name ("page_index" is None).

        With ``include_data`` each embedded font carries its decoded program
        and a stream that cannot be decoded raises ValueError.  Raises
        ValueError "page index out of range".
        """

    def fonts(self, include_data: bool = False) -> list[Font]:
        """Every page's fonts, page by page, one record per use (not merged)."""

    def page_images(self, index: SupportsIndex, include_data: bool = False, include_pnm: bool = False) -> list[Image]:
        """The image XObjects of page ``index``, through nested forms ("page_index" is None).

        ``include_data`` adds the decoded stream, ``include_pnm`` decodes the
        pixels to a PNM file; an image that cannot be decoded (JPEG, 1-bit,
        indexed, ...) then raises ValueError for the whole call.  Raises
        ValueError "page index out of range".
        """

    def images(self, include_data: bool = False, include_pnm: bool = False) -> list[Image]:
        """Every page's images, page by page, one record per use; errors as ``page_images()``."""

    def page_image_files(self, index: SupportsIndex) -> list[ImageFile]:
        """The images of page ``index`` as files to save ("page_index" is None).

        JPEG, JPEG 2000 and JBIG2 data as stored, CCITT fax in a TIFF, the
        rest as PNG.  An image that cannot be converted gets its error in
        "error" and the listing goes on; malformed resources raise as in
        ``page_images()``.  Raises ValueError "page index out of range".
        """

    def image_files(self) -> list[ImageFile]:
        """Every page's images as files, page by page, one record per use."""

    # ---- navigation ----

    def outlines(self) -> list[OutlineItem]:
        """The bookmark tree; [] without one.

        Raises ValueError for a cycle, an item without /Title, or a tree
        deeper than 256 levels or larger than 200,000 items.
        """

    def toc(self) -> list[TocEntry]:
        """The outline flattened in reading order, each item with its level and page.

        Explicit destinations, named destinations (both /Dests sources) and
        GoTo actions lead to a page; URI actions give "uri".  Raises the
        errors of ``outlines()``, of the page tree, and of link targets (a
        GoTo action without /D, a URI action without /URI).
        """

    def page_links(self, index: SupportsIndex) -> list[Link]:
        """The link annotations of page ``index`` with their targets, in /Annots order.

        Raises ValueError "page index out of range", or for a malformed action.
        """

    def named_destinations(self) -> dict[str, str]:
        """Destination name to destination text, from catalog /Dests and the /Names tree (which wins)."""

    # ---- forms and annotations ----

    def page_annotations(self, index: SupportsIndex) -> list[Annotation]:
        """Every annotation of page ``index``, any subtype, in /Annots order.

        Raises ValueError "page index out of range", or when /Annots is not an
        array of dictionaries.
        """

    def form_fields(self) -> list[FormField]:
        """The terminal fields of the interactive form, depth first; [] without one.

        Raises ValueError for a cycle or a malformed /Fields or /Kids.
        """

    # ---- metadata and attachments ----

    def metadata(self) -> Metadata:
        """The Info dictionary, the XMP packet, the version and the encryption flag.

        Raises ValueError when /Info is not a dictionary or /Metadata is not
        a decodable stream.
        """

    def metadata_xml(self) -> str | None:
        """The XMP packet as text; None without /Metadata."""

    def encryption(self) -> Encryption | None:
        """The encryption of the file; None when its trailer has no /Encrypt (or /Encrypt null).

        Works whether or not the file could be decrypted.
        """

    def page_labels(self) -> list[str]:
        """One label per page ("i", "ii", "1", "A-1"); decimal numbers without /PageLabels.

        Raises ValueError for a malformed label range.
        """

    def embedded_files(self, include_data: bool = False) -> list[EmbeddedFile]:
        """The attached files in name order; ``include_data`` adds their decoded bytes.

        Raises ValueError for a malformed file specification or, with
        ``include_data``, a stream that cannot be decoded.
        """

    # ---- exports ----

    def to_markdown(self, reading: bool = False) -> str:
        """The document as Markdown: title, metadata table, outline, one section per page, references.

        With ``reading``, the page sections hold ``page_reading_text()``.
        """

    def page_chunks(
        self, include_fonts: bool = False, include_images: bool = False, reading: bool = False
    ) -> list[PageChunk]:
        """One record per page (index, number, label, id, text, metadata) for indexing.

        The flags add the page's fonts and images, as ``fonts()`` and
        ``images()`` give them; ``reading`` takes each text from
        ``page_reading_text()``.
        """

    def llm_document(
        self,
        include_text: bool = True,
        include_images: bool = True,
        include_links: bool = True,
        include_annotations: bool = True,
        ocr: _OcrMode = "auto",
        reading: bool = False,
    ) -> LlmDocument:
        """Metadata, one page record with typed blocks per page, and the OCR requests.

        ``ocr``: "off" (also "none", "false") raises no requests; "auto"
        requests images on pages with text and pages with images but no
        text; "always" (also "true", "force") requests every page and image.
        Raises ValueError "ocr must be one of 'off', 'auto', or 'always'" for
        any other value, before any work.  With ``reading``, page texts come
        from ``page_reading_text()`` and each reading block is a text block
        ("page-N-text-M") with its box.
        """

    def llm_chunks(
        self,
        include_text: bool = True,
        include_images: bool = True,
        include_links: bool = True,
        include_annotations: bool = True,
        ocr: _OcrMode = "auto",
        reading: bool = False,
    ) -> list[LlmPage]:
        """``llm_document(...)["pages"]``."""

    def ocr_requests(self, ocr: _OcrMode = "auto") -> list[OcrRequest]:
        """``llm_document(ocr=ocr)["ocr_requests"]``."""

    # ---- writing: new files, the document itself never changes ----

    def with_metadata(
        self,
        title: str | None = None,
        author: str | None = None,
        subject: str | None = None,
        keywords: str | None = None,
        creator: str | None = None,
        producer: str | None = None,
    ) -> bytes:
        """The file with an incremental update holding a new Info dictionary.

        Omitted fields keep their value, except /Producer, which becomes
        "quillet"; dates and custom entries are not carried over.  Raises
        ValueError when the source cannot be read or parsed again.
        """

    def with_text_annotation(self, page_index: SupportsIndex, rect: Sequence[float], contents: str) -> bytes:
        """The file with a text (note) annotation appended to a page.

        Raises ValueError "rect must contain exactly four numbers", "type
        mismatch in page index: expected existing page" or "type mismatch in
        annotation rect: expected finite numbers".
        """

    def with_uri_link(self, page_index: SupportsIndex, rect: Sequence[float], uri: str) -> bytes:
        """The file with a URI link annotation appended to a page; errors as ``with_text_annotation()``."""

    # ---- Python protocols ----

    def __len__(self) -> int:
        """The number of pages the page tree lists (raises ValueError for a broken tree)."""

    def __bool__(self) -> Literal[True]:
        """Always True: an empty document is still a document."""

    def __enter__(self) -> Self:
        """The document itself."""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        """Releases nothing: a Document holds no open resources."""

def write_text_pdf(pages: Sequence[str], title: str | None = None, author: str | None = None) -> bytes:
    """A new PDF 1.7 file with one Helvetica 12-point page per text (one blank page for []).

    Lines are split at "\\n"; nothing wraps.  Raises TypeError for a plain
    str instead of a sequence of str.
    """
