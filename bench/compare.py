"""quillet side by side with the PDF libraries users compare it with.

    PYTHONPATH=build python bench/compare.py [FOLDER] [--workloads open,text]
        [--libraries quillet,pymupdf] [--repeat 3] [--markdown]

For each workload, every library that is installed (install the peers with
`pip install .[bench]`) runs over every PDF of FOLDER (default: the shared
corpus next to the repository) in a process of its own, each file `--repeat`
times, keeping the best time of each file.  A file counts towards a row only
when every library in that row read it without an error; the row then
prints, per library, MB/s over those files, how many times longer than
quillet it took (so 2.0 means quillet is twice as fast), the files it
handled out of all files, and the peak resident memory of its process.

Workloads (what each library is asked to do with one file's bytes):
  open     load and count the pages.  quillet parses every object eagerly;
           PyMuPDF and pypdfium2 open lazily, pikepdf and pypdf read the
           cross-reference table and the page tree.
  text     the text of every page: text(); PyMuPDF get_text(), pypdfium2
           get_text_range(), pypdf extract_text().  pikepdf has no text
           extraction.
  reading  text in reading order: reading_text() where this build has it,
           against the peers' plain text extraction as above.
  markdown to_markdown().  None of the peers exports Markdown by itself (for
           PyMuPDF it takes an add-on package), so the row is quillet alone.
  images   every image's bytes: image_files() where this build has it, else
           images(include_data=True); PyMuPDF extract_image(), pypdfium2
           PdfImage.extract(), pikepdf PdfImage.extract_to(), pypdf
           page.images[...].data.

Times are the worker process's CPU time (every library here works on one
thread), which a busy machine disturbs far less than wall time: a call that
outlasts a scheduler time slice is not charged for the other processes that
ran meanwhile.  A benchmark, not a test: nothing is asserted.  Timings on a
shared machine are still noisy; run it more than once.
"""

import argparse
import importlib
import io
import json
import os
import pathlib
import platform
import resource
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_FOLDER = ROOT.parent / "shared" / "corpus" / "files"
LIBRARIES = ["quillet", "pymupdf", "pypdfium2", "pikepdf", "pypdf"]
WORKLOADS = ["open", "text", "reading", "markdown", "images"]
# A file that takes longer than this in one library counts as not handled.
FILE_TIMEOUT_S = 60


# ---- what each library does per workload (run inside the worker) ----

def quillet_ops():
    import quillet

    def open_(data):
        quillet.Document(data).page_count()

    def text(data):
        quillet.Document(data).text()

    def reading(data):
        quillet.Document(data).reading_text()

    def markdown(data):
        quillet.Document(data).to_markdown()

    def images(data):
        doc = quillet.Document(data)
        if hasattr(doc, "image_files"):
            doc.image_files()
        else:
            doc.images(include_data=True)

    ops = {"open": open_, "text": text, "markdown": markdown, "images": images}
    if hasattr(quillet.Document, "reading_text"):
        ops["reading"] = reading
    return ops


def pymupdf_ops():
    import pymupdf

    pymupdf.TOOLS.mupdf_display_errors(False)

    def open_(data):
        with pymupdf.open(stream=data, filetype="pdf") as doc:
            doc.page_count

    def text(data):
        with pymupdf.open(stream=data, filetype="pdf") as doc:
            "\n".join(page.get_text() for page in doc)

    def images(data):
        with pymupdf.open(stream=data, filetype="pdf") as doc:
            for page in doc:
                for image in page.get_images(full=True):
                    doc.extract_image(image[0])

    return {"open": open_, "text": text, "reading": text, "images": images}


def pypdfium2_ops():
    import pypdfium2 as pdfium
    import pypdfium2.raw as pdfium_c

    def open_(data):
        pdf = pdfium.PdfDocument(data)
        len(pdf)
        pdf.close()

    def text(data):
        pdf = pdfium.PdfDocument(data)
        "\n".join(page.get_textpage().get_text_range() for page in pdf)
        pdf.close()

    def images(data):
        pdf = pdfium.PdfDocument(data)
        for page in pdf:
            for image in page.get_objects(filter=(pdfium_c.FPDF_PAGEOBJ_IMAGE,)):
                image.extract(io.BytesIO())
        pdf.close()

    return {"open": open_, "text": text, "reading": text, "images": images}


def pikepdf_ops():
    import pikepdf

    def open_(data):
        with pikepdf.open(io.BytesIO(data)) as pdf:
            len(pdf.pages)

    def images(data):
        with pikepdf.open(io.BytesIO(data)) as pdf:
            for page in pdf.pages:
                for image in page.images.values():
                    pikepdf.PdfImage(image).extract_to(stream=io.BytesIO())

    return {"open": open_, "images": images}


def pypdf_ops():
    import logging

    import pypdf

    logging.getLogger("pypdf").setLevel(logging.CRITICAL)

    def open_(data):
        len(pypdf.PdfReader(io.BytesIO(data)).pages)

    def text(data):
        "\n".join(page.extract_text() for page in pypdf.PdfReader(io.BytesIO(data)).pages)

    def images(data):
        for page in pypdf.PdfReader(io.BytesIO(data)).pages:
            for image in page.images:
                image.data

    return {"open": open_, "text": text, "reading": text, "images": images}


