// The run's saved state against kills and failed syncs, moment by moment: the files on the
// disk at every named moment and before every sync (where a kill leaves exactly the files
// renamed so far) are loaded again as a resumed run would load them.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "harvest/job_context.h"
#include "harvest/resultfile.h"
#include "harvest/runstore.h"
#include "harvest/workbook.h"
#include "harvest/workfiles.h"
#include "tests/harvest/contextlines.h"
#include "portal/api.h"
#include "tests/support/files.h"
#include "tests/support/zipread.h"
#include "text/textfile.h"

namespace {

// What a resumed job does with the interrupted run's result file: brought back to its record,
// the rows it lost listed with their tasks, its workbook made again.
FileOutcome FinishInterrupted(RunStore& store, const QString& dir, const ResumePlan& plan,
                              const RunStore::Logger& log, const RunStoreHooks& hooks = {}) {
  const ResultFile::Restored restored =
      ResultFile::RestoreInterrupted(dir, *plan.interrupted, plan.writtenRows, hooks.moment, hooks.sync);
  for (const QString& note : restored.notes) log(note);
  if (!restored.outcome) return restored.outcome;
  QList<GivenUpTask> lost;
  for (const WrittenRow& row : restored.lost)
    lost.append({row.task, QStringLiteral("строка потеряна из файла результатов ") + plan.interrupted->resultFile});
  store.AddGivenUp(lost);
  if (!restored.workbookToMake.isEmpty())
    if (const WorkbookOutcome made =
            ExportWorkbookAtomically(dir + plan.interrupted->resultFile, restored.workbookToMake, hooks.sync);
        !made.ok)
      return made;
  return restored.outcome;
}

const QString kBase = QStringLiteral("https://portal.test/");
const QString kKey1 = QStringLiteral("01$$$aaaa");
const QString kKey2 = QStringLiteral("02$$$bbbb");
const QString kOrg1 = QStringLiteral("org-1");
const QString kOrg2 = QStringLiteral("org-2");

using Files = QMap<QString, QByteArray>;

Files FilesOf(const QString& dir) {
  Files files;
  for (const QString& name : QDir(dir).entryList(QDir::Files)) files.insert(name, FileBytes(dir + name));
  return files;
}

void PutFiles(const Files& files, const QString& dir) {
  for (auto it = files.cbegin(); it != files.cend(); ++it) ASSERT_TRUE(WriteFileBytes(dir + it.key(), it.value()));
}

QStringList Row(const QString& id) {
  QStringList row(30, QStringLiteral("x"));
  row[1] = id;
  return row;
}

RunData Context() {
  RunData data;
  data.AllKnownList.Add(kKey1);
  data.AllKnownList.Add(kKey2);
  data.RegionNames.Append(kKey1, QStringLiteral("Первый регион"));
  data.RegionNames.Append(kKey2, QStringLiteral("Второй\tрегион"));
  data.OrgRegions.Append(kOrg1, QStringLiteral("Первый регион"));
  data.OrgRegions.Append(kOrg2, QStringLiteral("Второй\tрегион"));
  data.OrgCards.Append(kOrg1, QStringLiteral("Полное\tКраткое"));
  data.OrgCards.Append(kOrg2, QStringLiteral("Другое\tимя\\"));
  return data;
}

// The context a task needs is there.
void ExpectContextFor(const QStringList& queue, const RunData& context) {
  for (const QString& task : queue) {
    const TaskParts parts = ParseTask(task);
    switch (parts.kind) {
      case RegionCount:
      case SearchPage: EXPECT_TRUE(context.RegionNames.Contains(parts.value)) << task.toStdString(); break;
      case OrgCard: EXPECT_TRUE(context.OrgRegions.Contains(parts.orgGuid)) << task.toStdString(); break;
      case HouseCount:
      case HousePage: EXPECT_TRUE(context.OrgCards.Contains(parts.orgGuid)) << task.toStdString(); break;
    }
  }
}

// A folder with a result file and a store whose moments and syncs are watched: the files at
// each of them are kept, with the bytes of the result file known to be on the disk then.
struct Watched {
  struct Seen {
    std::string at;
    Files files;
    qint64 synced;
  };

