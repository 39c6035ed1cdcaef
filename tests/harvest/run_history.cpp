// Two harvests through the job against the substitute portal, the first stopped and
// continued, the second after the portal's data changed: both land in "history.sqlite" with
// every row of their result files once, and the change report lists exactly the changes.

#include <sqlite3.h>

#include "harvest/harvestend.h"
#include "harvest/historydb.h"
#include "harvest/runstore.h"
#include "tests/harvest/history_support.h"
#include "tests/harvest/run_support.h"
#include "tests/support/files.h"

namespace {

using history_test::RowsOfHarvest;

QStringList SimArgs(const simdata::Config& c, QStringList extra = {}) {
  QStringList args{QStringLiteral("--regions"), QString::number(c.regions), QStringLiteral("--orgs"),
                   QString::number(c.orgs),     QStringLiteral("--houses"),  QString::number(c.houses),
                   QStringLiteral("--seed"),    QString::number(c.seed)};
  if (c.mutateSeed != 0)
    args << QStringLiteral("--mutate-seed") << QString::number(c.mutateSeed) << QStringLiteral("--mutate-percent")
         << QString::number(c.mutatePercent);
  return args + extra;
}

QStringList RowsOfFiles(const QString& dir, const QStringList& names) {
  QStringList rows;
  for (const QString& name : names) {
    QStringList lines = FileLines(dir + name);
    if (!lines.isEmpty()) lines.removeFirst();
    rows += lines;
  }
  rows.sort();
  return rows;
}

// The harvests in a folder's history, in the order imported.
struct HarvestInHistory {
  qint64 id;
  QString resultFiles, regions;
};
QList<HarvestInHistory> HarvestsIn(HarvestHistory& history) {
  historydb::Statement harvests(history.Handle(), "SELECT id, result_files, regions FROM harvests ORDER BY id");
  QList<HarvestInHistory> found;
  while (harvests.Step() == SQLITE_ROW) found.append({harvests.Int(0), harvests.Text(1), harvests.Text(2)});
  return found;
}

// The log's texts that begin with `start`.
QStringList LogStarting(RecordingView& view, const QString& start) {
  QStringList found;
  for (const QString& text : LogTexts(view.LogLines()))
    if (text.startsWith(start)) found << text;
  return found;
}

TEST(HistoryRun, TwoHarvestsThroughTheJobAreKeptOnceAndTheirChangesReported) {
  simdata::Config cfg;
  cfg.regions = 3;
  cfg.orgs = 50;
  cfg.houses = 2600;
  cfg.seed = 11;
  simdata::Config later = cfg;
  later.mutateSeed = 7;
  later.mutatePercent = 8;
  const simdata::Dataset base(cfg), mutated(later);
  QList<RegionItem> items;
  for (const simdata::Region& r : base.Regions()) items.append({history_test::Q(r.name), history_test::RegionKey(r)});

  QTemporaryDir folder;
  const QString dir = folder.path() + QLatin1Char('/');
  QStringList firstFiles;
  {
    SimServer sim(SimArgs(cfg, {QStringLiteral("--delay"), QStringLiteral("15")}));
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    InFreshThread([&] {
      // The first harvest: stopped after a few rows, then continued to its end.
      JobRun first;
      first.dir = dir;
      first.view.regions = items;
      first.view.limit = 4;
      TScraper* job = first.Create(first.Settings(sim));
      job->start();
      const QDeadlineTimer deadline(60000);
      while (first.Rows().size() < 10 && !deadline.hasExpired()) QThread::msleep(10);
      job->RequestStop();
      ASSERT_TRUE(first.Finish());
      ASSERT_GT(FileLines(dir + QStringLiteral("lists.dat")).size(), 0);
      EXPECT_TRUE(LogStarting(first.view, QStringLiteral("Сбор внесён в историю")).isEmpty());
      firstFiles << QFileInfo(first.ResultPath()).fileName();

      JobRun second;
      second.dir = dir;
      second.view.limit = 4;
      second.Create(second.Settings(sim));
      ASSERT_TRUE(second.RunToEnd());
      firstFiles << QFileInfo(second.ResultPath()).fileName();
      const QStringList imported = LogStarting(second.view, QStringLiteral("Сбор внесён в историю"));
      ASSERT_EQ(imported.size(), 1) << LogTexts(second.view.LogLines()).join('\n').toStdString();
      EXPECT_TRUE(imported[0].contains(QDir::toNativeSeparators(dir + HarvestHistory::FileName())));
      EXPECT_EQ(LogStarting(second.view, QStringLiteral("Отчёт об изменениях")).size(), 1);
    });
  }
  QStringList secondFiles;
  {
    SimServer sim(SimArgs(later));
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    InFreshThread([&] {
      // "СТАРТ" finds the finished harvest's empty queue and throws it away, as the window does.
      ASSERT_TRUE(RunStore::DiscardSavedWork(dir).ok);
      JobRun third;
      third.dir = dir;
      third.view.regions = items;
      third.view.limit = 4;
      third.Create(third.Settings(sim));
      ASSERT_TRUE(third.RunToEnd());
      secondFiles << QFileInfo(third.ResultPath()).fileName();
      EXPECT_EQ(LogStarting(third.view, QStringLiteral("Сбор внесён в историю")).size(), 1)
          << LogTexts(third.view.LogLines()).join('\n').toStdString();
    });
  }

  HarvestHistory history(dir + HarvestHistory::FileName());
  ASSERT_TRUE(history.Open().ok);
  const QList<HarvestInHistory> harvests = HarvestsIn(history);
  ASSERT_EQ(harvests.size(), 2);
  for (const HarvestInHistory& h : harvests) EXPECT_EQ(h.regions.split(QStringLiteral(", ")).size(), 3);
  EXPECT_EQ(harvests[0].resultFiles, firstFiles.join(QStringLiteral(", ")));
  EXPECT_EQ(harvests[1].resultFiles, secondFiles.join(QStringLiteral(", ")));
  EXPECT_TRUE(history_test::SameLines(RowsOfHarvest(history.Handle(), harvests[0].id), RowsOfFiles(dir, firstFiles)));
  EXPECT_TRUE(history_test::SameLines(RowsOfHarvest(history.Handle(), harvests[1].id), RowsOfFiles(dir, secondFiles)));

  // The report the job wrote for the second harvest: exactly the mutation's changes.
  const QString stem = secondFiles.last().chopped(4).replace(QStringLiteral("data"), QStringLiteral("changes"));
  QStringList lines = FileLines(dir + stem + QStringLiteral(".tab"));
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ(lines.takeFirst(), ChangeReportHeader());
  lines.sort();
  EXPECT_TRUE(history_test::SameLines(lines, history_test::ExpectedChanges(base, mutated)));
  EXPECT_TRUE(QFileInfo::exists(dir + stem + QStringLiteral(".xlsx")));
  EXPECT_FALSE(QFileInfo::exists(dir + PendingHarvestsFileName()));
}

// A task given up for good goes into the history with its harvest: an organisation whose card
// the portal refuses in three runs in a row.
TEST(HistoryRun, TasksGivenUpAreRecordedWithTheirHarvest) {
  simdata::Config cfg;
  cfg.regions = 2;
  cfg.orgs = 12;
  cfg.houses = 200;
  cfg.seed = 11;
  const simdata::Dataset ds(cfg);
  const QString refused = history_test::Q(ds.OrgGuid(3));
  QList<RegionItem> items;
  for (const simdata::Region& r : ds.Regions()) items.append({history_test::Q(r.name), history_test::RegionKey(r)});
  SimServer sim(SimArgs(cfg, {QStringLiteral("--fault"),
                              QStringLiteral("kind=card,match=%1,status=503,reason=Service Unavailable").arg(refused)}));
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  QTemporaryDir folder;
  const QString dir = folder.path() + QLatin1Char('/');
  QStringList files;
  InFreshThread([&] {
    for (int run = 1; run <= 3; ++run) {
      JobRun job;
      job.dir = dir;
      job.view.regions = items;  // read by the first run only
      job.Create(job.Settings(sim));
      ASSERT_TRUE(job.RunToEnd());
      files << QFileInfo(job.ResultPath()).fileName();
      EXPECT_EQ(LogStarting(job.view, QStringLiteral("Сбор внесён в историю")).size(), run == 3 ? 1 : 0)
          << "run " << run << "\n" << LogTexts(job.view.LogLines()).join('\n').toStdString();
    }
  });
  HarvestHistory history(dir + HarvestHistory::FileName());
  ASSERT_TRUE(history.Open().ok);
  historydb::Statement harvest(history.Handle(), "SELECT given_up, result_files FROM harvests");
  ASSERT_EQ(harvest.Step(), SQLITE_ROW);
  EXPECT_EQ(harvest.Int(0), 1);
  EXPECT_EQ(harvest.Text(1), files.join(QStringLiteral(", ")));
  historydb::Statement given(history.Handle(), "SELECT task, org_guid, region_key FROM given_up");
  ASSERT_EQ(given.Step(), SQLITE_ROW);
  EXPECT_EQ(given.Text(0), OrgCardTask(sim.BaseUrl(), refused));
  EXPECT_EQ(given.Text(1), refused);
  EXPECT_EQ(given.Text(2), QString());
  EXPECT_EQ(given.Step(), SQLITE_DONE);
}

// A harvest completes (its empty queue is saved), and then either its note for the history
// is made and imported, or the program is ended before the note: the history and the pending
// list then do not have it. The next "СТАРТ" notes it from the saved state before that state is
// discarded, and the fresh harvest's start imports it; one already imported is not doubled.
TEST(HistoryRun, AHarvestEndedBeforeItsNoteIsImportedAtTheNextStartAndNeverTwice) {
  simdata::Config cfg;
  cfg.regions = 2;
  cfg.orgs = 12;
  cfg.houses = 200;
  cfg.seed = 5;
  const simdata::Dataset ds(cfg);
  QList<RegionItem> items;
  for (const simdata::Region& r : ds.Regions()) items.append({history_test::Q(r.name), history_test::RegionKey(r)});
  SimServer sim(SimArgs(cfg));
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  for (const bool endedBeforeTheNote : {true, false}) {
    SCOPED_TRACE(endedBeforeTheNote ? "ended before the note" : "noted and imported");
    QTemporaryDir folder;
    const QString dir = folder.path() + QLatin1Char('/');
    QStringList files;
    InFreshThread([&] {
      JobRun first;
      first.dir = dir;
      first.view.regions = items;
      first.Create(first.Settings(sim));
      ASSERT_TRUE(first.RunToEnd());
      files << QFileInfo(first.ResultPath()).fileName();
      // What the disk holds after an end between the empty queue's save and the note.
      if (endedBeforeTheNote) {
        ASSERT_TRUE(QFile::remove(dir + HarvestHistory::FileName()));
        ASSERT_FALSE(QFileInfo::exists(dir + PendingHarvestsFileName()));
      }
      // "СТАРТ", as the window does it: the note, then the saved work discarded.
      QStringList noted;
      NoteHarvestLeftComplete(dir, [&noted](const QString& line) { noted << line; });
      EXPECT_TRUE(noted.isEmpty()) << noted.join('\n').toStdString();
      ASSERT_TRUE(RunStore::DiscardSavedWork(dir).ok);
      JobRun second;
      second.dir = dir;
      second.view.regions = items;
      second.Create(second.Settings(sim));
      ASSERT_TRUE(second.RunToEnd());
      files << QFileInfo(second.ResultPath()).fileName();
      // Imported at the start when it was missing, then the new harvest at the end.
      EXPECT_EQ(LogStarting(second.view, QStringLiteral("Сбор внесён в историю")).size(), endedBeforeTheNote ? 2 : 1)
          << LogTexts(second.view.LogLines()).join('\n').toStdString();
    });
    if (HasFatalFailure()) return;
    HarvestHistory history(dir + HarvestHistory::FileName());
    ASSERT_TRUE(history.Open().ok);
    const QList<HarvestInHistory> harvests = HarvestsIn(history);
    ASSERT_EQ(harvests.size(), 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(harvests[i].resultFiles, files[i]);
      EXPECT_TRUE(history_test::SameLines(RowsOfHarvest(history.Handle(), harvests[i].id), RowsOfFiles(dir, {files[i]})));
    }
    EXPECT_FALSE(QFileInfo::exists(dir + PendingHarvestsFileName()));
  }
}

}  // namespace
