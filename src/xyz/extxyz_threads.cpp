// Extended XYZ frames read on threads, straight into the columns; the
// result, and the first failure in file order, are those of one thread.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/frame_parts.hpp"
#include "core/line_cursor.hpp"
#include "core/line_ranges.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"
#include "xyz/extxyz.hpp"
#include "xyz/extxyz_rows.hpp"

namespace io_rs::xyz {
namespace {

// What ends a run of frames at a place in the file: (frame, where in it),
// where -2 is its count line, -1 its comment and a row number its atom line;
// an error, or none for a frame of another schema.
struct Stop {
  std::size_t frame = SIZE_MAX;
  std::int64_t where = 0;
  std::optional<Error> error;
  bool before(const Stop& other) const {
    return frame != other.frame ? frame < other.frame : where < other.where;
  }
};

// The texts of a string column read in pieces (a part's, a range's), joined
// in file order; only the first `kept` of them (those of the rows kept), so
// that no other sets the width.
InternedTexts joined_texts(const std::vector<InternedTexts*>& pieces, std::size_t kept) {
  std::size_t total = 0;
  for (const InternedTexts* piece : pieces) total += piece->size();
  InternedTexts joined = std::move(*pieces[0]);
  joined.reserve(total);
  for (std::size_t k = 1; k < pieces.size(); ++k) joined.append(*pieces[k]);
  if (joined.size() <= kept) return joined;
  InternedTexts first;
  first.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) first.push_back(joined[i]);
  return first;
}

// The Properties value of a comment line as written ("Properties=" up to the
// next blank), or nothing: frames of a training set spell it alike, and the
// pass parses a comment only when its spelling is new. Two spellings of one
// schema, or one spelling that a parse would read otherwise, only cost a
// parse more or a longer pass: every comment is parsed in full before its
// frame is read.
std::string_view properties_spelling(std::string_view comment) {
  const std::size_t at = comment.find("Properties=");
  if (at == std::string_view::npos) return {};
  std::size_t end = at + 11;
  while (end < comment.size() && comment[end] != ' ' && comment[end] != '\t') ++end;
  return comment.substr(at, end - at);
}

}  // namespace

