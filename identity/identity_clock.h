// The time and random sources of the generators, injectable so that tests fix them.
//
// The generators seed the pseudo-random generator with the current time in seconds before
// drawing, so by default they use the C library's srand/rand as the station always has.
#pragma once

#include <cstdint>

namespace kestrel::identity {

// A local calendar time; month 1-12, day 1-31.
struct LocalDateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class IdentityClock {
 public:
  virtual ~IdentityClock() = default;
  // Seconds since the epoch (what time() answers); the generators' seed.
  virtual std::int64_t SecondsSinceEpoch() const = 0;
  // The local date and time.
  virtual LocalDateTime LocalNow() const = 0;
  // A millisecond counter (wraps at 2^32).
  virtual std::uint32_t TickCountMs() const = 0;
};

// The machine's clock: time(), localtime_r() and the steady clock in milliseconds.
IdentityClock& SystemClock();

// A clock that stands still at a given local time (the CLI's "serial at this time", tests).
class FixedClock : public IdentityClock {
 public:
  explicit FixedClock(LocalDateTime local, std::int64_t seconds = 0, std::uint32_t tickMs = 0)
      : local_(local), seconds_(seconds), tick_(tickMs) {}
  std::int64_t SecondsSinceEpoch() const override { return seconds_; }
  LocalDateTime LocalNow() const override { return local_; }
  std::uint32_t TickCountMs() const override { return tick_; }

  void Set(LocalDateTime local, std::int64_t seconds, std::uint32_t tickMs) {
    local_ = local;
    seconds_ = seconds;
    tick_ = tickMs;
  }

 private:
  LocalDateTime local_;
  std::int64_t seconds_;
  std::uint32_t tick_;
};

class RandomGenerator {
 public:
  virtual ~RandomGenerator() = default;
  virtual void Seed(unsigned seed) = 0;
  // The next number, 0 or more.
  virtual int Draw() = 0;
};

// std::srand / std::rand. Not thread-safe: used from the window thread only.
RandomGenerator& CRandom();

}  // namespace kestrel::identity
