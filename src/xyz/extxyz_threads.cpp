// Extended XYZ frames read on threads, straight into the columns; the
// result, and the first failure in file order, are those of one thread.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/atom_runs.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"
#include "core/staged_frames.hpp"
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

// Many small frames on threads, read in stages while the pass finds them:
// each stage read whole (comment, then atom lines, frame by frame) by one
// thread. The columns are made when the first stage is passed, for the rows
// the rest of the buffer likely holds. String columns are read into a list
// a stage, joined in file order; the first stop in file order wins, as with
// one thread.
struct StagedFrame {
  std::size_t natoms;  // atom lines present (all of them but in a frame cut short)
  std::size_t count_offset, comment_offset;
  std::string_view comment;
  std::size_t atoms_start, first_atom;
};

struct Stage {
  std::size_t first_frame = 0;
  std::vector<StagedFrame> frames;
  std::vector<Comment> comments;     // its frames', up to its stop
  std::vector<InternedTexts> texts;  // a string column's fields, one a column
  Stop stop;
};


// The texts of a string column read in pieces (a thread's, a stage's),
// joined in file order; only those of the first kept_rows rows, so that no
// other sets the width.
InternedTexts joined_texts(const std::vector<InternedTexts*>& pieces, std::size_t kept_rows) {
  std::size_t total = 0;
  for (const InternedTexts* piece : pieces) total += piece->size();
  InternedTexts joined = std::move(*pieces[0]);
  joined.reserve(total);
  for (std::size_t k = 1; k < pieces.size(); ++k) joined.append(*pieces[k]);
  if (joined.size() <= kept_rows) return joined;
  InternedTexts kept;
  kept.reserve(kept_rows);
  for (std::size_t i = 0; i < kept_rows; ++i) kept.push_back(joined[i]);
  return kept;
}

}  // namespace

