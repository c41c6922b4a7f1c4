#include "line/sql_connections.h"

namespace kestrel::line::sql {

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace kestrel::line::sql
