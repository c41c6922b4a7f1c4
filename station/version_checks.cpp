// TODO(version checks): the checks are not built yet. Each one refuses the phone with a plain
// message, so a station whose settings ask for a check never passes a phone unchecked.
#include "station/version_checks.h"

namespace kestrel::station {
namespace {

bool NotBuilt(const JobContext& job, const char* what) {
  job.Host().SetResultText(QStringLiteral("%1: not available in this build").arg(QLatin1String(what)));
  job.Host().ShowResult(identity::ResultState::Fail);
  return false;
}

}  // namespace

int VersionChecks::CheckApVersion() {
  return 0;
}

int VersionChecks::CheckApVersionByAt() {
  return 0;
}

bool VersionChecks::ApVersionStep() {
  return NotBuilt(job_, "AP version check");
}

bool VersionChecks::CheckSoftwareVersion() {
  return NotBuilt(job_, "Software version check");
}

bool VersionChecks::SendAtCommands() {
  if (job_.S().SendATCmd == 0) return true;
  return NotBuilt(job_, "AT commands");
}

}  // namespace kestrel::station
