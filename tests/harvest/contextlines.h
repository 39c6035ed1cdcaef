#pragma once
// The context file's lines as tests build and read them, through the writer and the reader
// the run itself uses.

#include <QStringList>

#include "harvest/job_context.h"

// The entry lines the tasks need.
inline QStringList EntryLines(const RunData& run, const QStringList& tasks) {
  QStringList lines;
  ContextEntryWriter writer(run, [&lines](const QByteArray& line) { lines << QString::fromUtf8(line); });
  writer.AddTasks(tasks);
  return lines;
}

// Reads the lines as a resumed run does: the entries into `run`, the rest into *file. The
// number of entries taken.
inline int ReadContextLines(const QStringList& lines, RunData& run, ContextFile* file = nullptr) {
  int taken = 0;
  ContextFileReader reader([&](const QString& line) {
    if (LoadJobContextEntry(line, run)) ++taken;
  });
  for (const QString& line : lines) reader.Line(line);
  if (file) *file = reader.TakeFile();
  return taken;
}
