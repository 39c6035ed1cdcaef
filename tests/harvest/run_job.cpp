// Whole runs of the harvest job against the substitute portal: start-up, the request loop,
// hold and stop, the error pause, the end steps and resuming from the working files.

#include <gtest/gtest.h>

#include <QDir>
#include <QThread>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <map>
#include <stdexcept>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "harvest/resultfile.h"
#include "portal/api.h"
#include "tests/harvest/fakeopener.h"
#include "tests/support/testplatform.h"
#include "tests/harvest/run_support.h"
#include "text/clean.h"
#include "tools/portal-sim/dataset.h"

using namespace std::chrono_literals;

namespace {

// Whether the system starts a thread whose stack is set far below any usable size.
bool TinyStackStartsAThread() {
  // A body that returns: a started thread must end for the wait below.
  std::unique_ptr<QThread> probe(QThread::create([] {}));
  probe->setStackSize(1);
  probe->start();
  const bool started = probe->isRunning() || probe->isFinished();
  probe->wait();
  return started;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

simdata::Config SmallConfig(int regions, int orgs, std::int64_t houses) {
  simdata::Config c;
  c.regions = regions;
  c.orgs = orgs;
  c.houses = houses;
  c.seed = 7;
  return c;
}

QStringList SimArgs(const simdata::Config& c, QStringList extra = {}) {
  QStringList args{QStringLiteral("--regions"), QString::number(c.regions),
                   QStringLiteral("--orgs"),    QString::number(c.orgs),
                   QStringLiteral("--houses"),  QString::number(c.houses),
                   QStringLiteral("--seed"),    QString::number(c.seed)};
  return args + extra;
}

QString RegionKey(const simdata::Region& r) { return Q(r.code) + QStringLiteral("$$$") + Q(r.guid); }

RegionItem Item(const simdata::Region& r) { return {Q(r.name), RegionKey(r)}; }

bool IsCount(const SimRequest& r) { return r.requestLine.contains("searchByOrg/count"); }
bool IsSearch(const SimRequest& r) { return r.requestLine.contains("organizations/searchByOrg?"); }
bool IsCard(const SimRequest& r) { return r.requestLine.contains("orgByGuid"); }

// Arrival times of the requests in the portal's log (ms since it started).
QList<qint64> RequestTimes(const QString& logPath) {
  QList<qint64> times;
  QFile log(logPath);
  if (!log.open(QIODevice::ReadOnly)) return times;
  while (!log.atEnd()) {
    const QByteArray line = log.readLine();
    const qsizetype p = line.indexOf("\"t\":");
    if (p >= 0) times.append(line.mid(p + 4).split(',').first().trimmed().toLongLong());
  }
  return times;
}

// The most requests that were in service at once, each taken as busy for `busyMs` after it
// arrived (the portal delays every answer by that much).
int MaxOverlap(const QList<qint64>& times, qint64 busyMs) {
  int best = 0;
  for (qint64 t : times) {
    int n = 0;
    for (qint64 u : times)
      if (u <= t && t < u + busyMs) ++n;
    best = std::max(best, n);
  }
  return best;
}

// The rows an uninterrupted run over `regions` writes, computed from the dataset's texts.
// Organisations listed in two selected regions get "*" for a region (completion order decides
// which name comes first); ReplaceAmbiguousRegion does the same to the actual rows.
QStringList ExpectedRows(const simdata::Dataset& ds, const std::vector<int>& regions,
                         bool additional, const QString& base, QSet<QString>* ambiguous) {
  std::map<int, int> listed;  // org -> number of selected regions it is listed in
  for (int r : regions)
    for (int org : ds.RegionOrgs(r)) ++listed[org];
  QStringList rows;
  for (int r : regions) {
    for (int org : ds.RegionOrgs(r)) {
      auto card = ExtractCardColumns(Q(ds.CardJson(org)).toUtf8(), additional ? Q(ds.AdditionalInfoJson(org)).toUtf8() : QByteArray());
      if (!card) continue;
      RunData run;
      run.baseUrl = base;
      const bool twice = listed[org] > 1;
      if (twice) ambiguous->insert(card->guid);
      run.OrgRegions.Append(card->guid, twice ? QStringLiteral("*") : Q(ds.Regions()[r].name));
      run.OrgCards.Append(card->guid, card->columns.join(QLatin1Char('\t')));
      rows += ExpectedHouseRows(ds, org, card->guid, run);
    }
  }
  return rows;
}

QStringList ReplaceAmbiguousRegion(QStringList rows, const QSet<QString>& ambiguous,
                                   const QSet<QString>& names) {
  for (QString& row : rows) {
    QStringList f = row.split(QLatin1Char('\t'));
    if (f.size() > 1 && ambiguous.contains(f[1])) {
      EXPECT_TRUE(names.contains(f[0])) << f[0].toStdString();
      f[0] = QStringLiteral("*");
      row = f.join(QLatin1Char('\t'));
    }
  }
  return rows;
}

QStringList Sorted(QStringList l) {
  l.sort();
  return l;
}

class JobTest : public ::testing::Test {
 protected:
  // Started on the test's own thread; the body then runs InFreshThread.
  std::unique_ptr<SimServer> StartSim(QStringList args) {
    auto sim = std::make_unique<SimServer>(std::move(args));
    QString error;
    if (!sim->Start(&error)) ADD_FAILURE() << "portal-sim: " << error.toStdString();
    return sim;
  }
};

// ---------------------------------------------------------------------------------------

// A log longer than the blocks it is read in: every line once, in order, the closing one
// last, in the ANSI code page; a file that cannot be made says why.
TEST(LogFile, HoldsTheWholeLogReadInBlocks) {
  RecordingView view;
  QByteArray expected;
  for (int i = 0; i < 9000; ++i) {
    const QString line = QStringLiteral("строка %1").arg(i);
    view.AddLogLine(line);
    expected += EncodeAnsi(line) + "\r\n";
  }
  expected += EncodeAnsi(QStringLiteral("конец")) + "\r\n";
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("log-1.txt"));
  const FileOutcome written = WriteLogFile(view, path, QStringLiteral("конец"));
  ASSERT_TRUE(written) << written.reason.toStdString();
  EXPECT_EQ(FileBytes(path), expected);
  const FileOutcome failed = WriteLogFile(view, dir.filePath(QStringLiteral("нет/log-2.txt")), QStringLiteral("конец"));
  EXPECT_FALSE(failed);
  EXPECT_FALSE(failed.reason.isEmpty());
}

TEST_F(JobTest, NoRegionSelectedGivesHeaderOnlyFileAndEmptyWorkingFiles) {
  const simdata::Config cfg = SmallConfig(2, 5, 20);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  JobRun run;
  run.Create(run.Settings(*sim));
  ASSERT_TRUE(run.RunToEnd(60s));

  EXPECT_TRUE(sim->Requests().isEmpty());
  EXPECT_EQ(run.view.EndedCalls(), 1);
  EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));

  const QString tab = run.ResultPath();
  ASSERT_FALSE(tab.isEmpty());
  EXPECT_TRUE(QFileInfo(tab).fileName().startsWith(QStringLiteral("data")));
  EXPECT_EQ(FileBytes(tab), kUtf8Mark + ResultFile::HeaderLine().toUtf8() + "\r\n");
  EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), kUtf8Mark);
  EXPECT_EQ(FileBytes(run.dir + QStringLiteral("allknown.dat")), kUtf8Mark);

  const QStringList log = run.view.LogLines();
  const QStringList texts = LogTexts(log);
  ASSERT_GE(texts.size(), 7);
  EXPECT_EQ(texts[0], QStringLiteral("Начинаем работу по заданным параметрам"));
  EXPECT_EQ(texts[1], QStringLiteral("Начинаем работу..."));
  EXPECT_EQ(texts[2], QStringLiteral("Данные будут записываться в файл ") + tab);
  EXPECT_EQ(tab, QDir::toNativeSeparators(run.dir + QFileInfo(tab).fileName()));
  EXPECT_TRUE(texts.contains(QStringLiteral("Запускаем формирование файла Excel...")));
  EXPECT_TRUE(texts.contains(QStringLiteral("Файл сформирован, в нем 1 строк")));
  const QString xlsx = tab.left(tab.size() - 4) + QStringLiteral(".xlsx");
  // Set not to open it (as the tests are): the log says where it is, not that it is opened.
  EXPECT_TRUE(texts.contains(QStringLiteral("Файл с результатами: ") + xlsx)) << texts.join('\n').toStdString();
  EXPECT_FALSE(texts.contains(QStringLiteral("Открываем файл с результатами ") + xlsx));
  EXPECT_TRUE(QFileInfo::exists(xlsx));
  EXPECT_FALSE(texts.join('\n').contains(QStringLiteral("lists.dat")));

  // The closing line names the log file, and the file holds the whole log ending with it.
  const QString closing = QStringLiteral("Работа завершена, лог записан в ");
  ASSERT_TRUE(texts.last().startsWith(closing));
  const QString logPath = texts.last().mid(closing.size());
  EXPECT_TRUE(QFileInfo(logPath).fileName().startsWith(QStringLiteral("log-")));
  QByteArray expected;
  for (const QString& line : log) expected += EncodeAnsi(line) + "\r\n";
  EXPECT_EQ(FileBytes(logPath), expected);
  });
}

