#pragma once
// What a file operation reports: done, or why not. The reason reaches the log and message
// boxes as it is: the system's own text where the system gives one, otherwise the program's
// own words in Russian.

#include <QString>
#include <utility>

struct FileOutcome {
  bool ok = false;
  QString reason;  // empty when ok

  static FileOutcome Done() { return {true, {}}; }
  static FileOutcome Failed(QString why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};
