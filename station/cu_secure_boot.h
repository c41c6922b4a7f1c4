// The CU reference (24 bytes, one character a field) and the secure-boot items (UID and
// HASH, seven 32-bit words) of a job: written by the write sequence, read by the read-back
// sequence. Each operation answers true to go on; on false it has reported.
#pragma once

#include "station/job_context.h"

namespace kestrel::station {

class CuSecureBoot {
 public:
  explicit CuSecureBoot(const JobContext& job) : job_(job) {}

  bool ReadCuRef();
  bool WriteCuRef();
  bool ReadSecureBoot();
  bool WriteSecureBoot();
  bool EnableSecureBoot();

 private:
  const JobContext& job_;
};

}  // namespace kestrel::station