TEST_F(JobTest, WorkbookTheDesktopCannotOpenIsReportedWithItsPlace) {
  if (!DesktopOpenerIsXdgOpen()) GTEST_SKIP() << "the opener is the shell, not a script";
  const simdata::Config cfg = SmallConfig(1, 2, 4);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  for (const bool opens : {false, true}) {
    SCOPED_TRACE(opens ? "opened" : "not opened");
    FakeOpener opener(opens ? QByteArray("exit 0")
                            : QByteArray("echo \"xdg-open: no method available for opening '$1'\" >&2\nexit 3"));
    JobRun run;
    HarvestSettings s = run.Settings(*sim);
    s.openWorkbook = true;
    run.Create(s);
    ASSERT_TRUE(run.RunToEnd(60s));
    const QString tab = run.ResultPath();
    const QString xlsx = tab.left(tab.size() - 4) + QStringLiteral(".xlsx");
    const QStringList texts = LogTexts(run.view.LogLines());
    const QString opening = QStringLiteral("Открываем файл с результатами ") + xlsx;
    const QString failed = QStringLiteral("Файл с результатами не открыт (xdg-open: no method available for "
                                          "opening '%1'), он лежит здесь: %1").arg(xlsx);
    EXPECT_EQ(texts.contains(opening), opens) << texts.join('\n').toStdString();
    EXPECT_EQ(texts.contains(failed), !opens) << texts.join('\n').toStdString();
    EXPECT_TRUE(QFileInfo::exists(xlsx));
  }
  });
}

