// kestrel-cli phone ... stagemark-check CURRENT CHECK: CheckPhase, as the write job calls it.
//                       stagemark-update CURRENT pass|fail [TEXT]: UpdatePhase.
//                       stagemark-show: the record the phone holds, one fact a line.
// Each prints STAGEMARK=<code> and the code's message (MESSAGE=...) and returns the code.
#include "tools/cli/stagemark_command.h"

#include "device/stagemark/stagemark.h"
#include "device/stagemark/station_record.h"
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QByteArray>
#include <QDateTime>

#include <cstdio>

namespace kestrel::cli {

namespace {

namespace sm = kestrel::device::stagemark;

const QLatin1StringView kCheck("stagemark-check");
const QLatin1StringView kUpdate("stagemark-update");
const QLatin1StringView kShow("stagemark-show");

// Control characters and backslashes escaped, so that every value stays on its line.
void Fact(const QByteArray& name, const QByteArray& value) {
  QByteArray out;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  std::printf("%s=%s\n", name.constData(), out.constData());
}

void Outcome(int32_t code, const QByteArray& checked) {
  Fact("STAGEMARK", QByteArray::number(code));
  const QString message =
      resources::FormatString(sm::StagemarkMessageId(code), {QString::fromLocal8Bit(checked)});
  Fact("MESSAGE", message.toUtf8());
}

// The library in use has no station-record calls.
int32_t NotSupported(const device::oxbind::PhoneApi& kv) {
  std::fprintf(stderr,
               "kestrel-cli phone: the phone library %s does not support the station record\n",
               kv.info.name);
  return KV_ERR_NOT_SUPPORTED;
}

int32_t Show(const device::oxbind::PhoneApi& kv, PhoneHandle h) {
  if (!kv.HasStationRecord()) return NotSupported(kv);
  QByteArray block(KV_MAX_STATION_RECORD, '\0');
  int32_t length = 0;
  if (kv.ReadStationRecord(h, reinterpret_cast<uint8_t*>(block.data()), KV_MAX_STATION_RECORD,
                           &length) != KV_OK) {
    Outcome(STAGEMARK_READ_FAILED, {});
    return STAGEMARK_READ_FAILED;
  }
  block.truncate(length);
  Fact("BYTES", QByteArray::number(block.size()));
  sm::StationRecord record;
  const int32_t r = sm::DecodeStationRecord(block, &record);
  if (r != STAGEMARK_PASS) {
    Fact("BLOCK", block.left(64).toHex());
    Outcome(r, {});
    return r;
  }
  Fact("MAGIC", record.format == sm::RecordFormat::kV9 ? "KV09" : "KV05");
  Fact("STATIONS", QByteArray::number(static_cast<qulonglong>(record.stations.size())));
  int i = 0;
  for (const sm::StationEntry& e : record.stations) {
    const QByteArray key = "STATION" + QByteArray::number(++i);
    Fact(key, e.name);
    Fact(key + "_RESULT", !e.tested ? "untested" : (e.passed ? "passed" : "failed"));
    if (e.time != 0) {
      Fact(key + "_TIME",
           QDateTime::fromSecsSinceEpoch(e.time, Qt::UTC).toString(Qt::ISODate).toUtf8());
    }
    if (!e.failureText.isEmpty()) Fact(key + "_TEXT", e.failureText);
  }
  return STAGEMARK_PASS;
}

}  // namespace

bool IsStagemarkCommand(const QString& command) {
  return command == kCheck || command == kUpdate || command == kShow;
}

const char* ValidateStagemarkCommand(const QString& command, const QStringList& a) {
  if (command == kCheck) return a.size() == 2 ? nullptr : "stagemark-check takes CURRENT CHECK";
  if (command == kUpdate) {
    if ((a.size() == 2 || a.size() == 3) &&
        (a[1] == QLatin1StringView("pass") || a[1] == QLatin1StringView("fail"))) {
      return nullptr;
    }
    return "stagemark-update takes CURRENT pass|fail [TEXT]";
  }
  if (command == kShow) return a.isEmpty() ? nullptr : "stagemark-show takes no arguments";
  return "unknown command";
}

int32_t RunStagemarkCommand(const device::oxbind::PhoneApi& kv, PhoneHandle h,
                            const QString& command, const QStringList& a) {
  if (command == kShow) return Show(kv, h);
  if (!kv.HasStationRecord()) return NotSupported(kv);
  StagemarkObject* object = CreateStagemarkObject(h);
  if (object == nullptr) {
    std::fputs(qPrintable(resources::LoadString(113) + QLatin1Char('\n')), stderr);
    return -1;
  }
  const QByteArray current = a[0].toLocal8Bit();
  int32_t r;
  QByteArray checked;
  if (command == kCheck) {
    checked = a[1].toLocal8Bit();
    r = CheckPhase(object, current.constData(), checked.constData());
  } else {
    const QByteArray text = a.size() == 3 ? a[2].toLocal8Bit() : QByteArray();
    r = UpdatePhase(object, current.constData(), a[1] == QLatin1StringView("pass") ? 1 : 0,
                    a.size() == 3 ? text.constData() : nullptr, 0, 0);
  }
  ReleaseStagemarkObject(object);
  Outcome(r, checked);
  return r;
}

}  // namespace kestrel::cli
