"""Loading and text extraction over the corpus.

    python bench/bench_load_text.py [corpus-dir] [--repeat N]

Times Document(data) and text() for every corpus file that loads, and, when
pypdf is importable, the same two steps with pypdf (PdfReader and
extract_text over all pages) on the same files, for comparison.  Prints MB/s
and totals.  A benchmark, not a test: nothing here asserts.
"""

import argparse
import pathlib
import time

import quillet


def corpus_files(root):
    files = sorted(pathlib.Path(root, "files").glob("*.pdf"))
    out = []
    for path in files:
        data = path.read_bytes()
        try:
            doc = quillet.Document(data)
            doc.text()
        except ValueError:
            continue
        out.append((path.name, data))
    return out


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def bench_quillet(files, repeat):
    load = best_of(repeat, lambda: [quillet.Document(d) for _, d in files])
    docs = [quillet.Document(d) for _, d in files]
    text = best_of(repeat, lambda: [doc.text() for doc in docs])
    return load, text


def bench_pypdf(files, repeat):
    try:
        import io
        import logging

        import pypdf
    except ImportError:
        return None
    logging.getLogger("pypdf").setLevel(logging.ERROR)
    ok = []
    for name, data in files:
        try:
            reader = pypdf.PdfReader(io.BytesIO(data))
            for page in reader.pages:
                page.extract_text()
            ok.append((name, data))
        except Exception:
            pass
    load = best_of(repeat, lambda: [len(pypdf.PdfReader(io.BytesIO(d)).pages) for _, d in ok])
    readers = [pypdf.PdfReader(io.BytesIO(d)) for _, d in ok]
    text = best_of(repeat, lambda: [[p.extract_text() for p in r.pages] for r in readers])
    return load, text, ok


def main():
    here = pathlib.Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser()
    parser.add_argument("corpus", nargs="?", default=str(here.parent / "shared" / "corpus"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    files = corpus_files(args.corpus)
    if not files:
        print("no corpus files found at", args.corpus)
        return
    mb = sum(len(d) for _, d in files) / 1e6
    load, text = bench_quillet(files, args.repeat)
    print(f"quillet: {len(files)} files, {mb:.1f} MB")
    print(f"  load  {load * 1000:8.1f} ms  {mb / load:8.1f} MB/s")
    print(f"  text  {text * 1000:8.1f} ms  {mb / text:8.1f} MB/s")
    other = bench_pypdf(files, args.repeat)
    if other is None:
        print("pypdf not installed: no comparison")
        return
    p_load, p_text, ok = other
    ok_mb = sum(len(d) for _, d in ok) / 1e6
    q_load, q_text = bench_quillet(ok, args.repeat)
    print(f"same {len(ok)} files ({ok_mb:.1f} MB) with pypdf:")
    print(f"  load  {p_load * 1000:8.1f} ms  (quillet {q_load * 1000:.1f} ms, {p_load / q_load:.0f}x)")
    print(f"  text  {p_text * 1000:8.1f} ms  (quillet {q_text * 1000:.1f} ms, {p_text / q_text:.0f}x)")


if __name__ == "__main__":
    main()
