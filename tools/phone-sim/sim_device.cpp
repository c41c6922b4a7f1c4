#include "tools/phone-sim/sim_device.h"

#include "device/oxbind/oxbind.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <cstring>

namespace kestrel::tools::phonesim {

namespace wire = device::oxbind::wire;

namespace {

constexpr int kSnBytes = 24;
constexpr int kCuBytes = 24;
constexpr int kSecureBootItems = 7;
constexpr int kMaxRecordBytes = 4096;

const char* const kDefaultSwVersion = "Plat:KS6580 Project:KESTREL_A1 BASE:KS_A1_V1.0.2 HW:P1";
const char* const kDefaultApVersion = "Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0";
const char* const kDiagCommand = "AT+KVDIAG=";

struct NvField {
  uint32_t bit;
  const char* key;
  std::size_t offset;
  std::size_t size;
};

const NvField kNvFields[] = {
    {KV_NV_IMEI1, "imei1", offsetof(NvInfoRecord, imei1), 16},
    {KV_NV_IMEI2, "imei2", offsetof(NvInfoRecord, imei2), 16},
    {KV_NV_IMEI3, "imei3", offsetof(NvInfoRecord, imei3), 16},
    {KV_NV_IMEI4, "imei4", offsetof(NvInfoRecord, imei4), 16},
    {KV_NV_BT, "bt", offsetof(NvInfoRecord, bt), 13},
    {KV_NV_WIFI, "wifi", offsetof(NvInfoRecord, wifi), 13},
};

QByteArray Bytes(const std::vector<uint8_t>& v, std::size_t from = 0,
                 std::size_t count = SIZE_MAX) {
  if (from >= v.size()) return {};
  const std::size_t n = std::min(count, v.size() - from);
  return QByteArray(reinterpret_cast<const char*>(v.data() + from), static_cast<qsizetype>(n));
}

std::vector<uint8_t> Vec(const QByteArray& b) {
  return std::vector<uint8_t>(b.constData(), b.constData() + b.size());
}

// Up to the first NUL.
QByteArray CText(const QByteArray& b) {
  const qsizetype nul = b.indexOf('\0');
  return nul < 0 ? b : b.left(nul);
}

// Printable log text: control characters and backslashes escaped.
QString Printable(const QByteArray& b) {
  QString out;
  for (char c : b) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += QStringLiteral("\\\\");
    } else if (c == '\r') {
      out += QStringLiteral("\\r");
    } else if (c == '\n') {
      out += QStringLiteral("\\n");
    } else if (u < 0x20 || u == 0x7F) {
      out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    } else {
      out += QChar::fromLatin1(c);
    }
  }
  return out;
}

// A secure-boot item of the state file. Only a whole number from 0 to 2^32 - 1 is an item's
// value; anything else (a hand-edited file may hold 2^32, -1, 1.5 or a text) reads as 0.
uint32_t SecureBootValue(const QJsonValue& v) {
  const double d = v.toDouble(-1.0);
  if (!(d >= 0.0 && d <= 4294967295.0) || d != static_cast<double>(static_cast<uint64_t>(d)))
    return 0;
  return static_cast<uint32_t>(d);
}

}  // namespace

bool HasFaultArgument(uint16_t command) {
  switch (command) {
    case wire::kReadSecureBoot:
    case wire::kWriteSecureBoot:
    case wire::kAtCommand:
    case wire::kReadSn:
    case wire::kWriteSn:
      return true;
    default:
      return false;
  }
}

std::optional<QString> FaultArgument(const wire::Frame& request) {
  const std::vector<uint8_t>& p = request.payload;
  switch (request.command) {
    case wire::kReadSecureBoot:
    case wire::kWriteSecureBoot:
      if (p.size() < 2) return std::nullopt;
      return QString::number(wire::GetU16(p.data()));
    case wire::kAtCommand:
      return QString::fromLatin1(Bytes(p));
    case wire::kReadSn:
    case wire::kWriteSn:
      if (p.empty()) return std::nullopt;
      return QString::number(p[0] != 0 ? 1 : 2);
    default:
      return std::nullopt;
  }
}

QByteArray DiagReply(const QByteArray& apVersion) {
  const QByteArray hex = apVersion.toHex().toUpper();
  const QByteArray header =
      QByteArray("0000000008000000") +
      QByteArray::number(apVersion.size(), 16).toUpper().rightJustified(8, '0') +
      QByteArray("0000");
  return QByteArray("+KVDIAG: \"") + header + hex + QByteArray("\"\r\nOK");
}

SimDevice::SimDevice(QString stateFile, QString logFile, Faults faults,
                     QMap<QString, QString> atReplies)
    : stateFile_(std::move(stateFile)),
      logFile_(std::move(logFile)),
      faults_(std::move(faults)),
      atReplies_(std::move(atReplies)) {
  if (!logFile_.isEmpty()) {
    QDir().mkpath(QFileInfo(logFile_).absolutePath());
    log_.setFileName(logFile_);
    log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
  }
}

