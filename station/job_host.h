// What a job sees of the station window: reporting, the bound texts it reads and sets, and the
// few controls a job touches. The station window implements it; every operation may be called
// from the job thread (widget work is handed to the window's thread).
#pragma once

#include "config/message_sink.h"
#include "identity/identity_set.h"
#include "identity/outcome_reporter.h"
#include "identity/result_state.h"
#include "records/result_report.h"

#include <QString>

#include <array>

namespace kestrel::station {

// The CU reference: 24 one-character fields (1093-1116).
constexpr int kCuRefLength = 24;
// The secure-boot items: UID (items 0-1, fields 1125-1126) and HASH (items 2-6, 1127-1131).
constexpr int kSecureBootItems = 7;

class JobHost : public identity::OutcomeReporter,
                public records::ResultReport,
                public config::MessageSink {
 public:
  // The result text: both bases ask for it, this one answers for both.
  void SetResultText(const QString& text) override = 0;
  // The identities of the phone on the bench (the bound texts of the entry fields).
  virtual identity::IdentitySet Identities() const = 0;
  virtual void SetIdentities(const identity::IdentitySet& identities) = 0;
  virtual QString ResultText() const = 0;
  // Shows the result text as it stands, without the identity lines that ShowResult adds, on
  // the background colour of `colour`.
  virtual void ShowPlainResult(identity::ResultState colour) = 0;
  // The version-information text (field 1117).
  virtual QString ApVersionText() const = 0;
  virtual void SetApVersionText(const QString& text) = 0;
  // The CU reference field texts, as taken from the fields when the job started.
  virtual std::array<QString, kCuRefLength> CuRefTexts() const = 0;
  virtual void SetCuRefTexts(const std::array<QString, kCuRefLength>& texts) = 0;
  // The secure-boot display texts (UID, then HASH), as taken when the job started.
  virtual std::array<QString, kSecureBootItems> SecureBootTexts() const = 0;
  virtual void SetSecureBootTexts(const std::array<QString, kSecureBootItems>& texts) = 0;
  // Puts every bound text into its control.
  virtual void PushBoundStrings() = 0;
  // The Stop button (1030).
  virtual void EnableStop(bool on) = 0;

 protected:
  ~JobHost() override = default;
};

}  // namespace kestrel::station
