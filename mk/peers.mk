# The peers (pymatgen-core, dpdata, lxml, OVITO, MDAnalysis, lammpsio) in an
# environment of their own, .venv-peers: benchmarks run them there, in
# subprocesses, on the same bytes as io_rs; oracle tests run them there when
# it exists and skip otherwise.
#   make peers     create or update .venv-peers
PEERS_VENV ?= .venv-peers

.PHONY: peers

$(PEERS_VENV)/.created: requirements/peers.txt
	@py=$$(scripts/find-python.sh 3.13) || exit 1; \
	  [ -x $(PEERS_VENV)/bin/python ] || "$$py" -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/python -m pip --disable-pip-version-check install -q -r requirements/peers.txt
	@touch $@

peers: $(PEERS_VENV)/.created
