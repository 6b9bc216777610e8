"""How many shown glyphs the font decoder leaves without Unicode (U+FFFD).

Over the corpus (../shared/corpus/files, or --corpus), reads every page with
page_reading_text and counts the glyphs that reach the text (characters
other than white space) and the replacement characters among them; prints
the totals and the files with the most replacement characters.  Run it
against two builds to compare decoders:

    PYTHONPATH=build python bench/glyph_decoding.py
    python bench/glyph_decoding.py --module-path /path/to/other/build
"""

import argparse
import os
import sys
import time


def count(document):
    glyphs = unmapped = 0
    for index in range(len(document.pages())):
        text = document.page_reading_text(index)
        glyphs += sum(1 for c in text if not c.isspace())
        unmapped += text.count("\ufffd")
    return glyphs, unmapped


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=os.path.join(here, "..", "..", "shared", "corpus", "files"))
    parser.add_argument("--module-path", help="directory holding the quillet module to measure")
    parser.add_argument("--worst", type=int, default=15, help="files to list")
    args = parser.parse_args()
    if args.module_path:
        sys.path.insert(0, args.module_path)
    import quillet

    rows = []
    failed = 0
    started = time.perf_counter()
    for name in sorted(os.listdir(args.corpus)):
        if not name.endswith(".pdf"):
            continue
        try:
            document = quillet.Document.open(os.path.join(args.corpus, name))
            glyphs, unmapped = count(document)
        except ValueError:
            failed += 1
            continue
        rows.append((unmapped, glyphs, name))
    elapsed = time.perf_counter() - started
    glyphs = sum(r[1] for r in rows)
    unmapped = sum(r[0] for r in rows)
    with_unmapped = sum(1 for r in rows if r[0])
    print(f"module: {quillet.__file__}")
    print(f"files read: {len(rows)} (failed to load or read: {failed}) in {elapsed:.1f} s")
    print(f"glyphs: {glyphs}  U+FFFD: {unmapped} ({100.0 * unmapped / max(glyphs, 1):.2f} %)  "
          f"files with any: {with_unmapped}")
    print(f"{'U+FFFD':>8} {'glyphs':>8} {'share':>7}  file")
    for unmapped, glyphs, name in sorted(rows, reverse=True)[: args.worst]:
        if unmapped:
            print(f"{unmapped:>8} {glyphs:>8} {100.0 * unmapped / glyphs:>6.1f}%  {name}")


if __name__ == "__main__":
    main()
