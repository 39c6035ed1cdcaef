#include "platform/platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

extern char** environ;

namespace {

// The single-byte code page that stands in for the system's ANSI code page: it holds the
// Cyrillic letters of the region names.
constexpr const char* kAnsiCodePage = "windows-1251";

int Fd(intptr_t handle) { return int(handle); }

}  // namespace

namespace {

FileOutcome FailedWith(int code) { return FileOutcome::Failed(FileErrorReason(code)); }

// A file system that has no sync for a folder says so with one of these.
bool FolderSyncUnsupported(int code) { return code == EINVAL || code == ENOTSUP || code == EOPNOTSUPP; }

QString FolderNotSyncedText(const QString& folder, const QString& why) {
  return QStringLiteral("папка %1 не сохраняет на диск изменения в ней самой (%2): каждый файл в ней "
                        "по-прежнему записывается целиком, прежний или новый, но после сбоя питания или "
                        "системы последнее сохранение может пропасть, и часть работы будет сделана заново. "
                        "Чтобы этого не было, запускайте программу из папки на локальном диске")
      .arg(QDir::toNativeSeparators(folder), why);
}

}  // namespace

SysFile::~SysFile() {
  if (handle_ != kNone) ::close(Fd(handle_));
}

FileOutcome SysFile::Open(const QString& path, Mode mode, const QString& like) {
  if (IsOpen()) {
    if (FileOutcome closed = Close(); !closed) return closed;
  }
  const QByteArray name = QFile::encodeName(path);
  int flags = O_WRONLY | O_CLOEXEC;
  mode_t perms = 0644;
  switch (mode) {
    case Mode::kFresh: {
      // A leftover of a killed writer goes; O_EXCL then makes sure the file written is the
      // one created here, not a link planted in its place.
      flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
      if (::unlink(name.constData()) != 0 && errno != ENOENT) return FailedWith(errno);
      // A temporary that replaces a file keeps that file's permissions.
      struct stat st {};
      if (!like.isEmpty() && ::stat(QFile::encodeName(like).constData(), &st) == 0)
        perms = st.st_mode & 07777;
      break;
    }
    case Mode::kOneWriter:
      // Not O_TRUNC: another process may still be writing it.
      flags |= O_CREAT;
      break;
    case Mode::kExisting:
      break;
  }
  const int fd = ::open(name.constData(), flags, perms);
  if (fd < 0) return FailedWith(errno);
  if (mode == Mode::kOneWriter && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    return code == EWOULDBLOCK ? FileOutcome::Failed(InUseReason()) : FailedWith(code);
  }
  handle_ = fd;
  return FileOutcome::Done();
}

FileOutcome SysFile::Write(const char* data, qint64 size) {
  while (size > 0) {
    const ssize_t n = ::write(Fd(handle_), data, size_t(size));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailedWith(errno);
    }
    data += n;
    size -= n;
  }
  return FileOutcome::Done();
}

FileOutcome SysFile::Truncate(qint64 length) {
  if (::ftruncate(Fd(handle_), off_t(length)) != 0) return FailedWith(errno);
  if (::lseek(Fd(handle_), off_t(length), SEEK_SET) < 0) return FailedWith(errno);
  return FileOutcome::Done();
}

FileOutcome SysFile::Sync() { return ::fsync(Fd(handle_)) == 0 ? FileOutcome::Done() : FailedWith(errno); }

FileOutcome SysFile::Close() {
  if (handle_ == kNone) return FileOutcome::Done();
  const int rc = ::close(Fd(handle_));  // also releases the lock
  handle_ = kNone;
  return rc == 0 ? FileOutcome::Done() : FailedWith(errno);
}

FileOutcome ReplaceFileDurably(const QString& from, const QString& to) {
  if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) return FailedWith(errno);
  // In place from here on, whatever the folder's sync says.
  FileOutcome synced = SyncFolderOf(to);
  if (synced.ok) return synced;
  return FileOutcome::InPlaceFolderNotSynced(
      FolderNotSyncedText(QFileInfo(to).absolutePath(), synced.reason));
}

FileOutcome RemoveFile(const QString& path) {
  if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT) return FileOutcome::Done();
  return FailedWith(errno);
}

FileOutcome SyncFolderOf(const QString& path) {
  const QString folder = QFileInfo(path).absolutePath();
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailedWith(errno);
  const int rc = ::fsync(fd);
  const int code = errno;
  ::close(fd);
  if (rc == 0) return FileOutcome::Done();
  if (FolderSyncUnsupported(code))
    return FileOutcome::InPlaceFolderNotSynced(FolderNotSyncedText(folder, FileErrorReason(code)));
  return FailedWith(code);
}

QString ReadFailureReason(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    if (code == ENOENT) return QStringLiteral("файл не найден; проверьте, что он на месте");
    return FileErrorReason(code);
  }
  struct stat st {};
  const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  return FileErrorReason(folder ? EISDIR : EIO);
}

