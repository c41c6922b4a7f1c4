// The shared throwaway server of a line-database test binary and the skip rule: the tests are
// skipped, with a message, only where no PostgreSQL server is installed; a server that is
// installed but does not start fails them.
#pragma once

#include "tests/support/line_server.h"

#include <gtest/gtest.h>

namespace kestrel::testing {

inline LineServer* SharedLineServer(QString* why) {
  static LineServer server;
  static QString reason;
  static const bool started = server.Start(&reason);
  if (!started) *why = reason;
  return started ? &server : nullptr;
}

}  // namespace kestrel::testing

// In a test's SetUp: skips without a server binary, fails when the server does not start;
// then `server` points to it.
#define KESTREL_REQUIRE_LINE_SERVER(server)                                              \
  do {                                                                                   \
    if (::kestrel::testing::LineServer::BinDir().isEmpty()) {                            \
      GTEST_SKIP() << "SKIPPED: no PostgreSQL server installed (postgresql package); "   \
                      "the line database is not tested here";                            \
    }                                                                                    \
    QString why_;                                                                        \
    server = ::kestrel::testing::SharedLineServer(&why_);                                \
    ASSERT_NE(server, nullptr) << why_.toStdString();                                    \
  } while (false)
