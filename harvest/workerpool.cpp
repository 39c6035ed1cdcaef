#include "harvest/workerpool.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <chrono>

#include "portal/api.h"

void WorkerPool::Open(LogSink* view) {
  lists_ = std::make_shared<TWorkerLists>();
  lists_->Log.Open(view);
}

std::unique_lock<std::mutex> WorkerPool::Lock() { return std::unique_lock<std::mutex>(lists_->JobLock); }

qsizetype WorkerPool::Running() const { return lists_->RunningList.size(); }

bool WorkerPool::Idle() const { return lists_->RunningList.isEmpty() && lists_->FinishedList.isEmpty(); }

QString WorkerPool::Dispatch(Start start) {
  // Taken apart once here: the worker sends from the parts and hands them back.
  TaskParts parts = ParseTask(start.task);
  auto* worker = new TScrapingThread();
  worker->url = start.task;
  worker->Code = parts.kind;
  worker->Parts = std::move(parts);
  worker->GetAdditional = start.getAdditional;
  worker->LogsMemo = &lists_->Log;
  worker->lists = lists_;
  worker->settings = std::move(start.fetch);
  {
    std::lock_guard<std::mutex> lock(lists_->JobLock);
    lists_->RunningList.append(worker);
  }
  inFlight_.push_back({worker, start.task});
  if (start.beforeStart) start.beforeStart(*worker);
  worker->start();
  if (worker->isRunning() || worker->isFinished()) return {};
  // The thread could not be created: it would never leave RunningList and the loop would
  // wait for it for ever.
  {
    std::lock_guard<std::mutex> lock(lists_->JobLock);
    lists_->RunningList.removeOne(worker);
  }
  return QStringLiteral("не удалось запустить поток для задачи %1").arg(start.task);
}

std::optional<WorkerPool::Handover> WorkerPool::TakeFinished() {
  if (lists_->FinishedList.isEmpty()) return std::nullopt;
  TScrapingThread* worker = lists_->FinishedList.takeFirst();
  Handover handover;
  handover.worker = worker;
  handover.refused = worker->refused;
  WorkerOutcome& outcome = handover.outcome;
  outcome.Code = worker->Code;
  outcome.result = worker->result;
  outcome.url = worker->url;
  outcome.statusText = worker->statusText;
  // The worker is deleted once its answer is dealt with: its answers are moved out, not copied.
  outcome.html = std::move(worker->html);
  outcome.html2 = std::move(worker->html2);
  outcome.regionguid = worker->regionguid;
  outcome.regionguid2 = worker->regionguid2;
  outcome.orgguid = worker->orgguid;
  if (worker->Parts) outcome.task = worker->Parts->text;
  const auto entry = std::find_if(inFlight_.begin(), inFlight_.end(),
                                  [worker](const InFlight& f) { return f.worker == worker; });
  handover.task = entry != inFlight_.end() ? entry->task : outcome.url;
  return handover;
}

void WorkerPool::Done(const Handover& handover) {
  const auto entry = std::find_if(inFlight_.begin(), inFlight_.end(),
                                  [&](const InFlight& f) { return f.worker == handover.worker; });
  if (entry != inFlight_.end()) inFlight_.erase(entry);
  handover.worker->Abort();
  delete handover.worker;  // it has handed itself over: its thread is at its end
}

QStringList WorkerPool::InFlightTasks() const {
  QStringList tasks;
  tasks.reserve(qsizetype(inFlight_.size()));
  for (const InFlight& f : inFlight_) tasks.append(f.task);
  return tasks;
}

QStringList WorkerPool::RecoverInFlight() {
  QStringList tasks = InFlightTasks();
  for (const InFlight& f : inFlight_) {
    f.worker->Abort();
    abandoned_.push_back(f.worker);
  }
  inFlight_.clear();
  return tasks;
}

void WorkerPool::Reap(int waitMs) {
  // Aborted workers end within about a second; a worker that somehow does not is left to
  // run down rather than deleted while running (it holds the shared lists itself).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (TScrapingThread* worker : abandoned_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (worker->wait(QDeadlineTimer(std::max<qint64>(left.count(), 0)))) {
      // Its hand-over under JobLock was its last act: taking the lock once orders that
      // hand-over before the delete, also for tools that cannot see the thread's join.
      { std::lock_guard<std::mutex> lock(lists_->JobLock); }
      delete worker;
    }
  }
  abandoned_.clear();
  if (lists_) lists_->Log.Close();
  lists_.reset();
}