  QTemporaryDir tmp;
  QString dir = tmp.path() + QLatin1Char('/');
  QStringList log;
  ResultFile result;
  qint64 synced = 0;
  std::vector<Seen> seen;
  std::function<bool(const QString& path)> failSync;  // true: this sync fails

  RunStoreHooks Hooks() {
    RunStoreHooks hooks;
    hooks.moment = [this](const char* name) { seen.push_back({name, FilesOf(dir), synced}); };
    hooks.sync = [this](const QString& path, const std::function<FileOutcome()>& sync) {
      // Before this file is renamed into place: what a kill here leaves.
      seen.push_back({"sync " + QFileInfo(path).fileName().toStdString(), FilesOf(dir), synced});
      if (failSync && failSync(path)) return FileOutcome::Failed(NotOnDiskReason());
      const qint64 size = result.Size();
      FileOutcome done = sync();
      if (done && path == result.Path()) synced = size;
      return done;
    };
    return hooks;
  }
  RunStore::Logger Logger() {
    return [this](const QString& message) { log << message; };
  }
};

TEST(RunStore, AKillBetweenAnyTwoWritesLeavesFilesThatFitTogether) {
  Watched w;
  const RunData data = Context();
  RunStore store(w.dir, w.Logger(), w.Hooks());
  const QString tab = w.dir + QStringLiteral("data100.tab");
  ASSERT_TRUE(w.result.Open(tab));

  const std::vector<QStringList> queues{
      {kKey1, kKey2},
      {SearchPageTask(kBase, 2, QStringLiteral("01"), QStringLiteral("aaaa")), OrgCardTask(kBase, kOrg1),
       HouseCountTask(kBase, kOrg2)},
      {HousePageTask(kBase, 2, kOrg1), HousePageTask(kBase, 1, kOrg2)},
      {},
  };
  ASSERT_TRUE(store.SaveCheckpoint({queues[0], &data, &w.result, {}, false, {}}));
  ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("r1"))));
  ASSERT_TRUE(store.SaveCheckpoint({queues[1], &data, &w.result, {}, false, {}}));
  ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("r2"))));
  ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("r3"))));
  ASSERT_TRUE(store.SaveCheckpoint({queues[2], &data, &w.result, {}, false, {}}));
  ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("r4"))));
  ASSERT_TRUE(w.result.Close(w.Hooks().sync));
  ASSERT_TRUE(store.SaveCheckpoint({queues[3], &data, &w.result, {}, true, {}}));
  ASSERT_TRUE(w.log.isEmpty()) << w.log.join('\n').toStdString();
  ASSERT_GT(w.seen.size(), 20u);

  bool queueOnDisk = false;
  for (const Watched::Seen& at : w.seen) {
    SCOPED_TRACE(at.at);
    // Every record on the disk names only synced bytes: a power cut cannot take them back.
    if (at.files.contains(QLatin1String(kContextFile))) {
      ContextFile context;
      RunData entries;
      ReadContextLines(SplitTextLines(DecodeTextBytes(at.files[QLatin1String(kContextFile)])), entries, &context);
      for (const auto& record : {context.current, context.previous})
        if (record) {
          EXPECT_LE(record->resultLength, at.synced);
        }
    }
    if (!at.files.contains(QLatin1String(kListsFile))) {
      EXPECT_FALSE(queueOnDisk) << "the queue went away";
      continue;
    }
    queueOnDisk = true;

    // Continued from these files: the queue is one that was saved, with its context and its
    // record, and the result file is cut back to the rows the queue comes after.
    QTemporaryDir again;
    const QString dir = again.path() + QLatin1Char('/');
    PutFiles(at.files, dir);
    QStringList log;
    RunStore resumed(dir, [&log](const QString& m) { log << m; });
    std::optional<ResumePlan> plan = resumed.LoadResumePlan();
    ASSERT_TRUE(plan);
    EXPECT_NE(std::find(queues.begin(), queues.end(), plan->queue), queues.end());
    ASSERT_TRUE(plan->interrupted) << log.join('\n').toStdString();
    ExpectContextFor(plan->queue, plan->context);
    EXPECT_EQ(plan->allKnown.Items(), data.AllKnownList.Items());
    ASSERT_TRUE(FinishInterrupted(resumed, dir, *plan, [&log](const QString& m) { log << m; }));
    EXPECT_EQ(QFileInfo(dir + QStringLiteral("data100.tab")).size(), plan->interrupted->resultLength);
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("data100.xlsx")));
  }
}

