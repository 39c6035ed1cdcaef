// What every handler shares: malformed UTF-8 in an answer, and the queue's cap.

#include <gtest/gtest.h>

#include <optional>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "harvest/taskfates.h"
#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.test/");
const QString kCode = QStringLiteral("77");
const QString kRegion = QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
const QString kGuid = QStringLiteral("g1");

WorkerOutcome Worker(int code, const QByteArray& html) {
  WorkerOutcome w;
  w.Code = code;
  w.result = 1;
  w.html = html;
  w.regionguid = kRegion;
  w.regionguid2 = kCode;
  w.orgguid = kGuid;
  return w;
}

// Runs the handler of the worker's kind; a house page's row lands in *row.
HandlerResult Handle(RunData& run, const WorkerOutcome& w, std::optional<QStringList>* row) {
  switch (w.Code) {
    case RegionCount: return HandleRegionCount(run, w);
    case SearchPage: return HandleSearchPage(run, w);
    case OrgCard: return HandleOrgCard(run, w);
    case HouseCount: return HandleHouseCount(run, w);
    default: return HandleHousePage(run, w, row);
  }
}

// The portal sends the same bytes at every attempt and every resume: an answer refused for
// one bad byte would lose its rows for good.
TEST(Handlers, MalformedUtf8ReadsAsReplacementCharactersAndTheAnswerIsUsed) {
  const QChar bad(0xFFFD);
  const struct {
    const char* name;
    int code;
    QByteArray answer;
    QString expected;  // the value holding the bad bytes, or the task the answer queues
  } cases[] = {
      {"0xC0 0xC1 in a card's name", OrgCard,
       "{\"guid\":\"g1\",\"fullName\":\"\xD0\x9E\xD0\x9E\xD0\x9E \xC0\xC1 \xD0\x94\xD0\xBE\xD0\xBC\"}",
       QStringLiteral("ООО ") + bad + bad + QStringLiteral(" Дом")},
      {"0xFF in a house address", HousePage,
       "{\"total\":1,\"items\":[{\"buildingYear\":1990,\"address\":{\"formattedAddress\":\"\xD1\x83\xD0\xBB. \xFF, 1\"}}]}",
       QStringLiteral("ул. ") + bad + QStringLiteral(", 1")},
      {"0xFF in a search page", SearchPage,
       "{\"total\":1,\"organizationSummaryWithNsiList\":[{\"guid\":\"g1\",\"shortName\":\"\xFF\"}]}",
       OrgCardTask(kBase, kGuid)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunData run;
    run.baseUrl = kBase;
    std::optional<QStringList> row;
    const HandlerResult result = Handle(run, Worker(c.code, c.answer), &row);
    EXPECT_FALSE(result.unusable) << result.logText.toStdString();
    switch (c.code) {
      case OrgCard:
        EXPECT_EQ(run.OrgCards.Lookup(kGuid).section(u'\t', 0, 0), c.expected);
        EXPECT_EQ(run.PendingList, QStringList{HouseCountTask(kBase, kGuid)});
        break;
      case HousePage:
        ASSERT_TRUE(row.has_value());
        ASSERT_EQ(row->size(), 30);
        EXPECT_EQ(row->at(27), c.expected);
        EXPECT_EQ(row->at(26), QStringLiteral("1990"));
        break;
      default:
        EXPECT_EQ(run.PendingList, QStringList{c.expected});
        break;
    }
  }
}

// One enqueue for every handler: the tasks of an answer go in whole or not at all, and an
// answer that would take the queue past its cap is kept, never dropped without a word.
TEST(Handlers, QueueCapKeepsTheWholeAnswerOfEveryHandler) {
  const struct {
    const char* name;
    int code;
    QByteArray answer;
    qsizetype tasks;  // what the answer queues
  } cases[] = {
      {"region count of 250", RegionCount, "250", 3},
      {"search page of three", SearchPage,
       R"({"total":3,"organizationSummaryWithNsiList":[{"guid":"a1"},{"guid":"a2"},{"guid":"a3"}]})", 3},
      {"card", OrgCard, R"({"guid":"g1","fullName":"x"})", 1},
      {"house count of 2500", HouseCount, R"({"total":2500})", 3},
  };
  for (const auto& c : cases) {
    for (const qsizetype room : {c.tasks, c.tasks - 1}) {
      SCOPED_TRACE(std::string(c.name) + ", room for " + std::to_string(room));
      RunData run;
      run.baseUrl = kBase;
      run.PendingList.fill(QStringLiteral("earlier"), kMaxPendingTasks - room);
      const HandlerResult result = Handle(run, Worker(c.code, c.answer), nullptr);
      if (room >= c.tasks) {
        EXPECT_TRUE(result.Settled()) << result.logText.toStdString();
        EXPECT_EQ(run.PendingList.size(), kMaxPendingTasks);
        EXPECT_NE(run.PendingList.last(), QStringLiteral("earlier"));
        continue;
      }
      EXPECT_TRUE(result.queueFull);
      EXPECT_FALSE(result.unusable);
      EXPECT_EQ(result.logText, QStringLiteral("Очередь заполнена (500000 задач, ответ добавил бы ещё %1)").arg(c.tasks));
      // Nothing of the answer stays behind: no task, no region, no card, no counter.
      EXPECT_EQ(run.PendingList.size(), kMaxPendingTasks - room);
      EXPECT_EQ(run.PendingList.last(), QStringLiteral("earlier"));
      EXPECT_EQ(run.OrgRegions.Count(), 0);
      EXPECT_EQ(run.OrgCards.Count(), 0);
      EXPECT_EQ(run.firmscounter, 0);
      EXPECT_EQ(run.housescounter, 0);
    }
  }
}

TEST(Handlers, EnqueueLeavesOutEmptyTasksAndNeverMakesTasksThatDoNotFit) {
  RunData run;
  int made = 0;
  EXPECT_FALSE(Enqueue(run, 4, [&](qsizetype i) {
                 ++made;
                 return i % 2 ? QString() : QStringLiteral("t%1").arg(i);
               }).unusable);
  EXPECT_EQ(run.PendingList, (QStringList{"t0", "t2"}));
  EXPECT_EQ(made, 4);

  run.PendingList.fill(QStringLiteral("x"), kMaxPendingTasks);
  made = 0;
  EXPECT_TRUE(Enqueue(run, 1, [&](qsizetype) {
                ++made;
                return QStringLiteral("t");
              }).queueFull);
  EXPECT_EQ(made, 0);
  EXPECT_TRUE(Enqueue(run, 0, [](qsizetype) { return QString(); }).logText.isEmpty());
}

}  // namespace

