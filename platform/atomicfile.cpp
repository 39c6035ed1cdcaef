#include "platform/atomicfile.h"


namespace {

constexpr qsizetype kBufferBytes = qsizetype(1) << 20;

QString NotOpenReason() { return QStringLiteral("файл не открыт"); }

}  // namespace

AtomicFile::AtomicFile(QString path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() { Discard(); }

FileOutcome AtomicFile::Fail(const FileOutcome& failed) {
  if (error_.isEmpty()) error_ = failed.reason;
  return FileOutcome::Failed(error_);
}

FileOutcome AtomicFile::Open() {
  Discard();
  error_.clear();
  // One fixed name beside the target: a leftover of a killed writer is simply replaced, and
  // only one copy of the program works in a folder.
  tempName_ = path_ + QStringLiteral(".tmp");
  if (FileOutcome opened = file_.Open(tempName_, SysFile::Mode::kFresh, path_); !opened) {
    tempName_.clear();
    return Fail(opened);
  }
  buffer_.reserve(kBufferBytes);
  return FileOutcome::Done();
}

FileOutcome AtomicFile::Flush() {
  const FileOutcome written = file_.Write(buffer_.constData(), buffer_.size());
  buffer_.clear();
  return written ? written : Fail(written);
}

FileOutcome SyncFile(SysFile& file, const QString& path, const SyncCall& call) {
  return SyncThrough(call, path, [&file] { return file.Sync(); });
}

FileOutcome AtomicFile::Write(const char* data, qsizetype size) {
  if (!file_.IsOpen()) return Fail(FileOutcome::Failed(NotOpenReason()));
  if (!error_.isEmpty()) return FileOutcome::Failed(error_);
  if (buffer_.size() + size > kBufferBytes) {
    if (FileOutcome flushed = Flush(); !flushed) return flushed;
  }
  if (size >= kBufferBytes) {
    // A large block goes straight through, without a copy.
    const FileOutcome written = file_.Write(data, size);
    return written ? written : Fail(written);
  }
  buffer_.append(data, size);
  return FileOutcome::Done();
}

FileOutcome AtomicFile::Commit() {
  if (!file_.IsOpen()) return Fail(FileOutcome::Failed(NotOpenReason()));
  // Every step is checked: a full disk may show itself only at the flush, the sync or the
  // close, and the old file must then stay.
  FileOutcome outcome = error_.isEmpty() ? Flush() : FileOutcome::Failed(error_);
  if (outcome) outcome = SyncFile(file_, path_, syncCall_);
  if (FileOutcome closed = file_.Close(); !closed && outcome) outcome = closed;
  if (outcome) outcome = ReplaceFileDurably(tempName_, path_);
  if (!outcome) {
    // The temporary goes; if even that fails, the next Open replaces it.
    static_cast<void>(RemoveFile(tempName_));
    tempName_.clear();
    return Fail(outcome);
  }
  tempName_.clear();
  return outcome;
}

void AtomicFile::Discard() {
  // Abandoned: what is left of the new file goes, and nothing is reported (an unwritten
  // temporary is replaced by the next Open anyway).
  static_cast<void>(file_.Close());
  if (!tempName_.isEmpty()) {
    static_cast<void>(RemoveFile(tempName_));
    tempName_.clear();
  }
  buffer_.clear();
}

FileOutcome WriteFileAtomically(const QString& path, const QByteArray& bytes) {
  AtomicFile file(path);
  FileOutcome outcome = file.Open();
  if (outcome) outcome = file.Write(bytes);
  if (outcome) outcome = file.Commit();
  return outcome;
}