TEST(RunStore, TheContextIsStreamedInTheFormatEarlierVersionsWrite) {
  Watched w;
  const RunData data = Context();
  RunStore store(w.dir, w.Logger());
  const QStringList queue{kKey1, OrgCardTask(kBase, kOrg1), HousePageTask(kBase, 1, kOrg2), QStringLiteral("  ")};
  const FailedRuns failed{{OrgCardTask(kBase, kOrg1), 2}, {QStringLiteral("not queued"), 1}};
  ASSERT_TRUE(store.SaveCheckpoint({queue, &data, nullptr, failed, false, {}}));

  EXPECT_EQ(FileBytes(w.dir + QLatin1String(kListsFile)), Utf8FileBytes(queue));
  ContextFile expected;
  // No list of given-up tasks yet: the record counts none of its lines.
  expected.current = QueueRecord{QueueHash(Utf8FileBytes(queue)), QString(), -1, 0};
  expected.failedRuns = {{OrgCardTask(kBase, kOrg1), 2}};
  const QStringList lines = ContextHeadLines(expected.current, std::nullopt) + HarvestLines(data.Harvest) +
                            EntryLines(data, queue) +
                            QStringList{FailedRunsLine(OrgCardTask(kBase, kOrg1), 2)};
  EXPECT_EQ(FileBytes(w.dir + QLatin1String(kContextFile)), Utf8FileBytes(lines));

  RunStore resumed(w.dir, w.Logger());
  std::optional<ResumePlan> plan = resumed.LoadResumePlan();
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->failedRuns, expected.failedRuns);
  EXPECT_EQ(plan->context.OrgCards.Lookup(kOrg2), data.OrgCards.Lookup(kOrg2));

  // A context file of the first format (entries only, no record) still gives its entries.
  ASSERT_TRUE(WriteFileBytes(w.dir + QLatin1String(kContextFile),
                             kUtf8Mark + "#orgharvester-context 1\r\nR\t01$$$aaaa\tСтарый\r\n"));
  plan = RunStore(w.dir, w.Logger()).LoadResumePlan();
  ASSERT_TRUE(plan);
  EXPECT_FALSE(plan->interrupted);
  EXPECT_EQ(plan->context.RegionNames.Lookup(kKey1), QStringLiteral("Старый"));
}

TEST(RunStore, AFailedSyncIsLoggedAndTheNextCheckpointTriesAgain) {
  struct Case {
    const char* file;  // whose sync fails once
    const char* logged;
  };
  const Case cases[] = {
      {"data7.tab", "Ошибка: состояние не сохранено: файл результатов"},
      {kContextFile, "Ошибка: очередь не сохранена: Cannot create file"},
      {kListsFile, "Ошибка: очередь не сохранена: Cannot create file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Watched w;
    const RunData data = Context();
    RunStore store(w.dir, w.Logger(), w.Hooks());
    ASSERT_TRUE(w.result.Open(w.dir + QStringLiteral("data7.tab")));
    ASSERT_TRUE(store.SaveCheckpoint({{kKey1}, &data, &w.result, {}, false, {}}));
    const QByteArray lists = FileBytes(w.dir + QLatin1String(kListsFile));
    ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("r1"))));

    int failures = 1;
    w.failSync = [&](const QString& path) { return QFileInfo(path).fileName() == QLatin1String(c.file) && failures-- > 0; };
    EXPECT_FALSE(store.SaveCheckpoint({{kKey2}, &data, &w.result, {}, false, {}}));
    ASSERT_EQ(w.log.size(), 1);
    EXPECT_TRUE(w.log[0].startsWith(QString::fromUtf8(c.logged))) << w.log[0].toStdString();
    EXPECT_EQ(FileBytes(w.dir + QLatin1String(kListsFile)), lists);

    ASSERT_TRUE(store.SaveCheckpoint({{kKey2}, &data, &w.result, {}, false, {}}));
    EXPECT_EQ(FileLines(w.dir + QLatin1String(kListsFile)), QStringList{kKey2});
    std::optional<ResumePlan> plan = RunStore(w.dir, w.Logger()).LoadResumePlan();
    ASSERT_TRUE(plan && plan->interrupted);
    EXPECT_EQ(plan->interrupted->resultLength, w.result.Size());
    EXPECT_EQ(w.synced, w.result.Size());
  }
}

