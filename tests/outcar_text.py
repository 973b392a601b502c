"""OUTCARs for the tests: synthetic runs written in VASP's own layouts (its
fixed-width Fortran formats), and a plain Python reading of an OUTCAR's
text (float() of every printed number) that the readers are held to."""

from __future__ import annotations

import re
from dataclasses import dataclass, field

import numpy as np

KB = 1602.1766208
DASHES = " " + "-" * 83


@dataclass
class Step:
    """One ionic step to write: values rounded as VASP prints them."""

    positions: np.ndarray
    forces: np.ndarray
    cell: np.ndarray
    stress: np.ndarray  # kB: XX YY ZZ XY YZ ZX
    energies: tuple[float, float, float]  # TOTEN, without entropy, sigma->0
    ml: bool = False
    table: bool = True  # NWRITE=0 prints the tables of some steps only
    printed: str = "stress energies"  # what else the step prints (ISIF=0: no stress)


def random_steps(count: int, natoms: int, seed: int = 0, ml_every: int = 0) -> list[Step]:
    rng = np.random.default_rng(seed)
    steps = []
    for k in range(count):
        cell = np.diag(rng.uniform(8, 12, 3)) + rng.uniform(-0.5, 0.5, (3, 3))
        steps.append(Step(rng.uniform(0, 9, (natoms, 3)), rng.normal(0, 1, (natoms, 3)), cell,
                          rng.normal(0, 20, 6), tuple(rng.uniform(-300, -100, 3)),
                          ml=bool(ml_every) and k % ml_every == 0))
    return steps


def _fixed(values, width: int, decimals: int) -> str:
    """Fortran's Fw.d: right-aligned, asterisks where the value does not fit."""
    out = []
    for value in values:
        text = f"{value:{width}.{decimals}f}"
        out.append("*" * width if len(text) > width else text)
    return "".join(out)


def header(species=("O", "H"), counts=(2, 4), nions: int | None = None, version: str = "vasp.6.3.0 20Jan22",
           titel: bool = True) -> str:
    nions = sum(counts) if nions is None else nions
    lines = [f" {version} (build Apr 09 2022 18:33:31) complex", "  ",
             " executed on             LinuxIFC date 2025.07.07  11:37:14", " running on   64 total cores"]
    lines += [f" POTCAR:    PAW_PBE {name} 08Apr2002" for name in species]
    for name in species:
        lines.append(f" POTCAR:    PAW_PBE {name} 08Apr2002")
        if titel:
            lines += [f"   VRHFIN ={name}: s2p4", "   LEXCH  = PE", f"   TITEL  = PAW_PBE {name} 08Apr2002"]
    lines += ["", "  direct lattice vectors                    reciprocal lattice vectors",
              "    10.000000000  0.000000000  0.000000000     0.100000000  0.000000000  0.000000000",
              "     0.000000000 10.000000000  0.000000000     0.000000000  0.100000000  0.000000000",
              "     0.000000000  0.000000000 10.000000000     0.000000000  0.000000000  0.100000000", "",
              f"   number of dos      NEDOS =    301   number of ions     NIONS = {nions:6d}",
              "   ions per type =            " + "".join(f"{count:4d}" for count in counts),
              "   NGX,Y,Z   is equivalent  to a cutoff of   8.31,  8.55,  8.31 a.u."]
    return "\n".join(lines) + "\n"


def scf_iteration(number: int, sub: int, energy: float) -> str:
    return (f"----------------------------------------- Iteration {number:4d}({sub:4d})  "
            "---------------------------------------\n\n"
            "    POTLOK:  cpu time    2.8234: real time    2.8239\n"
            " total energy-change (2. order) :-0.3901953E-06  (-0.1066020E-07)\n"
            " Free energy of the ion-electron system (eV)\n"
            "  ---------------------------------------------------\n"
            f"  free energy    TOTEN  = {energy:18.8f} eV\n\n"
            f"  energy without entropy = {energy:17.8f}  energy(sigma->0) = {energy:17.8f}\n\n")


