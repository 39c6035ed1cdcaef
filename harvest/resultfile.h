#pragma once
// The result file: UTF-8 with a byte order mark, a header line, then one row of TAB-separated
// fields per line, every line ending in CR LF. Each row reaches the file as soon as it is
// written, so the file is usable at any moment of a run and after an abnormal end.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "harvest/job_context.h"
#include "platform/atomicfile.h"
#include "platform/platform.h"

class ResultFile {
 public:
  ResultFile() = default;
  // A file still open here is abandoned (the job closes it, and reports, itself).
  ~ResultFile() { static_cast<void>(Close()); }
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  // The header line (without its line end): the 30 column titles joined by TAB.
  static QString HeaderLine();

  // Creates the file (an existing one is emptied), writes the mark and the header. The file
  // stays locked against other writers (an exclusive lock) until Close(). On failure nothing
  // is open.
  FileOutcome Open(const QString& path);

  // Writes one row. Every field is cleaned first (TAB becomes a blank, CR and LF go, so a
  // value can never break the row's layout), and a field that is exactly "null" is written
  // empty. A row is written whole or not at all: a failed write is cut off again.
  FileOutcome WriteRow(const QStringList& fields);

  // Puts everything written so far on the disk, so that a power cut cannot take it back; the
  // sync goes through `call` when one is given. A closed file whose closing sync failed is
  // opened again for it, so a failed sync can be made good by the next one.
  FileOutcome Sync(const SyncCall& call = {});
  // Bytes written so far: the mark, the header and every whole row.
  qint64 Size() const { return size_; }

  // Syncs and closes; fails when the sync or the closing failed.
  FileOutcome Close(const SyncCall& call = {});
  bool IsOpen() const { return file_ != nullptr; }
  QString Path() const { return path_; }

  // Length in bytes of the mark and the header line: what a file without rows holds.
  static qint64 HeaderSize();

  // What CutBack found and left.
  struct Cut {
    qint64 before = -1;  // the file's size
    qint64 after = -1;   // its size once cut: the end of a whole row
  };
  // Cuts a closed result file back to the end of the last whole row at or before `length`
  // bytes (a row is never cut in two, the header never touched; a file shorter than that is
  // cut to its own last whole row) and syncs it. Fails when the file cannot be opened, read
  // or cut, or has no whole header.
  static FileOutcome CutBack(const QString& path, qint64 length, Cut* cut, const SyncCall& call = {});

  // What bringing an interrupted run's result file back to its record found and did.
  struct Restored {
    // Failed: the file could not be brought back, and nothing was cut; the reason names the
    // file and what to do. The run must not start: rows past the record would be fetched
    // again while the file still holds them.
    FileOutcome outcome;
    QStringList notes;        // what was found and done, for the log
    QList<WrittenRow> lost;   // rows the record counts that the file no longer holds
    QString workbookToMake;   // the workbook to make again from the file, or empty
  };
  // The result file named by the record of the queue a run resumes, in `dir`: its stale
  // workbook removed first (it may hold rows that are cut now), then cut back to the record
  // on a row's end. Rows the record names but the file lost are told by `rows`. `moment` is
  // called after each step ("resume:workbook-removed", "resume:cut").
  static Restored RestoreInterrupted(const QString& dir, const QueueRecord& record, const QList<WrittenRow>& rows,
                                     const std::function<void(const char*)>& moment, const SyncCall& call = {});

  // Why a row cannot be written: there is no open file.
  static QString NotOpenReason() { return QStringLiteral("файл результатов не открыт"); }

  // The line as WriteRow writes it, without its line end.
  static QString FormatRow(const QStringList& fields);

 private:
  FileOutcome WriteAll(const QByteArray& bytes);

  std::unique_ptr<SysFile> file_;
  qint64 size_ = 0;
  bool synced_ = true;  // everything written is on the disk (checked while closed)
  QString path_;
};
