#include "functions.hpp"

namespace io_rs::module {
namespace {

constexpr const char* kParsePoscarPositionsDoc =
    "Parse the N-atom position block from a POSCAR/CONTCAR file.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "rows = [line.split() for line in lines]\n"
    "positions = np.array([[float(v) for v in r[:3]] for r in rows], dtype=float).reshape(-1, 3)\n"
    "flags = (np.array([[f == 'F' for f in (r[3:6] + ['T'] * 3)[:3]] for r in rows],\n"
    "                  dtype=bool).reshape(-1, 3) if selective else None)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N atom lines already read from the file descriptor.\n"
    "selective : bool\n"
    "    Whether selective-dynamics flags (T/F) are present.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(positions: ndarray float64 [N,3],\n"
    " flags:     ndarray bool    [N,3]  or  None)";

constexpr const char* kFormatPoscarPositionsDoc =
    "Format the N-atom position block for a POSCAR/CONTCAR file.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "out = []\n"
    "for i, row in enumerate(coord):\n"
    "    line = ''.join(' %19.16f' % x for x in row[:3])\n"
    "    if flags is not None:\n"
    "        line += ''.join('%4s' % ('F' if f else 'T') for f in flags[i][:3])\n"
    "    out.append(line + '\\n')\n"
    "text = ''.join(out)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "coord : ndarray float64 [N,3]\n"
    "    Atom positions (cartesian or scaled \u2014 caller decides).\n"
    "flags : ndarray bool [N,3] or None\n"
    "    Selective-dynamics mask (True = frozen = 'F' in file).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str  \u2014 the complete block ready for fd.write()";

constexpr const char* kParseXdatcarCoordsDoc =
    "Parse the coordinate block for one XDATCAR frame.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "positions = np.array([[float(v) for v in line.split()[:3]] for line in lines],\n"
    "                     dtype=float).reshape(-1, 3)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N coordinate lines for this frame (already read).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ndarray float64 [N,3] \u2014 fractional coordinates";

constexpr const char* kFormatXdatcarConfigDoc =
    "Format one complete XDATCAR configuration block.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "out = ['Direct configuration=%6d\\n' % index]\n"
    "for row in scaled_positions:\n"
    "    out.append('  %11.8f %11.8f %11.8f\\n' % tuple(row[:3]))\n"
    "text = ''.join(out)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "scaled_positions : ndarray float64 [N,3]\n"
    "index : int \u2014 1-based frame index written to the header line\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str  \u2014 full block including header, ready for fd.write()";

constexpr const char* kParseXyzBlockDoc =
    "Parse N atom lines from a simple XYZ file.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "symbols, rows = [], []\n"
    "for line in lines:\n"
    "    fields = line.split()\n"
    "    s = fields[0].lower()\n"
    "    symbols.append(s[:1].upper() + s[1:])\n"
    "    rows.append([float(v) for v in fields[1:4]])\n"
    "positions = np.array(rows, dtype=float).reshape(-1, 3)\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N atom lines (already extracted from the full file).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(symbols: list[str], positions: ndarray float64 [N,3])";

constexpr const char* kFormatXyzBlockDoc =
    "Format N atoms as simple XYZ atom lines.\n"
    "\n"
    "Equivalent Python loop:\n"
    "```python\n"
    "text = ''.join('%-2s %22.15f %22.15f %22.15f\\n' % (s, *p[:3])\n"
    "               for s, p in zip(symbols, positions))\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "symbols   : list[str]  \u2014 chemical symbols (length N)\n"
    "positions : ndarray float64 [N,3]\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str  \u2014 the block (without the natoms / comment header lines)";

constexpr py::Parameter kLinesSelective[] = {{"lines"}, {"selective"}};
constexpr py::Parameter kCoordFlags[] = {{"coord"}, {"flags", "None"}};
constexpr py::Parameter kLines[] = {{"lines"}};
constexpr py::Parameter kScaledPositionsIndex[] = {{"scaled_positions"}, {"index"}};
constexpr py::Parameter kSymbolsPositions[] = {{"symbols"}, {"positions"}};

const FunctionRow kTable[] = {
    {kParsePoscarPositions, parse_poscar_positions, kParsePoscarPositionsDoc},
    {kFormatPoscarPositions, format_poscar_positions, kFormatPoscarPositionsDoc},
    {kParseXdatcarCoords, parse_xdatcar_coords, kParseXdatcarCoordsDoc},
    {kFormatXdatcarConfig, format_xdatcar_config, kFormatXdatcarConfigDoc},
    {kParseXyzBlock, parse_xyz_block, kParseXyzBlockDoc},
    {kFormatXyzBlock, format_xyz_block, kFormatXyzBlockDoc},
};

}  // namespace

const py::FunctionDescription kParsePoscarPositions{"parse_poscar_positions_rs", kLinesSelective, 2};
const py::FunctionDescription kFormatPoscarPositions{"format_poscar_positions_rs", kCoordFlags, 1};
const py::FunctionDescription kParseXdatcarCoords{"parse_xdatcar_coords_rs", kLines, 1};
const py::FunctionDescription kFormatXdatcarConfig{"format_xdatcar_config_rs", kScaledPositionsIndex, 2};
const py::FunctionDescription kParseXyzBlock{"parse_xyz_block_rs", kLines, 1};
const py::FunctionDescription kFormatXyzBlock{"format_xyz_block_rs", kSymbolsPositions, 2};

std::span<const FunctionRow> function_table() noexcept { return kTable; }

}  // namespace io_rs::module
