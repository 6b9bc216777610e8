"""How many shown glyphs the font decoder leaves without Unicode (U+FFFD).

Over the corpus (../shared/corpus/files, or --corpus), reads every page with
page_reading_text and counts the glyphs that reach the text (characters
other than white space) and the replacement characters among them; prints
the totals and the files with the most replacement characters.  As a check
that decoded glyphs are the right ones, and not merely some character, it
also scores each file's characters (a bag, white space ignored, so spacing
and order do not count) against the pdftotext oracle beside the corpus: F1
of the two bags.  Run it against two builds to compare decoders:

    PYTHONPATH=build python bench/glyph_decoding.py
    python bench/glyph_decoding.py --module-path /path/to/other/build
"""

import argparse
import collections
import os
import sys
import time


def count(document):
    glyphs = unmapped = 0
    chars = collections.Counter()
    for index in range(len(document.pages())):
        text = document.page_reading_text(index)
        chars.update(c for c in text if not c.isspace())
        unmapped += text.count("\ufffd")
    glyphs = sum(chars.values())
    return glyphs, unmapped, chars


def char_f1(ours, oracle_path):
    """F1 of the character bags, or None without an oracle text."""
    try:
        with open(oracle_path, encoding="utf-8", errors="replace") as f:
            theirs = collections.Counter(c for c in f.read() if not c.isspace())
    except OSError:
        return None
    if not theirs and not ours:
        return 1.0
    common = sum((ours & theirs).values())
    if not common:
        return 0.0
    precision = common / sum(ours.values())
    recall = common / sum(theirs.values())
    return 2 * precision * recall / (precision + recall)


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
            glyphs, unmapped, chars = count(document)
        except ValueError:
            failed += 1
            continue
        oracle = os.path.join(args.corpus, "..", "oracle", name[: -len(".pdf")], "text.txt")
        rows.append((unmapped, glyphs, name, char_f1(chars, oracle)))
    elapsed = time.perf_counter() - started
    glyphs = sum(r[1] for r in rows)
    unmapped = sum(r[0] for r in rows)
    with_unmapped = sum(1 for r in rows if r[0])
    print(f"module: {quillet.__file__}")
    print(f"files read: {len(rows)} (failed to load or read: {failed}) in {elapsed:.1f} s")
    print(f"glyphs: {glyphs}  U+FFFD: {unmapped} ({100.0 * unmapped / max(glyphs, 1):.2f} %)  "
          f"files with any: {with_unmapped}")
    scores = sorted(r[3] for r in rows if r[3] is not None and r[1] >= 50)
    if scores:
        print(f"character F1 against pdftotext, {len(scores)} files with 50 glyphs or more: "
              f"median {scores[len(scores) // 2]:.3f}, lower quartile {scores[len(scores) // 4]:.3f}")
    print(f"{'U+FFFD':>8} {'glyphs':>8} {'share':>7} {'F1':>6}  file")
    for unmapped, glyphs, name, score in sorted(rows, reverse=True)[: args.worst]:
        if unmapped:
            print(f"{unmapped:>8} {glyphs:>8} {100.0 * unmapped / glyphs:>6.1f}% {score or 0:>6.3f}  {name}")
    print("lowest character F1 (50 glyphs or more):")
    for unmapped, glyphs, name, score in sorted((r for r in rows if r[3] is not None and r[1] >= 50),
                                                key=lambda r: r[3])[: args.worst]:
        print(f"{unmapped:>8} {glyphs:>8} {'':>7} {score:>6.3f}  {name}")


if __name__ == "__main__":
    main()
