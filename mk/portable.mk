# The module and the C++ number test built with IO_RS_PORTABLE_ARITHMETIC:
# every 128-bit product and shift from 64-bit halves in standard C++, as on a
# compiler without unsigned __int128 (MSVC). The module has its own CMake tree
# and is installed into its own directory (build/portable/site, put first on
# the path); the module in .venv is never touched.
#   make test-portable   the C++ number test, then the whole suite

PORTABLE_DIR := build/portable
PORTABLE_SITE := $(PORTABLE_DIR)/site

.PHONY: test-portable portable-native-test

$(PORTABLE_DIR)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps --upgrade --target $(PORTABLE_SITE) \
	  -C cmake.define.IO_RS_PORTABLE_ARITHMETIC=ON -C build-dir=$(PORTABLE_DIR)/cmake .
	PYTHONPATH=$(CURDIR)/$(PORTABLE_SITE) $(PY) -c \
	  'import _io_rs; assert _io_rs.__file__.startswith("$(CURDIR)/$(PORTABLE_SITE)"), _io_rs.__file__'
	@touch $@

portable-native-test: $(VENV)/.deps
	$(VENV)/bin/cmake -S tests/cpp -B $(PORTABLE_DIR)/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DIO_RS_PORTABLE_ARITHMETIC=ON -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null
	$(VENV)/bin/ninja -C $(PORTABLE_DIR)/native > /dev/null
	$(PORTABLE_DIR)/native/number_paths_test $(NATIVE_MILLIONS)
	$(PORTABLE_DIR)/native/owned_buffer_test

test-portable: portable-native-test $(PORTABLE_DIR)/.built
	PYTHONPATH=$(CURDIR)/$(PORTABLE_SITE) $(PY) -m pytest -q -p no:cacheprovider

CI_EXTRA += test-portable

.PHONY: clean-portable
clean-portable:
	rm -rf $(PORTABLE_DIR)
clean: clean-portable