// The frames on threads. One pass finds each frame's count line, comment
// line and atom lines (line ends only), up to max_frames and up to the first
// frame of another schema: a comment is parsed there when its Properties are
// spelt as in no frame before (the first frame's gives the run's columns),
// or when its frame is large enough to be cut into ranges (more than two
// parts of the least size). The other comments are parsed,
// and the atom lines read, in parts of whole frames (a frame much larger
// than a part cut at line starts) that the threads claim in turn, straight
// into the columns; string columns are read into a list a part, joined in
// file order. What one thread would stop at, the first in file order of
// them all wins: a count line that fails or a frame cut short (the pass
// ends there), a comment that fails, a comment of another schema (the run
// of frames ends before it), an atom line that fails. Between its own
// parts, the calling thread hands the comments of the frames read so far to
// the sink.
Result<ExtxyzFrames> read_extxyz_on_threads(std::string_view buffer, std::size_t offset,
                                            std::optional<std::uint64_t> max_frames, const Base& base,
                                            std::size_t threads, CommentSink* sink) {
  struct Found {
    std::size_t natoms;  // atom lines present (all of them but in a frame cut short)
    std::size_t count_offset, comment_offset;
    std::string_view comment;
    std::size_t atoms_start, atoms_end, first_atom;
  };
  std::vector<Found> found;
  ExtxyzFrames read;
  std::vector<std::uint8_t> parsed, exact;  // a frame's comment parsed; its rows hold no field past the schema's
  std::vector<std::string_view> spellings;  // of Properties, in comments of the run's columns
  Stop stop;
  LineCursor lines(buffer, offset);
  read.end = offset;
  std::size_t atoms = 0;
  while (!lines.done() && (!max_frames || found.size() < *max_frames)) {
    const std::size_t count_offset = lines.offset();
    const std::uint64_t frame = base.frame + found.size() + 1;
    auto head = take_frame_lines(buffer, base, lines, frame);
    if (!head) {
      stop = {found.size(), -2, std::move(head.error())};
      break;
    }
    if (!*head) {
      read.end = buffer.size();
      break;
    }
    const std::size_t natoms = (*head)->natoms;
    const std::size_t atoms_start = lines.offset();
    const std::size_t skipped = lines.skip(natoms);
    const std::string_view spelling = properties_spelling((*head)->comment);
    std::optional<Comment> comment;
    if (found.empty() || lines.offset() - atoms_start > 2 * kLeastPartBytes ||
        std::find(spellings.begin(), spellings.end(), spelling) == spellings.end()) {
      auto parsed_comment = read_comment(buffer, base, (*head)->comment_offset, (*head)->comment, frame);
      if (!parsed_comment) {
        stop = {found.size(), -1, std::move(parsed_comment.error())};
        break;
      }
      if (found.empty()) {
        read.columns = std::move(parsed_comment->columns);
      } else if (parsed_comment->columns != read.columns) {
        stop = {found.size(), -1, std::nullopt};  // another schema: the run ends before it
        break;
      }
      parsed_comment->columns.clear();
      if (spellings.size() < 8 && std::find(spellings.begin(), spellings.end(), spelling) == spellings.end()) {
        spellings.push_back(spelling);
      }
      comment = std::move(*parsed_comment);
    }
    found.push_back({skipped, count_offset, (*head)->comment_offset, (*head)->comment, atoms_start, lines.offset(),
                     atoms});
    parsed.push_back(comment ? 1 : 0);
    exact.push_back(comment && !comment->plain ? 1 : 0);
    read.comments.push_back(comment ? std::move(*comment) : Comment{});
    atoms += skipped;
    if (skipped < natoms) {
      stop = {found.size() - 1, INT64_MAX, cut_short(buffer, base, frame, count_offset, skipped, natoms).error()};
      break;
    }
    read.counts.push_back(natoms);
    read.end = lines.offset();
  }
  if (found.empty() && read.end < buffer.size() && lines.done()) read.end = buffer.size();
  if (found.empty()) {
    if (stop.error) return std::unexpected(std::move(*stop.error));
    return read;
  }

  const std::size_t bytes = found.back().atoms_end - offset;
  threads = threads_for(threads, bytes);
  FrameParts parts(buffer, found, part_bytes(bytes, threads));
  read.data.resize(read.columns.size());
  reserve_rows(read.columns, read.data, atoms);
  std::vector<std::vector<InternedTexts>> texts(parts.size(), std::vector<InternedTexts>(read.columns.size()));
  std::vector<Stop> stops(parts.size());
  std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[parts.size()]);
  for (std::size_t p = 0; p < parts.size(); ++p) done[p].store(false, std::memory_order_relaxed);
  std::atomic<std::size_t> ended{parts.size()};

  auto run_part = [&](std::size_t p) {
    if (p > ended.load(std::memory_order_relaxed)) {
      done[p].store(true, std::memory_order_release);
      return;
    }
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &texts[p]);
    const bool stopped = parts.run(p, [&](std::size_t k, std::uint64_t first, std::size_t begin,
                                          std::size_t end) -> RowsRead {
      const Found& frame = found[k];
      const std::uint64_t number = base.frame + k + 1;
      if (!parsed[k]) {
        auto comment = read_comment(buffer, base, frame.comment_offset, frame.comment, number);
        if (!comment) {
          stops[p] = {k, -1, std::move(comment.error())};
          return {0, true};
        }
        if (comment->columns != read.columns) {
          stops[p] = {k, -1, std::nullopt};
          return {0, true};
        }
        comment->columns.clear();
        exact[k] = !comment->plain;
        read.comments[k] = std::move(*comment);
      }
      LineCursor atom_lines(buffer, begin);
      std::uint64_t i = first;
      for (; i < frame.natoms && atom_lines.offset() < end; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const std::string_view atom_line = atom_lines.next();
        const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs,
                                            frame.first_atom + i, exact[k] != 0);
        if (outcome.problem != RowProblem::None) [[unlikely]] {
          stops[p] = {k, static_cast<std::int64_t>(i),
                      at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                         place_of(buffer, base, line_offset, number)).error()};
          return {i - first, true};
        }
      }
      return {i - first, false};
    });
    if (stopped) {
      std::size_t seen = ended.load(std::memory_order_relaxed);
      while (p < seen && !ended.compare_exchange_weak(seen, p, std::memory_order_relaxed)) {
      }
    }
    done[p].store(true, std::memory_order_release);
  };

  {
    using RunPart = decltype(run_part);
    PartClaims claims(threads - 1, {[](void* context, std::size_t p) { (*static_cast<RunPart*>(context))(p); },
                                    &run_part});
    claims.publish(parts.size());
    // The comments of frames whose parts are done go to the sink between
    // the calling thread's own parts, while the workers read on.
    const bool handing = sink != nullptr && claims.helpers() > 0;
    std::size_t handed = 0, frames_handed = 0;
    bool taking = handing;
    while (auto p = claims.claim()) {
      run_part(*p);
      if (!taking) continue;
      std::size_t ready = frames_handed;
      while (handed < parts.size() && done[handed].load(std::memory_order_acquire)) {
        ready = parts.last_frame(handed);
        ++handed;
      }
      if (ready > frames_handed) {
        taking = sink->take(frames_handed, std::span<Comment>(read.comments).subspan(frames_handed, ready - frames_handed));
        frames_handed = ready;
      }
    }
    claims.finish();
  }

  // The first stop in the file.
  const Stop* first = &stop;
  const std::size_t last = ended.load(std::memory_order_relaxed);
  if (last < parts.size() && stops[last].before(*first)) first = &stops[last];
  if (first->error) return std::unexpected(std::move(*first->error));
  const std::size_t kept = std::min(first->frame, found.size());
  std::size_t kept_atoms = atoms;
  if (kept < found.size()) {
    // A frame of another schema: the run ends before it.
    kept_atoms = found[kept].first_atom;
    read.end = found[kept].count_offset;
    reserve_rows(read.columns, read.data, kept_atoms);
  }
  read.counts.resize(std::min(read.counts.size(), kept));
  read.comments.resize(kept);
  read.atoms = kept_atoms;
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::vector<InternedTexts*> pieces;
    for (std::size_t p = 0; p < parts.size() && (p == 0 || parts.first_frame(p) < kept); ++p) {
      pieces.push_back(&texts[p][c]);
    }
    read.data[c].texts = joined_texts(pieces, kept_atoms * read.columns[c].width);
  }
  return read;
}

