"""Per-page calls against the whole-document call, on a many-page document.

    PYTHONPATH=build python bench/bench_pages.py [--pages 16000] [--repeat 3]

Generates a document of --pages pages (a page tree of 100-kid nodes, one
font with a 500-entry ToUnicode CMap and one image shared by every page, a
link annotation on each page) and times, best of --repeat, a loop of each
per-page method over every page beside the whole-document method that does
the same work: page_text / text, page_reading_text / reading_text,
page_fonts / fonts, page_images / images; page_words, page_links and
page_annotations have no whole-document method and are shown per call.  The per-page loop should cost about what the whole-document call
does, whatever the page count.  When PyMuPDF is installed, its own per-page
text loop is timed on the same file for comparison.  Times are CPU time of
this process, as in compare.py.  A benchmark, not a test: nothing is
asserted.
"""

import argparse
import sys
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import quillet  # noqa: E402
from pdfbuild import PdfBuilder  # noqa: E402

KIDS_PER_NODE = 100
CMAP_ENTRIES = 500


def cmap() -> bytes:
    lines = [b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap",
             b"1 begincodespacerange <0000> <FFFF> endcodespacerange"]
    for first in range(0, CMAP_ENTRIES, 100):
        lines.append(b"100 beginbfchar")
        lines += [b"<%04X> <%04X>" % (code, 0x4E00 + code) for code in range(first, first + 100)]
        lines.append(b"endbfchar")
    lines.append(b"endcmap CMapName currentdict /CMap defineresource pop end end")
    return b"\n".join(lines)


def generated_document(pages: int) -> bytes:
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(3, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 4 0 R >>")
    b.stream(4, cmap())
    b.stream(5, zlib.compress(bytes(range(256)) * 3), "/Type /XObject /Subtype /Image /Width 16 /Height 16 "
             "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode")
    nodes = (pages + KIDS_PER_NODE - 1) // KIDS_PER_NODE
    first_page = 10 + nodes
    b.add(2, "<< /Type /Pages /Kids [%s] /Count %d /MediaBox [0 0 612 792] "
             "/Resources << /Font << /F1 3 0 R >> /XObject << /Im1 5 0 R >> >> >>"
          % (" ".join("%d 0 R" % (10 + k) for k in range(nodes)), pages))
    for k in range(nodes):
        kids = range(k * KIDS_PER_NODE, min(pages, (k + 1) * KIDS_PER_NODE))
        b.add(10 + k, "<< /Type /Pages /Parent 2 0 R /Kids [%s] /Count %d >>"
              % (" ".join("%d 0 R" % (first_page + 3 * i) for i in kids), len(kids)))
        for i in kids:
            page = first_page + 3 * i
            b.add(page, "<< /Type /Page /Parent %d 0 R /Contents %d 0 R /Annots [%d 0 R] >>"
                  % (10 + k, page + 1, page + 2))
            codes = "".join("%04X" % ((i * 7 + j) % CMAP_ENTRIES) for j in range(60))
            b.stream(page + 1, ("BT /F1 11 Tf 72 720 Td 14 TL <%s> Tj T* <%s> Tj ET q 16 0 0 16 72 72 cm /Im1 Do Q"
                                % (codes, codes[::-1])).encode())
            b.add(page + 2, "<< /Type /Annot /Subtype /Link /Rect [72 700 200 720] "
                            "/A << /S /URI /URI (https://example.com/%d) >> >>" % i)
    return b.build()


def best_of(repeat, fn, data=None):
    """Best time of fn(); given `data`, of fn(document) on a document loaded
    afresh (untimed) each time, as a user's first loop over it would run."""
    import quillet

    best = float("inf")
    for _ in range(repeat):
        args = (quillet.Document(data),) if data is not None else ()
        started = time.process_time()
        fn(*args)
        best = min(best, time.process_time() - started)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pages", type=int, default=16000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    data = generated_document(args.pages)
    print(f"{args.pages} pages, {len(data) / 1e6:.1f} MB; best of {args.repeat}, each on a freshly loaded document")
    n = len(quillet.Document(data).pages())
    pairs = [("page_text", "text"), ("page_reading_text", "reading_text"), ("page_words", None),
             ("page_fonts", "fonts"), ("page_images", "images"), ("page_links", None), ("page_annotations", None)]
    for per_page, whole in pairs:
        if not hasattr(quillet.Document, per_page):
            continue
        loop = best_of(args.repeat, lambda d: [getattr(d, per_page)(i) for i in range(n)], data)
        line = f"{per_page + ' loop':24} {loop * 1e3:9.1f} ms {loop / n * 1e6:7.1f} us per call"
        if whole:
            once = best_of(args.repeat, lambda d: getattr(d, whole)(), data)
            line += f"   {whole + '()':14} {once * 1e3:8.1f} ms   loop / whole {loop / once:5.2f}"
        print(line)

    try:
        import pymupdf
    except ImportError:
        return

    pymupdf.TOOLS.mupdf_display_errors(False)

    def mupdf_text():
        with pymupdf.open(stream=data, filetype="pdf") as pdf:
            for page in pdf:
                page.get_text()

    print(f"{'PyMuPDF get_text loop':22} {best_of(args.repeat, mupdf_text) * 1e3:9.1f} ms (its lazy open included)")


if __name__ == "__main__":
    main()
