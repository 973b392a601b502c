"""The printed tables and the JSON file."""

import json
from pathlib import Path

NAMES = {"module": "_io_rs", "python": "pure Python", "floor": "C++ floor"}


def _ns(t):
    return f"{t['ns_per_atom']:9.1f}  {t['ns_per_atom_min']:8.1f} - {t['ns_per_atom_max']:<8.1f}"


def header(results: dict) -> str:
    env = results["environment"]
    settings = results["settings"]
    return (
        f"Python {env['python']}, NumPy {env['numpy']}, {env['cpus']} CPUs, load average {env['load_average'][0]:.1f} at start.\n"
        f"Per atom, median of 3 to 7 repeats (min - max beside it); pure Python and NumPy make {settings['baseline_calls']}"
        f" of the {settings['calls']} small-block calls.\n"
        "speed-up: baseline time / _io_rs time; module/floor: _io_rs time / the C++ routine's time."
    )


def case_table(case: dict) -> str:
    out = [f"{case['title']}", f"  {'size':<18}{'implementation':<32}{'calls':>6}{'ns/atom':>10}  {'min - max':^19}  speed-up"]
    for size in case["sizes"].values():
        label = size["label"]
        timings = size["timings"]
        for impl in ("module", "python", "numpy", "floor"):
            if impl not in timings:
                continue
            t = timings[impl]
            name = NAMES.get(impl, case["numpy_name"])
            if impl in size.get("speedup", {}):
                note = f"x{size['speedup'][impl]:.1f}"
            elif impl == "floor" and size.get("module_over_floor") is not None:
                note = f"module/floor {size['module_over_floor']:.2f}"
            else:
                note = ""
            out.append(f"  {label:<18}{name:<32}{t['calls']:>6} {_ns(t)}  {note}")
            label = ""
        for impl, verdict in size["checks"].items():
            if verdict != "identical":
                out.append(f"  !! {NAMES.get(impl, case['numpy_name'])} result differs from _io_rs: {verdict}")
    memory = case.get("memory")
    if memory:
        figures = memory["implementations"]
        parts = [f"{NAMES.get(k, 'numpy')} {v['extra_peak_per_atom']:.1f}" for k, v in figures.items()]
        out.append(f"  memory at {memory['atoms']} atoms, extra peak B/atom: " + ", ".join(parts))
        out.append(
            f"    _io_rs {memory['overhead_meaning']}: {memory['module_overhead_per_atom']:.1f}"
            f" (target <= {memory['overhead_target_per_atom']})"
        )
    return "\n".join(out)


def target_table(rows: list[dict]) -> str:
    out = ["Targets", f"  {'':<52}{'measured':>10}{'goal':>10}  verdict"]
    for r in rows:
        sign = ">=" if r["at_least"] else "<="
        measured = "n/a" if r["measured"] is None else f"{r['measured']:.2f}"
        verdict = {True: "met", False: "MISSED", None: "not measured"}[r["met"]]
        out.append(f"  {r['target']:<52}{measured:>10}{sign:>5}{r['goal']:>5}  {verdict}")
    met = sum(r["met"] is True for r in rows)
    out.append(f"  {met} of {len(rows)} met")
    return "\n".join(out)


def write_json(results: dict, path: Path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=2) + "\n")
