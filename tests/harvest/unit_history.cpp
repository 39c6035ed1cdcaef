// The harvest history: every row of a harvest imported exactly once, whatever interrupts the
// import; a database that cannot be used says so and touches nothing else; the change report
// lists exactly what changed; the README's queries run as printed.

#include <sqlite3.h>

#include <QCoreApplication>
#include <cstdio>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "harvest/harvestend.h"
#include "harvest/historydb.h"
#include "harvest/job_context.h"
#include "tests/harvest/history_support.h"
#include "tests/support/files.h"
#include "tests/support/testplatform.h"
#include "tests/support/zipread.h"
#include "tests/support/childprocess.h"

using namespace history_test;

namespace {

simdata::Config SmallConfig() {
  simdata::Config c;
  c.regions = 3;
  c.orgs = 60;
  c.houses = 3000;
  c.seed = 11;
  return c;
}

std::vector<int> AllRegions(const simdata::Dataset& ds) {
  std::vector<int> r;
  for (int i = 0; i < int(ds.Regions().size()); ++i) r.push_back(i);
  return r;
}

qint64 Count(sqlite3* db, const char* sql) {
  qint64 n = -1;
  EXPECT_EQ(historydb::Db(db).Scalar(sql, &n), SQLITE_OK) << sql;
  return n;
}

qint64 HousesIn(const QStringList& rows) {
  qint64 n = 0;
  for (const QString& row : rows) n += std::max<qint64>(0, row.section(QLatin1Char('\t'), 24, 24).toLongLong());
  return n;
}

QStringList Sorted(QStringList l) {
  l.sort();
  return l;
}

// Names and digests of every file in a folder, the database's own excepted.
QMap<QString, QByteArray> FolderState(const QString& dir) {
  QMap<QString, QByteArray> state;
  for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden)) {
    if (info.fileName().startsWith(HarvestHistory::FileName())) continue;
    QFile f(info.filePath());
    state[info.fileName()] = f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) : QByteArray("?");
  }
  return state;
}

class HistoryTest : public ::testing::Test {
 protected:
  QTemporaryDir tmp;
  QString dir = tmp.path() + QLatin1Char('/');
  QString DbPath() const { return dir + HarvestHistory::FileName(); }
};

TEST_F(HistoryTest, ImportKeepsEveryRowOnceAndAgainAddsNothing) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList rows = HarvestRows(ds, AllRegions(ds));
  // The dataset holds the rows that matter: several pages, no houses, houses without address.
  ASSERT_TRUE(rows.join('\n').contains(QStringLiteral("Нет домов")));
  ASSERT_TRUE(std::any_of(rows.begin(), rows.end(), [](const QString& r) { return r.section('\t', 24, 24) == u"1000"; }));
  ASSERT_TRUE(rows.join('\n').contains(QStringLiteral("||")));
  // A harvest stopped twice and continued: three result files.
  const QStringList files = WriteResultFiles(dir, QStringLiteral("data"), rows, 3);
  const HarvestRecord record = Record(ds, AllRegions(ds), files, QStringLiteral("2026-01-05T10:00:00+03:00"));

  HarvestHistory history(DbPath());
  const ImportOutcome first = history.Import(record);
  ASSERT_TRUE(first.outcome.ok) << first.outcome.reason.toStdString();
  EXPECT_FALSE(first.already);
  EXPECT_EQ(first.rows, rows.size());
  EXPECT_EQ(first.houses, HousesIn(rows));
  EXPECT_TRUE(SameLines(RowsOfHarvest(history.Handle(), first.harvestId), Sorted(rows)));

  // The houses: one per house, the organisation's GUID with each, addresses in answer order.
  historydb::Statement houses(history.Handle(), "SELECT org_guid, address FROM houses WHERE harvest_id = ?1");
  houses.Bind(1, first.harvestId);
  QStringList gotHouses, wantHouses;
  while (houses.Step() == SQLITE_ROW) gotHouses << houses.Text(0) + u'\t' + houses.Text(1);
  for (const QString& row : rows) {
    const QStringList f = row.split(QLatin1Char('\t'));
    if (f[24].toLongLong() > 0)
      for (const QString& a : f[27].split(QLatin1Char('|'))) wantHouses << f[1] + u'\t' + a;
  }
  EXPECT_TRUE(SameLines(gotHouses, wantHouses));

  // Numbers are numbers where the file holds whole numbers, text where it does not.
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM rows WHERE typeof(house_count) = 'integer'"),
            rows.size() - rows.join('\n').count(QStringLiteral("\tНет домов\tНет домов\tНет домов\tНет домов\tНет домов\t")));
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM rows WHERE typeof(inn) <> 'text'"), 0);
  qint64 version = 0;
  ASSERT_EQ(historydb::Db(history.Handle()).Scalar("PRAGMA user_version", &version), SQLITE_OK);
  EXPECT_EQ(version, HarvestHistory::kSchemaVersion);

  // Again, and again from a new program start: nothing added.
  const ImportOutcome again = history.Import(record);
  ASSERT_TRUE(again.outcome.ok);
  EXPECT_TRUE(again.already);
  EXPECT_EQ(again.harvestId, first.harvestId);
  history.Close();
  HarvestHistory reopened(DbPath());
  const ImportOutcome third = reopened.Import(record);
  ASSERT_TRUE(third.outcome.ok);
  EXPECT_TRUE(third.already);
  EXPECT_EQ(Count(reopened.Handle(), "SELECT count(*) FROM harvests"), 1);
  EXPECT_EQ(Count(reopened.Handle(), "SELECT count(*) FROM rows"), rows.size());
  EXPECT_EQ(Count(reopened.Handle(), "SELECT count(*) FROM houses"), HousesIn(rows));

  // The same files under another start time are another harvest; addresses are kept once.
  const qint64 addresses = Count(reopened.Handle(), "SELECT count(*) FROM addresses");
  HarvestRecord later = record;
  later.started = QStringLiteral("2026-02-05T10:00:00+03:00");
  const ImportOutcome second = reopened.Import(later);
  ASSERT_TRUE(second.outcome.ok);
  EXPECT_EQ(RowsOfHarvest(reopened.Handle(), second.harvestId), Sorted(rows));
  EXPECT_EQ(Count(reopened.Handle(), "SELECT count(*) FROM addresses"), addresses);
}

