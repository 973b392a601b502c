"""VASP OUTCARs through io_rs, side by side in one run with dpdata and
pymatgen-core on the same bytes.

The run is made from a real one: the header of
../shared/data/outcar/custodian_npt_common_OUTCAR (MD, ISIF=3, 84 atoms),
then its ionic steps repeated (their iteration lines numbered on) to at
least 200 MB, then its closing accounting.

    python -m bench.outcar_files [--quick] [--out bench/out]

Timed on one thread from the file's path: io_rs.read_outcar, dpdata's
LabeledSystem(..., fmt="vasp/outcar") and pymatgen-core's Outcar (each peer
in a subprocess of /work/main/.venv-peers, timed there); pymatgen-core, a
few MB/s, on a run a tenth as large, which io_rs also reads. The C++ alone: one
call of _io_rs_buffers.scan_outcar_steps on the bytes in memory, on 1 and 2
threads, with the tables and without (the scan that open_outcar makes). Then
the peak memory of iter_outcar over the run gzip-compressed and of
open_outcar with random access on a run ten times as large. Before timing,
dpdata's energies, forces and coordinates must be io_rs's. Prints a table and
the targets; writes outcar_files.json. Skipped where ../shared/data is absent.
"""

import argparse
import gzip
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import _io_rs_buffers
import io_rs

from . import timing

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT.parent / "shared" / "data" / "outcar" / "custodian_npt_common_OUTCAR"
PEERS = ROOT / ".venv-peers" / "bin" / "python"
# Targets: GB/s on one core, times dpdata, speed-up from a second thread, MB held.
GBPS, OVER_DPDATA, TWO_THREADS, MEMORY_MB = 2.0, 25.0, 1.7, 64


def make_run(path: Path, megabytes: float) -> int:
    """Writes a run of at least `megabytes` MB; returns its steps."""
    text = SOURCE.read_bytes()
    start = text.rindex(b"\n", 0, text.index(b"-- Iteration")) + 1
    end = text.rindex(b"\n", 0, text.rindex(b"\n", 0, text.index(b"General timing"))) + 1
    steps = re.split(rb"(?m)(?=^-+ Iteration +\d+\(   1\))", text[start:end])
    steps = [step for step in steps if step]
    pattern = re.compile(rb"Iteration +(\d+)\(")
    number, size = 0, 0
    with open(path, "wb") as out:
        out.write(text[:start])
        while size < megabytes * 1e6:
            for step in steps:
                number += 1
                width = 4 if number < 10_000 else 6
                chunk = pattern.sub(b"Iteration " + str(number).rjust(width).encode() + b"(", step)
                out.write(chunk)
                size += len(chunk)
        out.write(text[end:])
    return number


PEER_CODE = {
    "dpdata": ("import dpdata; s = dpdata.LabeledSystem(path, fmt='vasp/outcar')\n"
               "result = {k: np.asarray(s[k])[::max(1, len(s) // 7)].tolist() for k in ('energies', 'forces', 'coords',"
               " 'cells')}"),
    "pymatgen": ("from pymatgen.io.vasp.outputs import Outcar; o = Outcar(path)\n"
                 "result = [o.final_fr_energy, o.final_energy_wo_entrp, o.final_energy]"),
}


def peer(name: str, path: Path) -> tuple[float, object]:
    """Seconds the peer takes on the file, timed in its own interpreter, and what it read."""
    code = ("import json, sys, time, warnings\nwarnings.simplefilter('ignore')\nimport numpy as np\n"
            f"path = {str(path)!r}\nstart = time.perf_counter()\n{PEER_CODE[name]}\n"
            "seconds = time.perf_counter() - start\nprint(json.dumps([seconds, result]))")
    done = subprocess.run([str(PEERS), "-c", code], capture_output=True, text=True, check=True)
    seconds, result = json.loads(done.stdout.strip().splitlines()[-1])
    return seconds, result


