// TODO(CU reference and secure boot): not built yet. Each operation refuses the phone with a
// plain message, so a station whose settings ask for it never passes a phone without it.
#include "station/cu_secure_boot.h"

namespace kestrel::station {
namespace {

bool NotBuilt(const JobContext& job, const char* what) {
  job.Host().SetResultText(QStringLiteral("%1: not available in this build").arg(QLatin1String(what)));
  job.Host().ShowResult(identity::ResultState::Fail);
  return false;
}

}  // namespace

bool CuSecureBoot::ReadCuRef() {
  return NotBuilt(job_, "CU reference");
}

bool CuSecureBoot::WriteCuRef() {
  return NotBuilt(job_, "CU reference");
}

bool CuSecureBoot::ReadSecureBoot() {
  return NotBuilt(job_, "Secure boot");
}

bool CuSecureBoot::WriteSecureBoot() {
  return NotBuilt(job_, "Secure boot");
}

bool CuSecureBoot::EnableSecureBoot() {
  return NotBuilt(job_, "Secure boot");
}

}  // namespace kestrel::station
