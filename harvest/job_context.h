#pragma once
// The context a saved queue needs to give the same rows as an uninterrupted run: the region
// names of its region tasks and the organisations' regions and card columns of its
// organisation tasks; and the record that ties the queue to the rows already written, so
// that a run continued after a crash writes every row exactly once. Saved as "context.dat"
// beside "lists.dat" at every checkpoint, loaded by a resumed run.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "harvest/rundata.h"

// One checkpoint as the context file records it.
struct QueueRecord {
  QString queueHash;         // QueueHash() of the "lists.dat" bytes saved with it
  QString resultFile;        // name of the run's result file beside the executable
  qint64 resultLength = -1;  // its bytes on the disk when the queue was saved
  // Lines of the list of given-up tasks that belong to this queue (-1: not known). Lines past
  // them were listed for a queue that never reached the disk: this one still holds them.
  qint64 givenUpLines = -1;
};

// Runs in a row that a saved task ended unfinished in, by the task's text.
using FailedRuns = QHash<QString, int>;

// A row of the result file: where it begins and the task it came from. A result file found
// shorter than its record names the tasks of the rows it lost.
struct WrittenRow {
  qint64 offset = 0;
  QString task;
  bool operator==(const WrittenRow&) const = default;
};

struct ContextFile {
  std::optional<QueueRecord> current;   // the checkpoint this file was written for
  std::optional<QueueRecord> previous;  // the last one whose queue reached the disk before it
  FailedRuns failedRuns;                // of the tasks of both queues
  QList<WrittenRow> rows;               // the rows of the current record's result file
};

// Digest of a queue file's bytes, as the context file names it.
QString QueueHash(const QByteArray& listsBytes);
// The same digest for the file the lines make (Utf8FileBytes), without making the file.
QString QueueHashOfLines(const QStringList& lines);

// Entry lines for tasks: a type letter and the fields, TAB-separated, with backslash, TAB,
// CR, LF and NUL escaped. Only entries that some task needs, each once over all the tasks
// given to one writer; each line goes to `out` as soon as it is made, so a large context is
// never held whole. Lines are handed over as UTF-8, made from the lists' own bytes: the
// cards are never turned into text to be written.
class ContextEntryWriter {
 public:
  ContextEntryWriter(const RunData& run, std::function<void(const QByteArray& utf8Line)> out)
      : run_(run), out_(std::move(out)) {}
  void AddTasks(const QStringList& tasks);

 private:
  void Add(const QString& letter, QSet<QString>& seen, const KeyValueList& list, const QString& key);

  const RunData& run_;
  std::function<void(const QByteArray&)> out_;
  QSet<QString> regions_, orgRegions_, cards_;
};


// The file's parts as lines: the format tag, then the records; and one line of the runs a
// task failed in (written after the entries).
QStringList ContextHeadLines(const std::optional<QueueRecord>& current, const std::optional<QueueRecord>& previous);
QString FailedRunsLine(const QString& task, int runs);
QString WrittenRowLine(const WrittenRow& row);

// The file read a line at a time (a format tag first, then the records, then the entries),
// the entry lines handed to `entry` as they come, so that a large file is never held as a
// list. Unknown or damaged lines are skipped; a file of the first format has entries only.
class ContextFileReader {
 public:
  explicit ContextFileReader(std::function<void(const QString& entryLine)> entry) : entry_(std::move(entry)) {}
  void Line(const QString& line);
  // The records, the failed runs and the rows (no entries: they went to `entry`).
  ContextFile TakeFile() { return std::move(file_); }

 private:
  std::function<void(const QString&)> entry_;
  ContextFile file_;
  qsizetype lines_ = 0;
  int format_ = 0;  // of the first line: 2 records and entries, 1 entries only, 0 not ours
};

// The lines of the harvest under way (letter "H"), written after the records; a program that
// does not know the letter skips them, and a file without them loads as before.
QStringList HarvestLines(const HarvestUnderWay& harvest);

// Adds an entry line to RegionNames, OrgRegions or OrgCards, or a harvest line to Harvest;
// false for a line that is none.
bool LoadJobContextEntry(const QString& line, RunData& run);
