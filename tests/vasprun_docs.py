"""Generated vasprun.xml documents: the shape VASP writes (atominfo,
calculations with SCF steps, force-field steps outside them, elements no
reader needs), written with what XML allows and VASP never uses: comments,
processing instructions and CDATA anywhere, references for any character,
either quote, white space inside tags, empty-element tags, a byte order
mark, ISO-8859-1 text. Seeded: the same seed gives the same bytes.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

# An element: its name, attributes and either its text or its children.
@dataclass
class Node:
    name: str
    attributes: list[tuple[str, str]] = field(default_factory=list)
    text: str | None = None
    children: list[Node] = field(default_factory=list)


def vector(rng: random.Random, count: int = 3, overflow: float = 0.0) -> str:
    fields = []
    for _ in range(count):
        if rng.random() < overflow:
            fields.append("*" * rng.choice((4, 10, 16)))
            continue
        value = rng.uniform(-50, 50) * 10 ** rng.randint(-3, 1)
        form = rng.choice(("%.8f", "%16.8f", "%.3e", "%.17g", "%12.6f", "%g"))
        fields.append(form % value)
    return " " + " ".join(fields) + " "


def varray(name: str, rows: list[str], **extra: str) -> Node:
    return Node("varray", [("name", name), *extra.items()], children=[Node("v", text=row) for row in rows])


def energy(rng: random.Random, overflow: float = 0.0, names: tuple[str, ...] | None = None) -> Node:
    names = names or ("alphaZ", "e_fr_energy", "e_wo_entrp", "e_0_energy")
    return Node("energy", children=[Node("i", [("name", name)], text=vector(rng, 1, overflow)) for name in names])


def structure(rng: random.Random, natoms: int, name: str | None = None, overflow: float = 0.0) -> Node:
    crystal = Node("crystal", children=[varray("basis", [vector(rng, overflow=overflow) for _ in range(3)]),
                                        Node("i", [("name", "volume")], text=vector(rng, 1)),
                                        varray("rec_basis", [vector(rng) for _ in range(3)])])
    children = [crystal, varray("positions", [vector(rng, overflow=overflow) for _ in range(natoms)])]
    if rng.random() < 0.2:
        children.append(varray("selective", [" T T F "] * natoms, type="logical"))
    return Node("structure", [("name", name)] if name else [], children=children)


def junk(rng: random.Random, depth: int = 0) -> Node:
    """An element no reader needs: nested sets of rows, as a DOS is."""
    name = rng.choice(("dos", "eigenvalues", "kpoints", "parameters", "separator", "projected", "dielectricfunction"))
    if depth > 2 or rng.random() < 0.3:
        return Node(name, [("name", "x")] if rng.random() < 0.5 else [], text=vector(rng, rng.randint(0, 5)))
    return Node(name, children=[junk(rng, depth + 1) for _ in range(rng.randint(0, 4))])


def calculation(rng: random.Random, natoms: int, overflow: float) -> Node:
    children = []
    for _ in range(rng.choice((0, 1, 1, 2, 3))):
        scstep = [Node("time", [("name", "dav")], text=vector(rng, 2))]
        if rng.random() < 0.9:
            scstep.append(energy(rng, overflow))
        children.append(Node("scstep", children=scstep))
    children.append(structure(rng, natoms, overflow=overflow))
    children.append(varray("forces", [vector(rng, overflow=overflow) for _ in range(natoms)]))
    if rng.random() < 0.7:
        children.append(varray("stress", [vector(rng, overflow=overflow) for _ in range(3)]))
    children.append(energy(rng, overflow, ("e_fr_energy", "e_wo_entrp", "e_0_energy", "kinetic")))
    if rng.random() < 0.3:
        children.append(junk(rng))
    return Node("calculation", children=children)


def run(rng: random.Random, steps: int | None = None, overflow: float = 0.0) -> Node:
    """A vasprun.xml's tree: header, atominfo, steps of both kinds, final structure."""
    natoms = rng.randint(1, 4)
    symbols = [rng.choice(("H", "O", "Si", "Fe", "Xé")) for _ in range(natoms)]
    types = list(dict.fromkeys(symbols))
    atoms = Node("array", [("name", "atoms")], children=[
        Node("dimension", [("dim", "1")], text="ion"), Node("field", [("type", "string")], text="element"),
        Node("field", [("type", "int")], text="atomtype"),
        Node("set", children=[Node("rc", children=[Node("c", text=s + " "), Node("c", text=f"{types.index(s) + 1:4d}")])
                              for s in symbols])])
    top = [Node("generator", children=[Node("i", [("name", "program"), ("type", "string")], text="vasp ")]),
           Node("incar", children=[Node("i", [("type", "int"), ("name", "NSW")], text="   10")]),
           Node("atominfo", children=[Node("atoms", text=f"{natoms:8d} "), atoms]),
           structure(rng, natoms, "initialpos")]
    for _ in range(rng.randint(1, 6) if steps is None else steps):
        kind = rng.random()
        if kind < 0.6:
            top.append(calculation(rng, natoms, overflow))
        elif kind < 0.9:
            top.append(structure(rng, natoms, overflow=overflow))
            top.append(varray("forces", [vector(rng, overflow=overflow) for _ in range(natoms)]))
            if rng.random() < 0.3:
                top.append(varray("stress", [vector(rng) for _ in range(3)]))
            top.append(energy(rng, overflow, ("e_fr_energy", "e_wo_entrp", "e_0_energy", "total")))
            top.append(Node("time", [("name", "totalsc")], text=vector(rng, 2)))
        else:
            top.append(junk(rng))
    top.append(structure(rng, natoms, "finalpos"))
    return Node("modeling", children=top)


