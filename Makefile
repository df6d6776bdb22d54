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

.PHONY: demo test bench sanitize test-matrix clean

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

clean:
	rm -rf $(VENV) build $(ASAN_VENV) build-asan build-matrix .venv-oldest .venv-newest