// One large frame that runs to the end of the buffer (a file of one frame)
// on threads: its atom lines read in line ranges that the threads claim in
// turn, straight into the columns, without a pass over them first, each
// range's string fields into a list of its own, joined in file order.
// Nothing when the frame is not that: when its count and the length of its
// first atom line say it is not most of the buffer, or when its lines turn
// out not to be exactly natoms to the end (read_extxyz_on_threads then
// reads it, and says how it ends).
std::optional<Result<ExtxyzFrames>> read_extxyz_one_frame(std::string_view buffer, std::size_t offset,
                                                          std::optional<std::uint64_t> max_frames, const Base& base,
                                                          std::size_t threads) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  LineCursor lines(buffer, offset);
  auto head = take_frame_lines(buffer, base, lines, base.frame + 1);
  if (!head || !*head || lines.done()) return std::nullopt;
  const std::size_t natoms = (**head).natoms;
  const std::size_t atoms_start = lines.offset();
  if (!likely_one_large_frame(buffer, atoms_start, natoms, lines.peek())) return std::nullopt;
  auto comment = read_comment(buffer, base, (**head).comment_offset, (**head).comment, base.frame + 1);
  if (!comment) return std::unexpected(std::move(comment.error()));  // nothing comes before it

  ExtxyzFrames read;
  read.columns = std::move(comment->columns);
  comment->columns.clear();
  read.data.resize(read.columns.size());
  reserve_rows(read.columns, read.data, natoms);
  const bool exact = !comment->plain;
  const std::uint64_t number = base.frame + 1;
  const std::size_t bytes = buffer.size() - atoms_start;
  threads = threads_for(threads, bytes);
  LineRanges ranges(buffer, atoms_start, buffer.size(), part_bytes(bytes, threads));
  std::vector<std::vector<InternedTexts>> texts(ranges.size(), std::vector<InternedTexts>(read.columns.size()));
  std::vector<std::optional<Error>> failures(ranges.size());
  bool to_the_end = false;  // row natoms - 1 read, and the buffer ends with it
  const std::size_t ended = read_rows_on_threads(ranges, natoms, threads,
      [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t end) -> RowsRead {
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &texts[k]);
    LineCursor atom_lines(buffer, begin);
    std::uint64_t i = first;
    for (; i < natoms && atom_lines.offset() < end; ++i) {
      const std::size_t line_offset = atom_lines.offset();
      const std::string_view atom_line = atom_lines.next();
      const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs, i, exact);
      if (outcome.problem != RowProblem::None) [[unlikely]] {
        failures[k] = at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                         place_of(buffer, base, line_offset, number)).error();
        return {i - first, true};
      }
    }
    if (i == natoms) to_the_end = atom_lines.done();
    return {i - first, i == natoms};
  });
  if (ended < ranges.size() && failures[ended]) {
    return Result<ExtxyzFrames>(std::unexpected(std::move(*failures[ended])));
  }
  if (!to_the_end) return std::nullopt;
  read.comments.push_back(std::move(*comment));
  read.counts.push_back(natoms);
  read.atoms = natoms;
  read.end = buffer.size();
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::vector<InternedTexts*> pieces;
    for (std::size_t k = 0; k <= ended; ++k) pieces.push_back(&texts[k][c]);
    read.data[c].texts = joined_texts(pieces, natoms * read.columns[c].width);
  }
  return Result<ExtxyzFrames>(std::move(read));
}

}  // namespace io_rs::xyz
