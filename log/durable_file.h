// Appending to a file so that the bytes survive a power cut once the call returns true.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace kestrel::log {

// Opens `path` for appending (creating it when missing), writes `bytes` at its end, flushes and
// syncs the file to the disk (and the folder when the file was new), then closes it. False when
// any step fails: the file is then cut back to its length before the call, so that nothing of
// the bytes stays to be joined by the next append. `*mayHoldBytes` (when given) tells whether
// the bytes may be in the file all the same: they were written whole and a later step failed
// (a sync that failed may still have reached the disk), or the cut failed.
// `*error` (when given) receives the file system's word on a failure.
bool AppendDurably(const QString& path, const QByteArray& bytes, bool* mayHoldBytes = nullptr,
                   QString* error = nullptr);

// Makes the folder entry of `path` durable, after the file was made or replaced there (a
// QSaveFile's commit syncs the file, not its folder). True where the system has nothing to do.
bool SyncFolderOf(const QString& path);

// Opens `path` for appending, creating it (and syncing its folder) when missing, and closes it.
bool TouchForAppend(const QString& path);

// Test hook: called with the path once the bytes are written and synced, before the file is
// closed; returning false makes the sync count as failed. An empty function removes it.
void SetSyncHookForTesting(std::function<bool(const QString& path)> hook);

}  // namespace kestrel::log
