// The IMEI label as the station prints it, against a throwaway CUPS with cups-pdf queues: a
// passed phone's label comes out as a PDF of the template's size whose bar codes decode to the
// phone's IMEIs, Reprint prints it again, and a stopped or missing queue is shown in the status
// line while the phone still passes and the next job runs.
#include "identity/imei.h"
#include "station/label_printing.h"
#include "station/operator_aids.h"
#include "tests/label/label_decode.h"
#include "tests/station/job_fixture.h"
#include "tests/support/cups_server.h"

#include <QAction>
#include <QLabel>

namespace kestrel::station::testing {
namespace {

using kestrel::testing::CupsServer;
using label::testing::PdfPageSizeMm;
using label::testing::ReadCode128;
using label::testing::RenderPdfPage;

constexpr char kPdfQueue[] = "kestrel-pdf";
constexpr char kStoppedQueue[] = "kestrel-stopped";

// Normal mode on COM3, IMEI1 from the base and IMEI2 the next, labels to `printer`.
QByteArray Station(const QByteArray& printer) {
  return "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=1\nIMEI2GenMode=2\n"
         "AutoCreateIMEI=1\nDefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\n"
         "CurrentStationName=LINE3-W2\n[Control]\nUser Privilege=1\nTavixNew=1\n"
         "[LABEL]\nPrint=1\nPrinter=" +
         printer + "\n";
}

class LabelPrintTest : public JobTest {
 protected:
  static void SetUpTestSuite() {
    cups_ = new CupsServer;
    if (!cups_->Start(&why_) || !cups_->AddPdfQueue(QLatin1String(kPdfQueue), &why_, true) ||
        !cups_->AddPdfQueue(QLatin1String(kStoppedQueue), &why_) ||
        !cups_->StopQueue(QLatin1String(kStoppedQueue))) {
      delete cups_;
      cups_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete cups_;  // stops cupsd
    cups_ = nullptr;
  }
  void SetUp() override {
    if (cups_ == nullptr) GTEST_SKIP() << "no CUPS to print to: " << why_.toStdString();
    JobTest::SetUp();
    qputenv("CUPS_SERVER", cups_->Address().toLatin1());
  }
  void TearDown() override {
    JobTest::TearDown();
    qunsetenv("CUPS_SERVER");
  }

  LabelPrinting& Labels() { return *W().Aids()->Labels(); }
  QString StatusText() { return qobject_cast<QLabel*>(W().Control(ids::kStatusLine))->text(); }
  void WaitPrinted(std::uint64_t count) {
    Labels().WaitIdle();
    ASSERT_EQ(Labels().printed() + Labels().failed(), count);
    QTest::qWait(50);  // the status text is queued to the window
    QApplication::processEvents();
  }
  QStringList Written() const {
    const QJsonObject state = sim_->State();
    return {state.value(QStringLiteral("imei1")).toString(),
            state.value(QStringLiteral("imei2")).toString()};
  }

  static CupsServer* cups_;
  static QString why_;
};

CupsServer* LabelPrintTest::cups_ = nullptr;
QString LabelPrintTest::why_;

TEST_F(LabelPrintTest, APassedPhoneGetsItsLabelAndReprintPrintsItAgain) {
  ASSERT_TRUE(StartPhone());
  Open(Station(kPdfQueue));
  ASSERT_NE(W().Aids()->Labels(), nullptr) << messages_.join('|').toStdString();
  RunJob();
  QElapsedTimer sincePass;
  sincePass.start();
  EXPECT_EQ(W().PassCount(), 1U);
  const QString pdf = cups_->TakePdf(20000);
  ASSERT_FALSE(pdf.isEmpty()) << cups_->ErrorLog().right(3000).toStdString();
  RecordProperty("pass_to_pdf_ms", static_cast<int>(sincePass.elapsed()));
  std::printf("the label reached the cups-pdf folder %lld ms after the pass\n",
              static_cast<long long>(sincePass.elapsed()));
  WaitPrinted(1);
  EXPECT_EQ(StatusText(), QStringLiteral("Label printed on kestrel-pdf"));

  QStringList imeis = Written();
  EXPECT_EQ(imeis[0], identity::FullImei(35123456000001ULL));
  EXPECT_EQ(imeis[1].size(), 15);
  std::sort(imeis.begin(), imeis.end());
  const QSizeF page = PdfPageSizeMm(pdf);
  // cups-pdf gives the page whole points: within half a millimetre of the template's size.
  EXPECT_NEAR(page.width(), 50, 0.5) << pdf.toStdString();
  EXPECT_NEAR(page.height(), 30, 0.5);
  EXPECT_EQ(ReadCode128(RenderPdfPage(pdf)), imeis);

  // Reprint: the same label once more (the next phone's identities are already prepared).
  ASSERT_NE(W().Aids()->ReprintAction(), nullptr);
  W().Aids()->ReprintAction()->trigger();
  const QString again = cups_->TakePdf(20000);
  ASSERT_FALSE(again.isEmpty());
  WaitPrinted(2);
  EXPECT_EQ(ReadCode128(RenderPdfPage(again)), imeis);
}

TEST_F(LabelPrintTest, AStoppedOrMissingQueueIsShownAndThePhonesStillPass) {
  const struct {
    const char* printer;
    const char* status;
  } cases[] = {
      {kStoppedQueue, "Label not printed: printer kestrel-stopped is stopped"},
      {"no-such-queue", "Label not printed: no printer no-such-queue"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printer);
    window_.reset();
    sim_.reset();
    ASSERT_TRUE(StartPhone());
    Open(Station(c.printer));
    RunJob();
    EXPECT_EQ(W().PassCount(), 1U);
    WaitPrinted(1);
    EXPECT_EQ(Labels().failed(), 1U);
    EXPECT_EQ(StatusText(), QLatin1String(c.status));
    // The next phone is not held up, and passes too.
    RunJob();
    EXPECT_EQ(W().PassCount(), 2U);
    WaitPrinted(2);
    EXPECT_TRUE(cups_->TakePdf(300).isEmpty());
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join('|').toStdString();
  }
}

}  // namespace
}  // namespace kestrel::station::testing
