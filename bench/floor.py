"""The floor: the same C++ routines timed by bench/native's program on the
same data. This side writes the data as the program reads it (lines as in
the file, arrays as raw C-ordered bytes) and collects its JSON."""

import json
import os
import subprocess
from pathlib import Path

import numpy as np

from .cases import Block, Case, Size


def write_inputs(block: Block, directory: Path) -> dict[str, list[Path]]:
    """Input files per case key."""
    directory.mkdir(parents=True, exist_ok=True)

    def save_text(name, lines):
        path = directory / name
        path.write_bytes("".join(lines).encode("utf-8"))
        return path

    def save_array(name, array):
        path = directory / name
        np.ascontiguousarray(array).tofile(path)
        return path

    lines = {kind: save_text(f"{kind}.txt", block.lines[kind]) for kind in block.lines}
    return {
        "parse_poscar": [lines["poscar"]],
        "parse_poscar_sd": [lines["poscar_sd"]],
        "parse_xdatcar": [lines["xdatcar"]],
        "parse_xyz": [lines["xyz"]],
        "format_poscar": [save_array("poscar.f64", block.poscar[0])],
        "format_poscar_sd": [save_array("poscar_sd.f64", block.poscar_sd[0]), save_array("poscar_sd.u8", block.poscar_sd[1])],
        "format_xdatcar": [save_array("xdatcar.f64", block.xdatcar)],
        "format_xyz": [save_text("xyz_symbols.txt", [s + "\n" for s in block.xyz[0]]), save_array("xyz.f64", block.xyz[1])],
    }


class FloorRun:
    """The floor program as one of the runs timing.measure_together takes
    turns with: each repeat is one invocation, which loads the data, makes
    every call once untimed, then times NUMBER runs."""

    def __init__(self, program: Path, case: Case, size: Size, inputs: list[Path]):
        self.command = [str(program), case.key, str(size.atoms_per_call), str(size.calls)]
        self.inputs = [str(p) for p in inputs]

    def _invoke(self, number: int, repeats: int, env=None) -> dict:
        done = subprocess.run(
            self.command + [str(number), str(repeats)] + self.inputs, capture_output=True, text=True, check=False, env=env
        )
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(self.command)} failed: {done.stderr.strip()}")
        return json.loads(done.stdout)

    def calibrate(self, min_time: float) -> tuple[int, float]:
        got = self._invoke(0, 0, env=os.environ | {"IO_RS_FLOOR_MIN_TIME": str(min_time)})
        return got["number"], got["elapsed"]

    def sample(self, number: int) -> float:
        return self._invoke(number, 1)["per_run"][0]
