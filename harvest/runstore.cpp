#include "harvest/runstore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

#include "harvest/resultfile.h"
#include "harvest/workbook.h"
#include "harvest/workfiles.h"
#include "portal/api.h"
#include "text/textfile.h"

namespace {

const QByteArray kUtf8Mark("\xEF\xBB\xBF");

// A task with a line break would split into two lines of the file, the second one an address
// nobody asked for: such a task is never written.
bool FitsOneLine(const QString& task) {
  return !task.contains(QLatin1Char('\r')) && !task.contains(QLatin1Char('\n')) && !task.contains(QChar(0));
}

QString ShownTask(const QString& task) {
  QString shown = task.left(200);
  shown.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
  shown.replace(QChar(0), QLatin1String("\\0"));
  return shown;
}

// Lines written one by one through an AtomicFile: a large file is never held whole.
class LineWriter {
 public:
  LineWriter(const QString& path, const SyncCall& sync) : file_(path) { file_.SetSyncCall(sync); }
  FileOutcome Open() {
    FileOutcome opened = file_.Open();
    return opened ? file_.Write(kUtf8Mark) : opened;
  }
  void Line(const QString& line) { Utf8Line(line.toUtf8()); }
  // A failed write is kept by the file and given by Commit().
  void Utf8Line(const QByteArray& line) {
    static_cast<void>(file_.Write(line));
    static_cast<void>(file_.Write("\r\n", 2));
  }
  FileOutcome Commit() { return file_.Commit(); }

 private:
  AtomicFile file_;
};

}  // namespace

RunStore::RunStore(QString dir, Logger log, RunStoreHooks hooks)
    : dir_(std::move(dir)), log_(std::move(log)), hooks_(std::move(hooks)) {}

QString RunStore::Path(const char* name) const { return dir_ + QString::fromUtf8(name); }

bool RunStore::HasSavedQueue() const { return SavedQueueExists(dir_); }

bool RunStore::SavedQueueExists(const QString& dir) { return QFileInfo::exists(dir + QLatin1String(kListsFile)); }

std::optional<ResumePlan> RunStore::LoadResumePlan() {
  const QString listsPath = Path(kListsFile);
  QByteArray listsBytes;
  ResumePlan plan;
  TextReadLoss listsLoss;
  if (const FileOutcome read = ReadTextLinesReporting(listsPath, &plan.queue, &listsLoss, &listsBytes); !read) {
    // Saving anything over it would lose the leftovers: keep the files as they are.
    log_(QStringLiteral("Ошибка: ") + CannotOpenFileMessage(listsPath, read.reason) +
         QStringLiteral(" Работа не начата, файл оставлен без изменений."));
    return std::nullopt;
  }
  if (listsLoss.Any()) {
    // The next save replaces the file with what could be read: the damaged one is kept.
    const QString kept = listsPath + QStringLiteral(".damaged");
    QFile::remove(kept);
    log_(TextLossMessage(listsPath, listsLoss) +
         (QFile::copy(listsPath, kept) ? QStringLiteral("; копия файла сохранена в ") + QDir::toNativeSeparators(kept)
                                        : QString()));
  }

  const QString allKnownPath = Path(kAllKnownFile);
  if (!QFileInfo::exists(allKnownPath)) {
    log_(QStringLiteral("Файл allknown.dat не найден, список регионов прошлого запуска пуст"));
  } else {
    QStringList keys;
    if (const FileOutcome read = ReadTextLines(allKnownPath, &keys)) {
      for (const QString& key : keys) plan.allKnown.Add(key);
    } else {
      plan.allKnownReadable = false;
      saveAllKnown_ = false;
      log_(QStringLiteral("Ошибка: ") + CannotOpenFileMessage(allKnownPath, read.reason));
    }
  }

  // The context is a help, not a must: without it rows get empty region and card columns.
  // It belongs to this queue only if it names the queue's digest, as its own checkpoint or
  // as the one before (a kill between the two files leaves the older queue).
  const QString contextPath = Path(kContextFile);
  if (QFileInfo::exists(contextPath)) {
    // Read a line at a time, the entries straight into the lists they fill: a country's
    // context is never held as text besides them. They are kept only if the file belongs.
    RunData entries;
    ContextFileReader reader([&entries](const QString& line) { LoadJobContextEntry(line, entries); });
    TextReadLoss contextLoss;
    if (const FileOutcome read =
            ReadTextLinesEach(contextPath, [&reader](const QString& line) { reader.Line(line); }, &contextLoss)) {
      if (contextLoss.Any()) log_(TextLossMessage(contextPath, contextLoss));
      ContextFile context = reader.TakeFile();
      const QString hash = QueueHash(listsBytes);
      if (context.current && context.current->queueHash == hash)
        plan.interrupted = context.current;
      else if (context.previous && context.previous->queueHash == hash)
        plan.interrupted = context.previous;
      if (!plan.interrupted && (context.current || context.previous)) {
        log_(QStringLiteral("Файл context.dat относится к другой очереди, продолжаем без него"));
      } else {
        plan.context.RegionNames = std::move(entries.RegionNames);
        plan.context.OrgRegions = std::move(entries.OrgRegions);
        plan.context.OrgCards = std::move(entries.OrgCards);
        plan.context.Harvest = std::move(entries.Harvest);
        plan.failedRuns = std::move(context.failedRuns);
        // The rows belong to the file of the current record; without a readable one their
        // file is not known.
        if (plan.interrupted && context.current && plan.interrupted->resultFile == context.current->resultFile)
          plan.writtenRows = std::move(context.rows);
      }
    } else {
      log_(QStringLiteral("Файл context.dat не прочитан, продолжаем без него: ") + read.reason);
    }
  }
  if (plan.interrupted) {
    committed_ = Committed{*plan.interrupted, plan.queue};
    listedKept_ = plan.interrupted->givenUpLines;
  }
  Moment("plan:read");
  return plan;
}

