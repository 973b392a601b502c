# CPython 3.14 and 3.15 with GCC 16, all from Debian's forky suite: a root
# made with mmdebstrap (installed by the target if missing) on a tmpfs at
# build/forky, the work tree copied into it, then for each interpreter a
# virtual environment, the build and the whole suite (scripts/test-forky.sh).
# The root lives in a mount namespace of the run's own and is unmounted on
# every path; an archive out of reach is said so before anything is built.
#   make test-forky                      both interpreters
#   make test-forky FORKY_PYTHONS=3.15   one of them
# FORKY_MIRROR=http://... picks another Debian mirror.

FORKY_ROOT := build/forky
FORKY_PYTHONS ?= 3.14 3.15

.PHONY: test-forky

test-forky:
	scripts/test-forky.sh $(FORKY_ROOT) $(FORKY_PYTHONS)

CI_EXTRA += test-forky
