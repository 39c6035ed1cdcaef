// Whole runs in a folder whose file system cannot sync a folder (EINVAL from fsync, as on
// network shares and the shared folders of virtual machines): the run goes on, every saved
// state counts, and the log tells only the truth.

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>

#include "tests/harvest/run_support.h"
#include "tests/support/foldersync.h"
#include "tools/portal-sim/dataset.h"

using namespace std::chrono_literals;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QStringList Sorted(QStringList l) {
  std::sort(l.begin(), l.end());
  return l;
}

// Every line of the run's log is true: the folder's limits said once, nothing called unsaved
// or unwritten, the workbook holds the rows, and the log file named by the closing line is
// there and holds the log.
void ExpectTruthfulLog(JobRun& run) {
  const QStringList lines = run.view.LogLines();
  const QStringList texts = LogTexts(lines);
  const QString joined = texts.join('\n');
  SCOPED_TRACE(joined.toStdString());
  EXPECT_EQ(texts.filter(QStringLiteral("не сохраняет на диск изменения в ней самой")).size(), 1);
  for (const char* untrue : {"не сохранено", "не записан", "Ошибка", "не создан"})
    EXPECT_FALSE(joined.contains(QString::fromUtf8(untrue))) << untrue;

  const QString tab = run.ResultPath();
  const QString made = QStringLiteral("Файл сформирован, в нем %1 строк").arg(run.Rows().size() + 1);
  EXPECT_TRUE(texts.contains(made));
  const QString xlsx = tab.left(tab.size() - 4) + QStringLiteral(".xlsx");
  EXPECT_GT(QFileInfo(xlsx).size(), 0);

  const QString closing = QStringLiteral("Работа завершена, лог записан в ");
  ASSERT_TRUE(texts.last().startsWith(closing));
  QByteArray expected;
  for (const QString& line : lines) expected += EncodeAnsi(line) + "\r\n";
  EXPECT_EQ(FileBytes(texts.last().mid(closing.size())), expected);
}

TEST(NoFolderSync, StoppedAndResumedRunsGiveEveryRowOnceAndTellTheTruth) {
  simdata::Config cfg;
  cfg.regions = 1;
  cfg.orgs = 30;
  cfg.houses = 1500;
  cfg.seed = 7;
  simdata::Dataset ds(cfg);
  SimServer sim({QStringLiteral("--regions"), QString::number(cfg.regions), QStringLiteral("--orgs"),
                 QString::number(cfg.orgs), QStringLiteral("--houses"), QString::number(cfg.houses),
                 QStringLiteral("--seed"), QString::number(cfg.seed), QStringLiteral("--delay"), QStringLiteral("15")});
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  const simdata::Region& region = ds.Regions()[0];
  const RegionItem item{Q(region.name), Q(region.code) + QStringLiteral("$$$") + Q(region.guid)};

  InFreshThread([&] {
    // What one run gives where folders sync.
    JobRun reference;
    reference.view.regions = {item};
    reference.view.limit = 4;
    reference.Create(reference.Settings(sim));
    ASSERT_TRUE(reference.RunToEnd());
    const QStringList expected = reference.Rows();
    ASSERT_GT(expected.size(), 20);

    FolderSyncFails noFolderSync;
    // Stopped part-way: its checkpoints must have counted, or the resumed run would fetch
    // rows again or lose them.
    auto first = std::make_unique<JobRun>();
    first->view.regions = {item};
    first->view.limit = 4;
    HarvestSettings settings = first->Settings(sim);
    settings.checkpointIntervalMs = 20;
    TScraper* job = first->Create(settings);
    job->start();
    const QDeadlineTimer deadline(60000);
    while (first->Rows().size() < 10 && !deadline.hasExpired()) QThread::msleep(10);
    job->RequestStop();
    ASSERT_TRUE(first->Finish());
    QStringList rows = first->Rows();
    ASSERT_GE(rows.size(), 10);
    ASSERT_LT(rows.size(), expected.size());
    ExpectTruthfulLog(*first);

    JobRun second;
    for (const char* name : {"lists.dat", "allknown.dat", "context.dat"})
      second.WriteFile(name, FileBytes(first->dir + QString::fromUtf8(name)));
    second.view.limit = 4;
    second.Create(second.Settings(sim));
    ASSERT_TRUE(second.RunToEnd());
    ExpectTruthfulLog(second);
    rows += second.Rows();
    EXPECT_EQ(Sorted(rows), Sorted(expected));
    EXPECT_GT(FolderSyncFails::Refused(), 0);
  });
}

}  // namespace
