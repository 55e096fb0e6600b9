"""Sphinx configuration of vemiral's documentation site.

Built by the test suite (tests/test_docs.py) with warnings as errors, once as
HTML and once as doctest, which runs every example of the pages and of the
docstrings. By hand: sphinx-build -W -b html docs build/docs.
"""

import importlib.metadata

project = "vemiral"
author = "the vemiral developers"
copyright = author
try:
    release = importlib.metadata.version("vemiral")
except importlib.metadata.PackageNotFoundError:
    release = "unknown"
version = release

extensions = [
    "myst_parser",  # the pages are Markdown, as the README
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",  # Google-style Args:/Returns:/Raises: sections
    "sphinx.ext.doctest",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
# Pieces that pages include.
exclude_patterns = ["_build", "float32-figures.md"]

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "undoc-members": False}
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# Every example runs in the doctest build: in the pages ({doctest} blocks) and
# in the docstrings (>>> blocks).
doctest_test_doctest_blocks = "default"
doctest_global_setup = """
import numpy as np
import vemiral as vm
from vemiral_grid import Grid
"""

# Furo, made for API documentation: the page follows the window's width, and a
# code block or table wider than the page scrolls inside it.
html_theme = "furo"
html_title = f"vemiral {release}"
html_static_path = []