// The sheet's text: its own part and its shared strings.
QByteArray SheetText(const QString& xlsx) {
  QByteArray sheet, strings;
  QString error;
  EXPECT_TRUE(ReadZipMember(xlsx, QStringLiteral("xl/worksheets/sheet1.xml"), &sheet, &error)) << error.toStdString();
  ReadZipMember(xlsx, QStringLiteral("xl/sharedStrings.xml"), &strings, &error);
  return sheet + strings;
}

TEST(RunStore, AWorkbookMadeAfterTheRecordNeverSurvivesTwoKills) {
  Watched w;
  const RunData data = Context();
  const QString tab = w.dir + QStringLiteral("data5.tab");
  const QString xlsx = w.dir + QStringLiteral("data5.xlsx");
  {
    // Run A: a row saved, one more written, the workbook made, killed before its last save.
    RunStore a(w.dir, w.Logger());
    ASSERT_TRUE(w.result.Open(tab));
    ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("saved-row"))));
    ASSERT_TRUE(a.SaveCheckpoint({{HousePageTask(kBase, 2, kOrg1)}, &data, &w.result, {}, false, {}}));
    ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("unsaved-row"))));
    ASSERT_TRUE(w.result.Close());
    ASSERT_TRUE(ExportWorkbookAtomically(tab, xlsx).ok);
    ASSERT_TRUE(SheetText(xlsx).contains("unsaved-row"));
  }
  struct Killed {};
  {
    // Run B: killed once it has cut the result file, before it made the workbook again.
    RunStoreHooks hooks;
    hooks.moment = [](const char* name) {
      if (std::string(name) == "resume:cut") throw Killed{};
    };
    RunStore b(w.dir, w.Logger(), hooks);
    std::optional<ResumePlan> plan = b.LoadResumePlan();
    ASSERT_TRUE(plan && plan->interrupted);
    EXPECT_THROW(FinishInterrupted(b, w.dir, *plan, w.Logger(), hooks), Killed);
  }
  // Run C finds nothing to cut; the workbook it keeps or makes holds only the saved rows.
  RunStore c(w.dir, w.Logger());
  std::optional<ResumePlan> plan = c.LoadResumePlan();
  ASSERT_TRUE(plan && plan->interrupted);
  ASSERT_TRUE(FinishInterrupted(c, w.dir, *plan, w.Logger()));
  ASSERT_TRUE(QFileInfo::exists(xlsx));
  const QByteArray sheet = SheetText(xlsx);
  EXPECT_TRUE(sheet.contains("saved-row"));
  EXPECT_FALSE(sheet.contains("unsaved-row"));
}

