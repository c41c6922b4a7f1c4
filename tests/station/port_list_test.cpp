// The port selector over the port map: its order, the selection rules, the entry "USB", the
// port monitor's reports, and the selector kept disabled while a job runs.
#include "tests/station/station_fixture.h"

#include "device/ports/port_map.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>

namespace kestrel::station::testing {
namespace {

class PortListTest : public StationWindowTest {
 protected:
  void Link(int n) {
    QDir().mkpath(dir_.File(QStringLiteral("ports")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"),
                            dir_.File(QStringLiteral("ports/COM%1").arg(n))));
  }
  QStringList Entries() {
    auto* list = qobject_cast<QComboBox*>(W().Control(ids::kPortList));
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    return entries;
  }
  QComboBox* List() { return qobject_cast<QComboBox*>(W().Control(ids::kPortList)); }
};

TEST_F(PortListTest, EntriesAndSelectionFollowModeAndConfiguredPort) {
  const struct {
    const char* name;
    QByteArray ini;
    std::vector<int> links;
    QStringList entries;
    QString selected;
    int port;
    int autoPort;
    bool present;
  } cases[] = {
      {"calibration lists USB first, then the map in descending order",
       "[General]\nOperation Mode=0\nPort=-1\n", {3, 5},
       {QStringLiteral("USB"), QStringLiteral("COM5"), QStringLiteral("COM3")},
       QStringLiteral("USB"), -1, 1, false},
      {"calibration with a present port selects it", "[General]\nOperation Mode=0\nPort=3\n",
       {3, 5}, {QStringLiteral("USB"), QStringLiteral("COM5"), QStringLiteral("COM3")},
       QStringLiteral("COM3"), 3, 0, true},
      {"calibration with an absent port falls back to USB",
       "[General]\nOperation Mode=0\nPort=7\n", {3},
       {QStringLiteral("USB"), QStringLiteral("COM3")}, QStringLiteral("USB"), -1, 1, false},
      {"normal mode with an absent port takes the first entry",
       "[General]\nOperation Mode=1\nPort=7\n", {3, 5},
       {QStringLiteral("COM5"), QStringLiteral("COM3")}, QStringLiteral("COM5"), 5, 0, true},
      {"normal mode without any port: Port 0, nothing selectable",
       "[General]\nOperation Mode=1\nPort=7\n", {}, {}, QString(), 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(dir_.File(QStringLiteral("ports"))).removeRecursively();
    for (int n : c.links) Link(n);
    Open(c.ini);
    EXPECT_EQ(Entries(), c.entries);
    EXPECT_EQ(List()->currentText(), c.selected);
    EXPECT_EQ(W().Settings().Port, c.port);
    EXPECT_EQ(W().Settings().AutoPort, c.autoPort);
    EXPECT_EQ(W().RefreshPortList(), c.present);
    window_.reset();
  }
}

TEST_F(PortListTest, TheLastChosenPortWinsOverPortWhenTheListIsRefilled) {
  Link(3);
  Link(5);
  Open("[General]\nOperation Mode=1\nPort=3\n");
  EXPECT_EQ(List()->currentText(), QStringLiteral("COM3"));
  List()->setCurrentIndex(0);
  emit List()->activated(0);  // the operator picks COM5
  EXPECT_EQ(W().Settings().LastComPort, 5);
  W().MutableSettings().Port = 3;
  W().OnPortChanged(0x0BDD, 9, 1);  // a port arrived: the list is refilled
  EXPECT_EQ(List()->currentText(), QStringLiteral("COM5"));
  EXPECT_EQ(W().Settings().Port, 5);
}

TEST_F(PortListTest, ChoosingUsbStopsThePortWatchAndAComPortStartsIt) {
  Link(3);
  Open("[General]\nOperation Mode=0\nPort=3\n");
  EXPECT_TRUE(W().PortWatchRunning());
  emit List()->activated(0);  // "USB"
  EXPECT_EQ(W().Settings().Port, -1);
  EXPECT_EQ(W().Settings().AutoPort, 1);
  EXPECT_FALSE(W().PortWatchRunning());
  emit List()->activated(1);  // COM3
  EXPECT_EQ(W().Settings().Port, 3);
  EXPECT_EQ(W().Settings().AutoPort, 0);
  EXPECT_TRUE(W().PortWatchRunning());
}

TEST_F(PortListTest, AJobKeepsTheSelectorDisabledThroughEveryRefresh) {
  Link(3);
  phone_ = KV_CreatePhone(0);
  // Calibration mode by USB: the job waits for a phone that never comes.
  Open("[General]\nOperation Mode=0\nPort=-1\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
       "DefaultIMEI=35123456000001\nTimeout=20000\n");
  Click(ids::kWrite);
  ASSERT_TRUE(W().JobRunning());
  EXPECT_FALSE(List()->isEnabled());
  Link(5);
  W().OnPortChanged(0x0BDD, 5, 1);  // refilled while the job runs
  EXPECT_EQ(Entries().size(), 3);
  EXPECT_FALSE(List()->isEnabled());
  W().OnPortWatchTimer();
  EXPECT_FALSE(List()->isEnabled());
  Click(ids::kStop);
  QApplication::processEvents();
  EXPECT_TRUE(List()->isEnabled());
  window_.reset();
  KV_ReleasePhone(phone_);
  phone_ = KV_INVALID_HANDLE;
}

// A port reported by the monitor is shown by the watch's next tick, arriving or leaving.
TEST_F(PortListTest, APortThatComesAndGoesIsShownByTheWatch) {
  Open("[General]\nOperation Mode=1\nPort=3\n");
  EXPECT_FALSE(W().RefreshPortList());
  Link(3);
  W().OnPortChanged(0x0BDD, 3, 1);
  W().OnPortWatchTimer();
  EXPECT_EQ(static_cast<QLabel*>(W().Control(ids::kStatusLine))->text(),
            QStringLiteral("מצב רגיל, הפורט זוהה!"));
  QFile::remove(dir_.File(QStringLiteral("ports/COM3")));
  W().OnPortChanged(0x0BDD, 3, 0);
  W().OnPortWatchTimer();
  EXPECT_TRUE(static_cast<QLabel*>(W().Control(ids::kStatusLine))
                  ->text()
                  .contains(QStringLiteral("not been detected")));
}

}  // namespace
}  // namespace kestrel::station::testing
