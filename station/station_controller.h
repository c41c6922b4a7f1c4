// StationController: the station window and the station's controller. It owns the settings
// record, the identities of the phone on the bench, the result display, the counters, the
// result store, the job events, the port monitor and the bench power source.
//
// The window's thread owns every widget. The display operations (ShowResult, ShowCounters,
// ShowPortState, ShowStatusLine, StartPortWatch, EnableInputs, FocusFirstEntry,
// ShowSecureBootFields, PushBoundStrings), SetResultText, RecordOutcome and ShowMessage may be
// called from a job thread: they hand their work to the window's thread by queued invocation
// (ShowMessage waits for the operator). The bound texts (identities, result text, counters'
// texts, AP version, UID, HASH) sit behind one lock, so either thread may read or set them.
//
// The files of this class, by concern:
//   station_layout.cpp      the window's controls, fonts and the WriteSN 0 layout
//   station_window.cpp      keys, Escape and close, About, Help, command wiring
//   station_controller.cpp  construction, initialisation, Setting and Mode, close steps
//   station_display.cpp     the display operations and the bound texts
//   entry_fields.cpp        the identity entry fields and the pre-job identity check
//   outcome.cpp             RecordOutcome
//   job_start.cpp           StartJob, Stop, the end of a job, the power-supply repeat run
//   port_list.cpp           the port selector, the port watch, the port monitor's reports
// The job threads are JobControl's (job_control.h), the sequences WriteSequence and
// ReadSequence; the controller wires them to the window through JobWindow.
#pragma once

#include "config/message_sink.h"
#include "config/station_settings.h"
#include "device/sync/manual_reset_event.h"
#include "identity/address_allocation.h"
#include "identity/identity_set.h"
#include "identity/outcome_reporter.h"
#include "identity/result_state.h"
#include "records/result_report.h"
#include "station/job_control.h"
#include "station/job_observer.h"
#include "station/station_entry.h"
#include "ui/thread_handoff.h"

#include <QDateTime>
#include <QDialog>
#include <QMetaObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;

namespace kestrel::ui {
class ColourLabel;
class CountdownBar;
}  // namespace kestrel::ui
namespace kestrel::device::ports {
class PortMonitor;
}
namespace kestrel::records {
class ResultStore;
}
namespace kestrel::device::ampvane {
class PowerSource;
class PowerSourceFactory;
}  // namespace kestrel::device::ampvane

namespace kestrel::station {

class JobAudit;
class LineJobSummaries;
class LineWorkWatch;
class OperatorAids;
using identity::ResultState;

// The eight identity entry fields, in the order of the completion chain.
enum class IdentityField : int { IMEI1 = 0, IMEI2, IMEI3, IMEI4, BT, WIFI, SN1, SN2 };
constexpr int kIdentityFieldCount = 8;

// Colours of the result label, the counters and the port indicator, as (red, green, blue).
namespace colours {
constexpr int kIdle[3] = {100, 150, 200};
constexpr int kBusy[3] = {255, 255, 0};
constexpr int kPass[3] = {0, 128, 0};
constexpr int kFail[3] = {255, 0, 0};
constexpr int kPortPresent[3] = {3, 253, 23};
constexpr int kPortAbsent[3] = {254, 168, 1};
}  // namespace colours

// The longest result text a Pass or Fail composition keeps.
constexpr int kMaxResultChars = 255;
// Port watch: timer 1, every 300 ms.
constexpr int kPortWatchPeriodMs = 300;

// The controls of the window (built by station_layout.cpp).
struct StationControls {
  QMenuBar* menuBar = nullptr;
  QAction* aboutAction = nullptr;
  QComboBox* portList = nullptr;
  QPushButton* mode = nullptr;
  QPushButton* setting = nullptr;
  QPushButton* read = nullptr;
  QPushButton* stop = nullptr;
  QPushButton* write = nullptr;
  QPushButton* help = nullptr;
  QFrame* frame = nullptr;
  ui::ColourLabel* result = nullptr;
  ui::CountdownBar* countdown = nullptr;  // under the result: a calibration-mode wait
  ui::ColourLabel* passCount = nullptr;
  ui::ColourLabel* failCount = nullptr;
  ui::ColourLabel* yield = nullptr;
  ui::ColourLabel* portIndicator = nullptr;
  QLabel* statusLine = nullptr;
  QPlainTextEdit* apVersion = nullptr;
  std::array<QLineEdit*, kIdentityFieldCount> identity{};
  std::array<QLabel*, kIdentityFieldCount> identityLabels{};  // SN1, SN2 carry 1028, 1029
  std::array<QLineEdit*, 2> uid{};
  std::array<QLineEdit*, 5> hash{};
  QLabel* uidLabel = nullptr;
  QLabel* hashLabel = nullptr;
  std::array<QLineEdit*, 24> cuRef{};
  QLabel* cuRefLabel = nullptr;
};

// The texts bound to controls ("bound strings").
struct BoundTexts {
  identity::IdentitySet identities;
  QString resultText;
  QString passText;
  QString failText;
  QString yieldText;
  QString apVersion;
  std::array<QString, 2> uid;
  std::array<QString, 5> hash;
  std::array<QString, kCuRefLength> cuRef;
};

class StationController : public QDialog, public JobWindow {
  Q_OBJECT

