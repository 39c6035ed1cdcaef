#include "harvest/scraper.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "harvest/handlers.h"
#include "harvest/harvestend.h"
#include "harvest/job_context.h"
#include "harvest/resultfile.h"
#include "platform/atomicfile.h"
#include "platform/platform.h"
#include "harvest/workbook.h"
#include "harvest/workfiles.h"
#include "portal/api.h"
#include "text/textfile.h"

namespace {

constexpr qsizetype kPendingReserve = 1000000;
constexpr qsizetype kAllKnownReserve = 100000;
constexpr qsizetype kSkipReserve = 1000;
constexpr uint32_t kRefreshIntervalMs = 1000;
constexpr qsizetype kErrorTextLimit = 200;
const QString kErrorPrefix = QStringLiteral("ERROR_");

void Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Nothing but blanks and control characters (U+0000 to U+0020).
bool IsBlankTask(const QString& task) {
  for (QChar c : task)
    if (c.unicode() > 0x20) return false;
  return true;
}

// The run's result for the exception being handled; call only inside a catch block.
QString ErrorResult() {
  return kErrorPrefix + CurrentExceptionText(QStringLiteral("неизвестная ошибка"));
}

// The message of an error result, as much of it as a log line shows.
QString ErrorText(const QString& result) { return result.mid(kErrorPrefix.size(), kErrorTextLimit); }

}  // namespace

TScraper::TScraper(JobView* view, HarvestSettings settings)
    : view_(view),
      settings_(std::move(settings)),
      logFile_(settings_.dir),
      store_(settings_.dir, [this](const QString& message) { Log(message); },
             RunStoreHooks{settings_.moment, settings_.sync}) {
  timerslastupdated = TickCount();
  if (settings_.deleteWhenDone) connect(this, &QThread::finished, this, &QObject::deleteLater);
}

TScraper::~TScraper() {
  // Never destroy a running thread: a job deleted early is told to stop and awaited.
  RequestStop();
  wait();
}

// ---------------------------------------------------------------------------------------
// Run control (window's thread)

bool TScraper::Hold() {
  std::lock_guard<std::mutex> lock(holdMutex_);
  if (loopOver_) return false;
  held_ = true;
  return true;
}

void TScraper::Release() {
  {
    std::lock_guard<std::mutex> lock(holdMutex_);
    held_ = false;
  }
  holdCond_.notify_all();
}

void TScraper::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(holdMutex_);
    stop_ = true;
  }
  requestInterruption();
  holdCond_.notify_all();
}

void TScraper::RequestStopForQuit() {
  quitting_ = true;
  RequestStop();
}

void TScraper::RequestCheckpoint() {
  {
    std::lock_guard<std::mutex> lock(holdMutex_);
    checkpointSoon_ = true;
  }
  holdCond_.notify_all();
}

void TScraper::WaitWhileHeld() {
  std::unique_lock<std::mutex> lock(holdMutex_);
  for (;;) {
    holdCond_.wait(lock, [this] { return !held_.load() || stop_.load() || checkpointSoon_.load(); });
    if (!held_.load() || stop_.load()) return;
    // Asked for while held (the session is ending): saved now, not once the pause is over,
    // which may be too late. Held only between passes, so the lists are whole.
    checkpointSoon_ = false;
    lock.unlock();
    SaveCheckpoint(QueueAsAtStop(), false);
    lastCheckpoint_ = std::chrono::steady_clock::now();
    lock.lock();
  }
}

// ---------------------------------------------------------------------------------------
// Notifications (each a call through the view; the view runs it on the window's thread)

void TScraper::ShowLogMessage() { view_->AddLogLine(LogLine(LogMessageText)); }

void TScraper::Log(const QString& text) {
  LogMessageText = text;
  ShowLogMessage();
}

void TScraper::ShowProgress() {
  if (uint32_t(TickCount() - timerslastupdated) <= kRefreshIntervalMs) return;
  const int32_t maximum = std::max<int32_t>(ProgressBarMax, 0);
  const int32_t position = std::clamp<int32_t>(ProgressBarPosition, 0, maximum);
  view_->SetProgress(maximum, position,
                     QStringLiteral("%1 из %2, осталось %3").arg(position).arg(maximum).arg(maximum - position));
}