def peak_memory(code: str) -> int:
    """Peak resident memory of a fresh interpreter running code, beyond what
    it holds after importing io_rs and NumPy (Linux: VmHWM after clear_refs)."""
    probe = ("import io_rs, numpy\n"
             "def status(key):\n"
             "    return int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1])\n"
             "open('/proc/self/clear_refs', 'w').write('5')\nbefore = status('VmRSS')\n"
             f"{code}\nprint(status('VmHWM') - before)")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1]) * 1024


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    args = p.parse_args(argv)
    if not SOURCE.exists():
        print(f"\nOUTCAR: {SOURCE} is absent; skipped")
        return
    megabytes = 4 if args.quick else 200
    min_time, budget = (0.005, 0.05) if args.quick else (0.05, 4.0)
    results, missed = {}, []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "OUTCAR"
        steps = make_run(path, megabytes)
        size = path.stat().st_size
        data = path.read_bytes()
        frames = io_rs.read_outcar(path, threads=1)
        assert len(frames) == steps and frames[-1].info["step"] == steps
        print(f"\nOUTCAR: {size / 1e6:.0f} MB, {steps} steps of {frames[0].natoms} atoms "
              f"(steps of {SOURCE.name} repeated); one thread unless said\n")
        # pymatgen-core reads some MB/s: it gets a run a tenth as large, and
        # io_rs is timed on that one too.
        small = Path(tmp) / "OUTCAR.small"
        make_run(small, megabytes / 10)
        small_frames = io_rs.read_outcar(small, threads=1)
        # The peers read these bytes right: their values must be ours.
        peers = {}
        if PEERS.exists():
            for name in PEER_CODE:
                seconds, got = peer(name, path if name == "dpdata" else small)
                if name == "dpdata":
                    # dpdata turns the cell lower triangular: what no rotation changes.
                    picks = frames[::max(1, len(frames) // 7)]
                    assert got["energies"] == [f.info["free_energy"] for f in picks]
                    cells = np.array([f.cell for f in picks])
                    theirs = np.array(got["cells"])
                    assert np.allclose(np.array([f.positions for f in picks]) @ np.linalg.inv(cells),
                                       np.array(got["coords"]) @ np.linalg.inv(theirs), atol=1e-9)
                    assert np.allclose(np.array([f.arrays["forces"] for f in picks]) @ cells.transpose(0, 2, 1),
                                       np.array(got["forces"]) @ theirs.transpose(0, 2, 1), atol=1e-9)
                else:
                    last = small_frames[-1].info
                    assert got == [last["free_energy"], last["energy_without_entropy"], last["energy"]]
                peers[name] = seconds
        del frames
        runs = {
            "read_outcar": timing.PythonRun(lambda: io_rs.read_outcar(path, threads=1)),
            "read_outcar, a tenth": timing.PythonRun(lambda: io_rs.read_outcar(small, threads=1)),
            "scan with tables": timing.PythonRun(lambda: _io_rs_buffers.scan_outcar_steps(data, tables=True)),
            "scan alone": timing.PythonRun(lambda: _io_rs_buffers.scan_outcar_steps(data)),
        }
        # The fastest of several: on a shared machine other load falls on some runs.
        timed = timing.measure_together(runs, min_time=min_time, budget=budget, min_repeats=5,
                                        max_repeats=5 if args.quick else 31)
        # Threads: the fastest of many runs of each, since bursts of other
        # load on a shared machine fall on the run that needs both cores most
        # (as bench/threads.py measures the other readers).
        thread_runs = {}
        for name, call in (("read_outcar", lambda t: io_rs.read_outcar(path, threads=t)),
                           ("scan with tables", lambda t: _io_rs_buffers.scan_outcar_steps(data, tables=True,
                                                                                          threads=t)),
                           ("scan alone", lambda t: _io_rs_buffers.scan_outcar_steps(data, threads=t))):
            for t in (1, 2):
                thread_runs[f"{name}, {t} thread{'s' if t > 1 else ''}"] = timing.PythonRun(lambda t=t, c=call: c(t))
        threaded = timing.measure_together(thread_runs, min_time=min_time, budget=0.05 if args.quick else 4.0,
                                           min_repeats=5, max_repeats=5 if args.quick else 61)
        print(f"{'reader':<34}{'ms':>10}{'GB/s':>8}{'io_rs faster':>14}")
        sizes = {"read_outcar, a tenth": small.stat().st_size, "pymatgen": small.stat().st_size}
        for name, t in timed.items():
            bytes_read = sizes.get(name, size)
            results[name] = {"seconds": t.minimum, "median": t.median, "gbps": bytes_read / t.minimum / 1e9}
            print(f"{'io_rs ' + name if name.startswith('read') else name:<34}{t.minimum * 1e3:>10.1f}"
                  f"{bytes_read / t.minimum / 1e9:>8.2f}")
        one = timed["read_outcar"].minimum
        for name, seconds in peers.items():
            ours = one if name == "dpdata" else timed["read_outcar, a tenth"].minimum
            bytes_read = sizes.get(name, size)
            results[name] = {"seconds": seconds, "gbps": bytes_read / seconds / 1e9, "io_rs_speedup": seconds / ours}
            print(f"{name + (' (a tenth)' if name in sizes else ''):<34}{seconds * 1e3:>10.1f}"
                  f"{bytes_read / seconds / 1e9:>8.3f}{seconds / ours:>13.1f}x")
        speedups = {name: threaded[f"{name}, 1 thread"].minimum / threaded[f"{name}, 2 threads"].minimum
                    for name in ("read_outcar", "scan with tables", "scan alone")}
        print(f"\n{'1 against 2 threads':<34}{'1 ms':>10}{'2 ms':>8}{'speed-up':>14}")
        for name, value in speedups.items():
            one_ms, two_ms = (threaded[f"{name}, {t}"].minimum * 1e3 for t in ("1 thread", "2 threads"))
            results[f"{name}, speed-up"] = value
            print(f"{name:<34}{one_ms:>10.1f}{two_ms:>8.1f}{value:>13.2f}x")
        checks = [(size / one / 1e9 >= GBPS, f"read_outcar {GBPS} GB/s on one core"),
                  (speedups["scan with tables"] >= TWO_THREADS, f"{TWO_THREADS}x from a second thread")]
        if "dpdata" in peers:
            checks.append((peers["dpdata"] / one >= OVER_DPDATA, f"{OVER_DPDATA}x dpdata"))

        # Memory: iteration over the run compressed, and random access to a
        # run ten times as large (open scans it a window at a time).
        packed = Path(tmp) / "OUTCAR.gz"
        with gzip.open(packed, "wb", compresslevel=1) as out:
            out.write(data)
        del data
        iterated = peak_memory(f"sum(1 for _ in io_rs.iter_outcar({str(packed)!r}))")
        large = Path(tmp) / "OUTCAR.large"
        large_steps = make_run(large, megabytes * 10)
        opened = peak_memory(f"t = io_rs.open_outcar({str(large)!r})\n"
                             f"[t[k] for k in (0, {large_steps // 2}, -1)]\nassert len(t) == {large_steps}")
        for name, held, what in (("iter_outcar, gzip", iterated, f"{size / 1e6:.0f} MB decompressed"),
                                 ("open_outcar, 3 steps read", opened, f"{large.stat().st_size / 1e6:.0f} MB")):
            results[name] = {"peak_extra_bytes": held, "file": what}
            print(f"{name:<34}{held / 1e6:>10.1f} MB held beyond the interpreter ({what})")
            checks.append((held <= MEMORY_MB * 1e6, f"{name} within {MEMORY_MB} MB"))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "outcar_files.json").write_text(json.dumps(results, indent=2))
    missed = [what for ok, what in checks if not ok]
    if missed and not args.quick:
        print(f"targets missed: {'; '.join(missed)}")


if __name__ == "__main__":
    main()