TEST_F(JobTest, OneRegionIsCountedThenPagedWithinTheLimit) {
  const simdata::Config cfg = SmallConfig(3, 400, 600);
  simdata::Dataset ds(cfg);
  int region = -1;  // the region with the most organisations: several search pages
  for (int r = 0; r < cfg.regions; ++r)
    if (region < 0 || ds.RegionOrgs(r).size() > ds.RegionOrgs(region).size()) region = r;
  ASSERT_GT(ds.RegionOrgs(region).size(), 100u);

  // Cards answer "not found": the run stops growing after the search pages.
  auto sim = StartSim(SimArgs(cfg, {"--delay", "60", "--fault", "kind=card,status=404"}));
  InFreshThread([&] {
  JobRun run;
  run.view.regions = {Item(ds.Regions()[region])};
  run.view.limit = 2;
  HarvestSettings s = run.Settings(*sim);
  s.fetch.maxAttempts = 1;
  run.Create(s);
  ASSERT_TRUE(run.RunToEnd());

  const QList<SimRequest> requests = sim->Requests();
  ASSERT_FALSE(requests.isEmpty());
  EXPECT_TRUE(IsCount(requests[0]));
  EXPECT_TRUE(requests[0].body.contains(ds.Regions()[region].guid.c_str()));
  const std::size_t orgs = ds.RegionOrgs(region).size();
  const int pages = int((orgs + 99) / 100);
  int counts = 0, searches = 0, cards = 0;
  for (const SimRequest& r : requests) {
    counts += IsCount(r);
    searches += IsSearch(r);
    cards += IsCard(r);
  }
  EXPECT_EQ(counts, 1);
  EXPECT_EQ(searches, pages);
  EXPECT_EQ(cards, int(orgs));
  // The pages come right after the count (dispatched in order; two at once may arrive in
  // either order).
  QSet<QByteArray> pageLines, expectedPages;
  for (int i = 1; i <= pages; ++i) {
    ASSERT_TRUE(IsSearch(requests[i]));
    pageLines.insert(requests[i].requestLine.split('?').value(1).split('&').value(0));
    expectedPages.insert("pageIndex=" + QByteArray::number(i));
  }
  EXPECT_EQ(pageLines, expectedPages);

  // Never more than two requests in service at once, and two were.
  const QList<qint64> times = RequestTimes(sim->LogPath());
  ASSERT_EQ(times.size(), requests.size());
  const int overlap = MaxOverlap(times, 60);
  EXPECT_LE(overlap, 2);
  EXPECT_EQ(overlap, 2);

  // Every card failed: logged once each by the job, kept at the end of the queue, no rows.
  const QStringList texts = LogTexts(run.view.LogLines());
  int failedLines = 0;
  for (const QString& t : texts)
    if (t.contains(QStringLiteral("orgByGuid?organizationGuid=")) && t.contains(QStringLiteral(": ERROR_")) &&
        !t.contains(QStringLiteral(" для ")))
      ++failedLines;
  EXPECT_EQ(failedLines, int(orgs));
  const QStringList left = FileLines(run.dir + QStringLiteral("lists.dat"));
  EXPECT_EQ(left.size(), int(orgs));
  for (const QString& task : left) EXPECT_EQ(TaskKind(task), OrgCard);
  EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat сохранено задач с ошибкой: %1 (продолженный запуск повторит их; задача, не выполненная 3 запуска подряд, уходит в failed-tasks.txt)").arg(orgs)));
  EXPECT_TRUE(run.Rows().isEmpty());

  // The bar counts tasks taken against taken plus queued; the end puts it back to 0.
  const auto progress = run.view.ProgressCalls();
  ASSERT_FALSE(progress.empty());
  for (const auto& p : progress) {
    EXPECT_LE(p.position, p.maximum);
    EXPECT_EQ(p.hint, QStringLiteral("%1 из %2, осталось %3").arg(p.position).arg(p.maximum).arg(p.maximum - p.position));
  }
  EXPECT_EQ(progress.back().position, 0);
  });
}

TEST_F(JobTest, EveryRequestFailingEndsNormallyWithTheFailedTasksKept) {
  const simdata::Config cfg = SmallConfig(3, 10, 30);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg, {"--fault", "kind=any,status=503,reason=Service Unavailable"}));
  InFreshThread([&] {
  JobRun run;
  for (const auto& r : ds.Regions()) run.view.regions.append(Item(r));
  run.view.regions.insert(1, RegionItem{QStringLiteral("Без ключа"), QString()});
  run.Create(run.Settings(*sim));
  ASSERT_TRUE(run.RunToEnd());

  EXPECT_EQ(sim->Requests().size(), 3 * 3);  // three attempts of each of three regions
  const QStringList texts = LogTexts(run.view.LogLines());
  for (const auto& r : ds.Regions())
    EXPECT_EQ(texts.count(RegionKey(r) + QStringLiteral(": ERROR_Service Unavailable")), 1) << r.name;
  EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat сохранено задач с ошибкой: 3 (продолженный запуск повторит их; задача, не выполненная 3 запуска подряд, уходит в failed-tasks.txt)")));
  EXPECT_FALSE(texts.join('\n').contains(QStringLiteral("возвращено")));
  // The empty key was counted and dropped; the failed regions stay, in the order they failed.
  QStringList keys;
  for (const auto& r : ds.Regions()) keys.append(RegionKey(r));
  EXPECT_EQ(Sorted(FileLines(run.dir + QStringLiteral("lists.dat"))), Sorted(keys));
  EXPECT_TRUE(run.Rows().isEmpty());
  EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
  });
}

