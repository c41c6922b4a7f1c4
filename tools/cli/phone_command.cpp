// kestrel-cli phone [--station-dir DIR] [--library FILE] --port N|usb COMMAND ...: one
// phone-library call on a phone, its findings printed as NAME=value lines, the call's result as
// the exit code. The library is FILE, else the station's ([PHONE] Library), else Kestrel's own;
// with --isolate (or the station's [PHONE] Isolate=1) it runs in kestrel-phone-host.
#include "config/phone_library_setting.h"
#include "config/station_folder.h"
#include "device/oxbind_loader/phone_library.h"
#include "device/ports/port_map.h"
#include "device/stagemark/stagemark.h"
#include "tools/cli/cli_commands.h"
#include "tools/cli/phone_conformance.h"
#include "tools/cli/stagemark_command.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrel::cli {
namespace {

constexpr int kUsageExit = 2;
constexpr int kTextBuffer = 16384;

const char kPhoneUsage[] =
    "usage: kestrel-cli phone [--station-dir DIR] [--library FILE] [--isolate] --port N|usb "
    "COMMAND\n"
    "commands: version | ap-version | read-nv [--mask M] |\n"
    "  write-nv [--imei1 X] [--imei2 X] [--imei3 X] [--imei4 X] [--bt X] [--wifi X] |\n"
    "  read-sn 1|2 | write-sn 1|2 TEXT | at TEXT | read-cu | write-cu TEXT |\n"
    "  read-secure-boot | write-secure-boot I VALUE | enable-secure-boot | usb-auto-off |\n"
    "  power-off | conformance [--allow-irreversible]\n";

int Usage(const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "kestrel-cli phone: %s\n", problem);
  std::fputs(kPhoneUsage, stderr);
  return kUsageExit;
}

// One fact a line: control characters and backslashes are escaped so that a reply with line
// breaks stays on its line.
void PrintFact(const char* name, const QByteArray& value) {
  std::string out;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  std::printf("%s=%s\n", name, out.c_str());
}

QByteArray Field(const char* bytes, std::size_t size) {
  return QByteArray(bytes, static_cast<qsizetype>(strnlen(bytes, size)));
}