bool SimDevice::Load(QString* error) {
  QFile f(stateFile_);
  if (f.exists()) {
    if (!f.open(QIODevice::ReadOnly)) {
      *error = QStringLiteral("cannot read %1").arg(stateFile_);
      return false;
    }
    const QByteArray text = f.readAll();
    if (!text.trimmed().isEmpty()) {
      QJsonParseError pe;
      const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
      if (!doc.isObject()) {
        *error = QStringLiteral("%1: not a JSON object (%2)").arg(stateFile_, pe.errorString());
        return false;
      }
      state_ = doc.object();
    }
  }
  // Defaults for what the file does not hold.
  auto setDefault = [this](const char* key, const QJsonValue& v) {
    if (!state_.contains(QLatin1String(key))) state_.insert(QLatin1String(key), v);
  };
  for (const NvField& nv : kNvFields) setDefault(nv.key, QString());
  setDefault("sn1", QString());
  setDefault("sn2", QString());
  setDefault("cu_ref_hex", QString::fromLatin1(QByteArray(kCuBytes, '\0').toHex()));
  QJsonArray items;
  for (int i = 0; i < kSecureBootItems; ++i) items.append(0);
  setDefault("secure_boot", items);
  setDefault("secure_boot_enabled", false);
  setDefault("usb_auto_mode", true);
  setDefault("powered_off", false);
  setDefault("power_off_count", 0);
  setDefault("boot_mode", -1);
  setDefault("sw_version", QString::fromLatin1(kDefaultSwVersion));
  setDefault("ap_version", QString::fromLatin1(kDefaultApVersion));
  setDefault("at_replies", QJsonObject());
  setDefault("station_record", QString());
  return true;
}

bool SimDevice::Save() const {
  QDir().mkpath(QFileInfo(stateFile_).absolutePath());
  // Written beside and renamed over the file: a reader sees the old or the new state, never
  // a part. No sync to disk: a simulated phone outlives its process, not a power cut, and a
  // sync per write would dominate the time of a call.
  const QString tmp = stateFile_ + QStringLiteral(".tmp");
  QFile f(tmp);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray text = QJsonDocument(state_).toJson(QJsonDocument::Indented);
  if (f.write(text) != text.size()) return false;
  f.close();
  return ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(stateFile_).constData()) ==
         0;
}

void SimDevice::ReplaceStationRecord(const QByteArray& block) {
  state_.insert(QStringLiteral("station_record"), QString::fromLatin1(block.toBase64()));
}

int SimDevice::bootMode() const {
  return state_.value(QStringLiteral("boot_mode")).toInt(-1);
}

QString SimDevice::Text(const char* key) const {
  return state_.value(QLatin1String(key)).toString();
}

void SimDevice::SetText(const char* key, const QByteArray& bytes) {
  state_.insert(QLatin1String(key), QString::fromLatin1(bytes));
}

void SimDevice::LogLine(const QString& line) {
  if (!log_.isOpen()) return;
  log_.write(line.toUtf8());
  log_.write("\n");
  log_.flush();
}

std::optional<std::vector<uint8_t>> SimDevice::Handle(const wire::Frame& request) {
  if (request.type != wire::kRequest) return std::nullopt;  // not ours to answer
  if (request.command == wire::kNop) {
    LogLine(QStringLiteral("SYNC"));
    return std::nullopt;
  }
  if (haveLast_ && request.sequence == lastSequence_ && request.command == lastCommand_ &&
      request.payload == lastPayload_) {
    LogLine(QStringLiteral("REPEAT %1")
                .arg(QString::fromStdString(wire::CommandName(request.command))));
    if (faults_.noAnswer) return std::nullopt;
    return lastResponse_;
  }

  std::vector<uint8_t> data;
  QString args;
  int32_t result;
  std::optional<int32_t> failure;
  if (const auto it = faults_.fail.find(request.command); it != faults_.fail.end()) {
    failure = it->second;
  } else if (const std::optional<QString> arg = FaultArgument(request)) {
    const auto when = faults_.failWhen.find({request.command, *arg});
    if (when != faults_.failWhen.end()) failure = when->second;
  }
  const std::string name = wire::CommandName(request.command);
  if (faults_.noAnswer) {
    // A dead phone: nothing is carried out; the request is still logged.
    Execute(request, nullptr, &args);
    LogLine(QString::fromStdString(name.empty() ? "UNKNOWN" : name) + args);
    haveLast_ = true;
    lastSequence_ = request.sequence;
    lastCommand_ = request.command;
    lastPayload_ = request.payload;
    lastResponse_.clear();
    return std::nullopt;
  }
  if (failure) {
    Execute(request, nullptr, &args);
    result = *failure;
  } else {
    result = Execute(request, &data, &args);
    if (result != KV_OK) data.clear();
  }
  LogLine(QString::fromStdString(name.empty() ? "UNKNOWN" : name) + args);

  std::vector<uint8_t> response = wire::ResponsePayload(result, data);
  haveLast_ = true;
  lastSequence_ = request.sequence;
  lastCommand_ = request.command;
  lastPayload_ = request.payload;
  lastResponse_ = response;
  return response;
}

