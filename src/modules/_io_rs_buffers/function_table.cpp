#include "functions.hpp"

namespace io_rs::buffers {
namespace {

constexpr const char* kReadPoscarBlockDoc =
    "Read the N-atom position block of a POSCAR/CONTCAR file from its bytes.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "lines = bytes(buffer)[offset:].decode().split('\\n')[:natoms]\n"
    "positions, flags = parse_poscar_positions_rs(lines, selective)\n"
    "end = offset + sum(len(line.encode()) + 1 for line in lines)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the block's first atom line.\n"
    "natoms : int\n"
    "    Number of atom lines to read.\n"
    "selective : bool\n"
    "    Whether selective-dynamics flags (T/F) are present.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(positions: ndarray float64 [N,3],\n"
    " flags:     ndarray bool    [N,3]  or  None,\n"
    " end:       int  \u2014 byte offset just past the block)";

constexpr const char* kReadXdatcarFramesDoc =
    "Read consecutive XDATCAR frames from a file's bytes.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "frames, numbers = [], []\n"
    "while lines and (max_frames is None or len(frames) < max_frames):\n"
    "    opener = lines.pop(0)  # 'Direct configuration=  k', or a blank line in old files\n"
    "    numbers.append(int(opener.split('=')[1]) if '=' in opener else -1)\n"
    "    frames.append(parse_xdatcar_coords_rs(lines[:natoms])); del lines[:natoms]\n"
    "```\n"
    "Reading stops at the end of the buffer, after max_frames frames, or before\n"
    "the first line that opens no frame (such as a repeated header); a frame cut\n"
    "short by the end of the buffer is an error.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the first frame's opening line.\n"
    "natoms : int\n"
    "    Coordinate lines per frame.\n"
    "max_frames : int or None\n"
    "    Read at most this many frames.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(frames:  ndarray float64 [F,N,3],\n"
    " numbers: ndarray int64 [F]  \u2014 -1 for a frame opened by a blank line,\n"
    " end:     int  \u2014 byte offset where reading stopped)";

constexpr const char* kIndexXdatcarFramesDoc =
    "Find the byte offset of every XDATCAR frame without reading its coordinates.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "offsets = []\n"
    "while a frame opens at offset:  # as read_xdatcar_frames decides\n"
    "    offsets.append(offset); offset = <past its natoms coordinate lines>\n"
    "```\n"
    "read_xdatcar_frames(buffer, offsets[k], natoms, 1) then reads frame k alone.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the first frame's opening line.\n"
    "natoms : int\n"
    "    Coordinate lines per frame.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ndarray int64 [F] \u2014 the byte offset of each frame's opening line";

constexpr const char* kReadXyzFramesDoc =
    "Read consecutive frames of a multi-frame XYZ file from its bytes.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "while lines and lines[0].strip().isdigit() and (max_frames is None or len(counts) < max_frames):\n"
    "    n = int(lines[0]); comments.append(lines[1])\n"
    "    s, p = parse_xyz_block_rs(lines[2:2 + n]); symbols += s; rows.append(p); counts.append(n)\n"
    "    del lines[:2 + n]\n"
    "```\n"
    "Reading stops at the end of the buffer, after max_frames frames, or before\n"
    "the first line that is not an atom count; a frame cut short by the end of\n"
    "the buffer is an error.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the first frame's atom count line.\n"
    "max_frames : int or None\n"
    "    Read at most this many frames.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(comments:  list[str]  \u2014 one per frame,\n"
    " symbols:   list[str]  \u2014 every frame's, normalised,\n"
    " positions: ndarray float64 [sum(counts),3],\n"
    " counts:    ndarray int64 [F],\n"
    " end:       int  \u2014 byte offset where reading stopped)";

constexpr const char* kIndexXyzFramesDoc =
    "Find the byte offset of every frame of an XYZ file without reading its atoms.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "offsets = []\n"
    "while a count line stands at offset:\n"
    "    offsets.append(offset); offset = <past the count, comment and atom lines>\n"
    "```\n"
    "read_xyz_frames(buffer, offsets[k], 1) then reads frame k alone.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the first frame's atom count line.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ndarray int64 [F] \u2014 the byte offset of each frame's atom count line";

constexpr const char* kFormatXdatcarFramesDoc =
    "Format every frame of an XDATCAR trajectory.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "text = ''.join(format_xdatcar_config_rs(frame, first_number + k)\n"
    "               for k, frame in enumerate(frames)).encode()\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "frames : ndarray float64 [F,N,3]\n"
    "first_number : int \u2014 the number written on the first frame's line\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes  \u2014 the frames, ready for a binary file";

constexpr const char* kFormatXyzFramesDoc =
    "Format whole frames of a multi-frame XYZ file.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "out, start = [], 0\n"
    "for comment, n in zip(comments, counts):\n"
    "    out += [f'{n}\\n', comment + '\\n',\n"
    "            format_xyz_block_rs(symbols[start:start + n], positions[start:start + n])]\n"
    "    start += n\n"
    "text = ''.join(out).encode()\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "comments  : list[str]  \u2014 one single line per frame\n"
    "symbols   : list[str]  \u2014 every frame's, in order\n"
    "positions : ndarray float64 [sum(counts),3]\n"
    "counts    : sequence of int  \u2014 atoms per frame\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes  \u2014 the frames, ready for a binary file";

constexpr const char* kScanPoscarDoc =
    "Scan a whole POSCAR/CONTCAR file: its header and where its blocks are.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(header:    (comment, scale, lattice [3,3], species list or None, counts, line),\n"
    " selective: bool,\n"
    " cartesian: bool,\n"
    " blocks:    ndarray int64 [B,6]  \u2014 positions, then velocities if present;\n"
    "            columns offset, line, natoms, header, number, end)\n"
    "\n"
    "A malformed header raises ValueError whose attributes (format, problem,\n"
    "expected, found, line, byte) say what and where.";

constexpr const char* kScanXdatcarFramesDoc =
    "Scan an XDATCAR file in one pass: its headers and where every frame is.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text, or a piece of it; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Where scanning starts: the file's header, or a frame when first is given.\n"
    "base : None or (byte, line, frame)\n"
    "    The file's byte where buffer starts, the number of the line at offset,\n"
    "    and the frames before offset; None for a buffer holding the whole file.\n"
    "last : bool\n"
    "    Whether the file ends with buffer; if not, scanning stops before the\n"
    "    first frame or header that is not whole, to go on with more bytes.\n"
    "first : header or None\n"
    "    The file's first header, as an earlier scan returned it, when scanning\n"
    "    goes on among the frames; repeated headers must keep its scale factor,\n"
    "    species and counts.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(headers: list of (comment, scale, lattice [3,3], species or None, counts, line),\n"
    " frames:  ndarray int64 [F,6]  \u2014 offset, line, natoms, header (index into\n"
    "          headers, -1 for one before them), number (-1: opened by a blank\n"
    "          line), end; offsets are the file's,\n"
    " stop:    (consumed, line, complete)  \u2014 the buffer offset where the next\n"
    "          piece starts, the number of its line, whether the file ends there)";

constexpr const char* kScanXyzFramesDoc =
    "Scan an XYZ file in one pass: where every frame is and its atom count.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text, or a piece of it; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Where scanning starts: a frame's count line, or blank lines before one.\n"
    "base : None or (byte, line, frame)\n"
    "    As for scan_xdatcar_frames.\n"
    "last : bool\n"
    "    Whether the file ends with buffer.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(frames: ndarray int64 [F,6]  \u2014 offset, line, natoms, -1, -1, end,\n"
    " stop:   (consumed, line, complete))";

constexpr const char* kReadExtxyzFramesDoc =
    "Read consecutive frames of an extended XYZ file that share one column schema.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "while a count line stands at offset and (max_frames is None or len(counts) < max_frames):\n"
    "    n = int(count line); info, properties, cell, pbc, _ = parse_extxyz_comment(comment line)\n"
    "    if properties differ from the first frame's: break\n"
    "    read n atom lines into the columns, each field as its column's type\n"
    "```\n"
    "Reading stops at the end of the buffer (blank lines at the end passed over),\n"
    "after max_frames frames, or before the first frame of another schema; anything\n"
    "else where a count line is due, and a frame cut short, is an error.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's UTF-8 text; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Byte offset of the first frame's atom count line.\n"
    "max_frames : int or None\n"
    "    Read at most this many frames.\n"
    "base : None or (byte, line, frame)\n"
    "    As for scan_xdatcar_frames: where the buffer stands in its file.\n"
    "threads : int, keyword-only\n"
    "    Read the atom lines on up to this many threads; the result, and the first\n"
    "    failure in file order, do not depend on it.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(infos:   list[dict]  \u2014 per frame, without Lattice, Properties and pbc,\n"
    " counts:  ndarray int64 [F],\n"
    " cells:   list[ndarray float64 [3,3] | None]  \u2014 rows a, b, c,\n"
    " pbcs:    ndarray bool [F,3],\n"
    " columns: list[(name, ndarray)]  \u2014 every frame's rows, [sum(counts)] or [sum(counts),m],\n"
    " end:     int  \u2014 byte offset where reading stopped)";

constexpr const char* kParseExtxyzCommentDoc =
    "Read the comment line of an extended XYZ frame.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "line : str\n"
    "    The comment line, without its line end.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(info:       dict  \u2014 the pairs in order, without Lattice, Properties and pbc,\n"
    " properties: list[(name, type letter, width)],\n"
    " cell:       ndarray float64 [3,3] or None,\n"
    " pbc:        ndarray bool [3],\n"
    " plain:      bool  \u2014 the line is a plain comment, held whole in info['comment'])";

constexpr const char* kFormatExtxyzFramesDoc =
    "Format whole frames of an extended XYZ file.\n"
    "\n"
    "Each frame: its atom count, a comment line (Lattice, Properties from the\n"
    "columns, the info pairs, pbc), then its rows of every column. Reals are\n"
    "written in the shortest form that reads back bit-identical, or with exactly\n"
    "`decimals` decimals (per-atom reals only), rounded half to even.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "infos   : list[dict]  \u2014 per frame: int, float, bool, str or ndarray values\n"
    "columns : list[(name, ndarray)]  \u2014 C-contiguous float64, int64, bool or str,\n"
    "          [sum(counts)] or [sum(counts),m]\n"
    "counts  : sequence of int  \u2014 atoms per frame\n"
    "cells   : list[array-like [3,3] | None]  \u2014 rows a, b, c\n"
    "pbcs    : list[array-like bool [3]]\n"
    "decimals : int or None\n"
    "write   : callable or None, keyword-only  \u2014 when given, the text goes to\n"
    "          write(bytes) in pieces of about a megabyte as it is made, so that\n"
    "          no more than a piece a thread is ever held, and nothing is returned\n"
    "threads : int, keyword-only  \u2014 the text is formatted on up to that many\n"
    "          threads (the interpreter lock given up meanwhile); the same text\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes  \u2014 the frames, ready for a binary file (None with write)";

constexpr const char* kScanVasprunDoc =
    "Find the ionic steps of a vasprun.xml in one pass over its bytes.\n"
    "\n"
    "A step is a <calculation> holding a <structure> (DFT), or a <structure> of\n"
    "<modeling> followed by <varray name=\"forces\"> (a machine-learned force field's\n"
    "step, VASP 6.3+; a <calculation> without <scstep> counts as one too). Steps are\n"
    "numbered from 1 in file order. Energies come from a step's last <scstep> (VASP 4\n"
    "and 5 write shifted values in the <calculation>'s own <energy>), else its own\n"
    "<energy>; stress is -(the kB tensor) / 1602.1766208, in eV/A^3. The XML is read as\n"
    "XML (references, comments, CDATA, either quote) and checked for well-formedness;\n"
    "a value printed as **** reads as NaN, flagged in parts.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "offset : int\n"
    "    Where to start: the file's first byte (state None), or a point between two\n"
    "    elements of <modeling> (state given).\n"
    "base : None or (byte, line, steps)\n"
    "    Where the buffer stands in its file: the file's byte at buffer[0], the\n"
    "    line at offset, the steps of the file before offset.\n"
    "last : bool\n"
    "    The buffer ends where the file does. With False the scan stops before the\n"
    "    first element of <modeling> it does not hold whole (stop says where).\n"
    "state : None or what the previous piece's scan returned\n"
    "values : bool\n"
    "    Also read every selected step's positions and forces.\n"
    "steps : int\n"
    "    Which steps to return: 1 DFT, 2 ML, 3 both (all are counted).\n"
    "ranged : bool\n"
    "    The buffer holds whole steps (a slice of the file): its end ends them.\n"
    "threads : int, keyword-only\n"
    "    Read on up to this many threads; results and errors do not depend on it.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(symbols:  list[str] | None  \u2014 per atom, from <atominfo>, when this scan read it,\n"
    " state:    tuple | None  \u2014 for the next piece; None before the header is whole,\n"
    " table:    ndarray int64 [S,6]  \u2014 offset, line, natoms, calculator (0 DFT, 1 ML), step, end,\n"
    " cells:    ndarray float64 [S,3,3]  \u2014 rows a, b, c,\n"
    " stress:   ndarray float64 [S,3,3]  \u2014 eV/A^3,\n"
    " energies: ndarray float64 [S,3]  \u2014 free energy, energy(sigma->0), energy without entropy,\n"
    " parts:    ndarray int64 [S,2]  \u2014 bits present, bits read as NaN: positions 1, cell 2,\n"
    "           forces 4, stress 8, free energy 16, energy 32, energy without entropy 64,\n"
    " positions, forces: list[ndarray float64 [s,N,3]] | None  \u2014 with values: the steps in\n"
    "           parts (what each thread read), in order,\n"
    " stop:     (consumed, line, steps, complete, truncated, last_line)  \u2014 where the next\n"
    "           piece starts, its line, the steps counted to there, whether the file ends\n"
    "           there, whether it ends before the document does and its last line,\n"
    " damage:   list[(line, step)]  \u2014 NUL bytes read around, and the step lost (0: none))";

constexpr const char* kScanOutcarStepsDoc =
    "Scan a VASP OUTCAR in one pass: every ionic step, its values, and where its table is.\n"
    "\n"
    "A step is a POSITION/TOTAL-FORCE table (DFT, or '(ML)' for the machine-learned\n"
    "force field) with the stress ('in kB') and cell ('direct lattice vectors')\n"
    "printed before it and the energy block of its calculator ('free  energy   TOTEN',\n"
    "'energy  without entropy', 'energy(sigma->0)'). Steps are numbered as the\n"
    "run's 'Iteration N(k)' lines say; an ML step takes the next number, and the\n"
    "DFT step after it shares that number.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's text, or a piece of it; lines end in LF or CR LF.\n"
    "offset : int\n"
    "    Where scanning starts: the file's start, or where the last scan stopped.\n"
    "base : None or (byte, line, steps)\n"
    "    The file's byte where buffer starts, the number of the line at offset, and\n"
    "    the steps found before it; None for a buffer holding the whole file.\n"
    "last : bool\n"
    "    Whether the file ends with buffer; if not, scanning stops before the first\n"
    "    step the buffer does not hold whole, to go on with more bytes.\n"
    "carry : None or the carry the scan of the previous piece returned\n"
    "tables : bool, keyword-only\n"
    "    Read every step's atom lines as well (positions and forces).\n"
    "threads : int, keyword-only\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(header:    (species list[str], counts list[int], nions int),\n"
    " steps:     ndarray int64 [F,8]  \u2014 offset, line, natoms, calculator (0 DFT,\n"
    "            1 ML), step, end, rows, flags; offsets are the file's,\n"
    " cells:     ndarray float64 [F,3,3]  \u2014 rows a, b, c in \u00c5,\n"
    " stresses:  ndarray float64 [F,3,3]  \u2014 -(kB tensor) / 1602.1766208, eV/\u00c5\u00b3,\n"
    " energies:  ndarray float64 [F,3]  \u2014 TOTEN, without entropy, sigma->0 (eV),\n"
    "            NaN where a step printed none (flags say which it printed),\n"
    " positions: ndarray float64 [F,N,3] or None (without tables),\n"
    " forces:    ndarray float64 [F,N,3] or None,\n"
    " lost:      list of (step, line)  \u2014 steps NUL bytes made unreadable,\n"
    " stop:      (consumed, line, complete, finished, stopped line or None),\n"
    " carry:     what the scan of the next piece takes)";

constexpr const char* kReadOutcarTablesDoc =
    "Read the POSITION/TOTAL-FORCE tables of chosen steps of an OUTCAR.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like (bytes, bytearray, memoryview, mmap)\n"
    "    The file's text from byte `start` on.\n"
    "steps : ndarray int64 [F,8]\n"
    "    Rows of the steps a scan returned (scan_outcar_steps).\n"
    "start : int\n"
    "    The file's byte where buffer starts.\n"
    "threads : int, keyword-only\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(positions: ndarray float64 [F,N,3]  \u2014 \u00c5,\n"
    " forces:    ndarray float64 [F,N,3]  \u2014 eV/\u00c5,\n"
    " overflow:  ndarray uint8 [F]  \u2014 1: a position, 2: a force printed as ****)";

constexpr py::Parameter kPoscarParameters[] = {
    {"buffer"}, {"offset"}, {"natoms"}, {"selective"}, {"base", "None"}, {"threads", "1", true}};
constexpr py::Parameter kXdatcarParameters[] = {
    {"buffer"}, {"offset"}, {"natoms"}, {"max_frames", "None"}, {"base", "None"}, {"threads", "1", true}};
constexpr py::Parameter kXdatcarIndexParameters[] = {{"buffer"}, {"offset"}, {"natoms"}};
constexpr py::Parameter kXyzParameters[] = {
    {"buffer"}, {"offset", "0"}, {"max_frames", "None"}, {"base", "None"}, {"threads", "1", true}};
constexpr py::Parameter kScanPoscarParameters[] = {{"buffer"}};
constexpr py::Parameter kScanXdatcarParameters[] = {
    {"buffer"}, {"offset", "0"}, {"base", "None"}, {"last", "True"}, {"first", "None"}};
constexpr py::Parameter kScanXyzParameters[] = {{"buffer"}, {"offset", "0"}, {"base", "None"}, {"last", "True"}};
constexpr py::Parameter kXyzIndexParameters[] = {{"buffer"}, {"offset", "0"}};
constexpr py::Parameter kFormatXdatcarParameters[] = {{"frames"}, {"first_number", "1"}};
constexpr py::Parameter kFormatXyzParameters[] = {{"comments"}, {"symbols"}, {"positions"}, {"counts"}};

constexpr py::Parameter kExtxyzParameters[] = {
    {"buffer"}, {"offset", "0"}, {"max_frames", "None"}, {"base", "None"}, {"threads", "1", true}};
constexpr py::Parameter kExtxyzCommentParameters[] = {{"line"}};
constexpr py::Parameter kScanVasprunParameters[] = {
    {"buffer"}, {"offset", "0"}, {"base", "None"}, {"last", "True"}, {"state", "None"}, {"values", "False"},
    {"steps", "3"}, {"ranged", "False"}, {"threads", "1", true}};
constexpr py::Parameter kScanOutcarParameters[] = {{"buffer"}, {"offset", "0"}, {"base", "None"}, {"last", "True"},
                                                   {"carry", "None"}, {"tables", "False", true},
                                                   {"threads", "1", true}};
constexpr py::Parameter kOutcarTablesParameters[] = {{"buffer"}, {"steps"}, {"start", "0"}, {"threads", "1", true}};
constexpr py::Parameter kFormatExtxyzParameters[] = {{"infos"}, {"columns"}, {"counts"}, {"cells"}, {"pbcs"},
                                                     {"decimals", "None"}, {"write", "None", true},
                                                     {"threads", "1", true}};

const py::FunctionRow kTable[] = {
    {kReadPoscarBlock, read_poscar_block, kReadPoscarBlockDoc},
    {kReadXdatcarFrames, read_xdatcar_frames, kReadXdatcarFramesDoc},
    {kIndexXdatcarFrames, index_xdatcar_frames, kIndexXdatcarFramesDoc},
    {kReadXyzFrames, read_xyz_frames, kReadXyzFramesDoc},
    {kIndexXyzFrames, index_xyz_frames, kIndexXyzFramesDoc},
    {kFormatXdatcarFrames, format_xdatcar_frames, kFormatXdatcarFramesDoc},
    {kFormatXyzFrames, format_xyz_frames, kFormatXyzFramesDoc},
    {kScanPoscar, scan_poscar, kScanPoscarDoc},
    {kScanXdatcarFrames, scan_xdatcar_frames, kScanXdatcarFramesDoc},
    {kScanXyzFrames, scan_xyz_frames, kScanXyzFramesDoc},
    {kReadExtxyzFrames, read_extxyz_frames, kReadExtxyzFramesDoc},
    {kParseExtxyzComment, parse_extxyz_comment, kParseExtxyzCommentDoc},
    {kFormatExtxyzFrames, format_extxyz_frames, kFormatExtxyzFramesDoc},
    {kScanLammpsDump, scan_lammps_dump, kScanLammpsDumpDocText},
    {kReadLammpsDumpFrames, read_lammps_dump_frames, kReadLammpsDumpFramesDocText},
    {kFormatLammpsDumpFrames, format_lammps_dump_frames, kFormatLammpsDumpFramesDocText},
    {kScanVasprun, scan_vasprun, kScanVasprunDoc},
    {kScanOutcarSteps, scan_outcar_steps, kScanOutcarStepsDoc},
    {kReadOutcarTables, read_outcar_tables, kReadOutcarTablesDoc},
};

}  // namespace

const py::FunctionDescription kReadPoscarBlock{"read_poscar_block", kPoscarParameters, 4};
const py::FunctionDescription kReadXdatcarFrames{"read_xdatcar_frames", kXdatcarParameters, 3};
const py::FunctionDescription kIndexXdatcarFrames{"index_xdatcar_frames", kXdatcarIndexParameters, 3};
const py::FunctionDescription kReadXyzFrames{"read_xyz_frames", kXyzParameters, 1};
const py::FunctionDescription kIndexXyzFrames{"index_xyz_frames", kXyzIndexParameters, 1};
const py::FunctionDescription kFormatXdatcarFrames{"format_xdatcar_frames", kFormatXdatcarParameters, 1};
const py::FunctionDescription kFormatXyzFrames{"format_xyz_frames", kFormatXyzParameters, 4};
const py::FunctionDescription kScanPoscar{"scan_poscar", kScanPoscarParameters, 1};
const py::FunctionDescription kScanXdatcarFrames{"scan_xdatcar_frames", kScanXdatcarParameters, 1};
const py::FunctionDescription kScanXyzFrames{"scan_xyz_frames", kScanXyzParameters, 1};
const py::FunctionDescription kReadExtxyzFrames{"read_extxyz_frames", kExtxyzParameters, 1};
const py::FunctionDescription kParseExtxyzComment{"parse_extxyz_comment", kExtxyzCommentParameters, 1};
const py::FunctionDescription kFormatExtxyzFrames{"format_extxyz_frames", kFormatExtxyzParameters, 5};
const py::FunctionDescription kScanVasprun{"scan_vasprun", kScanVasprunParameters, 1};
const py::FunctionDescription kScanOutcarSteps{"scan_outcar_steps", kScanOutcarParameters, 1};
const py::FunctionDescription kReadOutcarTables{"read_outcar_tables", kOutcarTablesParameters, 2};

std::span<const py::FunctionRow> function_table() noexcept { return kTable; }

}  // namespace io_rs::buffers
