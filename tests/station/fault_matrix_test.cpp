// The fault matrix: every fault the phone simulator can show, against a write job and a read
// job, in normal and in calibration mode. Each cell must end within its bound (Timeout plus a
// margin) with its message, count the phone as it should, record nothing for a phone that did
// not pass (and, for a pass, exactly the IMEI the phone now holds) and leave the window ready.
// The matrix is printed as a table.
#include "tests/station/job_fixture.h"
#include "tests/support/test_support.h"

#include "config/ini_file.h"
#include "identity/imei.h"
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QDir>
#include <QJsonObject>

#include <cstdio>
#include <functional>
#include <vector>

namespace kestrel::station::testing {
namespace {

using resources::FormatString;
using resources::LoadString;

constexpr int kTimeoutMs = 4000;
// Beyond Timeout: the probe's retries (a normal-mode job has no overall time-out, and an
// unanswered probe costs its reply time-outs, which the test's time scale stretches).
int MarginMs() { return kestrel::testing::ReplyTimeoutMs(3000); }

enum class Count { kPass, kFail, kNone, kEither };

// What one cell must end with.
struct Expect {
  Count count = Count::kPass;
  std::function<QString(const StationController&)> message;  // null: any but the waiting ones
  int records = 0;  // IMEI.txt lines; -1: one when passed, else none
};

using Message = std::function<QString(const StationController&)>;
Message Msg(int id) {
  return [id](const StationController&) { return LoadString(id); };
}
Message Msg(int id, int code) {
  return [id, code](const StationController&) { return FormatString(id, {std::int64_t{code}}); };
}
// "Open port %d failed": the port the station held when it tried (with no port present at
// start the port selector has moved Port to the first listed one, 0 for none).
Message OpenPortFailed() {
  return [](const StationController& w) {
    return FormatString(107, {std::int64_t{w.Settings().Port}});
  };
}
Expect Passed() {
  return {Count::kPass, Msg(105), 1};
}
Expect Failed(Message m = {}) {
  return {Count::kFail, std::move(m), 0};
}
Expect ReadShown() {
  return {Count::kNone, Msg(120), 0};
}
Expect ReadNotCounted(Message m) {
  return {Count::kNone, std::move(m), 0};
}
Expect Either() {
  return {Count::kEither, {}, -1};
}

struct FaultRow {
  const char* name;
  QStringList simArgs;
  QByteArray settings;  // what the row needs switched on, for every cell
  // Cells: write normal, write calibration, read normal, read calibration.
  Expect cells[4];
  bool waitReady = true;  // false: the phone comes later (or never)
};

QStringList Fail(const char* call) {
  return {QStringLiteral("--fail"), QLatin1String(call) + QStringLiteral("=34")};
}

const QByteArray kSerials = "WriteSN=1\nSN1=1\nAutoCreateSN1=1\nSN Length=10\n";

std::vector<FaultRow> Rows() {
  return {
      {"no fault", {}, {}, {Passed(), Passed(), ReadShown(), ReadShown()}},
      {"no answer",
       {QStringLiteral("--no-answer")},
       {},
       {Failed(Msg(111)), Failed(Msg(103)), Failed(Msg(111)), Failed(Msg(103))}},
      {"KV_GetMsVersion fails",
       Fail("KV_GetMsVersion"),
       {},
       {Failed(Msg(111)), Passed(), Failed(Msg(111)), ReadShown()}},
      {"KV_EnterModeProcess fails",
       Fail("KV_EnterModeProcess"),
       {},
       {Passed(), Failed(), ReadShown(), Failed()}},
      {"KV_FastWriteNvInfo fails",
       Fail("KV_FastWriteNvInfo"),
       {},
       {Failed(Msg(106, 34)), Failed(Msg(106, 34)), ReadShown(), ReadShown()}},
      {"KV_FastReadNvInfo fails",
       Fail("KV_FastReadNvInfo"),
       {},
       {Failed(Msg(119)), Failed(Msg(119)), ReadNotCounted(Msg(119)), ReadNotCounted(Msg(119))}},
      {"KV_WriteSN fails",
       Fail("KV_WriteSN"),
       kSerials,
       {Failed(Msg(157, 34)), Failed(Msg(157, 34)), ReadShown(), ReadShown()}},
      {"KV_ReadSN fails",
       Fail("KV_ReadSN"),
       kSerials,
       {Passed(), Passed(), Failed(Msg(157, 34)), Failed(Msg(157, 34))}},
      {"ReadStationRecord fails",
       Fail("ReadStationRecord"),
       "Stagemark=1\n",
       {Failed(), Failed(), ReadShown(), ReadShown()}},
      {"WriteStationRecord fails",
       Fail("WriteStationRecord"),
       "Stagemark=1\n",
       {Failed(), Failed(), ReadShown(), ReadShown()}},
      // The identities are on the phone: it stays recorded, shown and counted as failed.
      {"KV_SetUsbAutoMode fails",
       Fail("KV_SetUsbAutoMode"),
       "Disable AutoUSB=1\n",
       {{Count::kFail, Msg(179, 34), 1}, Passed(), ReadShown(), ReadShown()}},
      // A passed phone whose power-off fails is counted once, as failed; its line stays.
      {"KV_PowerOff fails",
       Fail("KV_PowerOff"),
       "Power Off=1\n",
       {{Count::kFail, Msg(184), 1},
        {Count::kFail, Msg(184), 1},
        ReadShown(),
        ReadShown()}},
      {"protected IMEI",
       {QStringLiteral("--protected")},
       {},
       {Failed(Msg(144)), Failed(Msg(144)), ReadShown(), ReadShown()}},
      {"slow replies (80 ms)",
       {QStringLiteral("--delay-ms"), QStringLiteral("80")},
       {},
       {Passed(), Passed(), ReadShown(), ReadShown()}},
      {"corrupted bytes 0.2%",
       {QStringLiteral("--corrupt-rate"), QStringLiteral("0.002"), QStringLiteral("--seed"),
        QStringLiteral("7")},
       {},
       {Either(), Either(), Either(), Either()}},
      {"corrupted bytes 2%",
       {QStringLiteral("--corrupt-rate"), QStringLiteral("0.02"), QStringLiteral("--seed"),
        QStringLiteral("7")},
       {},
       {Either(), Either(), Either(), Either()}},
      {"corrupted bytes 20%",
       {QStringLiteral("--corrupt-rate"), QStringLiteral("0.2"), QStringLiteral("--seed"),
        QStringLiteral("7")},
       {},
       {Either(), Either(), Either(), Either()}},
      {"line dropped mid-reply",
       {QStringLiteral("--drop-after-bytes"), QStringLiteral("90")},
       {},
       {Failed(), Failed(), Either(), Either()}},
      {"phone appears after 1.5 s",
       {QStringLiteral("--appear-after-ms"), QStringLiteral("1500")},
       {},
       {Failed(OpenPortFailed()), Passed(), Failed(OpenPortFailed()), ReadShown()},
       false},
      {"phone never appears",
       {QStringLiteral("--appear-after-ms"), QStringLiteral("3600000")},
       {},
       {Failed(OpenPortFailed()), Failed(Msg(103)), Failed(OpenPortFailed()), Failed(Msg(103))},
       false},
  };
}

const char* const kColumns[4] = {"write normal", "write calibration", "read normal",
                                 "read calibration"};

QByteArray Station(bool calibration, const QByteArray& extra) {
  return "[General]\n" + extra + "Operation Mode=" + (calibration ? "0" : "1") +
         "\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35123456000001\n"
         "SaveIMEI=1\nSaveToTxt=1\nReadBack=1\nEntrerModeWait=0\nTimeout=" +
         QByteArray::number(kTimeoutMs) +
         "\n[Control]\nUser Privilege=1\nTavixNew=1\nDUTPort=3\nRebootDUT=0\n";
}

class FaultMatrixTest : public JobTest {
 protected:
  // Back to an empty station folder between cells.
  void Clear() {
    window_.reset();
    sim_.reset();
    QApplication::processEvents();
    for (const char* name : {"IMEI.txt", "phone.json", "phone.log", "Kestrel.ini"})
      QFile::remove(dir_.File(QLatin1String(name)));
    QDir(dir_.File(QStringLiteral("Log"))).removeRecursively();
  }

