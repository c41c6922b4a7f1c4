#include "line/line_block_ledger.h"

#include <algorithm>

namespace kestrel::line {

void LineBlockLedger::Learn(const LineBlock& block) {
  auto it = std::find_if(blocks_.begin(), blocks_.end(),
                         [&](const LineBlock& b) { return b.id == block.id; });
  if (it != blocks_.end()) {
    *it = block;
    return;
  }
  blocks_.push_back(block);
  std::sort(blocks_.begin(), blocks_.end(),
            [](const LineBlock& x, const LineBlock& y) { return x.id < y.id; });
}

void LineBlockLedger::Use(LineRangeKind kind, std::uint64_t value) {
  for (const LineBlock& b : blocks_) {
    if (b.kind != kind || value < b.first || value > b.last) continue;
    auto [it, added] = used_.emplace(b.id, value);
    if (!added) it->second = std::max(it->second, value);
    return;
  }
}

std::uint64_t LineBlockLedger::From(const LineBlock& b) const {
  std::uint64_t from = std::max(b.first, b.next);
  if (const auto it = used_.find(b.id); it != used_.end()) from = std::max(from, it->second + 1);
  return from;
}

bool LineBlockLedger::NextRun(LineRangeKind kind, int count, std::uint64_t* first) const {
  if (count < 1) return false;
  for (const LineBlock& b : blocks_) {
    if (b.kind != kind) continue;
    const std::uint64_t from = From(b);
    const std::uint64_t end = std::min(b.usable, b.last);
    if (from <= end && end - from + 1 >= static_cast<std::uint64_t>(count)) {
      *first = from;
      return true;
    }
  }
  return false;
}

bool LineBlockLedger::Fresh(LineRangeKind kind, std::uint64_t value) const {
  for (const LineBlock& b : blocks_) {
    if (b.kind != kind || value < b.first || value > b.last) continue;
    return value >= From(b) && value <= b.usable;
  }
  return false;
}

bool LineBlockLedger::Known(LineRangeKind kind, std::uint64_t first, int count) const {
  if (count < 1) return false;
  const std::uint64_t last = first + static_cast<std::uint64_t>(count) - 1;
  return std::any_of(blocks_.begin(), blocks_.end(), [&](const LineBlock& b) {
    return b.kind == kind && first >= b.first && last <= b.last;
  });
}

std::optional<std::uint64_t> LineBlockLedger::Left(LineRangeKind kind) const {
  std::optional<std::uint64_t> left;
  for (const LineBlock& b : blocks_) {
    if (b.kind != kind) continue;
    const std::uint64_t from = From(b);
    const std::uint64_t end = std::min(b.usable, b.last);
    left = left.value_or(0) + (from <= end ? end - from + 1 : 0);
  }
  return left;
}

std::optional<std::uint64_t> LineBlockLedger::UsedThrough(qint64 id) const {
  const auto it = used_.find(id);
  if (it == used_.end()) return std::nullopt;
  return it->second;
}

}  // namespace kestrel::line
