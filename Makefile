# Two commands do all the set-up on a fresh machine:
#   make test    build the module into .venv and run the test suite
#   make build   only build and install the module
# PYTHON=/path/to/python3.13 picks the interpreter; otherwise scripts/find-python.sh looks.
# Further targets (benchmarks, sanitizers, fuzzing, wheels) live in mk/*.mk.

SHELL := /bin/bash
.DEFAULT_GOAL := build

VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
# Serialises builds that share the CMake build tree.
LOCK := flock $(CURDIR)/.build.lock

# Targets that .ci/run runs after `make test`; fragments append to it.
CI_EXTRA :=

.PHONY: build test ci-extra clean

$(VENV)/.created:
	@py=$$(scripts/find-python.sh 3.13) || exit 1; \
	  echo "creating $(VENV) with $$py"; \
	  "$$py" -m venv $(VENV)
	@touch $@

$(VENV)/.deps: $(VENV)/.created requirements/build.txt requirements/test.txt
	$(PIP) install -q -r requirements/build.txt -r requirements/test.txt
	@touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(LOCK) $(PIP) install -q --no-build-isolation --no-deps .
	@touch $@

build: $(VENV)/.built

test: build
	$(PY) -m pytest -q

clean:
	rm -rf build $(VENV) .build.lock

-include mk/*.mk

ci-extra: $(CI_EXTRA)
