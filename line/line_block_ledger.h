// What a station knows of its own blocks when the line does not answer: each block it learned
// from the line (line_own_blocks) and the highest value of each that may be in a phone. The
// station goes on from there alone: a run of values is its own when it lies in one block, in
// the part the line knew nobody held when the block was learned, above everything used.
#pragma once

#include "line/line_database.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kestrel::line {

class LineBlockLedger {
 public:
  // Learns a block, or what the line says of one known already (its next and usable values
  // are the line's; what was used stays).
  void Learn(const LineBlock& block);
  // A value (an IMEI body, an address) that may be in a phone: nothing at or below it in its
  // block is offered again. Values outside every known block change nothing.
  void Use(LineRangeKind kind, std::uint64_t value);

  // The first of `count` consecutive values, in one block (the oldest first), that may still
  // be written; false when no known block has such a run.
  bool NextRun(LineRangeKind kind, int count, std::uint64_t* first) const;
  // Whether the value lies in a known block, in its usable part and above what was used.
  bool Fresh(LineRangeKind kind, std::uint64_t value) const;
  // Whether the run [first, first + count) lies in one known block.
  bool Known(LineRangeKind kind, std::uint64_t first, int count) const;
  // The values of the kind still to be written; nullopt when no block of the kind is known.
  std::optional<std::uint64_t> Left(LineRangeKind kind) const;

  const std::vector<LineBlock>& blocks() const { return blocks_; }
  // The highest value used in the block with this id, if any.
  std::optional<std::uint64_t> UsedThrough(qint64 id) const;

 private:
  // The first value of the block still to be written.
  std::uint64_t From(const LineBlock& block) const;

  std::vector<LineBlock> blocks_;     // in the order of their ids
  std::map<qint64, std::uint64_t> used_;  // block id -> highest value used
};

}  // namespace kestrel::line
