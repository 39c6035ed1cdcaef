#pragma once
// The saved state of a run, in one place: the queue a run leaves ("lists.dat"), the region
// keys it was started with ("allknown.dat"), the context the queue needs with the record of
// the result file ("context.dat"), and the list of tasks given up for good. Whatever kills
// the process between two of its writes, the files on the disk fit together:
//   - the record names only result bytes that were synced before it was written;
//   - "context.dat" is written before "lists.dat" and names both the new queue and the one
//     still on the disk, so either queue finds its context and its record;
//   - a resumed run cuts the result file back to its record on a row's end, and removes a
//     workbook that may hold the cut rows before it cuts (ResultFile::RestoreInterrupted).

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "harvest/job_context.h"
#include "harvest/rundata.h"
#include "harvest/taskfates.h"
#include "platform/atomicfile.h"

class ResultFile;

struct RunStoreHooks {
  // Called at named moments between the writes ("checkpoint:context-written", ...); tests
  // kill the process there or look at the files. Empty in the program.
  std::function<void(const char* moment)> moment;
  // Every sync of the store's files and of the result file goes through it (see SyncCall).
  SyncCall sync;
};

// What a saved queue brings to the run that continues it.
struct ResumePlan {
  QStringList queue;
  SortedUniqueList allKnown;
  bool allKnownReadable = true;  // false: an "allknown.dat" that exists could not be read
  RunData context;               // RegionNames, OrgRegions and OrgCards the queue needs
  FailedRuns failedRuns;         // runs in a row each saved task ended unfinished
  std::optional<QueueRecord> interrupted;  // the record that came with this very queue
  QList<WrittenRow> writtenRows;  // the rows the record's result file should hold
};

// One checkpoint of the run, as the job hands it over to be saved. The lists share their
// contents with the job's own.
struct CheckpointSnapshot {
  QStringList queue;
  const RunData* data = nullptr;  // its region keys and the context the queue needs
  ResultFile* result = nullptr;   // the run's result file, if it has one
  FailedRuns failedRuns;          // runs in a row each queued task ended unfinished
  bool atEnd = false;             // the run's last checkpoint
  QList<WrittenRow> rows;         // the rows of the result file so far, with their tasks
};

// What the start finds left by an earlier run.
struct Leftovers {
  bool savedQueue = false;                      // "lists.dat" is there
  FileOutcome queueRead = FileOutcome::Done();  // failed: it could not be read
  qsizetype runnableTasks = 0;                  // of its tasks, those a run would still send
  bool cardLinks = false;                       // "cards.dat" of an earlier version is there
  FileOutcome cardsRead = FileOutcome::Done();
  qsizetype cardLinkCount = 0;
};

class RunStore {
 public:
  using Logger = std::function<void(const QString& message)>;

  // dir: the folder of the working files, ending in '/'. Messages go to `log`.
  RunStore(QString dir, Logger log, RunStoreHooks hooks = {});

  bool HasSavedQueue() const;
  static bool SavedQueueExists(const QString& dir);

  // What the window asks about before a start: the saved queue and the card links of an
  // earlier version, with how many of their tasks are left.
  static Leftovers FindLeftovers(const QString& dir, const QString& baseUrl);
  // "Да" to the question about the card links: "cards.dat" removed.
  static FileOutcome DiscardCardLinks(const QString& dir);

  // Reads the saved queue with its region keys and the context that belongs to it. Empty
  // when the queue cannot be read: the files must then stay as they are.
  std::optional<ResumePlan> LoadResumePlan();

  // One checkpoint: the result file synced, then "allknown.dat" (once, and at the end),
  // "context.dat" and "lists.dat", each written whole beside its name and renamed over it.
  // True once "lists.dat" holds the snapshot's queue. A failed step is logged; the next
  // checkpoint tries again from the start.
  bool SaveCheckpoint(const CheckpointSnapshot& snapshot);

  // Tasks given up for good, for the plain list beside the results (task, reason, date). The
  // next checkpoint lists them before it saves the queue that no longer holds them; until
  // the list is written they go on being saved in the queue. A kill between the list and the
  // queue leaves the lines in the list that the record of the queue on the disk does not
  // count: the next list written leaves them out, so no task is listed twice.
  void GiveUp(const QList<GivenUpTask>& tasks) { unlisted_ += tasks; }
  // Lists the tasks now, with those given up before; false with a log line when the list
  // cannot be written (they stay to be listed by the next checkpoint).
  bool AddGivenUp(const QList<GivenUpTask>& tasks);

  // The harvest of a saved queue that is empty (it completed at the end of the last run), as
  // its context holds it, with the time the queue was saved; none when the queue holds tasks
  // or the context does not belong to it. Read before the saved work is discarded: a kill
  // between the empty queue's save and the harvest's note for the history leaves it only here.
  struct LeftHarvest {
    HarvestUnderWay harvest;
    QDateTime saved;
  };
  static std::optional<LeftHarvest> CompletedHarvestLeft(const QString& dir);

  // The window's "Да" to the leftovers question: the saved queue and everything that goes
  // with it are removed. Fails when "lists.dat" stays (the companions then stay too: a later
  // run resumes with everything it needs).
  static FileOutcome DiscardSavedWork(const QString& dir);

  // Tasks of a saved queue that a run would still send: those TaskRefusal lets through.
  static qsizetype RunnableTasks(const QStringList& queue, const QString& baseUrl);

  static QString GivenUpFileName() { return QStringLiteral("failed-tasks.txt"); }

 private:
  void Moment(const char* name) const {
    if (hooks_.moment) hooks_.moment(name);
  }
  QString Path(const char* name) const;
  FileOutcome WriteContext(const QString& hash, const QueueRecord& record, const QStringList& queue,
                           const RunData& data, const FailedRuns& failedRuns, const QList<WrittenRow>& rows);
  FileOutcome WriteLines(const QString& path, const QStringList& lines);
  bool ListGivenUp();

  QString dir_;
  Logger log_;
  RunStoreHooks hooks_;
  bool saveAllKnown_ = true;
  bool allKnownSaved_ = false;
  QList<GivenUpTask> unlisted_;  // given up, not yet in the list
  qint64 listedLines_ = -1;      // lines of the list as last read or written; -1: not yet known
  qint64 listedKept_ = -1;       // lines of it the resumed queue's record counts

  // The last checkpoint whose queue reached "lists.dat": the next context keeps its record
  // and its entries, so it fits whichever queue a kill leaves on the disk. The queue shares
  // its task texts with the job's lists.
  struct Committed {
    QueueRecord record;
    QStringList queue;
  };
  std::optional<Committed> committed_;
};
