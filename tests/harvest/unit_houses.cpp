// House count and house page handlers.

#include <gtest/gtest.h>

#include <limits>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.test/");
const QString kGuid = QStringLiteral("org-1");

WorkerOutcome Worker(int code, const QString& html, const QString& guid = kGuid) {
  WorkerOutcome w;
  w.Code = code;
  w.result = 1;
  w.html = html.toUtf8();
  w.orgguid = guid;
  return w;
}

RunData RunWithCard() {
  RunData run;
  run.baseUrl = kBase;
  run.OrgRegions.Append(kGuid, QStringLiteral("Москва"));
  QStringList card;
  for (int i = 0; i < kCardColumnCount; ++i) card << QStringLiteral("c%1").arg(i + 3);
  card[0] = QStringLiteral("ООО \"Дом\"");
  run.OrgCards.Append(kGuid, card.join(u'\t'));
  return run;
}

QString Items(const QString& elements) {
  return QStringLiteral(R"({"total":1,"items":[%1]})").arg(elements);
}

TEST(HouseCount, OnePagePerThousandAtLeastOneOrTheTaskKept) {
  struct Case {
    const char* answer;
    int pages;
    int32_t counter;
    const char* log;  // start of the log text of a kept task, empty when none
  } cases[] = {
      {R"({"total":0})", 1, 1, ""},        {R"({"total":1})", 1, 1, ""},
      {R"({"total":1000})", 1, 1000, ""},  {R"({"total":1001})", 2, 1001, ""},
      {R"({"total":2500})", 3, 2500, ""},  {R"({})", 1, 1, ""},
      {R"({"total":null})", 1, 1, ""},     {R"({"total":"1500"})", 2, 1500, ""},
      {R"({"total":10000000})", 10000, 10000000, ""},
      {R"({"total":-3})", 0, 0, "Ответ неправдоподобен (число домов -3 вне 0..10000000)"},
      {R"({"total":10000001})", 0, 0, "Ответ неправдоподобен"},
      {R"({"total":1000000000000})", 0, 0, "Ответ неправдоподобен (число домов 1000000000000"},
      {R"({"total":99999999999999999999999})", 0, 0, "Ответ неправдоподобен"},
      {R"({"total":"много"})", 0, 0, "Ответ не прочитан (число домов не число: \"много\")"},
      {R"({"total":true})", 0, 0, "Ответ не прочитан"},
      {R"({"total":[1]})", 0, 0, "Ответ не прочитан"},
      {"not json", 0, 0, "Ответ не прочитан (не JSON-объект)"},
      {"", 0, 0, "Ответ не прочитан"},
      {"[]", 0, 0, "Ответ не прочитан"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    RunData run;
    run.baseUrl = kBase;
    WorkerOutcome w = Worker(HouseCount, QString::fromUtf8(c.answer));
    w.url = HouseCountTask(kBase, kGuid).section(QStringLiteral("|||"), 0, 0);
    const HandlerResult result = HandleHouseCount(run, w);
    EXPECT_EQ(run.housescounter, c.counter);
    EXPECT_EQ(result.unusable, *c.log != '\0');
    EXPECT_EQ(result.logText.left(qsizetype(QString::fromUtf8(c.log).size())), QString::fromUtf8(c.log));
    ASSERT_EQ(run.PendingList.size(), c.pages);
    for (int n = 1; n <= c.pages; ++n) EXPECT_EQ(run.PendingList.at(n - 1), HousePageTask(kBase, n, kGuid));
  }
}

TEST(HousePage, AnswerWithoutItemsIsKept) {
  const RunData run = RunWithCard();
  for (const char* answer : {"", "not json", "{}", R"({"items":null})", R"({"items":{}})", "[]"}) {
    SCOPED_TRACE(answer);
    WorkerOutcome w = Worker(HousePage, QString::fromUtf8(answer));
    w.url = HousePageTask(kBase, 2, kGuid).section(QStringLiteral("|||"), 0, 0);
    std::optional<QStringList> row;
    const HandlerResult result = HandleHousePage(run, w, &row);
    EXPECT_FALSE(row.has_value());
    EXPECT_TRUE(result.unusable);
    EXPECT_EQ(result.logText, QStringLiteral("Ответ не прочитан (нет массива items)"));
  }
  std::optional<QStringList> row;
  EXPECT_FALSE(HandleHousePage(run, Worker(HousePage, QStringLiteral(R"({"items":[]})")), &row).unusable);
  EXPECT_TRUE(row.has_value());

  // Millions of tiny houses would cost the parser thirty times the answer: not read at all.
  QString dense = QStringLiteral(R"({"items":[)");
  for (qsizetype i = 0; i < kMaxJsonValues; ++i) dense += QStringLiteral("{},");
  dense += QStringLiteral("{}]}");
  const HandlerResult result = HandleHousePage(run, Worker(HousePage, dense), &row);
  EXPECT_TRUE(result.unusable);
  EXPECT_FALSE(row.has_value());
  EXPECT_TRUE(result.logText.startsWith(QStringLiteral("Ответ не прочитан (больше 3000000 значений JSON)")))
      << result.logText.toStdString();
}

TEST(HousePage, RowOfThirtyFields) {
  const RunData run = RunWithCard();
  const auto row = HousePageRow(run, Worker(HousePage, Items(QStringLiteral(
      R"({"operationYear":1990,"buildingYear":"1985","address":{"formattedAddress":"ул. А, 1"},"residentialPremiseCount":12},)"
      R"({"operationYear":1985,"buildingYear":1985,"address":{"formattedAddress":"ул. Б, 2"},"residentialPremiseCount":null},)"
      R"({"operationYear":1990,"address":null,"residentialPremiseCount":30})"))));
  ASSERT_TRUE(row.has_value());
  ASSERT_EQ(row->size(), 30);
  EXPECT_EQ(row->at(0), QStringLiteral("Москва"));
  EXPECT_EQ(row->at(1), kGuid);
  EXPECT_EQ(row->at(2), QStringLiteral("ООО 'Дом'"));  // double quotes become apostrophes
  EXPECT_EQ(row->at(23), QStringLiteral("c24"));
  EXPECT_EQ(row->mid(24), (QStringList{"3", "1990,1985", "1985", "ул. А, 1|ул. Б, 2|", "42",
                                       OrganisationLink(kBase, kGuid)}));
}

TEST(HousePage, YearsAreDistinctWholeValues) {
  struct Case {
    QStringList years;  // JSON values of "operationYear"
    const char* expected;
  } cases[] = {
      {{"1990", "1985", "1990", "null", "\"\""}, "1990,1985"},
      {{"1990", "19"}, "1990,19"},  // 19 is not a repeat of 1990
      {{"\"199\"", "1990", "99"}, "199,1990,99"},
      {{"\" 1990\\t\"", "\"1990\"", "\"\\u0000 2001 \\r\\n\""}, "1990,2001"},
      {{"\"null\"", "\" null \""}, ""},
      {{"1990.0"}, "1990.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    QStringList elements;
    for (const QString& y : c.years) elements << QStringLiteral(R"({"operationYear":%1,"buildingYear":%1})").arg(y);
    const auto row = HousePageRow(RunWithCard(), Worker(HousePage, Items(elements.join(u','))));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->at(25), QString::fromUtf8(c.expected));
    EXPECT_EQ(row->at(26), QString::fromUtf8(c.expected));
  }
}

TEST(HousePage, OneAddressPlacePerHouse) {
  struct Case {
    const char* elements;
    const char* expected;
  } cases[] = {
      {R"({},{"address":{"formattedAddress":"A"}},{"address":{"formattedAddress":"B"}})", "|A|B"},
      {R"({"address":{"formattedAddress":"A"}},{"address":{"formattedAddress":"B"}},{})", "A|B|"},
      {R"({"address":{"formattedAddress":null}},{"address":{}},{"address":"x"})", "||"},
      {R"({"address":{"formattedAddress":7}})", "7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elements);
    const auto row = HousePageRow(RunWithCard(), Worker(HousePage, Items(QString::fromUtf8(c.elements))));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->at(27), QString::fromUtf8(c.expected));
  }
}

TEST(HousePage, ResidentialSumDoesNotWrap) {
  struct Case {
    const char* counts;
    const char* expected;
  } cases[] = {
      {"12,null,30", "42"},
      {"\"5\",true,2.6,\"x\"", "9"},
      // Two values near INT_MAX: the sum is kept, not turned negative.
      {"2147483647,2147483647", "4294967294"},
      {"9223372036854775807,1", "9223372036854775807"},
      {"-9223372036854775808,-5", "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.counts);
    QStringList elements;
    for (const QString& n : QString::fromUtf8(c.counts).split(u','))
      elements << QStringLiteral(R"({"residentialPremiseCount":%1})").arg(n);
    const auto row = HousePageRow(RunWithCard(), Worker(HousePage, Items(elements.join(u','))));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->at(28), QString::fromUtf8(c.expected));
  }
}

TEST(HousePage, EmptyItemsGiveTheNoHousesRow) {
  const auto row = HousePageRow(RunWithCard(), Worker(HousePage, QStringLiteral(R"({"total":0,"items":[]})")));
  ASSERT_TRUE(row.has_value());
  ASSERT_EQ(row->size(), 30);
  EXPECT_EQ(row->at(0), QStringLiteral("Москва"));
  EXPECT_EQ(row->at(2), QStringLiteral("ООО 'Дом'"));
  const QString none = QStringLiteral("Нет домов");
  EXPECT_EQ(row->mid(24), (QStringList{none, none, none, none, none, OrganisationLink(kBase, kGuid)}));
}

TEST(HousePage, RowWithoutCardStillHasThirtyFields) {
  // A task carried over from an earlier run: no region, no card in this run.
  RunData run;
  run.baseUrl = kBase;
  const auto row = HousePageRow(run, Worker(HousePage, Items(QStringLiteral(R"({"operationYear":2000})"))));
  ASSERT_TRUE(row.has_value());
  ASSERT_EQ(row->size(), 30);
  EXPECT_EQ(row->at(0), QString());
  EXPECT_EQ(row->at(1), kGuid);
  for (int i = 2; i < 24; ++i) EXPECT_EQ(row->at(i), QString()) << i;
  EXPECT_EQ(row->at(24), QStringLiteral("1"));
  EXPECT_EQ(row->at(25), QStringLiteral("2000"));
}

TEST(HousePage, CardLookupIgnoresCaseAndFirstCardWins) {
  RunData run = RunWithCard();
  run.OrgCards.Append(kGuid, QStringLiteral("second card"));
  const auto row = HousePageRow(run, Worker(HousePage, Items(QString()), kGuid.toUpper()));
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->at(0), QStringLiteral("Москва"));
  EXPECT_EQ(row->at(1), kGuid.toUpper());
  EXPECT_EQ(row->at(3), QStringLiteral("c4"));
}

TEST(HousePage, UnusableAnswersGiveNoRow) {
  for (const char* answer : {"", "not json", R"({"total":1})", R"({"items":null})", R"({"items":{}})", "[]"}) {
    SCOPED_TRACE(answer);
    EXPECT_FALSE(HousePageRow(RunWithCard(), Worker(HousePage, QString::fromUtf8(answer))).has_value());
  }
}

}  // namespace