FileOutcome RunStore::WriteLines(const QString& path, const QStringList& lines) {
  LineWriter out(path, hooks_.sync);
  if (FileOutcome opened = out.Open(); !opened) return opened;
  for (const QString& line : lines) out.Line(line);
  return out.Commit();
}

FileOutcome RunStore::WriteContext(const QString& hash, const QueueRecord& record, const QStringList& queue,
                                   const RunData& data, const FailedRuns& failedRuns,
                                   const QList<WrittenRow>& rows) {
  QueueRecord current = record;
  current.queueHash = hash;
  std::optional<QueueRecord> previous;
  if (committed_) previous = committed_->record;

  LineWriter out(Path(kContextFile), hooks_.sync);
  if (FileOutcome opened = out.Open(); !opened) return opened;
  for (const QString& line : ContextHeadLines(current, previous)) out.Line(line);
  for (const QString& line : HarvestLines(data.Harvest)) out.Line(line);
  ContextEntryWriter entries(data, [&out](const QByteArray& line) { out.Utf8Line(line); });
  entries.AddTasks(queue);
  if (committed_) entries.AddTasks(committed_->queue);
  // The counts of the tasks of both queues, each once.
  QSet<QString> counted;
  const auto counts = [&](const QStringList& tasks) {
    for (const QString& task : tasks) {
      const auto it = failedRuns.constFind(task);
      if (it == failedRuns.cend() || counted.contains(task)) continue;
      counted.insert(task);
      out.Line(FailedRunsLine(task, it.value()));
    }
  };
  if (!failedRuns.isEmpty()) {
    counts(queue);
    if (committed_) counts(committed_->queue);
  }
  // Only rows the record counts: they are on the disk.
  for (const WrittenRow& row : rows)
    if (row.offset < record.resultLength) out.Line(WrittenRowLine(row));
  return out.Commit();
}