TEST_F(JobTest, ResumedRunTakesTheSavedQueueInOrderAndIgnoresTheSelection) {
  const simdata::Config cfg = SmallConfig(3, 12, 40);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg, {"--fault", "kind=search,status=404", "--fault", "kind=housecount,status=404"}));
  InFreshThread([&] {
  JobRun run;
  run.view.regions = {Item(ds.Regions()[0])};
  run.view.limit = 1;
  const QString org = Q(ds.OrgGuid(0));
  const QString cardTask = OrgCardTask(sim->BaseUrl(), org);
  const QString region2 = RegionKey(ds.Regions()[2]);
  run.WriteFile("lists.dat", kUtf8Mark + (cardTask + QStringLiteral("\r\n  \r\n") + region2 + QStringLiteral("\r\n")).toUtf8());
  run.WriteFile("allknown.dat", kUtf8Mark + (region2 + QStringLiteral("\r\n")).toUtf8());
  HarvestSettings s = run.Settings(*sim);
  s.fetch.maxAttempts = 1;
  run.Create(s);
  ASSERT_TRUE(run.RunToEnd());

  EXPECT_EQ(run.view.SelectionReads(), 0);
  const QList<SimRequest> requests = sim->Requests();
  ASSERT_GE(requests.size(), 3);
  EXPECT_TRUE(IsCard(requests[0]));
  EXPECT_TRUE(requests[0].requestLine.contains(org.toUtf8()));
  EXPECT_TRUE(IsCount(requests[1]));
  EXPECT_TRUE(requests[1].body.contains(ds.Regions()[2].guid.c_str()));
  for (const SimRequest& r : requests)
    EXPECT_FALSE(IsCount(r) && r.body.contains(ds.Regions()[0].guid.c_str()));
  EXPECT_EQ(FileLines(run.dir + QStringLiteral("allknown.dat")), QStringList{region2});
  });
}

TEST_F(JobTest, StopWhileWorkersRunPutsTheirTasksBackAtTheFront) {
  const simdata::Config cfg = SmallConfig(6, 30, 60);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg, {"--delay", "10000"}));
  InFreshThread([&] {
  JobRun run;
  QStringList keys;
  for (const auto& r : ds.Regions()) keys.append(RegionKey(r));
  run.WriteFile("lists.dat", kUtf8Mark + (keys.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
  run.WriteFile("allknown.dat", kUtf8Mark);
  run.view.limit = 3;
  TScraper* job = run.Create(run.Settings(*sim));
  job->start();
  const QDeadlineTimer deadline(20000);
  while (sim->Requests().size() < 3 && !deadline.hasExpired()) QThread::msleep(20);
  ASSERT_EQ(sim->Requests().size(), 3);

  const auto stopAt = std::chrono::steady_clock::now();
  job->RequestStop();
  ASSERT_TRUE(run.Finish(30s));
  // The job does not sit out the portal's ten-second answers (generous bound).
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 8000ms);

  EXPECT_EQ(FileLines(run.dir + QStringLiteral("lists.dat")), keys);
  const QStringList texts = LogTexts(run.view.LogLines());
  EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat возвращено незавершённых задач: 3")));
  EXPECT_TRUE(run.Rows().isEmpty());
  EXPECT_EQ(run.view.EndedCalls(), 1);
  });
}

TEST_F(JobTest, HeldJobStartsNothingUntilReleased) {
  const simdata::Config cfg = SmallConfig(2, 4, 8);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  JobRun run;
  run.view.regions = {Item(ds.Regions()[0])};
  TScraper* job = run.Create(run.Settings(*sim));
  job->Hold();
  job->start();
  ASSERT_TRUE(run.view.WaitForLog(QStringLiteral("Данные будут записываться"), 10s));
  QThread::msleep(400);
  EXPECT_TRUE(sim->Requests().isEmpty());
  EXPECT_TRUE(job->IsHeld());
  EXPECT_FALSE(job->IsEnded());

  job->Release();
  ASSERT_TRUE(run.Finish());
  EXPECT_TRUE(job->IsEnded());
  EXPECT_FALSE(sim->Requests().isEmpty());
  EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), kUtf8Mark);
  EXPECT_EQ(run.view.EndedCalls(), 1);
  });
}

TEST_F(JobTest, StopWhileHeldEndsAndKeepsTheQueue) {
  const simdata::Config cfg = SmallConfig(3, 6, 10);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  for (bool releaseFirst : {false, true}) {
    SCOPED_TRACE(releaseFirst ? "released, then stopped" : "stopped while still held");
    JobRun run;
    QStringList keys;
    for (const auto& r : ds.Regions()) {
      run.view.regions.append(Item(r));
      keys.append(RegionKey(r));
    }
    TScraper* job = run.Create(run.Settings(*sim));
    job->Hold();
    job->start();
    ASSERT_TRUE(run.view.WaitForLog(QStringLiteral("Данные будут записываться"), 10s));
    if (releaseFirst) {
      // The window's order: released first, then the stop. The job may take a pass in
      // between; a task it hands out then comes back to the front of the queue.
      job->Release();
      job->RequestStop();
    } else {
      job->RequestStop();
    }
    ASSERT_TRUE(run.Finish(20s));
    EXPECT_EQ(FileLines(run.dir + QStringLiteral("lists.dat")), keys);
    EXPECT_EQ(Sorted(FileLines(run.dir + QStringLiteral("allknown.dat"))), Sorted(keys));
    EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
    EXPECT_EQ(run.view.EndedCalls(), 1);
    // Stopped while still held: nothing at all was requested.
    if (!releaseFirst) {
      EXPECT_TRUE(sim->Requests().isEmpty());
    }
  }
  });
}