TEST_F(HistoryTest, ResultFileThatIsNotOneIsNamedAndNothingIsAdded) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList files = WriteResultFiles(dir, QStringLiteral("data"), HarvestRows(ds, AllRegions(ds)), 2);
  struct Case {
    const char* what;
    std::function<void()> spoil;
  };
  const Case cases[] = {
      {"missing", [&] { QFile::remove(files[1]); }},
      {"no header", [&] {
         QFile f(files[1]);
         ASSERT_TRUE(f.open(QIODevice::WriteOnly));
         f.write("\xEF\xBB\xBFsomething else\r\n");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.spoil();
    HarvestHistory history(DbPath());
    const ImportOutcome out = history.Import(Record(ds, AllRegions(ds), files, QStringLiteral("2026-01-05T10:00:00Z")));
    EXPECT_FALSE(out.outcome.ok);
    EXPECT_FALSE(out.outcome.retry);
    EXPECT_TRUE(out.outcome.reason.contains(QDir::toNativeSeparators(files[1]))) << out.outcome.reason.toStdString();
    EXPECT_TRUE(out.outcome.reason.contains(HarvestHistory::FileName()));
    EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM harvests"), 0);
    EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM row_data"), 0);
    EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM house_list"), 0);
  }
}

TEST_F(HistoryTest, ImportKilledHalfWayLeavesNothingAndTheNextOneAddsItWhole) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList rows = HarvestRows(ds, AllRegions(ds));
  const QStringList files = WriteResultFiles(dir, QStringLiteral("data"), rows, 2);
  // The driver imports the harvest and kills itself after the 40th row, inside the
  // transaction.
  ChildProcess child;
  QString error;
  ASSERT_TRUE(child.Start(QStringLiteral(ORGH_HISTORY_DRIVER_EXE),
                          {DbPath(), QStringLiteral("40"), QStringLiteral("2026-01-05T10:00:00Z"), files[0], files[1]},
                          false, &error))
      << error.toStdString();
  ASSERT_TRUE(child.Wait(60000));
  ASSERT_TRUE(child.Killed());
  ASSERT_TRUE(QFileInfo::exists(DbPath() + QStringLiteral("-journal")));

  HarvestHistory history(DbPath());
  ASSERT_TRUE(history.Open().ok);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM harvests"), 0);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM row_data"), 0);
  const ImportOutcome out = history.Import(Record(ds, AllRegions(ds), files, QStringLiteral("2026-01-05T10:00:00Z")));
  ASSERT_TRUE(out.outcome.ok) << out.outcome.reason.toStdString();
  EXPECT_FALSE(out.already);
  EXPECT_EQ(RowsOfHarvest(history.Handle(), out.harvestId), Sorted(rows));
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM houses"), HousesIn(rows));
}

