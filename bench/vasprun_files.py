"""vasprun.xml through io_rs, side by side in one run with pymatgen-core and
dpdata (the peers, in a process of their own from .venv-peers, timed inside
it), on a run made by repeating the real ionic steps of
../shared/data/vasprun/pymatgen-core_vasprun.bad_random_seed.xml.gz (VASP
6.3 MD, 50 atoms, SCF steps, stress) to 200 MB or more:

    python -m bench.vasprun_files [--quick] [--out bench/out]

Readers from the file's path: io_rs.read_vasprun on 1 and 2 threads,
io_rs.open_vasprun (the steps' table alone), pymatgen-core's Vasprun with
parse_dos, parse_eigen, parse_projected_eigen and parse_potcar_file off, and
dpdata's LabeledSystem(fmt="vasp/xml"); _io_rs_buffers.scan_vasprun on the
bytes in memory (the C++ reading alone). Before timing, the peers' step
counts, forces and energies are checked against io_rs's. Then the peak
memory of iterating the run, plain and gzip-compressed, beyond the
interpreter's. Prints a table and the targets; writes vasprun_files.json.
"""

import argparse
import gzip
import json
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import _io_rs_buffers
import io_rs

from . import timing

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT.parent / "shared" / "data" / "vasprun" / "pymatgen-core_vasprun.bad_random_seed.xml.gz"
PEERS = ROOT / ".venv-peers" / "bin" / "python"
# (what, at least): MB/s on one thread, times the peers, from a second thread.
ONE_THREAD, OVER_PYMATGEN, OVER_DPDATA, SECOND_THREAD, MEMORY_MB = 500.0, 10.0, 20.0, 1.7, 64.0

PEER = """
import json, sys, time, warnings
warnings.simplefilter("ignore")
import numpy as np
peer, path = sys.argv[1], sys.argv[2]
start = time.perf_counter()
if peer == "pymatgen":
    from pymatgen.io.vasp.outputs import Vasprun
    run = Vasprun(path, parse_dos=False, parse_eigen=False, parse_projected_eigen=False, parse_potcar_file=False)
    seconds = time.perf_counter() - start
    steps = run.ionic_steps
    found = {"steps": len(steps), "forces": float(sum(np.sum(s["forces"]) for s in steps)),
             "energy": float(steps[-1]["e_fr_energy"])}
else:
    import dpdata
    system = dpdata.LabeledSystem(path, fmt="vasp/xml")
    seconds = time.perf_counter() - start
    found = {"steps": len(system), "forces": float(np.sum(system["forces"])),
             "energy": float(system["energies"][-1])}
print(json.dumps({"seconds": seconds, **found}))
"""


