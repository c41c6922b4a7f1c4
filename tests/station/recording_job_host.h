// A JobHost that records what a job reports, for testing the job's parts without a window.
// Thread-safe: the job's steps may run on a thread of the test's own.
#pragma once

#include "station/job_host.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

namespace kestrel::station::testing {

class RecordingJobHost : public JobHost {
 public:
  struct Shown {
    QString text;
    identity::ResultState state;
    bool plain;  // ShowPlainResult: no identity lines, state not changed
  };

  identity::IdentitySet Identities() const override {
    std::lock_guard<std::mutex> l(lock_);
    return identities_;
  }
  void SetIdentities(const identity::IdentitySet& ids) override {
    std::lock_guard<std::mutex> l(lock_);
    identities_ = ids;
  }
  void SetResultText(const QString& text) override {
    std::lock_guard<std::mutex> l(lock_);
    resultText_ = text;
  }
  QString ResultText() const override {
    std::lock_guard<std::mutex> l(lock_);
    return resultText_;
  }
  void ShowResult(identity::ResultState state) override {
    std::lock_guard<std::mutex> l(lock_);
    shown_.push_back({resultText_, state, false});
  }
  void ShowFailResult() override { ShowResult(identity::ResultState::Fail); }
  void ShowPlainResult(identity::ResultState colour) override {
    std::lock_guard<std::mutex> l(lock_);
    shown_.push_back({resultText_, colour, true});
  }
  void RecordOutcome(bool passed) override {
    std::lock_guard<std::mutex> l(lock_);
    outcomes_.push_back(passed);
  }
  void ShowMessage(const QString& text) override {
    std::lock_guard<std::mutex> l(lock_);
    messages_ << text;
  }
  QString ApVersionText() const override {
    std::lock_guard<std::mutex> l(lock_);
    return apVersion_;
  }
  void SetApVersionText(const QString& text) override {
    std::lock_guard<std::mutex> l(lock_);
    apVersion_ = text;
  }
  std::array<QString, kCuRefLength> CuRefTexts() const override {
    std::lock_guard<std::mutex> l(lock_);
    return cuRef_;
  }
  void SetCuRefTexts(const std::array<QString, kCuRefLength>& texts) override {
    std::lock_guard<std::mutex> l(lock_);
    cuRef_ = texts;
  }
  std::array<QString, kSecureBootItems> SecureBootTexts() const override {
    std::lock_guard<std::mutex> l(lock_);
    return secureBoot_;
  }
  void SetSecureBootTexts(const std::array<QString, kSecureBootItems>& texts) override {
    std::lock_guard<std::mutex> l(lock_);
    secureBoot_ = texts;
  }
  void PushBoundStrings() override {}
  void EnableStop(bool on) override {
    std::lock_guard<std::mutex> l(lock_);
    stopEnabled_.push_back(on);
  }

  // Forgets everything (a new job).
  void Reset() {
    std::lock_guard<std::mutex> l(lock_);
    identities_ = {};
    resultText_.clear();
    apVersion_.clear();
    cuRef_ = {};
    secureBoot_ = {};
    shown_.clear();
    outcomes_.clear();
    messages_.clear();
    stopEnabled_.clear();
  }

  // What was recorded.
  std::vector<Shown> Results() const {
    std::lock_guard<std::mutex> l(lock_);
    return shown_;
  }
  // The last result shown (empty text and Idle when none).
  Shown Last() const {
    std::lock_guard<std::mutex> l(lock_);
    return shown_.empty() ? Shown{QString(), identity::ResultState::Idle, false} : shown_.back();
  }
  std::vector<bool> Outcomes() const {
    std::lock_guard<std::mutex> l(lock_);
    return outcomes_;
  }
  QStringList Messages() const {
    std::lock_guard<std::mutex> l(lock_);
    return messages_;
  }
  std::vector<bool> StopEnabled() const {
    std::lock_guard<std::mutex> l(lock_);
    return stopEnabled_;
  }

 private:
  mutable std::mutex lock_;
  identity::IdentitySet identities_;
  QString resultText_;
  QString apVersion_;
  std::array<QString, kCuRefLength> cuRef_{};
  std::array<QString, kSecureBootItems> secureBoot_{};
  std::vector<Shown> shown_;
  std::vector<bool> outcomes_;
  QStringList messages_;
  std::vector<bool> stopEnabled_;
};

}  // namespace kestrel::station::testing