TEST(RunStore, AResultFileShorterThanItsRecordIsCutOnARowAndItsLostRowsNamed) {
  // With the rows' tasks in the context (this version) and without (an earlier one).
  for (const bool withRows : {true, false}) {
    SCOPED_TRACE(withRows);
    Watched w;
    const RunData data = Context();
    const QString tab = w.dir + QStringLiteral("data9.tab");
    const QString firstTask = HousePageTask(kBase, 1, kOrg1);
    const QString secondTask = HousePageTask(kBase, 3, kOrg2);
    RunStore store(w.dir, w.Logger());
    ASSERT_TRUE(w.result.Open(tab));
    QList<WrittenRow> rows{{w.result.Size(), firstTask}};
    ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("first"))));
    const qint64 oneRow = w.result.Size();
    rows.append({oneRow, secondTask});
    ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("second"))));
    ASSERT_TRUE(store.SaveCheckpoint({{kKey1}, &data, &w.result, {}, false, withRows ? rows : QList<WrittenRow>{}}));
    const qint64 recorded = w.result.Size();
    ASSERT_TRUE(w.result.Close());
    // Lost from the end, into the second row.
    ASSERT_TRUE(QFile::resize(tab, recorded - 5));

    w.log.clear();
    RunStore resumed(w.dir, w.Logger());
    std::optional<ResumePlan> plan = resumed.LoadResumePlan();
    ASSERT_TRUE(plan && plan->interrupted);
    EXPECT_EQ(plan->writtenRows, withRows ? rows : QList<WrittenRow>{});
    ASSERT_TRUE(FinishInterrupted(resumed, w.dir, *plan, w.Logger()));
    EXPECT_EQ(QFileInfo(tab).size(), oneRow);
    const QString joined = w.log.join('\n');
    EXPECT_TRUE(joined.contains(QStringLiteral("короче записанного (%1 байт вместо %2)").arg(recorded - 5).arg(recorded)))
        << joined.toStdString();
    const QStringList listed = FileLines(w.dir + RunStore::GivenUpFileName());
    if (withRows) {
      EXPECT_TRUE(joined.contains(QStringLiteral("их задачи (1) перенесены в failed-tasks.txt"))) << joined.toStdString();
      ASSERT_EQ(listed.size(), 2);
      EXPECT_TRUE(listed[1].startsWith(secondTask + QStringLiteral("\tстрока потеряна из файла результатов data9.tab\t")));
    } else {
      EXPECT_TRUE(listed.isEmpty());
      EXPECT_TRUE(joined.contains(QStringLiteral("запустите регионы этого запуска заново")));
    }
  }
}

