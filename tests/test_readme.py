"""Every Python example of the README and of the documentation's pages runs as
written (in a folder of its own): the README is a short front page, and the
examples it had live on in docs/ (whose doctest blocks the docs build runs;
these are the plain ```python blocks it does not)."""

import os
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]


def blocks(page):
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


BLOCKS = [(page.relative_to(ROOT).as_posix(), line, code) for page in PAGES for line, code in blocks(page)]


def test_the_readme_and_the_pages_have_their_examples():
    assert any(name == "README.md" for name, _, _ in BLOCKS)
    assert len(BLOCKS) >= 5


def example(name, line, code):
    # An example that starts a cluster's worker processes takes seconds: among the first to run.
    slow = [pytest.mark.slow] if "distributed" in code else []
    return pytest.param(name, line, code, id=f"{name}:{line}", marks=slow)


@pytest.mark.parametrize("name, line, code", [example(*block) for block in BLOCKS])
def test_an_example_runs(name, line, code, tmp_path, monkeypatch, native):
    if "distributed" in code and os.environ.get("VEMIRAL_UNDER_SANITIZER"):
        pytest.skip("starts a cluster's worker processes (skipped under the sanitizers)")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, f"{name}:{line}", "exec"), {"__name__": "readme"})


def quoted(page):
    return re.findall(r"^```text\n(.*?)^```", page.read_text(encoding="utf-8"), re.S | re.M)


QUOTING = [page for page in [README, *sorted((ROOT / "docs" / "tutorials").glob("*.md"))] if quoted(page)]


@pytest.mark.parametrize("page", QUOTING, ids=lambda page: page.relative_to(ROOT).as_posix())
def test_the_quoted_figures_are_the_committed_benchmark_output(page):
    # Each ```text block of the README and of the tutorials quotes a benchmark's
    # committed output, line for line, so no figure outlives the run that measured it.
    assert README in QUOTING
    outputs = "\n".join(p.read_text(encoding="utf-8") for p in sorted((ROOT / "bench" / "results").glob("*.txt")))
    for block in quoted(page):
        assert block in outputs, block