// The frames on threads. One pass finds each frame's count line, comment
// line and atom lines (line ends only); the comment lines are parsed and the
// atom lines read on the threads, in runs (a frame much larger than a
// thread's share cut at line starts, its comment parsed before), straight
// into the columns. String columns are read into a list a thread, joined in
// file order. What one thread would stop at, the first in file order of
// them all wins: a count line that fails or a frame cut short (the pass
// ends there), a comment that fails, a comment of another schema (the run
// of frames ends before it), an atom line that fails. Each thread stops at
// the first it meets, since none after it can matter.
Result<ExtxyzFrames> read_extxyz_on_threads(std::string_view buffer, std::size_t offset,
                                            std::optional<std::uint64_t> max_frames, const Base& base,
                                            std::size_t threads) {
  struct Found {
    std::size_t natoms;  // atom lines present (all of them but in a frame cut short)
    std::size_t count_offset, comment_offset;
    std::string_view comment;
    std::size_t atoms_start, atoms_end, first_atom;
  };
  std::vector<Found> found;
  Stop stop;
  ExtxyzFrames read;
  LineCursor lines(buffer, offset);
  read.end = offset;
  std::size_t atoms = 0;
  std::optional<LineCuts> first_cuts;
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
    std::size_t skipped;
    if (found.empty() && (first_cuts = cut_frame_to_end(buffer, atoms_start, natoms,
                                                                threads_for(threads, buffer.size() - atoms_start)))) {
      lines = LineCursor(buffer, buffer.size());
      skipped = natoms;
    } else {
      skipped = lines.skip(natoms);
    }
    found.push_back({skipped, count_offset, (*head)->comment_offset, (*head)->comment, atoms_start, lines.offset(),
                     atoms});
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

  // The comments of the first frame (its schema is the run's) and of frames
  // cut for the threads, before the threads start.
  threads = threads_for(threads, found.back().atoms_end - found.front().atoms_start);
  const AtomRunPlan plan = plan_atom_runs(buffer, found, atoms, threads, first_cuts);
  read.comments.resize(found.size());
  std::vector<std::uint8_t> parsed(found.size(), 0), exact(found.size(), 0);
  std::vector<Stop> stops(threads);
  // Parses frame k's comment into place; false with a stop when it fails or
  // names another schema.
  auto take_comment = [&](std::size_t k, Stop& at_stop) {
    const Found& f = found[k];
    auto comment = read_comment(buffer, base, f.comment_offset, f.comment, base.frame + k + 1);
    if (!comment) {
      at_stop = {k, -1, std::move(comment.error())};
      return false;
    }
    if (k == 0) {
      read.columns = std::move(comment->columns);
    } else if (comment->columns != read.columns) {
      at_stop = {k, -1, std::nullopt};
      return false;
    }
    comment->columns.clear();
    exact[k] = !comment->plain;
    read.comments[k] = std::move(*comment);
    parsed[k] = 1;
    return true;
  };
  Stop early;
  bool usable = take_comment(0, early);
  if (!usable) return std::unexpected(std::move(*early.error));  // nothing comes before it
  for (const AtomRun& run : plan.runs) {
    if (usable && run.first_row > 0 && !parsed[run.frame]) usable = take_comment(run.frame, early);
  }

  read.data.resize(read.columns.size());
  reserve_rows(read.columns, read.data, atoms);
  std::vector<std::vector<InternedTexts>> texts(threads, std::vector<InternedTexts>(read.columns.size()));
  run_parts(threads, [&](std::size_t t) {
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &texts[t]);
    for (std::size_t r = plan.part_start[t]; r < plan.part_start[t + 1]; ++r) {
      const AtomRun& run = plan.runs[r];
      const std::size_t k = run.frame;
      // Nothing past an early stop is needed.
      if (!usable && early.before(Stop{k, static_cast<std::int64_t>(run.first_row), std::nullopt})) return;
      if (run.first_row == 0 && !parsed[k] && !take_comment(k, stops[t])) return;
      const Found& frame = found[k];
      LineCursor atom_lines(buffer, run.start);
      for (std::size_t i = run.first_row; i < run.first_row + run.rows; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const std::string_view atom_line = atom_lines.next();
        const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs,
                                            frame.first_atom + i, exact[k]);
        if (outcome.problem != RowProblem::None) [[unlikely]] {
          const std::uint64_t number = base.frame + k + 1;
          stops[t] = {k, static_cast<std::int64_t>(i),
                      at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                         place_of(buffer, base, line_offset, number)).error()};
          return;
        }
      }
    }
  });
  // The first stop in the file.
  Stop* first = &stop;
  if (!usable && early.before(*first)) first = &early;
  for (Stop& s : stops) {
    if (s.before(*first)) first = &s;
  }
  // Frames without atom lines have no run: their comments, in file order,
  // up to the first stop.
  Stop late;
  for (std::size_t k = 1; k < found.size() && Stop{k, -1, std::nullopt}.before(*first); ++k) {
    if (found[k].natoms == 0 && !parsed[k] && !take_comment(k, late)) {
      first = &late;
      break;
    }
  }
  if (first->error) return std::unexpected(std::move(*first->error));
  const std::size_t kept = first->frame == SIZE_MAX ? found.size() : first->frame;
  std::size_t kept_atoms = atoms;
  if (kept < found.size()) {
    // A frame of another schema: the run ends before it.
    kept_atoms = found[kept].first_atom;
    read.end = found[kept].count_offset;
    read.counts.resize(kept);
    read.comments.resize(kept);
    reserve_rows(read.columns, read.data, kept_atoms);
  }
  read.atoms = kept_atoms;
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::vector<InternedTexts*> pieces;
    for (std::size_t t = 0; t < threads; ++t) pieces.push_back(&texts[t][c]);
    read.data[c].texts = joined_texts(pieces, kept_atoms);
  }
  return read;
}