 public:
  explicit StationController(StationStartup startup, QWidget* parent = nullptr);
  ~StationController() override;

  // The initialisation steps of the window, run once before it is shown.
  void Initialise();

  // The control with the given id (its "controlId" property), or null.
  QWidget* Control(int id) const;
  const StationControls& Controls() const { return controls_; }

  // --- Reporting (any thread) ---
  void SetResultText(const QString& text) override;
  QString ResultText() const override;
  void ShowResult(ResultState state) override;
  void ShowPlainResult(ResultState colour) override;
  void ShowFailResult() override { ShowResult(ResultState::Fail); }
  void RecordOutcome(bool passed) override;
  // A message box; from another thread the caller waits until the operator closed it.
  void ShowMessage(const QString& text) override;

  // --- Display operations (any thread) ---
  void ShowCounters();
  void ShowPortState(bool present) override;
  void ShowStatusLine(int mode, bool present);
  // The status line again, with the mode and port state as they stand.
  void RefreshStatusLine() { ShowStatusLine(settings_.OperationMode, portPresent_.load()); }
  void StartPortWatch(bool on) override;
  void EnableInputs(bool on);
  void FocusFirstEntry() override;
  void ShowSecureBootFields(bool on);
  void EnableStop(bool on) override;
  void EnablePortList(bool on) override;
  // Puts every bound text into its control.
  void PushBoundStrings() override;
  // The bound texts a job reads and sets (any thread).
  QString ApVersionText() const override;
  void SetApVersionText(const QString& text) override;
  std::array<QString, kCuRefLength> CuRefTexts() const override;
  void SetCuRefTexts(const std::array<QString, kCuRefLength>& texts) override;
  std::array<QString, kSecureBootItems> SecureBootTexts() const override;
  void SetSecureBootTexts(const std::array<QString, kSecureBootItems>& texts) override;
  // Takes the texts of the eight identity fields into the identities (window thread).
  void TakeFieldTexts();

  // --- Identity entry fields (window thread) ---
  void PrepareNextIdentities();
  void ClearEnteredIdentities();
  void OnIdentityFieldChanged(IdentityField field);
  // Every key-down of the window passes here first. Returns true when it ran the Write or
  // the Read command.
  bool OnKeyDown(int virtualKey);
  bool CheckIdentitiesBeforeJob();
  // The reuse check of IMEI number `index` (1-4) against the result store; a refusal leaves
  // message 133 or 134 in the result text.
  bool CheckImeiReuse(int index, const QString& imei);

  // --- Commands (window thread) ---
  void OnWriteCommand();
  void OnReadCommand();
  void OnStopCommand();
  void OnSettingCommand();
  void OnModeCommand();
  void OnHelpCommand();
  void OnAboutCommand();
  // The Save branch of the Setting command.
  void ApplyAcceptedSettings();
  // Job start (Write, Read, scanner keys) and a job's end: job_start.cpp.
  void StartJob();
  // WM_JOB_FINISHED of job number `job`.
  Q_INVOKABLE void OnJobFinished(quint64 job);
  // Observers of every job (the audit record, benchmarks); not owned, must outlive the window.
  void AddJobObserver(JobObserver* observer);
  // The station's own audit observer (null until Initialise found a station folder).
  JobAudit* Audit() const { return audit_.get(); }
  // The sounds, the wait's countdown, the step line and the label (null until Initialise found
  // a station folder).
  OperatorAids* Aids() const { return aids_.get(); }
  // A pass whose DefaultIMEI could not be written: write jobs are refused until it is.
  bool ImeiBaseUnsaved() const { return !imeiBaseError_.isEmpty(); }

