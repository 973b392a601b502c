# Interpreter-free C++ tests of the number helpers' fast paths, the owned
# buffers and the parts threads claim.
#   make native-test                  a couple of million values per group (CI)
#   make native-test NATIVE_MILLIONS=50   the long form

NATIVE_MILLIONS ?= 2
NATIVE_BUILD := build/native-tests

.PHONY: native-test

$(NATIVE_BUILD)/build.ninja: $(VENV)/.deps tests/cpp/CMakeLists.txt CMakeLists.txt
	$(VENV)/bin/cmake -S tests/cpp -B $(NATIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null

native-test: $(NATIVE_BUILD)/build.ninja
	$(VENV)/bin/ninja -C $(NATIVE_BUILD) > /dev/null
	$(NATIVE_BUILD)/number_paths_test $(NATIVE_MILLIONS)
	$(NATIVE_BUILD)/owned_buffer_test
	$(NATIVE_BUILD)/claims_test
	$(NATIVE_BUILD)/short_fields_test $(NATIVE_MILLIONS)

CI_EXTRA += native-test