// A database that cannot be used: one reason naming it and what to do, retried later, and
// no other file of the folder touched.
TEST_F(HistoryTest, UnusableDatabaseGivesOneReasonAndTouchesNothingElse) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList files = WriteResultFiles(dir, QStringLiteral("data"), HarvestRows(ds, AllRegions(ds)), 1);
  WriteFileBytes(dir + QStringLiteral("data0.xlsx"), "workbook");
  WriteFileBytes(dir + QStringLiteral("context.dat"), "state");
  const HarvestRecord record = Record(ds, AllRegions(ds), files, QStringLiteral("2026-01-05T10:00:00Z"));

  struct Case {
    const char* what;
    QString expected;  // part of the reason
  };
  const auto check = [&](const Case& c, const std::function<ImportOutcome()>& import) {
    SCOPED_TRACE(c.what);
    const QMap<QString, QByteArray> before = FolderState(dir);
    const ImportOutcome out = import();
    EXPECT_FALSE(out.outcome.ok);
    EXPECT_TRUE(out.outcome.retry);
    EXPECT_TRUE(out.outcome.reason.contains(QDir::toNativeSeparators(DbPath()))) << out.outcome.reason.toStdString();
    EXPECT_TRUE(out.outcome.reason.contains(c.expected)) << out.outcome.reason.toStdString();
    EXPECT_FALSE(out.outcome.reason.contains(u'\n'));
    EXPECT_EQ(FolderState(dir), before);
  };

  {  // Another program holds it.
    HarvestHistory created(DbPath());
    ASSERT_TRUE(created.Open().ok);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    check({"locked", QStringLiteral("занята другой программой")}, [&] { return created.Import(record); });
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // Free again: the same harvest goes in.
    const ImportOutcome retried = created.Import(record);
    EXPECT_TRUE(retried.outcome.ok) << retried.outcome.reason.toStdString();
  }
  QFile::remove(DbPath());

  // Damaged: not a database at all.
  WriteFileBytes(DbPath(), QByteArray(8192, 'x'));
  check({"damaged", QStringLiteral("повреждена")}, [&] {
    HarvestHistory history(DbPath());
    return history.Import(record);
  });
  QFile::remove(DbPath());

#ifndef _WIN32
  {  // A folder that cannot be written (as an ordinary user: root writes anywhere).
    QFile::setPermissions(tmp.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
    const QMap<QString, QByteArray> before = FolderState(dir);
    const bool refused = AsOrdinaryUser([&] {
      if (QFile(dir + QStringLiteral("probe")).open(QIODevice::WriteOnly)) return false;
      HarvestHistory history(DbPath());
      const ImportOutcome out = history.Import(record);
      std::fprintf(stderr, "%s\n", out.outcome.reason.toUtf8().constData());
      return !out.outcome.ok && out.outcome.retry && out.outcome.reason.contains(QStringLiteral("проверьте права")) &&
             out.outcome.reason.contains(DbPath());
    });
    QFile::setPermissions(tmp.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(refused);
    EXPECT_EQ(FolderState(dir), before);
    EXPECT_FALSE(QFileInfo::exists(DbPath()));
  }
#endif

  // A full disk: the import rolls back and says so.
  SmallDisk disk(1024);
  if (disk.Available()) {
    HarvestHistory history(disk.Path() + HarvestHistory::FileName());
    ASSERT_TRUE(history.Open().ok);
    disk.Fill();
    const ImportOutcome out = history.Import(record);
    EXPECT_FALSE(out.outcome.ok);
    EXPECT_TRUE(out.outcome.retry);
    EXPECT_TRUE(out.outcome.reason.contains(QStringLiteral("освободите место"))) << out.outcome.reason.toStdString();
    disk.Free();
    const ImportOutcome later = history.Import(record);
    EXPECT_TRUE(later.outcome.ok) << later.outcome.reason.toStdString();
  }
}

class ChangeReportTest : public HistoryTest {
 protected:
  void SetUp() override {
    const simdata::Config cfg = SmallConfig();
    simdata::Config changed = cfg;
    changed.mutateSeed = 7;
    changed.mutatePercent = 8;
    base = std::make_unique<simdata::Dataset>(cfg);
    mutated = std::make_unique<simdata::Dataset>(changed);
    const simdata::Mutations& m = mutated->Mutation();
    ASSERT_FALSE(m.changed.empty() || m.vanished.empty() || m.appeared.empty() || m.moves.empty());
  }
  ImportOutcome ImportOf(HarvestHistory& history, const simdata::Dataset& ds, const std::vector<int>& regions,
                         const QString& stem, const QString& started, QList<HistoryGivenUp> givenUp = {},
                         QStringList drop = {}) {
    QStringList rows = HarvestRows(ds, regions);
    rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const QString& r) { return drop.contains(r.section('\t', 1, 1)); }),
               rows.end());
    HarvestRecord record = Record(ds, regions, WriteResultFiles(dir, stem, rows, 2), started);
    record.givenUp = givenUp;
    ImportOutcome out = history.Import(record);
    EXPECT_TRUE(out.outcome.ok) << out.outcome.reason.toStdString();
    return out;
  }
  std::unique_ptr<simdata::Dataset> base, mutated;
};