  // --- Port list and port watch (window thread): port_list.cpp ---
  bool RefreshPortList();
  Q_INVOKABLE void OnPortChanged(int messageId, int port, int arrived);
  void OnPortWatchTimer();
  void OnPortSelected(int index);

  // --- State ---
  const config::StationSettings& Settings() const { return settings_; }
  config::StationSettings& MutableSettings() { return settings_; }
  identity::IdentitySet Identities() const override;
  void SetIdentities(const identity::IdentitySet& identities) override;
  BoundTexts Bound() const;
  bool ReadyToWrite() const { return readyToWrite_.load(); }
  bool ReadJob() const { return readJob_.load(); }
  bool JobRunning() const { return jobs_.Running(); }
  // A job was started and its end has not been handled yet (window thread).
  bool JobActive() const { return jobs_.Active(); }
  bool PortWatchRunning() const override { return portWatchRunning_.load(); }
  // The power-supply repeat run waits for its next job.
  bool RepeatPending() const { return repeatTimer_.isActive(); }
  std::uint32_t PassCount() const { return passCount_.load(); }
  std::uint32_t FailCount() const { return failCount_.load(); }
  int PowerRepeatCount() const { return powerRepeatCount_.load(); }
  std::uint64_t ImeiBase() const { return imeiBase_; }
  records::ResultStore* ResultStore() const { return resultStore_.get(); }
  const identity::AddressFileState& AddressState() const { return addressState_; }
  device::ampvane::PowerSource* PowerSource() const { return powerSource_; }
  const QString& SettingsPath() const { return settingsPath_; }
  const QString& ImeiTxtPath() const { return imeiTxtPath_; }
  const QString& ImeiMdbPath() const { return imeiMdbPath_; }
  // The help page: the executable's path with its extension replaced (or added) by ".html".
  static QString HelpPagePath(const QString& executablePath);
  // The message shown when the settings file could not be written (the file and the reason).
  // `closing`: at close, else after a pass (write jobs are then refused until it is written).
  static QString SettingsWriteFailure(const QString& path, const QString& error,
                                      bool closing = true);