TEST_F(JobTest, ErrorInTheLoopPausesThenEndsAndKeepsTheTask) {
  const simdata::Config cfg = SmallConfig(2, 8, 16);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg));
  const QString key = RegionKey(ds.Regions()[0]);
  const std::string message(300, 'x');
  struct Case {
    const char* name;
    std::function<void(HarvestSettings&)> fault;
    QString error;         // the error line's text after "Ошибка: "
    int firstSavedKind;    // the task whose pass failed heads the saved queue
  };
  const std::vector<Case> cases{
      {"handler fails on a search page",
       [&](HarvestSettings& s) {
         s.beforeHandler = [&](const WorkerOutcome& w) {
           if (w.Code == SearchPage) throw std::runtime_error("диск полон " + message);
         };
       },
       (QStringLiteral("диск полон ") + QString::fromStdString(message)).left(200), SearchPage},
      {"worker thread cannot be started",
       [](HarvestSettings& s) {
         // Windows rounds a tiny stack up and starts the thread anyway: the case is then
         // left out below.
         s.beforeStart = [](TScrapingThread& w) { w.setStackSize(1); };  // below the minimum
       },
       QStringLiteral("не удалось запустить поток для задачи ") + key, RegionCount},
  };
  InFreshThread([&] {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.firstSavedKind == RegionCount && TinyStackStartsAThread()) continue;
    JobRun run;
    run.view.regions = {Item(ds.Regions()[0])};
    run.view.limit = 1;
    HarvestSettings s = run.Settings(*sim);
    c.fault(s);
    run.Create(s);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.RunToEnd());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);  // the pause was sat out

    const QStringList texts = LogTexts(run.view.LogLines());
    const qsizetype at = texts.indexOf(QStringLiteral("Ошибка: ") + c.error);
    ASSERT_GE(at, 0) << texts.join('\n').toStdString();
    EXPECT_EQ(texts.value(at + 1), QStringLiteral("Включаем паузу на 30 секунд"));
    EXPECT_EQ(texts.value(at + 2), QStringLiteral("Отключаем паузу, продолжаем работу"));
    EXPECT_EQ(run.view.Armed(), std::vector<int>{200});
    EXPECT_TRUE(texts.contains(QStringLiteral("Запускаем формирование файла Excel...")));
    EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat возвращено незавершённых задач: 1")));
    EXPECT_TRUE(texts.last().startsWith(QStringLiteral("Работа завершена, лог записан в ")));

    // The task whose pass failed is first in the saved queue; the context keeps its region's
    // name for the next run.
    const QStringList left = FileLines(run.dir + QStringLiteral("lists.dat"));
    ASSERT_FALSE(left.isEmpty());
    EXPECT_EQ(TaskKind(left.first()), c.firstSavedKind);
    EXPECT_TRUE(left.first().endsWith(key));
    const QStringList context = FileLines(run.dir + QStringLiteral("context.dat"));
    EXPECT_TRUE(context.join('\n').contains(Q(ds.Regions()[0].name)));
    EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
    EXPECT_EQ(run.view.EndedCalls(), 1);
  }
  });
}

TEST_F(JobTest, RegionsWhereNothingIsFoundAreNamedAndCountedAtTheEnd) {
  const simdata::Config cfg = SmallConfig(3, 12, 24);
  simdata::Dataset ds(cfg);
  int known = -1;
  for (int r = 0; r < cfg.regions && known < 0; ++r)
    if (!ds.RegionOrgs(r).empty()) known = r;
  ASSERT_GE(known, 0);
  // Keys the portal does not know, as a stale line of "cities.txt" has: it counts 0.
  const RegionItem stale{QStringLiteral("Старая область"), QStringLiteral("98$$$0a0a0a0a-0000-4000-8000-000000000098")};
  const RegionItem wrong{QStringLiteral("Неверный край"), QStringLiteral("99$$$0b0b0b0b-0000-4000-8000-000000000099")};
  const QString named = QStringLiteral("В регионе %1 организаций не найдено (код и GUID в cities.txt: %2)");
  struct Case {
    const char* name;
    QList<RegionItem> regions;
    QStringList emptyLines;  // in any order
    QString summary;         // empty: no summary line
  };
  const std::vector<Case> cases{
      {"two of three found none",
       {stale, Item(ds.Regions()[known]), wrong},
       {named.arg(stale.name, stale.key), named.arg(wrong.name, wrong.key)},
       QStringLiteral("Регионов, в которых организаций не найдено: 2 из 3")},
      {"the only region found none",
       {wrong},
       {named.arg(wrong.name, wrong.key)},
       QStringLiteral("Регионов, в которых организаций не найдено: 1 из 1; проверьте коды и GUID "
                      "регионов в cities.txt")},
      {"every region found some", {Item(ds.Regions()[known])}, {}, QString()},
  };
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobRun run;
    run.view.regions = c.regions;
    run.Create(run.Settings(*sim));
    ASSERT_TRUE(run.RunToEnd());

    const QStringList texts = LogTexts(run.view.LogLines());
    QStringList emptyLines;
    for (const QString& t : texts)
      if (t.contains(QStringLiteral("организаций не найдено"))) emptyLines.append(t);
    QStringList expected = c.emptyLines;
    if (!c.summary.isEmpty()) expected.append(c.summary);
    emptyLines.sort();
    expected.sort();
    EXPECT_EQ(emptyLines, expected) << texts.join('\n').toStdString();
    // The summary belongs to the end, before the workbook is made.
    if (!c.summary.isEmpty()) {
      EXPECT_EQ(texts.indexOf(c.summary) + 1, texts.indexOf(QStringLiteral("Запускаем формирование файла Excel...")));
    }
    EXPECT_EQ(run.Rows().isEmpty(), c.emptyLines.size() == c.regions.size());
  }
  });
}