TEST_F(ChangeReportTest, ListsExactlyWhatTheMutationChanged) {
  HarvestHistory history(DbPath());
  const ImportOutcome first = ImportOf(history, *base, AllRegions(*base), QStringLiteral("data1-"), QStringLiteral("2026-01-01T00:00:00Z"));
  const ImportOutcome second = ImportOf(history, *mutated, AllRegions(*mutated), QStringLiteral("data2-"), QStringLiteral("2026-02-01T00:00:00Z"));

  // The first harvest: every region new.
  QList<RegionSummary> firstSummary;
  const QStringList firstLines = ChangesOf(history, first.harvestId, &firstSummary);
  ASSERT_EQ(firstLines.size(), int(base->Regions().size()));
  for (const QString& line : firstLines) EXPECT_EQ(line.section('\t', 1, 1), change_kind::NewRegion());

  QList<RegionSummary> summary;
  const QStringList lines = ChangesOf(history, second.harvestId, &summary);
  const QStringList expected = ExpectedChanges(*base, *mutated);
  EXPECT_TRUE(SameLines(Sorted(lines), expected));
  qint64 moved = 0, changedOrgs = 0;
  for (const RegionSummary& s : summary) {
    EXPECT_FALSE(s.isNew);
    EXPECT_EQ(s.baseHarvest, first.harvestId);
    moved += s.housesMoved;
    changedOrgs += s.changedOrgs;
  }
  EXPECT_EQ(changedOrgs, qint64(mutated->Mutation().changed.size()));
  EXPECT_GT(moved, 0);

  // The files say the same: the .tab line by line, the workbook with its four sheets.
  const ReportOutcome report =
      WriteChangeReport(history, second.harvestId, dir + QStringLiteral("changes1.xlsx"), dir + QStringLiteral("changes1.tab"));
  ASSERT_TRUE(report.outcome.ok) << report.outcome.reason.toStdString();
  EXPECT_EQ(report.lines, lines.size());
  QFile tab(dir + QStringLiteral("changes1.tab"));
  ASSERT_TRUE(tab.open(QIODevice::ReadOnly));
  const QByteArray bytes = tab.readAll();
  ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
  QStringList tabLines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
  ASSERT_EQ(tabLines.takeLast(), QString());
  EXPECT_EQ(tabLines.takeFirst(), ChangeReportHeader());
  EXPECT_EQ(tabLines, lines);
  QByteArray workbook;
  QString error;
  ASSERT_TRUE(ReadZipMember(dir + QStringLiteral("changes1.xlsx"), QStringLiteral("xl/workbook.xml"), &workbook, &error))
      << error.toStdString();
  for (const char* sheet : {"Сводка", "Организации", "Поля", "Дома"})
    EXPECT_TRUE(QString::fromUtf8(workbook).contains(QString::fromUtf8(sheet))) << sheet;
  EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("changes1.xlsx.part")));
}

