"""Reading-text quality against the corpus's pdftotext output.

    PYTHONPATH=build python bench/text_quality.py [--all] [--below 0.9]

For every corpus file whose oracle text (oracle/NAME/text.txt) holds at
least 50 words, the score is the F1 of the two bags (multisets) of
lower-cased words of two or more word characters (the regex \\w{2,}, with
Unicode word characters), between our reading_text() and the oracle.  The
same score for text(), the content-order extraction, is the baseline.
Files that fail to load or need a password are listed apart: their score
says nothing about the reading engine.  A benchmark, not a test: nothing is asserted.
"""

import argparse
import re
import statistics
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import quillet  # noqa: E402
from corpus import CORPUS  # noqa: E402

WORD = re.compile(r"\w{2,}")
MIN_ORACLE_WORDS = 50

# Why a file scores below 0.9, found by reading our output beside the
# oracle's.  Kept here so the table explains itself.
REASONS: dict[str, str] = {
    "pdfjs_tamreview": "text in subset fonts with neither ToUnicode nor glyph names: we give U+FFFD, "
                       "the oracle raw codes read as letters (its extra 'words' are not words)",
}


def words(text: str) -> Counter:
    return Counter(WORD.findall(text.lower()))


def f1(ours: Counter, oracle: Counter) -> float:
    total = sum(ours.values()) + sum(oracle.values())
    return 1.0 if total == 0 else 2 * sum((ours & oracle).values()) / total


def summary(label: str, scores: list[float]) -> str:
    if not scores:
        return "%-14s no files" % label
    quartile = statistics.quantiles(scores, n=4)[0] if len(scores) > 1 else scores[0]
    return "%-14s files %3d  median %.3f  lower quartile %.3f  below 0.8: %d" % (
        label, len(scores), statistics.median(scores), quartile, sum(s < 0.8 for s in scores))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--all", action="store_true", help="print every file's scores")
    parser.add_argument("--below", type=float, default=0.9, help="list files scoring below this")
    args = parser.parse_args()
    if not (CORPUS / "files").is_dir():
        sys.exit("no corpus at %s" % CORPUS)

    rows, failed = [], []
    for path in sorted((CORPUS / "files").glob("*.pdf")):
        oracle_path = CORPUS / "oracle" / path.stem / "text.txt"
        if not oracle_path.is_file():
            continue
        oracle = words(oracle_path.read_text(encoding="utf-8", errors="replace"))
        if sum(oracle.values()) < MIN_ORACLE_WORDS:
            continue
        try:
            doc = quillet.Document(path.read_bytes())
            reading = f1(words(doc.reading_text()), oracle)
            baseline = f1(words(doc.text()), oracle)
        except ValueError as error:
            failed.append((path.stem, str(error)))
            continue
        rows.append((path.stem, reading, baseline))

    if args.all:
        for name, reading, baseline in rows:
            print("%-60s %.3f  %.3f" % (name[:60], reading, baseline))
        print()
    print(summary("reading_text", [r for _, r, _ in rows]))
    print(summary("text", [b for _, _, b in rows]))
    below = [(name, r) for name, r, _ in rows if r < args.below]
    print("\nbelow %.2f: %d" % (args.below, len(below)))
    for name, score in sorted(below, key=lambda row: row[1]):
        print("  %.3f  %-55s %s" % (score, name[:55], REASONS.get(name, "")))
    print("\nnot read (load failures, passwords): %d" % len(failed))
    for name, error in failed:
        print("  %-55s %s" % (name[:55], error[:70]))


if __name__ == "__main__":
    main()