TEST_F(JobTest, WholeRunGivesTheRowsOfTheDataset) {
  const simdata::Config cfg = SmallConfig(3, 40, 2600);
  simdata::Dataset ds(cfg);
  // The dataset holds what the run must get right: several house pages, no houses at all,
  // an organisation listed in two regions.
  bool manyHouses = false, noHouses = false, twoRegions = false;
  for (int org = 0; org < ds.OrgCount(); ++org) {
    manyHouses |= ds.HouseTotal(org) > kHousePageSize;
    noHouses |= ds.HouseTotal(org) == 0;
    twoRegions |= ds.OrgSecondRegion(org) >= 0;
  }
  ASSERT_TRUE(manyHouses && noHouses && twoRegions);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
  JobRun run;
  std::vector<int> regions;
  QSet<QString> names;
  for (int r = 0; r < cfg.regions; ++r) {
    run.view.regions.append(Item(ds.Regions()[r]));
    regions.push_back(r);
    names.insert(Q(ds.Regions()[r].name));
  }
  run.view.limit = 4;
  run.view.additional = true;
  run.Create(run.Settings(*sim));
  ASSERT_TRUE(run.RunToEnd());

  QSet<QString> ambiguous;
  const QStringList expected = ExpectedRows(ds, regions, true, sim->BaseUrl(), &ambiguous);
  ASSERT_FALSE(expected.isEmpty());
  const QStringList rows = run.Rows();
  for (const QString& row : rows) EXPECT_EQ(row.count(QLatin1Char('\t')), 29);
  EXPECT_EQ(Sorted(ReplaceAmbiguousRegion(rows, ambiguous, names)), Sorted(expected));
  EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), kUtf8Mark);
  const QStringList texts = LogTexts(run.view.LogLines());
  EXPECT_TRUE(texts.contains(QStringLiteral("Файл сформирован, в нем %1 строк").arg(rows.size() + 1)));
  EXPECT_FALSE(texts.join('\n').contains(QStringLiteral("Ошибка")));
  });
}

TEST_F(JobTest, StoppedRunAndItsResumedRunTogetherGiveTheRowsOfOneRun) {
  const simdata::Config cfg = SmallConfig(3, 40, 2600);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg, {"--delay", "15"}));
  InFreshThread([&] {
  std::vector<int> regions;
  QSet<QString> names;
  QList<RegionItem> items;
  for (int r = 0; r < cfg.regions; ++r) {
    items.append(Item(ds.Regions()[r]));
    regions.push_back(r);
    names.insert(Q(ds.Regions()[r].name));
  }
  QSet<QString> ambiguous;
  const QStringList expected = ExpectedRows(ds, regions, true, sim->BaseUrl(), &ambiguous);

  auto first = std::make_unique<JobRun>();
  const QString dir = first->dir;
  first->view.regions = items;
  first->view.limit = 4;
  first->view.additional = true;
  TScraper* job = first->Create(first->Settings(*sim));
  job->start();
  const QDeadlineTimer deadline(60000);
  while (first->Rows().size() < 10 && !deadline.hasExpired()) QThread::msleep(10);
  job->RequestStop();
  ASSERT_TRUE(first->Finish());
  QStringList rows = first->Rows();
  ASSERT_GE(rows.size(), 10);
  ASSERT_LT(rows.size(), expected.size());
  ASSERT_GT(FileLines(dir + QStringLiteral("lists.dat")).size(), 0);

  // The second run works in the same folder: it finds lists.dat and its context.
  JobRun second;
  for (const char* name : {"lists.dat", "allknown.dat", "context.dat"})
    second.WriteFile(name, FileBytes(dir + QString::fromUtf8(name)));
  second.view.regions = {};  // not read
  second.view.limit = 4;
  second.view.additional = true;
  second.Create(second.Settings(*sim));
  ASSERT_TRUE(second.RunToEnd());
  rows += second.Rows();

  EXPECT_EQ(Sorted(ReplaceAmbiguousRegion(rows, ambiguous, names)), Sorted(expected));
  EXPECT_EQ(FileBytes(second.dir + QStringLiteral("lists.dat")), kUtf8Mark);
  });
}

}  // namespace