TEST_F(ChangeReportTest, GivenUpOrganisationsAreNotReceivedAndNewRegionsAreNamed) {
  HarvestHistory history(DbPath());
  // The earlier harvest covered the first two regions only.
  const ImportOutcome first = ImportOf(history, *base, {0, 1}, QStringLiteral("data1-"), QStringLiteral("2026-01-01T00:00:00Z"));
  ASSERT_TRUE(first.outcome.ok);
  // The new one lost the card of a vanished organisation and of one that only changed.
  const simdata::Mutations& m = mutated->Mutation();
  std::vector<int> lost;
  for (int org : m.vanished)
    if (mutated->OrgHomeRegion(org) < 2) lost.push_back(org);
  for (int org : m.changed)
    if (mutated->OrgHomeRegion(org) < 2) {
      lost.push_back(org);
      break;
    }
  ASSERT_GE(lost.size(), 2u);
  QList<HistoryGivenUp> givenUp;
  QStringList drop;
  for (int org : lost) {
    const QString guid = Q(mutated->OrgGuid(org));
    givenUp.append({OrgCardTask(kBase, guid), guid, QString()});
    drop << guid;
  }
  const ImportOutcome second = ImportOf(history, *mutated, AllRegions(*mutated), QStringLiteral("data2-"),
                                        QStringLiteral("2026-02-01T00:00:00Z"), givenUp, drop);
  ASSERT_TRUE(second.outcome.ok);
  QList<RegionSummary> summary;
  const QStringList lines = ChangesOf(history, second.harvestId, &summary);
  ASSERT_EQ(summary.size(), 3);
  EXPECT_TRUE(summary[2].isNew);
  EXPECT_TRUE(lines.contains(LineText({summary[2].region, change_kind::NewRegion(), {}, {}, RegionKey(mutated->Regions()[2]), {}, {}})));
  for (int org : lost) {
    const QString guid = Q(mutated->OrgGuid(org));
    QStringList about;
    for (const QString& line : lines)
      if (line.section('\t', 2, 2) == guid || line.section('\t', 5, 6).contains(guid)) about << line;
    // One line, "не получена": never gone, no fields, no houses.
    ASSERT_EQ(about.size(), 1) << about.join('\n').toStdString();
    EXPECT_EQ(about[0].section('\t', 1, 1), change_kind::NotReceived());
  }
  // Nothing of the new region is compared.
  for (const QString& line : lines)
    if (line.section('\t', 0, 0) == summary[2].region) {
      EXPECT_EQ(line.section('\t', 1, 1), change_kind::NewRegion());
    }
}

// The README's example queries, read out of it as printed, run on two harvests.
TEST_F(ChangeReportTest, ReadmeQueriesRunAsPrinted) {
  QFile readme(QStringLiteral(ORGH_SOURCE_DIR "/README.md"));
  ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(readme.readAll());
  QStringList queries;
  static const QRegularExpression block(QStringLiteral("```sql\\n(.*?)```"), QRegularExpression::DotMatchesEverythingOption);
  for (auto it = block.globalMatch(text); it.hasNext();) queries << it.next().captured(1);
  ASSERT_EQ(queries.size(), 3);

  HarvestHistory history(DbPath());
  const ImportOutcome first = ImportOf(history, *base, AllRegions(*base), QStringLiteral("data1-"), QStringLiteral("2026-01-01T00:00:00Z"));
  const ImportOutcome second = ImportOf(history, *mutated, AllRegions(*mutated), QStringLiteral("data2-"), QStringLiteral("2026-02-01T00:00:00Z"));
  const auto run = [&](const QString& sql) {
    QList<QStringList> result;
    historydb::Statement s(history.Handle(), sql.toUtf8());
    EXPECT_EQ(s.Error(), SQLITE_OK) << sqlite3_errmsg(history.Handle()) << "\n" << sql.toStdString();
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      QStringList row;
      for (int c = 0; c < s.Columns(); ++c) row << s.Text(c);
      result << row;
    }
    EXPECT_EQ(rc, SQLITE_DONE) << sql.toStdString();
    return result;
  };

  // 1. Houses per organisation in the latest harvest: every house of it, once.
  qint64 houses = 0;
  for (const QStringList& row : run(queries[0])) houses += row[1].toLongLong();
  EXPECT_EQ(houses, Count(history.Handle(), QByteArray("SELECT count(*) FROM houses WHERE harvest_id = " +
                                                       QByteArray::number(second.harvestId)).constData()));
  EXPECT_GT(houses, 0);
  // 2. Whose chief changed between the last two harvests: the changed organisations.
  QSet<QString> chiefs;
  for (const QStringList& row : run(queries[1])) chiefs.insert(row[0]);
  QSet<QString> changed;
  for (int org : mutated->Mutation().changed) changed.insert(Q(mutated->OrgGuid(org)));
  EXPECT_EQ(chiefs, changed);
  // 3. Shares of a region's houses over time: between 0 and 1, adding up to 1 per region and
  // harvest.
  QMap<QString, double> sums;
  const QList<QStringList> shares = run(queries[2]);
  ASSERT_FALSE(shares.isEmpty());
  for (const QStringList& row : shares) {
    const double share = row[4].toDouble();
    EXPECT_GE(share, 0.0);
    EXPECT_LE(share, 1.0);
    sums[row[0] + u'|' + row[1]] += share;
  }
  for (auto it = sums.begin(); it != sums.end(); ++it) EXPECT_NEAR(it.value(), 1.0, 0.01) << it.key().toStdString();
  EXPECT_EQ(sums.size(), 2 * int(base->Regions().size()));
}

}  // namespace

