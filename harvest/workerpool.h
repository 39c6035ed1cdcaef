#pragma once
// The job's workers: starting one for a task, taking a finished one's answer, giving the
// tasks still in the workers' hands back, and ending the workers that were told to give up.
// It knows nothing of the queue or the handlers: it takes a task and hands back what the
// worker made of it.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "harvest/rundata.h"
#include "platform/logsink.h"
#include "portal/scrapingthread.h"

class WorkerPool {
 public:
  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The shared lists for a new run; the workers' log lines go to `view` until Reap.
  void Open(LogSink* view);

  // JobLock: held while the job reads the lists or hands an answer to a handler.
  std::unique_lock<std::mutex> Lock();
  // Under Lock: the number of workers started and not yet finished.
  qsizetype Running() const;
  // Under Lock: no worker running and none waiting to be collected.
  bool Idle() const;

  struct Start {
    QString task;  // as taken from the queue (the worker cuts its own copy)
    bool getAdditional = false;
    FetchSettings fetch;
    std::function<void(TScrapingThread&)> beforeStart;  // tests make a start fail
  };
  // Starts a worker for the task. Empty when it runs; otherwise why not: the task then stays
  // in flight, so it goes back to the queue with the others.
  QString Dispatch(Start start);

  // A finished worker's answer with the task it carried. The worker stays in flight until
  // Done: an error while its answer is handled leaves its task to go back to the queue.
  struct Handover {
    WorkerOutcome outcome;
    QString task;          // as it stood in the queue
    bool refused = false;  // refused without being sent: every later run would refuse it too
    TScrapingThread* worker = nullptr;
  };
  // Under Lock: the first finished worker's answer, moved out of it, if there is one.
  std::optional<Handover> TakeFinished();
  // The answer has been dealt with: the worker leaves the flight and is deleted.
  void Done(const Handover& handover);

  // The tasks still with workers, in dispatch order.
  QStringList InFlightTasks() const;
  // Those tasks taken back: their workers are told to give up at once and are deleted by Reap.
  QStringList RecoverInFlight();
  // Waits up to `waitMs` for the workers told to give up, deletes those that ended, and
  // closes the workers' way to the log: a worker still running from here on logs nowhere.
  void Reap(int waitMs);

 private:
  struct InFlight {
    TScrapingThread* worker;
    QString task;
  };

  std::shared_ptr<TWorkerLists> lists_;
  std::vector<InFlight> inFlight_;           // started and not yet collected, in dispatch order
  std::vector<TScrapingThread*> abandoned_;  // aborted, deleted once ended
};
