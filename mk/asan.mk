# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the test suite run against it by .venv's interpreter with the sanitizer
# runtimes preloaded. The sanitized module has its own CMake tree and is
# installed into its own directory (build/asan/site, put first on the path);
# the module in .venv is never touched.
#   make asan         the whole suite (tests/)
#   make asan-quick   the suite without its slowest tests (CI; about 1.5 minutes
#                     with the build)
# ASAN_PYTEST_ARGS="tests/test_x.py -k y" narrows a full run.

ASAN_DIR := build/asan
ASAN_SITE := $(ASAN_DIR)/site
# The compiler that builds the module, whose runtimes are preloaded.
ASAN_CXX ?= g++
ASAN_PYTEST_ARGS ?= tests
# Left out of the quick form: the long differential loops, which the fuzz
# harnesses cover under the same sanitizers.
ASAN_QUICK_ARGS ?= tests \
  -k "not every_code_point and not fields_match_exact_formatting and not generated_texts_match_float"

# The interpreter is not instrumented, so the ASan runtime must be loaded
# first; UBSan's runtime comes with it.
ASAN_PRELOAD = $(shell $(ASAN_CXX) -print-file-name=libasan.so) $(shell $(ASAN_CXX) -print-file-name=libubsan.so)
# detect_leaks=0: the interpreter keeps much of what it allocates until the
#   process ends, and LeakSanitizer would report all of it. Leaks of the
#   module are checked by the fuzz harnesses (LeakSanitizer on every input)
#   and by tests/test_leaks.py (reference counts, traced and resident memory).
# allocator_may_return_null=1: tests ask for outputs that cannot fit in memory
#   and expect MemoryError; ASan would otherwise end the process.
# max_allocation_size_mb: such requests are refused at once, without trying
#   to map terabytes (ASan prints one warning line for each refusal).
# quarantine_size_mb=16: freed memory is still held back (use after free is
#   caught), but not the default 256 MB, which the suite's tests that watch
#   the resident size would take for a leak.
# PYTHONMALLOC=malloc: every Python object comes from malloc, so a reference
#   dropped once too often is a use after free that ASan reports, instead of
#   a silent reuse inside a pymalloc arena.
# IO_RS_SANITIZED=1 tells tests/test_leaks.py to skip its resident-size checks.
ASAN_ENV = LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONPATH=$(CURDIR)/$(ASAN_SITE) PYTHONMALLOC=malloc \
  IO_RS_SANITIZED=1 \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=65536:quarantine_size_mb=16 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Sanitizer reports go to file descriptor 2: capture only Python's sys.stderr,
# so that a report stays visible when it ends the process mid-test.
ASAN_PYTEST = $(ASAN_ENV) $(PY) -m pytest -q --capture=sys -p no:cacheprovider

.PHONY: asan asan-quick asan-build

$(ASAN_DIR)/.built: $(VENV)/.deps $(SOURCES)
	CXX=$(ASAN_CXX) $(PIP) install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
	  -C cmake.define.IO_RS_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=$(ASAN_DIR)/cmake .
	$(ASAN_ENV) $(PY) -c 'import _io_rs, sys; assert _io_rs.__file__.startswith("$(CURDIR)/$(ASAN_SITE)"), _io_rs.__file__'
	@touch $@

asan-build: $(ASAN_DIR)/.built

asan: asan-build
	$(ASAN_PYTEST) $(ASAN_PYTEST_ARGS)

asan-quick: asan-build
	$(ASAN_PYTEST) $(ASAN_QUICK_ARGS)

CI_EXTRA += asan-quick

.PHONY: clean-asan
clean-asan:
	rm -rf $(ASAN_DIR)
clean: clean-asan
