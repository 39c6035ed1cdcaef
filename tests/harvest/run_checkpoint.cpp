// The run's saved state against what goes wrong around it: a failure while a saved queue is
// loaded, a queue file that cannot be replaced, a disk that fills during the run, and a
// pause pressed while the run is already ending.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <new>
#include <string_view>

#include "harvest/resultfile.h"
#include "tests/harvest/run_support.h"
#include "tests/support/testplatform.h"
#include "tools/portal-sim/dataset.h"

namespace {

using namespace std::chrono_literals;

QString Q(const std::string& s) { return QString::fromStdString(s); }

QStringList SimArgs(int regions, int orgs, int houses) {
  return {QStringLiteral("--regions"), QString::number(regions), QStringLiteral("--orgs"),
          QString::number(orgs),       QStringLiteral("--houses"), QString::number(houses),
          QStringLiteral("--seed"),    QStringLiteral("7")};
}

simdata::Dataset Data(int regions, int orgs, int houses) {
  simdata::Config c;
  c.regions = regions;
  c.orgs = orgs;
  c.houses = houses;
  c.seed = 7;
  return simdata::Dataset(c);
}

QList<RegionItem> AllRegions(const simdata::Dataset& ds) {
  QList<RegionItem> items;
  for (const simdata::Region& r : ds.Regions())
    items.append({Q(r.name), Q(r.code) + QStringLiteral("$$$") + Q(r.guid)});
  return items;
}

std::unique_ptr<SimServer> StartSim(const QStringList& args) {
  auto sim = std::make_unique<SimServer>(args);
  QString error;
  if (!sim->Start(&error)) ADD_FAILURE() << error.toStdString();
  return sim;
}

// The rows of an uninterrupted run over the regions, one worker at a time.
QStringList ReferenceRows(const SimServer& sim, const QList<RegionItem>& regions) {
  JobRun run;
  run.view.regions = regions;
  run.view.limit = 1;
  run.Create(run.Settings(sim));
  EXPECT_TRUE(run.RunToEnd(120s));
  return AllResultRows(run.dir);
}

// A run over the regions, one worker at a time, stopped once the fourth answer that `counts`
// takes has been handled: it leaves a queue for the next run.
void RunStoppedAfterFourth(JobRun& run, const SimServer& sim, const QList<RegionItem>& regions,
                           const std::function<bool(const WorkerOutcome&)>& counts) {
  run.view.regions = regions;
  run.view.limit = 1;
  HarvestSettings s = run.Settings(sim);
  auto handled = std::make_shared<int>(0);
  TScraper* job = nullptr;
  s.beforeHandler = [handled, &job, counts](const WorkerOutcome& outcome) {
    if (counts(outcome) && ++*handled == 4) job->RequestStop();
  };
  job = run.Create(s);
  ASSERT_TRUE(run.RunToEnd(60s));
}

// A whole run in the folder of the settings (not a JobRun's own); the log without stamps.
// *messages: the message boxes it asked for.
QStringList RunInPlace(const HarvestSettings& settings, const QList<RegionItem>& regions,
                       QStringList* messages = nullptr) {
  RecordingView view;
  view.regions = regions;
  TScraper job(&view, settings);
  view.job = &job;
  job.start();
  EXPECT_TRUE(view.WaitEnded(120s));
  view.JoinTimers();
  job.wait();
  if (messages) *messages = view.Messages();
  return LogTexts(view.LogLines());
}

TEST(Checkpoint, FailureWhileLoadingASavedQueueLeavesTheWorkingFilesAlone) {
  auto ds = Data(2, 6, 20);
  auto sim = StartSim(SimArgs(2, 6, 20));
  InFreshThread([&] {
    JobRun run;
    const QByteArray lists = kUtf8Mark + QByteArray("01$$$a\r\n02$$$b\r\n");
    const QByteArray allKnown = kUtf8Mark + QByteArray("01$$$a\r\n");
    const QByteArray context = kUtf8Mark + QByteArray("#orgharvester-context 2\r\nR\t01$$$a\tРегион\r\n");
    run.WriteFile("lists.dat", lists);
    run.WriteFile("allknown.dat", allKnown);
    run.WriteFile("context.dat", context);
    HarvestSettings s = run.Settings(*sim);
    s.moment = [](const char* name) {
      if (std::string(name) == "plan:read") throw std::bad_alloc();
    };
    run.Create(s);
    ASSERT_TRUE(run.RunToEnd(60s));
    EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), lists);
    EXPECT_EQ(FileBytes(run.dir + QStringLiteral("allknown.dat")), allKnown);
    EXPECT_EQ(FileBytes(run.dir + QStringLiteral("context.dat")), context);
    EXPECT_TRUE(sim->Requests().isEmpty());
    const QStringList texts = LogTexts(run.view.LogLines());
    EXPECT_TRUE(texts.contains(QStringLiteral("Рабочие файлы оставлены без изменений")));
    EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
  });
}