void TScraper::ShowCounters() {
  if (uint32_t(TickCount() - timerslastupdated) <= kRefreshIntervalMs) return;
  view_->SetCounters(QStringLiteral("Найдено организаций: %1").arg(data_.firmscounter),
                     QStringLiteral("Записано организаций: %1").arg(data_.FirmsWritten));
  timerslastupdated = TickCount();
  Limit = view_->ReadLimit();
}

void TScraper::ShowRunState() {
  if (CursorHourGlass) {
    view_->ClearLog();
    view_->AddLogLine(LogLine(QStringLiteral("Начинаем работу по заданным параметрам")));
    view_->SetRunControlsEnabled(false);
    return;
  }
  if (!RunEndLine.isEmpty()) view_->AddLogLine(RunEndLine);
  view_->SetRunControlsEnabled(true);
}

void TScraper::ReportJobError() { view_->AddLogLine(LogLine(QStringLiteral("Ошибка: ") + ErrorText(result))); }

void TScraper::PauseAfterError() {
  view_->AddLogLine(LogLine(QStringLiteral("Включаем паузу на 30 секунд")));
  // Held before the timer is armed, so a timer that fires at once cannot be lost.
  Hold();
  ArmResumeTimer();
}

void TScraper::ArmResumeTimer() { view_->ArmResumeTimer(settings_.errorPauseMs); }

// ---------------------------------------------------------------------------------------
// Execute

void TScraper::run() {
  try {
    StartUp();
    if (runLoop_) RunLoop();
  } catch (...) {
    // Start-up raises nothing of its own; a failure here (memory) still ends the run cleanly.
    if (result.isEmpty()) {
      result = ErrorResult();
      runLoop_ = false;
    }
  }
  {
    // From here on there is nothing to hold: a pause pressed now is refused, not promised.
    std::lock_guard<std::mutex> lock(holdMutex_);
    loopOver_ = true;
    held_ = false;
  }
  try {
    // However the loop ended (even by an error out of the automatic pause), the tasks still
    // with workers go back to the queue before it is saved.
    RecoverInFlight();
    if (!runLoop_ && !result.isEmpty()) Log(QStringLiteral("Ошибка: ") + ErrorText(result));
    if (!queueLoaded_ && !result.isEmpty())
      Log(QStringLiteral("Рабочие файлы оставлены без изменений"));
    EndSteps();
  } catch (...) {
    // Nothing may leave the thread body; the window must still get its controls back and
    // its end call.
    try {
      view_->SetRunControlsEnabled(true);
    } catch (...) {
    }
  }
  pool_.Reap(settings_.abortWaitMs);
  ended_ = true;
  view_->JobEnded();
}

void TScraper::StartUp() {
  Limit = view_->ReadLimit();
  getAdditional_ = view_->ReadAdditional();
  pool_.Open(view_);
  CursorHourGlass = true;
  ShowRunState();

  data_ = RunData();
  data_.baseUrl = settings_.fetch.baseUrl;
  data_.PendingList.reserve(kPendingReserve);
  data_.AllKnownList.Reserve(kAllKnownReserve);
  data_.SkipList.Reserve(kSkipReserve);
  Log(QStringLiteral("Начинаем работу..."));
  // A folder whose file system cannot sync it (a network share) is worked in all the same:
  // said once a run, with what is and is not guaranteed there.
  if (const FileOutcome folder = SyncFolderOf(settings_.dir + QLatin1String(kListsFile)); folder.folderNotSynced)
    Log(QStringLiteral("Внимание: ") + folder.reason);

  // A queue left by an earlier run is continued; otherwise the selected regions start one.
  if (store_.HasSavedQueue()) {
    if (!PlanResumed()) runLoop_ = false;
  } else {
    PlanFresh();
  }
  data_.firmscounter = 0;
  data_.FirmsWritten = 0;
  ShowCounters();
  ReadSkipList();
  // Rows of the interrupted run past its last saved state are cut off before anything new
  // is saved: they will be fetched again.
  if (runLoop_ && interrupted_ && !RestoreInterruptedRun()) runLoop_ = false;
  interruptedRows_.clear();
  if (runLoop_ && !OpenResultFile()) runLoop_ = false;
  // The plan is on the disk before the first request: from now on a kill loses nothing.
  if (runLoop_ && !SaveCheckpoint(data_.PendingList, false)) {
    Log(QStringLiteral("Ошибка: состояние запуска не сохранено, работа не начата"));
    runLoop_ = false;
  }
  lastCheckpoint_ = std::chrono::steady_clock::now();
}

