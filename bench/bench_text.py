"""Text extraction throughput: pages/s and MB/s for Document.text().

    PYTHONPATH=build python bench/bench_text.py [--repeat N]

Measures a generated 2,000-page document whose fonts have ToUnicode CMaps
(two-byte codes, ranges and single mappings) and, when it is present, the
corpus in ../shared/corpus (MB/s there counts whole files, not only content).
A benchmark, not a test: nothing is asserted.
"""

import argparse
import random
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import quillet  # noqa: E402
from pdfbuild import PdfBuilder  # noqa: E402

CMAP = b"""/CIDInit /ProcSet findresource begin 12 dict begin begincmap
/CMapName /Bench-UCS def /CMapType 2 def
1 begincodespacerange <0000> <FFFF> endcodespacerange
2 beginbfrange
<0020> <007E> <0020>
<0100> <01FF> <4E00>
endbfrange
3 beginbfchar
<0003> <0020>
<0200> <00660069>
<0201> <D83DDE00>
endbfchar
endcmap CMapName currentdict /CMap defineresource pop end end
"""


def generated_document(pages: int = 2000, seed: int = 7) -> tuple[bytes, int]:
    """The file and the total size of its page contents."""
    rng = random.Random(seed)
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = " ".join("%d 0 R" % (100 + 2 * i) for i in range(pages))
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d /MediaBox [0 0 612 792] "
             "/Resources << /Font << /F1 3 0 R /F2 4 0 R >> >> >>" % (kids, pages))
    b.add(3, "<< /Type /Font /Subtype /Type0 /BaseFont /A /ToUnicode 5 0 R >>")
    b.add(4, "<< /Type /Font /Subtype /Type0 /BaseFont /B /ToUnicode 5 0 R >>")
    b.stream(5, CMAP)
    content_bytes = 0
    for i in range(pages):
        lines = [b"BT /F1 10 Tf 72 720 Td 12 TL"]
        for line in range(40):
            font = b"/F2 10 Tf " if line % 7 == 3 else b""
            pieces = []
            for _ in range(6):
                codes = bytes(c for ch in range(rng.randrange(3, 9)) for c in (0, rng.randrange(0x41, 0x7B)))
                pieces.append(b"<" + codes.hex().encode() + b"> " + str(rng.randrange(-300, 0)).encode())
            lines.append(font + b"[" + b" ".join(pieces) + b"] TJ T*")
        lines.append(b"ET")
        content = b"\n".join(lines)
        content_bytes += len(content)
        b.add(100 + 2 * i, "<< /Type /Page /Parent 2 0 R /Contents %d 0 R >>" % (101 + 2 * i))
        b.stream(101 + 2 * i, content)
    return b.build(), content_bytes


def measure(label: str, docs: list[quillet.Document], pages: int, size: int, repeat: int) -> None:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        for doc in docs:
            doc.text()
        best = min(best, time.perf_counter() - started)
    print("%-10s %6d pages %8.2f MB  %7.1f ms  %9.0f pages/s  %7.1f MB/s"
          % (label, pages, size / 1e6, best * 1e3, pages / best, size / 1e6 / best))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    data, content_bytes = generated_document()
    doc = quillet.Document(data)
    measure("generated", [doc], doc.page_count(), content_bytes, args.repeat)

    corpus = ROOT.parent / "shared" / "corpus" / "files"
    if corpus.exists():
        docs, pages, size = [], 0, 0
        for path in sorted(corpus.glob("*.pdf")):
            raw = path.read_bytes()
            try:
                d = quillet.Document(raw)
                d.text()
            except ValueError:
                continue
            docs.append(d)
            pages += len(d.pages())
            size += len(raw)
        measure("corpus", docs, pages, size, args.repeat)


if __name__ == "__main__":
    main()
