"""Every Python example of the README runs as written (in a folder of its own)."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = [(TEXT.count("\n", 0, m.start()) + 2, m.group(1)) for m in re.finditer(r"^```python\n(.*?)^```", TEXT, re.S | re.M)]


def test_the_readme_has_its_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line-{line}" for line, _ in BLOCKS])
def test_a_readme_example_runs(line, code, tmp_path, monkeypatch, native):
    monkeypatch.chdir(tmp_path)
    exec(compile(code, f"README.md:{line}", "exec"), {"__name__": "readme"})
