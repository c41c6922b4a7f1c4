// The version checks and the AT commands of a write job against the simulated phone: what is
// read and compared, what the version information shows, and each failure's message and
// whether it counts.
#include "station/version_checks.h"
#include "station/version_text.h"
#include "tests/station/phone_job_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>

#include <atomic>
#include <thread>

namespace kestrel::station::testing {
namespace {

using identity::ResultState;

const QString kDiagKey = QString::fromLatin1(kApDiagCommand);

class VersionChecksTest : public PhoneJobTest {};

// --- The texts ---

TEST(VersionTextTest, DiagReplyQuotedPartAndHexDecoding) {
  struct Case {
    const char* reply;
    const char* version;
  };
  const Case cases[] = {
      // The simulator's form: a 28-character header, then the text as hex pairs.
      {"+KVDIAG: \"000000000800000000000003000041422E\"\r\nOK", "AB."},
      // No "00000000" in the quoted part: taken as it stands.
      {"+KVDIAG: \"41505F58\"", "41505F58"},
      {"\"BASE:AP_1\"", "BASE:AP_1"},
      // Without a second quote nothing is left; without any quote neither.
      {"+KVDIAG: \"0000000008000000", ""},
      {"no quotes", ""},
      {"\"\"", ""},
      // Fewer than 28 characters after the quote: nothing to decode.
      {"\"00000000\"", ""},
      // The digit rule: any character but 0-9 counts its code minus 55, so "a" is 42 and
      // "4a" gives 4 * 16 + 42 = 106, "j"; a zero byte ends the text; an odd last digit is
      // left out.
      {"\"#4a\"", "j"},
      {"\"#410042\"", "A"},
      {"\"#41424\"", "AB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    // "#" stands for a header of 28 zeros.
    const QByteArray reply = QByteArray(c.reply).replace('#', QByteArray(28, '0'));
    EXPECT_EQ(DiagReplyVersion(reply), QByteArray(c.version));
  }
}

TEST(VersionTextTest, LineBreaksBeforeTheWordsOrAtTheStart) {
  struct Case {
    const char* text;
    const char* broken;
  };
  const Case cases[] = {
      {"Plat:A Project:B BASE:C HW:D", "\r\nPlat:A \r\nProject:B \r\nBASE:C \r\nHW:D"},
      // A missing word puts its break at the very start.
      {"Plat:A BASE:C", "\r\n\r\n\r\nPlat:A \r\nBASE:C"},
      {"V1.0", "\r\n\r\n\r\n\r\nV1.0"},
      // Only the first occurrence of a word.
      {"HW:1 HW:2 Plat Project BASE", "\r\nHW:1 HW:2 \r\nPlat \r\nProject \r\nBASE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    // Both the 8-bit and the UTF-16 form break alike.
    const QByteArray bytes = BreakBeforeWords(QByteArray(c.text), {"Plat", "Project", "BASE", "HW"});
    const QString text =
        BreakBeforeWords(QString::fromLatin1(c.text), {"Plat", "Project", "BASE", "HW"});
    EXPECT_EQ(bytes, QByteArray(c.broken));
    EXPECT_EQ(text, QString::fromLatin1(c.broken));
  }
}

// --- Software version ---

TEST_F(VersionChecksTest, SoftwareVersionContainedAnywherePasses) {
  struct Case {
    const char* phone;
    const char* expected;
    bool pass;
    const char* information;
  };
  const Case cases[] = {
      {"Plat:KS6580 Project:KESTREL_A1 BASE:KS_A1_V1.0.2 HW:P1", "1.0", true,
       "SW Ver:\r\nPlat:KS6580 \r\nProject:KESTREL_A1 \r\nBASE:KS_A1_V1.0.2 \r\nHW:P1"},
      {"release 1.0", "1.0", true, "SW Ver:\r\n\r\n\r\n\r\nrelease 1.0"},
      // Without "HW" the text gets a line break at its very start; a leading line feed
      // is dropped first.
      {"\nPlat:X BASE:Y1.0", "1.0", true, "SW Ver:\r\n\r\n\r\nPlat:X \r\nBASE:Y1.0"},
      {"Plat:KS6580 BASE:KS_A1_V2.0", "1.0", false, "SW Ver:\r\n\r\n\r\nPlat:KS6580 \r\nBASE:KS_A1_V2.0"},
      // Case counts.
      {"BASE:ks_a1", "KS_A1", false, "SW Ver:\r\n\r\n\r\n\r\nBASE:ks_a1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phone);
    NewCase();
    settings_.CheckVer = 1;
    settings_.Version = QString::fromLatin1(c.expected);
    settings_.OperationMode = 1;
    StartPhone({{"sw_version", QString::fromLatin1(c.phone)}});
    host_->SetApVersionText(QStringLiteral("AP:1\r\n"));
    EXPECT_EQ(VersionChecks(job_).CheckSoftwareVersion(), c.pass);
    // Appended to what the version information held.
    EXPECT_EQ(host_->ApVersionText(), QStringLiteral("AP:1\r\n") + QString::fromLatin1(c.information));
    if (c.pass) {
      EXPECT_TRUE(host_->Results().empty());
      EXPECT_TRUE(host_->Outcomes().empty());
    } else {
      ExpectReported(QStringLiteral("Version check failed. "), ResultState::Fail, true, {false});
    }
  }
}

TEST_F(VersionChecksTest, SoftwareVersionReadCallByModeAndFailure) {
  struct Case {
    int mode;
    int testMode;
    const char* call;
    bool fails;
  };
  const Case cases[] = {
      {0, 0, "KV_FastReadVersion", false}, {0, 1, "KV_GetMsVersion", false},
      {1, 0, "KV_GetMsVersion", false},    {1, 1, "KV_GetMsVersion", false},
      {0, 0, "KV_FastReadVersion", true},  {1, 0, "KV_GetMsVersion", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.mode << "/" << c.testMode << " " << c.call);
    NewCase();
    settings_.CheckVer = 1;
    settings_.Version = QStringLiteral("V1.0");
    settings_.OperationMode = c.mode;
    settings_.TESTMODE = c.testMode;
    QStringList faults;
    if (c.fails) faults << QStringLiteral("--fail") << QLatin1String(c.call) + QStringLiteral("=34");
    StartPhone({}, faults);
    EXPECT_EQ(VersionChecks(job_).CheckSoftwareVersion(), !c.fails);
    EXPECT_EQ(observer_->Names(), QStringList{QLatin1String(c.call)});
    EXPECT_EQ(Logged(QLatin1String(c.call)).size(), 1);
    if (c.fails) {
      ExpectReported(QStringLiteral("Read version from phone failed!"), ResultState::Fail, true,
                     {false});
      EXPECT_EQ(host_->ApVersionText(), QString());
    }
  }
}

// --- AP version ---

TEST_F(VersionChecksTest, ApVersionReadDirectlyAppendsTheReply) {
  settings_.APVersion = QStringLiteral("KS_AP_V2.1");
  StartPhone({{"ap_version", "Plat:KS6580 BASE:KS_AP_V2.1.0"}});
  host_->SetApVersionText(QStringLiteral("before\r\n"));
  EXPECT_EQ(VersionChecks(job_).CheckApVersion(), 2);
  EXPECT_EQ(host_->ApVersionText(), QStringLiteral("before\r\nPlat:KS6580 BASE:KS_AP_V2.1.0\r\n"));
  settings_.APVersion = QStringLiteral("KS_AP_V2.2");
  EXPECT_EQ(VersionChecks(job_).CheckApVersion(), 1);
  EXPECT_TRUE(host_->Results().empty());  // the answer alone; the step reports
}

TEST_F(VersionChecksTest, ApVersionStep) {
  const QString diagLog = QStringLiteral("KV_SendATCommand ") + kDiagKey;
  struct Case {
    const char* name;
    QJsonObject state;
    QStringList faults;
    const char* expected;
    bool pass;
    bool askedByAt;
    const char* information;
  };
  const QStringList directFails{QStringLiteral("--fail"), QStringLiteral("KV_GetAPVersion=34")};
  const Case cases[] = {
      {"read directly, matches", {}, {}, "KS_AP_V2.1.0", true, false,
       "Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0\r\n"},
      // A version read but different fails at once: no AT fallback.
      {"read directly, differs", {}, {}, "KS_AP_V9", false, false,
       "Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0\r\n"},
      // Not readable: the diagnostic command, its reply hex-decoded.
      {"by AT, decoded, matches", {}, directFails, "KS_AP_V2.1.0", true, true,
       "AP Ver:\r\n\r\nPlat:KS6580 \r\nProject:KESTREL_AP \r\nBASE:KS_AP_V2.1.0\r\n"},
      {"by AT, decoded, differs", {}, directFails, "KS_AP_V9", false, true,
       "AP Ver:\r\n\r\nPlat:KS6580 \r\nProject:KESTREL_AP \r\nBASE:KS_AP_V2.1.0\r\n"},
      // A quoted reply without "00000000" is compared as it stands, not decoded.
      {"by AT, undecoded, matches", {{"at_replies", QJsonObject{{kDiagKey, "+KVDIAG: \"41505F58\"\r\nOK"}}}},
       directFails, "41505F58", true, true, "AP Ver:\r\n\r\n\r\n\r\n41505F58\r\n"},
      {"by AT, undecoded, not decoded", {{"at_replies", QJsonObject{{kDiagKey, "+KVDIAG: \"41505F58\"\r\nOK"}}}},
       directFails, "AP_X", false, true, "AP Ver:\r\n\r\n\r\n\r\n41505F58\r\n"},
      {"by AT, no closing quote", {{"at_replies", QJsonObject{{kDiagKey, "+KVDIAG: \"BASE:AP_X"}}}},
       directFails, "AP_X", false, true, "AP Ver:\r\n\r\n\r\n\r\n\r\n"},
      // Neither readable: the version information stays as it was.
      {"by AT, no reply", {}, directFails + QStringList{"--fail", "KV_SendATCommand=34"}, "", false,
       true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewCase();
    settings_.CheckAPVersion = 1;
    settings_.APVersion = QString::fromLatin1(c.expected);
    StartPhone(c.state, c.faults);
    EXPECT_EQ(VersionChecks(job_).ApVersionStep(), c.pass);
    EXPECT_EQ(host_->ApVersionText(), QString::fromLatin1(c.information));
    EXPECT_EQ(Logged(QStringLiteral("KV_GetAPVersion")).size(), 1);
    EXPECT_EQ(Logged(QStringLiteral("KV_SendATCommand")),
              c.askedByAt ? QStringList{diagLog} : QStringList{});
    if (c.pass) {
      EXPECT_TRUE(host_->Results().empty());
    } else {
      // Shown with the identity lines, never counted.
      ExpectReported(QStringLiteral("Check AP Version Failed!"), ResultState::Fail, false, {});
    }
  }
  EXPECT_EQ(kDiagKey.size(), 28);
}

TEST_F(VersionChecksTest, ApVersionStepWaitsFirst) {
  settings_.CheckAPVersion = 1;
  settings_.APVersion = QStringLiteral("KS_AP");
  settings_.WaitForAPTime = 1;
  StartPhone();
  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(VersionChecks(job_).ApVersionStep());
  EXPECT_GE(clock.elapsed(), 1000);
  const std::vector<RecordingObserver::Step> steps = observer_->Steps();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].name, "WaitForAPTime");
  EXPECT_GE(steps[0].durationMs, 1000);
  EXPECT_EQ(steps[1].name, "KV_GetAPVersion");
}

// --- AT commands ---

TEST_F(VersionChecksTest, AtCommandsSentInOrderWithAPauseAfterEach) {
  struct Case {
    const char* name;
    int send;
    QStringList list;
    QStringList faults;
    bool pass;
    QStringList sent;
    int pauses;
    const char* message;
  };
  const QString longCommand = QStringLiteral("AT+") + QString(124, QLatin1Char('X'));  // 127
  const Case cases[] = {
      {"off", 0, {"AT+A"}, {}, true, {}, 0, nullptr},
      {"second fails, third unsent", 1, {"AT+A", "AT+B", "AT+C"},
       {"--fail-when", "KV_SendATCommand:AT+B=34"}, false, {"AT+A", "AT+B"}, 1,
       "Set Failed(AT+B)!"},
      {"first fails", 1, {"AT+A=1", "AT+B"}, {"--fail-when", "KV_SendATCommand:AT+A=1=34"},
       false, {"AT+A=1"}, 0, "Set Failed(AT+A=1)!"},
      // An empty text in the list is sent as an empty command.
      {"empty command", 1, {"AT+A", ""}, {}, true, {"AT+A", ""}, 2, nullptr},
      {"127 bytes", 1, {longCommand}, {}, true, {longCommand}, 1, nullptr},
      // One byte more would be cut to another command: refused unsent, counted.
      {"128 bytes", 1, {longCommand + QLatin1Char('Y'), "AT+B"}, {}, false, {}, 0, "Set Failed(%1)!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewCase();
    settings_.SendATCmd = c.send;
    settings_.WATCmdList = c.list;
    StartPhone({}, c.faults);
    EXPECT_EQ(VersionChecks(job_).SendAtCommands(), c.pass);
    QStringList sent;
    for (const QString& line : Logged(QStringLiteral("KV_SendATCommand")))
      sent << line.mid(QStringLiteral("KV_SendATCommand ").size());
    EXPECT_EQ(sent, c.sent);
    int pauses = 0;
    for (const RecordingObserver::Step& s : observer_->Steps()) {
      if (s.name == "ATCommandPause") {
        ++pauses;
        EXPECT_GE(s.durationMs, 1000);
      }
    }
    EXPECT_EQ(pauses, c.pauses);
    if (c.message == nullptr) {
      EXPECT_TRUE(host_->Results().empty());
      EXPECT_TRUE(host_->Outcomes().empty());
    } else {
      const QString text = QString::fromLatin1(c.message).replace(QStringLiteral("%1"), c.list[0]);
      ExpectReported(text, ResultState::Fail, true, {false});
    }
  }
}

// Three commands take their three pauses on the job's thread; the thread that runs the
// window's events keeps running them meanwhile.
TEST_F(VersionChecksTest, ThreeAtCommandsTakeThreeSecondsOffTheEventThread) {
  settings_.SendATCmd = 1;
  settings_.WATCmdList = {QStringLiteral("AT+A"), QStringLiteral("AT+B"), QStringLiteral("AT+C")};
  StartPhone();
  std::atomic<bool> done{false};
  bool passed = false;
  QElapsedTimer clock;
  clock.start();
  std::thread jobThread([&] {
    passed = VersionChecks(job_).SendAtCommands();
    done.store(true);
  });
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
  tick.start(50);
  while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  jobThread.join();
  const qint64 elapsed = clock.elapsed();
  EXPECT_TRUE(passed);
  EXPECT_GE(elapsed, 3000);
  EXPECT_EQ(Logged(QStringLiteral("KV_SendATCommand")).size(), 3);
  // Far fewer ticks than the 60 of a free thread would still show it was never held for
  // the length of a pause.
  EXPECT_GE(ticks, 10);
}

}  // namespace
}  // namespace kestrel::station::testing