bool RunStore::SaveCheckpoint(const CheckpointSnapshot& snapshot) {
  const QStringList& tasks = snapshot.queue;
  const RunData& data = *snapshot.data;
  ResultFile* result = snapshot.result;
  const bool atEnd = snapshot.atEnd;
  Moment("checkpoint:begin");
  QStringList queue;
  queue.reserve(tasks.size());
  for (const QString& task : tasks) {
    if (FitsOneLine(task))
      queue.append(task);
    else
      log_(QStringLiteral("Ошибка: задача с переводом строки не сохранена: ") + ShownTask(task));
  }

  // The record names only rows that are on the disk: a power cut cannot take them back. A
  // failed sync is tried again by the next checkpoint.
  QueueRecord record;
  if (result) {
    if (const FileOutcome synced = result->Sync(hooks_.sync); !synced) {
      log_(QStringLiteral("Ошибка: состояние не сохранено: файл результатов %1 не записан на диск: %2")
               .arg(QDir::toNativeSeparators(result->Path()), synced.reason));
      return false;
    }
    record.resultFile = QFileInfo(result->Path()).fileName();
    record.resultLength = result->Size();
  }
  Moment("checkpoint:synced");

  // Given-up tasks reach their list before the queue that no longer holds them; those the
  // list could not take stay in the queue.
  if ((!unlisted_.isEmpty() || listedLines_ < 0) && !ListGivenUp())
    for (const GivenUpTask& t : unlisted_)
      if (FitsOneLine(t.task)) queue.append(t.task);
  record.givenUpLines = listedLines_ >= 0 ? listedLines_ : listedKept_;
  Moment("checkpoint:listed");

  if (saveAllKnown_ && (atEnd || !allKnownSaved_)) {
    const QString allKnownPath = Path(kAllKnownFile);
    if (const FileOutcome written = WriteLines(allKnownPath, data.AllKnownList.Items()))
      allKnownSaved_ = true;
    else
      log_(QStringLiteral("Ошибка: ") + CannotCreateFileMessage(allKnownPath, written.reason));
    Moment("checkpoint:allknown-written");
  }

  // The context first: it names both this queue and the one still on the disk, so a kill
  // between the two files leaves a pair that fits.
  const QString hash = QueueHashOfLines(queue);
  const QString contextPath = Path(kContextFile);
  if (const FileOutcome written = WriteContext(hash, record, queue, data, snapshot.failedRuns, snapshot.rows); !written) {
    log_(QStringLiteral("Ошибка: очередь не сохранена: ") + CannotCreateFileMessage(contextPath, written.reason));
    return false;
  }
  Moment("checkpoint:context-written");
  const QString listsPath = Path(kListsFile);
  if (const FileOutcome written = WriteLines(listsPath, queue); !written) {
    log_(QStringLiteral("Ошибка: очередь не сохранена: ") + CannotCreateFileMessage(listsPath, written.reason));
    return false;
  }
  Moment("checkpoint:queue-written");
  record.queueHash = hash;
  committed_ = Committed{record, std::move(queue)};
  return true;
}

bool RunStore::AddGivenUp(const QList<GivenUpTask>& tasks) {
  unlisted_ += tasks;
  return ListGivenUp();
}

bool RunStore::ListGivenUp() {
  const QString path = dir_ + GivenUpFileName();
  QStringList lines;
  if (QFileInfo::exists(path)) {
    if (const FileOutcome read = ReadTextLines(path, &lines); !read) {
      // Said when there is something to list: a checkpoint that only counts stays quiet.
      if (!unlisted_.isEmpty()) log_(QStringLiteral("Ошибка: ") + CannotOpenFileMessage(path, read.reason));
      return false;
    }
  }
  // Lines past the record of the resumed queue name tasks that queue still holds.
  const bool cut = listedKept_ >= 0 && lines.size() > listedKept_;
  if (cut) lines.resize(listedKept_);
  if (unlisted_.isEmpty() && !cut) {
    listedLines_ = lines.size();
    return true;
  }
  if (lines.isEmpty()) lines << QStringLiteral("Задача\tПричина\tДата");
  const QString date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  // Each task comes once a run: TaskFates gives a task queued twice up once.
  for (const GivenUpTask& t : unlisted_)
    lines << PrintableValue(t.task, 2000) + QLatin1Char('\t') + PrintableValue(t.reason, 500) + QLatin1Char('\t') + date;
  if (const FileOutcome written = WriteLines(path, lines); !written) {
    log_(QStringLiteral("Ошибка: ") + CannotCreateFileMessage(path, written.reason) +
         QStringLiteral("; задачи (%1) остаются в очереди").arg(unlisted_.size()));
    return false;
  }
  unlisted_.clear();
  listedLines_ = lines.size();
  listedKept_ = -1;
  return true;
}

