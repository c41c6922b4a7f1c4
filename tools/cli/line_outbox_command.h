// kestrel-cli line outbox: the station folder's line outbox, listed (line_outbox_command.cpp).
#pragma once

#include <QString>

namespace kestrel::cli {

int PrintLineOutbox(const QString& stationFolder);

}  // namespace kestrel::cli