// One large frame that runs to the end of the buffer (a file of one frame)
// on threads: its atom lines read as ranges straight into the columns,
// without a pass over them first, each range's string fields into a list of
// its own, joined in file order. Nothing when the frame is not that: when
// its count and the length of its first atom line say it is not most of the
// buffer, or when its lines turn out not to be exactly natoms to the end
// (read_extxyz_on_threads then reads it, and says how it ends).
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
  std::vector<std::vector<InternedTexts>> texts(threads, std::vector<InternedTexts>(read.columns.size()));
  std::vector<std::optional<Error>> failures(threads);
  bool to_the_end = false;  // row natoms - 1 read, and the buffer ends with it
  read_rows_on_threads(buffer, atoms_start, natoms, threads,
                       [&](std::size_t t, std::uint64_t first, std::uint64_t stop, std::size_t begin, std::size_t end) {
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &texts[t]);
    LineCursor atom_lines(buffer, begin);
    for (std::uint64_t i = first; i < stop && atom_lines.offset() < end; ++i) {
      const std::size_t line_offset = atom_lines.offset();
      const std::string_view atom_line = atom_lines.next();
      const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs, i, exact);
      if (outcome.problem != RowProblem::None) [[unlikely]] {
        failures[t] = at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                         place_of(buffer, base, line_offset, number)).error();
        return;
      }
      if (i + 1 == natoms) to_the_end = atom_lines.done();
    }
  });
  for (auto& failure : failures) {
    if (failure) return Result<ExtxyzFrames>(std::unexpected(std::move(*failure)));
  }
  if (!to_the_end) return std::nullopt;
  read.comments.push_back(std::move(*comment));
  read.counts.push_back(natoms);
  read.atoms = natoms;
  read.end = buffer.size();
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::vector<InternedTexts*> pieces;
    for (std::size_t t = 0; t < threads; ++t) pieces.push_back(&texts[t][c]);
    read.data[c].texts = joined_texts(pieces, natoms);
  }
  return Result<ExtxyzFrames>(std::move(read));
}

