"""The ionic steps of vasprun.xml files as lxml reads them: the oracle that
io_rs's own XML reading is held to. Run with the peers' interpreter:

    python tests/vasprun_lxml.py FILE...   (.gz, .bz2, .xz decompressed)

prints one JSON object per file: {"error": message} where lxml finds the
XML malformed, else the symbols of <atominfo> and every step (its
calculator, cell, positions, forces, stress in kB and energies), each number
Python's float() of its text (NaN for a field of asterisks), found by the
same rules as io_rs: a <calculation> with a <structure>, or a <structure> of
<modeling> followed by <varray name="forces"> and the stress, energy and
time elements after it.
"""

import bz2
import gzip
import json
import lzma
import sys

from lxml import etree

OPENERS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
ENERGIES = {"e_fr_energy": "free_energy", "e_0_energy": "energy", "e_wo_entrp": "energy_without_entropy"}


def number(field):
    return float("nan") if field and set(field) == {"*"} else float(field)


def text(element):
    return "".join(element.itertext())


def rows(varray):
    return [[number(field) for field in text(v).split()] for v in varray if v.tag == "v"]


def elements(parent):
    return [child for child in parent if isinstance(child.tag, str)]


def named(parent, tag, name):
    found = [child for child in elements(parent) if child.tag == tag and child.get("name") == name]
    return found[-1] if found else None


def energies(energy):
    values = {}
    for i in elements(energy):
        if i.tag == "i" and i.get("name") in ENERGIES:
            values[ENERGIES[i.get("name")]] = number(text(i).strip())
    return values


def structure(element, step):
    crystal = [child for child in elements(element) if child.tag == "crystal"]
    basis = None
    for c in crystal:
        basis = named(c, "varray", "basis") if named(c, "varray", "basis") is not None else basis
    step["cell"] = rows(basis)
    step["positions"] = rows(named(element, "varray", "positions"))


def calculation(element):
    step = {"calculator": "DFT" if any(c.tag == "scstep" for c in elements(element)) else "ML"}
    blocks = [e for c in elements(element) if c.tag == "scstep" for e in elements(c) if e.tag == "energy"]
    own = [c for c in elements(element) if c.tag == "energy"]
    structures = [c for c in elements(element) if c.tag == "structure"]
    if not structures:
        return None
    structure(structures[-1], step)
    forces = named(element, "varray", "forces")
    if forces is not None:
        step["forces"] = rows(forces)
    stress = named(element, "varray", "stress")
    if stress is not None:
        step["stress"] = rows(stress)
    last = blocks or own
    step.update(energies(last[-1]) if last else {})
    return step


def steps_of(root):
    steps, pending, group = [], None, None
    for child in elements(root):
        if group is not None:
            if child.tag in ("energy", "time") or (child.tag == "varray" and child.get("name") == "stress"):
                if child.tag == "energy":
                    for key in ENERGIES.values():
                        group.pop(key, None)
                    group.update(energies(child))
                elif child.tag == "varray":
                    group["stress"] = rows(child)
                continue
            steps.append(group)
            group = None
        if child.tag == "varray" and child.get("name") == "forces" and pending is not None:
            group = {"calculator": "ML"}
            structure(pending, group)
            group["forces"] = rows(child)
            pending = None
            continue
        pending = None
        if child.tag == "calculation":
            step = calculation(child)
            if step is not None:
                steps.append(step)
        elif child.tag == "structure":
            pending = child
    if group is not None:
        steps.append(group)
    return steps


def symbols_of(root):
    atominfo = [c for c in elements(root) if c.tag == "atominfo"]
    if not atominfo:
        return None
    array = named(atominfo[0], "array", "atoms")
    if array is None:
        return None
    fields = [text(f).strip() for f in elements(array) if f.tag == "field"]
    column = fields.index("element") if "element" in fields else 0
    found = []
    for s in elements(array):
        if s.tag == "set":
            for rc in elements(s):
                if rc.tag == "rc":
                    found.append(text([c for c in elements(rc) if c.tag == "c"][column]).strip())
    return found


def read(data):
    try:
        root = etree.fromstring(data, etree.XMLParser(huge_tree=True, resolve_entities=False))
    except etree.XMLSyntaxError as error:
        return {"error": str(error)}
    return {"root": root.tag, "symbols": symbols_of(root), "steps": steps_of(root)}


def main():
    for path in sys.argv[1:]:
        opener = next((o for suffix, o in OPENERS.items() if path.endswith(suffix)), open)
        with opener(path, "rb") as stream:
            print(json.dumps(read(stream.read())))


if __name__ == "__main__":
    main()
