"""Time and peak memory of the worst call on each hostile file of
tests/hostile.py, one process per file, for one or more builds side by side:

    python bench/hostile_calls.py BUILD_DIR [BUILD_DIR ...]

Each BUILD_DIR holds a built quillet module (a CMake build folder, or a
site-packages folder).  Every call runs under a memory limit (--mem-gib,
default 8) and a time limit (--timeout, default 120 s), so a build that
would take the machine down reports "MemoryError" or "timeout" instead.
Prints one row per hostile file: its size, then for each build the call's
outcome, wall time and the process's peak RSS.
"""

import argparse
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")

# The call each file is made to hurt: the slowest or largest on a naive reader.
CALLS = {
    "objstm_bomb": "quillet.Document(data).object_count()",
    "content_bomb": "quillet.Document(data).page_text(0)",
    "content_bomb_hex": "quillet.Document(data).page_text(0)",
    "content_bomb_a85": "quillet.Document(data).page_text(0)",
    "dag_pages": "quillet.Document(data).text()",
    "shared_content": "quillet.Document(data).reading_text()",
    "shared_resources": "quillet.Document(data).fonts()",
    "shared_embedded_file": "quillet.Document(data).embedded_files(include_data=True)",
    "long_label_prefix": "quillet.Document(data).page_labels()",
    "long_code_cmap": "quillet.Document(data).page_text(0)",
    "nested_annots": "quillet.Document(quillet.Document(data).with_text_annotation(0, (0, 0, 10, 10), 'x')).page_count()",
}

CHILD = """
import resource, sys, quillet
data = open(sys.argv[1], 'rb').read()
try:
    result = %s
    outcome = 'ok'
except ValueError as e:
    outcome = 'ValueError: ' + str(e)
except MemoryError:
    outcome = 'MemoryError'
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
print(outcome)
"""


def run(build: str, path: str, call: str, mem_gib: float, timeout: float) -> tuple[str, float, float]:
    limit = int(mem_gib * (1 << 30))

    def limits() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    env = dict(os.environ, PYTHONPATH=build)
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", CHILD % call, path], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, preexec_fn=limits, text=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return "timeout", time.perf_counter() - start, float("nan")
    elapsed = time.perf_counter() - start
    lines = out.strip().splitlines()
    if len(lines) < 2 or not lines[-2].isdigit():
        return "exit %d" % proc.returncode, elapsed, float("nan")
    return lines[-1], elapsed, int(lines[-2]) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--mem-gib", type=float, default=8)
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args()
    sys.path.insert(0, TESTS)
    import hostile

    import tempfile
    tmp = tempfile.mkdtemp()
    for name, call in CALLS.items():
        if args.only and name not in args.only:
            continue
        data = hostile.GENERATORS[name]()
        path = os.path.join(tmp, name + ".pdf")
        with open(path, "wb") as f:
            f.write(data)
        cells = []
        for build in args.builds:
            outcome, elapsed, rss = run(os.path.abspath(build), path, call, args.mem_gib, args.timeout)
            cells.append("%-28.28s %7.2f s %8.0f MiB" % (outcome, elapsed, rss))
        print("%-21s %9d B | %s" % (name, len(data), " | ".join(cells)), flush=True)


if __name__ == "__main__":
    main()