bool ParseUnsigned(const QString& text, uint32_t* out) {
  bool ok = false;
  const qulonglong v = text.toULongLong(&ok, 0);
  if (!ok || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool SnArgument(const QString& text, int32_t* isSn1) {
  if (text == QLatin1String("1")) {
    *isSn1 = 1;
    return true;
  }
  if (text == QLatin1String("2")) {
    *isSn1 = 0;
    return true;
  }
  return false;
}

struct NvItem {
  const char* option;
  const char* name;
  uint32_t bit;
  std::size_t offset;
  std::size_t size;
};

const NvItem kNvItems[] = {
    {"--imei1", "IMEI1", KV_NV_IMEI1, offsetof(NvInfoRecord, imei1), 16},
    {"--imei2", "IMEI2", KV_NV_IMEI2, offsetof(NvInfoRecord, imei2), 16},
    {"--imei3", "IMEI3", KV_NV_IMEI3, offsetof(NvInfoRecord, imei3), 16},
    {"--imei4", "IMEI4", KV_NV_IMEI4, offsetof(NvInfoRecord, imei4), 16},
    {"--bt", "BT", KV_NV_BT, offsetof(NvInfoRecord, bt), 13},
    {"--wifi", "WIFI", KV_NV_WIFI, offsetof(NvInfoRecord, wifi), 13},
};

// Runs the command on the open phone test. Returns the library's result, or -1 after a
// usage message for bad arguments (checked before the phone test is opened, see Validate).
int32_t Run(const device::oxbind::PhoneApi& kv, PhoneHandle h, const QString& command,
            const QStringList& a) {
  if (IsStagemarkCommand(command)) return RunStagemarkCommand(kv, h, command, a);
  if (command == QLatin1String("version") || command == QLatin1String("ap-version")) {
    std::vector<char> buffer(kTextBuffer, 0);
    const bool ap = command == QLatin1String("ap-version");
    const int32_t r = ap ? kv.GetAPVersion(h, buffer.data(), kTextBuffer)
                         : kv.GetMsVersion(h, buffer.data(), kTextBuffer);
    if (r == KV_OK) PrintFact(ap ? "AP_VERSION" : "VERSION", QByteArray(buffer.data()));
    return r;
  }
  if (command == QLatin1String("read-nv")) {
    uint32_t mask = KV_NV_IMEI1 | KV_NV_IMEI2 | KV_NV_IMEI3 | KV_NV_IMEI4 | KV_NV_BT | KV_NV_WIFI;
    if (a.size() == 2) ParseUnsigned(a[1], &mask);
    NvInfoRecord record;
    std::memset(&record, 0, sizeof(record));
    record.mask = mask;
    const int32_t r = kv.FastReadNvInfo(h, &record);
    if (r != KV_OK) return r;
    const auto* bytes = reinterpret_cast<const char*>(&record);
    for (const NvItem& item : kNvItems) {
      if (mask & item.bit) PrintFact(item.name, Field(bytes + item.offset, item.size));
    }
    return r;
  }
  if (command == QLatin1String("write-nv")) {
    NvInfoRecord record;
    std::memset(&record, 0, sizeof(record));
    auto* bytes = reinterpret_cast<char*>(&record);
    for (int i = 0; i + 1 < a.size(); i += 2) {
      for (const NvItem& item : kNvItems) {
        if (a[i] != QLatin1String(item.option)) continue;
        const QByteArray text = a[i + 1].toLocal8Bit().left(static_cast<int>(item.size) - 1);
        std::memcpy(bytes + item.offset, text.constData(), static_cast<std::size_t>(text.size()));
        record.mask |= item.bit;
      }
    }
    return kv.FastWriteNvInfo(h, &record);
  }
  if (command == QLatin1String("read-sn")) {
    int32_t isSn1 = 1;
    SnArgument(a[0], &isSn1);
    char buffer[24] = {};
    const int32_t r = kv.ReadSN(h, isSn1, buffer, 24);
    if (r == KV_OK) PrintFact("SN", Field(buffer, 24));
    return r;
  }
  if (command == QLatin1String("write-sn")) {
    int32_t isSn1 = 1;
    SnArgument(a[0], &isSn1);
    const QByteArray text = a[1].toLocal8Bit();
    return kv.WriteSN(h, isSn1, text.constData(), static_cast<int32_t>(text.size()));
  }
  if (command == QLatin1String("at")) {
    const QByteArray text = a[0].toLocal8Bit();
    std::vector<char> reply(4096, 0);
    int32_t length = 0;
    const int32_t r = kv.SendATCommand(h, text.constData(), 1, reply.data(), 4000, &length, 3000);
    if (r == KV_OK) PrintFact("REPLY", QByteArray(reply.data(), length));
    return r;
  }
  if (command == QLatin1String("read-cu")) {
    char buffer[24] = {};
    const int32_t r = kv.ReadCURef(h, buffer, 24);
    if (r == KV_OK) PrintFact("CU", Field(buffer, 24));
    return r;
  }
  if (command == QLatin1String("write-cu")) {
    char buffer[24] = {};
    const QByteArray text = a[0].toLocal8Bit().left(24);
    std::memcpy(buffer, text.constData(), static_cast<std::size_t>(text.size()));
    return kv.WriteCURef(h, buffer, 24);
  }
  if (command == QLatin1String("read-secure-boot")) {
    for (uint16_t i = 0; i < 7; ++i) {
      SecureBootItem item{};
      item.index = i;
      const int32_t r = kv.ReadSecureBoot(h, &item, static_cast<int32_t>(sizeof(item)));
      if (r != KV_OK) return r;
      std::printf("ITEM%u=0x%x\n", static_cast<unsigned>(i), static_cast<unsigned>(item.value));
    }
    return KV_OK;
  }
  if (command == QLatin1String("write-secure-boot")) {
    uint32_t index = 0, value = 0;
    ParseUnsigned(a[0], &index);
    ParseUnsigned(a[1].startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                      ? a[1]
                      : QStringLiteral("0x") + a[1],
                  &value);
    SecureBootItem item{};
    item.index = static_cast<uint16_t>(index);
    item.value = value;
    return kv.WriteSecureBoot(h, &item, static_cast<int32_t>(sizeof(item)));
  }
  if (command == QLatin1String("enable-secure-boot")) return kv.EnableSecureBoot(h);
  if (command == QLatin1String("usb-auto-off")) return kv.SetUsbAutoMode(h, 0);
  if (command == QLatin1String("power-off")) return kv.PowerOff(h);
  return -1;
}

// The command's arguments are checked before any phone test is opened.
const char* Validate(const QString& command, const QStringList& a) {
  if (IsStagemarkCommand(command)) return ValidateStagemarkCommand(command, a);
  auto noArgs = [&]() { return a.isEmpty() ? nullptr : "this command takes no arguments"; };
  if (command == QLatin1String("version") || command == QLatin1String("ap-version") ||
      command == QLatin1String("read-cu") || command == QLatin1String("read-secure-boot") ||
      command == QLatin1String("enable-secure-boot") || command == QLatin1String("usb-auto-off") ||
      command == QLatin1String("power-off"))
    return noArgs();
  if (command == QLatin1String("read-nv")) {
    uint32_t mask = 0;
    if (a.isEmpty()) return nullptr;
    if (a.size() == 2 && a[0] == QLatin1String("--mask") && ParseUnsigned(a[1], &mask))
      return nullptr;
    return "read-nv takes [--mask M]";
  }
  if (command == QLatin1String("write-nv")) {
    if (a.isEmpty() || a.size() % 2) return "write-nv takes --imei1 X ... --wifi X";
    for (int i = 0; i < a.size(); i += 2) {
      bool known = false;
      for (const NvItem& item : kNvItems) known |= a[i] == QLatin1String(item.option);
      if (!known) return "write-nv takes --imei1 X ... --wifi X";
    }
    return nullptr;
  }
  int32_t sn = 0;
  if (command == QLatin1String("read-sn"))
    return a.size() == 1 && SnArgument(a[0], &sn) ? nullptr : "read-sn takes 1 or 2";
  if (command == QLatin1String("write-sn"))
    return a.size() == 2 && SnArgument(a[0], &sn) ? nullptr : "write-sn takes 1|2 TEXT";
  if (command == QLatin1String("at") || command == QLatin1String("write-cu"))
    return a.size() == 1 ? nullptr : "this command takes one TEXT";
  if (command == QLatin1String("conformance")) {
    return a.isEmpty() || a == QStringList{QStringLiteral("--allow-irreversible")}
               ? nullptr
               : "conformance takes [--allow-irreversible]";
  }
  if (command == QLatin1String("write-secure-boot")) {
    uint32_t index = 0, value = 0;
    const QString hex = a.size() == 2 && !a[1].startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                            ? QStringLiteral("0x") + a[1]
                            : (a.size() == 2 ? a[1] : QString());
    if (a.size() == 2 && ParseUnsigned(a[0], &index) && index <= 6 && ParseUnsigned(hex, &value))
      return nullptr;
    return "write-secure-boot takes I (0..6) and a hexadecimal VALUE";
  }
  return "unknown command";
}

}  // namespace

int RunPhoneCommand(const QStringList& args) {
  const QString station = config::ResolveStationFolder(args);
  QStringList rest = config::WithoutStationDirArgument(args);

  PortChannel channel{KV_CHANNEL_COM, 0, 115200};
  const qsizetype portAt = rest.indexOf(QStringLiteral("--port"));
  if (portAt < 0 || portAt + 1 >= rest.size()) return Usage("--port N|usb is required");
  const QString port = rest[portAt + 1];
  rest.remove(portAt, 2);
  if (port.compare(QLatin1String("usb"), Qt::CaseInsensitive) == 0) {
    channel = PortChannel{KV_CHANNEL_USB, 0, 0};
  } else {
    bool ok = false;
    channel.port = port.toInt(&ok);
    if (!ok || channel.port <= 0) return Usage("--port takes a COM number or usb");
  }
  const config::PhoneLibraryChoice choice = config::PhoneLibrarySettings(station);
  QString libraryFile = choice.file;
  if (const qsizetype at = rest.indexOf(QStringLiteral("--library")); at >= 0) {
    if (at + 1 >= rest.size()) return Usage("--library takes a FILE");
    libraryFile = rest[at + 1];
    rest.remove(at, 2);
  }
  bool isolate = choice.isolate;
  if (rest.removeAll(QStringLiteral("--isolate")) > 0) isolate = true;
  if (rest.isEmpty()) return Usage("a command is required");
  const QString command = rest.takeFirst();
  if (const char* problem = Validate(command, rest)) return Usage(problem);

  QString error;
  const std::unique_ptr<device::oxbind::PhoneLibrary> library =
      device::oxbind::PhoneLibrary::Load(libraryFile, isolate, &error);
  if (!library) {
    std::fprintf(stderr, "kestrel-cli phone: %s\n", qPrintable(error));
    return kUsageExit;
  }
  const device::oxbind::PhoneApi& kv = library->Api();
  device::stagemark::UsePhoneLibrary(&kv);
  device::ports::SetStationFolder(station);
  if (command == QLatin1String("conformance")) {
    if (channel.type != KV_CHANNEL_COM) return Usage("conformance needs --port N (a COM port)");
    return RunPhoneConformance(kv, channel.port, !rest.isEmpty());
  }
  const PhoneHandle h = kv.CreatePhone(0);
  if (h == KV_INVALID_HANDLE) {
    std::fputs("kestrel-cli phone: the phone library did not start\n", stderr);
    return 1;
  }
  int32_t r = kv.BeginPhoneTest(h, &channel);
  if (r != KV_OK) {
    std::fprintf(stderr, "kestrel-cli phone: opening the phone test failed (%d)\n", r);
  } else {
    r = Run(kv, h, command, rest);
    if (r != KV_OK)
      std::fprintf(stderr, "kestrel-cli phone: %s failed (%d)\n", qPrintable(command), r);
    kv.EndPhoneTest(h);
  }
  kv.ReleasePhone(h);
  return r;
}

}  // namespace kestrel::cli
