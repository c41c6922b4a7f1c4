// The controller's life: construction (the power-source factory), the initialisation steps of
// the window, the Setting and Mode commands with the Save branch of Setting, and the close.
#include "station/station_controller.h"

#include "config/settings_load.h"
#include "device/ampvane/ampvane.h"
#include "device/ports/port_map.h"
#include "device/ports/port_monitor.h"
#include "device/stagemark/stagemark.h"
#include "identity/address_allocation.h"
#include "identity/imei.h"
#include "log/trace_log.h"
#include "records/result_store.h"
#include "resources/images/artwork.h"
#include "resources/string_table.h"
#include "station/control_ids.h"
#include "station/job_audit.h"
#include "station/line_job_summaries.h"
#include "station/line_work_watch.h"
#include "station/operator_aids.h"
#include "ui/colour_label.h"
#include "ui/mode_dialog.h"
#include "ui/settings_dialog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>

namespace kestrel::station {

StationController::StationController(StationStartup startup, QWidget* parent)
    : QDialog(parent),
      startup_(std::move(startup)),
      portMonitor_(std::make_unique<device::ports::PortMonitor>()) {
  handoff_ = new ui::ThreadHandoff(this);
  // The bench power source's factory lives as long as the window; without it no source is
  // ever found.
  if (CreateAmpvaneFactory(&powerFactory_) != 0) powerFactory_ = nullptr;
  repeatTimer_.setSingleShot(true);
  connect(&repeatTimer_, &QTimer::timeout, this, [this] { OnRepeatTimer(); });
  BuildControls();
  ConnectCommands();
  qApp->installEventFilter(this);
  // The Setting and Mode commands run their dialogs modally over the window on the record
  // itself; a refused Save reports like the window does.
  runSettings_ = [this](config::StationSettings& s) {
    ui::SettingsDialog dialog(&s, this);
    if (presentMessage_) dialog.SetMessagePresenter(presentMessage_);
    return dialog.exec() == QDialog::Accepted;
  };
  runMode_ = [this](config::StationSettings& s) {
    ui::ModeSelectionDialog dialog(&s.OperationMode, &s.DisableAutoUSB, &s.RebootDUT, &s.SendATCmd,
                                   this);
    if (presentMessage_) dialog.SetMessagePresenter(presentMessage_);
    return dialog.exec() == QDialog::Accepted;
  };
}

StationController::~StationController() {
  // A job thread still running uses this object: end it first (its message waits end too).
  closing_.Set();
  jobs_.Abort();
  audit_.reset();  // the last records are written (and handed on) while the window is whole
  aids_.reset();   // and the last labels printed
  qApp->removeEventFilter(this);
  portWatchTimer_.stop();
  repeatTimer_.stop();
  // Escape ends the window without the close steps; what runs on its own or holds a device
  // must still stop before the controller goes (the settings are not saved on that path).
  if (!closed_) {
    portMonitor_->Stop();
    ReleaseDevices();
  }
}

void StationController::Initialise() {
  // 2. The About item and the icon.
  const QString about = resources::LoadString(101);
  if (!about.isEmpty()) {
    controls_.aboutAction = controls_.menuBar->addAction(about);
    controls_.aboutAction->setProperty("controlId", ids::kAboutCommand);
    connect(controls_.aboutAction, &QAction::triggered, this, [this] { OnAboutCommand(); });
  }
  setWindowIcon(resources::ApplicationIcon());

  // 3. The job events (JobControl's) start cleared.

  // 4. Title, with the station folder in use (the folder rule has several steps).
  QString title = resources::LoadString(102) + QStringLiteral(" R") + startup_.productVersion;
  if (!startup_.stationFolder.isEmpty()) {
    title += QStringLiteral(" \u2014 ") + QDir::toNativeSeparators(startup_.stationFolder);
  }
  setWindowTitle(title);

  // The station record reaches the phone through the station's phone library.
  device::stagemark::UsePhoneLibrary(startup_.phoneApi);

  // 5. Paths. Without a station folder the window stays up with nothing loaded.
  if (startup_.stationFolder.isEmpty()) return;
  const QDir folder(startup_.stationFolder);
  settingsPath_ = folder.filePath(QStringLiteral("Kestrel.ini"));
  imeiTxtPath_ = folder.filePath(QStringLiteral("IMEI.txt"));
  imeiMdbPath_ = folder.filePath(QStringLiteral("IMEI.mdb"));
  device::ports::SetStationFolder(startup_.stationFolder);  // the phone library's map too
  device::ampvane::SetStationFolder(startup_.stationFolder);
  log::TraceLog::SetBaseFolder(startup_.stationFolder);
  resultStore_ = std::make_unique<records::ResultStore>(startup_.stationFolder);

  // 6. Settings (with the power source and the address-file check).
  config::SettingsLoadContext context;
  context.messages = this;
  context.powerFactory = powerFactory_;
  context.loadAddressFiles = [this](config::StationSettings& s) {
    identity::LoadAddressFiles(s, addressState_, *this);
  };
  settings_ = config::LoadSettings(settingsPath_, context, &powerSource_);
  initialised_ = true;
  StartJobAudit();
  aids_ = std::make_unique<OperatorAids>(*this, startup_.stationFolder);

  // 7. CU reference edits: one character each, empty, usable only when the CU reference is
  // written. The 24th is never typed into (its byte is always written as 0); it only shows
  // what a read returns.
  for (QLineEdit* e : controls_.cuRef) {
    e->setEnabled(settings_.OperateCURef != 0 && e != controls_.cuRef.back());
    e->clear();
    e->setMaxLength(1);
  }

  // 9. Fonts, then 8. the layout without serial numbers (measured with the fonts in place).
  // The secure-boot rows share the height of the serial-number rows, so they are shown or
  // hidden (step 14) before the window is measured.
  ApplyFonts();
  ShowSecureBootFields(settings_.SecureBoot != 0);
  adjustSize();
  if (settings_.WriteSN == 0) CollapseSerialNumberRows();

  // 10. Port.
  portListFilled_ = false;
  const bool present = RefreshPortList();
  portPresent_.store(present);
  ShowPortState(present);
  ShowStatusLine(settings_.OperationMode, present);
  if (settings_.OperationMode != 0 || settings_.Port != -1) StartPortWatch(true);

  // 11. Ready.
  SetResultText(resources::LoadString(109));
  ShowResult(ResultState::Idle);
  EnableInputs(true);

  // 12. The next phone's identities; sets the focus.
  PrepareNextIdentities();

  // 13. Result store; the status line carries its word about the line's set-up and state.
  lineWatch_ = std::make_unique<LineWorkWatch>(*this, *resultStore_);
  AddJobObserver(lineWatch_.get());
  lineJobs_ = std::make_unique<LineJobSummaries>(audit_->Writer(), *resultStore_);
  resultStore_->OpenForSettings(settings_, *this);
  ShowStatusLine(settings_.OperationMode, portPresent_.load());

  // 14.
  controls_.apVersion->setReadOnly(true);
  ShowSecureBootFields(settings_.SecureBoot != 0);

  // 15. Port arrivals and removals come to OnPortChanged.
  portMonitor_->SetTarget(this, device::ports::kPortChangedMessage, 0);
  portMonitor_->Start();
}

void StationController::OnSettingCommand() {
  if (resultStore_) resultStore_->CloseImeiDatabase();
  const bool saved = runSettings_ ? runSettings_(settings_) : false;
  if (saved) ApplyAcceptedSettings();
  if (resultStore_) resultStore_->OpenForSettings(settings_, *this);
  ShowStatusLine(settings_.OperationMode, portPresent_.load());
  powerRepeatCount_.store(0);
}

void StationController::ApplyAcceptedSettings() {
  config::StationSettings& s = settings_;
  if (identity::AddressFilesAssigned(s)) identity::LoadAddressFiles(s, addressState_, *this);
  EnableInputs(true);
  ClearEnteredIdentities();
  SetResultText(resources::LoadString(109));
  controls_.result->SetBackgroundColour(
      ui::Rgb(colours::kIdle[0], colours::kIdle[1], colours::kIdle[2]));
  PrepareNextIdentities();
  s.EndBTValue = config::ParseHexAddress(s.EndAddrForBT, 12);
  s.EndWIFIValue = config::ParseHexAddress(s.EndAddrForWIFI, 12);
  ShowSecureBootFields(s.SecureBoot != 0);
  PushBoundStrings();
}

void StationController::OnModeCommand() {
  const bool selected = runMode_ ? runMode_(settings_) : false;
  if (!selected) return;
  statusRefresh_ = true;
  portListFilled_ = false;
  if (!portWatchRunning_.load()) {
    const bool present = RefreshPortList();
    ShowStatusLine(settings_.OperationMode, present);
    if (settings_.OperationMode != 0 || settings_.Port != -1) StartPortWatch(true);
  }
}

void StationController::StartJobAudit() {
  JobAudit::Options options;
  options.stationFolder = startup_.stationFolder;
  options.phone = startup_.phone;
  options.kv = startup_.phoneApi;
  // Asked on the window thread as each job starts; the settings may change between jobs.
  options.stationName = [this] { return QString::fromLocal8Bit(settings_.CurrentStationName); };
  options.onFailure = [this](const QString& path) {
    const QString text = QStringLiteral("Job record not written: %1").arg(path);
    // The record writer's thread: the text goes to the window's through the hand-off.
    handoff_->Post([this, text] { controls_.statusLine->setText(text); });
  };
  audit_ = std::make_unique<JobAudit>(std::move(options));
  AddJobObserver(audit_.get());
}

void StationController::CloseSteps() {
  portMonitor_->Stop();
  portWatchTimer_.stop();
  repeatTimer_.stop();
  if (initialised_) {
    QString error;
    if (!config::SaveSettings(settings_, settingsPath_,
                              identity::ImeiBaseForSave(settings_, imeiBase_), &error)) {
      // The next start reads the old file: say so while the operator can still act on it.
      ShowMessage(SettingsWriteFailure(settingsPath_, error, true));
    }
  }
  ReleaseDevices();
  closed_ = true;
}

void StationController::ReleaseDevices() {
  if (resultStore_) resultStore_->CloseImeiDatabase();
  if (powerSource_ != nullptr) {
    powerSource_->Release();
    powerSource_ = nullptr;
  }
  if (powerFactory_ != nullptr) {
    powerFactory_->Release();
    powerFactory_ = nullptr;
  }
}

}  // namespace kestrel::station