// A result file edited inside its recorded length (a row removed, made longer or shorter,
// the length kept or not) is cut back to the start of the last row that is still where the
// record put it: the edited rows never stay, no row is there twice, the tasks of the rows
// cut are named, and only the bytes past the record, whose tasks are still queued, are
// promised to be fetched again.
TEST(RunStore, AResultFileEditedInsideItsRecordIsCutToTheLastRowStillInPlace) {
  const QStringList ids{QStringLiteral("a"), QStringLiteral("bb"), QStringLiteral("ccc"), QStringLiteral("dddd")};
  // The bytes of row `i` as `rows` place them in `file`.
  using Edit = std::function<QByteArray(const QByteArray& file, const QList<WrittenRow>& rows, qint64 recorded)>;
  const auto rowBytes = [](const QByteArray& file, const QList<WrittenRow>& rows, qsizetype i, qint64 end) {
    return file.mid(rows[i].offset, (i + 1 < rows.size() ? rows[i + 1].offset : end) - rows[i].offset);
  };
  struct Case {
    const char* name;
    Edit edit;
    qsizetype firstCut;  // the first row that goes (4: none)
    bool pastRecord;     // a row written after the record, its task still queued
    bool promised;       // its bytes are promised to be fetched again
  };
  const std::vector<Case> cases{
      {"a row removed", [&](const QByteArray& f, const QList<WrittenRow>& r, qint64 end) {
         return f.left(r[1].offset) + f.mid(r[2].offset, end - r[2].offset) + f.mid(end);
       }, 1, false, false},
      {"a row made longer", [&](const QByteArray& f, const QList<WrittenRow>& r, qint64 end) {
         QByteArray row = rowBytes(f, r, 2, end);
         row.replace("ccc", "cccXY");
         return f.left(r[2].offset) + row + f.mid(r[3].offset);
       }, 2, false, false},
      {"two rows edited, the length kept", [&](const QByteArray& f, const QList<WrittenRow>& r, qint64 end) {
         QByteArray one = rowBytes(f, r, 1, end), two = rowBytes(f, r, 2, end);
         one.replace("bb", "bbbb");
         two.replace("ccc", "c");
         return f.left(r[1].offset) + one + two + f.mid(r[3].offset);
       }, 1, false, false},
      {"two rows edited, the length kept, a row past the record", [&](const QByteArray& f, const QList<WrittenRow>& r, qint64 end) {
         QByteArray one = rowBytes(f, r, 1, end), two = rowBytes(f, r, 2, end);
         one.replace("bb", "bbbb");
         two.replace("ccc", "c");
         return f.left(r[1].offset) + one + two + f.mid(r[3].offset);
       }, 1, true, false},
      {"the last row cut short", [&](const QByteArray& f, const QList<WrittenRow>&, qint64 end) {
         return f.left(end - 5);
       }, 3, false, false},
      {"no edit, a row past the record", [](const QByteArray& f, const QList<WrittenRow>&, qint64) { return f; }, 4,
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Watched w;
    const RunData data = Context();
    const QString tab = w.dir + QStringLiteral("data11.tab");
    RunStore store(w.dir, w.Logger());
    ASSERT_TRUE(w.result.Open(tab));
    QList<WrittenRow> rows;
    for (qsizetype i = 0; i < ids.size(); ++i) {
      rows.append({w.result.Size(), HousePageTask(kBase, int(i) + 1, kOrg1)});
      ASSERT_TRUE(w.result.WriteRow(Row(ids[i])));
    }
    ASSERT_TRUE(store.SaveCheckpoint({{kKey1}, &data, &w.result, {}, false, rows}));
    const qint64 recorded = w.result.Size();
    if (c.pastRecord) {
      ASSERT_TRUE(w.result.WriteRow(Row(QStringLiteral("eeeee"))));
    }
    const qint64 past = w.result.Size() - recorded;
    ASSERT_TRUE(w.result.Close());
    const QByteArray original = FileBytes(tab);
    const QByteArray edited = c.edit(original, rows, recorded);
    ASSERT_TRUE(WriteFileBytes(tab, edited));

    w.log.clear();
    RunStore resumed(w.dir, w.Logger());
    std::optional<ResumePlan> plan = resumed.LoadResumePlan();
    ASSERT_TRUE(plan && plan->interrupted);
    ASSERT_TRUE(FinishInterrupted(resumed, w.dir, *plan, w.Logger()));
    EXPECT_EQ(FileBytes(tab), original.left(c.firstCut < rows.size() ? rows[c.firstCut].offset : recorded));
    QStringList named;
    for (const QString& line : FileLines(w.dir + RunStore::GivenUpFileName()).mid(1)) named << line.section(QLatin1Char('\t'), 0, 0);
    QStringList cut;
    for (qsizetype i = c.firstCut; i < rows.size(); ++i) cut << rows[i].task;
    EXPECT_EQ(named, cut);
    const QString joined = w.log.join('\n');
    EXPECT_EQ(joined.contains(QStringLiteral("будут загружены заново")), c.promised) << joined.toStdString();
    if (c.promised) {
      EXPECT_TRUE(joined.contains(QStringLiteral("убрано %1 байт после последнего сохранения").arg(past))) << joined.toStdString();
    }
    if (!cut.isEmpty()) {
      EXPECT_TRUE(joined.contains(QStringLiteral("их задачи (%1) перенесены в failed-tasks.txt").arg(cut.size())))
          << joined.toStdString();
    }
    // Past an edit, rows after the record can only be told of as possible.
    EXPECT_EQ(joined.contains(QStringLiteral("если они были")), edited.size() > recorded && !c.promised)
        << joined.toStdString();
  }
}

TEST(RunStore, DiscardingRemovesTheSavedWorkOnly) {
  QTemporaryDir tmp;
  const QString dir = tmp.path() + QLatin1Char('/');
  const QStringList kept{QStringLiteral("data1.tab"), QStringLiteral("data1.xlsx"), QStringLiteral("cards.dat"),
                         RunStore::GivenUpFileName(), QStringLiteral("skip.txt")};
  for (const QString& name : kept + QStringList{kListsFile, kAllKnownFile, kContextFile})
    ASSERT_TRUE(WriteFileBytes(dir + name, "x"));
  ASSERT_TRUE(RunStore::DiscardSavedWork(dir));
  QStringList left = QDir(dir).entryList(QDir::Files);
  left.sort();
  QStringList expected = kept;
  expected.sort();
  EXPECT_EQ(left, expected);

  // Counted by TaskRefusal's rule, which has cases of its own; blank tasks are not counted.
  const QStringList queue{QString(),
                          QStringLiteral("   "),
                          kKey1,
                          OrgCardTask(kBase, kOrg1),
                          OrgCardTask(QStringLiteral("https://other.host/"), kOrg1),
                          SearchPageTask(kBase, 1, QStringLiteral("02"), QStringLiteral("bbbb"))};
  EXPECT_EQ(RunStore::RunnableTasks(queue, kBase), 3);
}

TEST(RunStore, GivenUpTasksAreAddedToAListAPersonCanRead) {
  QTemporaryDir tmp;
  const QString dir = tmp.path() + QLatin1Char('/');
  QStringList log;
  RunStore store(dir, [&log](const QString& m) { log << m; });
  ASSERT_TRUE(store.AddGivenUp({{kKey1, QStringLiteral("HTTP 503 Service Unavailable")}}));
  ASSERT_TRUE(store.AddGivenUp({{OrgCardTask(kBase, kOrg1), QStringLiteral("не JSON-объект\r\nвторая")}}));
  const QStringList lines = FileLines(dir + RunStore::GivenUpFileName());
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0], QStringLiteral("Задача\tПричина\tДата"));
  EXPECT_TRUE(lines[1].startsWith(kKey1 + QStringLiteral("\tHTTP 503 Service Unavailable\t")));
  EXPECT_TRUE(lines[2].startsWith(OrgCardTask(kBase, kOrg1) + QStringLiteral("\tне JSON-объект\\x0d\\x0aвторая\t")))
      << lines[2].toStdString();
  EXPECT_EQ(lines[2].count(QLatin1Char('\t')), 2);
  EXPECT_TRUE(log.isEmpty());
}

