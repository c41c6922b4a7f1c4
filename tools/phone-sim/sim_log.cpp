// The simulator's log lines and the arguments --fail-when picks requests by: both read a
// request's payload as it came, before the phone's end has checked it.
#include "device/oxbind/wire_protocol.h"
#include "tools/phone-sim/sim_device.h"

namespace kestrel::tools::phonesim {

namespace wire = device::oxbind::wire;

namespace {

struct NvLogField {
  uint32_t bit;
  const char* key;
  std::size_t offset;
  std::size_t size;
};

// The identity record's items in the order the log names them.
const NvLogField kNvLogFields[] = {
    {KPE_NV_IMEI1, "imei1", 4, 16},  {KPE_NV_IMEI2, "imei2", 20, 16},
    {KPE_NV_IMEI3, "imei3", 36, 16}, {KPE_NV_IMEI4, "imei4", 52, 16},
    {KPE_NV_BT, "bt", 68, 13},       {KPE_NV_WIFI, "wifi", 81, 13},
};

QByteArray Bytes(const uint8_t* p, std::size_t size) {
  return QByteArray(reinterpret_cast<const char*>(p), static_cast<qsizetype>(size));
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

QString Arguments(uint16_t command, const uint8_t* p, std::size_t n) {
  switch (command) {
    case wire::kEnterMode:
      if (n < 4) return {};
      return QStringLiteral(" mode=%1").arg(static_cast<int32_t>(wire::GetU32(p)));
    case wire::kAtCommand:
      return QLatin1Char(' ') + Printable(Bytes(p, n));
    case wire::kNvRead:
      if (n < 4) return {};
      return QStringLiteral(" mask=0x%1").arg(wire::GetU32(p), 0, 16);
    case wire::kNvFastWrite:
    case wire::kNvWriteDirect: {
      if (n != KPE_NV_RECORD_BYTES) return {};
      const uint32_t mask = wire::GetU32(p);
      QString args = QStringLiteral(" mask=0x%1").arg(mask, 0, 16);
      for (const NvLogField& f : kNvLogFields) {
        if (!(mask & f.bit)) continue;
        const QByteArray value = CText(Bytes(p + f.offset, f.size - 1));
        args += QStringLiteral(" %1=%2").arg(QLatin1String(f.key), Printable(value));
      }
      return args;
    }
    case wire::kReadSn:
      if (n < 1) return {};
      return QStringLiteral(" sn=%1").arg(p[0] != 0 ? 1 : 2);
    case wire::kWriteSn:
      if (n < 1 || n > 1 + KPE_SN_BYTES) return {};
      return QStringLiteral(" sn=%1 text=%2")
          .arg(p[0] != 0 ? 1 : 2)
          .arg(Printable(CText(Bytes(p + 1, n - 1))));
    case wire::kSetUsbAutoMode:
      if (n < 1) return {};
      return QStringLiteral(" on=%1").arg(p[0] ? 1 : 0);
    case wire::kWriteCuRef:
      if (n > KPE_CU_BYTES) return {};
      return QStringLiteral(" text=%1").arg(Printable(CText(Bytes(p, n))));
    case wire::kReadSecureBoot:
      if (n < 2) return {};
      return QStringLiteral(" index=%1").arg(wire::GetU16(p));
    case wire::kWriteSecureBoot:
      if (n < 6) return {};
      return QStringLiteral(" index=%1 value=0x%2")
          .arg(wire::GetU16(p))
          .arg(wire::GetU32(p + 2), 0, 16);
    case wire::kWriteStationRecord:
      return QStringLiteral(" bytes=%1").arg(n);
    default:
      if (!wire::CommandName(command).empty()) return {};
      return QStringLiteral(" command=0x%1").arg(command, 4, 16, QLatin1Char('0'));
  }
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

std::optional<QString> FaultArgument(uint16_t command, const uint8_t* p, std::size_t n) {
  switch (command) {
    case wire::kReadSecureBoot:
    case wire::kWriteSecureBoot:
      if (n < 2) return std::nullopt;
      return QString::number(wire::GetU16(p));
    case wire::kAtCommand:
      return QString::fromLatin1(Bytes(p, n));
    case wire::kReadSn:
    case wire::kWriteSn:
      if (n < 1) return std::nullopt;
      return QString::number(p[0] != 0 ? 1 : 2);
    default:
      return std::nullopt;
  }
}

QString RequestLogLine(uint16_t command, const uint8_t* payload, std::size_t size) {
  const std::string name = wire::CommandName(command);
  return QString::fromStdString(name.empty() ? "UNKNOWN" : name) +
         Arguments(command, payload, size);
}

}  // namespace kestrel::tools::phonesim