bool TScraper::PlanResumed() {
  // Everything is read before it is taken: a failure half-way (memory) leaves the run
  // without a plan, and a run without a plan replaces no working file.
  std::optional<ResumePlan> plan = store_.LoadResumePlan();
  if (!plan) return false;
  data_.PendingList = std::move(plan->queue);
  data_.AllKnownList = std::move(plan->allKnown);
  data_.RegionNames = std::move(plan->context.RegionNames);
  data_.OrgRegions = std::move(plan->context.OrgRegions);
  data_.OrgCards = std::move(plan->context.OrgCards);
  data_.Harvest = std::move(plan->context.Harvest);
  fates_.SetFailedRuns(std::move(plan->failedRuns));
  interrupted_ = plan->interrupted;
  interruptedRows_ = std::move(plan->writtenRows);
  queueLoaded_ = true;
  return true;
}

void TScraper::PlanFresh() {
  const QList<RegionItem> regions = view_->SelectedRegions();
  QList<QPair<QString, QString>> harvestRegions;
  for (const RegionItem& item : regions) {
    // A key is sent to the portal and saved in "lists.dat": only a plain code and GUID are
    // taken (an empty key stays, as a blank task that the loop drops).
    if (!item.key.isEmpty() && !IsPlainRegionKey(item.key)) {
      Log(QStringLiteral("Регион \"%1\" пропущен: в cities.txt у него неверный код или GUID: %2")
              .arg(item.name, PrintableValue(item.key)));
      continue;
    }
    data_.PendingList.append(item.key);
    data_.AllKnownList.Add(item.key);
    if (!data_.RegionNames.Contains(item.key)) data_.RegionNames.Append(item.key, item.name);
    harvestRegions.append({item.key, item.name});
  }
  // A new harvest begins (earlier completed ones still waiting go into the history first).
  data_.Harvest = BeginHarvest(settings_.dir, harvestRegions, [this](const QString& line) { Log(line); });
  queueLoaded_ = true;
}

void TScraper::ReadSkipList() {
  const QString path = Path(kSkipFile);
  if (!QFileInfo::exists(path)) return;
  QStringList lines;
  if (const FileOutcome read = ReadTextLines(path, &lines); !read) {
    Log(QStringLiteral("Ошибка: ") + CannotOpenFileMessage(path, read.reason));
    return;
  }
  for (const QString& line : lines) data_.SkipList.Add(line);
  if (data_.SkipList.Count() > 0)
    Log(QStringLiteral("В файле skip.txt игнорируемых ссылок: %1").arg(data_.SkipList.Count()));
}

bool TScraper::RestoreInterruptedRun() {
  ResultFile::Restored restored =
      ResultFile::RestoreInterrupted(settings_.dir, *interrupted_, interruptedRows_, settings_.moment, settings_.sync);
  if (!restored.outcome) {
    // Started anyway, the run would fetch again the rows the file still holds past its
    // record. Nothing is saved: the next start after the mend finds the state as it was.
    queueLoaded_ = false;
    const QString message = QStringLiteral("Ошибка: ") + restored.outcome.reason +
                            QStringLiteral(". Работа не начата, рабочие файлы оставлены без изменений");
    Log(message);
    view_->ShowErrorMessage(message);
    return false;
  }
  for (const QString& note : restored.notes) Log(note);
  QList<GivenUpTask> lost;
  for (const WrittenRow& row : restored.lost)
    lost.append({row.task, QStringLiteral("строка потеряна из файла результатов %1").arg(interrupted_->resultFile)});
  // A list that cannot be written keeps them for the first checkpoint to list.
  static_cast<void>(store_.AddGivenUp(lost));
  if (!restored.workbookToMake.isEmpty()) {
    const QString tab = settings_.dir + interrupted_->resultFile;
    Log(QStringLiteral("Формируем файл Excel прерванного запуска: ") + QDir::toNativeSeparators(restored.workbookToMake));
    const WorkbookOutcome outcome = ExportWorkbookAtomically(tab, restored.workbookToMake, settings_.sync);
    if (outcome.ok)
      Log(QStringLiteral("Файл сформирован, в нем %1 строк").arg(outcome.rows));
    else
      Log(QStringLiteral("Ошибка: ") + outcome.reason);
  }
  return true;
}

