"""The corpus of real PDFs that sits beside the project (../shared/corpus):
files/NAME.pdf, oracle/NAME/ with an external checker's output, and
manifest.tsv.  Tests that use it skip when it is absent."""

import csv
import json
import re
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def manifest() -> list[dict]:
    """One dict per file, keyed by the manifest's header; empty without it."""
    path = CORPUS / "manifest.tsv"
    if not path.is_file():
        return []
    with path.open(newline="", encoding="utf-8") as f:
        header, *lines = csv.reader(f, delimiter="\t")
    rows = []
    for fields in lines:
        # Rows whose producer is unknown leave that column out entirely.
        if len(fields) == len(header) - 1:
            fields.insert(header.index("producer"), "")
        rows.append(dict(zip(header, fields)))
    return rows


def checker_report(name: str) -> dict | None:
    """The checker's JSON report on a file, or None where it is unreadable."""
    try:
        return json.loads((CORPUS / "oracle" / name / "qpdf.json").read_bytes().decode("utf-8", "replace"))
    except (OSError, ValueError):
        return None


def checker_passed(name: str) -> bool:
    """The checker found no fault (its check.txt ends with exit status 0)."""
    lines = (CORPUS / "oracle" / name / "check.txt").read_text("utf-8", "replace").split()
    return lines[-2:] == ["exit:", "0"]


def checker_reports():
    """(file name, parsed qpdf.json) for every corpus file the checker read,
    encrypted files included when it decrypted them (checker_password gives
    the password to open them with)."""
    if not (CORPUS / "manifest.tsv").is_file():
        return
    for path in sorted((CORPUS / "oracle").glob("*/qpdf.json")):
        report = checker_report(path.parent.name)
        encrypt = (report or {}).get("encrypt", {})
        if report is not None and (not encrypt.get("encrypted") or encrypt.get("userpasswordmatched")
                                   or encrypt.get("ownerpasswordmatched")):
            yield path.parent.name, report


def unencrypted_checker_reports():
    """checker_reports without the encrypted files."""
    for name, report in checker_reports():
        if not report.get("encrypt", {}).get("encrypted"):
            yield name, report


def checker_password(name: str) -> str | None:
    """The user password of an encrypted corpus file as the checker reports
    it (None for the empty one or a plain file)."""
    check = CORPUS / "oracle" / name / "check.txt"
    found = re.search(r"^User password = (.*)$", check.read_text("utf-8", "replace"), re.M) if check.is_file() else None
    return found.group(1) or None if found else None


def outline_tree(items, id_key: str, kids_key: str, title_key: str) -> list:
    """Ids, titles and nesting of an outline, ours ("id", "children",
    "title") or the checker's ("object", "kids", "title").  Line ends in
    titles are unified: the checker reads a raw CR in a string as LF, this
    library keeps it."""
    def title(text):
        return text.replace("\r\n", "\n").replace("\r", "\n")
    return [(i[id_key], title(i[title_key]), outline_tree(i[kids_key], id_key, kids_key, title_key)) for i in items]


def checker_labels(entries, count: int) -> list[str]:
    """Page labels from the checker's reading of the label tree, numbered by
    the same rules."""
    def numeral(style, n):
        if style in ("R", "r"):
            out = ""
            for value, text in [(1000, "M"), (900, "CM"), (500, "D"), (400, "CD"), (100, "C"), (90, "XC"),
                                (50, "L"), (40, "XL"), (10, "X"), (9, "IX"), (5, "V"), (4, "IV"), (1, "I")]:
                while n >= value:
                    out, n = out + text, n - value
            return out if style == "R" else out.lower()
        if style in ("A", "a"):
            out = ""
            while n > 0:
                n, r = divmod(n - 1, 26)
                out = chr(ord(style) + r) + out
            return out
        return str(n)

    rules = sorted((e["index"], e["label"]) for e in entries)
    result = []
    for j in range(count):
        start, label = max(((s, l) for s, l in rules if s <= j), default=(0, {"/S": "/D"}))
        prefix = label.get("/P", "u:")[2:]
        style = label.get("/S")
        result.append(prefix + (numeral(style[1:], label.get("/St", 1) + j - start) if style else ""))
    return result
