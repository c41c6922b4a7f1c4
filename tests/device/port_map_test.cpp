// The port map: link numbering, what counts as a port, the order of the names, and the
// port monitor's messages for links that come and go.
#include "device/ports/port_map.h"
#include "device/ports/port_monitor.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QThread>

#include <mutex>
#include <thread>
#include <vector>

namespace ports = kestrel::device::ports;
using kestrel::testing::StationDir;

namespace {

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    ports::SetStationFolder(station_.path());
    QDir().mkpath(station_.File("ports"));
    target_ = station_.Write("dev/fake-tty", "");
  }
  void TearDown() override { ports::SetStationFolder(QString()); }

  void Link(const QString& name, const QString& target = QString()) {
    ASSERT_TRUE(QFile::link(target.isEmpty() ? target_ : target, station_.File("ports/" + name)));
  }

  StationDir station_;
  QString target_;
};

TEST_F(PortMapTest, LinksGiveTheirNumberInAnyCaseInAscendingOrder) {
  Link("COM12");
  Link("com3");
  Link("Com7");
  EXPECT_EQ(ports::PortNames(), (QStringList{"COM3", "COM7", "COM12"}));
  EXPECT_EQ(ports::ResolvePort(3), station_.File("ports/com3"));
  EXPECT_TRUE(ports::ResolvePort(4).isEmpty());
  EXPECT_TRUE(ports::ResolvePort(0).isEmpty());
}

TEST_F(PortMapTest, NamesThatAreNotPortsAndDanglingLinksAreIgnored) {
  Link("COM0");
  Link("COM1000");  // above the link range: the system devices' numbers
  Link("COMX");
  Link("COM5.bak");
  Link("xCOM6");
  Link("COM8", station_.File("dev/missing"));  // the phone behind it has gone
  Link("COM9");
  EXPECT_EQ(ports::PortNames(), (QStringList{"COM9"}));
}

TEST_F(PortMapTest, SameNumberInTwoCasesGivesOnePort) {
  Link("COM4");
  Link("com4");
  const auto list = ports::EnumeratePorts();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].device, station_.File("ports/COM4"));  // byte order: upper case first
}

TEST_F(PortMapTest, SystemDeviceNumbersAreFixedAndAboveEveryLink) {
  EXPECT_EQ(ports::SystemPortNumber("/dev/ttyS0"), 1000);
  EXPECT_EQ(ports::SystemPortNumber("/dev/ttyS31"), 1031);
  EXPECT_EQ(ports::SystemPortNumber("/dev/ttyUSB0"), 2000);
  EXPECT_EQ(ports::SystemPortNumber("/dev/ttyACM2"), 3002);
  EXPECT_EQ(ports::SystemPortNumber("/dev/ttyUSB1000"), 0);
  EXPECT_EQ(ports::SystemPortNumber("/dev/pts/3"), 0);
  EXPECT_EQ(ports::LinkNumber("COM999"), 999);
  EXPECT_EQ(ports::LinkNumber("COM1000"), 0);
  EXPECT_GT(ports::kTtySBase, ports::kMaxLinkNumber);
}

TEST_F(PortMapTest, StationFolderFallsBackToTheEnvironment) {
  ports::SetStationFolder(QString());
  qputenv("KESTREL_STATION_DIR", station_.path().toLocal8Bit());
  Link("COM2");
  EXPECT_EQ(ports::LinkFolder(), station_.File("ports"));
  EXPECT_EQ(ports::PortNames(), (QStringList{"COM2"}));
  qunsetenv("KESTREL_STATION_DIR");
}

// Records what the monitor posts.
struct Recorder {
  std::mutex lock;
  std::vector<std::pair<int, int>> posted;
  int calls = 0;
  int failFirst = 0;  // this many posting attempts fail

  ports::PortChangedPoster Poster() {
    return [this](int id, int port, int arrived) {
      std::lock_guard l(lock);
      EXPECT_EQ(id, ports::kPortChangedMessage);
      ++calls;
      if (failFirst > 0) {
        --failFirst;
        return false;
      }
      posted.emplace_back(port, arrived);
      return true;
    };
  }
  std::vector<std::pair<int, int>> Posted() {
    std::lock_guard l(lock);
    return posted;
  }
  bool WaitFor(std::size_t count, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (Posted().size() < count && t.elapsed() < ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Posted().size() >= count;
  }
};

TEST_F(PortMapTest, MonitorIsSilentOnTheFirstPassThenReportsArrivalAndRemoval) {
  Link("COM1");
  Recorder r;
  ports::PortMonitor monitor;
  monitor.SetPoster(r.Poster());
  monitor.Start();
  monitor.Start();  // a second Start does nothing
  EXPECT_TRUE(monitor.IsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(r.Posted().empty());  // COM1 was there before the monitor

  Link("COM6");
  ASSERT_TRUE(r.WaitFor(1));
  ASSERT_TRUE(QFile::remove(station_.File("ports/COM6")));
  ASSERT_TRUE(r.WaitFor(2));
  // A link whose target vanishes goes away too (found by the periodic rescan).
  ASSERT_TRUE(QFile::remove(target_));
  ASSERT_TRUE(r.WaitFor(3));
  monitor.Stop();
  EXPECT_FALSE(monitor.IsRunning());
  EXPECT_EQ(r.Posted(), (std::vector<std::pair<int, int>>{{6, 1}, {6, 0}, {1, 0}}));
}

TEST_F(PortMapTest, MonitorTriesEachPostThreeTimes) {
  Recorder r;
  r.failFirst = 2;  // the first message gets through on its third attempt
  ports::PortMonitor monitor;
  monitor.SetPoster(r.Poster());
  monitor.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Link("COM2");
  ASSERT_TRUE(r.WaitFor(1));
  EXPECT_EQ(r.calls, 3);

  {
    std::lock_guard l(r.lock);
    r.failFirst = 3;  // three failures: the message is dropped
  }
  Link("COM3");
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 3000) {
    {
      std::lock_guard l(r.lock);
      if (r.calls >= 6) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  monitor.Stop();
  EXPECT_EQ(r.calls, 6);
  EXPECT_EQ(r.Posted(), (std::vector<std::pair<int, int>>{{2, 1}}));
}

// A window-like target: the posting arrives as a queued call on the target's thread.
class PortTarget : public QObject {
  Q_OBJECT
 public:
  std::vector<std::tuple<int, int, int>> got;
  Qt::HANDLE thread = nullptr;
  Q_INVOKABLE void OnPortChanged(int messageId, int port, int arrived) {
    got.emplace_back(messageId, port, arrived);
    thread = QThread::currentThreadId();
  }
};

TEST_F(PortMapTest, MonitorPostsToAQObjectOnItsThread) {
  PortTarget target;
  ports::PortMonitor monitor;
  monitor.SetTarget(&target, ports::kPortChangedMessage, 0);
  monitor.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Link("COM8");
  QElapsedTimer t;
  t.start();
  while (target.got.empty() && t.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  monitor.Stop();
  ASSERT_EQ(target.got.size(), 1u);
  EXPECT_EQ(target.got[0], std::make_tuple(0x0BDD, 8, 1));
  EXPECT_EQ(target.thread, QThread::currentThreadId());
}

}  // namespace

#include "port_map_test.moc"
