// The version checks read the phone's texts into zeroed 4096-byte buffers; the texts travel
// 8-bit in the locale's encoding. What they read is added to the version-information text,
// which the window shows at once.
#include "station/version_checks.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/version_text.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

namespace kestrel::station {
namespace {

using identity::ResultState;

constexpr int kReplyBytes = 4096;
// What a reply to an AT command may fill of its buffer, and how long the phone has for it.
constexpr int kAtReplyCapacity = 4000;
constexpr int kAtReplyTimeoutMs = 3000;
// A command travels in a 128-byte buffer with its terminator.
constexpr int kMaxAtCommandBytes = 127;
constexpr int kPauseAfterAtCommandMs = 1000;

constexpr int kMsgReadVersionFailed = 142;
constexpr int kMsgVersionDiffers = 143;
constexpr int kMsgApVersionFailed = 172;
constexpr int kMsgAtCommandFailed = 176;

// A text call into a zeroed buffer: the text up to its terminator, or nothing on failure.
template <typename F>
bool ReadText(const JobContext& job, const char* name, F&& call, QByteArray* text) {
  std::vector<char> buffer(kReplyBytes, '\0');
  const std::int32_t r = job.Call(name, [&] { return call(buffer.data(), kReplyBytes); });
  if (r != 0) return false;
  *text = QByteArray(buffer.data());  // the library terminates it within the buffer
  return true;
}

void AppendVersionInfo(const JobContext& job, const QString& text) {
  job.Host().SetApVersionText(job.Host().ApVersionText() + text);
  job.Host().PushBoundStrings();
}

// A failure of the software check: the message alone in red, the phone counted as failed.
bool SoftwareCheckFails(const JobContext& job, int message) {
  job.Host().SetResultText(resources::LoadString(message));
  job.Host().ShowPlainResult(ResultState::Fail);
  job.Host().RecordOutcome(false);
  return false;
}

}  // namespace

int VersionChecks::CheckApVersion() {
  QByteArray reply;
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  if (!ReadText(
          job_, "KV_GetAPVersion", [&kv, h](char* b, int n) { return kv.GetAPVersion(h, b, n); },
          &reply)) {
    return 0;
  }
  AppendVersionInfo(job_, QString::fromLocal8Bit(reply) + QStringLiteral("\r\n"));
  return reply.contains(job_.S().APVersion.toLocal8Bit()) ? 2 : 1;
}

int VersionChecks::CheckApVersionByAt() {
  std::vector<char> buffer(kReplyBytes, '\0');
  std::int32_t length = 0;
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  // The call's result says nothing here: a phone that did not answer leaves the reply empty.
  job_.Call("KV_SendATCommand", [&] {
    return kv.SendATCommand(h, kApDiagCommand, 1, buffer.data(), kAtReplyCapacity, &length,
                            kAtReplyTimeoutMs);
  });
  const QByteArray reply(buffer.data());
  if (reply.isEmpty()) return 0;
  const QByteArray text = BreakBeforeWords(DiagReplyVersion(reply), {"Plat", "Project", "BASE"});
  job_.Host().SetApVersionText(QStringLiteral("AP Ver:\r\n") + QString::fromLocal8Bit(text) +
                               QStringLiteral("\r\n"));
  job_.Host().PushBoundStrings();
  return text.contains(job_.S().APVersion.toLocal8Bit()) ? 2 : 1;
}

bool VersionChecks::ApVersionStep() {
  const std::int64_t waitMs =
      std::clamp<std::int64_t>(std::int64_t{job_.S().WaitForAPTime} * 1000, 0, INT_MAX);
  // The window is closing: the job ends without a verdict.
  if (!job_.Pause("WaitForAPTime", static_cast<int>(waitMs))) return false;
  int r = CheckApVersion();
  if (r == 0) r = CheckApVersionByAt();
  if (r == 2) return true;
  job_.Host().SetResultText(resources::LoadString(kMsgApVersionFailed));
  job_.Host().ShowResult(ResultState::Fail);
  return false;
}

bool VersionChecks::CheckSoftwareVersion() {
  const config::StationSettings& s = job_.S();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  QByteArray reply;
  const bool read =
      s.OperationMode == 0 && s.TESTMODE == 0
          ? ReadText(
                job_, "KV_FastReadVersion",
                [&kv, h](char* b, int n) { return kv.FastReadVersion(h, b, n); }, &reply)
          : ReadText(
                job_, "KV_GetMsVersion",
                [&kv, h](char* b, int n) { return kv.GetMsVersion(h, b, n); }, &reply);
  if (!read) return SoftwareCheckFails(job_, kMsgReadVersionFailed);

  QString text = QString::fromLocal8Bit(reply);
  if (text.startsWith(QLatin1Char('\n'))) text.remove(0, 1);
  text = BreakBeforeWords(text, {"Plat", "Project", "BASE", "HW"});
  AppendVersionInfo(job_, QStringLiteral("SW Ver:") + text);
  if (text.contains(s.Version)) return true;
  return SoftwareCheckFails(job_, kMsgVersionDiffers);
}

bool VersionChecks::SendAtCommands() {
  const config::StationSettings& s = job_.S();
  if (s.SendATCmd == 0) return true;
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  for (const QString& command : s.WATCmdList) {
    const QByteArray bytes = command.toLocal8Bit();
    std::int32_t r = 0;
    if (bytes.size() > kMaxAtCommandBytes || bytes.contains('\0')) {
      // Cut to its buffer it would be another command, which the phone might carry out: it
      // is refused unsent.
      r = -1;
    } else {
      std::vector<char> reply(kReplyBytes, '\0');
      std::int32_t length = 0;
      r = job_.Call("KV_SendATCommand", [&] {
        return kv.SendATCommand(h, bytes.constData(), 1, reply.data(), kAtReplyCapacity, &length,
                                kAtReplyTimeoutMs);
      });
    }
    if (r != 0) {
      job_.Host().SetResultText(resources::FormatString(kMsgAtCommandFailed, {command}));
      // The job has ended: the message stands alone in red, not on the busy colour.
      job_.Host().ShowPlainResult(ResultState::Fail);
      job_.Host().RecordOutcome(false);
      return false;
    }
    // The window is closing: the job ends without a verdict.
    if (!job_.Pause("ATCommandPause", kPauseAfterAtCommandMs)) return false;
  }
  return true;
}

}  // namespace kestrel::station
