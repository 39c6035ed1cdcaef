#include "platform/platform.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <thread>

#include <QDir>
#include <QFileInfo>

namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::wstring Wide(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

}  // namespace

namespace {

FileOutcome FailedWith(DWORD code) { return FileOutcome::Failed(FileErrorReason(int(code))); }
FileOutcome LastFailure() { return FailedWith(GetLastError()); }

}  // namespace

SysFile::~SysFile() {
  if (handle_ != kNone) CloseHandle(H(handle_));
}

FileOutcome SysFile::Open(const QString& path, Mode mode, const QString&) {
  if (IsOpen()) {
    if (FileOutcome closed = Close(); !closed) return closed;
  }
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case Mode::kFresh:
      // A leftover of a killed writer is replaced; nobody else writes it meanwhile.
      share = FILE_SHARE_READ | FILE_SHARE_DELETE;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::kOneWriter:
      // Readers (a spreadsheet program looking in during a run) are welcome; a second
      // writer is not. Not emptied here: the caller does that once the file is its own.
      share = FILE_SHARE_READ;
      disposition = OPEN_ALWAYS;
      break;
    case Mode::kExisting:
      break;
  }
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, share, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const bool inUse = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    return inUse && mode == Mode::kOneWriter ? FileOutcome::Failed(InUseReason()) : FailedWith(code);
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return FileOutcome::Done();
}

FileOutcome SysFile::Write(const char* data, qint64 size) {
  while (size > 0) {
    const DWORD chunk = DWORD(qMin<qint64>(size, 1 << 30));
    DWORD written = 0;
    if (!WriteFile(H(handle_), data, chunk, &written, nullptr)) return LastFailure();
    data += written;
    size -= written;
  }
  return FileOutcome::Done();
}

FileOutcome SysFile::Truncate(qint64 length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  if (!SetFilePointerEx(H(handle_), at, nullptr, FILE_BEGIN)) return LastFailure();
  if (!SetEndOfFile(H(handle_))) return LastFailure();
  return FileOutcome::Done();
}

FileOutcome SysFile::Sync() { return FlushFileBuffers(H(handle_)) ? FileOutcome::Done() : LastFailure(); }

FileOutcome SysFile::Close() {
  if (handle_ == kNone) return FileOutcome::Done();
  const BOOL ok = CloseHandle(H(handle_));
  handle_ = kNone;
  return ok ? FileOutcome::Done() : LastFailure();
}

namespace {

// How long a replace waits for a file another program holds: a virus scanner looks at a fresh
// file for a moment; a spreadsheet program that has the file open does not let go.
constexpr DWORD kHeldFileWaitMs = 2000;
constexpr DWORD kHeldFileRetryMs = 100;

bool HeldByAnotherProgram(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_USER_MAPPED_FILE;
}

// Whether another program has the file open so that it may not be removed: access is refused
// for a held file as well as for a read-only one, and only the second asks for other advice.
bool IsHeld(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// The file's bytes on the disk: MOVEFILE_WRITE_THROUGH flushes only a move done as a copy,
// not a rename on one volume.
FileOutcome FlushFile(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastFailure();
  const bool flushed = FlushFileBuffers(h);
  const DWORD code = GetLastError();
  CloseHandle(h);
  return flushed ? FileOutcome::Done() : FailedWith(code);
}

}  // namespace

FileOutcome ReplaceFileDurably(const QString& from, const QString& to) {
  const std::wstring source = Wide(from), target = Wide(to);
  // The new file is on the disk before its name is; a held one is flushed once it is free.
  FileOutcome flushed = FlushFile(source);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (flushed && MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return FileOutcome::Done();
    const DWORD code = GetLastError();
    if (flushed && !HeldByAnotherProgram(code)) return FailedWith(code);
    if (GetTickCount64() - start >= kHeldFileWaitMs) {
      if (!flushed) return flushed;
      const bool held = code != ERROR_ACCESS_DENIED || IsHeld(target) || IsHeld(source);
      if (!held) return FailedWith(code);
      return FileOutcome::Failed(QStringLiteral("файл %1 занят другой программой; закройте его там (например, в "
                                                "программе электронных таблиц) и повторите")
                                     .arg(QDir::toNativeSeparators(IsHeld(source) && !IsHeld(target) ? from : to)));
    }
    Sleep(kHeldFileRetryMs);
    if (!flushed) flushed = FlushFile(source);
  }
}

FileOutcome RemoveFile(const QString& path) {
  if (DeleteFileW(Wide(path).c_str())) return FileOutcome::Done();
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return FileOutcome::Done();
  return FailedWith(code);
}

FileOutcome SyncFolderOf(const QString&) { return FileOutcome::Done(); }

QString ReadFailureReason(const QString& path) {
  const std::wstring name = Wide(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return FileErrorReason(int(ERROR_DIRECTORY));
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return QStringLiteral("файл не найден; проверьте, что он на месте");
    return FileErrorReason(int(code));
  }
  CloseHandle(h);
  return FileErrorReason(int(ERROR_IO_DEVICE));
}

QString FileErrorReason(int code) {
  switch (DWORD(code)) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return QStringLiteral("на диске нет места; освободите место на диске и повторите");
    case ERROR_ACCESS_DENIED:
      return QStringLiteral("нет прав на запись; проверьте права на папку и на файл (не только ли для чтения он)");
    case ERROR_WRITE_PROTECT:
      return QStringLiteral("диск доступен только для чтения; выберите папку на диске, куда можно писать");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return QStringLiteral("файл занят другой программой; закройте его там (например, в программе электронных "
                            "таблиц) и повторите");
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return QStringLiteral("папка не найдена; проверьте, что папка программы на месте");
    case ERROR_DIRECTORY:
      return QStringLiteral("на месте файла папка; переименуйте или уберите её");
    case ERROR_FILENAME_EXCED_RANGE:
      return QStringLiteral("слишком длинный путь; перенесите программу в папку с путём покороче");
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_NETNAME_DELETED:
      return QStringLiteral("ошибка чтения или записи на диске; проверьте диск или сетевое подключение");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
      return QStringLiteral("системе не хватает ресурсов; закройте лишние программы и повторите");
    default:
      return QStringLiteral("системная ошибка номер %1").arg(code);
  }
}

