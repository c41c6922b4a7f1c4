// The SCPI power source behind the Ampvane interfaces. See README.md for the instrument map
// and the commands each operation sends.
#include "device/ampvane/ampvane.h"

#include "device/ampvane/instrument_map.h"
#include "device/ampvane/scpi_link.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace kestrel::device::ampvane {

namespace {

constexpr int32_t kLibraryVersion = 100;  // 1.00

std::mutex& FolderMutex() {
  static std::mutex m;
  return m;
}

QString& FolderSetting() {
  static QString folder;
  return folder;
}

QString StationFolder() {
  {
    const std::lock_guard<std::mutex> lock(FolderMutex());
    if (!FolderSetting().isEmpty()) return FolderSetting();
  }
  const QString env = qEnvironmentVariable("KESTREL_STATION_DIR");
  if (!env.isEmpty()) return env;
  if (QCoreApplication::instance() != nullptr) return QCoreApplication::applicationDirPath();
  return QDir::currentPath();
}

// The leading integer of a SYST:ERR? answer such as `0,"No error"` or `-113,"Undefined header"`.
std::optional<int> ErrorNumber(const QByteArray& reply) {
  qsizetype end = 0;
  if (end < reply.size() && (reply[end] == '+' || reply[end] == '-')) ++end;
  const qsizetype digits = end;
  while (end < reply.size() && end - digits < 9 && reply[end] >= '0' && reply[end] <= '9') ++end;
  if (end == digits) return std::nullopt;
  bool ok = false;
  const int n = reply.left(end).toInt(&ok);
  return ok ? std::optional<int>(n) : std::nullopt;
}

class ScpiSource final : public PowerSource {
 public:
  int32_t Identify(char* buffer, int32_t size) override {
    if (buffer == nullptr || size <= 0) return kErrInvalidArgument;
    buffer[0] = '\0';
    const std::lock_guard<std::mutex> lock(mutex_);
    QByteArray idn;
    if (const int32_t r = QueryLocked("*IDN?", &idn); r != kOk) return r;
    idn_ = idn;
    const size_t n =
        std::min<size_t>(static_cast<size_t>(idn.size()), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, idn.constData(), n);
    buffer[n] = '\0';
    return n < static_cast<size_t>(idn.size()) ? kErrBufferTooSmall : kOk;
  }

  int32_t Open(int32_t board, int32_t address) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
    QFile file(QDir(StationFolder()).filePath(QLatin1StringView(kInstrumentMapFileName)));
    if (!file.open(QIODevice::ReadOnly)) return kErrNoMap;
    const InstrumentMap map = InstrumentMap::Parse(file.read(1024 * 1024));
    const std::optional<QString> where = map.Find(board, address);
    if (!where) return kErrNotMapped;
    const std::optional<InstrumentLocation> location = ParseLocation(*where);
    if (!location) return kErrBadLocation;
    location_ = *location;
    timeoutMs_ = map.TimeoutMs();
    const int32_t r = ConnectLocked();
    if (r != kOk) {
      location_.reset();
      return r;
    }
    // Start from a clear error queue so that SYST:ERR? after a setting speaks of that setting.
    if (const int32_t c = link_->Send("*CLS"); c != kOk) {
      CloseLocked();
      return c;
    }
    return kOk;
  }

  int32_t Close() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
    return kOk;
  }

  void Release() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      CloseLocked();
    }
    delete this;
  }

  int32_t SetOutput(float volts, int32_t channel) override {
    if (std::isnan(volts) || std::isinf(volts) || channel < -1) return kErrInvalidArgument;
    QList<QByteArray> commands;
    const QByteArray level = "VOLT " + QByteArray::number(static_cast<double>(volts), 'f', 3);
    if (channel == -1) {
      if (volts >= 0.0F) {
        commands << level << "OUTP ON";
      } else {
        commands << "OUTP OFF";
      }
    } else {  // parked: off first, then the level (when given)
      commands << "OUTP OFF";
      if (volts >= 0.0F) commands << level;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const int32_t r = EnsureLinkLocked(); r != kOk) return r;
    // Each setting is confirmed before the next is sent, so that the output is never switched
    // on after the instrument refused the level.
    for (const QByteArray& c : commands) {
      if (const int32_t r = link_->Send(c); r != kOk) return LinkFailedLocked(r);
      if (const int32_t r = CheckErrorQueueLocked(); r != kOk) return r;
    }
    return kOk;
  }

 private:
  ~ScpiSource() = default;

  // Asks SYST:ERR?; an answer other than 0 gives kErrInstrument after the rest of the
  // instrument's queue has been read out, so that the next setting is judged on its own.
  int32_t CheckErrorQueueLocked() {
    QByteArray reply;
    if (const int32_t r = QueryLocked("SYST:ERR?", &reply); r != kOk) return r;
    const std::optional<int> error = ErrorNumber(reply);
    if (error && *error == 0) return kOk;
    for (int i = 0; i < 16 && error; ++i) {
      QByteArray more;
      if (QueryLocked("SYST:ERR?", &more) != kOk) break;
      const std::optional<int> next = ErrorNumber(more);
      if (!next || *next == 0) break;
    }
    return kErrInstrument;
  }

  int32_t ConnectLocked() {
    int32_t error = kOk;
    std::unique_ptr<ScpiLink> link = ScpiLink::Open(*location_, timeoutMs_, &error);
    if (!link) return error;
    QByteArray idn;
    const int32_t r = link->Query("*IDN?", &idn);
    if (r != kOk) return r;
    if (idn.isEmpty()) return kErrTimeout;  // an empty line is no identification
    idn_ = idn;
    link_ = std::move(link);
    return kOk;
  }

  // After a broken link the next operation connects again once (an instrument that was
  // switched off and on); a source that was never opened or was closed stays closed.
  int32_t EnsureLinkLocked() {
    if (!location_) return kErrNotOpen;
    if (link_) return kOk;
    return ConnectLocked();
  }

  int32_t QueryLocked(const QByteArray& query, QByteArray* reply) {
    if (const int32_t r = EnsureLinkLocked(); r != kOk) return r;
    const int32_t r = link_->Query(query, reply);
    return r == kOk ? kOk : LinkFailedLocked(r);
  }

  int32_t LinkFailedLocked(int32_t code) {
    if (code == kErrIo) link_.reset();
    return code;
  }

  void CloseLocked() {
    link_.reset();
    location_.reset();
    idn_.clear();
  }

  std::mutex mutex_;
  std::unique_ptr<ScpiLink> link_;
  std::optional<InstrumentLocation> location_;
  int timeoutMs_ = kDefaultTimeoutMs;
  QByteArray idn_;
};

class Factory final : public PowerSourceFactory {
 public:
  int32_t Version() override { return kLibraryVersion; }

  int32_t Create(PowerSource** source, int32_t kind) override {
    if (source == nullptr) return kErrInvalidArgument;
    *source = nullptr;
    if (kind != kKindScpi) return kErrUnknownKind;
    *source = new ScpiSource();
    return kOk;
  }

  void Release() override { delete this; }

 private:
  ~Factory() = default;
};

}  // namespace

void SetStationFolder(const QString& folder) {
  const std::lock_guard<std::mutex> lock(FolderMutex());
  FolderSetting() = folder;
}

}  // namespace kestrel::device::ampvane

extern "C" int32_t CreateAmpvaneFactory(kestrel::device::ampvane::PowerSourceFactory** factory) {
  if (factory == nullptr) return kestrel::device::ampvane::kErrInvalidArgument;
  *factory = new kestrel::device::ampvane::Factory();
  return kestrel::device::ampvane::kOk;
}