namespace {

// Files the job cannot read or write: it says so, touches no leftovers and still ends with
// its closing line and the controls enabled.
TEST_F(JobTest, UnusableFilesAreReportedAndTheRunStillEnds) {
  const simdata::Config cfg = SmallConfig(2, 4, 8);
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
    {
      SCOPED_TRACE("folder missing: no result file, no working files, no log file");
      JobRun run;
      run.view.regions = {Item(ds.Regions()[0])};
      HarvestSettings s = run.Settings(*sim);
      s.dir = run.dir + QStringLiteral("missing/");
      run.Create(s);
      ASSERT_TRUE(run.RunToEnd(60s));
      const QStringList texts = LogTexts(run.view.LogLines());
      const QString joined = texts.join('\n');
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: Cannot create file \"") + QDir::toNativeSeparators(s.dir) + QStringLiteral("data")));
      // The context goes first, so it is the file named.
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: очередь не сохранена: Cannot create file \"") + QDir::toNativeSeparators(s.dir) +
                                  QStringLiteral("context.dat")));
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: лог не записан")));
      EXPECT_FALSE(joined.contains(QStringLiteral("лог записан в")));
      EXPECT_FALSE(joined.contains(QStringLiteral("Запускаем формирование файла Excel")));
      EXPECT_TRUE(sim->Requests().isEmpty());
      EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
      EXPECT_EQ(run.view.EndedCalls(), 1);
    }
    {
      SCOPED_TRACE("lists.dat unreadable: left as it is, nothing requested");
      JobRun run;
      run.view.regions = {Item(ds.Regions()[0])};
      ASSERT_TRUE(QDir(run.dir).mkdir(QStringLiteral("lists.dat")));
      run.WriteFile("allknown.dat", kUtf8Mark + QByteArray("01$$$x\r\n"));
      run.Create(run.Settings(*sim));
      ASSERT_TRUE(run.RunToEnd(60s));
      const QString joined = LogTexts(run.view.LogLines()).join('\n');
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: Cannot open file \"") + QDir::toNativeSeparators(run.dir) + QStringLiteral("lists.dat")));
      EXPECT_TRUE(QFileInfo(run.dir + QStringLiteral("lists.dat")).isDir());
      EXPECT_EQ(FileBytes(run.dir + QStringLiteral("allknown.dat")), kUtf8Mark + QByteArray("01$$$x\r\n"));
      EXPECT_TRUE(sim->Requests().isEmpty());
      EXPECT_EQ(run.view.SelectionReads(), 0);
      EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
    }
    {
      SCOPED_TRACE("lists.dat cannot be written at the end: no line claims the failed task is in it");
      JobRun run;
      run.view.regions = {Item(ds.Regions()[0])};
      HarvestSettings s = run.Settings(*sim);
      s.fetch.maxAttempts = 1;
      s.beforeStart = [](TScrapingThread& w) { w.settings.certFile = QStringLiteral("/nonexistent/cert.pem"); };
      TScraper* job = run.Create(s);
      job->Hold();
      job->start();
      ASSERT_TRUE(run.view.WaitForLog(QStringLiteral("Данные будут записываться"), 10s));
      // The plan is saved at start-up, before the held loop; then something gets in the way.
      const QString lists = run.dir + QStringLiteral("lists.dat");
      for (int i = 0; i < 1000 && !QFileInfo(lists).isFile(); ++i) std::this_thread::sleep_for(10ms);
      ASSERT_TRUE(QFile::remove(lists));
      ASSERT_TRUE(QDir(run.dir).mkdir(QStringLiteral("lists.dat")));  // in the way of the rename
      job->Release();
      ASSERT_TRUE(run.Finish(60s));
      const QString joined = LogTexts(run.view.LogLines()).join('\n');
      EXPECT_TRUE(joined.contains(QStringLiteral("Ошибка: очередь не сохранена: Cannot create file \"") + QDir::toNativeSeparators(run.dir) +
                                  QStringLiteral("lists.dat")));
      EXPECT_FALSE(joined.contains(QStringLiteral("В lists.dat сохранено задач с ошибкой")));
      EXPECT_TRUE(joined.contains(QStringLiteral("Работа завершена, лог записан в ")));
      EXPECT_EQ(run.view.Controls(), (std::vector<bool>{false, true}));
      EXPECT_EQ(run.view.EndedCalls(), 1);
    }
  });
}

}  // namespace

namespace {

// The thread count is read again with the counters, so raising it during a run takes effect.
TEST_F(JobTest, RaisedLimitTakesEffectDuringTheRun) {
  const simdata::Config cfg = SmallConfig(12, 0, 0);  // every count is 0: one request a region
  simdata::Dataset ds(cfg);
  auto sim = StartSim(SimArgs(cfg, {"--delay", "400"}));
  InFreshThread([&] {
    JobRun run;
    for (const auto& r : ds.Regions()) run.view.regions.append(Item(r));
    run.view.limit = 1;
    TScraper* job = run.Create(run.Settings(*sim));
    job->start();
    ASSERT_TRUE(run.view.WaitForLog(QStringLiteral("Запускаем code:0"), 10s));
    run.view.limit = 3;
    ASSERT_TRUE(run.Finish());

    const QList<qint64> times = RequestTimes(sim->LogPath());
    ASSERT_EQ(times.size(), cfg.regions);
    EXPECT_GE(times[1] - times[0], 400);  // one at a time before the refresh
    EXPECT_EQ(MaxOverlap(times, 400), 3);
  });
}

}  // namespace

