// Killed at any moment and continued, a harvest writes every row exactly once: the union of
// all its result files equals the rows of one uninterrupted run. The run is a child process
// (crash_driver) that is killed (SIGKILL, TerminateProcess) at named moments of its saving and
// its end, or from outside after a while, then started again in the same folder until it ends.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>

#include "harvest/resultfile.h"
#include "tests/harvest/run_support.h"
#include "tests/support/childprocess.h"
#include "tests/support/simserver.h"
#include "text/textfile.h"
#include "tools/portal-sim/dataset.h"

namespace {

using namespace std::chrono_literals;

const QStringList kDataset{QStringLiteral("--regions"), QStringLiteral("3"), QStringLiteral("--orgs"),
                           QStringLiteral("24"), QStringLiteral("--houses"), QStringLiteral("2600")};
// The same dataset, for its region list.
simdata::Config DatasetConfig() {
  simdata::Config config;
  config.regions = 3;
  config.orgs = 24;
  config.houses = 2600;
  return config;
}

struct Outcome {
  bool killed = false;  // ended at once (SIGKILL, TerminateProcess)
  bool ended = false;   // ran to its end
};

class CrashResumeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_ = new SimServer(kDataset);
    QString error;
    ASSERT_TRUE(sim_->Start(&error)) << error.toStdString();
    citiesDir_ = new QTemporaryDir;
    // Made here rather than by the portal's executable, which a Windows test cannot start.
    const std::string cities = simdata::Dataset(DatasetConfig()).CitiesFile();
    QFile file(Cities());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(cities.data(), qint64(cities.size())), qint64(cities.size()));
    file.close();
    QTemporaryDir ref;
    ASSERT_TRUE(Run(ref.path(), QString()).ended);
    reference_ = new QStringList(AllResultRows(ref.path()));
    ASSERT_GT(reference_->size(), 20);
  }
  static void TearDownTestSuite() {
    delete sim_;
    delete citiesDir_;
    delete reference_;
  }

  static QString Cities() { return citiesDir_->path() + QStringLiteral("/cities.txt"); }

  // One start of the run in dir; kill: "" (none), "MOMENT:K", "ARM>MOMENT:K" or "after:MS".
  static Outcome Run(const QString& dir, const QString& kill, SimServer* sim = nullptr,
                     const QString& checkpointMs = QStringLiteral("15")) {
    QStringList args{QStringLiteral("--dir"),   dir,
                     QStringLiteral("--base"),  (sim ? sim : sim_)->BaseUrl(),
                     QStringLiteral("--cert"),  SimServer::ClientCert(),
                     QStringLiteral("--key"),   SimServer::ClientKey(),
                     QStringLiteral("--cities"), Cities(),
                     QStringLiteral("--checkpoint-ms"), checkpointMs};
    const bool fromOutside = kill.startsWith(QLatin1String("after:"));
    if (!kill.isEmpty() && !fromOutside) args << QStringLiteral("--kill-at") << kill;
    ChildProcess driver;
    if (!driver.Start(SimServer::HostPath(QStringLiteral(ORGH_CRASH_DRIVER_EXE)), args, false)) return {};
    if (fromOutside && !driver.Wait(kill.mid(6).toInt())) driver.Kill();
    driver.Wait(300000);
    Outcome out;
    out.killed = driver.Killed();
    out.ended = driver.Exited() && driver.ExitCode() == 0;
    return out;
  }

  static SimServer* sim_;
  static QTemporaryDir* citiesDir_;
  static QStringList* reference_;
};

SimServer* CrashResumeTest::sim_ = nullptr;
QTemporaryDir* CrashResumeTest::citiesDir_ = nullptr;
QStringList* CrashResumeTest::reference_ = nullptr;

