#include "platform/atomicfile.h"


namespace {

constexpr qsizetype kBufferBytes = qsizetype(1) << 20;

QString NotOpenReason() { return QStringLiteral("файл не открыт"); }

}  // namespace

AtomicFile::AtomicFile(QString path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Fail(const QString& reason) {
  if (error_.isEmpty()) error_ = reason;
  return false;
}

bool AtomicFile::Open() {
  Discard();
  error_.clear();
  // One fixed name beside the target: a leftover of a killed writer is simply replaced, and
  // only one copy of the program works in a folder.
  tempName_ = path_ + QStringLiteral(".tmp");
  if (!file_.Open(tempName_, SysFile::Mode::kFresh, path_)) {
    tempName_.clear();
    return Fail(file_.ErrorString());
  }
  buffer_.reserve(kBufferBytes);
  return true;
}

bool AtomicFile::Flush() {
  const bool ok = file_.Write(buffer_.constData(), buffer_.size());
  buffer_.clear();
  return ok || Fail(file_.ErrorString());
}

FileOutcome SyncFile(SysFile& file, const QString& path, const SyncCall& call) {
  if (SyncThrough(call, path, [&file] { return file.Sync(); })) return FileOutcome::Done();
  return FileOutcome::Failed(file.ErrorString().isEmpty() ? NotOnDiskReason() : file.ErrorString());
}

bool AtomicFile::Write(const char* data, qsizetype size) {
  if (!file_.IsOpen()) return Fail(NotOpenReason());
  if (!error_.isEmpty()) return false;
  if (buffer_.size() + size > kBufferBytes && !Flush()) return false;
  if (size >= kBufferBytes) {
    // A large block goes straight through, without a copy.
    return file_.Write(data, size) || Fail(file_.ErrorString());
  }
  buffer_.append(data, size);
  return true;
}

bool AtomicFile::Commit() {
  if (!file_.IsOpen()) return Fail(NotOpenReason());
  // Every step is checked: a full disk may show itself only at the flush, the sync or the
  // close, and the old file must then stay.
  bool ok = error_.isEmpty() && Flush();
  if (ok) {
    const FileOutcome synced = SyncFile(file_, path_, syncCall_);
    if (!synced) ok = Fail(synced.reason);
  }
  if (!file_.Close() && ok) ok = Fail(file_.ErrorString());
  if (ok) {
    const FileOutcome replaced = ReplaceFileDurably(tempName_, path_);
    if (!replaced) ok = Fail(replaced.reason);
  }
  if (!ok) {
    RemoveFile(tempName_);
    tempName_.clear();
    return false;
  }
  tempName_.clear();
  return true;
}

void AtomicFile::Discard() {
  file_.Close();
  if (!tempName_.isEmpty()) {
    RemoveFile(tempName_);
    tempName_.clear();
  }
  buffer_.clear();
}

FileOutcome WriteFileAtomically(const QString& path, const QByteArray& bytes) {
  AtomicFile file(path);
  if (file.Open() && file.Write(bytes) && file.Commit()) return FileOutcome::Done();
  return FileOutcome::Failed(file.ErrorString());
}
