// kestrel-cli power [--station-dir DIR] --board B --address A [--kind K]
//                   idn | set VOLTS [CHANNEL] | off
//
// Opens the bench power source as the station does (instrument map Ampvane.ini in the station
// folder), runs one operation and exits with the library's result code (0 = done, 2 also for
// a usage error).
#include "config/station_folder.h"
#include "device/ampvane/ampvane.h"
#include "tools/cli/cli_commands.h"

#include <cmath>
#include <cstdio>

namespace kestrel::cli {

namespace {

namespace amp = kestrel::device::ampvane;

const char* ResultText(int32_t code) {
  switch (code) {
    case amp::kOk:
      return "done";
    case amp::kErrInvalidArgument:
      return "invalid argument";
    case amp::kErrNoMap:
      return "no instrument map (Ampvane.ini) in the station folder";
    case amp::kErrNotMapped:
      return "no instrument mapped to this board and address";
    case amp::kErrBadLocation:
      return "the mapped location is not understood";
    case amp::kErrConnect:
      return "cannot connect to the instrument";
    case amp::kErrTimeout:
      return "the instrument does not answer";
    case amp::kErrIo:
      return "the link to the instrument broke";
    case amp::kErrNotOpen:
      return "the power source is not open";
    case amp::kErrInstrument:
      return "the instrument reported an error";
    case amp::kErrUnknownKind:
      return "unknown kind of power source";
    case amp::kErrBufferTooSmall:
      return "the identification was cut";
    default:
      return "failed";
  }
}

int Usage() {
  std::fputs(
      "usage: kestrel-cli power [--station-dir DIR] --board B --address A [--kind K] "
      "idn | set VOLTS [CHANNEL] | off\n",
      stderr);
  return 2;
}

bool TakeInt(const QStringList& args, qsizetype* i, int32_t* value) {
  if (*i + 1 >= args.size()) return false;
  bool ok = false;
  *value = args.at(++*i).toInt(&ok);
  return ok;
}

int Fail(const char* step, int32_t code) {
  std::fprintf(stderr, "kestrel-cli power: %s: %s (code %d)\n", step, ResultText(code), code);
  return code;
}

}  // namespace

int RunPowerCommand(const QStringList& rawArgs) {
  const QString folder = config::ResolveStationFolder(rawArgs);
  const QStringList args = config::WithoutStationDirArgument(rawArgs);
  int32_t board = -1;
  int32_t address = -1;
  int32_t kind = amp::kKindScpi;
  bool haveBoard = false;
  bool haveAddress = false;
  QStringList rest;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args.at(i);
    if (a == QLatin1StringView("--board")) {
      if (!TakeInt(args, &i, &board)) return Usage();
      haveBoard = true;
    } else if (a == QLatin1StringView("--address")) {
      if (!TakeInt(args, &i, &address)) return Usage();
      haveAddress = true;
    } else if (a == QLatin1StringView("--kind")) {
      if (!TakeInt(args, &i, &kind)) return Usage();
    } else {
      rest << a;
    }
  }
  if (!haveBoard || !haveAddress || rest.isEmpty()) return Usage();
  const QString op = rest.takeFirst();
  float volts = 0.0F;
  int32_t channel = -1;
  if (op == QLatin1StringView("set")) {
    if (rest.isEmpty() || rest.size() > 2) return Usage();
    bool ok = false;
    volts = rest.at(0).toFloat(&ok);
    if (!ok || !std::isfinite(volts)) return Usage();
    if (rest.size() == 2) {
      channel = rest.at(1).toInt(&ok);
      if (!ok) return Usage();
    }
  } else if (op == QLatin1StringView("off")) {
    if (!rest.isEmpty()) return Usage();
    volts = -1.0F;
  } else if (op != QLatin1StringView("idn") || !rest.isEmpty()) {
    return Usage();
  }

  amp::SetStationFolder(folder);
  amp::PowerSourceFactory* factory = nullptr;
  if (const int32_t r = CreateAmpvaneFactory(&factory); r != amp::kOk) return Fail("factory", r);
  amp::PowerSource* source = nullptr;
  int32_t r = factory->Create(&source, kind);
  if (r != amp::kOk || source == nullptr) {
    factory->Release();
    return Fail("create", r != amp::kOk ? r : amp::kErrUnknownKind);
  }
  r = source->Open(board, address);
  if (r != amp::kOk) {
    std::fprintf(stderr, "kestrel-cli power: GPIB%d address %d (map in %s)\n", board, address,
                 qPrintable(folder));
    r = Fail("open", r);
  } else if (op == QLatin1StringView("idn")) {
    char idn[512] = {};
    r = source->Identify(idn, sizeof idn);
    if (r == amp::kOk || r == amp::kErrBufferTooSmall) std::printf("idn %s\n", idn);
    if (r != amp::kOk) r = Fail("idn", r);
  } else {
    r = source->SetOutput(volts, channel);
    if (r != amp::kOk) {
      r = Fail("set output", r);
    } else if (op == QLatin1StringView("off")) {
      std::printf("output off\n");
    } else {
      std::printf("volts %.3f\n", static_cast<double>(volts));
      std::printf("output %s\n", channel == -1 && volts >= 0.0F ? "on" : "off");
    }
  }
  source->Release();
  factory->Release();
  return r;
}

}  // namespace kestrel::cli
