// Region count and search page handlers.

#include <gtest/gtest.h>

#include "harvest/handlers.h"
#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.test/");
const QString kCode = QStringLiteral("77");
const QString kRegion = QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5");

RunData NewRun() {
  RunData run;
  run.baseUrl = kBase;
  return run;
}

WorkerOutcome Worker(int code, const QString& html) {
  WorkerOutcome w;
  w.Code = code;
  w.result = 1;
  w.html = html.toUtf8();
  w.regionguid = kRegion;
  w.regionguid2 = kCode;
  return w;
}

TEST(RegionCount, OneSearchPagePerHundredOrTheTaskKept) {
  // keep: the answer is unreadable or implausible, queues nothing, leaves the counter alone
  // and the task goes back with the failed ones.
  struct Case {
    const char* answer;
    int pages;
    int32_t counter;
    const char* log;  // start of the log text, empty for none
  } cases[] = {
      {"0", 0, 0, ""},      {"100", 1, 100, ""}, {"101", 2, 101, ""}, {"250", 3, 250, ""},
      {"1000000", 10000, 1000000, ""},
      // Blanks and line breaks around the number do not lose the region.
      {"42\n", 1, 42, ""},  {" 7 ", 1, 7, ""},   {"\r\n1\r\n", 1, 1, ""},
      {"abc", 0, 999, "Ответ не прочитан (число организаций не число: \"abc\")"},
      {"{}", 0, 999, "Ответ не прочитан"},
      {"4 2", 0, 999, "Ответ не прочитан"},
      {"-5", 0, 999, "Ответ неправдоподобен (число организаций -5 вне 0..1000000)"},
      {"1000001", 0, 999, "Ответ неправдоподобен"},
      {"2147483647", 0, 999, "Ответ неправдоподобен"},
      {"1000000000000", 0, 999, "Ответ неправдоподобен (число организаций 1000000000000"},
      {"99999999999999999999999", 0, 999, "Ответ не прочитан"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    RunData run = NewRun();
    run.PendingList << QStringLiteral("earlier task");
    run.firmscounter = 999;
    WorkerOutcome w = Worker(RegionCount, QString::fromUtf8(c.answer));
    w.url = RegionKey(kCode, kRegion);
    const HandlerResult result = HandleRegionCount(run, w);
    EXPECT_EQ(run.firmscounter, c.counter);
    EXPECT_EQ(result.unusable, *c.log != '\0');
    EXPECT_EQ(result.logText.left(qsizetype(QString::fromUtf8(c.log).size())), QString::fromUtf8(c.log));
    ASSERT_EQ(run.PendingList.size(), 1 + c.pages);
    EXPECT_EQ(run.PendingList.first(), QStringLiteral("earlier task"));
    for (int n = 1; n <= c.pages; ++n)
      EXPECT_EQ(run.PendingList.at(n), SearchPageTask(kBase, n, kCode, kRegion));
  }
}

TEST(RegionCount, FullQueueOrUnplainRegionKeepsTheTask) {
  RunData run = NewRun();
  for (qsizetype i = 0; i < kMaxPendingTasks - 2; ++i) run.PendingList.append(QString());
  EXPECT_FALSE(HandleRegionCount(run, Worker(RegionCount, QStringLiteral("200"))).unusable);
  const HandlerResult full = HandleRegionCount(run, Worker(RegionCount, QStringLiteral("1")));
  EXPECT_TRUE(full.queueFull);
  EXPECT_FALSE(full.unusable);
  EXPECT_TRUE(full.logText.startsWith(QStringLiteral("Очередь заполнена"))) << full.logText.toStdString();
  EXPECT_EQ(run.PendingList.size(), kMaxPendingTasks);

  RunData other = NewRun();
  WorkerOutcome w = Worker(RegionCount, QStringLiteral("5"));
  w.regionguid = QStringLiteral("g\nhttps://other.host/");
  EXPECT_TRUE(HandleRegionCount(other, w).unusable);
  EXPECT_TRUE(other.PendingList.isEmpty());
}

TEST(RegionCount, CounterShowsTheLatestRegion) {
  RunData run = NewRun();
  HandleRegionCount(run, Worker(RegionCount, QStringLiteral("250")));
  HandleRegionCount(run, Worker(RegionCount, QStringLiteral("3")));
  EXPECT_EQ(run.firmscounter, 3);
  EXPECT_EQ(run.PendingList.size(), 4);
}

TEST(SearchPage, EveryPlainGuidQueuesACardAndRemembersTheRegion) {
  RunData run = NewRun();
  run.RegionNames.Append(kCode + QStringLiteral("$$$") + kRegion.toUpper(), QStringLiteral("Москва"));
  WorkerOutcome w = Worker(SearchPage, QStringLiteral(
      R"({"total":4,"organizationSummaryWithNsiList":[{"guid":"g1"},{"guid":"g2"},)"
      R"({"guid":"g1"},{"guid":null},{"name":"no guid"},{"guid":17},)"
      R"({"guid":"X\r\nhttps://other.host/x|||y"},{"guid":"дом"},{"guid":"a b"},{"guid":"a/b"},)"
      R"({"guid":"%1"},{"guid":"%2"}]})").arg(QString(64, u'a'), QString(65, u'b')));
  w.url = SearchPageTask(kBase, 1, kCode, kRegion);
  const HandlerResult result = HandleSearchPage(run, w);
  const QStringList guids = {"g1", "g2", "g1", "17", QString(64, u'a')};
  ASSERT_EQ(run.PendingList.size(), guids.size());
  ASSERT_EQ(run.OrgRegions.Count(), guids.size());
  for (qsizetype i = 0; i < guids.size(); ++i) {
    EXPECT_EQ(run.PendingList.at(i), OrgCardTask(kBase, guids[i]));
    EXPECT_EQ(run.OrgRegions.KeyAt(i), guids[i]);
    EXPECT_EQ(run.OrgRegions.ValueAt(i), QStringLiteral("Москва"));
  }
  // The rest of the page is good: the task is not kept, but the skipped ones are named.
  EXPECT_FALSE(result.unusable);
  EXPECT_EQ(result.logText, QStringLiteral("Пропущено организаций с GUID не из простых символов: 7 "
                                           "(первый: \"null\") в ответе ") + w.url);
}

TEST(SearchPage, UnreadableAnswersAreKeptAndEmptyPagesAreNot) {
  struct Case {
    const char* answer;
    bool keep;
  } cases[] = {
      {R"({"total":0,"organizationSummaryWithNsiList":[]})", false},
      {R"({"total":0})", false},
      {R"({"total":"0"})", false},
      {R"({"total":1})", true},
      {R"({"total":1,"organizationSummaryWithNsiList":{"guid":"g"}})", true},
      {R"({"total":1,"organizationSummaryWithNsiList":null})", true},
      {"not json", true},
      {"", true},
      {"[]", true},
      {R"({"total":)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    RunData run = NewRun();
    WorkerOutcome w = Worker(SearchPage, QString::fromUtf8(c.answer));
    w.url = SearchPageTask(kBase, 3, kCode, kRegion);
    const HandlerResult result = HandleSearchPage(run, w);
    EXPECT_EQ(result.unusable, c.keep);
    if (c.keep) {
      EXPECT_TRUE(result.logText.startsWith(QStringLiteral("Ответ не прочитан"))) << result.logText.toStdString();
    } else {
      EXPECT_TRUE(result.logText.isEmpty());
    }
    EXPECT_TRUE(run.PendingList.isEmpty());
    EXPECT_EQ(run.OrgRegions.Count(), 0);
  }
}

TEST(SearchPage, UnknownRegionGivesEmptyName) {
  RunData run = NewRun();
  HandleSearchPage(run, Worker(SearchPage, QStringLiteral(
                                               R"({"total":1,"organizationSummaryWithNsiList":[{"guid":"g"}]})")));
  ASSERT_EQ(run.OrgRegions.Count(), 1);
  EXPECT_EQ(run.OrgRegions.Lookup(QStringLiteral("g")), QString());
}

}  // namespace
