// kestrel-cli run to its end for a test: `kestrel-cli COMMAND --station-dir DIR ARGS...`, its
// output decoded as UTF-8.
#pragma once

#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QString>
#include <QStringList>

namespace kestrel::testing {

struct CliRun {
  int exitCode = -1;  // -1: it did not end in time
  QString out;
  QString err;
};

inline CliRun RunStationCli(const QString& command, const StationDir& dir, QStringList args) {
  args.prepend(dir.path());
  args.prepend(QStringLiteral("--station-dir"));
  args.prepend(command);
  const ChildRun run = RunChild(BinPath(QStringLiteral("kestrel-cli")), args);
  CliRun r;
  if (!run.finished) return r;
  r.exitCode = run.exitCode;
  r.out = QString::fromUtf8(run.out);
  r.err = QString::fromUtf8(run.err);
  return r;
}

}  // namespace kestrel::testing
