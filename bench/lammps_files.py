"""LAMMPS dumps through the io_rs package, in one run with OVITO, MDAnalysis
and lammpsio (each in the peers' interpreter, .venv-peers, timed inside it),
on two generated dumps of about 200 MB:

    (a) one frame of 5 000 000 atoms, `id type x y z`, ids shuffled
    (b) 200 frames of 10 000 atoms, `id type xu yu zu vx vy vz fx fy fz`

    python -m bench.lammps_files [--quick] [--out bench/out]

io_rs.read_lammps_dump from the path (atoms sorted by id, as by default) on
1 and 2 threads, and _io_rs_buffers.read_lammps_dump_frames on the bytes in
memory; going through it (iter_lammps_dump, every frame of
open_lammps_dump) and converting it to extended XYZ as `io-rs convert`
does; OVITO (import_file, then every frame's positions and properties as
arrays, its default threads) on the same files; MDAnalysis and lammpsio,
which read 10 to 50 times slower, on a tenth of each (the first 500 000
atoms of (a), the first 20 frames of (b)), against io_rs on those same
bytes. Every peer's positions of the first and last frames are checked
against io_rs's before the figures count. Then the memory of going through
a dump with iter_lammps_dump and open_lammps_dump (a plain and a gzip file
of 1 GB, the peak resident size beyond the frames handed out), and frame k
of a plain file read alone after one scan. Prints a table and the targets;
writes lammps_files.json. Exits 1 when results differ.
"""

import argparse
import gzip
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import _io_rs_buffers
import io_rs
from io_rs._command.convert import convert as io_rs_convert
from io_rs._lammps import format_lammps_dump

from . import timing

ROOT = Path(__file__).resolve().parent.parent
PEERS = ROOT / ".venv-peers" / "bin" / "python"
# (target, at least)
ONE_CORE_GBS, SECOND_THREAD, OVER_OVITO, OVER_SLOW_PEERS, MEMORY_MB = 1.0, 1.7, 5.0, 30.0, 64


def dump_a(atoms: int, rng: np.random.Generator) -> bytes:
    frame = io_rs.Frame(rng.uniform(0, 100, (atoms, 3)), cell=np.eye(3) * 100,
                        arrays={"id": rng.permutation(atoms) + 1, "type": rng.integers(1, 3, atoms)})
    return format_lammps_dump(frame, decimals=6)


def dump_b(frames: int, atoms: int, rng: np.random.Generator) -> bytes:
    def frame(k: int) -> io_rs.Frame:
        return io_rs.Frame(rng.uniform(0, 50, (atoms, 3)), cell=np.eye(3) * 50, info={"timestep": 100 * k},
                           arrays={"id": rng.permutation(atoms) + 1, "type": rng.integers(1, 3, atoms),
                                   "velocities": rng.normal(0, 1, (atoms, 3)), "forces": rng.normal(0, 1, (atoms, 3))})
    text = format_lammps_dump((frame(k) for k in range(frames)), decimals=6)
    return text.replace(b"ITEM: ATOMS id type x y z ", b"ITEM: ATOMS id type xu yu zu ")


def first_frames(data: bytes, frames: int) -> bytes:
    """The first frames of a dump's bytes."""
    at = -1
    for _ in range(frames + 1):
        at = data.find(b"ITEM: TIMESTEP", at + 1)
        if at < 0:
            return data
    return data[:at]


def peer(name: str, path: Path, tmp: Path) -> dict:
    """A peer's time on a file, timed inside its interpreter, and whether its
    positions of the first and last frames are io_rs's."""
    if not PEERS.exists():
        return {"skipped": "no .venv-peers (make peers)"}
    check = tmp / f"{name}-{path.name}.npz"
    done = subprocess.run([str(PEERS), str(ROOT / "bench" / "lammps_peers.py"), name, str(path), str(check)],
                          capture_output=True, text=True, timeout=3600)
    if done.returncode != 0:
        return {"skipped": f"failed: {done.stderr.strip().splitlines()[-1] if done.stderr.strip() else done.returncode}"}
    seconds = json.loads(done.stdout.splitlines()[-1])["seconds"]
    theirs = np.load(check)
    with io_rs.open_lammps_dump(path) as trajectory:
        ours = [trajectory[0].cartesian_positions(), trajectory[-1].cartesian_positions()]
        frames = len(trajectory)
    if int(theirs["frames"]) != frames:
        agrees = f"{int(theirs['frames'])} frames, io_rs {frames}"
    elif "first" not in theirs:
        agrees = "no positions to compare"
    else:
        # MDAnalysis gives float32 positions from the box's lower corner (0 here).
        tolerance = 1e-6 if theirs["first"].dtype == np.float32 else 0
        same = all(np.allclose(a, b, rtol=tolerance, atol=tolerance * 100) for a, b in
                   zip(ours, (theirs["first"], theirs["last"])))
        agrees = "identical" if same and tolerance == 0 else "equal to float32" if same else "differs"
    return {"seconds": seconds, "check": agrees}


