// Small pieces every kestrel-cli command shares.
#pragma once

#include "config/message_sink.h"

#include <cstdio>

namespace kestrel::cli {

// What the station would show in a message box goes to standard error as "message: TEXT".
class StderrSink : public config::MessageSink {
 public:
  void ShowMessage(const QString& text) override {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
  }
};

}  // namespace kestrel::cli
