"""Readers and writers for atomistic structure files, exact and fast.

    frames = io_rs.read("OUTCAR")              # list[Frame], any format io_rs.formats() lists
    io_rs.write("train.xyz", frames)           # by the name: extended XYZ here
    with io_rs.open("XDATCAR") as t:           # random access: t[k] read alone
        last = t[-1]

The headers are read here; the atom lines go through the extension modules
_io_rs_buffers (whole blocks and trajectories from a file's bytes) and _io_rs,
so numbers are read correctly rounded and written exactly.

Every reader takes a path (str or os.PathLike; .gz, .bz2 and .xz files are
decompressed by their suffix, large plain files memory-mapped) or an open
binary file; every writer the same, compressing by suffix. A malformed file
raises ValueError naming the file and the line:

    POSCAR 'CONTCAR', line 2: expected the scale factor, got 'abc'
    XYZ 'md.xyz': frame 3 ends after 5 of 64 atom lines (line 140 of the file, byte 9012)
"""

from ._api import detect_format, formats, iread, open, read, write
from ._extxyz import ExtxyzFile, ExtxyzFrame, iter_extxyz, open_extxyz, read_extxyz, write_extxyz
from ._files import DataWarning, FormatError, ReadableBinary, TruncatedWarning, WritableBinary
from ._formats import FormatInfo
from ._frame import Frame
from ._lammps import LammpsDumpFile, iter_lammps_dump, open_lammps_dump, read_lammps_dump, write_lammps_dump
from ._outcar import OutcarTrajectory, iter_outcar, open_outcar, read_outcar
from ._poscar import Poscar, read_poscar, write_poscar
from ._vasp import VaspHeader
from ._xdatcar import (Xdatcar, XdatcarFile, XdatcarFrame, iter_xdatcar, open_xdatcar, read_xdatcar, write_xdatcar,
                       write_xdatcar_frames)
from ._trajectory import Batch, FrameInfos, Trajectory
from ._vasprun import VasprunFile, iter_vasprun, open_vasprun, read_vasprun
from ._xyz import XyzFile, XyzFrame, iter_xyz, open_xyz, read_xyz, write_xyz

__all__ = [
    "Frame",
    "read",
    "iread",
    "open",
    "write",
    "formats",
    "detect_format",
    "FormatInfo",
    "Trajectory",
    "Batch",
    "FrameInfos",
    "Poscar",
    "read_poscar",
    "write_poscar",
    "Xdatcar",
    "XdatcarFrame",
    "XdatcarFile",
    "read_xdatcar",
    "iter_xdatcar",
    "open_xdatcar",
    "write_xdatcar",
    "write_xdatcar_frames",
    "XyzFrame",
    "XyzFile",
    "read_xyz",
    "iter_xyz",
    "open_xyz",
    "write_xyz",
    "ExtxyzFrame",
    "ExtxyzFile",
    "read_extxyz",
    "iter_extxyz",
    "open_extxyz",
    "write_extxyz",
    "LammpsDumpFile",
    "read_lammps_dump",
    "iter_lammps_dump",
    "open_lammps_dump",
    "write_lammps_dump",
    "VasprunFile",
    "read_vasprun",
    "iter_vasprun",
    "open_vasprun",
    "OutcarTrajectory",
    "read_outcar",
    "iter_outcar",
    "open_outcar",
    "VaspHeader",
    "FormatError",
    "TruncatedWarning",
    "DataWarning",
    "ReadableBinary",
    "WritableBinary",
]
