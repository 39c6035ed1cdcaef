#pragma once
// What the program needs from the operating system where Linux and Windows differ: files
// written durably, the millisecond tick count, the ANSI code page, the system's error texts.
// One implementation per system: platform_posix.cpp, platform_win.cpp.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <cstdint>

#include "platform/fileoutcome.h"

// An open file for writing. Every step answers with a FileOutcome whose reason says, in
// Russian, what went wrong and what to do (FileErrorReason).
class SysFile {
 public:
  enum class Mode {
    // A new file: one left at that name is removed first, a link is never followed (a
    // working file's temporary). It takes the permissions of `like` when that exists.
    kFresh,
    // Created if missing, not emptied; no second copy of this program writes it while it is
    // open (the result file). On Linux an advisory lock (flock): it keeps out writers that
    // take the same lock, not a program that writes without asking. On Windows a share mode
    // that keeps out every other writer.
    kOneWriter,
    // An existing file (cutting a result file back).
    kExisting,
  };

  SysFile() = default;
  // A file still open here is abandoned (the caller has already reported why): closed without
  // a word.
  ~SysFile();
  SysFile(const SysFile&) = delete;
  SysFile& operator=(const SysFile&) = delete;

  FileOutcome Open(const QString& path, Mode mode, const QString& like = QString());
  bool IsOpen() const { return handle_ != kNone; }
  // Writes all the bytes, or fails.
  FileOutcome Write(const char* data, qint64 size);
  // Cuts the file to length bytes and goes on writing at its end.
  FileOutcome Truncate(qint64 length);
  // Puts what was written on the disk.
  FileOutcome Sync();
  // Fails when closing reported a failure (a write the system could not complete).
  FileOutcome Close();

  // The reason another writer keeps a kOneWriter Open from the file.
  static QString InUseReason() {
    return QStringLiteral("файл занят другой программой; закройте его там (например, в программе электронных "
                          "таблиц) и повторите");
  }

 private:
  static constexpr intptr_t kNone = -1;

  intptr_t handle_ = kNone;
};

// Puts `from` in the place of `to`, replacing it, and makes the change durable (on Windows
// the file is flushed first and the rename written through; a file another program holds is
// waited for about two seconds, then named with the program to close). Three outcomes: done; in place but the folder not synced (the file system cannot do it, or it
// failed: `to` is the new file and counts as written, the reason says what is not
// guaranteed); failed (`to` is as it was).
FileOutcome ReplaceFileDurably(const QString& from, const QString& to);

// Removes a file; a missing one counts as removed.
FileOutcome RemoveFile(const QString& path);

// Makes a rename or a removal in the folder of path durable. A file system that cannot sync
// a folder (EINVAL, ENOTSUP: network shares, shared folders of virtual machines) gives
// InPlaceFolderNotSynced, whose reason names the folder and says what is and is not
// guaranteed there. On Windows no folder is synced and this is always done: what a power cut
// may undo there is the last rename, never a renamed file's bytes.
FileOutcome SyncFolderOf(const QString& path);

// The reason, in Russian, for a system error code (errno, GetLastError()) of a file
// operation: what happened and what the user can do (free disk space, check the folder's
// rights, close the file in the other program). Never the system's own English text.
QString FileErrorReason(int code);

// Why the file at `path` could not be read, in Russian with what to do, for a read that
// failed through another interface (QFile): found by opening it for reading again. A file
// that opens now failed while it was read (a disk or network error).
QString ReadFailureReason(const QString& path);

// Milliseconds since the system started, as a 32-bit counter that wraps.
uint32_t TickCount();

// Text from and to the system's ANSI code page (Windows-1251 stands in for it on Linux).
// Characters the code page lacks become '?'.
QString DecodeAnsiBytes(QByteArrayView bytes);
QByteArray EncodeAnsi(const QString& text);

// A file name for the workbook writer, which takes UTF-8 names: on Windows it opens files
// through wide-character calls, so a folder the ANSI code page cannot spell is no obstacle.
QByteArray LibraryFileName(const QString& path);

// A folder for the workbook writer's temporary files. Its temporary files are opened by
// narrow names on Windows, so there the folder is one the ANSI code page can spell (the
// system's temporary folder, else the program's own); empty: the writer's own choice.
QByteArray WorkbookTempFolder();

// Asks the desktop to open the file with its default program (the spreadsheet program for a
// workbook: xdg-open on Linux, the shell on Windows). Fails, saying why, when there is no
// desktop session, no xdg-open, or the opener reports within a few seconds that it could not
// open the file (no program for the file's type). An opener still running by then counts as
// success: xdg-open may run the program itself, and it is left running.
FileOutcome OpenWithDesktop(const QString& path);

// The full path of the running executable, empty when the system does not say.
QString ExecutableFilePath();

// The system's text for an error code of its own (errno, GetLastError()), for what is not a
// file's outcome (a program that would not start).
QString SystemErrorText(int code);

// Ends the process with `code`, called by a main once everything is saved and closed.
// Windows ends the other threads before the libraries' own clean-up runs, and a thread ended
// while it was leaving (holding the thread library's key lock) keeps that clean-up waiting
// for ever; so there the process ends without it, its output flushed.
[[noreturn]] void EndProcess(int code);
