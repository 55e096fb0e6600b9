"""The documentation: the site builds with warnings as errors, its examples and the
docstrings' run (Sphinx doctest), and the README stays a short front page whose
links lead somewhere."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="runs Sphinx in processes (skipped under the sanitizers)"
)
@pytest.mark.parametrize("builder", ["html", "doctest"])
def test_the_site_builds_without_a_warning(builder, tmp_path):
    pytest.importorskip("sphinx")
    pytest.importorskip("myst_parser")
    pytest.importorskip("furo")
    done = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", builder, str(ROOT / "docs"), str(tmp_path)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, done.stdout[-5000:] + done.stderr[-5000:]
    if builder == "html":
        pages = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*.html")}
        assert {"index.html", "reference/native.html", "reference/grid.html", "tutorials/data.html",
                "accuracy.html", "performance.html", "scale-out.html", "internals.html"} <= pages
        api = (tmp_path / "reference" / "grid.html").read_text()
        assert "vemiral_grid.zarrstore.to_zarr" in api and "resume" in api  # from the docstrings
    else:
        summary = (tmp_path / "output.txt").read_text()
        tests = sum(int(n) for n in re.findall(r"^\s*(\d+) tests", summary, re.M))
        assert tests > 50 and "0 failures in tests" in summary, summary[-3000:]


def test_the_readme_is_short_and_its_links_lead_somewhere():
    text = (ROOT / "README.md").read_text()
    assert len(text.splitlines()) < 200
    links = re.findall(r"\]\(([^)#\s]+)", text)
    local = [link for link in links if "://" not in link]
    assert local and all((ROOT / link).exists() for link in local), local
