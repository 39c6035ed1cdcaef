#pragma once
// What becomes of a task that did not succeed: kept for the next run until it has ended
// kMaxFailedRuns runs in a row unfinished, then given up for good and named in the list
// beside the results. The counts come with a resumed queue and go with every saved one.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "harvest/handlers.h"
#include "harvest/job_context.h"

// A task given up for good, for the list beside the results.
struct GivenUpTask {
  QString task;
  QString reason;
};

class TaskFates {
 public:
  // Runs in a row after which an unfinished task leaves the queue.
  static constexpr int kMaxFailedRuns = 3;

  // The counts a resumed queue came with.
  void SetFailedRuns(FailedRuns runs) { failedRuns_ = std::move(runs); }
  const FailedRuns& FailedRunCounts() const { return failedRuns_; }

  // A task that did not succeed. `why` says why its answer could not be used, or why the
  // request failed; logWhy: `why` is a handler's text, not yet in the log. The line for the
  // log, or empty.
  QString Unfinished(const QString& task, const QString& why, bool logWhy);
  // What a handler made of a successful answer: a task whose answer could not be used is
  // Unfinished; one whose tasks did not fit the queue is kept without a failed run. The line
  // for the log, or empty.
  QString AfterAnswer(const QString& task, const HandlerResult& handled);
  // A task that will never succeed leaves the queue for the list beside the results. The
  // line for the log: `logText` and where the task went.
  QString GiveUp(const QString& task, const QString& why, const QString& logText);

  // Tasks kept for the next run, in the order they failed.
  const QStringList& Kept() const { return kept_; }
  QStringList TakeKept();
  // Given up and not yet handed to the store that lists them.
  const QList<GivenUpTask>& GivenUp() const { return givenUp_; }
  void GivenUpListed() { givenUp_.clear(); }
  // Tasks given up in this run.
  qsizetype Dropped() const { return dropped_; }

 private:
  QStringList kept_;
  FailedRuns failedRuns_;
  QList<GivenUpTask> givenUp_;
  qsizetype dropped_ = 0;
  // Tasks counted, and given up, in this run: a copy of either is not counted again.
  QSet<QString> countedInRun_;
  QSet<QString> givenUpInRun_;
};