TEST(Checkpoint, AQueueThatCannotBeReplacedKeepsItsContext) {
  auto ds = Data(2, 10, 40);
  auto sim = StartSim(SimArgs(2, 10, 40));
  InFreshThread([&] {
    const QStringList reference = ReferenceRows(*sim, AllRegions(ds));
    JobRun first;
    // Stopped once some cards are queued: the rest needs the region names of the context.
    ASSERT_NO_FATAL_FAILURE(RunStoppedAfterFourth(first, *sim, AllRegions(ds), [](const WorkerOutcome&) { return true; }));
    QStringList queue = FileLines(first.dir + QStringLiteral("lists.dat"));
    ASSERT_FALSE(queue.isEmpty());

    // The next start cannot replace "lists.dat": it must not start, and what it wrote into the
    // context must still fit the queue left on the disk.
    {
      JobRun blocked;
      for (const QString& name : QDir(first.dir).entryList(QDir::Files))
        QFile::copy(first.dir + name, blocked.dir + name);
      ASSERT_TRUE(QDir(blocked.dir).mkdir(QStringLiteral("lists.dat.tmp")));
      blocked.Create(blocked.Settings(*sim));
      ASSERT_TRUE(blocked.RunToEnd(60s));
      const QString joined = LogTexts(blocked.view.LogLines()).join('\n');
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: очередь не сохранена: Cannot create file \"") +
                                  QDir::toNativeSeparators(blocked.dir) + QStringLiteral("lists.dat")));
      EXPECT_TRUE(joined.contains(QStringLiteral("работа не начата")));
      EXPECT_FALSE(joined.contains(QStringLiteral("В lists.dat")));
      EXPECT_EQ(FileLines(blocked.dir + QStringLiteral("lists.dat")), queue);

      // Once the way is free, the run goes on with region names and cards.
      ASSERT_TRUE(QDir(blocked.dir).rmdir(QStringLiteral("lists.dat.tmp")));
      JobRun next;
      for (const QString& name : QDir(blocked.dir).entryList(QDir::Files))
        QFile::copy(blocked.dir + name, next.dir + name);
      next.Create(next.Settings(*sim));
      ASSERT_TRUE(next.RunToEnd(120s));
      const QStringList rows = AllResultRows(next.dir);
      ASSERT_FALSE(rows.isEmpty());
      for (const QString& row : rows) EXPECT_FALSE(row.startsWith(QLatin1Char('\t'))) << row.toStdString();
      ExpectExactlyOnce(reference, rows);
    }
  });
}

