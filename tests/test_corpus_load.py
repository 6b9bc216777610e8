"""Real-world files: each one loads or is refused with a ValueError, never a
crash; every file the external checker passes loads (unless named below as
broken), and agrees with the checker on page count, outline and labels."""

import pytest

import quillet
from corpus import CORPUS, checker_labels, checker_passed, checker_password, checker_reports, manifest, outline_tree

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
        # Loading is strict: damaged files, some of which other readers
        # repair silently, are refused.
        return
    assert doc.object_count() > 0
    if not is_sound(row):
        return
    pages = doc.pages()
    assert len(pages) == int(row["pages"])


# Files the checker passes that are broken all the same: the checker reads
# lazily and repairs some faults without a word, this library loads every
# object and repairs nothing.
BROKEN = {
    # Rows of its table carry text after their n or f ("don't panick").
    "qpdf_bad-xref": "invalid token at byte 584: expected integer",
}
# Sound files with a broken tree the checker does not look into.
BROKEN_OUTLINES = {"qpdf_outlines-with-loop": "outline tree contains a cycle at object 4 0"}
BROKEN_LABELS = {"qpdf_page-labels-num-tree-damaged": "type mismatch in page label value: expected dictionary"}


def checker_sound_files() -> list[tuple[str, dict]]:
    """(name, the checker's report) for files it passes, encrypted files
    included when it decrypted them."""
    return [(name, report) for name, report in checker_reports() if checker_passed(name)]


SOUND = checker_sound_files()


def refusal(call) -> str:
    with pytest.raises(ValueError) as error:
        call()
    return str(error.value)


@pytest.mark.parametrize("name, report", SOUND, ids=[name for name, _ in SOUND])
def test_file_the_checker_passes_loads_and_agrees_with_it(name, report):
    data = (CORPUS / "files" / (name + ".pdf")).read_bytes()
    if name in BROKEN:
        assert refusal(lambda: quillet.Document(data)) == BROKEN[name]
        return
    doc = quillet.Document(data, password=checker_password(name))
    count = len(doc.pages())
    assert count == len(report["pages"])
    if name in BROKEN_OUTLINES:
        assert refusal(doc.outlines) == BROKEN_OUTLINES[name]
    else:
        assert outline_tree(doc.outlines(), "id", "children", "title") == outline_tree(
            report["outlines"], "object", "kids", "title")
    if name in BROKEN_LABELS:
        assert refusal(doc.page_labels) == BROKEN_LABELS[name]
    else:
        assert doc.page_labels() == checker_labels(report["pagelabels"], count)
