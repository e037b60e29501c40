# Sphinx configuration of the documentation site: the README and docs/ as
# one static HTML site (`bash scripts/run.sh docs`, into build/docs/html).
# The source folder is the root of the repository, so that the README and
# the pages link to each other, to examples/ and to the changelog with the
# same relative links that work when the files are read on their own.
import frasolet

project = "frasolet"
release = version = frasolet.__version__
copyright = "the frasolet authors"

extensions = ["myst_parser", "sphinx.ext.autodoc"]
myst_heading_anchors = 4
source_suffix = {".md": "markdown"}
root_doc = "docs/index"
# Only these are pages; everything else in the tree is not.
include_patterns = ["README.md", "CHANGELOG.md", "docs/*.md"]
# Doctests are written as `>>>` blocks; show them as Python.
highlight_language = "python3"

autodoc_default_options = {"members": True, "special-members": False, "undoc-members": True}
autodoc_member_order = "bysource"

# Furo: a maintained theme that lays pages out for a laptop and for a phone
# (the sidebar folds into a menu on narrow screens). scripts/check_docs_pages.py
# checks every built page at both widths.
html_theme = "furo"
html_title = f"frasolet {release}"
html_show_sourcelink = False
# The site opens at its root: a page that sends the browser to docs/index.
html_extra_path = ["_extra"]  # relative to this folder
