#include "text/atomicfile.h"


namespace {

constexpr qsizetype kBufferBytes = qsizetype(1) << 20;

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

bool AtomicFile::Write(const char* data, qsizetype size) {
  if (!file_.IsOpen()) return Fail(QStringLiteral("the file is not open"));
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
  if (!file_.IsOpen()) return Fail(QStringLiteral("the file is not open"));
  // Every step is checked: a full disk may show itself only at the flush, the sync or the
  // close, and the old file must then stay.
  bool ok = error_.isEmpty() && Flush();
  if (ok && !SyncThrough(syncCall_, path_, [this] { return file_.Sync(); }))
    ok = Fail(file_.ErrorString().isEmpty() ? QStringLiteral("the file could not be put on the disk")
                                            : file_.ErrorString());
  if (!file_.Close() && ok) ok = Fail(file_.ErrorString());
  QString reason;
  if (ok && !ReplaceFileDurably(tempName_, path_, &reason)) ok = Fail(reason);
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

bool WriteFileAtomically(const QString& path, const QByteArray& bytes, QString* reason) {
  AtomicFile file(path);
  if (file.Open() && file.Write(bytes) && file.Commit()) return true;
  if (reason) *reason = file.ErrorString();
  return false;
}