class Writer:
    """Writes a tree as XML, choosing at random among the ways XML allows."""

    def __init__(self, rng: random.Random, plain: bool = False, encoding: str = "ISO-8859-1") -> None:
        self.rng = rng
        self.plain = plain  # as VASP writes: no comments, references, CDATA
        self.encoding = encoding
        self.parts: list[str] = []

    def chance(self, p: float) -> bool:
        return not self.plain and self.rng.random() < p

    def space(self) -> str:
        return self.rng.choice((" ", "\n  ", "\t", "  ", "\r\n ")) if self.chance(0.3) else " "

    def misc(self) -> str:
        """Markup that holds no text: a comment or a processing instruction."""
        if self.rng.random() < 0.5:
            return f"<!--{self.rng.choice(('', ' step ', '<v>1 2 3</v>', '- a - b', ' & < > '))}-->"
        return f"<?{self.rng.choice(('pi', 'vasp-note', 'x.y'))}{self.rng.choice(('', ' data', ' <a> & ?'))}?>"

    def escaped(self, text: str, quote: str = "") -> str:
        out = []
        for c in text:
            if c == "&" or c == "<" or c == quote:
                out.append({"&": "&amp;", "<": "&lt;", '"': "&quot;", "'": "&apos;"}[c])
            elif self.chance(0.08):
                out.append(self.rng.choice((f"&#{ord(c)};", f"&#x{ord(c):x};", f"&#x{ord(c):X};")))
            elif c == ">" and self.chance(0.5):
                out.append("&gt;")
            else:
                out.append(c)
        return "".join(out)

    def chars(self, text: str) -> str:
        """Character data: the text in pieces, some in CDATA, markup between."""
        if not self.chance(0.5) or not text:
            return self.escaped(text)
        out, at = [], 0
        while at < len(text):
            cut = self.rng.randint(at + 1, len(text))
            piece = text[at:cut]
            out.append(f"<![CDATA[{piece}]]>" if "]]>" not in piece and self.chance(0.3) else self.escaped(piece))
            if self.chance(0.3):
                out.append(self.misc())
            at = cut
        return "".join(out)

    def element(self, node: Node, indent: int) -> None:
        attributes = []
        for name, value in node.attributes:
            quote = self.rng.choice(('"', "'")) if self.chance(0.5) else '"'
            around = self.space() if self.chance(0.2) else ""
            attributes.append(f"{self.space()}{name}{around}={around}{quote}{self.escaped(value, quote)}{quote}")
        opening = f"<{node.name}{''.join(attributes)}{self.space() if self.chance(0.2) else ''}"
        pad = "\n" + " " * indent
        if node.text is None and not node.children and self.chance(0.5):
            self.parts.append(f"{pad}{opening}/>")
            return
        self.parts.append(f"{pad}{opening}>")
        if node.text is not None:
            self.parts.append(self.chars(node.text))
        for child in node.children:
            if self.chance(0.05):
                self.parts.append(pad + " " + self.misc())
            self.element(child, indent + 1)
        closing = f"</{node.name}{self.space() if self.chance(0.2) else ''}>"
        self.parts.append((pad if node.children else "") + closing)

    def document(self, root: Node) -> bytes:
        head = ""
        utf8 = self.encoding.upper() == "UTF-8"
        if utf8 and self.chance(0.1):
            head += "\ufeff"
        if not (utf8 and self.chance(0.2)):
            quote = self.rng.choice(('"', "'")) if self.chance(0.5) else '"'
            head += f"<?xml version={quote}1.0{quote} encoding={quote}{self.encoding}{quote}?>"
        if self.chance(0.3):
            head += "\n" + self.misc()
        self.parts = [head]
        self.element(root, 0)
        self.parts.append("\n")
        if self.chance(0.2):
            self.parts.append(self.misc() + "\n")
        text = "".join(self.parts)
        utf8 = self.encoding.upper() == "UTF-8"
        return text.encode("utf-8" if utf8 else "latin-1")


def document(seed: int, plain: bool = False, steps: int | None = None, overflow: float = 0.0) -> bytes:
    """The document of a seed: a run's tree, written as the seed says."""
    rng = random.Random(seed)
    tree = run(rng, steps, overflow)
    encoding = rng.choice(("ISO-8859-1", "UTF-8"))
    return Writer(rng, plain, encoding).document(tree)


def mutated(data: bytes, rng: random.Random) -> tuple[str, bytes]:
    """A malformed copy of a document: one fault of the kinds XML refuses."""
    text = data.decode("latin-1")
    at = rng.randrange(text.index("<modeling"), text.rindex("</modeling"))
    tag = text.index("<", at)
    end = text.index(">", tag)
    close = text.index("</", at)
    close_end = text.index(">", close)
    kinds = {
        "renamed end tag": text[:close + 2] + "zz" + text[close + 2:],
        "lost >": text[:end] + " " + text[end + 1:],
        "stray <": text[:tag] + "<" + text[tag:],
        "undefined entity": text[:end + 1] + "&undefined;" + text[end + 1:],
        "bad reference": text[:end + 1] + "&#0;" + text[end + 1:],
        "lost end tag": text[:close] + text[close_end + 1:],
        "second root": text + "<modeling/>",
        "text after root": text + "x",
        "control byte": text[:end + 1] + "\x02" + text[end + 1:],
        "unquoted value": text.replace('name="', "name=", 1),
        "two declarations": text[:end + 1] + '<?xml version="1.0"?>' + text[end + 1:],
    }
    kind = rng.choice(sorted(kinds))
    return kind, kinds[kind].encode("latin-1")
