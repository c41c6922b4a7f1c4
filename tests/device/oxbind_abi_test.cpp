// The phone library as a library of its own: what it exports, its header as C, the loader's
// table over Kestrel's library and over another maker's (tests/device/adapter), the events
// through either, and the library's own reading of the port map against the station's.
#include "device/oxbind/platform/platform.h"
#include "device/oxbind_loader/phone_event.h"
#include "device/oxbind_loader/phone_library.h"
#include "device/ports/port_map.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>

#include <chrono>
#include <memory>
#include <thread>

namespace oxbind = kestrel::device::oxbind;
namespace ports = kestrel::device::ports;
using kestrel::testing::BinDir;
using kestrel::testing::RunChild;
using kestrel::testing::StationDir;

namespace {

QString OwnLibrary() {
  return BinDir() + QStringLiteral("/libkestrel-oxbind.so.1");
}
QString Adapter() {
  return BinDir() + QStringLiteral("/libkestrel-test-phone.so");
}

QStringList CallNames(bool optional) {
  QStringList names;
#define KESTREL_TEST_NAME(name) names << QStringLiteral("KV_" #name);
  if (optional) {
    KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_TEST_NAME)
  } else {
    KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_TEST_NAME)
  }
#undef KESTREL_TEST_NAME
  return names;
}

TEST(OxbindAbi, TheLibraryExportsExactlyTheCallsUnderItsSoname) {
  const QString nm = QStandardPaths::findExecutable(QStringLiteral("nm"));
  const QString readelf = QStandardPaths::findExecutable(QStringLiteral("readelf"));
  if (nm.isEmpty() || readelf.isEmpty()) GTEST_SKIP() << "binutils are not installed";
  const auto run = RunChild(nm, {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                 QStringLiteral("--format=posix"), OwnLibrary()});
  ASSERT_EQ(run.exitCode, 0);
  QSet<QString> exported;
  for (const QByteArray& line : run.out.split('\n')) {
    if (!line.isEmpty()) exported << QString::fromLatin1(line.split(' ').first());
  }
  const QStringList expected = CallNames(false) + CallNames(true);
  EXPECT_EQ(exported, QSet<QString>(expected.begin(), expected.end()));
  const auto dynamic = RunChild(readelf, {QStringLiteral("-d"), OwnLibrary()});
  EXPECT_TRUE(dynamic.out.contains("Library soname: [libkestrel-oxbind.so.1]"))
      << dynamic.out.toStdString();
  EXPECT_FALSE(dynamic.out.contains("libQt")) << "the library needs Qt";
}

TEST(OxbindAbi, TheHeaderIsC99AndCxx) {
  const QString header = kestrel::testing::SourceDir() + QStringLiteral("/device/oxbind/oxbind.h");
  struct Case {
    const char* compiler;
    QStringList flags;
  };
  for (const Case& c :
       {Case{"cc", {"-std=c99", "-x", "c"}}, Case{"c++", {"-std=c++17", "-x", "c++"}}}) {
    SCOPED_TRACE(c.compiler);
    const QString compiler = QStandardPaths::findExecutable(QLatin1String(c.compiler));
    if (compiler.isEmpty()) GTEST_SKIP() << c.compiler << " is not installed";
    const auto run = RunChild(compiler, c.flags + QStringList{"-pedantic", "-Wall", "-Wextra",
                                                              "-Werror", "-fsyntax-only", header});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  }
}

TEST(OxbindAbi, TheLoaderResolvesEitherLibraryIntoOneTable) {
  struct Case {
    QString file;
    const char* title;
    QStringList missingOptional;
  };
  for (const Case& c : {Case{OwnLibrary(), "Kestrel Oxbind 1.0.0.1", {}},
                        Case{Adapter(), "Test Phone Adapter 0.9", CallNames(true)}}) {
    SCOPED_TRACE(c.title);
    QString error;
    const auto library = oxbind::PhoneLibrary::Load(c.file, &error);
    ASSERT_TRUE(library) << error.toStdString();
    EXPECT_EQ(library->Title(), QLatin1String(c.title));
    EXPECT_EQ(library->Path(), c.file);
    EXPECT_EQ(library->MissingOptional(), c.missingOptional);
    const oxbind::PhoneApi& kv = library->Api();
    EXPECT_EQ(kv.HasStationRecord(), c.missingOptional.isEmpty());
    EXPECT_EQ(kv.info.abiMajor, KV_ABI_MAJOR);
    const PhoneHandle h = kv.CreatePhone(0);
    ASSERT_NE(h, KV_INVALID_HANDLE);
    uint64_t requests = 99, retransmissions = 99;
    kv.RequestCounts(h, &requests, &retransmissions);
    EXPECT_EQ(requests, 0u);
    EXPECT_EQ(retransmissions, 0u);
    EXPECT_EQ(kv.ReleasePhone(h), KV_OK);
  }
}

