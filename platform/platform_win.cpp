#include "platform/platform.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include <QDir>
#include <QFileInfo>

namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::wstring Wide(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

}  // namespace

bool SysFile::Fail() {
  error_ = SystemErrorText(int(GetLastError()));
  return false;
}

bool SysFile::Open(const QString& path, Mode mode, const QString&) {
  Close();
  error_.clear();
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
    error_ = inUse && mode == Mode::kOneWriter ? InUseReason() : SystemErrorText(int(code));
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SysFile::Write(const char* data, qint64 size) {
  while (size > 0) {
    const DWORD chunk = DWORD(qMin<qint64>(size, 1 << 30));
    DWORD written = 0;
    if (!WriteFile(H(handle_), data, chunk, &written, nullptr)) return Fail();
    data += written;
    size -= written;
  }
  return true;
}

bool SysFile::Truncate(qint64 length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  if (!SetFilePointerEx(H(handle_), at, nullptr, FILE_BEGIN)) return Fail();
  if (!SetEndOfFile(H(handle_))) return Fail();
  return true;
}

qint64 SysFile::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(handle_), &size)) {
    Fail();
    return -1;
  }
  return size.QuadPart;
}

bool SysFile::Sync() { return FlushFileBuffers(H(handle_)) || Fail(); }

bool SysFile::Close() {
  if (handle_ == kNone) return true;
  const BOOL ok = CloseHandle(H(handle_));
  handle_ = kNone;
  return ok || Fail();
}

FileOutcome ReplaceFileDurably(const QString& from, const QString& to) {
  // Write-through: the new name is on the disk when the call returns, so no folder sync.
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return FileOutcome::Done();
  return FileOutcome::Failed(SystemErrorText(int(GetLastError())));
}

bool RemoveFile(const QString& path) {
  if (DeleteFileW(Wide(path).c_str())) return true;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool SyncFolderOf(const QString&) { return true; }

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
  // The shell's own "open": whatever program the user has for .xlsx files.
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  const std::wstring file = Wide(path);
  info.lpFile = file.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info)) return FileOutcome::Done();
  // Some system texts name the file as "%1".
  return FileOutcome::Failed(
      SystemErrorText(int(GetLastError())).replace(QStringLiteral("%1"), QDir::toNativeSeparators(path)));
}

QByteArray NarrowFileName(const QString& path) {
  const QString native = QDir::toNativeSeparators(path);
  const QByteArray ansi = EncodeAnsi(native);
  if (DecodeAnsiBytes(ansi) == native) return ansi;
  const std::wstring wide = native.toStdWString();
  const DWORD n = GetShortPathNameW(wide.c_str(), nullptr, 0);
  if (n == 0) return QByteArray();
  std::wstring shortName(n, L'\0');
  const DWORD m = GetShortPathNameW(wide.c_str(), shortName.data(), n);
  if (m == 0 || m >= n) return QByteArray();
  const QString result = QString::fromWCharArray(shortName.data(), int(m));
  const QByteArray bytes = EncodeAnsi(result);
  return DecodeAnsiBytes(bytes) == result ? bytes : QByteArray();
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
