# Static checks, apart from the test suite (no module code is exercised).
#   make lint   the stubs installed beside the modules and consistent with
#               them (stubtest), and mypy --strict on typed callers, the
#               examples and the io_rs package, wrong calls each drawing
#               their error (tools/check_stubs.py)

.PHONY: lint

lint: build
	$(PY) tools/check_stubs.py

CI_EXTRA += lint
