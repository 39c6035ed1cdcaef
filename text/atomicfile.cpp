#include "text/atomicfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>

namespace {

constexpr qsizetype kBufferBytes = qsizetype(1) << 20;

}  // namespace

AtomicFile::AtomicFile(QString path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Fail(int code) {
  if (error_.isEmpty()) error_ = qt_error_string(code);
  return false;
}

bool AtomicFile::Open() {
  Discard();
  error_.clear();
  // One fixed name beside the target: a leftover of a killed writer is simply replaced, and
  // only one copy of the program works in a folder.
  tempName_ = QFile::encodeName(path_) + ".tmp";
  fd_ = ::open(tempName_.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return Fail(errno);
  buffer_.reserve(kBufferBytes);
  return true;
}

bool AtomicFile::Flush() {
  const char* data = buffer_.constData();
  qsizetype left = buffer_.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, size_t(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    data += n;
    left -= n;
  }
  buffer_.clear();
  return true;
}

bool AtomicFile::Write(const char* data, qsizetype size) {
  if (fd_ < 0 || !error_.isEmpty()) return Fail(EBADF);
  if (buffer_.size() + size > kBufferBytes && !Flush()) return false;
  if (size >= kBufferBytes) {
    // A large block goes straight through, without a copy.
    buffer_ = QByteArray::fromRawData(data, size);
    const bool ok = Flush();
    buffer_ = QByteArray();
    buffer_.reserve(kBufferBytes);
    return ok;
  }
  buffer_.append(data, size);
  return true;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) return Fail(EBADF);
  // Every step is checked: a full disk may show itself only at the flush, the sync or the
  // close, and the old file must then stay.
  bool ok = error_.isEmpty() && Flush();
  if (ok && ::fsync(fd_) != 0) ok = Fail(errno);
  if (::close(fd_) != 0 && ok) ok = Fail(errno);
  fd_ = -1;
  if (ok && ::rename(tempName_.constData(), QFile::encodeName(path_).constData()) != 0)
    ok = Fail(errno);
  if (!ok) {
    ::unlink(tempName_.constData());
    tempName_.clear();
    return false;
  }
  tempName_.clear();
  SyncFolderOf(path_);
  return true;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempName_.isEmpty()) {
    ::unlink(tempName_.constData());
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

bool SyncFolderOf(const QString& path) {
  const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
  const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}
