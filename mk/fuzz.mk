# libFuzzer harnesses for the interpreter-free routines (fuzz/), built with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer.
#   make fuzz         every harness for FUZZ_SECONDS (60) seconds
#   make fuzz-quick   every harness for a few seconds from the seed corpus (CI)
#   make fuzz-build   only build them, into fuzz/out/build
# The harnesses are number_read, parse, format, threads, lammps, vasprun and outcar; FUZZ_HARNESSES="number_read
# parse" picks some. Findings are kept in fuzz/out/<run>/artifacts/<harness>/;
# rerun one with
#   fuzz/out/build/<harness>_fuzz <artifact file>

# clang 16 is the oldest Debian clang whose C++23 support covers the
# std::expected of the system's libstdc++.
FUZZ_LLVM ?= 16
FUZZ_CXX ?= clang++-$(FUZZ_LLVM)
FUZZ_SECONDS ?= 60
FUZZ_QUICK_SECONDS ?= 5
FUZZ_HARNESSES ?=
FUZZ_BUILD := fuzz/out/build

.PHONY: fuzz fuzz-quick fuzz-build fuzz-tools

fuzz-tools:
	@command -v $(FUZZ_CXX) >/dev/null && dpkg -s libclang-rt-$(FUZZ_LLVM)-dev >/dev/null 2>&1 || { \
	  echo "installing clang-$(FUZZ_LLVM) and its sanitizer and fuzzer runtimes"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq clang-$(FUZZ_LLVM) libclang-rt-$(FUZZ_LLVM)-dev >/dev/null; }

fuzz-build: fuzz-tools $(VENV)/.deps
	$(VENV)/bin/cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) fuzz/out/long $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

# A fresh working corpus each time, so that the run depends on the seeds only.
fuzz-quick: fuzz-build
	rm -rf fuzz/out/quick
	fuzz/run.sh $(FUZZ_BUILD) fuzz/out/quick $(FUZZ_QUICK_SECONDS) $(FUZZ_HARNESSES)

CI_EXTRA += fuzz-quick

.PHONY: clean-fuzz
clean-fuzz:
	rm -rf fuzz/out
clean: clean-fuzz