namespace {

// The harvest under way survives "context.dat": its lines read back into the same harvest,
// values with TAB, line breaks and backslashes included.
TEST(HarvestUnderWayLines, ReadBackAsWritten) {
  HarvestUnderWay harvest;
  harvest.started = QStringLiteral("2026-01-05T10:00:00+03:00");
  harvest.regions = {{QStringLiteral("01$$$a"), QStringLiteral("Республика\tАдыгея")}, {QStringLiteral("02$$$b"), QStringLiteral("Край\\2\n")}};
  harvest.resultFiles = {QStringLiteral("data1.tab"), QStringLiteral("data-7.tab")};
  NoteGivenUp(harvest, OrgCardTask(kBase, QStringLiteral("ABC-1")));
  NoteGivenUp(harvest, QStringLiteral("01$$$a"));
  ASSERT_EQ(harvest.givenUp.size(), 2);
  EXPECT_EQ(harvest.givenUp[0].orgGuid, QStringLiteral("abc-1"));
  EXPECT_EQ(harvest.givenUp[1].regionKey, QStringLiteral("01$$$a"));
  RunData run;
  for (const QString& line : HarvestLines(harvest)) EXPECT_TRUE(LoadJobContextEntry(line, run)) << line.toStdString();
  EXPECT_EQ(run.Harvest.started, harvest.started);
  EXPECT_EQ(run.Harvest.regions, harvest.regions);
  EXPECT_EQ(run.Harvest.resultFiles, harvest.resultFiles);
  EXPECT_EQ(HarvestLines(run.Harvest), HarvestLines(harvest));
  EXPECT_TRUE(HarvestLines(HarvestUnderWay()).isEmpty());
}

// A completed harvest the history cannot take waits in "history-pending.dat" and goes in at
// the next fresh start, once; a harvest begun before the history was kept is named as such.
TEST_F(HistoryTest, CompletedHarvestWaitsUntilTheHistoryTakesIt) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList rows = HarvestRows(ds, AllRegions(ds));
  WriteResultFiles(dir, QStringLiteral("data"), rows, 2);  // data0.tab, data1.tab
  HarvestUnderWay harvest;
  harvest.started = QStringLiteral("2026-01-05T10:00:00+03:00");
  for (int r : AllRegions(ds)) harvest.regions.append({RegionKey(ds.Regions()[size_t(r)]), Q(ds.Regions()[size_t(r)].name)});
  harvest.resultFiles = {QStringLiteral("data0.tab"), QStringLiteral("data1.tab")};
  // Given up twice: once before a kill took the saved queue back, once after.
  const QString refused = OrgCardTask(kBase, QStringLiteral("abc-2"));
  NoteGivenUp(harvest, refused);
  NoteGivenUp(harvest, refused);
  QStringList log;
  const HarvestLog logTo = [&log](const QString& line) { log << line; };

