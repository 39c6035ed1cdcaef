#include "harvest/taskfates.h"

#include "harvest/runstore.h"
#include "portal/api.h"

QString TaskFates::Unfinished(const QString& task, const QString& why, bool logWhy) {
  // Counted over the runs: a portal that answers the same way every time would otherwise
  // bring the task back at every start for ever.
  const int runs = failedRuns_.value(task, 0) + 1;
  if (runs >= kMaxFailedRuns)
    return GiveUp(task, why,
                  (logWhy ? why + QStringLiteral(", задача") : QStringLiteral("Задача")) +
                      QStringLiteral(" не выполнена %1 запуска подряд").arg(runs));
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
