#pragma once
// Files that are either the old version or the complete new one, whatever happens to the
// process or the disk: written beside the target, every write checked, flushed to the disk,
// then renamed over the target and the folder flushed too. On any failure the target stays
// as it was and the partial new file is removed. A folder whose file system cannot be
// flushed is no failure: the new file is in place and counts as written
// (FileOutcome::folderNotSynced).

#include <QByteArray>
#include <QString>
#include <functional>

#include "platform/platform.h"

// How a written file is put on the disk: `sync` does it for the file at `path` (for a file
// written through AtomicFile, the target's path). The program passes it straight through;
// tests note what reached the disk, or make a sync fail.
using SyncCall = std::function<FileOutcome(const QString& path, const std::function<FileOutcome()>& sync)>;

// Runs `sync` through `call` when one is given.
inline FileOutcome SyncThrough(const SyncCall& call, const QString& path, const std::function<FileOutcome()>& sync) {
  return call ? call(path, sync) : sync();
}

// Why a file is not on the disk when the system gave no reason (a closed file whose last
// sync failed).
inline QString NotOnDiskReason() {
  return QStringLiteral("файл не записан на диск; проверьте диск и место на нём и повторите");
}

// Puts what was written to `file` on the disk, through `call` (see SyncCall) for the file at
// `path`.
FileOutcome SyncFile(SysFile& file, const QString& path, const SyncCall& call);

class AtomicFile {
 public:
  explicit AtomicFile(QString path);
  ~AtomicFile();  // discards the new file unless committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // The file's sync goes through `call` (see SyncCall); set before Commit().
  void SetSyncCall(SyncCall call) { syncCall_ = std::move(call); }

  FileOutcome Open();
  // Buffered; after the first failure every call fails with that first reason, and so does
  // Commit().
  FileOutcome Write(const char* data, qsizetype size);
  FileOutcome Write(const QByteArray& bytes) { return Write(bytes.constData(), bytes.size()); }
  // Flushes, syncs and puts it in the target's place (ReplaceFileDurably's three outcomes).
  // On failure the target is untouched and the new file gone.
  FileOutcome Commit();
  void Discard();

 private:
  FileOutcome Flush();
  FileOutcome Fail(const FileOutcome& failed);

  QString path_;
  QString tempName_;
  SysFile file_;
  QByteArray buffer_;
  QString error_;
  SyncCall syncCall_;
};

// Writes bytes to path through AtomicFile.
FileOutcome WriteFileAtomically(const QString& path, const QByteArray& bytes);