def ours(path: Path, data: bytes, args) -> dict:
    runs = {"io_rs, 1 thread": lambda: io_rs.read_lammps_dump(path, threads=1),
            "io_rs, 2 threads": lambda: io_rs.read_lammps_dump(path, threads=2),
            "C++ call on bytes, 1 thread": lambda: _io_rs_buffers.read_lammps_dump_frames(data, threads=1),
            "io_rs, 1 thread, sort=False": lambda: io_rs.read_lammps_dump(path, threads=1, sort=False),
            # What a user going through a dump does: a window of it at a time.
            "iter_lammps_dump, 1 thread": lambda: sum(1 for _ in io_rs.iter_lammps_dump(path, threads=1)),
            "iter_lammps_dump, 2 threads": lambda: sum(1 for _ in io_rs.iter_lammps_dump(path, threads=2)),
            "open_lammps_dump, every frame": lambda: every_frame_of_open(path),
            # What `io-rs convert` does with a dump, in this process.
            "convert to extended XYZ": lambda: convert(path, path.with_suffix(".extxyz"), quiet=True, force=True,
                                                       from_=None, to=None, selection=None, decimals=None,
                                                       cell=None, options={})}
    timed = timing.measure_together({name: timing.PythonRun(run) for name, run in runs.items()},
                                    min_time=args.min_time, budget=args.budget, min_repeats=5)
    # The fastest of several: bursts of other load on a shared machine
    # spoil some repeats, most of all of the run that needs both cores.
    return {name: {"seconds": t.minimum, "median": t.median} for name, t in timed.items()}


def every_frame_of_open(path: Path) -> int:
    with io_rs.open_lammps_dump(path) as trajectory:
        return sum(1 for _ in trajectory)


def convert(source: Path, target: Path, **options) -> None:
    io_rs_convert([str(source)], str(target), **options)
    target.unlink()