namespace {

// A run that ends early saves its queue as: the tasks that were in the workers' hands, in
// dispatch order; then what was still queued; then the tasks that failed after all their
// attempts. Keeping that queue at the next start retries the failed task as well.
TEST_F(JobTest, SavedQueueHasInFlightTasksFirstAndFailedTasksLast) {
  const simdata::Config cfg = SmallConfig(5, 8, 16);
  simdata::Dataset ds(cfg);
  QStringList keys;
  for (const auto& r : ds.Regions()) keys.append(RegionKey(r));
  // Region 0 fails at once; every other count is held far longer than the test runs.
  auto faulty = StartSim(SimArgs(cfg, {"--fault", QStringLiteral("match=%1,status=503,reason=Service Unavailable")
                                                      .arg(Q(ds.Regions()[0].guid)),
                                       "--fault", "kind=count,delay=600000"}));
  auto healthy = StartSim(SimArgs(cfg));
  InFreshThread([&] {
    JobRun first;
    for (const auto& r : ds.Regions()) first.view.regions.append(Item(r));
    first.view.limit = 3;
    HarvestSettings s = first.Settings(*faulty);
    s.fetch.idleAndConnectTimeoutSec = 900;
    TScraper* job = first.Create(s);
    job->start();
    // Three attempts of region 0, one request each of regions 1 and 2, and region 3 taken in
    // region 0's place once its failure was collected.
    ASSERT_TRUE(first.view.WaitForLog(keys[0] + QStringLiteral(": ERROR_Service Unavailable"), 60s));
    const QDeadlineTimer deadline(60000);
    while (faulty->Requests().size() < 6 && !deadline.hasExpired()) QThread::msleep(20);
    ASSERT_EQ(faulty->Requests().size(), 6);
    job->RequestStop();
    ASSERT_TRUE(first.Finish(60s));

    EXPECT_EQ(FileLines(first.dir + QStringLiteral("lists.dat")),
              (QStringList{keys[1], keys[2], keys[3], keys[4], keys[0]}));
    const QStringList texts = LogTexts(first.view.LogLines());
    EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat возвращено незавершённых задач: 3")))
        << texts.join('\n').toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("В lists.dat сохранено задач с ошибкой: 1 (продолженный запуск повторит их; задача, не выполненная 3 запуска подряд, уходит в failed-tasks.txt)")))
        << texts.join('\n').toStdString();

    // The next start keeps the leftovers: every region is counted once more, the failed one
    // last, and nothing is left over.
    JobRun second;
    for (const char* name : {"lists.dat", "allknown.dat", "context.dat"})
      second.WriteFile(name, FileBytes(first.dir + QString::fromUtf8(name)));
    second.view.limit = 1;
    second.Create(second.Settings(*healthy));
    ASSERT_TRUE(second.RunToEnd());
    QList<QByteArray> counted;
    for (const SimRequest& r : healthy->Requests())
      if (IsCount(r))
        for (int i = 0; i < cfg.regions; ++i)
          if (r.body.contains(ds.Regions()[i].guid.c_str())) counted.append(QByteArray::number(i));
    EXPECT_EQ(counted, (QList<QByteArray>{"1", "2", "3", "4", "0"}));
    EXPECT_EQ(FileBytes(second.dir + QStringLiteral("lists.dat")), kUtf8Mark);
  });
}

// The bar's maximum follows the queue: it never shrinks, and the end shows every task the run
// took (the count, its search pages and one card per organisation), not the one task queued at
// the start.
TEST_F(JobTest, ProgressMaximumGrowsWithTheQueue) {
  const simdata::Config cfg = SmallConfig(2, 260, 300);
  simdata::Dataset ds(cfg);
  int region = -1;
  for (int r = 0; r < cfg.regions; ++r)
    if (region < 0 || ds.RegionOrgs(r).size() > ds.RegionOrgs(region).size()) region = r;
  const int orgs = int(ds.RegionOrgs(region).size());
  const int pages = (orgs + 99) / 100;
  ASSERT_GE(pages, 2);
  // Cards answer "not found": the queue stops growing after the search pages.
  auto sim = StartSim(SimArgs(cfg, {"--fault", "kind=card,status=404"}));
  InFreshThread([&] {
    JobRun run;
    run.view.regions = {Item(ds.Regions()[region])};
    run.view.limit = 4;
    HarvestSettings s = run.Settings(*sim);
    s.fetch.maxAttempts = 1;
    run.Create(s);
    ASSERT_TRUE(run.RunToEnd());

    const auto progress = run.view.ProgressCalls();
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
      EXPECT_GE(progress[i].maximum, progress[i - 1].maximum) << "call " << i;
    const int total = 1 + pages + orgs;
    EXPECT_EQ(progress.back().maximum, total);
    EXPECT_EQ(progress.back().position, 0);
    EXPECT_EQ(progress.back().hint, QStringLiteral("0 из %1, осталось %1").arg(total));
  });
}

}  // namespace

namespace {

// A saved house task whose context file is gone (deleted by hand, or written by an older run)
// still gives whole rows: 30 fields with the region and card columns empty.
TEST_F(JobTest, ResumedHouseTaskWithoutContextWritesWholeRows) {
  const simdata::Config cfg = SmallConfig(2, 6, 3000);
  simdata::Dataset ds(cfg);
  int org = 0;
  for (int i = 0; i < ds.OrgCount(); ++i)
    if (ds.HouseTotal(i) > ds.HouseTotal(org)) org = i;
  ASSERT_GT(ds.HouseTotal(org), kHousePageSize);  // more than one page
  const int pages = int((ds.HouseTotal(org) + kHousePageSize - 1) / kHousePageSize);
  auto sim = StartSim(SimArgs(cfg));
  InFreshThread([&] {
    JobRun run;
    const QString guid = Q(ds.OrgGuid(org));
    run.WriteFile("lists.dat", kUtf8Mark + (HouseCountTask(sim->BaseUrl(), guid) + QStringLiteral("\r\n")).toUtf8());
    run.WriteFile("allknown.dat", kUtf8Mark);
    run.Create(run.Settings(*sim));
    ASSERT_TRUE(run.RunToEnd());

    const QStringList rows = run.Rows();
    ASSERT_EQ(rows.size(), pages);
    for (const QString& row : rows) {
      const QStringList f = row.split(QLatin1Char('\t'));
      ASSERT_EQ(f.size(), 30) << row.toStdString();
      EXPECT_EQ(f[0], QString());
      EXPECT_EQ(f[1], guid);
      for (int i = 2; i < 24; ++i) EXPECT_EQ(f[i], QString()) << "field " << i + 1;
      EXPECT_FALSE(f[24].isEmpty());
      EXPECT_EQ(f[29], OrganisationLink(sim->BaseUrl(), guid));
    }
    EXPECT_EQ(FileBytes(run.dir + QStringLiteral("lists.dat")), kUtf8Mark);
    EXPECT_FALSE(LogTexts(run.view.LogLines()).join('\n').contains(QStringLiteral("Ошибка")));
  });
}

}  // namespace
