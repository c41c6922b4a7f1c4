// The version checks and the AT commands of a write job: the application-processor version
// (read directly, or through the diagnostic AT command when that fails), the software
// version, and the configured AT command list. The texts read are appended to the
// version-information text (field 1117).
#pragma once

#include "station/job_context.h"

namespace kestrel::station {

class VersionChecks {
 public:
  explicit VersionChecks(const JobContext& job) : job_(job) {}

  // 0: not readable, 1: read but without APVersion, 2: holds APVersion.
  int CheckApVersion();
  int CheckApVersionByAt();
  // The AP step of the write sequence (CheckAPVersion on): waits WaitForAPTime seconds, then
  // CheckApVersion with CheckApVersionByAt as its fallback. False: the job ends (message 172
  // shown, not counted).
  bool ApVersionStep();
  // CheckVer on. False: the job ends (reported and counted).
  bool CheckSoftwareVersion();
  // True when every command of WATCmdList was sent (or SendATCmd is off). False: the job ends
  // (reported and counted).
  bool SendAtCommands();

 private:
  const JobContext& job_;
};

}  // namespace kestrel::station
