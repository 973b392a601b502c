// Text written a piece at a time on threads: writers cut their frames into
// pieces (a frame's header with its first rows, or more rows of it), and
// consecutive pieces are grouped into parts of about part_bytes, each
// formatted into a text of its own on up to `threads` threads, so that the
// parts in order are what one thread would write.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/output_text.hpp"
#include "core/parallel.hpp"

namespace io_rs {

// The texts of the parts, in order. On a failure, the texts are those of
// the pieces before the failing one, and the error is the first in piece
// order.
struct PiecesText {
  std::vector<OutputText> parts;
  std::optional<Error> error;
};

// Pieces 0 .. count - 1: bytes(k) about how long piece k's text is,
// write(out, k) appends it (Result<void>); meanwhile() runs on the calling
// thread while the other threads start on the parts (run_claimed_beside).
template <class Bytes, class Write, class Meanwhile = NothingBeside>
PiecesText format_pieces(std::size_t count, std::size_t threads, Bytes&& bytes, Write&& write,
                         Meanwhile&& meanwhile = {}) {
  std::size_t total = 0;
  for (std::size_t k = 0; k < count; ++k) total += bytes(k);
  threads = threads_for(threads, total);
  const std::size_t bytes_a_part = part_bytes(total, threads);
  std::vector<std::size_t> starts{0};  // the first piece of each part, then the end
  for (std::size_t k = 0, at = 0; k < count; ++k) {
    at += bytes(k);
    if (at >= bytes_a_part && k + 1 < count) {
      starts.push_back(k + 1);
      at = 0;
    }
  }
  starts.push_back(count);
  const std::size_t parts = starts.size() - 1;
  PiecesText text;
  text.parts.resize(parts);
  struct Failure {
    std::size_t kept = 0;  // the part's bytes before the failing piece
    std::optional<Error> error;
  };
  std::vector<Failure> failures(parts);
  const std::size_t ended = run_claimed_until(threads, parts, [&](std::size_t p) {
    OutputText& out = text.parts[p];
    std::size_t room = 0;
    for (std::size_t k = starts[p]; k < starts[p + 1]; ++k) room += bytes(k);
    out.reserve(room);
    for (std::size_t k = starts[p]; k < starts[p + 1]; ++k) {
      const std::size_t kept = out.size();
      Result<void> written = write(out, k);
      if (!written) {
        failures[p] = {kept, std::move(written.error())};
        return true;
      }
    }
    return false;
  }, meanwhile);
  if (ended < parts) {
    text.parts.resize(ended + 1);
    OutputText& last = text.parts[ended];
    OutputText cut;
    cut.append(last.view().substr(0, failures[ended].kept));
    last = std::move(cut);
    text.error = std::move(failures[ended].error);
  }
  return text;
}

// A stretch of a frame's text: its head (where given: the frame's first
// piece), then rows [first_row, first_row + rows) of the columns, which may
// be a part of the frame's rows.
template <class Head>
struct FramePiece {
  const Head* head = nullptr;
  std::size_t first_row = 0;
  std::size_t rows = 0;
};

// The text of consecutive pieces of frames: append_head(out, head) and
// append_rows(out, first_row, rows) (each Result<void>); row_bytes and
// head_bytes about how long a row and a head are; meanwhile as for
// format_pieces.
template <class Head, class AppendHead, class AppendRows, class Meanwhile = NothingBeside>
PiecesText format_frame_pieces(std::span<const FramePiece<Head>> pieces, std::size_t row_bytes, std::size_t head_bytes,
                               std::size_t threads, AppendHead&& append_head, AppendRows&& append_rows,
                               Meanwhile&& meanwhile = {}) {
  return format_pieces(
      pieces.size(), threads,
      [&](std::size_t k) { return pieces[k].rows * row_bytes + (pieces[k].head ? head_bytes : 0); },
      [&](OutputText& out, std::size_t k) {
        const FramePiece<Head>& piece = pieces[k];
        Result<void> written;
        if (piece.head != nullptr) written = append_head(out, *piece.head);
        if (written) written = append_rows(out, piece.first_row, piece.rows);
        return written;
      },
      meanwhile);
}

}  // namespace io_rs