bool TScraper::OpenResultFile() {
  // The tick count starts again with the system: a name an earlier run already used is not
  // overwritten, the next free number is taken instead.
  int32_t number = SignedTickCount();
  while (QFileInfo::exists(settings_.dir + QStringLiteral("data%1.tab").arg(number)) ||
         QFileInfo::exists(settings_.dir + QStringLiteral("data%1.xlsx").arg(number)))
    ++number;
  const QString name = QStringLiteral("data%1.tab").arg(number);
  tabPath_ = settings_.dir + name;
  xlsxPath_ = tabPath_.left(tabPath_.size() - 4) + QStringLiteral(".xlsx");
  Log(QStringLiteral("Данные будут записываться в файл ") + QDir::toNativeSeparators(tabPath_));
  resultFile_ = std::make_unique<ResultFile>();
  const FileOutcome opened = resultFile_->Open(tabPath_);
  if (opened) {
    data_.Harvest.resultFiles.append(name);  // the harvest's rows are in every file it opened
    return true;
  }
  Log(QStringLiteral("Ошибка: ") + CannotCreateFileMessage(tabPath_, opened.reason));
  resultFile_.reset();
  return false;
}

// ---------------------------------------------------------------------------------------
// The request loop

void TScraper::RunLoop() {
  ProgressBarPosition = 0;
  ProgressBarMax = int32_t(data_.PendingList.size());
  bool endFound = false;
  while (!endFound && !stop_.load()) {
    WaitWhileHeld();
    if (stop_.load()) break;
    try {
      endFound = Pass();
      if (!endFound) MaybeCheckpoint();
    } catch (...) {
      result = ErrorResult();
    }
    if (!result.isEmpty()) {
      // The automatic pause: held until the resume timer or the user releases the job.
      ReportJobError();
      PauseAfterError();
      WaitWhileHeld();
      break;
    }
  }
}

bool TScraper::Pass() {
  Dispatch();
  Collect();
  bool empty;
  {
    const auto lock = pool_.Lock();
    empty = pool_.Idle();
  }
  if (empty && data_.PendingList.isEmpty()) return true;
  Sleep(settings_.passWaitMs);
  return false;
}

void TScraper::Dispatch() {
  QString task;
  {
    const auto lock = pool_.Lock();
    if (pool_.Running() >= Limit || data_.PendingList.isEmpty()) return;
    task = data_.PendingList.takeFirst();
  }
  ++ProgressBarPosition;
  // The bar counts what has been taken plus what is still queued, so it follows the queue.
  ProgressBarMax = ProgressBarPosition + int32_t(data_.PendingList.size());
  ShowProgress();
  if (IsBlankTask(task)) return;
  // A worker that cannot start is an error of the loop; its task stays in flight and so goes
  // back to the queue.
  const QString failed = pool_.Dispatch({task, getAdditional_, settings_.fetch, settings_.beforeStart});
  if (!failed.isEmpty()) throw std::runtime_error(failed.toStdString());
  Sleep(settings_.passWaitMs);
}

void TScraper::Collect() {
  const auto lock = pool_.Lock();
  std::optional<WorkerPool::Handover> handover = pool_.TakeFinished();
  if (!handover) return;
  ShowCounters();
  const WorkerOutcome& outcome = handover->outcome;
  const QString& task = handover->task;

  LogMessageText = outcome.url + QStringLiteral(": ") + outcome.statusText;
  if (outcome.result != 1) {
    ShowLogMessage();
    const QString why = outcome.statusText.startsWith(kErrorPrefix) ? outcome.statusText.mid(kErrorPrefix.size())
                                                                    : outcome.statusText;
    // A refused task would be refused again by every run: it goes at once.
    const qsizetype dropped = fates_.Dropped();
    if (handover->refused)
      LogFate(task, dropped, fates_.GiveUp(task, why, QStringLiteral("Задача не может быть отправлена")));
    else
      LogFate(task, dropped, fates_.Unfinished(task, why, false));
  } else {
    // An error from here on leaves the task in flight: it goes back to the queue.
    if (settings_.beforeHandler) settings_.beforeHandler(outcome);
    HandlerResult handled;
    switch (outcome.Code) {
      case RegionCount:
        handled = HandleRegionCount(data_, outcome);
        // A count the handler took sets firmscounter; 0 there is a region with nothing to
        // fetch, most often a line of "cities.txt" the portal does not know.
        if (handled.Settled()) NoteRegionCounted(outcome);
        break;
      case SearchPage: handled = HandleSearchPage(data_, outcome); break;
      case OrgCard: handled = HandleOrgCard(data_, outcome); break;
      case HouseCount: handled = HandleHouseCount(data_, outcome); break;
      case HousePage: {
        std::optional<QStringList> row;
        handled = HandleHousePage(data_, outcome, &row);
        if (row) {
          const qint64 offset = resultFile_ ? resultFile_->Size() : 0;
          const FileOutcome written =
              resultFile_ ? resultFile_->WriteRow(*row) : FileOutcome::Failed(ResultFile::NotOpenReason());
          if (!written)
            throw std::runtime_error(QStringLiteral("строка не записана в %1: %2")
                                         .arg(QDir::toNativeSeparators(tabPath_), written.reason)
                                         .toStdString());
          ++data_.FirmsWritten;
          writtenRows_.append({offset, task});
          Moment("row:written");
          ShowCounters();
        }
        break;
      }
      default: break;
    }
    const qsizetype dropped = fates_.Dropped();
    LogFate(task, dropped, fates_.AfterAnswer(task, handled));
    ProgressBarMax = ProgressBarPosition + int32_t(data_.PendingList.size());
  }
  pool_.Done(*handover);
  Sleep(settings_.passWaitMs);
}

