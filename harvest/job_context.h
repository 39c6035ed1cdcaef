#pragma once
// The context a saved queue needs to give the same rows as an uninterrupted run: the region
// names of its region tasks and the organisations' regions and card columns of its
// organisation tasks; and the record that ties the queue to the rows already written, so
// that a run continued after a crash writes every row exactly once. Saved as "context.dat"
// beside "lists.dat" at every checkpoint, loaded by a resumed run.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

#include "harvest/rundata.h"

// One checkpoint as the context file records it.
struct QueueRecord {
  QString queueHash;         // QueueHash() of the "lists.dat" bytes saved with it
  QString resultFile;        // name of the run's result file beside the executable
  qint64 resultLength = -1;  // its bytes on the disk when the queue was saved
};

struct ContextFile {
  std::optional<QueueRecord> current;   // the checkpoint this file was written for
  std::optional<QueueRecord> previous;  // the last one whose queue reached the disk before it
  QStringList entries;                  // entry lines (JobContextEntries), for both queues
};

// Digest of a queue file's bytes, as the context file names it.
QString QueueHash(const QByteArray& listsBytes);

// Entry lines for the tasks: a type letter and the fields, TAB-separated, with backslash,
// TAB, CR, LF and NUL escaped. Only entries that some task still needs, each once.
QStringList JobContextEntries(const RunData& run, const QStringList& tasks);

// The file's lines (a format tag first, then the records, then the entries) and back.
// Unknown or damaged lines are skipped; a file of the first format has entries only.
QStringList ContextFileLines(const ContextFile& file);
ContextFile ParseContextFile(const QStringList& lines);

// Adds entry lines to RegionNames, OrgRegions and OrgCards. Returns the number taken.
int LoadJobContextEntries(const QStringList& entries, RunData& run);

// A whole file for the tasks, without records; and the entries of a file into the lists.
QStringList JobContextLines(const RunData& run, const QStringList& tasks);
int LoadJobContextLines(const QStringList& lines, RunData& run);
