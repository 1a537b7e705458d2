"""Sphinx configuration of the tallyforge documentation (make docs)."""

from __future__ import annotations

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import tallyforge  # noqa: E402  (the installed module: the examples and figures call it)

project = "tallyforge"
author = "The tallyforge developers"
copyright = "the tallyforge developers, MIT licence"
release = version = tallyforge.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.doctest",
    "stubref",  # the reference, generated from the stub package's docstrings
    "figures",  # the figures, drawn at build time by calling the module
    "pylinks",  # references to Python's own names, resolved without a network
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated/*.txt"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# Every reference must resolve, and every warning fails the build (make docs passes -W -n).
nitpicky = True

html_theme = "furo"
html_title = f"tallyforge {release}"
html_static_path: list[str] = []
html_last_updated_fmt = None
html_copy_source = False

# The examples run as doctests (sphinx-build -b doctest): the same names as in a user's
# session after the import lines that the pages show once.
doctest_global_setup = """
import sys
import tallyforge
from tallyforge import Account, Category, LineType
"""
import doctest  # noqa: E402

doctest_default_flags = doctest.ELLIPSIS  # exception texts and notes are compared in full
