#pragma once
// Files that are either the old version or the complete new one, whatever happens to the
// process or the disk: written beside the target, every write checked, flushed to the disk,
// then renamed over the target and the folder flushed too. On any failure the target stays
// as it was and the partial new file is removed.

#include <QByteArray>
#include <QString>
#include <functional>

#include "platform/platform.h"

// How a written file is put on the disk: `sync` does it for the file at `path` (for a file
// written through AtomicFile, the target's path). The program passes it straight through;
// tests note what reached the disk, or make a sync fail.
using SyncCall = std::function<bool(const QString& path, const std::function<bool()>& sync)>;

// Runs `sync` through `call` when one is given.
inline bool SyncThrough(const SyncCall& call, const QString& path, const std::function<bool()>& sync) {
  return call ? call(path, sync) : sync();
}

// Why a file is not on the disk when the system gave no reason (a failed sync call that never
// asked it, a closed file whose last sync failed).
inline QString NotOnDiskReason() { return QStringLiteral("файл не записан на диск"); }

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

  bool Open();
  // Buffered; after the first failure every call returns false and Commit() fails.
  bool Write(const char* data, qsizetype size);
  bool Write(const QByteArray& bytes) { return Write(bytes.constData(), bytes.size()); }
  // Flushes, syncs and puts it in the target's place durably (the rename and the folder are
  // on the disk when it returns true). False on any failure: the target is untouched,
  // except after a failed folder sync, when the new file is in place but perhaps not yet
  // on the disk.
  bool Commit();
  void Discard();

  // The reason of the first failure, as the system gives it where it does.
  QString ErrorString() const { return error_; }

 private:
  bool Flush();
  bool Fail(const QString& reason);

  QString path_;
  QString tempName_;
  SysFile file_;
  QByteArray buffer_;
  QString error_;
  SyncCall syncCall_;
};

// Writes bytes to path through AtomicFile.
FileOutcome WriteFileAtomically(const QString& path, const QByteArray& bytes);