void TScraper::NoteRegionCounted(const WorkerOutcome& outcome) {
  ++regionsCounted_;
  if (data_.firmscounter != 0) return;
  ++regionsWithNone_;
  const QString key = RegionKey(outcome.regionguid2, outcome.regionguid);
  const QString name = data_.RegionNames.Lookup(key);
  Log(QStringLiteral("В регионе %1 организаций не найдено (код и GUID в cities.txt: %2)")
          .arg(name.isEmpty() ? key : name, key));
}

void TScraper::LogFate(const QString& task, qsizetype droppedBefore, const QString& line) {
  // A task given up is noted in the run's harvest as well.
  if (fates_.Dropped() > droppedBefore) NoteGivenUp(data_.Harvest, task);
  LogIfAny(line);
}

void TScraper::RecoverInFlight() {
  // In dispatch order; their workers are told to give up at once and are deleted once they
  // have ended.
  const QStringList front = pool_.RecoverInFlight();
  putBack_ = front.size();
  if (!front.isEmpty()) data_.PendingList = front + data_.PendingList;
}

// ---------------------------------------------------------------------------------------
// End steps

void TScraper::EndSteps() {
  // The refresh throttle is reset so the bar and the counters show the end.
  ProgressBarPosition = 0;
  timerslastupdated = 0;
  ShowProgress();
  ShowCounters();
  if (regionsWithNone_ > 0)
    Log(QStringLiteral("Регионов, в которых организаций не найдено: %1 из %2%3")
            .arg(regionsWithNone_)
            .arg(regionsCounted_)
            .arg(regionsWithNone_ == regionsCounted_
                     ? QStringLiteral("; проверьте коды и GUID регионов в cities.txt")
                     : QString()));
  // The workbook is made from the closed, complete result file.
  const bool quitting = quitting_.load();
  if (resultFile_) {
    if (const FileOutcome closed = resultFile_->Close(settings_.sync); !closed)
      Log(QStringLiteral("Ошибка: файл результатов не записан на диск: ") + closed.reason);
    Moment("end:closed");
    if (!quitting) {
      ExportResult(true);
      Moment("end:exported");
    }
  }
  const bool saved = SaveWorkingFiles();
  Moment("end:saved");
  if (quitting) {
    // The system gives an ending program a few seconds: the queue is saved, the log goes
    // next. A run that will be continued gets its workbook at the next start; one that has
    // nothing left (or whose queue could not be saved) gets it now, and it is not opened.
    if (resultFile_ && saved && !data_.PendingList.isEmpty())
      Log(QStringLiteral("Программа закрывается: файл Excel будет сформирован, когда работа будет продолжена "
                         "(\"СТАРТ\", ответ \"Нет\" на вопрос об оставшихся ссылках)"));
    else if (resultFile_)
      ExportResult(false);
    data_ = RunData();
    RunEndLine = logFile_.Write(*view_);
    pool_.Reap(settings_.abortWaitMs);
    CursorHourGlass = false;
    ShowRunState();
    return;
  }
  // Aborted workers have had the export to run down; once they are gone no worker line can
  // land in the log after its closing line.
  pool_.Reap(settings_.abortWaitMs);
  data_ = RunData();
  RunEndLine = logFile_.Write(*view_);
  CursorHourGlass = false;
  ShowRunState();
}

