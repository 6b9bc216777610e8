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
