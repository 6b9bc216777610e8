"""Reading-text speed beside PyMuPDF's plain page.get_text(), in one run.

    PYTHONPATH=build python bench/reading_speed.py [--repeat N]

Both libraries read the same corpus files (../shared/corpus): every file
that both open without a password and extract without an error.  One pass
opens each file from its bytes and extracts the text of every page (ours:
page_reading_text(i) for each page; PyMuPDF: page.get_text() for each
page).  The best of N rounds counts, the libraries taking turns within a
round; MB/s counts whole files.  A third line
reads each file with one reading_text() call, which prepares each font once
per file rather than once per page.  PyMuPDF is
an optional benchmark dependency (pip install "pymupdf<2").  A benchmark,
not a test: nothing is asserted.
"""

import argparse
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import quillet  # noqa: E402
from corpus import CORPUS  # noqa: E402


def ours(files: list[bytes]) -> None:
    for data in files:
        doc = quillet.Document(data)
        for index in range(len(doc.pages())):
            doc.page_reading_text(index)


def ours_whole(files: list[bytes]) -> None:
    for data in files:
        quillet.Document(data).reading_text()


def theirs(files: list[bytes]) -> None:
    import pymupdf

    for data in files:
        with pymupdf.open(stream=data, filetype="pdf") as doc:
            for page in doc:
                page.get_text()


def readable_by_both(paths: list[Path]) -> list[bytes]:
    import pymupdf

    pymupdf.TOOLS.mupdf_display_errors(False)
    files = []
    for path in paths:
        data = path.read_bytes()
        try:
            ours([data])
            with pymupdf.open(stream=data, filetype="pdf") as doc:
                if doc.needs_pass:
                    continue
            theirs([data])
        except Exception:  # noqa: BLE001 - a file either library cannot read is left out
            continue
        files.append(data)
    return files


def best_times(repeat: int, runs: list, files: list[bytes]) -> list[float]:
    """The best time of each run over `repeat` rounds, the runs taking turns
    within a round so that all see the same load on a shared machine."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, run in enumerate(runs):
            started = time.perf_counter()
            run(files)
            best[i] = min(best[i], time.perf_counter() - started)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    try:
        import pymupdf  # noqa: F401
    except ImportError:
        sys.exit('PyMuPDF is not installed: pip install "pymupdf<2"')
    if not (CORPUS / "files").is_dir():
        sys.exit("no corpus at %s" % CORPUS)

    files = readable_by_both(sorted((CORPUS / "files").glob("*.pdf")))
    size = sum(len(data) for data in files) / 1e6
    pages = sum(len(quillet.Document(data).pages()) for data in files)
    print("%d files, %d pages, %.2f MB" % (len(files), pages, size))
    ours_time, theirs_time, whole_time = best_times(args.repeat, [ours, theirs, ours_whole], files)
    for label, seconds in (("quillet page_reading_text", ours_time), ("pymupdf page.get_text", theirs_time),
                           ("quillet reading_text", whole_time)):
        print("%-27s %8.1f ms  %7.1f MB/s  %8.0f pages/s" % (label, seconds * 1e3, size / seconds, pages / seconds))
    print("ratio (pymupdf time / quillet time): %.2f per page, %.2f with reading_text()"
          % (theirs_time / ours_time, theirs_time / whole_time))


if __name__ == "__main__":
    main()
