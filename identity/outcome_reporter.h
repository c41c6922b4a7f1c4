// How a step reports the outcome of a job: it sets the result text, shows it with a state and,
// for a counted phone, records the outcome. The station window implements this; the calls may
// come from the job thread.
#pragma once

#include "identity/result_state.h"

#include <QString>

namespace kestrel::identity {

class OutcomeReporter {
 public:
  virtual ~OutcomeReporter() = default;
  // Replaces the result text (shown by the next ShowResult).
  virtual void SetResultText(const QString& text) = 0;
  // Shows the result text in the result label coloured by `state`.
  virtual void ShowResult(ResultState state) = 0;
  // Counts a finished phone as passed or failed.
  virtual void RecordOutcome(bool passed) = 0;
};

}  // namespace kestrel::identity