  {  // Another program holds the database while the harvest completes.
    HarvestHistory created(DbPath());
    ASSERT_TRUE(created.Open().ok);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    CompleteHarvest(dir, harvest, logTo);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  }
  // The reason, and what will become of the harvest once the list that keeps it is written.
  ASSERT_EQ(log.size(), 1) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].contains(QStringLiteral("занята другой программой")));
  EXPECT_TRUE(log[0].endsWith(QStringLiteral(". Сбор будет внесён в историю при следующем \"СТАРТ\" или после следующего завершённого сбора.")))
      << log[0].toStdString();
  EXPECT_TRUE(QFileInfo::exists(dir + PendingHarvestsFileName()));

  // The next fresh start puts it in, with its report, and begins the new harvest.
  log.clear();
  const HarvestUnderWay next = BeginHarvest(dir, {{QStringLiteral("01$$$x"), QStringLiteral("Регион")}}, logTo);
  EXPECT_TRUE(next.Known());
  EXPECT_TRUE(next.resultFiles.isEmpty());
  ASSERT_EQ(log.size(), 2) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].startsWith(QStringLiteral("Сбор внесён в историю")));
  EXPECT_TRUE(log[1].contains(QDir::toNativeSeparators(dir + QStringLiteral("changes1.xlsx")))) << log[1].toStdString();
  EXPECT_FALSE(QFileInfo::exists(dir + PendingHarvestsFileName()));
  HarvestHistory history(DbPath());
  ASSERT_TRUE(history.Open().ok);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM harvests"), 1);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM rows"), rows.size());
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM given_up"), 1);
  EXPECT_EQ(Count(history.Handle(), "SELECT given_up FROM harvests"), 1);

  // Completed again (a kill after the import, before the list was cleared): nothing added,
  // and the report, which the kill may have cut off, is made again.
  log.clear();
  CompleteHarvest(dir, harvest, logTo);
  ASSERT_EQ(log.size(), 1) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].startsWith(QStringLiteral("Отчёт об изменениях: "))) << log[0].toStdString();
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM rows"), rows.size());

  log.clear();
  CompleteHarvest(dir, HarvestUnderWay(), logTo);
  ASSERT_EQ(log.size(), 1);
  EXPECT_TRUE(log[0].contains(QStringLiteral("не вносится")));
}

// A harvest that went into the history but whose change report could not be written (here
// a folder stands where the workbook goes) keeps waiting for the report alone: the next start
// makes it, and the rows are not added a second time.
TEST_F(HistoryTest, AReportThatFailedIsMadeAtTheNextStart) {
  const simdata::Dataset ds(SmallConfig());
  const QStringList rows = HarvestRows(ds, AllRegions(ds));
  WriteResultFiles(dir, QStringLiteral("data"), rows, 1);  // data0.tab
  HarvestUnderWay harvest;
  harvest.started = QStringLiteral("2026-01-06T10:00:00+03:00");
  for (int r : AllRegions(ds)) harvest.regions.append({RegionKey(ds.Regions()[size_t(r)]), Q(ds.Regions()[size_t(r)].name)});
  harvest.resultFiles = {QStringLiteral("data0.tab")};
  QStringList log;
  const HarvestLog logTo = [&log](const QString& line) { log << line; };
  const QString workbook = dir + QStringLiteral("changes0.xlsx");
  ASSERT_TRUE(QDir().mkpath(workbook + QStringLiteral("/inside")));
  const QString promise = QStringLiteral(". Отчёт будет сделан при следующем \"СТАРТ\".");
  CompleteHarvest(dir, harvest, logTo);
  ASSERT_EQ(log.size(), 2) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].startsWith(QStringLiteral("Сбор внесён в историю")));
  EXPECT_TRUE(log[1].contains(QDir::toNativeSeparators(workbook)) && log[1].endsWith(promise)) << log[1].toStdString();
  EXPECT_TRUE(QFileInfo::exists(dir + PendingHarvestsFileName()));

  // Still in the way at a start: it waits on, nothing is added.
  log.clear();
  static_cast<void>(BeginHarvest(dir, {}, logTo));
  ASSERT_EQ(log.size(), 1) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].endsWith(promise)) << log[0].toStdString();
  EXPECT_TRUE(QFileInfo::exists(dir + PendingHarvestsFileName()));

  ASSERT_TRUE(QDir(workbook).removeRecursively());
  log.clear();
  static_cast<void>(BeginHarvest(dir, {}, logTo));
  ASSERT_EQ(log.size(), 1) << log.join('\n').toStdString();
  EXPECT_TRUE(log[0].startsWith(QStringLiteral("Отчёт об изменениях: ") + QDir::toNativeSeparators(workbook)));
  EXPECT_TRUE(QFileInfo(workbook).isFile());
  EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("changes0.tab")));
  EXPECT_FALSE(QFileInfo::exists(dir + PendingHarvestsFileName()));
  HarvestHistory history(DbPath());
  ASSERT_TRUE(history.Open().ok);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM harvests"), 1);
  EXPECT_EQ(Count(history.Handle(), "SELECT count(*) FROM rows"), rows.size());
}


}  // namespace
