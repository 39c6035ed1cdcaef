#pragma once
// The log file a run leaves beside its results: the view's lines and a closing line that
// names the file, in the ANSI code page, each line ended by CR LF, written whole or not at all.

#include <QString>

#include "harvest/jobview.h"
#include "platform/fileoutcome.h"

FileOutcome WriteLogFile(JobView& view, const QString& path, const QString& closing);

class LogFile {
 public:
  // dir: the folder of the results, ending in '/'.
  explicit LogFile(QString dir) : dir_(std::move(dir)) {}

  // Writes the run's log to a new "log-<tick count>.txt". The line the view shows last: the
  // file's own closing line once the file holds it, otherwise why the log was not written.
  QString Write(JobView& view) const;

 private:
  QString dir_;
};