void TScraper::ExportResult(bool open) {
  Log(QStringLiteral("Запускаем формирование файла Excel..."));
  const WorkbookOutcome outcome = ExportWorkbookAtomically(tabPath_, xlsxPath_, settings_.sync);
  if (!outcome.ok) {
    Log(QStringLiteral("Ошибка: ") + outcome.reason);
    return;
  }
  Log(QStringLiteral("Файл сформирован, в нем %1 строк").arg(outcome.rows));
  // The result file keeps every character; only the workbook's cells have a size limit.
  if (outcome.truncated > 0)
    Log(QStringLiteral("Ячеек, укороченных до 32767 символов (полный текст в %1): %2")
            .arg(QDir::toNativeSeparators(tabPath_), QString::number(outcome.truncated)));
  // Said only when the desktop really took it; otherwise why not, and where the file is.
  // Not opened (a run to be continued, or a program set not to open it): only where it is.
  if (!open || !settings_.openWorkbook) {
    Log(QStringLiteral("Файл с результатами: ") + QDir::toNativeSeparators(xlsxPath_));
    return;
  }
  const FileOutcome opened = OpenWithDesktop(xlsxPath_);
  if (opened)
    Log(QStringLiteral("Открываем файл с результатами ") + QDir::toNativeSeparators(xlsxPath_));
  else
    Log(QStringLiteral("Файл с результатами не открыт (%1), он лежит здесь: %2")
            .arg(opened.reason, QDir::toNativeSeparators(xlsxPath_)));
}

bool TScraper::SaveWorkingFiles() {
  // Failed tasks go at the end: keeping the leftovers at the next start retries them.
  const qsizetype failed = fates_.Kept().size();
  data_.PendingList.append(fates_.TakeKept());
  if (fates_.Dropped() > 0)
    Log(QStringLiteral("Удалено из очереди задач (каждая названа выше, список в %1): %2")
            .arg(QDir::toNativeSeparators(settings_.dir + RunStore::GivenUpFileName()), QString::number(fates_.Dropped())));
  // A run whose plan was never complete (an unreadable queue, a failure while loading it)
  // leaves the working files as they were.
  if (!queueLoaded_) return false;
  // Only a queue that reached the file may be said to hold them.
  if (!SaveCheckpoint(data_.PendingList, true)) return false;
  // The queue is empty and saved as such: the harvest is complete.
  if (data_.PendingList.isEmpty() && resultFile_)
    CompleteHarvest(settings_.dir, data_.Harvest, [this](const QString& line) { Log(line); });
  if (putBack_ > 0) Log(QStringLiteral("В lists.dat возвращено незавершённых задач: %1").arg(putBack_));
  if (failed > 0)
    Log(QStringLiteral("В lists.dat сохранено задач с ошибкой: %1 (продолженный запуск повторит их; задача, "
                       "не выполненная %2 запуска подряд, уходит в %3)")
            .arg(failed)
            .arg(TaskFates::kMaxFailedRuns)
            .arg(RunStore::GivenUpFileName()));
  return true;
}

QStringList TScraper::QueueAsAtStop() const {
  QStringList queue;
  queue = pool_.InFlightTasks();
  queue.reserve(queue.size() + data_.PendingList.size() + fates_.Kept().size());
  queue += data_.PendingList;
  queue += fates_.Kept();
  return queue;
}

void TScraper::MaybeCheckpoint() {
  const auto now = std::chrono::steady_clock::now();
  if (!checkpointSoon_.exchange(false) &&
      now - lastCheckpoint_ < std::chrono::milliseconds(settings_.checkpointIntervalMs))
    return;
  SaveCheckpoint(QueueAsAtStop(), false);
  // A failed save is not retried at once: the log says so, and the next try comes in turn.
  lastCheckpoint_ = std::chrono::steady_clock::now();
}

bool TScraper::SaveCheckpoint(const QStringList& tasks, bool atEnd) {
  // The store lists them before it saves the queue that no longer holds them.
  store_.GiveUp(fates_.GivenUp());
  fates_.GivenUpListed();
  return store_.SaveCheckpoint({tasks, &data_, resultFile_.get(), fates_.FailedRunCounts(), atEnd, writtenRows_});
}
