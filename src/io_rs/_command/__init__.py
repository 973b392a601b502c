"""The io-rs command: look into structure files and convert between formats.

    io-rs info FILE...            format, size, frames, atoms, species, cell
    io-rs convert IN... OUT       any format io_rs reads to any it writes

Errors in a file are reported in one line (the package's FormatError: the
file, the line and what was expected), exit status 1.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

import io_rs

from .convert import convert
from .info import info
from .notes import Refusal

DIRECTIONS = """\
formats, by name (a .gz, .bz2 or .xz suffix is stripped first and means compressed), else by the first lines:
{formats}
  an .xyz name is read as extended XYZ when its first comment line holds key=value pairs, and written as
  extended XYZ when the frames carry per-atom arrays or per-frame values (forces, energies), else plain XYZ

what each direction does with what the other lacks:
  XDATCAR -> (extended) XYZ   Cartesian positions from each frame's scaled cell; extended XYZ writes the
                              cell as Lattice (every frame) with pbc T T T; plain XYZ drops it (a note says so)
  IN... OUT                   several inputs are written one after the other into OUT, each read as its own
                              name says; --frames selects from each
  (extended) XYZ -> XDATCAR   every frame must have the first one's species, in the same order, and a cell
                              (Lattice, or --cell); a cell that changes writes a variable-cell XDATCAR (the
                              header before each new cell); a frame that cannot be written is refused by number
  XYZ -> POSCAR               needs a cell: --cell, or the file's Lattice; Cartesian positions kept as they are
  any -> POSCAR/XDATCAR       VASP files group atoms by species: atoms of a frame whose species are interleaved
                              are regrouped in order of first appearance, stably, and a note on stderr says so
  POSCAR <-> extended XYZ     velocities <-> 'velocities'; selective dynamics flags <-> 'move_mask' (True: free)
  any -> POSCAR               one frame: pick it with --frames (--frames -1 is the last)
  --decimals                  extended XYZ only; the other writers have a fixed layout (POSCAR 16, XDATCAR 8,
                              XYZ 15 decimals)

The output is written to a temporary file beside the target and renamed into place when complete: an error
or Ctrl-C leaves no partial file, and an existing target is kept unless --force is given."""


def _format_names(writing: bool) -> str:
    return ", ".join(info.name for info in io_rs.formats() if info.can_write or not writing)


def _reading_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--steps", choices=("all", "dft", "ml"),
                        help="VASP run outputs: the ionic steps to read, by what computed them (default all)")
    parser.add_argument("--type-map", dest="type_map", metavar="TYPE=SYMBOL,...",
                        help="LAMMPS dumps: the symbol of each atom type, as 1=Si,2=O (or of each type label, as CT=C)")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="io-rs", description="Look into atomistic structure files and convert "
                                     "between the formats io_rs reads and writes.")
    commands = parser.add_subparsers(dest="command", required=True)
    look = commands.add_parser("info", help="what each file holds, from its frame table")
    look.add_argument("files", nargs="+", metavar="FILE")
    look.add_argument("--from", dest="from_", metavar="FORMAT", help="the format, where a name says nothing")
    look.add_argument("--json", action="store_true", help="one JSON list of objects, for scripts")
    _reading_options(look)
    listing = "\n".join(f"  {info.name:<12} {info.title:<14} {' '.join(info.patterns)}"
                        f"{'' if info.can_write else '   (read only)'}" for info in io_rs.formats())
    change = commands.add_parser("convert", help="write the frames of one or more files in another format",
                                 epilog=DIRECTIONS.format(formats=listing), formatter_class=argparse.RawDescriptionHelpFormatter)
    change.add_argument("paths", nargs="+", metavar="IN... OUT",
                        help="the inputs, read in turn, and last the output")
    change.add_argument("--from", dest="from_", metavar="FORMAT", help=_format_names(False))
    change.add_argument("--to", metavar="FORMAT", help=_format_names(True))
    change.add_argument("--frames", metavar="START:STOP:STEP",
                        help="the frames to take of each input, as a Python slice (negatives count from the end), "
                        "or one frame K")
    change.add_argument("--decimals", type=int, metavar="K", help="decimals of the atom columns (extended XYZ)")
    change.add_argument("--cell", metavar="CELL",
                        help="'a b c' or nine numbers (rows a, b, c) in Å: the cell of frames that have none")
    _reading_options(change)
    change.add_argument("--force", action="store_true", help="replace an existing OUT")
    change.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    return parser


def _joined(argv: list[str]) -> list[str]:
    """--frames -5:: joined into --frames=-5:: so that argparse does not take
    the value for an option."""
    joined: list[str] = []
    for arg in argv:
        if joined and joined[-1] in ("--frames", "--cell") and arg.startswith("-"):
            joined[-1] += "=" + arg
        else:
            joined.append(arg)
    return joined


def _options(args: argparse.Namespace) -> dict[str, object]:
    from .convert import parse_type_map
    return {"steps": args.steps, "type_map": None if args.type_map is None else parse_type_map(args.type_map)}


def _say_warnings() -> None:
    """A reader's warnings (a run cut short, a damaged value) as one line each."""

    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int, file: object = None,
             line: str | None = None) -> None:
        print(f"io-rs: warning: {message}", file=sys.stderr)

    warnings.showwarning = show


def _parsed(argv: list[str]) -> argparse.Namespace:
    """The arguments, files and options in any order: argparse ends a list
    of files at the first option and leaves the files after it unparsed,
    which are put back in their place, after the others."""
    parser = _parser()
    args, rest = parser.parse_known_args(argv)
    unknown = [arg for arg in rest if arg.startswith("-") and arg != "-"]
    if unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    if rest:
        if args.command == "info":
            args.files += rest
        else:
            args.paths += rest
    return args


def main(argv: list[str] | None = None) -> int:
    args = _parsed(_joined(sys.argv[1:] if argv is None else argv))
    _say_warnings()
    try:
        if args.command == "info":
            info(args.files, args.from_, args.json, _options(args))
        else:
            if len(args.paths) < 2:
                raise Refusal("convert takes one or more inputs and then the output: io-rs convert IN... OUT")
            convert(args.paths[:-1], args.paths[-1], from_=args.from_, to=args.to, selection=args.frames,
                    decimals=args.decimals, cell=args.cell, force=args.force, quiet=args.quiet,
                    options=_options(args))
    except (io_rs.FormatError, Refusal) as error:
        print(f"io-rs: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of stdout went away (io-rs info ... | head): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        print(f"io-rs: {error.strerror or error}: {error.filename!r}", file=sys.stderr)
        return 1
    except ValueError as error:
        print(f"io-rs: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("io-rs: interrupted; no output written", file=sys.stderr)
        return 130
    return 0
