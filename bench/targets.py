"""The goals the figures are read against. Reported, never asserted: a
benchmark on a shared two-core machine is a measurement, not a test."""

BIG = "n100000"
SMALL = "b64"

PARSE_VS_PYTHON = 20.0
PARSE_VS_NUMPY = 5.0
PARSE_VS_NUMPY_XDATCAR = 3.0
FORMAT_VS_PYTHON = 20.0
FORMAT_VS_NUMPY = 25.0
SMALL_VS_PYTHON = 8.0
MODULE_OVER_FLOOR = 1.3


def _row(name, measured, goal, at_least=True):
    met = None if measured is None else (measured >= goal if at_least else measured <= goal)
    return {"target": name, "measured": measured, "goal": goal, "at_least": at_least, "met": met}


def evaluate(results: dict) -> list[dict]:
    rows = []
    for key, case in results["cases"].items():
        big = case["sizes"].get(BIG, {})
        small = case["sizes"].get(SMALL, {})
        speed = big.get("speedup", {})
        at = f"at {big.get('atoms_per_call', '?')}"
        if key.startswith("parse_"):
            rows.append(_row(f"{key}: vs pure Python {at}", speed.get("python"), PARSE_VS_PYTHON))
            goal = PARSE_VS_NUMPY_XDATCAR if key == "parse_xdatcar" else PARSE_VS_NUMPY
            rows.append(_row(f"{key}: vs numpy.loadtxt {at}", speed.get("numpy"), goal))
        else:
            rows.append(_row(f"{key}: vs pure Python {at}", speed.get("python"), FORMAT_VS_PYTHON))
            rows.append(_row(f"{key}: vs numpy.savetxt {at}", speed.get("numpy"), FORMAT_VS_NUMPY))
        rows.append(_row(f"{key}: vs pure Python, {small.get('atoms_per_call', '?')}-atom blocks", small.get("speedup", {}).get("python"), SMALL_VS_PYTHON))
        rows.append(_row(f"{key}: module/floor {at}", big.get("module_over_floor"), MODULE_OVER_FLOOR, at_least=False))
        memory = case.get("memory")
        if memory:
            unit = "B/line" if key.startswith("parse_") else "B/atom"
            rows.append(
                _row(f"{key}: memory beyond result ({unit})", memory["module_overhead_per_atom"], memory["overhead_target_per_atom"], at_least=False)
            )
    return rows
