"""The examples of the README and of docs/ run, and print what the pages
say they print.  Every ```pycon block of a page is a doctest; the blocks of
one page share their names, in page order, and run in a folder of their own."""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def examples(page: Path) -> list[tuple[int, str]]:
    text = page.read_text()
    return [(text.count("\n", 0, m.start(1)), m.group(1)) for m in BLOCK.finditer(text)]


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_examples_run_as_shown(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = examples(page)
    if page.parent.name == "docs" and page.name != "README.md":
        assert blocks, f"{page.name} shows no example"
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs: dict = {"__name__": "__docs__"}
    report: list[str] = []
    for line, block in blocks:
        test = parser.get_doctest(block, globs, page.name, str(page), line)
        runner.run(test, out=report.append, clear_globs=False)
        globs = test.globs  # a doctest runs in a copy of the names it is given
    assert runner.failures == 0, "".join(report)
