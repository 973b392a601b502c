# The module built as on macOS: clang with LLVM's own standard library,
# libc++, instead of GCC's libstdc++. Debian's clang 19 and libc++ 19 are
# installed by the target itself; the module goes into an environment of its
# own (.venv-clang, a CMake tree in build/clang), where the whole suite runs,
# and the C++ number test runs against libc++'s to_chars as its general path.
#   make test-clang   install the toolchain if missing, build, run the suite
# A compile of every source against libc++ 16 (Debian's oldest with
# std::expected) follows, so that nothing newer than the oldest libc++ a
# supported Xcode ships (17) slips in.

CLANG_LLVM ?= 19
CLANG_FLOOR_LLVM ?= 16
CLANG_CXX := clang++-$(CLANG_LLVM)
VENV_CLANG := .venv-clang
PY_CLANG := $(VENV_CLANG)/bin/python
PIP_CLANG := $(PY_CLANG) -m pip --disable-pip-version-check
CLANG_BUILD := build/clang
CLANG_ENV = CXX=$(CLANG_CXX) CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++

.PHONY: test-clang clang-tools clang-native-test clang-floor-compile

# Installs one LLVM's clang and libc++ from Debian when they are missing.
llvm_packages = clang-$(1) libc++-$(1)-dev libc++abi-$(1)-dev
define install_llvm
	@command -v clang++-$(1) >/dev/null && dpkg -s libc++-$(1)-dev libc++abi-$(1)-dev >/dev/null 2>&1 || { \
	  echo "installing clang-$(1) and libc++ $(1)"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq $(call llvm_packages,$(1)) >/dev/null; }
endef

clang-tools:
	$(call install_llvm,$(CLANG_LLVM))

$(VENV_CLANG)/.created:
	@py=$$(scripts/find-python.sh 3.13) || exit 1; "$$py" -m venv $(VENV_CLANG)
	@touch $@

$(VENV_CLANG)/.deps: $(VENV_CLANG)/.created requirements/build.txt requirements/test.txt
	$(PIP_CLANG) install -q -r requirements/build.txt -r requirements/test.txt
	@touch $@

$(VENV_CLANG)/.built: $(VENV_CLANG)/.deps $(SOURCES) $(wildcard stubs/*/*.pyi) | clang-tools
	$(CLANG_ENV) $(PIP_CLANG) install -q --no-build-isolation --no-deps -C build-dir=$(CLANG_BUILD)/module .
	@# The module must really link libc++, not the system's libstdc++.
	@so=$$($(PY_CLANG) -c 'import _io_rs; print(_io_rs.__file__)'); \
	  ldd "$$so" | grep -q 'libc++\.so' && ! ldd "$$so" | grep -q libstdc++ || { echo "$$so does not link libc++ alone"; ldd "$$so"; exit 1; }
	@touch $@

clang-native-test: clang-tools $(VENV)/.deps
	$(CLANG_ENV) $(VENV)/bin/cmake -S tests/cpp -B $(CLANG_BUILD)/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null
	$(VENV)/bin/ninja -C $(CLANG_BUILD)/native > /dev/null
	$(CLANG_BUILD)/native/number_paths_test 1
	$(CLANG_BUILD)/native/owned_buffer_test

# Compile only: every source of the module against the headers of libc++
# $(CLANG_FLOOR_LLVM), with the clang of that release. Its headers are taken
# out of Debian's package rather than installed, since one libc++ runtime
# replaces the other.
CLANG_FLOOR := $(CLANG_BUILD)/libcxx$(CLANG_FLOOR_LLVM)
CLANG_FLOOR_CXX := clang++-$(CLANG_FLOOR_LLVM)

$(CLANG_FLOOR)/.extracted:
	@command -v $(CLANG_FLOOR_CXX) >/dev/null || { \
	  echo "installing clang-$(CLANG_FLOOR_LLVM)"; export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq clang-$(CLANG_FLOOR_LLVM) >/dev/null; }
	rm -rf $(CLANG_FLOOR) && mkdir -p $(CLANG_FLOOR)/debs
	cd $(CLANG_FLOOR)/debs && { apt-get download -qq libc++-$(CLANG_FLOOR_LLVM)-dev libc++abi-$(CLANG_FLOOR_LLVM)-dev 2>/dev/null || \
	  { apt-get update -qq && apt-get download -qq libc++-$(CLANG_FLOOR_LLVM)-dev libc++abi-$(CLANG_FLOOR_LLVM)-dev; }; }
	for deb in $(CLANG_FLOOR)/debs/*.deb; do dpkg-deb -x $$deb $(CLANG_FLOOR)/root; done
	@touch $@

clang-floor-compile: $(CLANG_FLOOR)/.extracted $(VENV)/.deps
	@includes="-Isrc -isystem third_party/fast_float/include -isystem third_party/fmt/include \
	  -isystem $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') \
	  -isystem $$($(PY) -c 'import numpy; print(numpy.get_include())')"; \
	  for source in $$(find src -name '*.cpp' | sort); do \
	    $(CLANG_FLOOR_CXX) -std=c++2b -fsyntax-only -Wall -Wextra -nostdinc++ \
	      -isystem $(CLANG_FLOOR)/root/usr/lib/llvm-$(CLANG_FLOOR_LLVM)/include/c++/v1 $$includes $$source || exit 1; \
	  done
	@echo "clang-floor-compile: every source compiles against libc++ $(CLANG_FLOOR_LLVM)"

test-clang: $(VENV_CLANG)/.built clang-native-test clang-floor-compile
	$(PY_CLANG) -m pytest -q -p no:cacheprovider

CI_EXTRA += test-clang

.PHONY: clean-clang
clean-clang:
	rm -rf $(VENV_CLANG) $(CLANG_BUILD)
clean: clean-clang
