# Mutation testing: what each test is worth. tools/mutants.py applies the
# one-line faults listed in tools/mutants.toml, one at a time, to copies of the
# checkout (build/mutants/work-*), rebuilds the module there incrementally and
# runs the whole suite against it; a fault the suite does not notice survives.
#   make mutants   every mutant, a table per area, the survivors, and the
#                  report in build/mutants/report.json
# MUTANTS_ARGS passes options through (`$(PY) tools/mutants.py --help`), e.g.
#   make mutants MUTANTS_ARGS="--jobs 2 --area binding conversion"
#   make mutants MUTANTS_ARGS="--jobs 2 --compare tools/mutants-baseline.json"
# the second exits non-zero when a mutant the baseline killed is no longer
# killed. Each survivor costs a full suite run, so ci-extra leaves it out.

MUTANTS_ARGS ?=

.PHONY: mutants clean-mutants

mutants: build
	$(PY) tools/mutants.py $(MUTANTS_ARGS)

clean-mutants:
	rm -rf build/mutants
clean: clean-mutants