TEST_F(CrashResumeTest, KilledAtAnyMomentEveryRowLandsExactlyOnce) {
  // Each case: the kills of successive starts; every start after them runs to the end.
  const std::vector<QStringList> cases{
      {QStringLiteral("checkpoint:context-written:1")},  // the plan at start-up, half saved
      {QStringLiteral("checkpoint:context-written:4")},  // between the context and the queue
      {QStringLiteral("checkpoint:synced:3")},
      {QStringLiteral("checkpoint:queue-written:5")},
      {QStringLiteral("row:written:7")},
      {QStringLiteral("end:closed:1")},
      {QStringLiteral("end:exported:1")},  // the workbook written, the queue not yet
      {QStringLiteral("end:exported>checkpoint:context-written:1")},  // inside the last save
      {QStringLiteral("end:saved:1")},
      {QStringLiteral("row:written:3"), QStringLiteral("resume:cut:1")},  // killed again at once
      {QStringLiteral("row:written:2"), QStringLiteral("checkpoint:context-written:1"),
       QStringLiteral("row:written:9")},
      {QStringLiteral("after:250"), QStringLiteral("after:400"), QStringLiteral("after:600")},
  };
  for (const QStringList& kills : cases) {
    SCOPED_TRACE(kills.join(QStringLiteral(", ")).toStdString());
    QTemporaryDir dir;
    for (const QString& kill : kills) {
      const Outcome out = Run(dir.path(), kill);
      ASSERT_TRUE(out.killed || out.ended);
    }
    bool ended = false;
    for (int i = 0; i < 3 && !ended; ++i) ended = Run(dir.path(), QString()).ended;
    ASSERT_TRUE(ended);
    ExpectExactlyOnce(*reference_, AllResultRows(dir.path()));
    // Every result file with rows has its workbook (one killed before its first saved state
    // holds the header only), and nothing is left to do.
    for (const QString& tab : QDir(dir.path()).entryList({QStringLiteral("data*.tab")})) {
      const QString path = dir.path() + QLatin1Char('/') + tab;
      if (QFileInfo(path).size() > ResultFile::HeaderSize()) {
        EXPECT_TRUE(QFile::exists(path.chopped(4) + QStringLiteral(".xlsx"))) << tab.toStdString();
      }
    }
    QStringList left;
    ASSERT_TRUE(ReadTextLines(dir.path() + QStringLiteral("/lists.dat"), &left));
    EXPECT_TRUE(left.isEmpty());
  }
}

// Cards that always fail are given up in the third run in a row; that run is killed inside its
// last save, after the list of given-up tasks was written and before the queue that no
// longer holds them. The queue on the disk still holds them, so they are tried again: when
// they are given up again, the list names each of them once.
TEST_F(CrashResumeTest, TasksGivenUpAreListedOnceWhateverKillComesBetweenTheListAndTheQueue) {
  const simdata::Dataset dataset(DatasetConfig());
  const QStringList failing{QString::fromStdString(dataset.OrgGuid(1)), QString::fromStdString(dataset.OrgGuid(5))};
  QStringList args = kDataset;
  for (const QString& guid : failing)
    args << QStringLiteral("--fault") << QStringLiteral("kind=card,match=%1,status=503,reason=Service Unavailable").arg(guid);
  SimServer sim(args);
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  // The checkpoint only at the start and the end: the given-up tasks are listed by the last.
  const QString rare = QStringLiteral("600000");
  for (const QString& kill : {QStringLiteral("end:exported>checkpoint:context-written:1"),
                              QStringLiteral("end:exported>checkpoint:listed:1")}) {
    SCOPED_TRACE(kill.toStdString());
    QTemporaryDir dir;
    ASSERT_TRUE(Run(dir.path(), QString(), &sim, rare).ended);
    ASSERT_TRUE(Run(dir.path(), QString(), &sim, rare).ended);
    const Outcome killed = Run(dir.path(), kill, &sim, rare);
    ASSERT_TRUE(killed.killed || killed.ended);
    QStringList left{QStringLiteral("?")};
    for (int i = 0; i < 6 && !left.isEmpty(); ++i) {
      ASSERT_TRUE(Run(dir.path(), QString(), &sim, rare).ended);
      ASSERT_TRUE(ReadTextLines(dir.path() + QStringLiteral("/lists.dat"), &left));
    }
    EXPECT_TRUE(left.isEmpty()) << left.join('\n').toStdString();
    QStringList listed;
    ASSERT_TRUE(ReadTextLines(dir.path() + QStringLiteral("/failed-tasks.txt"), &listed));
    for (const QString& guid : failing) {
      const qsizetype times = std::count_if(listed.cbegin(), listed.cend(), [&guid](const QString& line) {
        return line.section(QLatin1Char('\t'), 0, 0).contains(guid);
      });
      EXPECT_EQ(times, 1) << guid.toStdString() << "\n" << listed.join('\n').toStdString();
    }
  }
}

}  // namespace
