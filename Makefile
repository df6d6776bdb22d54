# `make demo` and `make test` set everything up from a fresh clone: the virtual
# environment, the build and test dependencies, and an editable build of the package
# (the native modules are rebuilt on import when their sources change).

VENV   := .venv
PYTHON := $(VENV)/bin/python
BUILD_REQUIREMENTS := 'meson-python>=0.15' 'meson>=1.4' ninja 'numpy>=2.0'

# `make sanitize`: the same, in .venv-asan with its own build directory, the native
# code built with AddressSanitizer and UndefinedBehaviorSanitizer. Every UBSan finding
# is fatal (-fno-sanitize-recover), as every ASan one is, so a report fails the run.
ASAN_VENV   := .venv-asan
ASAN_PYTHON := $(ASAN_VENV)/bin/python
ASAN_SETUP  := -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_sanitize=address,undefined \
               "-Csetup-args=-Dcpp_args=-fno-omit-frame-pointer -fno-sanitize-recover=undefined"

# `make docs`: the documentation site in docs/_build/html, built in .venv-docs on the
# newest Python here (3.13 or later, which the pinned Sphinx needs) with the package
# installed editable over its own build directory, so .venv and build/ stay as they
# are. Warnings are errors. `make docs-check` renders pages in headless Chromium.
DOCS_VENV   := .venv-docs
DOCS_PYTHON := $(DOCS_VENV)/bin/python
DOCS_HTML   := docs/_build/html

.PHONY: demo test bench sanitize test-matrix clean docs docs-check

demo: $(VENV)/.installed
	$(PYTHON) -m varnex demo

test: $(VENV)/.installed
	$(VENV)/bin/pytest

bench: $(VENV)/.installed
	$(PYTHON) benchmarks/run.py

sanitize: $(ASAN_VENV)/.installed
	bash tools/run-sanitized $(ASAN_VENV) build-asan

# Python 3.10 with the oldest NumPy, SciPy and scikit-learn that pyproject.toml
# accepts, then the newest Python here with the newest releases.
test-matrix: $(VENV)/.build-requirements
	sh tools/test-matrix

$(PYTHON):
	python=$$(sh tools/find-python) && "$$python" -m venv $(VENV)

$(VENV)/.build-requirements: pyproject.toml | $(PYTHON)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet $(BUILD_REQUIREMENTS)
	touch $@

$(VENV)/.installed: $(VENV)/.build-requirements meson.build pyproject.toml
	$(PYTHON) -m pip install --quiet --no-build-isolation -Cbuild-dir=build -e '.[test]'
	touch $@

$(ASAN_PYTHON):
	python=$$(sh tools/find-python) && "$$python" -m venv $(ASAN_VENV)

$(ASAN_VENV)/.build-requirements: pyproject.toml | $(ASAN_PYTHON)
	$(ASAN_PYTHON) -m pip install --quiet --upgrade pip
	$(ASAN_PYTHON) -m pip install --quiet $(BUILD_REQUIREMENTS)
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.build-requirements meson.build pyproject.toml
	$(ASAN_PYTHON) -m pip install --quiet --no-build-isolation -Cbuild-dir=build-asan $(ASAN_SETUP) -e '.[test]'
	touch $@

docs: $(DOCS_VENV)/.installed
	rm -rf docs/_build docs/generated docs/auto_examples
	cd docs && ../$(DOCS_PYTHON) -m sphinx -W --keep-going -b html -d _build/doctrees . _build/html

docs-check: $(DOCS_VENV)/.installed
	$(DOCS_PYTHON) tools/check-docs $(DOCS_HTML)

$(DOCS_PYTHON):
	python=$$(sh tools/find-newest-python) && "$$python" -c 'import sys; sys.exit(sys.version_info < (3, 13))' \
	    || { echo "make docs needs Python 3.13 or later" >&2; exit 1; }; "$$python" -m venv $(DOCS_VENV)

$(DOCS_VENV)/.installed: docs/requirements.txt meson.build pyproject.toml | $(DOCS_PYTHON)
	$(DOCS_PYTHON) -m pip install --quiet --upgrade pip
	$(DOCS_PYTHON) -m pip install --quiet -r docs/requirements.txt
	$(DOCS_PYTHON) -m pip install --quiet --no-build-isolation --no-deps -Cbuild-dir=build-docs -e .
	touch $@

clean:
	rm -rf $(VENV) build $(ASAN_VENV) build-asan build-matrix .venv-oldest .venv-newest
	rm -rf $(DOCS_VENV) build-docs docs/_build docs/generated docs/auto_examples