// Carries a request out (data null: only describes it for the log).
int32_t SimDevice::Execute(const wire::Frame& request, std::vector<uint8_t>* data,
                           QString* logArgs) {
  const std::vector<uint8_t>& p = request.payload;
  const bool run = data != nullptr;
  bool changed = false;
  int32_t result = KV_OK;

  switch (request.command) {
    case wire::kHello:
      if (run) *data = Vec(QByteArray("kestrel-phone-sim"));
      break;

    case wire::kEnterMode: {
      if (p.size() < 4) return KV_ERR_DEVICE_BAD_REQUEST;
      const int mode = static_cast<int32_t>(wire::GetU32(p.data()));
      *logArgs = QStringLiteral(" mode=%1").arg(mode);
      if (run) {
        state_.insert(QStringLiteral("boot_mode"), mode);
        state_.insert(QStringLiteral("powered_off"), false);
        changed = true;
      }
      break;
    }

    case wire::kGetMsVersion:
    case wire::kFastReadVersion:
      if (run) *data = Vec(Text("sw_version").toLatin1());
      break;

    case wire::kGetApVersion:
      if (run) *data = Vec(Text("ap_version").toLatin1());
      break;

    case wire::kAtCommand: {
      const QByteArray command = Bytes(p);
      *logArgs = QLatin1Char(' ') + Printable(command);
      if (!run) break;
      QByteArray reply;
      const QJsonObject stored = state_.value(QStringLiteral("at_replies")).toObject();
      const QString key = QString::fromLatin1(command);
      if (atReplies_.contains(key)) {
        reply = atReplies_.value(key).toLatin1();
      } else if (stored.contains(key)) {
        reply = stored.value(key).toString().toLatin1();
      } else if (command.startsWith(kDiagCommand)) {
        reply = DiagReply(Text("ap_version").toLatin1());
      } else {
        reply = "OK";
      }
      *data = Vec(reply);
      break;
    }

    case wire::kNvRead: {
      if (p.size() < 4) return KV_ERR_DEVICE_BAD_REQUEST;
      const uint32_t mask = wire::GetU32(p.data());
      *logArgs = QStringLiteral(" mask=0x%1").arg(mask, 0, 16);
      if (!run) break;
      NvInfoRecord record;
      std::memset(&record, 0, sizeof(record));
      record.mask = mask;
      auto* bytes = reinterpret_cast<char*>(&record);
      for (const NvField& nv : kNvFields) {
        if (!(mask & nv.bit)) continue;
        QByteArray value = Text(nv.key).toLatin1();
        if (faults_.lowercaseAddresses && (nv.bit == KV_NV_BT || nv.bit == KV_NV_WIFI))
          value = value.toLower();
        std::memcpy(bytes + nv.offset, value.constData(),
                    std::min<std::size_t>(static_cast<std::size_t>(value.size()), nv.size - 1));
      }
      data->assign(reinterpret_cast<uint8_t*>(&record),
                   reinterpret_cast<uint8_t*>(&record) + sizeof(record));
      break;
    }

    case wire::kNvFastWrite:
    case wire::kNvWriteDirect: {
      if (p.size() != sizeof(NvInfoRecord)) return KV_ERR_DEVICE_BAD_REQUEST;
      const uint32_t mask = wire::GetU32(p.data());
      *logArgs = QStringLiteral(" mask=0x%1").arg(mask, 0, 16);
      for (const NvField& nv : kNvFields) {
        if (!(mask & nv.bit)) continue;
        const QByteArray value = CText(Bytes(p, nv.offset, nv.size - 1));
        *logArgs += QStringLiteral(" %1=%2").arg(QLatin1String(nv.key), Printable(value));
      }
      if (!run) break;
      if (faults_.protectedImei) return KV_ERR_IMEI_PROTECTED;
      if (faults_.staleNv) break;  // acknowledged, never stored (a flash that failed)
      for (const NvField& nv : kNvFields) {
        if (mask & nv.bit) SetText(nv.key, CText(Bytes(p, nv.offset, nv.size - 1)));
      }
      changed = true;
      break;
    }

    case wire::kReadSn: {
      if (p.size() < 1) return KV_ERR_DEVICE_BAD_REQUEST;
      const bool sn1 = p[0] != 0;
      *logArgs = QStringLiteral(" sn=%1").arg(sn1 ? 1 : 2);
      if (!run) break;
      QByteArray sn = Text(sn1 ? "sn1" : "sn2").toLatin1().left(kSnBytes);
      if (faults_.snNoNul) {
        sn = sn.leftJustified(kSnBytes, 'X');  // all 24 bytes used: no terminator
      } else {
        sn = sn.leftJustified(kSnBytes, '\0');
      }
      *data = Vec(sn);
      break;
    }

    case wire::kWriteSn: {
      if (p.size() < 1 || p.size() > 1 + kSnBytes) return KV_ERR_DEVICE_BAD_REQUEST;
      const bool sn1 = p[0] != 0;
      const QByteArray text = CText(Bytes(p, 1));
      *logArgs = QStringLiteral(" sn=%1 text=%2").arg(sn1 ? 1 : 2).arg(Printable(text));
      if (!run) break;
      SetText(sn1 ? "sn1" : "sn2", text);
      changed = true;
      break;
    }

    case wire::kSetUsbAutoMode: {
      if (p.size() < 1) return KV_ERR_DEVICE_BAD_REQUEST;
      *logArgs = QStringLiteral(" on=%1").arg(p[0] ? 1 : 0);
      if (!run) break;
      state_.insert(QStringLiteral("usb_auto_mode"), p[0] != 0);
      changed = true;
      break;
    }

    case wire::kReadCuRef:
      if (run) {
        *data = Vec(
            QByteArray::fromHex(Text("cu_ref_hex").toLatin1()).leftJustified(kCuBytes, '\0', true));
      }
      break;

    case wire::kWriteCuRef: {
      if (p.size() > static_cast<std::size_t>(kCuBytes)) return KV_ERR_DEVICE_BAD_REQUEST;
      const QByteArray cu = Bytes(p).leftJustified(kCuBytes, '\0');
      *logArgs = QStringLiteral(" text=%1").arg(Printable(CText(cu)));
      if (!run) break;
      state_.insert(QStringLiteral("cu_ref_hex"), QString::fromLatin1(cu.toHex()));
      changed = true;
      break;
    }

    case wire::kReadSecureBoot: {
      if (p.size() < 2) return KV_ERR_DEVICE_BAD_REQUEST;
      const uint16_t index = wire::GetU16(p.data());
      *logArgs = QStringLiteral(" index=%1").arg(index);
      if (index >= kSecureBootItems) return KV_ERR_DEVICE_BAD_REQUEST;
      if (!run) break;
      const uint32_t value =
          SecureBootValue(state_.value(QStringLiteral("secure_boot")).toArray().at(index));
      wire::PutU16(data, index);
      wire::PutU32(data, value);
      break;
    }

    case wire::kWriteSecureBoot: {
      if (p.size() < 6) return KV_ERR_DEVICE_BAD_REQUEST;
      const uint16_t index = wire::GetU16(p.data());
      const uint32_t value = wire::GetU32(p.data() + 2);
      *logArgs = QStringLiteral(" index=%1 value=0x%2").arg(index).arg(value, 0, 16);
      if (index >= kSecureBootItems) return KV_ERR_DEVICE_BAD_REQUEST;
      if (!run) break;
      QJsonArray items = state_.value(QStringLiteral("secure_boot")).toArray();
      while (items.size() < kSecureBootItems) items.append(0);
      items[index] = static_cast<double>(value);
      state_.insert(QStringLiteral("secure_boot"), items);
      changed = true;
      break;
    }

    case wire::kEnableSecureBoot:
      if (run) {
        state_.insert(QStringLiteral("secure_boot_enabled"), true);
        changed = true;
      }
      break;

    case wire::kPowerOff:
      if (run) {
        state_.insert(QStringLiteral("powered_off"), true);
        state_.insert(QStringLiteral("power_off_count"),
                      state_.value(QStringLiteral("power_off_count")).toInt() + 1);
        changed = true;
      }
      break;

    case wire::kReadStationRecord:
      if (!run) break;
      if (faults_.recordUnreadable) return KV_ERR_DEVICE_STORAGE;
      *data = Vec(QByteArray::fromBase64(Text("station_record").toLatin1()));
      break;

    case wire::kWriteStationRecord:
      *logArgs = QStringLiteral(" bytes=%1").arg(p.size());
      if (p.size() > static_cast<std::size_t>(kMaxRecordBytes)) return KV_ERR_DEVICE_BAD_REQUEST;
      if (!run) break;
      ReplaceStationRecord(Bytes(p));
      changed = true;
      break;

    default:
      *logArgs = QStringLiteral(" command=0x%1").arg(request.command, 4, 16, QLatin1Char('0'));
      result = KV_ERR_DEVICE_UNKNOWN_COMMAND;
      break;
  }
  if (changed) Save();
  return result;
}

}  // namespace kestrel::tools::phonesim