std::optional<RunStore::LeftHarvest> RunStore::CompletedHarvestLeft(const QString& dir) {
  const QString listsPath = dir + QLatin1String(kListsFile);
  QStringList queue;
  QByteArray listsBytes;
  TextReadLoss loss;
  if (!QFileInfo::exists(listsPath) || !ReadTextLinesReporting(listsPath, &queue, &loss, &listsBytes) || loss.Any())
    return std::nullopt;
  if (std::any_of(queue.cbegin(), queue.cend(), [](const QString& task) { return !task.trimmed().isEmpty(); }))
    return std::nullopt;
  RunData entries;
  ContextFileReader reader([&entries](const QString& line) { LoadJobContextEntry(line, entries); });
  TextReadLoss contextLoss;
  if (!ReadTextLinesEach(dir + QLatin1String(kContextFile), [&reader](const QString& line) { reader.Line(line); },
                         &contextLoss) ||
      contextLoss.Any())
    return std::nullopt;
  const ContextFile context = reader.TakeFile();
  // Only the context saved with this very queue: an older one may name a harvest under way.
  if (!context.current || context.current->queueHash != QueueHash(listsBytes) || !entries.Harvest.Known())
    return std::nullopt;
  return LeftHarvest{std::move(entries.Harvest), QFileInfo(listsPath).lastModified()};
}

FileOutcome RunStore::DiscardSavedWork(const QString& dir) {
  const QString lists = dir + QLatin1String(kListsFile);
  if (const FileOutcome removed = RemoveFile(lists); !removed)
    return FileOutcome::Failed(QStringLiteral("Файл %1 не удалён: %2").arg(QDir::toNativeSeparators(lists), removed.reason));
  // The queue is gone first: without it the companions are never read, so one that stays
  // does no harm.
  for (const char* companion : {kAllKnownFile, kContextFile})
    static_cast<void>(RemoveFile(dir + QLatin1String(companion)));
  return SyncFolderOf(lists);
}

namespace {

// A leftover file's lines when it is there: *there says whether, the outcome whether it was read
// (its reason the whole message, naming the file).
FileOutcome ReadLeftover(const QString& path, bool* there, QStringList* lines) {
  *there = QFileInfo::exists(path);
  if (!*there) return FileOutcome::Done();
  FileOutcome read = ReadTextLines(path, lines);
  if (!read) read.reason = CannotOpenFileMessage(path, read.reason);
  return read;
}

}  // namespace

Leftovers RunStore::FindLeftovers(const QString& dir, const QString& baseUrl) {
  Leftovers found;
  QStringList queue, cards;
  found.queueRead = ReadLeftover(dir + QLatin1String(kListsFile), &found.savedQueue, &queue);
  if (found.queueRead) found.runnableTasks = RunnableTasks(queue, baseUrl);
  found.cardsRead = ReadLeftover(dir + QLatin1String(kCardsFile), &found.cardLinks, &cards);
  found.cardLinkCount = cards.size();
  return found;
}

FileOutcome RunStore::DiscardCardLinks(const QString& dir) {
  const QString cards = dir + QLatin1String(kCardsFile);
  if (const FileOutcome removed = RemoveFile(cards); !removed)
    return FileOutcome::Failed(QStringLiteral("Файл %1 не удалён: %2").arg(QDir::toNativeSeparators(cards), removed.reason));
  return SyncFolderOf(cards);
}

qsizetype RunStore::RunnableTasks(const QStringList& queue, const QString& baseUrl) {
  // A blank task, which the job skips, is refused by the rule as well.
  return std::count_if(queue.cbegin(), queue.cend(),
                       [&](const QString& task) { return TaskRefusal(ParseTask(task), baseUrl).isEmpty(); });
}
