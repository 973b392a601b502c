"""The speed-up chart: per case and size, how many times faster the module
is than pure Python and than NumPy, with the C++ floor's speed-up over pure
Python as the ceiling the module could reach."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display on the benchmark machines
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from . import targets  # noqa: E402


def _ceiling(size):
    t = size["timings"]
    if "floor" not in t or "python" not in t:
        return None
    return t["python"]["ns_per_atom"] / t["floor"]["ns_per_atom"]


def draw(results: dict, path: Path):
    cases = list(results["cases"].values())
    size_keys = list(next(iter(cases))["sizes"]) if cases else []
    fig, axes = plt.subplots(len(size_keys), 1, figsize=(11, 4.2 * len(size_keys)), squeeze=False)
    for ax, size_key in zip(axes[:, 0], size_keys):
        xs = range(len(cases))
        sizes = [c["sizes"][size_key] for c in cases]
        width = 0.38
        for shift, impl, label, colour in ((-width / 2, "python", "vs pure Python", "#3b75af"), (width / 2, "numpy", "vs NumPy text routines", "#ef8636")):
            values = [s.get("speedup", {}).get(impl) or 0 for s in sizes]
            bars = ax.bar([x + shift for x in xs], values, width, label=label, color=colour)
            ax.bar_label(bars, fmt="%.0f", fontsize=7, padding=1)
        ceilings = [_ceiling(s) for s in sizes]
        ax.scatter([x - width / 2 for x, c in zip(xs, ceilings) if c], [c for c in ceilings if c], marker="_", s=400, color="black", label="C++ floor vs pure Python", zorder=3)
        goal = targets.SMALL_VS_PYTHON if size_key == targets.SMALL else targets.PARSE_VS_PYTHON
        ax.axhline(goal, color="grey", linestyle=":", linewidth=1, label=f"goal vs pure Python ({goal:g}x)")
        ax.set_yscale("log")
        # Bars start at 1x (no faster); headroom above keeps the legend clear of them.
        tallest = max([v for s in sizes for v in (s.get("speedup") or {}).values()] + [c or 0 for c in ceilings] + [goal])
        ax.set_ylim(1, tallest * 8)
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.set_ylabel("speed-up (times faster)")
        ax.set_title(sizes[0]["label"] if sizes else size_key)
        ax.set_xticks(list(xs), [c["key"] for c in cases], rotation=20, ha="right", fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.25)
        ax.legend(fontsize=8, loc="upper left", ncols=2)
    fig.suptitle("_io_rs speed-up, medians of repeated runs in one process")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