def memory(path: Path, how: str, frames: int) -> dict:
    """Peak resident memory of a process that goes through a dump frame by
    frame, beyond what it holds before (the peak reset just before), less
    the largest frame it held at once."""
    code = ("import io_rs, numpy, sys\n"
            "def status(key):\n"
            "    return int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1])\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "before = status('VmRSS')\n"
            f"path = {str(path)!r}\n"
            f"frames = io_rs.iter_lammps_dump(path) if {how!r} == 'iter' else io_rs.open_lammps_dump(path)\n"
            "count = largest = 0\n"
            "for frame in frames:\n"
            "    count += 1\n"
            "    largest = max(largest, frame.positions.nbytes + sum(a.nbytes for a in frame.arrays.values()))\n"
            "print(count, before, status('VmHWM'), largest)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    count, before, peak, largest = (int(v) for v in done.stdout.split())
    assert count == frames, (count, frames)
    return {"frames": count, "peak_beyond_frames_mb": ((peak - before) * 1024 - largest) / 1e6,
            "largest_frame_mb": largest / 1e6}


def random_access(path: Path) -> dict:
    start = time.perf_counter()
    with io_rs.open_lammps_dump(path) as trajectory:
        scanned = time.perf_counter()
        k = len(trajectory) // 2
        trajectory[k]
        read = time.perf_counter()
        frames = len(trajectory)
    return {"frames": frames, "scan_seconds": scanned - start, "frame_k_seconds": read - scanned}


def large_dump(path: Path, megabytes: int, compressed: bool) -> int:
    """A dump of about `megabytes` MB of 10 000-atom frames, written a frame at a time."""
    rng = np.random.default_rng(4)
    frame = dump_b(1, 10_000, rng)
    count = max(1, megabytes * 1_000_000 // len(frame))
    with (gzip.open(path, "wb", compresslevel=1) if compressed else open(path, "wb")) as out:
        for k in range(count):
            out.write(frame.replace(b"ITEM: TIMESTEP\n0\n", f"ITEM: TIMESTEP\n{k}\n".encode(), 1))
    return count


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--quick", action="store_true", help="small files and short repeats: checks that it all runs")
    p.add_argument("--min-time", type=float, default=0.2)
    p.add_argument("--budget", type=float, default=6.0)
    p.add_argument("--memory-mb", type=int, default=1000, help="size of the dumps gone through for memory")
    args = p.parse_args(argv)
    atoms, frames, frame_atoms = (5_000_000, 200, 10_000) if not args.quick else (100_000, 20, 2_000)
    if args.quick:
        args.min_time, args.budget, args.memory_mb = 0.01, 0.05, 20
    rng = np.random.default_rng(28)
    files = {"a": (f"(a) 1 x {atoms} atoms, id type x y z", dump_a(atoms, rng)),
             "b": (f"(b) {frames} x {frame_atoms} atoms, id type xu yu zu vx vy vz fx fy fz",
                   dump_b(frames, frame_atoms, rng))}
    results: dict = {"files": {}}
    bad = []
    with tempfile.TemporaryDirectory(prefix="io_rs_bench_") as directory:
        tmp = Path(directory)
        for key, (title, data) in files.items():
            path = tmp / f"{key}.dump"
            path.write_bytes(data)
            tenth = first_frames(data, frames // 10) if key == "b" else dump_a(atoms // 10, np.random.default_rng(5))
            tenth_path = tmp / f"{key}-tenth.dump"
            tenth_path.write_bytes(tenth)
            entry = {"title": title, "bytes": len(data), "tenth_bytes": len(tenth), "io_rs": ours(path, data, args),
                     "io_rs on the tenth": ours(tenth_path, tenth, args),
                     "peers": {"ovito": peer("ovito", path, tmp),
                               "mdanalysis": peer("mdanalysis", tenth_path, tmp),
                               "lammpsio": peer("lammpsio", tenth_path, tmp)}}
            bad += [f"{key}: {name}" for name, found in entry["peers"].items() if found.get("check") == "differs"]
            results["files"][key] = entry
            path.unlink()
        plain, zipped = tmp / "large.dump", tmp / "large.dump.gz"
        count = large_dump(plain, args.memory_mb, False)
        large_dump(zipped, args.memory_mb, True)
        results["memory"] = {"dump_mb": plain.stat().st_size / 1e6,
                             "iter, plain": memory(plain, "iter", count), "iter, gzip": memory(zipped, "iter", count),
                             "open, plain": memory(plain, "open", count), "open, gzip": memory(zipped, "open", count)}
        results["random access"] = random_access(plain)
    goals = targets(results)
    print(table(results, goals))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "lammps_files.json").write_text(json.dumps({"results": results, "targets": goals}, indent=1))
    if bad:
        print("\nResults differ:\n  " + "\n  ".join(bad), file=sys.stderr)
        return 1
    return 0


def rate(entry: dict, name: str, tenth: bool = False) -> float:
    """MB/s of a reader on its file."""
    size = entry["tenth_bytes"] if tenth else entry["bytes"]
    if name in entry["peers"]:
        found = entry["peers"][name]
        return size / found["seconds"] / 1e6 if "seconds" in found else float("nan")
    return size / entry["io_rs on the tenth" if tenth else "io_rs"][name]["seconds"] / 1e6


def targets(results: dict) -> list[dict]:
    rows = []

    def row(name, measured, goal, at_least=True):
        rows.append({"target": name, "measured": measured, "goal": goal,
                     "met": measured >= goal if at_least else measured <= goal})
    for key, entry in results["files"].items():
        one, two = rate(entry, "io_rs, 1 thread"), rate(entry, "io_rs, 2 threads")
        row(f"{key}: GB/s on one core", one / 1000, ONE_CORE_GBS)
        row(f"{key}: second thread", two / one, SECOND_THREAD)
        if "seconds" in entry["peers"]["ovito"]:
            row(f"{key}: vs OVITO (2 threads each)", two / rate(entry, "ovito"), OVER_OVITO)
        for name in ("mdanalysis", "lammpsio"):
            if "seconds" in entry["peers"][name]:
                row(f"{key}: vs {name} (a tenth)", rate(entry, "io_rs, 2 threads", True) / rate(entry, name, True),
                    OVER_SLOW_PEERS)
    for name, found in results["memory"].items():
        if isinstance(found, dict):
            row(f"memory: {name}, MB beyond the frames", found["peak_beyond_frames_mb"], MEMORY_MB, at_least=False)
    return rows


def table(results: dict, goals: list[dict]) -> str:
    out = ["LAMMPS dumps, MB/s of dump text (io_rs: fastest of its repeats; peers: one run each)"]
    for entry in results["files"].values():
        out.append(f"\n{entry['title']}  ({entry['bytes'] / 1e6:.0f} MB; a tenth: {entry['tenth_bytes'] / 1e6:.0f} MB)")
        for name in entry["io_rs"]:
            out.append(f"  {name:<34}{rate(entry, name):>9.0f}   on the tenth {rate(entry, name, True):>7.0f}")
        for name, found in entry["peers"].items():
            on = "the tenth" if name != "ovito" else "the file"
            shown = (f"{rate(entry, name, name != 'ovito'):>9.1f}   on {on}, positions {found['check']}"
                     if "seconds" in found else f"  skipped: {found['skipped']}")
            out.append(f"  {name:<34}{shown}")
    memory = results["memory"]
    out.append(f"\nGoing through a dump of {memory['dump_mb']:.0f} MB a frame at a time: peak MB beyond the frames")
    for name, found in memory.items():
        if isinstance(found, dict):
            out.append(f"  {name:<20}{found['peak_beyond_frames_mb']:>8.1f}  (largest frame {found['largest_frame_mb']:.1f} MB)")
    access = results["random access"]
    out.append(f"\nopen_lammps_dump on it: scan {access['scan_seconds']:.2f} s for {access['frames']} frames, "
               f"then frame {access['frames'] // 2} alone in {access['frame_k_seconds'] * 1e3:.1f} ms")
    out.append("\nTargets")
    for g in goals:
        sign = "<=" if "memory" in g["target"] else ">="
        out.append(f"  {'met ' if g['met'] else 'MISS'} {g['target']:<46}{g['measured']:8.2f}  (goal {sign} {g['goal']})")
    return "\n".join(out)


if __name__ == "__main__":
    sys.exit(main())
