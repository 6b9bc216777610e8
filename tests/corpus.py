"""The corpus of real PDFs that sits beside the project (../shared/corpus):
files/NAME.pdf, oracle/NAME/ with an external checker's output, and
manifest.tsv.  Tests that use it skip when it is absent."""

import csv
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


def checker_reports():
    """(file name, parsed qpdf.json) for every corpus file the checker read,
    encrypted files included when it decrypted them (checker_password gives
    the password to open them with)."""
    import json

    if not (CORPUS / "manifest.tsv").is_file():
        return
    for path in sorted((CORPUS / "oracle").glob("*/qpdf.json")):
        try:
            report = json.loads(path.read_bytes().decode("utf-8", "replace"))
        except ValueError:
            continue
        encrypt = report.get("encrypt", {})
        if not encrypt.get("encrypted") or encrypt.get("userpasswordmatched") or encrypt.get("ownerpasswordmatched"):
            yield path.parent.name, report


def unencrypted_checker_reports():
    """checker_reports without the encrypted files."""
    for name, report in checker_reports():
        if not report.get("encrypt", {}).get("encrypted"):
            yield name, report


def checker_password(name: str) -> str | None:
    """The user password of an encrypted corpus file as the checker reports
    it (None for the empty one or a plain file)."""
    import re

    check = CORPUS / "oracle" / name / "check.txt"
    found = re.search(r"^User password = (.*)$", check.read_text("utf-8", "replace"), re.M) if check.is_file() else None
    return found.group(1) or None if found else None
