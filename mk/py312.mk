# CPython 3.12 with NumPy 1.26: the oldest interpreter and NumPy the package
# supports. The module is built against NumPy 2 headers, as every wheel is,
# and then run against NumPy 1.26, so the suite goes through the numpy.core
# branch of the module's lazy NumPy import.
#   make test-py312   set up .venv-py312, build, run the whole suite
#   make ci-py312     the same, or a skip message when no CPython 3.12 is found
# PYTHON312=/path/to/python3.12 picks the interpreter (PYTHON names the 3.13 one).

VENV312 := .venv-py312
PY312 := $(VENV312)/bin/python
PIP312 := $(PY312) -m pip --disable-pip-version-check
FIND_PY312 := PYTHON="$(PYTHON312)" scripts/find-python.sh 3.12

.PHONY: test-py312 ci-py312

$(VENV312)/.created:
	@py=$$($(FIND_PY312)) || exit 1; \
	  echo "creating $(VENV312) with $$py"; \
	  "$$py" -m venv $(VENV312)
	@# 3.13's venv writes this itself; keep git status clean on 3.12 too.
	@echo '*' > $(VENV312)/.gitignore
	@touch $@

$(VENV312)/.deps: $(VENV312)/.created requirements/build.txt requirements/test.txt requirements/numpy1.txt
	$(PIP312) install -q -r requirements/build.txt -r requirements/test.txt
	@touch $@

# Build with NumPy 2 in place (a rebuild brings it back first), then swap in
# NumPy 1.26 for running. The CMake tree is build/cp312-*, apart from .venv's.
$(VENV312)/.built: $(VENV312)/.deps $(SOURCES) $(wildcard stubs/*/*.pyi)
	$(PIP312) install -q -r requirements/build.txt
	$(LOCK) $(PIP312) install -q --no-build-isolation --no-deps .
	$(PIP312) install -q -r requirements/numpy1.txt
	@touch $@

test-py312: $(VENV312)/.built
	$(PY312) -c 'import numpy; assert numpy.__version__.startswith("1.26"), numpy.__version__'
	$(PY312) -m pytest -q

ci-py312:
	@if $(FIND_PY312) >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory test-py312; \
	else \
	  echo "ci-py312: skipped, no CPython 3.12 on this machine"; \
	fi

CI_EXTRA += ci-py312

.PHONY: clean-py312
clean-py312:
	rm -rf $(VENV312)
clean: clean-py312