def stress_block(step: Step) -> str:
    prefix = "  ML " if step.ml else "  "
    return (f"{prefix}FORCE on cell =-STRESS in cart. coord.  units (eV):\n"
            "  Direction    XX          YY          ZZ          XY          YZ          ZX\n"
            "  " + "-" * 86 + "\n"
            "  Total   " + _fixed(step.stress / 10, 12, 5) + "\n"
            "  in kB  " + _fixed(step.stress, 12, 5) + "\n"
            "  external pressure =       -2.65 kB  Pullay stress =        0.00 kB\n\n")


def lattice_block(cell: np.ndarray) -> str:
    reciprocal = np.linalg.inv(cell).T
    rows = "".join("   " + _fixed(a, 13, 9) + "   " + _fixed(b, 13, 9) + "\n" for a, b in zip(cell, reciprocal))
    return (" VOLUME and BASIS-vectors are now :\n"
            f"  volume of cell : {abs(np.linalg.det(cell)):11.2f}\n"
            "      direct lattice vectors                 reciprocal lattice vectors\n" + rows + "\n"
            "  length of vectors\n\n")


def table_block(step: Step) -> str:
    suffix = " (ML)" if step.ml else ""
    rows = "".join(_fixed(p, 13, 5) + "   " + _fixed(f, 14, 6) + "\n" for p, f in zip(step.positions, step.forces))
    return (f" POSITION                                       TOTAL-FORCE (eV/Angst){suffix}\n{DASHES}\n{rows}{DASHES}\n"
            "    total drift:                               -0.005850     -0.002026      0.008629\n\n")


def energy_block(step: Step) -> str:
    free, without, sigma = step.energies
    if step.ml:
        return ("  ML FREE ENERGIE OF THE ION-ELECTRON SYSTEM (eV)\n  " + "-" * 51 + "\n"
                f"  free  energy ML TOTEN  = {free:18.8f} eV\n\n"
                f"  ML energy  without entropy= {without:17.8f}  ML energy(sigma->0) = {sigma:17.8f}\n\n")
    return ("  FREE ENERGIE OF THE ION-ELECTRON SYSTEM (eV)\n  " + "-" * 51 + "\n"
            f"  free  energy   TOTEN  = {free:18.8f} eV\n\n"
            f"  energy  without entropy= {without:17.8f}  energy(sigma->0) = {sigma:17.8f}\n\n")


FOOTER = ("\n General timing and accounting informations for this job:\n"
          " ========================================================\n  \n"
          "                  Total CPU time used (sec):       58.719\n"
          "                            User time (sec):       53.703\n")


def outcar(steps: list[Step], *, species=("O", "H"), counts=(2, 4), finished: bool = True,
           energies_first: bool = False, **header_options) -> str:
    """An OUTCAR of the steps: each DFT step opened by its iteration lines;
    an ML step is the prediction for the step after the last one.
    energies_first: VASP 5.2's order (the energy block before the table)."""
    parts = [header(species, counts, **header_options)]
    number, previous_ml = 0, False
    for step in steps:
        if step.ml or not previous_ml:
            number += 1
        if not step.ml:
            parts += [scf_iteration(number, sub, step.energies[0] + 1 / sub) for sub in (1, 2)]
        previous_ml = step.ml
        block = ([stress_block(step)] if "stress" in step.printed else []) + [lattice_block(step.cell)]
        if step.table:
            block.append(table_block(step))
        if "energies" in step.printed:
            block.insert(0 if energies_first else len(block), energy_block(step))
        parts += block
        parts.append("     LOOP+:  cpu time    4.0781: real time    4.0957\n\n")
    if finished:
        parts.append(FOOTER)
    return "".join(parts)


def numbers(steps: list[Step]) -> list[int]:
    """The step numbers outcar() gives the steps that have tables."""
    found, number, previous_ml = [], 0, False
    for step in steps:
        if step.ml or not previous_ml:
            number += 1
        previous_ml = step.ml
        if step.table:
            found.append(number)
    return found


