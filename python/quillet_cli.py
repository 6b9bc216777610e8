"""The ``quillet`` command: validate, inspect and export PDF files.

    quillet check FILE...                 load each file strictly: OK or the error
    quillet info FILE                     version, pages, metadata, counts
    quillet text FILE [--pages RANGE] [--reading]
    quillet markdown FILE [--reading]
    quillet llm FILE [--ocr MODE] [--reading]   the LLM export as JSON
    quillet attachments FILE [--extract DIR]
    quillet images FILE [--extract DIR]
    quillet objects FILE [NUMBER]

Every subcommand takes --password for encrypted files.  Results go to
standard output, errors to standard error as "FILE: message".  The exit
status is 0 when every file was handled, 1 when any failed and 2 for a usage
error.  In JSON output, bytes are base64 text (RFC 4648).
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import shutil
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import NamedTuple, TextIO, TypeVar

import quillet

OCR_MODES = ("off", "none", "false", "auto", "always", "true", "force")
# File names written by `--extract` stay below this many bytes, under every
# common file system's limit for one name.
MAX_NAME_BYTES = 200
# What `info` shows for a field that needs the content of a file that stays
# encrypted.
UNAVAILABLE = "unavailable"

T = TypeVar("T")


class Failure(Exception):
    """A file could not be handled for a reason of this tool's own (the
    library raises ValueError); the message is printed after its name."""


# ---- output ----


def to_json(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, indent=2, default=_json_default)


def _json_default(value: object) -> object:
    if isinstance(value, bytes):
        return base64.b64encode(value).decode("ascii")
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def report_error(name: str, message: str) -> None:
    print(f"{name}: {message}", file=sys.stderr)


class Progress:
    """A one-line bar on standard error, for runs over many files on a
    terminal; silent when standard error is not a terminal."""

    def __init__(self, total: int, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.total = total
        self.enabled = total > 1 and self.stream.isatty()
        self.shown = False

    def show(self, done: int, name: str) -> None:
        if not self.enabled:
            return
        width = shutil.get_terminal_size().columns
        counter = f" {done}/{self.total} "
        bar_width = max(10, min(40, width // 3))
        filled = bar_width * done // self.total
        line = "[" + "#" * filled + "-" * (bar_width - filled) + "]" + counter + name
        self.stream.write("\r" + line[: width - 1].ljust(width - 1))
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        """Erase the bar so that a result line can be printed in its place."""
        if self.shown:
            self.stream.write("\r" + " " * (shutil.get_terminal_size().columns - 1) + "\r")
            self.stream.flush()
            self.shown = False


# ---- loading ----


def load(args: argparse.Namespace, path: str) -> quillet.Document:
    password: str | None = args.password
    return quillet.Document.open(path, password=password)


def page_range(text: str) -> list[tuple[int, int | None]]:
    """1-based inclusive ranges from "1-3,5,8-" (an open end runs to the last page)."""
    ranges: list[tuple[int, int | None]] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            start = int(first)
            end = (int(last) if last else None) if dash else start
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid page range {text!r}: use forms like 1-3,5,8-") from None
        if start < 1 or (end is not None and end < start):
            raise argparse.ArgumentTypeError(f"invalid page range {text!r}: pages count from 1, ranges go upwards")
        ranges.append((start, end))
    return ranges


def selected_pages(ranges: list[tuple[int, int | None]], count: int) -> list[int]:
    """0-based indices, in the order given; a page beyond the document fails."""
    indices: list[int] = []
    for start, end in ranges:
        last = count if end is None else end
        if start > count or last > count:
            raise Failure(f"page {max(start, last)} is out of range: the document has {count} pages")
        indices.extend(range(start - 1, last))
    return indices


# ---- subcommands: each returns its exit status ----


def run_check(args: argparse.Namespace) -> int:
    files: list[str] = args.files
    progress = Progress(len(files))
    results: list[dict[str, object]] = []
    failed = 0
    for done, name in enumerate(files, start=1):
        progress.show(done - 1, name)
        try:
            load(args, name)
            error = None
        except ValueError as failure:
            error = str(failure)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as failure:  # noqa: BLE001 - one file never stops the run
            # Out of memory, or a library bug (raised as a BaseException so
            # that programs do not swallow it): reported for this file alone.
            error = f"{type(failure).__name__}: {failure}"
        progress.clear()
        results.append({"file": name, "ok": error is None, "error": error})
        if error is not None:
            failed += 1
            report_error(name, error)
        elif not args.json and not args.quiet:
            print(f"{name}: OK", flush=True)
    progress.clear()
    if args.json:
        print(to_json(results))
    return 1 if failed else 0


def distinct(records: Sequence[Mapping[str, object]]) -> int:
    """Objects used on several pages are listed once per use; count each
    object once (a direct dictionary has no id and counts on its own)."""
    return len({record["id"] for record in records if record["id"] is not None}) + sum(
        1 for record in records if record["id"] is None
    )


def document_info(name: str, doc: quillet.Document) -> dict[str, object]:
    """The facts `info` shows.  Of a file that stays encrypted (no password
    fitted, another security handler) the structure still reads; the fields
    that need its content are None, and "encryption" says why."""
    encryption = doc.encryption()
    locked = encryption["error"] if encryption else None

    def content(read: Callable[[], T]) -> T | None:
        try:
            return read()
        except ValueError as error:
            if locked is None or str(error) != locked:
                raise
            return None

    metadata: Mapping[str, object] = content(doc.metadata) or {}
    pages = len(doc)
    info: dict[str, object] = {
        "file": name,
        "version": "%d.%d" % doc.version(),
        "format": "PDF %d.%d" % doc.effective_version(),
        "pages": pages,
        "encrypted": encryption is not None,
        "encryption": encryption,
    }
    fields = {"title": "title", "author": "author", "subject": "subject", "keywords": "keywords",
              "creator": "creator", "producer": "producer", "created": "creation_date",
              "modified": "modification_date"}
    for key, entry in fields.items():
        info[key] = metadata.get(entry)
    info.update({
        "objects": doc.object_count(),
        "fonts": content(lambda: distinct(doc.fonts())),
        "images": content(lambda: distinct(doc.images())),
        "links": content(lambda: sum(len(doc.page_links(i)) for i in range(pages))),
        "annotations": content(lambda: sum(len(doc.page_annotations(i)) for i in range(pages))),
        "outline_items": content(lambda: len(doc.toc())),
        "attachments": content(lambda: len(doc.embedded_files())),
        "form_fields": content(lambda: len(doc.form_fields())),
    })
    return info


def describe_encryption(encryption: Mapping[str, object]) -> str:
    """One line: the handler, its revision and method, and which password
    opened the file or why it stays encrypted."""
    parts = [f"{encryption['filter'] or 'unknown'} handler"]
    if encryption["revision"] is not None:
        parts.append(f"revision {encryption['revision']}")
    method = encryption["stream_method"] or encryption["string_method"]
    if method is not None:
        bits = encryption["key_bits"]
        parts.append(f"{method} {bits}-bit" if bits is not None and method != "Identity" else str(method))
    if encryption["error"] is not None:
        parts.append(f"not decrypted: {encryption['error']}")
    elif encryption["password"] is not None:
        parts.append(f"opened with the {encryption['password']} password")
    return ", ".join(parts)


def run_info(args: argparse.Namespace) -> int:
    info = document_info(args.file, load(args, args.file))
    if args.json:
        print(to_json(info))
        return 0
    width = max(len(key) for key in info)
    for key, value in info.items():
        if value == "" or (key == "encryption" and value is None):
            continue  # an Info entry the file does not have; a plain file
        if isinstance(value, dict):
            shown: object = describe_encryption(value)
        elif value is None:
            shown = UNAVAILABLE
        elif isinstance(value, bool):
            shown = "yes" if value else "no"
        else:
            shown = value
        print(f"{key.replace('_', ' ') + ':':<{width + 2}}{shown}")
    return 0


def run_text(args: argparse.Namespace) -> int:
    doc = load(args, args.file)
    if args.pages is None:
        text = doc.reading_text() if args.reading else doc.text()
    else:
        indices = selected_pages(args.pages, len(doc))
        # Pages join as in the whole-document methods: a form feed between
        # reading texts, a line feed between plain texts.
        if args.reading:
            text = "\f".join(doc.page_reading_text(i) for i in indices)
        else:
            text = "\n".join(doc.page_text(i) for i in indices)
    write_text(text)
    return 0


def run_markdown(args: argparse.Namespace) -> int:
    write_text(load(args, args.file).to_markdown(reading=args.reading))
    return 0


def run_llm(args: argparse.Namespace) -> int:
    doc = load(args, args.file)
    export = doc.llm_chunks if args.pages_only else doc.llm_document
    result: object = export(ocr=args.ocr, reading=args.reading)
    print(to_json(result))
    return 0


def safe_file_name(wanted: str | None, fallback: str) -> str:
    """A plain file name from an attachment's name: the last path component
    of either separator, without control characters, never "." or "..", and
    short enough for any file system."""
    name = (wanted or "").replace("\\", "/").split("/")[-1]
    name = "".join(ch for ch in name if ch.isprintable()).strip()
    if name in ("", ".", ".."):
        name = fallback
    encoded = name.encode("utf-8", "replace")
    if len(encoded) > MAX_NAME_BYTES:
        _, dot, extension = name.rpartition(".")
        suffix = "." + extension if dot and len(extension.encode()) <= 16 else ""
        cut = encoded[: MAX_NAME_BYTES - len(suffix.encode())].decode("utf-8", "ignore")
        name = cut + suffix
    return name


def unique_names(wanted: Iterable[str]) -> Iterator[str]:
    """The names in turn, "report (2).pdf" for the second "report.pdf"."""
    taken: set[str] = set()
    for name in wanted:
        candidate, n = name, 1
        while candidate.casefold() in taken:
            n += 1
            stem, dot, extension = name.rpartition(".")
            candidate = f"{stem} ({n}).{extension}" if dot and stem else f"{name} ({n})"
        taken.add(candidate.casefold())
        yield candidate


class Output(NamedTuple):
    """One file for `--extract` to write."""

    label: str  # names it in error messages
    record: dict[str, object]  # what JSON output says about it, before its path and size
    wanted: str | None  # the file name it asks for
    fallback: str  # the name when that one is unusable
    data: bytes


def write_files(args: argparse.Namespace, outputs: Sequence[Output]) -> int:
    """Writes each output into the folder `--extract` names, under a safe,
    unique name; prints each path (or, with --json, the list of what was
    written).  A file that cannot be written is reported and the others are
    still written; the status is 1 when any failed."""
    directory = Path(args.extract)
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:  # a file of that name, a folder without permission
        raise Failure(f"cannot create {directory}: {error.strerror or error}") from None
    names = unique_names(safe_file_name(output.wanted, output.fallback) for output in outputs)
    status = 0
    written: list[dict[str, object]] = []
    for output, name in zip(outputs, names):
        path = directory / name
        try:
            # Exclusive creation: an existing file (or a link planted in the
            # folder) is never overwritten or followed.
            with open(path, "xb") as out:
                out.write(output.data)
        except OSError as error:
            report_error(args.file, f"{output.label}: cannot write {path}: {error.strerror or error}")
            status = 1
            continue
        written.append({**output.record, "path": str(path), "size": len(output.data)})
        if not args.json:
            print(path)
    if args.json:
        print(to_json(written))
    return status


def print_rows(rows: Iterable[Sequence[object]]) -> None:
    """Tab-separated fields, None as an empty field."""
    for fields in rows:
        print("\t".join("" if field is None else str(field) for field in fields))


def run_attachments(args: argparse.Namespace) -> int:
    files = load(args, args.file).embedded_files(include_data=args.extract is not None)
    if args.extract is not None:
        return write_files(args, [
            Output(record["name"], {"name": record["name"]}, record["file_name"] or record["name"],
                   f"attachment-{i}", record.get("data", b""))
            for i, record in enumerate(files, 1)
        ])
    if args.json:
        print(to_json(files))
    else:
        print_rows([r["name"], r["file_name"], r["declared_size"], r["subtype"], r["description"]] for r in files)
    return 0


def run_images(args: argparse.Namespace) -> int:
    images = load(args, args.file).image_files()
    if args.extract is None:
        # The listing gives the size of each file rather than its bytes.
        def size(image: quillet.ImageFile) -> int | None:
            return None if image["data"] is None else len(image["data"])

        if args.json:
            print(to_json([{key: value for key, value in image.items() if key != "data"} | {"size": size(image)}
                           for image in images]))
        else:
            print_rows([(image["page_index"] or 0) + 1, image["name"], image["id"], image["format"],
                        image["width"], image["height"], size(image), image["error"]] for image in images)
        return 0

    # An image shown on several pages (a logo) is written once, named after
    # its first use.
    status = 0
    seen: set[str] = set()
    outputs: list[Output] = []
    for i, image in enumerate(images, 1):
        if image["id"] is not None:
            if image["id"] in seen:
                continue
            seen.add(image["id"])
        page = (image["page_index"] or 0) + 1
        label = f"page {page} {image['name']}"
        if image["error"] is not None:
            # A failure, or a note beside the data (JBIG2 global segments
            # kept in another object): reported either way.
            report_error(args.file, f"{label}: {image['error']}")
        if image["data"] is None:
            status = 1
            continue
        extension = image["extension"] or ""
        # Resource names come from the file: no separator survives into
        # the name, so the page prefix stays.
        stem = f"page{page}-" + image["name"].replace("/", "_").replace("\\", "_")
        record: dict[str, object] = {"page_index": image["page_index"], "name": image["name"], "id": image["id"],
                                     "format": image["format"]}
        outputs.append(Output(label, record, stem + extension, f"image-{i}{extension}", image["data"]))
    return max(status, write_files(args, outputs))


def run_objects(args: argparse.Namespace) -> int:
    doc = load(args, args.file)
    if args.number is not None:
        if args.json:
            print(to_json(doc.object(args.number, args.generation)))
        else:
            write_text(doc.object_text(args.number, args.generation))
        return 0
    objects = doc.objects()
    if args.json:
        print(to_json(objects))
        return 0
    for record in objects:
        first_line = record["text"].split("\n", 1)[0]
        preview = first_line if len(first_line) <= 100 else first_line[:99] + "\u2026"
        print(f"{record['id']:>12}  {record['kind']:<10}  {preview}")
    return 0


def write_text(text: str) -> None:
    sys.stdout.write(text if text.endswith("\n") or not text else text + "\n")


# ---- the command line ----


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="quillet",
        description="Validate, inspect and export PDF files with the quillet library.",
        epilog="Errors go to standard error as 'FILE: message'; exit status 1 when any file failed.",
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, run: Callable[[argparse.Namespace], int]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        # Every subcommand opens files.
        sub.add_argument("--password", metavar="PASSWORD",
                         help="user or owner password of encrypted files (without one, the empty password is tried)")
        return sub

    check = command("check", "load each file strictly and print OK or the exact error", run_check)
    check.add_argument("files", nargs="+", metavar="FILE")
    check.add_argument("-q", "--quiet", action="store_true", help="print only the failures")
    check.add_argument("--json", action="store_true", help="print the results as a JSON list")

    info = command("info", "version, pages, metadata, encryption and counts of a file", run_info)
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON object")

    text = command("text", "the text of a file or of some of its pages", run_text)
    text.add_argument("file", metavar="FILE")
    text.add_argument("--pages", type=page_range, metavar="RANGE", help="1-based pages, such as 1-3,5,8-")
    text.add_argument("--reading", action="store_true", help="readable text in reading order (pages split by \\f)")

    markdown = command("markdown", "the file as Markdown", run_markdown)
    markdown.add_argument("file", metavar="FILE")
    markdown.add_argument("--reading", action="store_true", help="page text in reading order")

    llm = command("llm", "the structured export for language-model pipelines, as JSON", run_llm)
    llm.add_argument("file", metavar="FILE")
    llm.add_argument("--ocr", choices=OCR_MODES, default="auto", metavar="MODE",
                     help="off, auto (default) or always: which pages and images to request OCR for")
    llm.add_argument("--pages-only", action="store_true", help="print only the list of pages")
    llm.add_argument("--reading", action="store_true", help="page text in reading order, one text block per block")

    attachments = command("attachments", "list the attached files, or extract them", run_attachments)
    attachments.add_argument("file", metavar="FILE")
    attachments.add_argument("--extract", metavar="DIR", help="write each file into DIR (created if needed)")
    attachments.add_argument("--json", action="store_true", help="print JSON")

    images = command("images", "list the images as files to save, or extract them", run_images)
    images.add_argument("file", metavar="FILE")
    images.add_argument("--extract", metavar="DIR", help="write each image into DIR (created if needed)")
    images.add_argument("--json", action="store_true", help="print JSON")

    objects = command("objects", "list the objects, or print one", run_objects)
    objects.add_argument("file", metavar="FILE")
    objects.add_argument("number", nargs="?", type=int, metavar="NUMBER", help="the object to print")
    objects.add_argument("--generation", type=int, default=0, metavar="G", help="its generation (default 0)")
    objects.add_argument("--json", action="store_true", help="print JSON")
    return top


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quillet")
    except PackageNotFoundError:
        return "(not installed)"


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except (Failure, ValueError, OverflowError) as failure:
        # The library's errors, and ours, end this file's command.
        sys.stdout.flush()
        report_error(getattr(args, "file", "quillet"), str(failure))
        return 1
    except BrokenPipeError:
        # The reader went away (quillet text big.pdf | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
