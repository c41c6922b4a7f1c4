#include "tools/power-sim/scpi_instrument.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrel::tools::powersim {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// True when `word` is the short form of `longForm` (its first `shortLen` letters) or the long
// form itself.
bool IsMnemonic(const std::string& word, const char* longForm, size_t shortLen) {
  const std::string full = longForm;
  return word == full || word == full.substr(0, shortLen);
}

std::vector<std::string> SplitHeader(const std::string& header) {
  std::vector<std::string> parts;
  std::string current;
  for (const char c : header) {
    if (c == ':') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::string FormatVolts(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

}  // namespace

std::vector<std::string> ScpiInstrument::Execute(const std::string& line) {
  std::vector<std::string> answers;
  std::string command;
  for (const char c : line) {
    if (c == ';') {
      Run(Trim(command), &answers);
      command.clear();
    } else {
      command += c;
    }
  }
  Run(Trim(command), &answers);
  return answers;
}

void ScpiInstrument::PushError(int code, const char* text) {
  if (errors_.size() >= 32) return;  // the queue is full; the oldest errors stay
  errors_.push_back(std::to_string(code) + ",\"" + text + "\"");
}

void ScpiInstrument::Run(const std::string& command, std::vector<std::string>* answers) {
  if (command.empty()) return;
  const size_t blank = command.find_first_of(" \t");
  std::string header = Upper(command.substr(0, blank));
  const std::string argument =
      blank == std::string::npos ? std::string() : Upper(Trim(command.substr(blank)));
  const bool query = !header.empty() && header.back() == '?';
  if (query) header.pop_back();

  if (header == "*IDN" && query) {
    answers->push_back("Kestrel,PowerSim,0,1.0");
    return;
  }
  if (header == "*OPC" && query) {
    answers->push_back("1");
    return;
  }
  if (header == "*RST" && !query) {
    volts_ = 0.0;
    output_ = false;
    return;
  }
  if (header == "*CLS" && !query) {
    errors_.clear();
    return;
  }

  std::vector<std::string> parts = SplitHeader(header);
  if (!parts.empty() && IsMnemonic(parts.front(), "SOURCE", 4)) parts.erase(parts.begin());
  if (parts.empty()) {
    PushError(-113, "Undefined header");
    return;
  }
  const std::string& first = parts[0];
  if (IsMnemonic(first, "SYSTEM", 4) && parts.size() >= 2 && IsMnemonic(parts[1], "ERROR", 3) &&
      (parts.size() == 2 || (parts.size() == 3 && parts[2] == "NEXT")) && query) {
    if (errors_.empty()) {
      answers->push_back("0,\"No error\"");
    } else {
      answers->push_back(errors_.front());
      errors_.erase(errors_.begin());
    }
    return;
  }
  if (IsMnemonic(first, "MEASURE", 4) && parts.size() == 2 && IsMnemonic(parts[1], "VOLTAGE", 4) &&
      query) {
    answers->push_back(FormatVolts(output_ ? volts_ : 0.0));
    return;
  }
  if (IsMnemonic(first, "VOLTAGE", 4) &&
      (parts.size() == 1 || (parts.size() == 2 && IsMnemonic(parts[1], "LEVEL", 3)))) {
    if (query) {
      answers->push_back(FormatVolts(volts_));
      return;
    }
    char* end = nullptr;
    const double v = std::strtod(argument.c_str(), &end);
    if (argument.empty() || end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0.0 ||
        v > 60.0) {
      PushError(-224, "Illegal parameter value");
      return;
    }
    volts_ = v;
    return;
  }
  if (IsMnemonic(first, "OUTPUT", 4) &&
      (parts.size() == 1 || (parts.size() == 2 && IsMnemonic(parts[1], "STATE", 4)))) {
    if (query) {
      answers->push_back(output_ ? "1" : "0");
      return;
    }
    if (argument == "ON" || argument == "1") {
      output_ = true;
    } else if (argument == "OFF" || argument == "0") {
      output_ = false;
    } else {
      PushError(-224, "Illegal parameter value");
    }
    return;
  }
  PushError(-113, "Undefined header");
}

}  // namespace kestrel::tools::powersim
