#include "identity/identity_clock.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace kestrel::identity {

namespace {

class SystemIdentityClock final : public IdentityClock {
 public:
  std::int64_t SecondsSinceEpoch() const override {
    return static_cast<std::int64_t>(std::time(nullptr));
  }

  LocalDateTime LocalNow() const override {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    LocalDateTime local;
    local.year = tm.tm_year + 1900;
    local.month = tm.tm_mon + 1;
    local.day = tm.tm_mday;
    local.hour = tm.tm_hour;
    local.minute = tm.tm_min;
    local.second = tm.tm_sec;
    return local;
  }

  std::uint32_t TickCountMs() const override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
  }
};

class CLibraryRandom final : public RandomGenerator {
 public:
  void Seed(unsigned seed) override { std::srand(seed); }
  int Draw() override { return std::rand(); }
};

}  // namespace

IdentityClock& SystemClock() {
  static SystemIdentityClock clock;
  return clock;
}

RandomGenerator& CRandom() {
  static CLibraryRandom random;
  return random;
}

}  // namespace kestrel::identity
