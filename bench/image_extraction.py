"""Image extraction over the corpus: coverage against the qpdf oracle, the
share of images saved against PyMuPDF's extract_image, every PNG checked
with Pillow, and the time of both side by side.

    PYTHONPATH=build python bench/image_extraction.py [--repeat N]

Counts are per page and image object: an image drawn on a page counts once
for that page, as PyMuPDF's page.get_images() lists it.  PyMuPDF (1.x) and
Pillow are optional; without them their columns are skipped.  A benchmark,
not a test: it prints figures and asserts nothing.
"""

import argparse
import collections
import io
import json
import os
import sys
import time

import quillet

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "shared", "corpus")

try:
    import pymupdf
except ImportError:
    pymupdf = None
try:
    from PIL import Image
except ImportError:
    Image = None


def corpus_names():
    return sorted(name[:-4] for name in os.listdir(os.path.join(CORPUS, "files")) if name.endswith(".pdf"))


def pdf_path(name):
    return os.path.join(CORPUS, "files", name + ".pdf")


def ours(name):
    """{page index: {image id: record}} from image_files(), or None when the
    file does not load or the page walk fails."""
    try:
        records = quillet.Document.open(pdf_path(name)).image_files()
    except ValueError:
        return None
    pages = collections.defaultdict(dict)
    for r in records:
        pages[r["page_index"]].setdefault(r["id"] or "direct " + r["name"], r)
    return pages


def theirs(name):
    """{page index: number of images PyMuPDF extracts}, or None."""
    try:
        doc = pymupdf.open(pdf_path(name))
    except Exception:
        return None
    counts = {}
    for index in range(doc.page_count):
        try:
            xrefs = {entry[0] for entry in doc[index].get_images(full=True)}
        except Exception:
            continue
        extracted = 0
        for xref in xrefs:
            try:
                image = doc.extract_image(xref)
            except Exception:
                image = None
            extracted += bool(image and image.get("image"))
        counts[index] = extracted
    return counts


def oracle_images(name):
    """(page index, image id) for every image the qpdf oracle lists."""
    path = os.path.join(CORPUS, "oracle", name, "qpdf.json")
    try:
        with open(path, "rb") as f:
            report = json.loads(f.read().decode("utf-8", "replace"))
    except (OSError, ValueError):
        return []
    return [(index, image["object"]) for index, page in enumerate(report.get("pages") or [])
            for image in page.get("images", [])]


def opens_in_pillow(data):
    try:
        with Image.open(io.BytesIO(data)) as image:
            image.load()
        return True
    except Exception:
        return False


def coverage():
    totals = collections.Counter()
    errors = collections.Counter()
    formats = collections.Counter()
    print("per-file differences (ours with data / PyMuPDF extracted; oracle images without a record):")
    for name in corpus_names():
        pages = ours(name)
        mu = theirs(name) if pymupdf else None
        oracle = oracle_images(name)
        loaded = pages is not None
        pages = pages or {}
        with_data = sum(1 for page in pages.values() for r in page.values() if r["data"] is not None)
        their_count = sum(mu.values()) if mu else 0
        missing = [(i, ident) for i, ident in oracle if ident not in pages.get(i, {})]
        totals["oracle images"] += len(oracle)
        totals["oracle images without a record"] += len(missing)
        if loaded:
            totals["oracle images without a record, files we load"] += len(missing)
        totals["ours with data"] += with_data
        totals["ours with error only"] += sum(1 for p in pages.values() for r in p.values() if r["data"] is None)
        totals["PyMuPDF extracted"] += their_count
        if loaded:
            totals["PyMuPDF extracted, files we load"] += their_count
        for page in pages.values():
            for r in page.values():
                if r["data"] is None:
                    errors[r["error"]] += 1
                    continue
                formats[r["format"]] += 1
                if r["error"] is not None:
                    errors["(with data) " + r["error"]] += 1
                if Image and r["format"] in ("png", "ccitt"):
                    totals[r["format"] + " checked in Pillow"] += 1
                    if not opens_in_pillow(r["data"]):
                        totals[r["format"] + " Pillow cannot open"] += 1
                        print(f"  {name}: page {r['page_index']} {r['name']}: Pillow cannot open our {r['format']}")
        if with_data < their_count or missing:
            note = "" if loaded else " (file does not load)"
            print(f"  {name}: {with_data} / {their_count}{note}" + (f"; oracle images missing {missing}" if missing else ""))
    print()
    print("summary:")
    for key, value in totals.items():
        print(f"  {key:<48} {value}")
    if totals["PyMuPDF extracted"]:
        share = totals["ours with data"] / totals["PyMuPDF extracted"]
        share_loaded = totals["ours with data"] / max(1, totals["PyMuPDF extracted, files we load"])
        print(f"  {'share vs PyMuPDF, whole corpus':<48} {share:.1%}")
        print(f"  {'share vs PyMuPDF, files we load':<48} {share_loaded:.1%}")
    print("  formats:", dict(formats))
    print("errors:")
    for message, count in errors.most_common():
        print(f"  {count:4}  {message}")


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def timing(repeat):
    names = [n for n in corpus_names() if os.path.getsize(pdf_path(n)) > 0]

    def quillet_all():
        for name in names:
            try:
                quillet.Document.open(pdf_path(name)).image_files()
            except ValueError:
                pass

    def pymupdf_all():
        for name in names:
            try:
                doc = pymupdf.open(pdf_path(name))
                for index in range(doc.page_count):
                    for entry in doc[index].get_images(full=True):
                        doc.extract_image(entry[0])
            except Exception:
                pass

    print()
    print(f"time over the corpus, best of {repeat} (open + every image as a file):")
    print(f"  quillet image_files()            {best_of(repeat, quillet_all) * 1000:8.1f} ms")
    if pymupdf:
        print(f"  PyMuPDF get_images+extract_image {best_of(repeat, pymupdf_all) * 1000:8.1f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if not os.path.isdir(os.path.join(CORPUS, "files")):
        print("skipped: no ../shared/corpus")
        return
    if pymupdf:
        pymupdf.TOOLS.mupdf_display_errors(False)
    coverage()
    timing(args.repeat)


if __name__ == "__main__":
    sys.exit(main())
