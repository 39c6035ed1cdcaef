#pragma once
// The answer handlers: each turns one successful answer into further tasks at the end of
// the queue, into remembered context, or into a result row. They run on the job thread
// under JobLock and never throw for bad answers. An answer they cannot read, or whose counts
// are implausible, queues nothing: they say why, and the job decides what becomes of the task.

#include <QStringList>
#include <functional>
#include <optional>

#include "harvest/rundata.h"

// What a handler made of an answer, for the job to act on.
struct HandlerResult {
  // The answer could not be used (unreadable or implausible): nothing was queued, and the job keeps the task with the unfinished ones or drops
  // it (TaskFates says when), naming the task and its fate after `logText`.
  bool unusable = false;
  // With `unusable` or `queueFull`: why, without the task. Without: a log line (without time
  // stamp) naming the task when part of a readable answer was skipped, or empty.
  QString logText;
  // The answer was good but its tasks did not fit the queue (kMaxPendingTasks): nothing was
  // queued, and the task waits for a later run. The answer is not at fault, so this never
  // counts toward the runs after which a task is given up.
  bool queueFull = false;
  // The answer's tasks are queued (or it needed none): the task is done with.
  bool Settled() const { return !unusable && !queueFull; }
};

// Bounds on what one answer may ask for; past them the answer is taken as implausible.
inline constexpr int64_t kMaxRegionOrganisations = 1000000;
inline constexpr int64_t kMaxOrganisationHouses = 10000000;
// The most tasks the queue holds: an answer that would take it past this waits for a later
// run instead, so that no sequence of answers can exhaust memory.
inline constexpr qsizetype kMaxPendingTasks = 500000;

// The one way a handler queues tasks: `count` tasks, the i-th made by make(i), go to the end
// of the queue, all of them or none. When they would take the queue past kMaxPendingTasks,
// make is never called, nothing is queued and the result is `queueFull`, saying so. make(i)
// may give an empty text: that task is left out. A settled result otherwise.
HandlerResult Enqueue(RunData& run, qsizetype count, const std::function<QString(qsizetype)>& make);

// RegionCount: the bare number of organisations -> one SearchPage task per 100.
HandlerResult HandleRegionCount(RunData& run, const WorkerOutcome& worker);
// SearchPage: each organisation of the page -> an OrgRegions line and an OrgCard task.
HandlerResult HandleSearchPage(RunData& run, const WorkerOutcome& worker);
// OrgCard: the 22 card columns into OrgCards and a HouseCount task.
HandlerResult HandleOrgCard(RunData& run, const WorkerOutcome& worker);
// HouseCount: one HousePage task per 1000 houses (at least one).
HandlerResult HandleHouseCount(RunData& run, const WorkerOutcome& worker);
// HousePage: the 30 fields of the organisation's row for this page into *row, or nothing
// when the answer gives no row. The job writes the row and counts it.
HandlerResult HandleHousePage(const RunData& run, const WorkerOutcome& worker,
                              std::optional<QStringList>* row);
// The row alone: nothing when the answer is not JSON or has no "items" array.
std::optional<QStringList> HousePageRow(const RunData& run, const WorkerOutcome& worker);

// The task a finished worker carried, as it stood in the queue (house tasks get their
// organisation GUID back after the "|||").
QString TaskOf(const WorkerOutcome& worker);
// The result for an answer that cannot be used: keep the task, say why.
HandlerResult KeepTask(const QString& why);
// The same for a JSON answer that gave nothing: `usual` says what was missing, unless the
// answer was too large to be read at all.
HandlerResult KeepUnreadable(const QByteArray& text, const QString& usual);