def make_run(target_bytes: int) -> bytes:
    """The header of the real run, its steps repeated to target_bytes or more, its end."""
    data = gzip.decompress(SOURCE.read_bytes())
    first = data.index(b"<calculation>")
    first = data.rindex(b"\n", 0, first) + 1
    last = data.rindex(b"</calculation>") + len(b"</calculation>\n")
    head, steps, tail = data[:first], data[first:last], data[last:]
    return head + steps * (target_bytes // len(steps) + 1) + tail


def peer_reads(peer: str, path: Path) -> dict | None:
    if not PEERS.exists():
        return None
    done = subprocess.run([str(PEERS), "-c", PEER, peer, str(path)], capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  {peer} failed: {done.stderr.strip().splitlines()[-1] if done.stderr.strip() else '?'}")
        return None
    return json.loads(done.stdout)


def cpu_seconds(run, repeats: int) -> float:
    """The least processor time (every thread's) of a run: with a second
    core free, a run on two threads takes about half of it."""
    least = float("inf")
    for _ in range(repeats):
        before = resource.getrusage(resource.RUSAGE_SELF)
        run()
        after = resource.getrusage(resource.RUSAGE_SELF)
        least = min(least, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return least


def peak_memory(path: Path, code: str) -> int:
    """Peak resident memory a snippet adds to an interpreter that imported io_rs and NumPy."""
    probe = ("import io_rs, numpy\n"
             "def status(field):\n"
             "    return int(next(l for l in open('/proc/self/status') if l.startswith(field)).split()[1])\n"
             "open('/proc/self/clear_refs', 'w').write('5')\n"
             "before = status('VmRSS')\n"
             f"path = {str(path)!r}\n"
             f"{code}\n"
             "print(status('VmHWM') - before)")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    return int(done.stdout) * 1024


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    args = p.parse_args(argv)
    if not SOURCE.exists():
        print(f"\nvasprun.xml: {SOURCE} is absent; nothing to measure")
        return
    size = (8 if args.quick else 210) * 10**6
    min_time, budget = (0.01, 0.1) if args.quick else (0.2, 6.0)
    results, missed = {}, []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "vasprun.xml"
        data = make_run(size)
        path.write_bytes(data)
        megabytes = len(data) / 1e6
        frames = io_rs.read_vasprun(path, threads=1)
        forces = float(sum(np.sum(f.arrays["forces"]) for f in frames))
        assert frames == io_rs.read_vasprun(path, threads=2)
        print(f"\nvasprun.xml: {megabytes:.0f} MB, {len(frames)} ionic steps x {frames[0].natoms} atoms "
              f"(the steps of {SOURCE.name} repeated); load average {os.getloadavg()[0]:.1f} on "
              f"{os.cpu_count()} cores")
        peers = {}
        for peer in ("pymatgen", "dpdata"):
            found = peer_reads(peer, path)
            if found is None:
                continue
            same = found["steps"] == len(frames) and np.isclose(found["forces"], forces, rtol=1e-9) and \
                found["energy"] == frames[-1].info["free_energy"]
            assert same, (peer, found, len(frames), forces)
            peers[peer] = found["seconds"]
        del frames
        runs = {
            "io_rs.read_vasprun, 1 thread": timing.PythonRun(lambda: io_rs.read_vasprun(path, threads=1)),
            "io_rs.read_vasprun, 2 threads": timing.PythonRun(lambda: io_rs.read_vasprun(path, threads=2)),
            "scan_vasprun on bytes, 1 thread": timing.PythonRun(
                lambda: _io_rs_buffers.scan_vasprun(data, values=True, threads=1)),
            "scan_vasprun on bytes, 2 threads": timing.PythonRun(
                lambda: _io_rs_buffers.scan_vasprun(data, values=True, threads=2)),
            "io_rs.open_vasprun (table), 1 thread": timing.PythonRun(
                lambda: len(io_rs.open_vasprun(path, threads=1))),
        }
        timed = timing.measure_together(runs, min_time=min_time, budget=budget, min_repeats=5)
        print(f"{'reader':<40}{'seconds':>10}{'MB/s':>10}{'vs pymatgen':>13}{'vs dpdata':>11}")
        for name, seconds in [*((n, t.minimum) for n, t in timed.items()), *peers.items()]:
            over = [f"{peers[p] / seconds:>12.1f}x" if p in peers else f"{'':>13}" for p in ("pymatgen", "dpdata")]
            print(f"{name:<40}{seconds:>10.3f}{megabytes / seconds:>10.0f}{over[0]}{over[1][1:]}")
            results[name] = {"seconds": seconds, "MB/s": megabytes / seconds}
        one = timed["io_rs.read_vasprun, 1 thread"].minimum
        two = timed["io_rs.read_vasprun, 2 threads"].minimum
        results["second thread"] = one / two
        scan = timed["scan_vasprun on bytes, 1 thread"].minimum / timed["scan_vasprun on bytes, 2 threads"].minimum
        print(f"a second thread: {one / two:.2f}x (the C++ scan alone: {scan:.2f}x)")
        cpu = {t: cpu_seconds(lambda t=t: io_rs.read_vasprun(path, threads=t), 3) for t in (1, 2)}
        results["cpu seconds"] = cpu
        print(f"processor time of read_vasprun: {cpu[1]:.3f} s on 1 thread, {cpu[2]:.3f} s on 2 (every thread's)")
        checks = [(megabytes / one >= ONE_THREAD, f"{ONE_THREAD:.0f} MB/s on one thread"),
                  (one / two >= SECOND_THREAD, f"{SECOND_THREAD}x from a second thread")]
        if "pymatgen" in peers:
            checks.append((peers["pymatgen"] / one >= OVER_PYMATGEN, f"{OVER_PYMATGEN:.0f}x pymatgen-core"))
        if "dpdata" in peers:
            checks.append((peers["dpdata"] / one >= OVER_DPDATA, f"{OVER_DPDATA:.0f}x dpdata"))
        compressed = Path(tmp) / "vasprun.xml.gz"
        with gzip.open(compressed, "wb", compresslevel=1) as out:
            out.write(data)
        del data
        iterate = "count = sum(1 for frame in io_rs.iter_vasprun(path))"
        memory = {"plain": peak_memory(path, iterate), "gzip": peak_memory(compressed, iterate),
                  "open, every step": peak_memory(path, "with io_rs.open_vasprun(path) as f:\n"
                                                        "    count = sum(1 for frame in f)")}
        for name, peak in memory.items():
            print(f"iterating the run ({name}): peak memory {peak / 1e6:.1f} MB beyond the interpreter's")
            checks.append((peak / 1e6 <= MEMORY_MB, f"{MEMORY_MB:.0f} MB iterating ({name})"))
        results["memory"] = memory
        results["peers"] = peers
    missed = [what for ok, what in checks if not ok]
    if missed and not args.quick:
        print(f"below target: {', '.join(missed)} (a shared machine's load moves these figures)")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "vasprun_files.json").write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