  // Runs one cell; returns its line for the table, and adds a failure when it went wrong.
  QString RunCell(const FaultRow& row, int column) {
    const bool read = column >= 2;
    const bool calibration = column % 2 == 1;
    const Expect& e = row.cells[column];
    SCOPED_TRACE(std::string(row.name) + " / " + kColumns[column]);
    Clear();
    if (!StartPhone(row.simArgs, row.waitReady)) {
      ADD_FAILURE() << "the simulator did not start";
      return QStringLiteral("no phone");
    }
    Open(Station(calibration, row.settings));
    QElapsedTimer t;
    t.start();
    Click(read ? ids::kRead : ids::kWrite);
    const bool ended = WaitIdle(kTimeoutMs + MarginMs());
    const qint64 ms = t.elapsed();
    bool ok = ended;
    EXPECT_TRUE(ended) << "still running after " << ms << " ms";

    const QString message = Message();
    const std::uint32_t passes = W().PassCount();
    const std::uint32_t fails = W().FailCount();
    const QStringList lines = ImeiTxtLines();
    if (e.message) {
      ok &= message == e.message(W());
      EXPECT_EQ(message, e.message(W()));
    } else {
      const bool real = !message.isEmpty() && message != LoadString(104) &&
                        message != LoadString(110) &&
                        !message.startsWith(FormatString(108, {std::int64_t{kTimeoutMs / 1000}}));
      ok &= real;
      EXPECT_TRUE(real) << message.toStdString();
    }
    bool countsRight = false;
    switch (e.count) {
      case Count::kPass:
        countsRight = passes == 1 && fails == 0;
        break;
      case Count::kFail:
        countsRight = passes == 0 && fails == 1;
        break;
      case Count::kNone:
        countsRight = passes == 0 && fails == 0;
        break;
      case Count::kEither:
        countsRight = passes + fails <= 1;
        break;
    }
    ok &= countsRight;
    EXPECT_TRUE(countsRight) << "pass " << passes << ", fail " << fails;
    const int records = e.records >= 0 ? e.records : (read ? 0 : static_cast<int>(passes));
    ok &= lines.size() == records;
    EXPECT_EQ(lines.size(), records) << lines.join(QLatin1Char('|')).toStdString();
    if (!read && passes == 1 && lines.size() == 1) {
      // A pass is genuine: the phone holds the recorded IMEI.
      const QString imei = identity::FullImei(35123456000001ULL);
      const bool genuine = lines[0].contains(imei) &&
                           sim_->State().value(QStringLiteral("imei1")).toString() == imei;
      ok &= genuine;
      EXPECT_TRUE(genuine) << lines[0].toStdString();
    }
    if (passes == 0 && !read) {
      const bool kept = config::IniFile(dir_.File(QStringLiteral("Kestrel.ini")))
                            .ReadString(QStringLiteral("General"), QStringLiteral("DefaultIMEI"),
                                        QString()) == QStringLiteral("35123456000001");
      ok &= kept || e.records == 1;
      if (e.records != 1) {
        EXPECT_TRUE(kept) << "DefaultIMEI moved for a phone that did not pass";
      }
    }
    const bool readyAgain = ButtonOf(read ? ids::kRead : ids::kWrite)->isEnabled();
    ok &= readyAgain;
    EXPECT_TRUE(readyAgain);
    const QString verdict = passes && fails ? QStringLiteral("P+F")
                            : passes        ? QStringLiteral("PASS")
                            : fails         ? QStringLiteral("FAIL")
                                            : QStringLiteral("-");
    return QStringLiteral("%1 %2 %3s %4")
        .arg(ok ? QStringLiteral("ok ") : QStringLiteral("BAD"), verdict)
        .arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1)
        .arg(message.left(14));
  }
};

TEST_F(FaultMatrixTest, EveryFaultInEveryJobAndModeEndsBoundedWithItsMessageAndCounts) {
  const std::vector<FaultRow> rows = Rows();
  std::vector<std::array<QString, 4>> table;
  for (const FaultRow& row : rows) {
    std::array<QString, 4> line;
    for (int column = 0; column < 4; ++column) line[column] = RunCell(row, column);
    table.push_back(line);
  }
  Clear();

  // The table: fault, then each cell's check, verdict, time and message.
  auto cell = [](const QString& s, int width) {
    return s.leftJustified(width, QLatin1Char(' '), true);
  };
  QString out = cell(QStringLiteral("fault"), 28);
  for (const char* c : kColumns) out += QStringLiteral(" | ") + cell(QLatin1String(c), 30);
  out += QLatin1Char('\n');
  int good = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    out += cell(QLatin1String(rows[r].name), 28);
    for (const QString& c : table[r]) {
      out += QStringLiteral(" | ") + cell(c, 30);
      if (c.startsWith(QStringLiteral("ok"))) ++good;
    }
    out += QLatin1Char('\n');
  }
  out += QStringLiteral("%1 of %2 cells passed\n").arg(good).arg(rows.size() * 4);
  std::fputs(out.toUtf8().constData(), stdout);
  std::fflush(stdout);
}

}  // namespace
}  // namespace kestrel::station::testing