TEST(Checkpoint, DiskFullMidRunSavesNothingFalseAndTheNextRunLosesNothing) {
  SmallDisk disk(768);
  if (!disk.Available()) GTEST_SKIP() << "no small file system can be mounted here (not root)";
  auto ds = Data(2, 12, 40);
  auto sim = StartSim(SimArgs(2, 12, 40));
  InFreshThread([&] {
    const QStringList reference = ReferenceRows(*sim, AllRegions(ds));
    JobRun settingsOnly;
    HarvestSettings s = settingsOnly.Settings(*sim);
    s.dir = disk.Path();
    s.checkpointIntervalMs = 20;
    {
      auto handled = std::make_shared<int>(0);
      HarvestSettings filling = s;
      filling.beforeHandler = [handled, &disk](const WorkerOutcome&) {
        if (++*handled == 12) disk.Fill();
      };
      const QString joined = RunInPlace(filling, AllRegions(ds)).join('\n');
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: строка не записана")));
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: очередь не сохранена")) ||
                  joined.contains(QStringLiteral("Ошибка: состояние не сохранено")));
      EXPECT_FALSE(joined.contains(QStringLiteral("В lists.dat возвращено")));
      EXPECT_FALSE(joined.contains(QStringLiteral("лог записан в")));
      // Whatever the disk still holds is whole and fits together.
      QStringList queue;
      ASSERT_TRUE(ReadTextLines(disk.Path() + QStringLiteral("lists.dat"), &queue));
      EXPECT_FALSE(queue.isEmpty());
      AllResultRows(disk.Path());
    }
    disk.Free();
    RunInPlace(s, {});
    ExpectExactlyOnce(reference, AllResultRows(disk.Path()));
  });
}

TEST(Checkpoint, RowsLostFromAResultFileAreNamedWithTheirTasks) {
  auto ds = Data(2, 10, 40);
  auto sim = StartSim(SimArgs(2, 10, 40));
  InFreshThread([&] {
    const QStringList reference = ReferenceRows(*sim, AllRegions(ds));
    JobRun first;
    ASSERT_NO_FATAL_FAILURE(RunStoppedAfterFourth(first, *sim, AllRegions(ds),
                                                  [](const WorkerOutcome& outcome) { return outcome.Code == HousePage; }));
    const QStringList firstRows = first.Rows();
    ASSERT_FALSE(firstRows.isEmpty());
    ASSERT_FALSE(FileLines(first.dir + QStringLiteral("lists.dat")).isEmpty());

    // Its result file loses every row (the header stays); the next run says which tasks
    // they came from and finishes the rest.
    JobRun next;
    for (const QString& name : QDir(first.dir).entryList(QDir::Files))
      QFile::copy(first.dir + name, next.dir + name);
    const QString tab = next.dir + QFileInfo(first.ResultPath()).fileName();
    ASSERT_TRUE(QFile::resize(tab, ResultFile::HeaderSize() + 7));
    next.Create(next.Settings(*sim));
    ASSERT_TRUE(next.RunToEnd(120s));
    const QString joined = LogTexts(next.view.LogLines()).join('\n');
    EXPECT_TRUE(joined.contains(QStringLiteral("их задачи (%1) перенесены в failed-tasks.txt").arg(firstRows.size())))
        << joined.toStdString();
    const QStringList listed = FileLines(next.dir + QStringLiteral("failed-tasks.txt"));
    ASSERT_EQ(listed.size(), firstRows.size() + 1);
    for (const QString& line : listed.mid(1))
      EXPECT_TRUE(line.contains(QStringLiteral("homemanagement/api/rest/services/houses/public/searchByOrg?pageIndex=")))
          << line.toStdString();
    // Every row is either written once or named.
    EXPECT_EQ(AllResultRows(next.dir).size() + firstRows.size(), reference.size());
  });
}

TEST(Checkpoint, OneFailedSyncDoesNotStopTheLaterCheckpoints) {
  auto ds = Data(2, 8, 30);
  auto sim = StartSim(SimArgs(2, 8, 30));
  InFreshThread([&] {
    const QStringList reference = ReferenceRows(*sim, AllRegions(ds));
    JobRun run;
    run.view.regions = AllRegions(ds);
    run.view.limit = 1;
    HarvestSettings s = run.Settings(*sim);
    s.checkpointIntervalMs = 20;
    // The result file's second sync (the first checkpoint after the plan's) fails.
    auto syncs = std::make_shared<std::atomic<int>>(0);
    s.sync = [syncs](const QString& path, const std::function<FileOutcome()>& sync) {
      if (path.endsWith(QLatin1String(".tab")) && ++*syncs == 2) return FileOutcome::Failed(NotOnDiskReason());
      return sync();
    };
    run.Create(s);
    ASSERT_TRUE(run.RunToEnd(120s));
    const QStringList texts = LogTexts(run.view.LogLines());
    EXPECT_EQ(texts.filter(QStringLiteral("не записан на диск")).size(), 1) << texts.join('\n').toStdString();
    EXPECT_GT(syncs->load(), 3);
    // The end was saved like any other: nothing left to do, every row there once.
    EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), kUtf8Mark);
    ExpectExactlyOnce(reference, AllResultRows(run.dir));
  });
}

