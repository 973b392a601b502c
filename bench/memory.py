"""Extra peak memory of one call on the whole block, per implementation.

tracemalloc cannot see what C++ allocates, so each measurement runs in a
fresh interpreter (bench/memory_probe.py) that reads its resident size from
/proc; a probe that does the same set-up without the call is subtracted.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

from .cases import Case

# Beyond its result arrays, a reader may keep at most this much per line
# (say, a pointer and a length); copying the lines would need far more.
PARSE_OVERHEAD_TARGET = 16

# A fixed mmap threshold makes every large block fresh pages, so memory the
# set-up freed cannot quietly absorb part of the call's peak. Both probes of
# a case run with it.
PROBE_ENV = {"MALLOC_MMAP_THRESHOLD_": "131072", "MALLOC_TRIM_THRESHOLD_": "131072"}


def probe(case: Case, implementation: str, inputs: list[Path], root: Path) -> dict:
    command = [sys.executable, "-m", "bench.memory_probe", case.key, implementation, *map(str, inputs)]
    done = subprocess.run(command, cwd=root, env=os.environ | PROBE_ENV, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe {case.key} {implementation} failed: {done.stderr.strip()}")
    return json.loads(done.stdout)


def measure(case: Case, inputs: list[Path], root: Path, implementations=("module", "python", "numpy")) -> dict:
    baseline = probe(case, "none", inputs, root)
    atoms = baseline["atoms"]
    figures = {}
    for name in implementations:
        got = probe(case, name, inputs, root)
        if got["peak_reset"] and baseline["peak_reset"]:
            extra_kib = (got["peak_kib"] - got["before_kib"]) - (baseline["peak_kib"] - baseline["before_kib"])
        else:
            extra_kib = got["peak_kib"] - baseline["peak_kib"]
        extra = extra_kib * 1024
        figures[name] = {
            "extra_peak_bytes": extra,
            "extra_peak_per_atom": extra / atoms,
            "result_bytes": got["result_bytes"],
            "result_per_atom": got["result_bytes"] / atoms,
            "text_bytes": got.get("text_bytes"),
        }
    module = figures["module"]
    if case.parse:
        # Beyond the arrays (and symbols) returned: the copy the lines must not get.
        expected = module["result_bytes"]
        target = PARSE_OVERHEAD_TARGET
        meaning = "extra peak beyond the result, bytes per line"
    else:
        # The output text and the str made from it are both alive at the copy.
        # Reserved room that is never written is never resident, so the
        # text counts as long as what was written.
        expected = module["result_bytes"] + module["text_bytes"]
        target = 0
        meaning = "extra peak beyond the output text and the returned str, bytes per atom"
    overhead = (module["extra_peak_bytes"] - expected) / atoms
    return {
        "atoms": atoms,
        "implementations": figures,
        "module_expected_bytes": expected,
        "module_overhead_per_atom": overhead,
        "overhead_target_per_atom": target,
        "overhead_meaning": meaning,
        "peak_reset": baseline["peak_reset"],
    }
