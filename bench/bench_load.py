"""Loading throughput: Document(data) and Document.open_mmap.

    PYTHONPATH=build python bench/bench_load.py [corpus-dir] [--repeat N]

Measures every corpus file that loads (../shared/corpus by default; skipped
when absent) and a generated file of 50,000 objects, a fifth of them packed
in object streams behind a cross-reference stream.  Prints MB/s and
objects/s.  When pypdf is importable, the corpus files are also opened with
it (PdfReader plus a walk of the pages, since it loads lazily) for
comparison.  A benchmark, not a test: nothing here asserts.
"""

import argparse
import io
import pathlib
import tempfile
import time
import zlib

import quillet

ROOT = pathlib.Path(__file__).resolve().parent.parent


def generated_file(count=50000, per_stream=100):
    """Objects 1.. with a page tree, plain objects, and object streams."""
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    rows = {0: (0, 0, 65535)}

    def emit(number, body):
        rows[number] = (1, len(out), 0)
        out.extend(b"%d 0 obj\n" % number + body + b"\nendobj\n")

    emit(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    emit(2, b"<< /Type /Pages /Kids [] /Count 0 >>")
    number = 3
    packed = count // 5
    while number < count - packed:
        emit(number, b"<< /Type /Thing /N %d /Name (object %d) /Box [0 0 612.5 792] /Next %d 0 R >>"
             % (number, number, number + 1))
        number += 1
    while number < count:
        stream_number = number + per_stream
        members = list(range(number, min(number + per_stream, count)))
        bodies = [b"<< /N %d /Values [1 2 3.5 (text)] /Ref %d 0 R >>" % (n, n) for n in members]
        header, offset = [], 0
        for n, body in zip(members, bodies):
            header.append(b"%d %d" % (n, offset))
            offset += len(body) + 1
        head = b" ".join(header) + b"\n"
        data = zlib.compress(head + b"\n".join(bodies))
        for i, n in enumerate(members):
            rows[n] = (2, stream_number, i)
        emit(stream_number, b"<< /Type /ObjStm /N %d /First %d /Filter /FlateDecode /Length %d >>\nstream\n"
             % (len(members), len(head), len(data)) + data + b"\nendstream")
        number = stream_number + 1
    xref_number = number
    rows[xref_number] = (1, len(out), 0)
    table = b"".join(bytes([t]) + a.to_bytes(4, "big") + b.to_bytes(2, "big")
                     for _, (t, a, b) in sorted(rows.items()))
    index = b" ".join(b"%d 1" % n for n in sorted(rows))
    start = len(out)
    out.extend(b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 2] /Index [%s] /Root 1 0 R /Length %d >>\nstream\n"
               % (xref_number, xref_number + 1, index, len(table)) + table + b"\nendstream\nendobj\n")
    out.extend(b"startxref\n%d\n%%%%EOF\n" % start)
    return bytes(out)


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def report(label, files, paths, repeat):
    mb = sum(len(d) for d in files) / 1e6
    objects = sum(quillet.Document(d).object_count() for d in files)
    t_bytes = best_of(repeat, lambda: [quillet.Document(d) for d in files])
    t_mmap = best_of(repeat, lambda: [quillet.Document.open_mmap(p) for p in paths])
    print(f"{label}: {len(files)} files, {mb:.1f} MB, {objects} objects")
    for name, t in (("Document(data)", t_bytes), ("open_mmap", t_mmap)):
        print(f"  {name:15} {t * 1000:8.1f} ms  {mb / t:8.1f} MB/s  {objects / t:12.0f} objects/s")
    return t_bytes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("corpus", nargs="?", default=str(ROOT.parent / "shared" / "corpus"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        big = generated_file()
        path = pathlib.Path(tmp, "generated.pdf")
        path.write_bytes(big)
        report("generated", [big], [str(path)], args.repeat)

    corpus = sorted(pathlib.Path(args.corpus, "files").glob("*.pdf"))
    loadable = []
    for p in corpus:
        try:
            quillet.Document(p.read_bytes())
            loadable.append(p)
        except ValueError:
            pass
    if not loadable:
        print("corpus not found at", args.corpus)
        return
    files = [p.read_bytes() for p in loadable]
    ours = report(f"corpus ({len(corpus) - len(loadable)} files refused)", files,
                  [str(p) for p in loadable], args.repeat)

    try:
        import logging

        import pypdf
    except ImportError:
        print("pypdf not installed: no comparison")
        return
    logging.getLogger("pypdf").setLevel(logging.ERROR)

    def pypdf_load():
        for d in files:
            try:
                reader = pypdf.PdfReader(io.BytesIO(d))
                for page in reader.pages:
                    page.get("/Contents")
            except Exception:
                pass

    theirs = best_of(args.repeat, pypdf_load)
    print(f"  pypdf (lazy, pages walked) {theirs * 1000:8.1f} ms  ({theirs / ours:.1f}x quillet's eager load)")


if __name__ == "__main__":
    main()