TEST(Checkpoint, APauseDuringTheEndStepsIsRefused) {
  auto ds = Data(1, 3, 6);
  auto sim = StartSim(SimArgs(1, 3, 6));
  InFreshThread([&] {
    JobRun run;
    run.view.regions = AllRegions(ds);
    HarvestSettings s = run.Settings(*sim);
    auto refused = std::make_shared<std::atomic<int>>(0);
    TScraper* job = nullptr;
    s.moment = [&job, refused](const char* name) {
      if (std::string(name) == "end:closed" && !job->Hold()) ++*refused;
    };
    job = run.Create(s);
    ASSERT_TRUE(run.RunToEnd(60s));
    EXPECT_EQ(refused->load(), 1);
    EXPECT_FALSE(job->IsHeld());
  });
}

TEST(Checkpoint, AResultFileNameAlreadyTakenIsNotOverwritten) {
  // The tick count starts again with the system, so after a reboot a run could meet the name
  // of an earlier run's file: the names of the next seconds are all taken here.
  auto ds = Data(1, 3, 6);
  auto sim = StartSim(SimArgs(1, 3, 6));
  InFreshThread([&] {
    JobRun run;
    run.view.regions = AllRegions(ds);
    const int32_t now = SignedTickCount();
    const int taken = 5000;
    for (int i = 0; i < taken; ++i) run.WriteFile(QStringLiteral("data%1.tab").arg(now + i).toUtf8().constData(), "x");
    run.Create(run.Settings(*sim));
    ASSERT_TRUE(run.RunToEnd(60s));
    for (int i = 0; i < taken; ++i)
      ASSERT_EQ(FileBytes(run.dir + QStringLiteral("data%1.tab").arg(now + i)), QByteArray("x")) << i;
    const QString path = run.ResultPath();
    EXPECT_GE(QFileInfo(path).baseName().mid(4).toInt(), now + taken);
    EXPECT_FALSE(run.Rows().isEmpty());
  });
}

// The end of the program (the session's end, a signal) in the middle of a run: the queue and
// the log are saved first, no workbook is made for the run that will be continued, and the
// next start makes it and lands every row once.
TEST(Checkpoint, TheProgramsEndSavesFirstAndLeavesTheWorkbookToTheNextStart) {
  auto ds = Data(2, 8, 40);
  auto sim = StartSim(SimArgs(2, 8, 40));
  const QList<RegionItem> regions = AllRegions(ds);
  const QStringList reference = ReferenceRows(*sim, regions);
  InFreshThread([&] {
    JobRun run;
    run.view.regions = regions;
    run.view.limit = 1;
    HarvestSettings s = run.Settings(*sim);
    auto rows = std::make_shared<int>(0);
    TScraper* job = nullptr;
    s.moment = [rows, &job](const char* name) {
      if (std::string_view(name) == "row:written" && ++*rows == 3) job->RequestStopForQuit();
    };
    job = run.Create(s);
    ASSERT_TRUE(run.RunToEnd(60s));
    const QStringList texts = LogTexts(run.view.LogLines());
    const QString all = texts.join(QLatin1Char('\n'));
    EXPECT_TRUE(all.contains(QStringLiteral("Программа закрывается: файл Excel будет сформирован"))) << all.toStdString();
    EXPECT_FALSE(all.contains(QStringLiteral("Запускаем формирование файла Excel"))) << all.toStdString();
    EXPECT_TRUE(QDir(run.dir).entryList({QStringLiteral("data*.xlsx")}).isEmpty());
    EXPECT_EQ(QDir(run.dir).entryList({QStringLiteral("log-*.txt")}).size(), 1);
    EXPECT_TRUE(texts.last().contains(QStringLiteral("лог записан"))) << texts.last().toStdString();
    QStringList queue;
    ASSERT_TRUE(ReadTextLines(run.dir + QStringLiteral("lists.dat"), &queue));
    EXPECT_FALSE(queue.isEmpty());

    // The next start continues: the interrupted run's workbook is made, every row lands once.
    const QStringList next = RunInPlace(run.Settings(*sim), regions);
    for (const QString& tab : QDir(run.dir).entryList({QStringLiteral("data*.tab")})) {
      const QString path = run.dir + tab;
      if (QFileInfo(path).size() > ResultFile::HeaderSize()) {
        EXPECT_TRUE(QFileInfo::exists(path.chopped(4) + QStringLiteral(".xlsx"))) << tab.toStdString();
      }
    }
    ExpectExactlyOnce(reference, AllResultRows(run.dir));
  });
}