uint32_t TickCount() { return GetTickCount(); }

QString DecodeAnsiBytes(QByteArrayView bytes) {
  if (bytes.isEmpty()) return QString();
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  QString text(n, Qt::Uninitialized);
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()),
                      reinterpret_cast<wchar_t*>(text.data()), n);
  return text;
}

QByteArray EncodeAnsi(const QString& input) {
  if (input.isEmpty()) return QByteArray();
  // A UTF-8 system code page takes no replacement character (it has every character).
  const bool utf8 = GetACP() == CP_UTF8;
  // A character beyond the 16-bit range (an emoji) is in no single-byte code page: one '?'
  // for it, not one for each half.
  QString text = input;
  if (!utf8) {
    text.clear();
    for (qsizetype i = 0; i < input.size(); ++i) {
      if (input[i].isHighSurrogate() && i + 1 < input.size() && input[i + 1].isLowSurrogate()) {
        text += u'?';
        ++i;
      } else {
        text += input[i];
      }
    }
  }
  const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
  const char* fallback = utf8 ? nullptr : "?";
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, int(text.size()), nullptr, 0, fallback, nullptr);
  QByteArray bytes(n, Qt::Uninitialized);
  WideCharToMultiByte(CP_ACP, 0, wide, int(text.size()), bytes.data(), n, fallback, nullptr);
  return bytes;
}

FileOutcome OpenWithDesktop(const QString& path) {
  // The shell's own "open": whatever program the user has for .xlsx files. The shell wants a
  // single-threaded COM apartment on the calling thread, which the job's thread is not: the
  // call runs on a short thread of its own that is one.
  FileOutcome outcome = FileOutcome::Done();
  std::thread opener([&outcome, &path] {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    const std::wstring file = Wide(path);
    info.lpFile = file.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
      // Some system texts name the file as "%1".
      outcome = FileOutcome::Failed(
          SystemErrorText(int(GetLastError())).replace(QStringLiteral("%1"), QDir::toNativeSeparators(path)));
    }
    if (SUCCEEDED(com)) CoUninitialize();
  });
  opener.join();
  return outcome;
}

QByteArray LibraryFileName(const QString& path) { return QDir::toNativeSeparators(path).toUtf8(); }

QByteArray WorkbookTempFolder() {
  // Spelled in the ANSI code page and back unchanged, and there.
  const auto usable = [](const QString& folder) {
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) return QByteArray();
    const QString native = QDir::toNativeSeparators(QDir::cleanPath(folder));
    const QByteArray ansi = EncodeAnsi(native);
    return DecodeAnsiBytes(ansi) == native ? ansi : QByteArray();
  };
  std::wstring temp(MAX_PATH + 1, L'\0');
  const DWORD n = GetTempPathW(DWORD(temp.size()), temp.data());
  if (n > 0 && n < temp.size()) {
    if (QByteArray folder = usable(QString::fromWCharArray(temp.data(), int(n))); !folder.isEmpty()) return folder;
  }
  return usable(QFileInfo(ExecutableFilePath()).absolutePath());
}

QString ExecutableFilePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (n == 0) return QString();
    if (n < buffer.size()) return QDir::fromNativeSeparators(QString::fromWCharArray(buffer.data(), int(n)));
    buffer.resize(buffer.size() * 2);
  }
}

QString SystemErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, DWORD(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  QString message = n ? QString::fromWCharArray(text, int(n)).trimmed()
                      : QStringLiteral("системная ошибка %1").arg(code);
  if (text) LocalFree(text);
  return message;
}

void EndProcess(int code) {
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), UINT(code));
  ExitProcess(UINT(code));  // only if the system refused the first
}
