// The simulated instrument: a small SCPI power supply with one output.
//
// Understood (case does not matter, long or short forms, optional SOUR[ce]: prefix, several
// commands on a line separated by ';'):
//   *IDN?  *RST  *CLS  *OPC?  SYST[em]:ERR[or][:NEXT]?
//   VOLT[age][:LEV[el]] <v>   VOLT?   OUTP[ut][:STAT[e]] ON|OFF|1|0   OUTP?   MEAS[ure]:VOLT?
// Anything else queues SCPI error -113 "Undefined header"; a bad value queues -224.
#pragma once

#include <string>
#include <vector>

namespace kestrel::tools::powersim {

class ScpiInstrument {
 public:
  // Runs one received line; returns the answers to its queries, one per query.
  std::vector<std::string> Execute(const std::string& line);

  double volts() const { return volts_; }
  bool output() const { return output_; }

 private:
  void Run(const std::string& command, std::vector<std::string>* answers);
  void PushError(int code, const char* text);

  double volts_ = 0.0;
  bool output_ = false;
  std::vector<std::string> errors_;
};

}  // namespace kestrel::tools::powersim
