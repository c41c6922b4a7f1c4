// kestrel-cli line outbox [--station-dir DIR]: the station's line outbox (LineOutbox.txt), read
// without the database: its entries waiting to be handed on and those the line refused, the
// lines that cannot be read, and what is left of the station's blocks.
//
//   outbox PATH
//   waiting N refused N unreadable N
//   entry SEQ KIND waiting|refused TIME SLOT=VALUE... [record=TEXT] [refused: WHY]
//   unreadable PATH:LINE: WHAT
//   block KIND FIRST-LAST left N
//
// Exit: 0, or 2 when the file cannot be read.
#include "line/line_outbox.h"
#include "tools/cli/line_outbox_command.h"

#include <QDir>

#include <cstdio>

namespace kestrel::cli {
namespace {

void Print(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
  std::fputc('\n', stdout);
}

QString ValueText(line::LineRangeKind kind, std::uint64_t value) {
  if (kind == line::LineRangeKind::Imei) {
    return QStringLiteral("%1").arg(static_cast<qulonglong>(value), 14, 10, QLatin1Char('0'));
  }
  return QStringLiteral("%1").arg(static_cast<qulonglong>(value), 12, 16, QLatin1Char('0'));
}

}  // namespace

int PrintLineOutbox(const QString& stationFolder) {
  const QString path = QDir(stationFolder).filePath(QStringLiteral("LineOutbox.txt"));
  Print(QStringLiteral("outbox ") + QDir::toNativeSeparators(path));
  line::LineOutbox box(path);
  QString why;
  if (!box.Load(&why)) {
    std::fprintf(stderr, "kestrel-cli line: %s\n", why.toLocal8Bit().constData());
    return 2;
  }
  Print(QStringLiteral("waiting %1 refused %2 unreadable %3")
            .arg(box.Pending())
            .arg(box.Refused())
            .arg(box.problems().size()));
  for (const line::LineOutboxEntry& e : box.entries()) {
    const bool refused = e.state == line::LineOutboxEntry::State::Refused;
    QString text = QStringLiteral("entry %1 %2 %3 %4")
                       .arg(e.record.seq)
                       .arg(e.record.kind,
                            refused ? QStringLiteral("refused") : QStringLiteral("waiting"),
                            e.record.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    for (const line::LineItem& item : e.Items()) text += QStringLiteral(" %1=%2").arg(item.slot, item.value);
    if (e.record.Has(QStringLiteral("record"))) {
      text += QStringLiteral(" record=") + e.record.Field(QStringLiteral("record"));
    }
    if (refused) text += QStringLiteral(" refused: ") + e.why;
    Print(text);
  }
  for (const QString& problem : box.ProblemTexts()) Print(QStringLiteral("unreadable ") + problem);
  for (const line::LineBlock& b : box.ledger().blocks()) {
    line::LineBlockLedger one;
    one.Learn(b);
    if (const auto used = box.ledger().UsedThrough(b.id)) one.Use(b.kind, *used);
    Print(QStringLiteral("block %1 %2-%3 left %4")
              .arg(line::LineKindName(b.kind), ValueText(b.kind, b.first), ValueText(b.kind, b.last))
              .arg(one.Left(b.kind).value_or(0)));
  }
  return 0;
}

}  // namespace kestrel::cli
