// Frames formatted into text a round at a time, for the writers that take a
// write callable: a round's frame heads are converted with the interpreter's
// lock held, its text formatted on threads with the lock given up, then
// handed to write in order, in pieces of about kTextPiece bytes. The
// calling thread hands a round's text to write while the other threads
// format the next round: a write that takes its time (a compressor that
// gives up the lock, a slow disk) leaves them working. A round holds about
// kTextPiece bytes of rows a thread; a frame of more rows than that is cut
// into pieces of rows. A head that does not convert ends the writing: its
// exception is raised once the text before it is out, unless that text
// fails first. Without write, the whole text is returned as bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/output_text.hpp"
#include "core/pieces_text.hpp"
#include "python/exceptions.hpp"
#include "python/py_ref.hpp"
#include "python/released.hpp"
#include "python/results.hpp"

namespace io_rs::py {

inline constexpr std::size_t kTextPiece = std::size_t{1} << 20;

// head(f) converts frame f's head into storage that stays put for the
// round, and gives it, or nullptr with a Python exception set; new_round(left)
// empties that storage (a round converts at most the `left` heads left).
// append_head(out, head) and append_rows(out, first_row, rows) format (they
// run on threads, without the lock). row_bytes and head_bytes: about how
// long a row and a head are; whole: about how long the whole text is, to
// reserve where it is returned as bytes.
template <class Head, class NewRound, class HeadOf, class AppendHead, class AppendRows>
PyObject* write_in_rounds(std::span<const std::uint64_t> counts, std::size_t row_bytes, std::size_t head_bytes,
                          std::size_t threads, PyObject* write, std::size_t whole, NewRound&& new_round,
                          HeadOf&& head, AppendHead&& append_head, AppendRows&& append_rows) {
  OutputText out;
  const std::size_t block_rows = std::max<std::size_t>(1, kTextPiece / 4 / row_bytes);
  const std::size_t round_bytes = kTextPiece * std::max<std::size_t>(1, threads);
  out.reserve(write == nullptr ? whole : std::min(whole, 2 * kTextPiece));
  auto pass_on = [&](std::string_view text, std::size_t at_least) {
    out.append(text);
    if (write == nullptr || out.size() < at_least) return true;
    Ref piece = bytes_result(out);
    if (!piece) return false;
    Ref written = Ref::steal(PyObject_CallOneArg(write, piece.get()));
    if (!written) return false;
    out.clear();
    return true;
  };
  auto pass_parts = [&](const PiecesText& text) {
    for (const OutputText& part : text.parts) {
      if (!pass_on(part.view(), kTextPiece)) return false;
    }
    return true;
  };
  const std::size_t frames = counts.size();
  std::vector<FramePiece<Head>> pieces;
  PiecesText before;  // the round before's text, handed on while this round is formatted
  std::size_t f = 0, row = 0, done_in_frame = 0;  // where the next round starts
  while (f < frames) {
    new_round(frames - f);
    pieces.clear();
    bool convert_failed = false;
    std::size_t bytes = 0;
    while (f < frames && bytes < round_bytes) {
      const std::size_t natoms = counts[f];
      const Head* converted = nullptr;
      if (done_in_frame == 0) {
        converted = head(f);
        if (converted == nullptr) {
          convert_failed = true;
          break;
        }
      }
      // The frame's rows from done_in_frame, a block of rows a piece.
      do {
        const std::size_t rows = std::min(block_rows, natoms - done_in_frame);
        pieces.push_back({converted, row + done_in_frame, rows});
        bytes += rows * row_bytes + (converted ? head_bytes : 0);
        converted = nullptr;
        done_in_frame += rows;
      } while (done_in_frame < natoms && bytes < round_bytes);
      if (done_in_frame == natoms) {
        row += natoms;
        ++f;
        done_in_frame = 0;
      }
    }
    std::optional<PendingError> pending;
    if (convert_failed) pending.emplace();  // the conversion's exception, kept while the text goes out
    bool passed = true;
    PiecesText text;
    {
      Released scope;
      text = format_frame_pieces(std::span<const FramePiece<Head>>(pieces), row_bytes, head_bytes, threads,
                                 append_head, append_rows, [&] {
        if (before.parts.empty()) return;
        Retaken lock(scope);
        passed = contain([&]() -> PyObject* { return pass_parts(before) ? Py_None : nullptr; }) != nullptr;
      });
    }
    if (!passed) return nullptr;
    before = std::move(text);
    if (before.error || pending) {
      // What was made before the failure goes out first.
      if (!pass_parts(before)) return nullptr;
      if (before.error) return raise(*before.error);
      pending->restore();
      return nullptr;
    }
  }
  if (!pass_parts(before)) return nullptr;
  if (write == nullptr) return bytes_result(out).release();
  if (!pass_on({}, 1)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace io_rs::py
