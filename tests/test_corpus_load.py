"""Real-world files: each one loads or is refused with a ValueError, never a
crash; files an external checker finds sound load with the expected page
count."""

from pathlib import Path

import pytest

import quillet
from corpus import CORPUS, manifest



ROWS = manifest()

pytestmark = pytest.mark.skipif(not ROWS, reason="corpus not available")


def is_sound(row: dict) -> bool:
    return row["qpdf_check_ok"] == "y"


@pytest.mark.parametrize("row", ROWS, ids=[row["name"] for row in ROWS])
def test_corpus_file_loads_or_is_refused(row):
    data = (CORPUS / "files" / (row["name"] + ".pdf")).read_bytes()
    try:
        doc = quillet.Document(data)
    except ValueError:
        # Loading is strict: damaged files and some that other readers
        # repair silently (a free head entry of generation 65536, a startxref
        # one byte off) are refused.
        return
    assert doc.object_count() > 0
    if not is_sound(row):
        return
    pages = doc.pages()
    assert len(pages) == int(row["pages"])
