#include "config/ini_file.h"

#include "config/ini_document.h"

#include <QFile>
#include <QSaveFile>

#include <mutex>
#include <utility>

namespace kestrel::config {
namespace {

// Serialises read-modify-write cycles within the process, so that two threads writing keys of
// one file (the window at close, a job storing DefaultIMEI) cannot lose each other's change.
std::mutex& WriteMutex() {
  static std::mutex m;
  return m;
}

std::function<bool(const QString&)>& InterruptHook() {
  static std::function<bool(const QString&)> hook;
  return hook;
}

}  // namespace

IniFile::IniFile(QString path) : path_(std::move(path)) {}

void IniFile::SetInterruptHookForTesting(std::function<bool(const QString& path)> hook) {
  const std::lock_guard<std::mutex> lock(WriteMutex());
  InterruptHook() = std::move(hook);
}

IniDocument IniFile::Load() const {
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly)) return IniDocument();
  return IniDocument::Parse(file.readAll());
}

QString IniFile::ReadString(const QString& section, const QString& key, const QString& fallback,
                            int maxChars) const {
  const std::optional<QString> value = Load().Value(section, key);
  QString text = value ? *value : fallback;
  if (maxChars >= 0 && text.size() > maxChars) {
    text.truncate(maxChars);
    // Never leave half of a surrogate pair at the end.
    if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
  }
  return text;
}

int IniFile::ReadInt(const QString& section, const QString& key, int fallback) const {
  const std::optional<QString> value = Load().Value(section, key);
  return value ? ParseProfileInt(*value) : fallback;
}

bool IniFile::HasKey(const QString& section, const QString& key) const {
  return Load().Value(section, key).has_value();
}

bool IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  return WriteStrings({Entry{section, key, value}});
}

bool IniFile::WriteStrings(const std::vector<Entry>& entries) {
  const std::lock_guard<std::mutex> lock(WriteMutex());
  if (QFile::exists(path_)) {
    // An existing file that cannot be read must not be replaced by a nearly empty one.
    QFile probe(path_);
    if (!probe.open(QIODevice::ReadOnly)) return false;
  }
  IniDocument doc = Load();
  bool allSet = true;
  bool anySet = false;
  for (const Entry& e : entries) {
    if (doc.SetValue(e.section, e.key, e.value)) {
      anySet = true;
    } else {
      allSet = false;
    }
  }
  if (!anySet) return allSet && entries.empty();
  return Replace(doc) && allSet;
}

bool IniFile::Replace(const IniDocument& doc) {
  const QByteArray bytes = doc.Serialize();
  QSaveFile out(path_);
  auto fail = [this, &out](const QString& why) {
    lastError_ = why;
    out.cancelWriting();
    return false;
  };
  lastError_.clear();
  if (!out.open(QIODevice::WriteOnly)) return fail(out.errorString());
  const qsizetype half = bytes.size() / 2;
  if (out.write(bytes.constData(), half) != half) return fail(out.errorString());
  if (const auto& hook = InterruptHook(); hook && !hook(path_)) {
    return fail(QStringLiteral("interrupted"));
  }
  const qsizetype rest = bytes.size() - half;
  if (out.write(bytes.constData() + half, rest) != rest) return fail(out.errorString());
  if (!out.commit()) {
    lastError_ = out.errorString();
    return false;
  }
  return true;
}

bool IniFile::WriteInt(const QString& section, const QString& key, int value) {
  return WriteString(section, key, QString::number(value));
}

}  // namespace kestrel::config
