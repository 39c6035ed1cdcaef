#pragma once
// The harvest job: one run, on its own thread. It plans the first tasks, works the queue on
// a pool of fetch workers, hands answers to the handlers, writes the result file and, at
// every end, saves what is left so that the next run continues from it.

#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "harvest/job_context.h"
#include "harvest/jobview.h"
#include "harvest/logfile.h"
#include "harvest/rundata.h"
#include "harvest/runstore.h"
#include "harvest/taskfates.h"
#include "harvest/workerpool.h"
#include "portal/scrapingthread.h"
#include "platform/fileoutcome.h"

struct HarvestSettings {
  QString dir;              // folder of the working files and results, ending in '/'
  FetchSettings fetch;      // what the workers need (base address included)
  int passWaitMs = 10;      // end of every pass, after every start and every collection
  int errorPauseMs = 30000; // the automatic pause after an error in the loop
  bool openWorkbook = true; // hand the finished workbook to the desktop's default handler
  bool deleteWhenDone = true;  // deleteLater once the body has returned; tests own the job instead
  int abortWaitMs = 5000;      // how long the end waits for aborted workers before leaving them
  // Called on the job thread, under JobLock, before the handler of every successful answer.
  // Lets tests make a pass fail; the program leaves it empty.
  std::function<void(const WorkerOutcome&)> beforeHandler;
  // Called on the job thread for every worker just before it is started. Lets tests make a
  // start fail; the program leaves it empty.
  std::function<void(TScrapingThread&)> beforeStart;
  // Called by the window for the job just before it is started (tests make the start fail).
  std::function<void(QThread&)> beforeJobStart;
  // How often the run's state is saved while the loop goes on (once the plan is made and at
  // every end it is saved anyway).
  int checkpointIntervalMs = 60000;
  // Called on the job thread at named moments of saving and of the end (for example
  // "checkpoint:context-written"); tests kill the process there. Empty in the program.
  std::function<void(const char* moment)> moment;
  // Every sync of the saved state and of the result file goes through it (see SyncCall);
  // tests note what reached the disk or make a sync fail. Empty in the program.
  SyncCall sync;
};

class ResultFile;

class TScraper : public QThread {
 public:
  // Created not yet started; the job deletes itself (deleteLater) once its body has returned
  // and the window has been told (JobView::JobEnded).
  TScraper(JobView* view, HarvestSettings settings);
  ~TScraper() override;

  // Run control, called from the window's thread; none of them waits for the job.
  // Hold is refused (false) once the loop is over: the end steps are never held.
  bool Hold();
  void Release();
  bool IsHeld() const { return held_.load(); }
  void RequestStop();  // the terminate request, seen at the start of every pass
  // The terminate request of a program that is being ended (the session's end, a signal):
  // the end steps save the queue and write the log first, and neither make the workbook of a
  // run that will be continued (the next start makes it, as after a kill) nor open it.
  void RequestStopForQuit();
  // The run's state is saved at the next pass instead of when the interval is over; a job
  // held (paused, or in the pause after an error) saves it at once.
  void RequestCheckpoint();
  bool IsEnded() const { return ended_.load(); }

  // Fields of the run.
  QString result;          // "ERROR_" + message once an error has ended the loop
  QString LogMessageText;  // the next line for ShowLogMessage
  bool CursorHourGlass = false;
  int32_t ProgressBarPosition = 0;
  int32_t ProgressBarMax = 0;
  uint32_t timerslastupdated = 0;
  int32_t Limit = 0;
  QString RunEndLine;  // what ShowRunState shows last once the run is over: where its log went

  // Notifications: each runs on the window's thread while the job waits.
  void ShowLogMessage();
  void ShowProgress();
  void ShowCounters();
  // The run's state in the window: busy (CursorHourGlass) or over, with RunEndLine.
  void ShowRunState();
  // The loop's error, from `result`, in the log.
  void ReportJobError();
  // The automatic pause after an error: held, and released by the resume timer.
  void PauseAfterError();
  void ArmResumeTimer();

 protected:
  void run() override;  // Execute

 private:
  void WaitWhileHeld();
  void Log(const QString& text);  // LogMessageText + ShowLogMessage
  void LogIfAny(const QString& text) {
    if (!text.isEmpty()) Log(text);
  }
  void StartUp();
  bool PlanResumed();
  void PlanFresh();
  void ReadSkipList();
  // The interrupted run's result file brought back to its record; false when it cannot be:
  // the run must not start.
  bool RestoreInterruptedRun();
  bool OpenResultFile();
  void RunLoop();
  bool Pass();  // one pass; true once the end has been found
  void Dispatch();
  void Collect();
  // A region's count was taken: one found none is named in the log and counted.
  void NoteRegionCounted(const WorkerOutcome& outcome);
  // A line from TaskFates for the task, with what follows from it.
  void LogFate(const QString& task, qsizetype droppedBefore, const QString& line);
  // Tasks still with workers go back to the front of the queue.
  void RecoverInFlight();
  void EndSteps();
  void ExportResult(bool open);
  // True once "lists.dat" holds the queue the run leaves.
  bool SaveWorkingFiles();
  // The queue as a stop would leave it: tasks in flight first, then the queue, failed last.
  QStringList QueueAsAtStop() const;
  void MaybeCheckpoint();
  // Saves the queue, its context and the record of the result file; true once "lists.dat"
  // holds the queue. Never under JobLock.
  bool SaveCheckpoint(const QStringList& queue, bool atEnd);
  void Moment(const char* name) const {
    if (settings_.moment) settings_.moment(name);
  }
  QString Path(const char* name) const { return settings_.dir + QString::fromUtf8(name); }

  JobView* view_;
  HarvestSettings settings_;
  RunData data_;

  std::atomic<bool> held_{false};
  bool loopOver_ = false;  // guarded by holdMutex_
  std::atomic<bool> stop_{false};
  std::atomic<bool> quitting_{false};  // the stop is the program's end
  std::atomic<bool> ended_{false};
  std::atomic<bool> checkpointSoon_{false};
  std::mutex holdMutex_;  // guards only the hold condition, never taken with JobLock
  std::condition_variable holdCond_;

  WorkerPool pool_;   // the workers and the tasks in their hands
  TaskFates fates_;   // tasks that did not succeed: kept or given up
  LogFile logFile_;   // where the log goes at the end
  qsizetype putBack_ = 0;                    // in-flight tasks returned to the queue
  int regionsCounted_ = 0;                   // region counts taken in this run
  int regionsWithNone_ = 0;                  // of them, the ones that found no organisation
  bool getAdditional_ = false;
  bool runLoop_ = true;       // false when start-up could not prepare the run
  bool queueLoaded_ = false;  // the plan is complete: only then may the working files change

  RunStore store_;  // the saved state: working files and the record of the result file
  std::optional<QueueRecord> interrupted_;  // the record a resumed queue came with
  QList<WrittenRow> interruptedRows_;       // and the rows its result file should hold
  QList<WrittenRow> writtenRows_;           // the rows of this run's result file
  std::chrono::steady_clock::time_point lastCheckpoint_;
  QString tabPath_;
  QString xlsxPath_;
  std::unique_ptr<ResultFile> resultFile_;
};