// A save asked for while the run is held (paused, or in the pause after an error), as the end
// of a session asks for it: made at once, not when the pause is over.
TEST(Checkpoint, ASaveAskedForWhileHeldIsMadeAtOnce) {
  auto ds = Data(2, 8, 40);
  auto sim = StartSim(SimArgs(2, 8, 40));
  InFreshThread([&] {
    JobRun run;
    run.view.regions = AllRegions(ds);
    run.view.limit = 1;
    HarvestSettings s = run.Settings(*sim);
    s.checkpointIntervalMs = 3600000;  // only the plan's and the asked-for saves
    auto rows = std::make_shared<std::atomic<int>>(0);
    TScraper* job = nullptr;
    s.moment = [rows, &job](const char* name) {
      if (std::string_view(name) == "row:written" && ++*rows == 2) job->Hold();
    };
    job = run.Create(s);
    job->start();
    const QString lists = run.dir + QStringLiteral("lists.dat");
    const QDeadlineTimer held(30000);
    while (*rows < 2 && !held.hasExpired()) QThread::msleep(10);
    ASSERT_GE(rows->load(), 2);
    QThread::msleep(300);  // the pass under way ends and the job waits
    const QByteArray plan = FileBytes(lists);
    job->RequestCheckpoint();
    const QDeadlineTimer saved(10000);
    while (FileBytes(lists) == plan && !saved.hasExpired()) QThread::msleep(10);
    EXPECT_NE(FileBytes(lists), plan);
    EXPECT_TRUE(job->IsHeld());
    job->Release();
    ASSERT_TRUE(run.Finish(60s));
  });
}

}  // namespace

