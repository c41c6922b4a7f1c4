// The read-back sequence of a read job: reads the phone's CU reference, secure-boot items,
// serial numbers and identities, and either shows the identities in the entry fields or
// compares them with what the operator entered there. Runs on the job thread.
#pragma once

#include "station/job_context.h"

#include <cstdint>
#include <vector>

namespace kestrel::station {

class ReadSequence {
 public:
  explicit ReadSequence(const JobContext& job) : job_(job) {}

  void RunReadJob();

  // The item masks of the identity reads, in order (one or two reads).
  static std::vector<std::uint32_t> ReadMasks(const config::StationSettings& settings);

 private:
  bool ReadSerialNumbers();

  const JobContext& job_;
};

}  // namespace kestrel::station
