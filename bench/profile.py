"""Where the floor spends its time for one routine: the floor program under
callgrind (instructions per function) or perf stat (cycles, cache and branch
misses), on the benchmark's 100 000-atom block.

    python -m bench.profile --floor build/bench-native/io_rs_floor --routine parse_xyz [--tool perf]
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

from . import floor
from .cases import CASES, Block

ROOT = Path(__file__).resolve().parent.parent


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--floor", type=Path, required=True)
    p.add_argument("--routine", default="parse_poscar_sd", choices=[c.key for c in CASES])
    p.add_argument("--tool", default="callgrind", choices=("callgrind", "perf"))
    p.add_argument("--atoms", type=int, default=100_000)
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    args = p.parse_args(argv)

    program = "valgrind" if args.tool == "callgrind" else "perf"
    if shutil.which(program) is None:
        sys.exit(f"bench.profile: {program} is not installed (apt-get install {'valgrind' if program == 'valgrind' else 'linux-perf'})")
    inputs = floor.write_inputs(Block(args.atoms), args.out / "data")[args.routine]
    # One untimed pass and one timed run: enough for the counts, short under valgrind.
    command = [str(args.floor), args.routine, str(args.atoms), "1", "1", "1", *map(str, inputs)]
    if args.tool == "perf":
        events = "task-clock,cycles,instructions,branches,branch-misses,cache-references,cache-misses"
        return subprocess.run(["perf", "stat", "-e", events, *command]).returncode
    profile = args.out / f"callgrind.{args.routine}.out"
    done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", *command], stderr=subprocess.DEVNULL)
    if done.returncode != 0:
        return done.returncode
    annotated = subprocess.run(["callgrind_annotate", "--threshold=98", str(profile)], capture_output=True, text=True)
    print("\n".join(annotated.stdout.splitlines()[:60]))
    print(f"\nfull profile: {profile} (kcachegrind or callgrind_annotate)")
    return annotated.returncode


if __name__ == "__main__":
    sys.exit(main())
