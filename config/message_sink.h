// Where the station's modules send the texts that the window shows in message boxes.
// The window implements it with message boxes, the command line with standard error.
#pragma once

#include <QString>

namespace kestrel::config {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const QString& text) = 0;
};

}  // namespace kestrel::config
