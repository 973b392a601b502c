# Benchmark of the six functions against the pure Python loop a host package
# would run, NumPy's text routines, and the same C++ routines with no
# interpreter (the floor program in bench/native); then whole files from their
# bytes (bench/whole_file.py) against the line-split path, pandas and NumPy;
# then the io_rs package on the same files (bench/package_files.py); LAMMPS
# dumps against OVITO, MDAnalysis and lammpsio (bench/lammps_files.py); then the
# readers on 1 and 2 threads against pyarrow and polars, and the memory of
# iterating a large compressed trajectory (bench/threads.py); then iteration,
# random access and io-rs convert against the whole read, quiet and with a
# process spinning on one core (bench/iteration.py); then vasprun.xml against
# pymatgen-core and dpdata on a run of 200 MB (bench/vasprun_files.py); then
# OUTCARs against dpdata and pymatgen-core (bench/outcar_files.py).
#   make bench           the full run, under two minutes: tables on stdout,
#                        bench/out/results.json and bench/out/speedups.png
#   make bench-quick     tiny sizes and short repeats: it all runs and every
#                        baseline gives the module's results (CI)
#   make bench-profile   the floor program under callgrind for one routine:
#                        BENCH_ROUTINE=parse_xyz, BENCH_TOOL=perf for perf stat
# BENCH_ARGS passes options to bench/run.py (see `$(PY) -m bench.run --help`).

BENCH_BUILD := build/bench-native
BENCH_FLOOR := $(BENCH_BUILD)/io_rs_floor
# The floor's build tree is ours alone, but two people may run bench at once.
BENCH_LOCK := flock $(CURDIR)/build/bench-native.lock
BENCH_ARGS ?=
BENCH_ROUTINE ?= parse_poscar_sd
BENCH_TOOL ?= callgrind

.PHONY: bench bench-quick bench-floor bench-profile

# After the build, never beside it: two pip runs in one environment at once
# (make -j) could trip over each other.
$(VENV)/.bench-deps: $(VENV)/.deps requirements/bench.txt | $(VENV)/.built
	$(PIP) install -q -r requirements/bench.txt
	@touch $@

$(BENCH_BUILD)/build.ninja: $(VENV)/.deps bench/native/CMakeLists.txt CMakeLists.txt
	@mkdir -p build
	$(BENCH_LOCK) $(VENV)/bin/cmake -S bench/native -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null

# Ninja tracks the program's sources and io_rs_core's; a run with nothing to
# do costs nothing.
bench-floor: $(BENCH_BUILD)/build.ninja
	$(BENCH_LOCK) $(VENV)/bin/ninja -C $(BENCH_BUILD) > /dev/null

bench: build $(VENV)/.bench-deps bench-floor
	$(PY) -m bench.run --floor $(BENCH_FLOOR) $(BENCH_ARGS)
	$(PY) -m bench.whole_file
	$(PY) -m bench.package_files
	$(PY) -m bench.extxyz_files
	$(PY) -m bench.lammps_files
	$(PY) -m bench.threads
	$(PY) -m bench.iteration
	$(PY) -m bench.vasprun_files
	$(PY) -m bench.outcar_files

bench-quick: build $(VENV)/.bench-deps bench-floor
	$(PY) -m bench.run --quick --floor $(BENCH_FLOOR) --out build/bench-quick > build/bench-quick.txt
	$(PY) -m bench.whole_file --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.package_files --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.extxyz_files --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.lammps_files --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.threads --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.iteration --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.vasprun_files --quick --out build/bench-quick >> build/bench-quick.txt
	$(PY) -m bench.outcar_files --quick --out build/bench-quick >> build/bench-quick.txt
	@echo "bench-quick: all cases ran and agreed; tables in build/bench-quick.txt"

bench-profile: build bench-floor
	$(PY) -m bench.profile --floor $(BENCH_FLOOR) --routine $(BENCH_ROUTINE) --tool $(BENCH_TOOL)

CI_EXTRA += bench-quick

.PHONY: clean-bench
clean-bench:
	rm -rf bench/out
clean: clean-bench
