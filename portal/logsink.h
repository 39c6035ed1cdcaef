#pragma once
// Where log lines go. The window implements it by adding the line on its own thread while
// the caller waits; tests implement it with a recorder.

#include <QString>

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Adds one complete log line (time stamp included) to the log view.
  virtual void AddLogLine(const QString& line) = 0;
};