// An interrupted run's result file that cannot be brought back to its record: the run does
// not start, says which file and what to do, and leaves the saved state as it was; once the
// user has mended it, the next start continues with every row once.
TEST(Checkpoint, AnInterruptedResultFileThatCannotBeRestoredStopsTheStart) {
  auto ds = Data(2, 10, 40);
  auto sim = StartSim(SimArgs(2, 10, 40));
  struct Case {
    const char* name;
    // Spoils the copied folder (the result file has one row past its record); `failSync`
    // may be set to make the sync of a file fail. Returns the mend.
    std::function<std::function<void()>(const QString& tab, const QString& xlsx, QString* failSync)> spoil;
    const char* says;  // part of the log line that names the file
    bool namesWorkbook;  // the file named is the workbook, not the result file
  };
  const Case cases[] = {
      {"the stale workbook is held",
       [](const QString&, const QString& xlsx, QString*) {
         // A folder in its place cannot be removed as a file is, as a workbook open in a
         // spreadsheet program cannot be on Windows.
         EXPECT_TRUE(QFile::remove(xlsx));
         EXPECT_TRUE(QDir().mkpath(xlsx + QStringLiteral("/held")));
         return std::function<void()>([xlsx] { QDir(xlsx).removeRecursively(); });
       },
       "не удалён", true},
      {"the file cannot be cut",
       [](const QString& tab, const QString&, QString* failSync) {
         *failSync = tab;
         return std::function<void()>([failSync] { failSync->clear(); });
       },
       "не приведён к сохранённому состоянию", false},
      {"the header was changed by a spreadsheet program",
       [](const QString& tab, const QString&, QString*) {
         QByteArray bytes;
         EXPECT_TRUE(ReadFileBytes(tab, &bytes));
         QByteArray changed = bytes;
         changed.replace('\t', ';');
         EXPECT_TRUE(WriteFileBytes(tab, changed));
         return std::function<void()>([tab, bytes] { WriteFileBytes(tab, bytes); });
       },
       "изменён другой программой", false},
  };
  InFreshThread([&] {
    const QStringList reference = ReferenceRows(*sim, AllRegions(ds));
    JobRun first;
    ASSERT_NO_FATAL_FAILURE(RunStoppedAfterFourth(first, *sim, AllRegions(ds),
                                                  [](const WorkerOutcome& outcome) { return outcome.Code == HousePage; }));
    const QStringList firstRows = first.Rows();
    ASSERT_FALSE(firstRows.isEmpty());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      JobRun next;
      for (const QString& name : QDir(first.dir).entryList(QDir::Files))
        ASSERT_TRUE(QFile::copy(first.dir + name, next.dir + name));
      const QString tab = next.dir + QFileInfo(first.ResultPath()).fileName();
      const QString xlsx = tab.left(tab.size() - 4) + QStringLiteral(".xlsx");
      ASSERT_TRUE(QFileInfo::exists(xlsx));
      // A row written after the last save, as a kill leaves it: the record is shorter.
      QByteArray bytes;
      ASSERT_TRUE(ReadFileBytes(tab, &bytes));
      ASSERT_TRUE(WriteFileBytes(tab, bytes + firstRows.last().toUtf8() + "\r\n"));
      QString failSync;
      const std::function<void()> mend = c.spoil(tab, xlsx, &failSync);
      HarvestSettings s = next.Settings(*sim);
      s.sync = [&failSync](const QString& path, const std::function<FileOutcome()>& sync) {
        return path == failSync ? FileOutcome::Failed(NotOnDiskReason()) : sync();
      };
      QMap<QString, QByteArray> saved;
      for (const char* name : {"lists.dat", "allknown.dat", "context.dat"})
        ASSERT_TRUE(ReadFileBytes(next.dir + QString::fromUtf8(name), &saved[QString::fromUtf8(name)]));
      const auto files = [&next] {
        QStringList names = QDir(next.dir).entryList(QDir::Files);
        // The log of each run; a stale workbook may go before the cut that then fails.
        names.removeIf([](const QString& name) {
          return name.startsWith(QStringLiteral("log-")) || name.endsWith(QStringLiteral(".xlsx"));
        });
        return names;
      };
      const QStringList before = files();
      const qsizetype requests = sim->Requests().size();

      QStringList messages;
      const QString joined = RunInPlace(s, {}, &messages).join('\n');
      // The same words in a message box, naming the file.
      ASSERT_EQ(messages.size(), 1);
      EXPECT_TRUE(joined.contains(messages[0]));
      EXPECT_TRUE(messages[0].contains(QDir::toNativeSeparators(c.namesWorkbook ? xlsx : tab)))
          << messages[0].toStdString();
      EXPECT_TRUE(joined.contains(QString::fromUtf8(c.says))) << joined.toStdString();
      EXPECT_TRUE(joined.contains(QStringLiteral("Работа не начата, рабочие файлы оставлены без изменений")))
          << joined.toStdString();
      EXPECT_EQ(sim->Requests().size(), requests);
      for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
        QByteArray now;
        EXPECT_TRUE(ReadFileBytes(next.dir + it.key(), &now));
        EXPECT_EQ(now, it.value()) << it.key().toStdString();
      }
      // No new result file and no log file past the one run's log.
      EXPECT_EQ(files(), before);

      mend();
      RunInPlace(s, {});
      ExpectExactlyOnce(reference, AllResultRows(next.dir));
    }
  });
}