std::optional<Result<ExtxyzFrames>> read_extxyz_staged(std::string_view buffer, std::size_t offset,
                                                       std::optional<std::uint64_t> max_frames, const Base& base,
                                                       std::size_t threads, CommentSink* sink) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  ExtxyzFrames read;
  read.end = offset;
  LineCursor lines(buffer, offset);
  // The first frame: its schema is the run's, and its size says whether
  // the frames are small.
  auto head = take_frame_lines(buffer, base, lines, base.frame + 1);
  if (!head || !*head) return std::nullopt;
  const std::size_t remaining = buffer.size() - offset;
  {
    const std::string_view first_atom_line = lines.peek();
    if ((**head).natoms > remaining / (4 * threads) / (first_atom_line.size() + 1)) return std::nullopt;
  }
  auto first_comment = read_comment(buffer, base, (**head).comment_offset, (**head).comment, base.frame + 1);
  if (!first_comment) return std::unexpected(std::move(first_comment.error()));  // nothing comes before it
  read.columns = std::move(first_comment->columns);
  first_comment->columns.clear();
  read.data.resize(read.columns.size());

  std::vector<Stage> stages(most_stages(remaining, threads));
  std::size_t capacity = 0;  // rows the columns have room for

  auto read_stage = [&](std::size_t s) {
    Stage& stage = stages[s];
    stage.texts.assign(read.columns.size(), InternedTexts{});
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &stage.texts);
    stage.comments.reserve(stage.frames.size());
    for (std::size_t f = 0; f < stage.frames.size(); ++f) {
      const StagedFrame& frame = stage.frames[f];
      const std::size_t k = stage.first_frame + f;
      const std::uint64_t number = base.frame + k + 1;
      if (k == 0) {
        stage.comments.push_back(std::move(*first_comment));
      } else {
        auto comment = read_comment(buffer, base, frame.comment_offset, frame.comment, number);
        if (!comment) {
          stage.stop = {k, -1, std::move(comment.error())};
          return;
        }
        if (comment->columns != read.columns) {
          stage.stop = {k, -1, std::nullopt};
          return;
        }
        comment->columns.clear();
        stage.comments.push_back(std::move(*comment));
      }
      const bool exact = !stage.comments.back().plain;
      LineCursor atom_lines(buffer, frame.atoms_start);
      for (std::size_t i = 0; i < frame.natoms; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const std::string_view atom_line = atom_lines.next();
        const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs,
                                            frame.first_atom + i, exact);
        if (outcome.problem != RowProblem::None) [[unlikely]] {
          stage.stop = {k, static_cast<std::int64_t>(i),
                        at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                           place_of(buffer, base, line_offset, number)).error()};
          return;
        }
      }
    }
  };

  Stop pass_stop;
  std::size_t frames = 0, atoms = 0, passed = 0;
  auto pass = [&](auto&& hand_over) {
    auto stage_passed = [&] {
      // Room for the rows the rest of the buffer likely holds, once the
      // first stage shows how long an atom line is.
      if (capacity == 0) {
        capacity = likely_rows(atoms, lines.offset() - offset, remaining);
        reserve_rows(read.columns, read.data, capacity);
      }
      ++passed;
      hand_over(atoms <= capacity);
    };
    Stage* stage = &stages[0];
    const std::size_t bytes_a_stage = stage_bytes(remaining, threads);
    std::size_t stage_end = offset + bytes_a_stage;
    std::optional<FrameLines> next = std::move(*head);
    for (;;) {
      const std::size_t count_offset = lines.offset();
      const std::uint64_t number = base.frame + frames + 1;
      if (frames > 0) {
        if (lines.done() || (max_frames && frames >= *max_frames)) break;
        if (count_offset >= stage_end) {
          stage_passed();
          stage = &stages[passed];
          stage->first_frame = frames;
          stage_end = count_offset + bytes_a_stage;
        }
        auto found = take_frame_lines(buffer, base, lines, number);
        if (!found) {
          pass_stop = {frames, -2, std::move(found.error())};
          break;
        }
        if (!*found) {
          read.end = buffer.size();
          break;
        }
        next = std::move(*found);
      }
      const std::size_t natoms = next->natoms;
      const std::size_t atoms_start = lines.offset();
      const std::size_t skipped = lines.skip(natoms);
      stage->frames.push_back({skipped, frames == 0 ? offset : count_offset, next->comment_offset, next->comment,
                               atoms_start, atoms});
      atoms += skipped;
      ++frames;
      if (skipped < natoms) {
        pass_stop = {frames - 1, INT64_MAX,
                     cut_short(buffer, base, number, stage->frames.back().count_offset, skipped, natoms).error()};
        break;
      }
      read.counts.push_back(natoms);
      read.end = lines.offset();
    }
    stage_passed();
  };
  auto make_room = [&] {
    capacity = atoms;
    reserve_rows(read.columns, read.data, capacity);
  };
  auto taken = [&](std::size_t s) {
    return sink != nullptr && sink->take(stages[s].first_frame, stages[s].comments);
  };
  run_staged(threads, stages.size(), pass, read_stage, make_room, taken);

  // The first stop in the file.
  const Stop* first = &pass_stop;
  for (std::size_t s = 0; s < passed; ++s) {
    if (stages[s].stop.before(*first)) first = &stages[s].stop;
  }
  if (first->error) return Result<ExtxyzFrames>(std::unexpected(std::move(*first->error)));
  const std::size_t kept = first->frame == SIZE_MAX ? frames : first->frame;
  std::size_t kept_atoms = atoms;
  if (kept < frames) {
    // A frame of another schema: the run ends before it.
    const Stage& holder = *std::find_if(stages.rbegin() + static_cast<std::ptrdiff_t>(stages.size() - passed),
                                        stages.rend(), [&](const Stage& s) { return s.first_frame <= kept; });
    const StagedFrame& frame = holder.frames[kept - holder.first_frame];
    kept_atoms = frame.first_atom;
    read.end = frame.count_offset;
    read.counts.resize(kept);
  }
  reserve_rows(read.columns, read.data, kept_atoms);
  read.atoms = kept_atoms;
  read.comments.reserve(kept);
  for (std::size_t s = 0; s < passed && read.comments.size() < kept; ++s) {
    for (Comment& comment : stages[s].comments) {
      if (read.comments.size() == kept) break;
      read.comments.push_back(std::move(comment));
    }
  }
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::vector<InternedTexts*> pieces{&stages[0].texts[c]};
    for (std::size_t s = 1; s < passed && stages[s].first_frame < kept; ++s) pieces.push_back(&stages[s].texts[c]);
    read.data[c].texts = joined_texts(pieces, kept_atoms);
  }
  return Result<ExtxyzFrames>(std::move(read));
}

}  // namespace io_rs::xyz
