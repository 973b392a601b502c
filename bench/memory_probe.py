"""Child process of bench/memory.py: loads one case's inputs from the files
written for the floor program, then reports the resident memory before one
call on the whole block and the peak during it, as JSON on stdout.

    python -m bench.memory_probe CASE IMPLEMENTATION INPUT...

IMPLEMENTATION "none" does the same set-up without the call: the baseline
that cancels what the probe itself costs.
"""

import gc
import json
import sys

import numpy as np

from .cases import CASES


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak() -> bool:
    """Lowers the peak resident size to the current one (Linux 4.0 and
    later), so that the set-up's own peak cannot hide the call's."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def load_arguments(key: str, inputs: list[str]):
    if key.startswith("parse_"):
        with open(inputs[0], encoding="utf-8") as f:
            lines = f.readlines()
        return (lines, key == "parse_poscar_sd") if key.startswith("parse_poscar") else (lines,)
    if key == "format_xyz":
        with open(inputs[0], encoding="utf-8") as f:
            symbols = f.read().splitlines()
        return symbols, np.fromfile(inputs[1], dtype=np.float64).reshape(-1, 3)
    coords = np.fromfile(inputs[0], dtype=np.float64).reshape(-1, 3)
    if key == "format_poscar_sd":
        return coords, np.fromfile(inputs[1], dtype=np.bool_).reshape(-1, 3)
    return (coords, 1) if key == "format_xdatcar" else (coords,)


def result_bytes(result) -> int:
    """What the result itself holds: array data, and each distinct Python
    object once (the module shares equal symbol strings)."""
    seen = set()
    total = 0

    def visit(obj):
        nonlocal total
        if id(obj) in seen:
            return
        seen.add(id(obj))
        if isinstance(obj, np.ndarray):
            total += obj.nbytes + sys.getsizeof(obj) if obj.base is not None else sys.getsizeof(obj)
            return
        total += sys.getsizeof(obj)
        if isinstance(obj, (tuple, list)):
            for item in obj:
                visit(item)

    visit(result)
    return total


def main(argv):
    key, implementation, *inputs = argv
    case = next(c for c in CASES if c.key == key)
    arguments = load_arguments(key, inputs)
    call = None if implementation == "none" else case.implementations()[implementation]
    gc.collect()
    reset = reset_peak()
    before = status_kib("VmRSS")
    result = call(*arguments) if call else None
    peak = status_kib("VmHWM")
    report = {"before_kib": before, "peak_kib": peak, "peak_reset": reset, "atoms": len(arguments[0])}
    if call:
        report["result_bytes"] = result_bytes(result)
        if isinstance(result, str):
            report["text_bytes"] = len(result.encode("utf-8"))
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1:])
