"""Image decoding throughput: decoded megabytes per second.

    PYTHONPATH=build python bench/bench_images.py [--repeat N]

Two workloads:
  corpus     every page of every file in ../shared/corpus/files (skipped if
             absent): images(include_data=True) for the filter output, and
             page_images(i, include_pnm=True) for pixels and PNM on the pages
             whose images all decode (the others fail by design: DCT, indexed
             colour, 1-bit masks).
  generated  one page with large Flate-compressed gray, RGB and CMYK images,
             listed with include_pnm, include_data, and both.

A benchmark, not a test: it prints numbers and asserts nothing but equality
of the PNM output with a direct computation on the generated file.
"""

import argparse
import os
import random
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import quillet  # noqa: E402
from pdfbuild import PdfBuilder  # noqa: E402

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus", "files")


def best_of(repeat, run):
    """The fastest of `repeat` runs: (seconds, run's result)."""
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        if best is None or elapsed < best[0]:
            best = (elapsed, result)
    return best


def report(label, seconds, megabytes, extra=""):
    rate = megabytes / seconds if seconds > 0 else float("inf")
    print(f"  {label:<34} {megabytes:9.1f} MB in {seconds * 1000:8.1f} ms = {rate:8.1f} MB/s{extra}")


# ---- corpus ----

def load_corpus():
    docs = []
    for name in sorted(os.listdir(CORPUS)):
        with open(os.path.join(CORPUS, name), "rb") as f:
            try:
                docs.append(quillet.Document(f.read()))
            except ValueError:
                pass
    return docs


def corpus_data(docs):
    total = 0
    for doc in docs:
        try:
            total += sum(len(r["data"]) for r in doc.images(include_data=True))
        except ValueError:
            pass
    return total


def decodable_pages(docs):
    """(document, page index) for every page whose images all decode."""
    pages = []
    for doc in docs:
        try:
            count = 1 + max([r["page_index"] for r in doc.images()], default=-1)
        except ValueError:
            continue
        for index in range(count):
            try:
                doc.page_images(index, include_pnm=True)
                pages.append((doc, index))
            except ValueError:
                pass
    return pages


def corpus_pixels(pages):
    total = images = 0
    for doc, index in pages:
        records = doc.page_images(index, include_pnm=True)
        total += sum(r["decoded"]["decoded_length"] for r in records)
        images += len(records)
    return total, images


def bench_corpus(repeat):
    if not os.path.isdir(CORPUS):
        print("corpus: skipped (no ../shared/corpus/files)")
        return
    docs = load_corpus()
    print(f"corpus: {len(docs)} files loaded")
    seconds, total = best_of(repeat, lambda: corpus_data(docs))
    report("images(include_data=True)", seconds, total / 1e6)
    pages = decodable_pages(docs)
    seconds, (total, images) = best_of(repeat, lambda: corpus_pixels(pages))
    report("page_images(include_pnm=True)", seconds, total / 1e6, f"  ({images} images)")


# ---- generated ----

# Six bits of noise per byte: Flate gets about 4:3, closer to a scanned or
# photographic image than a flat ramp would be.
NOISE = bytes(64 + (i >> 2) for i in range(256))


def pattern(size, seed):
    """Deterministic, poorly compressible image bytes."""
    return random.Random(seed).randbytes(size).translate(NOISE)


def generated_file(side):
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    spaces = [("/DeviceGray", 1), ("/DeviceRGB", 3), ("/DeviceCMYK", 4)] * 2
    names = " ".join("/Im%d %d 0 R" % (i, 10 + i) for i in range(len(spaces)))
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << %s >> >> >>" % names)
    raws = []
    for i, (space, components) in enumerate(spaces):
        raw = pattern(side * side * components, i)
        raws.append((space, raw))
        b.stream(10 + i, zlib.compress(raw, 6),
                 "/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace %s /BitsPerComponent 8 "
                 "/Filter /FlateDecode" % (side, side, space))
    return quillet.Document(b.build()), raws


def check_pnm(records, raws, side):
    for record, (space, raw) in zip(records, raws):
        if space == "/DeviceCMYK":
            # Spot check: the first and last pixel.
            for i in (0, side * side - 1):
                c, m, y, k = raw[4 * i:4 * i + 4]
                expected = bytes([max(0, 255 - c - k), max(0, 255 - m - k), max(0, 255 - y - k)])
                start = len(record["pnm"]) - 3 * side * side + 3 * i
                assert record["pnm"][start:start + 3] == expected
        else:
            assert record["pnm"].endswith(raw)


def bench_generated(repeat, side):
    doc, raws = generated_file(side)
    encoded = sum(r["encoded_length"] for r in doc.page_images(0))
    decoded = sum(len(raw) for _, raw in raws)
    print(f"generated: {len(raws)} images of {side}x{side}, {decoded / 1e6:.1f} MB decoded "
          f"from {encoded / 1e6:.1f} MB Flate")
    seconds, records = best_of(repeat, lambda: doc.page_images(0, include_pnm=True))
    check_pnm(records, raws, side)
    pixels = sum(r["decoded"]["decoded_length"] for r in records)
    report("page_images(include_pnm=True)", seconds, decoded / 1e6, f"  (pixels out {pixels / 1e6:.1f} MB)")
    seconds, _ = best_of(repeat, lambda: doc.page_images(0, include_data=True))
    report("page_images(include_data=True)", seconds, decoded / 1e6)
    seconds, _ = best_of(repeat, lambda: doc.page_images(0, include_data=True, include_pnm=True))
    report("page_images(both)", seconds, decoded / 1e6)
    # What inflating alone costs, for scale.
    payloads = [zlib.compress(raw, 6) for _, raw in raws]
    seconds, _ = best_of(repeat, lambda: [zlib.decompress(p) for p in payloads])
    report("reference: Python zlib.decompress", seconds, decoded / 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--side", type=int, default=2000, help="generated image width and height")
    args = parser.parse_args()
    bench_corpus(args.repeat)
    bench_generated(args.repeat, args.side)


if __name__ == "__main__":
    main()
