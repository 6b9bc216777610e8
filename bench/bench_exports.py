"""Export cost: to_markdown() and llm_document() against text().

    PYTHONPATH=build python bench/bench_exports.py [--repeat N]

The exports extract every page's text once (one font cache per call) and add
the metadata, outline, label, image, link and annotation lookups and the
conversion to Python values; the ratio to text() shows what that costs.
Measured on the generated document of bench_text.py and, when present, on
the corpus in ../shared/corpus (files that fail to load or whose text cannot
be extracted are left out).  A benchmark, not a test: nothing is asserted.
"""

import argparse
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import quillet  # noqa: E402
from bench_text import generated_document  # noqa: E402

OPERATIONS = {
    "text": lambda d: d.text(),
    "to_markdown": lambda d: d.to_markdown(),
    "llm_document": lambda d: d.llm_document(),
    "llm(off)": lambda d: d.llm_document(ocr="off"),
}


def best_time(docs: list[quillet.Document], operation, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        for doc in docs:
            operation(doc)
        best = min(best, time.perf_counter() - started)
    return best


def measure(label: str, docs: list[quillet.Document], pages: int, repeat: int) -> None:
    times = {name: best_time(docs, operation, repeat) for name, operation in OPERATIONS.items()}
    base = times["text"]
    for name, seconds in times.items():
        print("%-10s %-13s %6d pages  %8.1f ms  %9.0f pages/s  %5.2fx text()"
              % (label, name, pages, seconds * 1e3, pages / seconds, seconds / base))


def usable(doc: quillet.Document) -> bool:
    try:
        for operation in OPERATIONS.values():
            operation(doc)
    except ValueError:
        return False
    return True


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", type=Path, default=ROOT.parent / "shared" / "corpus" / "files")
    args = parser.parse_args()

    data, _ = generated_document()
    doc = quillet.Document(data)
    measure("generated", [doc], doc.page_count(), args.repeat)

    corpus = args.corpus
    if not corpus.exists():
        print("corpus not found at %s: skipped" % corpus)
        return
    docs, pages = [], 0
    for path in sorted(corpus.glob("*.pdf")):
        try:
            d = quillet.Document(path.read_bytes())
        except ValueError:
            continue
        if usable(d):
            docs.append(d)
            pages += len(d.pages())
    measure("corpus", docs, pages, args.repeat)


if __name__ == "__main__":
    main()
