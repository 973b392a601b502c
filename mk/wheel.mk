# The wheel, built and tested the way a user gets it.
#   make wheel   build the sdist and, from it, the wheel into dist/; check what
#                the wheel holds; install it into a fresh environment and run
#                the test suite against it, away from the source tree
# Nothing here touches .venv or build/cp3*: the front end builds in an isolated
# environment from the unpacked sdist, and the checks use build/wheel-*.

WHEEL_TOOLS := build/wheel-tools
WHEEL_VENV := build/wheel-venv
WHEEL_RUN := build/wheel-run
WHEEL_LIST := build/wheel-contents.txt

# Every file in the wheel must match one of these; each must match at least once.
WHEEL_FILES := \
  '^_io_rs\.cpython-[^/]+\.so$$' \
  '^_io_rs-stubs/__init__\.pyi$$' \
  '^io_rs-[^/]+\.dist-info/licenses/LICENSE$$' \
  '^io_rs-[^/]+\.dist-info/(METADATA|WHEEL|RECORD)$$'

.PHONY: wheel wheel-build wheel-contents wheel-test clean-wheel

# The module's install carries the stubs, so .venv is refreshed when they change.
$(VENV)/.built: $(wildcard stubs/*/*.pyi)

$(WHEEL_TOOLS)/.created: requirements/wheel.txt
	@py=$$(scripts/find-python.sh 3.13) || exit 1; \
	  rm -rf $(WHEEL_TOOLS) && "$$py" -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install -q --disable-pip-version-check -r requirements/wheel.txt
	@touch $@

wheel-build: $(WHEEL_TOOLS)/.created
	rm -f dist/io_rs-*
	$(WHEEL_TOOLS)/bin/python -m build --outdir dist .

wheel-contents: wheel-build
	@$(WHEEL_TOOLS)/bin/python -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep="\n")' \
	  dist/io_rs-*.whl > $(WHEEL_LIST)
	@for pattern in $(WHEEL_FILES); do \
	  grep -Eq "$$pattern" $(WHEEL_LIST) || { echo "wheel lacks a file matching $$pattern"; exit 1; }; \
	done
	@if grep -Ev $(foreach p,$(WHEEL_FILES),-e $(p)) $(WHEEL_LIST); then \
	  echo "wheel holds the unexpected files above"; exit 1; \
	fi
	@echo "wheel contents: $$(wc -l < $(WHEEL_LIST)) files, as expected"

# pytest runs from an empty directory, so `import _io_rs` finds the wheel's
# module; the tests themselves are read from the checkout.
wheel-test: wheel-contents
	@py=$$(scripts/find-python.sh 3.13) || exit 1; \
	  rm -rf $(WHEEL_VENV) $(WHEEL_RUN) && "$$py" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --disable-pip-version-check dist/io_rs-*.whl -r requirements/test.txt
	mkdir -p $(WHEEL_RUN)
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -c \
	  'import sys, _io_rs; assert _io_rs.__file__.startswith(sys.prefix), _io_rs.__file__; print("testing", _io_rs.__file__)'
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests

wheel: wheel-test

clean-wheel:
	rm -rf $(WHEEL_TOOLS) $(WHEEL_VENV) $(WHEEL_RUN) $(WHEEL_LIST) dist/io_rs-*
clean: clean-wheel

CI_EXTRA += wheel