QString FileErrorReason(int code) {
  switch (code) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return QStringLiteral("на диске нет места; освободите место на диске и повторите");
    case EACCES:
    case EPERM:
      return QStringLiteral("нет прав на запись; проверьте права на папку и на файл (не только ли для чтения он)");
    case EROFS:
      return QStringLiteral("диск доступен только для чтения; выберите папку на диске, куда можно писать");
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return QStringLiteral("файл занят другой программой; закройте его там (например, в программе электронных "
                            "таблиц) и повторите");
    case ENOENT:
    case ENOTDIR:
      return QStringLiteral("папка не найдена; проверьте, что папка программы на месте");
    case EISDIR:
      return QStringLiteral("на месте файла папка; переименуйте или уберите её");
    case ENAMETOOLONG:
      return QStringLiteral("слишком длинный путь; перенесите программу в папку с путём покороче");
    case EIO:
      return QStringLiteral("ошибка чтения или записи на диске; проверьте диск или сетевое подключение");
    case EINVAL:
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
      return QStringLiteral("файловая система не поддерживает эту операцию");
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return QStringLiteral("системе не хватает ресурсов; закройте лишние программы и повторите");
    default:
      return QStringLiteral("системная ошибка номер %1").arg(code);
  }
}

uint32_t TickCount() {
  // Boot time counts the time spent suspended too, like the Windows tick count; the
  // monotonic clock stands in where it is missing.
  timespec ts{};
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
  return uint32_t(ms);
}

QString DecodeAnsiBytes(QByteArrayView bytes) {
  return QStringDecoder(kAnsiCodePage, QStringConverter::Flag::Stateless).decode(bytes);
}

QByteArray EncodeAnsi(const QString& text) {
  // By default the codec marks what it cannot encode with 0x1A (SUB), which a genuine U+001A
  // gives as well, and its error flag cannot be reset here to test characters one by one.
  // So have it put a zero byte instead: in a single-byte code page every character gives one
  // byte, and a zero byte for a character other than U+0000 is one it lacks.
  // A high surrogate at the very end is held back as the start of a pair and never given
  // out, so it is taken off here and stands for itself.
  qsizetype heldBack = 0;
  while (heldBack < text.size() && text[text.size() - 1 - heldBack].isHighSurrogate()) ++heldBack;
  if (heldBack > 0) return EncodeAnsi(text.chopped(heldBack)) + QByteArray(heldBack, '?');

  QStringEncoder encoder(kAnsiCodePage, QStringConverter::Flag::ConvertInvalidToNull);
  QByteArray bytes = encoder.encode(text);
  if (!encoder.hasError()) return bytes;

  qsizetype characters = 0;
  for (qsizetype i = 0; i < text.size(); ++i, ++characters)
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ++i;
  if (characters != bytes.size()) return bytes.replace('\0', '?');

  qsizetype i = 0;
  for (char& b : bytes) {
    const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
    if (b == '\0' && text[i] != QChar(u'\0')) b = '?';
    i += pair ? 2 : 1;
  }
  return bytes;
}

namespace {

// How long the opener may take to say it could not open the file. xdg-open gives up within a
// second when no program takes the type; past this it is taken to run the program itself.
constexpr int kOpenVerdictMs = 5000;

// The last line the opener wrote, or its exit code.
QString OpenerFailure(int errFd, int status) {
  QByteArray text(4096, '\0');
  const ssize_t n = ::pread(errFd, text.data(), size_t(text.size()), 0);
  text.resize(n > 0 ? qsizetype(n) : 0);
  QString last;
  for (const QByteArray& line : text.split('\n'))
    if (!line.trimmed().isEmpty()) last = QString::fromLocal8Bit(line.trimmed());
  if (!last.isEmpty()) return last;
  if (WIFEXITED(status)) return QStringLiteral("xdg-open завершился с кодом %1").arg(WEXITSTATUS(status));
  return QStringLiteral("xdg-open прерван сигналом %1").arg(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

FileOutcome OpenWithDesktop(const QString& path) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    return FileOutcome::Failed(QStringLiteral("нет рабочего стола"));
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty()) return FileOutcome::Failed(QStringLiteral("нет программы xdg-open из пакета xdg-utils"));

  // Its messages go to a file, not a pipe: the program it may run keeps writing there long
  // after this function has stopped reading.
  QByteArray errName = QFile::encodeName(QDir::tempPath()) + "/orgharvester-open-XXXXXX";
  const int errFd = ::mkstemp(errName.data());
  if (errFd < 0)
    return FileOutcome::Failed(QStringLiteral("не создан временный файл: %1").arg(FileErrorReason(errno)));
  ::unlink(errName.constData());
  const auto closeErr = qScopeGuard([errFd] { ::close(errFd); });

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  ::posix_spawnattr_init(&attributes);
  // A session of its own: Ctrl+C in the terminal that ends this program leaves the
  // spreadsheet open.
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const QByteArray program = QFile::encodeName(opener);
  const QByteArray file = QFile::encodeName(path);
  char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(file.constData()), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (spawned != 0)
    return FileOutcome::Failed(QStringLiteral("xdg-open не запустился: %1").arg(FileErrorReason(spawned)));

  const QDeadlineTimer deadline(kOpenVerdictMs);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return FileOutcome::Done();
      return FileOutcome::Failed(OpenerFailure(errFd, status));
    }
    if (done < 0 && errno != EINTR) return FileOutcome::Done();  // reaped elsewhere: nothing to go by
    if (deadline.hasExpired()) break;
    QThread::msleep(50);
  }
  // Still at work, most likely running the program: reaped once it ends.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return FileOutcome::Done();
}

QByteArray LibraryFileName(const QString& path) { return QFile::encodeName(path); }

QByteArray WorkbookTempFolder() { return QByteArray(); }

QString ExecutableFilePath() {
  return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

QString SystemErrorText(int code) { return qt_error_string(code); }

void EndProcess(int code) { std::exit(code); }