// The events, through the table of either library: the earlier of several set events wins,
// a time-out is kept, a set from another thread wakes a waiter, bad arguments are refused.
TEST(OxbindAbi, EventsBehaveAlikeInEitherLibrary) {
  for (const QString& file : {OwnLibrary(), Adapter()}) {
    SCOPED_TRACE(file.toStdString());
    QString error;
    const auto library = oxbind::PhoneLibrary::Load(file, &error);
    ASSERT_TRUE(library) << error.toStdString();
    const oxbind::PhoneApi& kv = library->Api();
    oxbind::PhoneEvent a(kv), b(kv), c(kv);
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(oxbind::PhoneEvent::WaitAny({&a, &b, &c}, 0), -1);
    c.Set();
    b.Set();
    EXPECT_EQ(oxbind::PhoneEvent::WaitAny({&a, &b, &c}, 0), 1);
    EXPECT_EQ(oxbind::PhoneEvent::WaitAny({&c, &b}, -1), 0);
    b.Reset();
    c.Reset();
    EXPECT_FALSE(b.IsSet());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(a.Wait(120));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));

    std::thread setter([&c] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      c.Set();
    });
    EXPECT_EQ(oxbind::PhoneEvent::WaitAny({&a, &b, &c}, 5000), 2);
    setter.join();

    int32_t index = 7;
    KV_Event* none[] = {a.get(), nullptr};
    EXPECT_EQ(kv.WaitAnyEvent(none, 2, 0, &index), KV_ERR_BAD_ARGUMENT);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(kv.WaitAnyEvent(none, 0, 0, &index), KV_ERR_BAD_ARGUMENT);
    EXPECT_EQ(kv.SetEvent(nullptr), KV_ERR_BAD_ARGUMENT);
    EXPECT_EQ(kv.WaitEvent(c.get(), 0), KV_OK);
  }
}

// The library reads the port map itself; it must see the ports the station's map shows, with
// the same numbers and devices.
TEST(OxbindAbi, TheLibrarysPortMapIsTheStations) {
  StationDir station;
  qputenv("KESTREL_SYSTEM_PORTS", "0");
  ports::SetStationFolder(station.path());  // sets KESTREL_STATION_DIR for the library too
  const QString folder = station.File(QStringLiteral("ports"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString target = station.Write(QStringLiteral("tty-a"), "");
  struct Link {
    const char* name;
    QString to;  // empty: a plain file, not a link
  };
  for (const Link& l : {Link{"COM3", target}, Link{"com5", target}, Link{"Com7", QString()},
                        Link{"COM0", target}, Link{"COM1000", target}, Link{"COM12x", target},
                        Link{"COM9", station.File(QStringLiteral("gone"))},
                        Link{"COM11", QStringLiteral("../tty-a")}, Link{"com11", target},
                        Link{"ttyS3", target}, Link{".COM4", target}}) {
    const QString path = folder + QLatin1Char('/') + QLatin1String(l.name);
    if (l.to.isEmpty()) {
      ASSERT_TRUE(QFile(path).open(QIODevice::WriteOnly));
    } else {
      ASSERT_TRUE(QFile::link(l.to, path)) << l.name;
    }
  }
  auto both = [] {
    QStringList map, lib;
    for (const ports::PortInfo& p : ports::EnumeratePorts()) {
      map << QStringLiteral("%1 %2").arg(p.number).arg(p.device);
    }
    for (const auto& p : oxbind::platform::ListPorts()) {
      lib << QStringLiteral("%1 %2").arg(p.number).arg(QString::fromStdString(p.device));
    }
    return std::make_pair(map, lib);
  };
  auto [fromStation, fromLibrary] = both();
  EXPECT_EQ(fromStation, (QStringList{"3 " + folder + "/COM3", "5 " + folder + "/com5",
                                      "7 " + folder + "/Com7", "11 " + folder + "/COM11"}));
  EXPECT_EQ(fromLibrary, fromStation);
  oxbind::platform::PortEntry entry;
  EXPECT_TRUE(oxbind::platform::FindPort(5, &entry));
  EXPECT_FALSE(oxbind::platform::FindPort(9, &entry));  // its target is gone

  // With the system's devices: whatever this machine has, both number them alike.
  qputenv("KESTREL_SYSTEM_PORTS", "1");
  std::tie(fromStation, fromLibrary) = both();
  EXPECT_EQ(fromLibrary, fromStation);
  qputenv("KESTREL_SYSTEM_PORTS", "0");
  ports::SetStationFolder(QString());
}

}  // namespace