namespace {

// A full queue refuses an answer's tasks: the task waits for a later run and never counts
// toward the failed runs; an answer that cannot be used does, up to the limit.
TEST(TaskFates, AFullQueueIsNoFailedRunWhileAnUnusableAnswerCounts) {
  const QString task = QStringLiteral("https://portal.test/ppa/api/rest/services/ppa/public/organizations/orgByGuid?organizationGuid=g1");
  RunData full;
  full.PendingList.fill(QStringLiteral("x"), kMaxPendingTasks);
  FailedRuns runs;
  for (int run = 1; run <= TaskFates::kMaxFailedRuns + 1; ++run) {
    SCOPED_TRACE(run);
    TaskFates fates;
    fates.SetFailedRuns(runs);
    const QString line = fates.AfterAnswer(task, Enqueue(full, 1, [](qsizetype) { return QStringLiteral("t"); }));
    EXPECT_TRUE(line.contains(QStringLiteral("Очередь заполнена"))) << line.toStdString();
    EXPECT_EQ(fates.Kept(), QStringList{task});
    EXPECT_EQ(fates.Dropped(), 0);
    EXPECT_TRUE(fates.GivenUp().isEmpty());
    runs = fates.FailedRunCounts();
  }

  runs.clear();
  for (int run = 1; run <= TaskFates::kMaxFailedRuns; ++run) {
    SCOPED_TRACE(run);
    TaskFates fates;
    fates.SetFailedRuns(runs);
    fates.AfterAnswer(task, KeepTask(QStringLiteral("Ответ не прочитан (не JSON)")));
    const bool last = run == TaskFates::kMaxFailedRuns;
    EXPECT_EQ(fates.Kept(), last ? QStringList{} : QStringList{task});
    EXPECT_EQ(fates.Dropped(), last ? 1 : 0);
    runs = fates.FailedRunCounts();
  }
}

// A task queued twice fails twice in a run: counted once a run, given up once, and a copy
// kept earlier in the run goes with it, so no later run brings it back to list it again.
TEST(TaskFates, ATaskQueuedTwiceIsCountedOnceARunAndGivenUpOnce) {
  const QString task = QStringLiteral("https://portal.test/ppa/api/rest/services/ppa/public/organizations/orgByGuid?organizationGuid=g2");
  FailedRuns runs;
  for (int run = 1; run <= TaskFates::kMaxFailedRuns; ++run) {
    SCOPED_TRACE(run);
    TaskFates fates;
    fates.SetFailedRuns(runs);
    static_cast<void>(fates.Unfinished(task, QStringLiteral("ERROR_Service Unavailable"), false));
    const QString second = fates.Unfinished(task, QStringLiteral("ERROR_Service Unavailable"), false);
    const bool last = run == TaskFates::kMaxFailedRuns;
    EXPECT_EQ(fates.Kept(), last ? QStringList{} : QStringList({task, task}));
    EXPECT_EQ(fates.Dropped(), last ? 1 : 0);
    EXPECT_EQ(fates.GivenUp().size(), last ? 1 : 0);
    EXPECT_TRUE(second.isEmpty() || !last) << second.toStdString();
    if (!last) {
      EXPECT_EQ(fates.FailedRunCounts().value(task), run);
    }
    runs = fates.FailedRunCounts();
  }

  // Kept by one copy, then refused as another: given up once, the kept copy with it.
  TaskFates fates;
  static_cast<void>(fates.Unfinished(task, QStringLiteral("ERROR_Service Unavailable"), false));
  EXPECT_FALSE(fates.GiveUp(task, QStringLiteral("refused"), QStringLiteral("Задача не может быть отправлена")).isEmpty());
  EXPECT_TRUE(fates.GiveUp(task, QStringLiteral("refused"), QStringLiteral("Задача не может быть отправлена")).isEmpty());
  EXPECT_TRUE(fates.Unfinished(task, QStringLiteral("ERROR_Service Unavailable"), false).isEmpty());
  EXPECT_TRUE(fates.Kept().isEmpty());
  EXPECT_EQ(fates.Dropped(), 1);
  EXPECT_EQ(fates.GivenUp().size(), 1);
  EXPECT_FALSE(fates.FailedRunCounts().contains(task));
}

}  // namespace

namespace {

// Keys picked so that their unseeded hash falls on one slot of the index, as whoever knows the
// hash could pick the GUIDs of a portal's answers: they spread all the same.
TEST(KeyValueList, KeysPickedToShareASlotDoNotPileUp) {
  QStringList keys;
  for (quint64 i = 0; keys.size() < 1500; ++i) {
    const QString key = QStringLiteral("%1-0000-4000-8000-000000000000").arg(i, 8, 16, QLatin1Char('0'));
    if ((qHash(QByteArrayView(key.toUtf8()), 0) & 4095) == 0) keys << key;
  }
  KeyValueList list;
  for (const QString& key : keys) list.Append(key, key.left(8));
  EXPECT_LT(list.LongestProbe(), 64u);
  for (const QString& key : keys) ASSERT_EQ(list.Lookup(key), key.left(8));
}

}  // namespace