  // --- Hooks for the dialogs of their own modules, and for tests ---
  // Runs the Settings dialog on the record; true when the operator saved.
  using SettingsDialogRunner = std::function<bool(config::StationSettings&)>;
  void SetSettingsDialogRunner(SettingsDialogRunner runner) { runSettings_ = std::move(runner); }
  // Runs the Mode selection dialog on the record; true when the operator selected.
  using ModeDialogRunner = std::function<bool(config::StationSettings&)>;
  void SetModeDialogRunner(ModeDialogRunner runner) { runMode_ = std::move(runner); }
  // Shows a message box text (window thread). Default: QMessageBox.
  using MessagePresenter = std::function<void(const QString&)>;
  void SetMessagePresenter(MessagePresenter presenter) { presentMessage_ = std::move(presenter); }
  // Opens the help page. Default: the desktop's browser.
  using HelpOpener = std::function<bool(const QString& path)>;
  void SetHelpOpener(HelpOpener opener) { openHelp_ = std::move(opener); }
  // The executable whose path names the help page (default: the running executable).
  void SetExecutablePathForHelp(const QString& path) { helpExecutable_ = path; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 public slots:
  void accept() override;  // the OK action (Enter) does nothing
  void reject() override;  // Escape: ends the window without the close steps

 private:
  // station_layout.cpp
  void BuildControls();
  void ApplyFonts();
  void CollapseSerialNumberRows();
  void RunLayoutNow();
  // station_window.cpp
  void ConnectCommands();
  // JobWindow (job_start.cpp)
  void SetPortFromJob(int port) override;
  void PostJobFinished(std::uint64_t job) override;
  // job_start.cpp
  JobContext MakeJobContext();
  void RunJobSequence(const JobContext& context, bool readJob);
  void RefuseJob();
  // Tells the observers the job has ended; `identities` are the phone's, taken before the
  // next phone's identities are prepared.
  void EndJob(JobOutcome outcome, const identity::IdentitySet& identities);
  bool RetryImeiBaseWrite();
  void OnRepeatTimer();
  // Takes the texts of the CU reference and secure-boot fields into the bound texts.
  void TakeJobFieldTexts();
  // line_station.cpp: the line database's part in preparing and starting a write job.
  void TakeLineIdentities();
  bool ReserveLineIdentities();
  // station_display.cpp
  // Runs `work` now on the window's thread, or queues it there from another thread (through
  // handoff_, so that the thread sanitizer sees the order).
  template <typename F>
  void OnWindowThread(F&& work) {
    if (QThread::currentThread() == thread()) {
      work();
    } else {
      handoff_->Post(std::forward<F>(work));
    }
  }
  void ApplyBoundTexts(const BoundTexts& texts);
  QLineEdit* Edit(IdentityField field) const;
  // entry_fields.cpp
  bool NeedsInput(IdentityField field) const;
  // Whether the operator types `field` (its edit is enabled between jobs).
  bool OperatorTypes(IdentityField field) const;
  // After the window put texts into the fields (`shown`): clears ReadyToWrite as a typed change
  // would, when a field the operator types was altered or is left incomplete.
  void VoidEntryAfterPush(const identity::IdentitySet& shown, bool typedChanged);
  void RunCompletionChain(IdentityField changed);
  void FocusField(QWidget* widget);
  // station_controller.cpp
  void CloseSteps();
  // Starts the audit record of the jobs; a record that cannot be written is shown once in
  // the status line.
  void StartJobAudit();
  void ReleaseDevices();

  StationStartup startup_;
  ui::ThreadHandoff* handoff_ = nullptr;  // a child: work queued to the window's thread
  StationControls controls_;
  config::StationSettings settings_;
  identity::AddressFileState addressState_;
  QString settingsPath_;
  QString imeiTxtPath_;
  QString imeiMdbPath_;
  bool initialised_ = false;  // paths formed and settings loaded
  bool closed_ = false;       // close steps done

  mutable std::mutex boundLock_;
  BoundTexts bound_;  // guarded by boundLock_
  int pushing_ = 0;   // window thread: change notifications are locked out while > 0

  // The audit record of every job (Log/jobs-YYYY-MM-DD.jsonl); made with the station folder.
  // Declared before the job control so that it outlives every job thread.
  std::unique_ptr<JobAudit> audit_;
  std::unique_ptr<OperatorAids> aids_;
  // Job state. The job threads are JobControl's; the flags here are the window's.
  JobControl jobs_{*this, *startup_.phoneApi};
  std::atomic<bool> readJob_{false};
  std::atomic<bool> readyToWrite_{false};
  QTimer repeatTimer_;  // the 2000 ms pause of the power-supply repeat run
  // The job being run, for its observers (window thread).
  struct JobRecordState {
    bool open = false;
    JobKind kind = JobKind::Write;
    QDateTime startedAt;
    std::int64_t startMs = 0;
    std::int64_t startUs = 0;
    std::uint32_t passBefore = 0;
    std::uint32_t failBefore = 0;
  } jobRecord_;
  JobObserverList observers_;
  std::atomic<int> lastShownState_{0};
  // Why the last pass's DefaultIMEI is not on disk (empty when it is); window thread.
  QString imeiBaseError_;
  // Set when the window goes: a message wait of the job thread ends.
  device::ManualResetEvent closing_;

  // Port watch.
  QTimer portWatchTimer_;
  std::atomic<bool> portWatchRunning_{false};
  std::atomic<bool> portPresent_{false};
  bool portListFilled_ = false;
  bool statusRefresh_ = false;
  std::unique_ptr<device::ports::PortMonitor> portMonitor_;

  // Counters.
  std::atomic<std::uint32_t> passCount_{0};
  std::atomic<std::uint32_t> failCount_{0};
  std::atomic<int> powerRepeatCount_{0};

  // IMEI base counter (window thread between jobs, the job thread during one).
  std::uint64_t imeiBase_ = 0;

  std::unique_ptr<records::ResultStore> resultStore_;
  // The line's state in the status line, and each write job trying a silent line again; goes
  // before the result store.
  std::unique_ptr<LineWorkWatch> lineWatch_;
  // Every job's summary to the line, after its record (goes before the result store).
  std::unique_ptr<LineJobSummaries> lineJobs_;
  // Why the last preparation got no values from the line database (empty: it did, or no line
  // database is in use). Window thread.
  QString lineError_;

  // Bench power source.
  device::ampvane::PowerSourceFactory* powerFactory_ = nullptr;
  device::ampvane::PowerSource* powerSource_ = nullptr;

  SettingsDialogRunner runSettings_;
  ModeDialogRunner runMode_;
  MessagePresenter presentMessage_;
  HelpOpener openHelp_;
  QString helpExecutable_;
};

}  // namespace kestrel::station