# -- Reading an OUTCAR's text with plain Python --------------------------------

_TABLE = re.compile(r"^\s*POSITION\s.*TOTAL-FORCE \(eV/Angst\)")


@dataclass
class ReferenceStep:
    line: int  # of the table's header, from 1
    calculator: str
    positions: np.ndarray
    forces: np.ndarray
    cell: np.ndarray | None
    stress: np.ndarray | None  # eV/Å³, 3 x 3
    info: dict = field(default_factory=dict)


def _after(line: str, label: str) -> str:
    return line.split(label, 1)[1]


def reference_steps(text: str) -> tuple[list[str] | None, list[ReferenceStep]]:
    """Each table's values as float() reads the printed text: the cell of the
    last 'direct lattice vectors' before it, the last 'in kB' line between
    the previous table and it, and the energy block of its calculator that
    follows it (VASP 5.4 on) or, in a file whose first energy block comes
    before its first table, the last that precedes it (VASP 5.2)."""
    lines = text.split("\n")
    species = [line.split("=", 1)[1].split(":", 1)[0].strip() for line in lines if line.strip().startswith("VRHFIN")]
    if not species:
        potcars = [line.split()[2].split("_")[0] for line in lines if line.startswith(" POTCAR:")]
        species = potcars[:len(potcars) // 2]
    counts_line = next(line for line in lines if line.strip().startswith("ions per type"))
    counts = [int(word) for word in counts_line.split("=")[1].split()]
    natoms = next(int(line.split("NIONS =")[1].split()[0]) for line in lines if "NIONS =" in line)
    symbols = ([name for name, count in zip(species, counts) for _ in range(count)]
               if len(species) == len(counts) and sum(counts) == natoms else None)
    tables = [i for i, line in enumerate(lines) if _TABLE.match(line)]
    # VASP 5.2 prints a step's energies before its table, later versions after.
    energies = [i for i, line in enumerate(lines) if line.strip().startswith("free  energy   TOTEN")]
    dft_tables = [i for i in tables if "(ML)" not in lines[i]]
    energies_first = bool(energies and dft_tables) and energies[0] < dft_tables[0]
    found = []
    for k, i in enumerate(tables):
        ml = "(ML)" in lines[i]
        rows = [line.split() for line in lines[i + 2:i + 2 + natoms]]
        positions = np.array([[float(word) for word in row[:3]] for row in rows])
        forces = np.array([[float(word) for word in row[3:6]] for row in rows])
        previous = tables[k - 1] if k else 0
        following = tables[k + 1] if k + 1 < len(tables) else len(lines)
        lattice = [j for j in range(i) if lines[j].strip().startswith("direct lattice vectors")]
        cell = (np.array([[float(word) for word in lines[lattice[-1] + r].split()[:3]] for r in (1, 2, 3)])
                if lattice else None)
        kb = [j for j in range(previous, i) if lines[j].strip().startswith("in kB")]
        stress = None
        if kb:
            xx, yy, zz, xy, yz, zx = (-float(word) / KB for word in _after(lines[kb[-1]], "in kB").split())
            stress = np.array([[xx, xy, zx], [xy, yy, yz], [zx, yz, zz]])
        toten = "free  energy ML TOTEN" if ml else "free  energy   TOTEN"
        if not ml and energies_first:
            blocks = [j for j in range(previous, i) if lines[j].strip().startswith(toten)][-1:]
        else:
            blocks = [j for j in range(i, following) if lines[j].strip().startswith(toten)]
        info = {}
        if blocks:
            j = blocks[0]
            info["free_energy"] = float(_after(lines[j], "=").split("eV")[0])
            energy_line = next(line for line in lines[j + 1:j + 4] if "without entropy=" in line)
            without, sigma = energy_line.split("entropy=")[1].split("energy(sigma->0) =")
            info["energy"] = float(sigma)
            info["energy_without_entropy"] = float(without.replace("ML", ""))
        found.append(ReferenceStep(i + 1, "ML" if ml else "DFT", positions, forces, cell, stress, info))
    return symbols, found
