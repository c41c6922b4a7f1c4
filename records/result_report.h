// How the result store reports to the station window: the result message it leaves and, for a
// failed save, the Fail display. The window implements it (its result text and ShowResult);
// SaveResult calls it from the job thread, CheckImeiReuse from the window thread.
#pragma once

#include <QString>

namespace kestrel::records {

class ResultReport {
 public:
  virtual ~ResultReport() = default;
  // Replaces the station's result message (message 133 or 134).
  virtual void SetResultText(const QString& text) = 0;
  // Shows the result message in the Fail state (the window's ShowResult(Fail)).
  virtual void ShowFailResult() = 0;
};

}  // namespace kestrel::records