// A task given up for good is in the list or in the saved queue whatever kill comes or
// whichever write fails, and once it is listed a resumed run never lists it again: at each
// moment of the checkpoint that gives it up the files are taken as a kill leaves them, the
// run resumed from them gives it up again when its queue still holds it, and the list then
// names it once.
TEST(RunStore, TasksGivenUpAreListedOnceAndNeverLost) {
  const QString dropped = OrgCardTask(kBase, kOrg2);
  const QString reason = QStringLiteral("HTTP 503 Service Unavailable");
  const auto count = [&dropped](const QStringList& lines) {
    return std::count_if(lines.cbegin(), lines.cend(),
                         [&](const QString& line) { return line.section(QLatin1Char('\t'), 0, 0) == dropped; });
  };
  struct Case {
    const char* name;
    bool earlierLines;  // the list already names tasks of an earlier run
    bool listFails;     // every write of the list fails
  };
  const Case cases[] = {
      {"a new list", false, false},
      {"a list with lines", true, false},
      {"a list that cannot be written", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Watched w;
    const QString listPath = w.dir + RunStore::GivenUpFileName();
    if (c.earlierLines) {
      ASSERT_TRUE(WriteFileBytes(listPath, kUtf8Mark + QByteArray("Задача\tПричина\tДата\r\n01$$$old\tпричина\t2026-01-01 00:00:00\r\n")));
    }
    const RunData data = Context();
    RunStore store(w.dir, w.Logger(), w.Hooks());
    ASSERT_TRUE(w.result.Open(w.dir + QStringLiteral("data3.tab")));
    ASSERT_TRUE(store.SaveCheckpoint({{kKey1, dropped}, &data, &w.result, {}, false, {}}));
    if (c.listFails) w.failSync = [](const QString& path) { return path.endsWith(QLatin1String("failed-tasks.txt")); };
    w.seen.clear();
    const bool listed = store.AddGivenUp({{dropped, reason}});
    EXPECT_EQ(listed, !c.listFails);
    ASSERT_TRUE(store.SaveCheckpoint({{kKey1}, &data, &w.result, {}, true, {}}));
    w.seen.push_back({"end", FilesOf(w.dir), w.synced});
    if (c.listFails) {
      // Kept queued: the queue on the disk still holds it.
      EXPECT_EQ(FileLines(w.dir + QLatin1String(kListsFile)), (QStringList{kKey1, dropped}));
      EXPECT_EQ(count(FileLines(listPath)), 0);
      w.failSync = nullptr;
    }

    for (const Watched::Seen& at : w.seen) {
      SCOPED_TRACE(at.at);
      QTemporaryDir again;
      const QString dir = again.path() + QLatin1Char('/');
      PutFiles(at.files, dir);
      const QStringList list = FileLines(dir + RunStore::GivenUpFileName());
      RunStore resumed(dir, [](const QString&) {});
      std::optional<ResumePlan> plan = resumed.LoadResumePlan();
      ASSERT_TRUE(plan);
      const bool queued = plan->queue.contains(dropped);
      EXPECT_TRUE(queued || count(list) == 1) << "lost";
      // The resumed run gives it up again when its queue still holds it.
      QStringList queue = plan->queue;
      queue.removeAll(dropped);
      ResultFile result;
      ASSERT_TRUE(result.Open(dir + QStringLiteral("data4.tab")));
      if (queued) {
        ASSERT_TRUE(resumed.AddGivenUp({{dropped, reason}}));
      }
      ASSERT_TRUE(resumed.SaveCheckpoint({queue, &data, &result, {}, true, {}}));
      const QStringList after = FileLines(dir + RunStore::GivenUpFileName());
      EXPECT_EQ(count(after), 1) << after.join(QLatin1Char('\n')).toStdString();
      EXPECT_EQ(after.count(QStringLiteral("Задача\tПричина\tДата")), 1);
      if (c.earlierLines) {
        EXPECT_TRUE(after.value(1).startsWith(QStringLiteral("01$$$old\t")));
      }
      EXPECT_FALSE(FileLines(dir + QLatin1String(kListsFile)).contains(dropped));
    }
  }
}

}  // namespace

