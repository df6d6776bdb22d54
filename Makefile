# `make demo` and `make test` set everything up from a fresh clone: the virtual
# environment, the build and test dependencies, and an editable build of the package
# (the native modules are rebuilt on import when their sources change).

VENV   := .venv
PYTHON := $(VENV)/bin/python
BUILD_REQUIREMENTS := 'meson-python>=0.15' 'meson>=1.4' ninja 'numpy>=2.0'

.PHONY: demo test bench clean

demo: $(VENV)/.installed
	$(PYTHON) -m varnex demo

test: $(VENV)/.installed
	$(VENV)/bin/pytest

bench: $(VENV)/.installed
	$(PYTHON) benchmarks/run.py

$(PYTHON):
	python=$$(sh tools/find-python) && "$$python" -m venv $(VENV)

$(VENV)/.build-requirements: pyproject.toml | $(PYTHON)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet $(BUILD_REQUIREMENTS)
	touch $@

$(VENV)/.installed: $(VENV)/.build-requirements meson.build pyproject.toml
	$(PYTHON) -m pip install --quiet --no-build-isolation -Cbuild-dir=build -e '.[test]'
	touch $@

clean:
	rm -rf $(VENV) build
