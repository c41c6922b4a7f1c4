// The port selector over the port map, the port watch's ticks and the port monitor's reports.
#include "station/station_controller.h"

#include "device/ports/port_map.h"

#include <QComboBox>

namespace kestrel::station {
namespace {

constexpr const char* kUsbEntry = "USB";

// The number of a "COM<n>" entry, or -1.
int EntryNumber(const QString& text) {
  if (!text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) return -1;
  bool ok = false;
  const int n = text.mid(3).toInt(&ok);
  return ok ? n : -1;
}

}  // namespace

bool StationController::RefreshPortList() {
  config::StationSettings& s = settings_;
  QComboBox* list = controls_.portList;
  const bool calibration = s.OperationMode == 0;
  const bool refill = !portListFilled_;
  const bool jobRuns = JobRunning() || jobs_.Active();

  // 1.
  if (refill || jobRuns) list->setEnabled(false);

  // 2-3. The map in ascending number; each entry goes to the same position, so the selector
  // lists the ports in descending order (after "USB" in calibration mode).
  bool found = false;
  const QStringList names = device::ports::PortNames();
  if (refill) {
    list->clear();
    if (calibration) list->insertItem(0, QLatin1String(kUsbEntry));
  }
  for (const QString& name : names) {
    if (refill) list->insertItem(calibration ? 1 : 0, name);
    if (calibration && s.Port == -1) continue;
    const int number = EntryNumber(name);
    if ((number == s.Port || number == s.LastComPort) && s.AutoPort == 0) found = true;
  }

  // 4. The selection of a refilled list.
  if (refill) {
    const int first = calibration ? 1 : 0;
    auto indexOf = [list, first](int number) {
      for (int i = first; i < list->count(); ++i) {
        if (EntryNumber(list->itemText(i)) == number) return i;
      }
      return -1;
    };
    bool chosen = false;
    if (!(calibration && s.Port == -1) && found) {
      if (const int last = indexOf(s.LastComPort); last >= 0) {
        list->setCurrentIndex(last);
        s.Port = s.LastComPort;
        chosen = true;
      } else if (const int port = indexOf(s.Port); port >= 0) {
        list->setCurrentIndex(port);
        chosen = true;
      }
    }
    if (calibration && s.Port == -1) {
      s.AutoPort = 1;
      list->setCurrentIndex(0);
    } else if (!chosen) {
      if (calibration) {
        s.Port = -1;
        s.AutoPort = 1;
      } else {
        // Normal mode without the configured port: the first entry, or none at all.
        s.Port = list->count() > 0 ? EntryNumber(list->itemText(0)) : 0;
        if (s.Port < 0) s.Port = 0;
        s.AutoPort = 0;
      }
      list->setCurrentIndex(0);
    }
  }

  // 5.
  if (refill && !jobRuns) list->setEnabled(true);
  portListFilled_ = true;
  return found;
}

void StationController::OnPortChanged(int /*messageId*/, int /*port*/, int arrived) {
  if (arrived == 0) {
    portPresent_.store(RefreshPortList());
    portListFilled_ = false;
  } else if (arrived == 1) {
    portListFilled_ = false;
    portPresent_.store(RefreshPortList());
  } else {
    return;
  }
  // The indicator is not redrawn here; the next tick of the port watch redraws it. (Without
  // this the tick would find the flag already matching and leave the old state shown.)
  statusRefresh_ = true;
}

void StationController::OnPortWatchTimer() {
  const config::StationSettings& s = settings_;
  if (s.OperationMode == 0 && s.Port == -1 && portWatchRunning_.load()) {
    StartPortWatch(false);
    return;
  }
  const bool found = RefreshPortList();
  if (found != portPresent_.load() || statusRefresh_) {
    statusRefresh_ = false;
    portPresent_.store(found);
    ShowPortState(found);
  }
}

void StationController::OnPortSelected(int index) {
  config::StationSettings& s = settings_;
  const QString text = controls_.portList->itemText(index);
  if (text.compare(QLatin1String(kUsbEntry), Qt::CaseInsensitive) == 0) {
    s.AutoPort = 1;
    s.Port = -1;
    if (portWatchRunning_.load()) StartPortWatch(false);
    return;
  }
  s.AutoPort = 0;
  s.Port = EntryNumber(text);
  s.LastComPort = s.Port;
  if (!portWatchRunning_.load()) StartPortWatch(true);
}

}  // namespace kestrel::station
