"""Sphinx configuration of the varnex documentation site (`make docs`)."""

import os
import pathlib
import sys

import varnex

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "varnex"
author = "the varnex developers"
copyright = "2026, the varnex developers"
release = varnex.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "native_docstrings",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "**.ipynb_checkpoints"]
# Docstrings write `name` for parameters and attributes, as scikit-learn's do.
default_role = "literal"

autosummary_generate = True
# The estimators' class pages list their own methods through the template; numpydoc
# would list every inherited scikit-learn method again, with references to a user
# guide that is not this one.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

# The site is built offline and loads nothing from elsewhere: no intersphinx, and the
# formulas are written as text rather than rendered by a script from the network.

# Pictures of the user guide and the benchmark page are drawn in the build.
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.constrained_layout.use": True}
plot_working_directory = str(ROOT)

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "gallery_order.ExampleOrder",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "plot_gallery": "True",
    # A failing example fails the build.
    "only_warn_on_example_error": False,
    "abort_on_example_error": True,
}

html_theme = "pydata_sphinx_theme"
html_title = f"varnex {release}"
html_static_path = ["_static"]
html_css_files = ["varnex.css"]
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_sidebars = {"changelog": [], "cite": [], "benchmarks": []}
html_show_sourcelink = False

# Examples and plots run with the native core on one thread each, so the whole build
# stays within a small machine.
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("MPLBACKEND", "Agg")