namespace {

// A context whose current record is damaged but whose previous one fits the queue: the plan
// takes the previous record and no rows (they belong to the current record's file, which is
// not known), and never reads the record that is not there.
TEST(RunStore, ADamagedCurrentRecordLeavesThePreviousOneWithoutRows) {
  Watched w;
  const QByteArray lists = kUtf8Mark + QByteArray("01$$$aaaa\r\n");
  ASSERT_TRUE(WriteFileBytes(w.dir + QLatin1String(kListsFile), lists));
  const QByteArray hash = QueueHash(lists).toUtf8();
  // The previous record with a result file and without one (a run that had none yet).
  for (const QByteArray& file : {QByteArray("data5.tab"), QByteArray()})
    for (const QByteArray& current : {QByteArray("Q\tbroken\r\n"), QByteArray("Q\t\tdata5.tab\tnot a number\r\n"), QByteArray()}) {
      SCOPED_TRACE(current.toStdString() + "/" + file.toStdString());
      ASSERT_TRUE(WriteFileBytes(w.dir + QLatin1String(kContextFile),
                                 kUtf8Mark + "#orgharvester-context 2\r\n" + current + "P\t" + hash + "\t" + file +
                                     "\t120\r\nW\t100\thttps://portal.test/x\r\n"));
      std::optional<ResumePlan> plan = RunStore(w.dir, w.Logger()).LoadResumePlan();
      ASSERT_TRUE(plan);
      ASSERT_TRUE(plan->interrupted);
      EXPECT_EQ(plan->interrupted->resultFile, QString::fromUtf8(file));
      EXPECT_TRUE(plan->writtenRows.isEmpty());
    }
}

}  // namespace
