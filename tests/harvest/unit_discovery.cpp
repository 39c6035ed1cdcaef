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
  w.html = html;
  w.regionguid = kRegion;
  w.regionguid2 = kCode;
  return w;
}

TEST(RegionCount, OneSearchPagePerHundred) {
  struct Case {
    const char* answer;
    int pages;
    int32_t counter;
  } cases[] = {
      {"0", 0, 0},      {"100", 1, 100}, {"101", 2, 101}, {"250", 3, 250},
      // Blanks and line breaks around the number do not lose the region.
      {"42\n", 1, 42},  {" 7 ", 1, 7},   {"\r\n1\r\n", 1, 1},
      {"abc", 0, 0},    {"", 0, 0},      {"-5", 0, -5},   {"{}", 0, 0},
      {"4 2", 0, 0},    {"2147483648", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    RunData run = NewRun();
    run.PendingList << QStringLiteral("earlier task");
    run.firmscounter = 999;
    HandleRegionCount(run, Worker(RegionCount, QString::fromUtf8(c.answer)));
    EXPECT_EQ(run.firmscounter, c.counter);
    ASSERT_EQ(run.PendingList.size(), 1 + c.pages);
    EXPECT_EQ(run.PendingList.first(), QStringLiteral("earlier task"));
    for (int n = 1; n <= c.pages; ++n)
      EXPECT_EQ(run.PendingList.at(n), SearchPageTask(kBase, n, kCode, kRegion));
  }
}

TEST(RegionCount, CounterShowsTheLatestRegion) {
  RunData run = NewRun();
  HandleRegionCount(run, Worker(RegionCount, QStringLiteral("250")));
  HandleRegionCount(run, Worker(RegionCount, QStringLiteral("3")));
  EXPECT_EQ(run.firmscounter, 3);
  EXPECT_EQ(run.PendingList.size(), 4);
}

TEST(SearchPage, EveryElementQueuesACardAndRemembersTheRegion) {
  RunData run = NewRun();
  run.RegionNames.Append(kCode + QStringLiteral("$$$") + kRegion.toUpper(), QStringLiteral("Москва"));
  const QString answer = QStringLiteral(
      R"({"total":4,"organizationSummaryWithNsiList":[{"guid":"g1"},{"guid":"g2"},)"
      R"({"guid":"g1"},{"guid":null},{"name":"no guid"},{"guid":17}]})");
  HandleSearchPage(run, Worker(SearchPage, answer));
  const QStringList guids = {"g1", "g2", "g1", "null", "", "17"};
  ASSERT_EQ(run.PendingList.size(), guids.size());
  ASSERT_EQ(run.OrgRegions.Count(), guids.size());
  for (qsizetype i = 0; i < guids.size(); ++i) {
    EXPECT_EQ(run.PendingList.at(i), OrgCardTask(kBase, guids[i]));
    EXPECT_EQ(run.OrgRegions.Entries().at(i).first, guids[i]);
    EXPECT_EQ(run.OrgRegions.Entries().at(i).second, QStringLiteral("Москва"));
  }
}

TEST(SearchPage, UnusableAnswersQueueNothing) {
  for (const char* answer :
       {R"({"total":0,"organizationSummaryWithNsiList":[]})", R"({"total":0})",
        R"({"total":1,"organizationSummaryWithNsiList":{"guid":"g"}})",
        R"({"total":1,"organizationSummaryWithNsiList":null})", "not json", "", "[]"}) {
    SCOPED_TRACE(answer);
    RunData run = NewRun();
    HandleSearchPage(run, Worker(SearchPage, QString::fromUtf8(answer)));
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
