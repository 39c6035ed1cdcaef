#include "harvest/taskfates.h"

#include "harvest/runstore.h"
#include "portal/api.h"

QString TaskFates::Unfinished(const QString& task, const QString& why, bool logWhy) {
  // A task queued twice fails twice in a run. Its copy goes where the first went: gone with
  // it when it was given up (listed once), kept with it otherwise, counted once per run.
  if (givenUpInRun_.contains(task)) return {};
  const bool counted = countedInRun_.contains(task);
  // Counted over the runs: a portal that answers the same way every time would otherwise
  // bring the task back at every start for ever.
  const int runs = failedRuns_.value(task, 0) + (counted ? 0 : 1);
  if (runs >= kMaxFailedRuns)
    return GiveUp(task, why,
                  (logWhy ? why + QStringLiteral(", задача") : QStringLiteral("Задача")) +
                      QStringLiteral(" не выполнена %1 запуска подряд").arg(runs));
  countedInRun_.insert(task);
  failedRuns_.insert(task, runs);
  kept_.append(task);
  if (!logWhy) return {};
  return why + QStringLiteral(", задача сохранена для следующего запуска: ") + PrintableValue(task, 300);
}

QString TaskFates::AfterAnswer(const QString& task, const HandlerResult& handled) {
  // An answer that could not be used is named in the log and, once, fetched again by the
  // next run.
  if (handled.unusable) return Unfinished(task, handled.logText, true);
  if (handled.queueFull) {
    kept_.append(task);
    return handled.logText + QStringLiteral(", задача сохранена для следующего запуска: ") + PrintableValue(task, 300);
  }
  return handled.logText;
}

QString TaskFates::GiveUp(const QString& task, const QString& why, const QString& logText) {
  if (givenUpInRun_.contains(task)) return {};
  givenUpInRun_.insert(task);
  // A copy kept earlier in this run goes with it.
  if (countedInRun_.contains(task)) kept_.removeAll(task);
  ++dropped_;
  failedRuns_.remove(task);
  givenUp_.append({task, why});
  return logText + QStringLiteral(", перенесена в ") + RunStore::GivenUpFileName() + QStringLiteral(": ") +
         PrintableValue(task, 300);
}

QStringList TaskFates::TakeKept() {
  QStringList kept = std::move(kept_);
  kept_.clear();
  return kept;
}