OPS = {"quillet": quillet_ops, "pymupdf": pymupdf_ops, "pypdfium2": pypdfium2_ops, "pikepdf": pikepdf_ops,
       "pypdf": pypdf_ops}


def peak_mib():
    """This process's peak resident memory.  VmHWM starts afresh at exec;
    getrusage's maximum would carry over the parent's from before it."""
    try:
        for line in pathlib.Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


class FileTimeout(Exception):
    pass


def on_alarm(signum, frame):
    raise FileTimeout()


def worker(library, workload, paths, repeat):
    """Times one library on one workload; prints a JSON report."""
    import warnings

    warnings.simplefilter("ignore")
    ops = OPS[library]()
    if workload not in ops:
        json.dump({"supported": False}, sys.stdout)
        return
    op = ops[workload]
    signal.signal(signal.SIGALRM, on_alarm)
    best = {}
    for path in paths:
        data = pathlib.Path(path).read_bytes()
        times = []
        try:
            signal.alarm(FILE_TIMEOUT_S)
            for _ in range(repeat):
                started = time.process_time()
                op(data)
                times.append(time.process_time() - started)
        except BaseException as error:  # noqa: BLE001 - any failure means "not handled"
            if isinstance(error, KeyboardInterrupt):
                raise
            times = []
        finally:
            signal.alarm(0)
        best[path] = min(times) if times else None
    json.dump({"supported": True, "best": best, "peak_mib": peak_mib()}, sys.stdout)


# ---- the parent: one process per library and workload, then the table ----

def available(library):
    try:
        importlib.import_module(library)
        return True
    except ImportError:
        return False


def run_worker(library, workload, paths, repeat):
    command = [sys.executable, __file__, "--worker", library, workload, "--repeat", str(repeat)]
    out = subprocess.run(command, input="\n".join(map(str, paths)), capture_output=True, text=True)
    if out.returncode != 0:
        print(f"{library} {workload}: worker failed\n{out.stderr}", file=sys.stderr)
        return None
    return json.loads(out.stdout)


def versions(libraries):
    found = {}
    for library in libraries:
        if library == "quillet":
            import quillet

            commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                                    text=True).stdout.strip()
            found[library] = f"{pathlib.Path(quillet.__file__).name} at {commit or 'unknown commit'}"
        elif library == "pymupdf":
            import pymupdf

            found[library] = pymupdf.__version__
        elif library == "pypdfium2":
            import pypdfium2

            found[library] = f"{pypdfium2.version.PYPDFIUM_INFO} (PDFium {pypdfium2.version.PDFIUM_INFO})"
        else:
            found[library] = importlib.import_module(library).__version__
    return found


def machine():
    model = platform.processor() or "unknown processor"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}")


def table(folder, paths, workloads, libraries, repeat):
    sizes = {str(p): p.stat().st_size for p in paths}
    rows = []
    for workload in workloads:
        runs = {}
        for library in libraries:
            report = run_worker(library, workload, paths, repeat)
            if report and report["supported"]:
                runs[library] = report
        if not runs:
            continue
        # Only the files that every library of the row read are summed.
        common = [str(p) for p in paths if all(r["best"][str(p)] is not None for r in runs.values())]
        megabytes = sum(sizes[p] for p in common) / 1e6
        seconds = {lib: sum(r["best"][p] for p in common) for lib, r in runs.items()}
        for library, report in runs.items():
            handled = sum(t is not None for t in report["best"].values())
            mb_s = megabytes / seconds[library] if seconds[library] else float("nan")
            ratio = seconds[library] / seconds["quillet"] if "quillet" in seconds and seconds["quillet"] else None
            rows.append((workload, library, len(common), megabytes, mb_s, ratio, handled, len(paths),
                         report["peak_mib"]))
    return rows


def print_table(rows, markdown):
    header = ["workload", "library", "files summed", "MB summed", "MB/s", "time / quillet's", "handled",
              "peak RSS MiB"]
    lines = []
    for workload, library, common, mb, mb_s, ratio, handled, total, peak in rows:
        lines.append([workload, library, str(common), f"{mb:.1f}", f"{mb_s:.1f}",
                      "-" if ratio is None else f"{ratio:.2f}", f"{handled}/{total}", f"{peak:.0f}"])
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for line in lines:
            print("| " + " | ".join(line) + " |")
        return
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    for line in lines:
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default=str(DEFAULT_FOLDER))
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--libraries", default=",".join(LIBRARIES))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--worker", nargs=2, metavar=("LIBRARY", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        worker(*args.worker, [line for line in sys.stdin.read().splitlines() if line], args.repeat)
        return

    paths = sorted(pathlib.Path(args.folder).glob("*.pdf"))
    if not paths:
        print("no PDF files in", args.folder)
        return
    libraries = [lib for lib in args.libraries.split(",") if available(lib)]
    if "quillet" not in libraries:
        print("quillet is not importable (PYTHONPATH=build?)")
        return
    workloads = [w for w in args.workloads.split(",") if w in WORKLOADS]
    print(f"{len(paths)} files, {sum(p.stat().st_size for p in paths) / 1e6:.1f} MB in {args.folder}; "
          f"best of {args.repeat} per file")
    print(f"machine: {machine()}")
    for library, version in versions(libraries).items():
        print(f"{library}: {version}")
    print()
    print_table(table(args.folder, paths, workloads, libraries, args.repeat), args.markdown)


if __name__ == "__main__":
    main()
