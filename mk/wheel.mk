# The wheel, built and tested the way a user gets it.
#   make wheel   build the sdist and, from it, the wheel into dist/; check what
#                the wheel holds; install it into a fresh environment and run
#                the test suite against it, away from the source tree
#   make wheel-config
#                check that the cibuildwheel configuration in pyproject.toml
#                selects exactly the release wheels listed below
# Nothing here touches .venv or build/cp3*: the front end builds in an isolated
# environment from the unpacked sdist, and the checks use build/wheel-*.

WHEEL_TOOLS := build/wheel-tools
WHEEL_VENV := build/wheel-venv
WHEEL_RUN := build/wheel-run
WHEEL_LIST := build/wheel-contents.txt

# Every file in the wheel must match one of these; each must match at least once.
WHEEL_FILES := \
  '^_io_rs\.cpython-[^/]+\.so$$' \
  '^_io_rs_buffers\.cpython-[^/]+\.so$$' \
  '^_io_rs-stubs/__init__\.pyi$$' \
  '^_io_rs_buffers-stubs/__init__\.pyi$$' \
  '^io_rs/[^/]+\.py$$' \
  '^io_rs/_command/[^/]+\.py$$' \
  '^io_rs/py\.typed$$' \
  '^io_rs-[^/]+\.dist-info/licenses/LICENSE$$' \
  '^io_rs-[^/]+\.dist-info/licenses/third_party/fast_float/LICENSE$$' \
  '^io_rs-[^/]+\.dist-info/licenses/third_party/fmt/LICENSE$$' \
  '^io_rs-[^/]+\.dist-info/(METADATA|WHEEL|RECORD|entry_points\.txt)$$'

.PHONY: wheel wheel-build wheel-contents wheel-test wheel-config clean-wheel

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
	@# Each module exports its PyInit function and nothing else.
	@rm -rf build/wheel-symbols && mkdir -p build/wheel-symbols && cd build/wheel-symbols && \
	  $(CURDIR)/$(WHEEL_TOOLS)/bin/python -m zipfile -e $(CURDIR)/dist/io_rs-*.whl . && \
	  for so in *.so; do \
	    extra=$$(nm -D --defined-only "$$so" | awk '$$2 !~ /^[a-z]$$/ && $$3 !~ /^PyInit_/'); \
	    [ -z "$$extra" ] || { echo "$$so exports more than its PyInit function:"; echo "$$extra"; exit 1; }; \
	  done

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

# The release wheels, per platform. The x86_64 and aarch64 Linux runners each
# build their own architecture, so the Linux list asks for both; macOS and
# Windows name their architectures in the configuration.
WHEEL_PYTHONS := cp312 cp313 cp314 cp315
WHEEL_IDS_linux := $(foreach p,manylinux_x86_64 manylinux_aarch64 musllinux_x86_64,$(WHEEL_PYTHONS:%=%-$(p)))
WHEEL_IDS_macos := $(foreach p,macosx_arm64 macosx_x86_64,$(WHEEL_PYTHONS:%=%-$(p)))
WHEEL_IDS_windows := $(WHEEL_PYTHONS:%=%-win_amd64)
WHEEL_ARCHS_linux := --archs x86_64,aarch64

# Listing the wheels needs neither Docker nor the other systems.
wheel-config: $(WHEEL_TOOLS)/.created
	@$(foreach p,linux macos windows,\
	  diff <(printf '%s\n' $(WHEEL_IDS_$(p)) | sort) \
	    <($(WHEEL_TOOLS)/bin/cibuildwheel --print-build-identifiers --platform $(p) $(WHEEL_ARCHS_$(p)) | sort) \
	    || { echo "cibuildwheel selects other $(p) wheels: < expected, > selected"; exit 1; };)
	@echo "wheel-config: $(words $(WHEEL_IDS_linux) $(WHEEL_IDS_macos) $(WHEEL_IDS_windows)) wheels, as expected"

clean-wheel:
	rm -rf $(WHEEL_TOOLS) $(WHEEL_VENV) $(WHEEL_RUN) $(WHEEL_LIST) dist/io_rs-*
clean: clean-wheel

CI_EXTRA += wheel wheel-config
