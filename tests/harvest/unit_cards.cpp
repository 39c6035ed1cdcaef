// Card columns, the week schedule and the card handler.

#include <gtest/gtest.h>

#include <QFile>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.test/");

QString Fixture(const char* name) {
  QFile file(QStringLiteral(ORGH_TEST_DATA_DIR "/handlers/") + QString::fromUtf8(name));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
  return QString::fromUtf8(file.readAll());
}

QString Week(const QString& mon, const QString& tue, const QString& wed, const QString& thu,
             const QString& fri, const QString& sat, const QString& sun) {
  return QStringList{mon, tue, wed, thu, fri, sat, sun}.join(QStringLiteral("||"));
}

TEST(CardColumns, FullCardWithAdditionalInformation) {
  const auto card = ExtractCardColumns(Fixture("card_full.json").toUtf8(), Fixture("additional_full.json").toUtf8());
  ASSERT_TRUE(card.has_value());
  EXPECT_EQ(card->guid, QStringLiteral("A1B2C3D4-0000-4000-8000-000000000001"));
  const QString workday = QStringLiteral("09:00-18:00, перерыв 13:00-14:00");
  const QStringList expected = {
      QStringLiteral("Общество с ограниченной ответственностью \"Управляющая компания Жилсервис\""),
      QStringLiteral("ООО \"УК Жилсервис\""),
      QStringLiteral("1027700000012"),
      QStringLiteral("03.11.2015"),
      QStringLiteral("0771234567"),  // leading zero kept
      QStringLiteral("077101001"),
      QStringLiteral("12300-Общества с ограниченной ответственностью"),
      QStringLiteral("г. Москва,ул. Ленина, д. 1"),  // CR LF removed
      QStringLiteral("г. Москва, ул. Ленина, д. 1, оф. 2"),
      QStringLiteral("а/я 15"),
      QStringLiteral("74951234567"),  // a number where text is expected
      QStringLiteral("info@example.org"),
      QStringLiteral("null"),  // left for the row writer
      QStringLiteral("Иванов И.,"),
      QStringLiteral("Иван"),
      QStringLiteral("Иванович"),
      QStringLiteral("Петров Пётр Петрович"),
      Week(QStringLiteral("понедельник: ") + workday, QStringLiteral("вторник: ") + workday,
           QStringLiteral("среда: ") + workday, QStringLiteral("четверг: ") + workday,
           QStringLiteral("пятница: 09:00-17:00"), QStringLiteral("суббота: выходной"), QString()),
      QStringLiteral("Главный инженер"),
      QStringLiteral("г. Москва, ул. Ленина, д. 1, каб. 5"),
      QStringLiteral("+7 495 000-00-01"),  // only the first phone
      Week({}, QStringLiteral("вторник: 10:00-12:00"), {}, {}, {}, {}, {}),
  };
  ASSERT_EQ(card->columns.size(), kCardColumnCount);
  for (int i = 0; i < kCardColumnCount; ++i) EXPECT_EQ(card->columns[i], expected[i]) << "column " << i + 3;
}

TEST(CardColumns, NullsAndMissingMembers) {
  const auto card = ExtractCardColumns(Fixture("card_sparse.json").toUtf8(), QByteArray());
  ASSERT_TRUE(card.has_value());
  EXPECT_EQ(card->guid, QStringLiteral("b2"));
  QStringList expected(kCardColumnCount);
  expected[0] = QStringLiteral("null");      // fullName null
  expected[4] = QStringLiteral("77012345");  // inn as a number
  expected[5] = QStringLiteral(R"({"a":1})");
  expected[6] = QStringLiteral("-");  // okopf null
  expected[9] = QStringLiteral("null");  // postal formattedAddress null
  expected[13] = QStringLiteral("null");
  EXPECT_EQ(card->columns, expected);
}

TEST(CardColumns, RegistrationDateAndOkopfRules) {
  struct Case {
    const char* members;
    const char* date;
    const char* okopf;
  } cases[] = {
      {R"("stateRegistrationDate":"2008-05-12")", "12.05.2008", ""},
      {R"("stateRegistrationDate":"")", "", ""},
      {R"("okopf":{"code":"12300"})", "", "12300-"},
      {R"("okopf":{})", "", "-"},
      {R"("okopf":{"code":null,"name":"X"})", "", "null-X"},
      {R"("okopf":{"code":65,"name":"Т\tО"})", "", "65-Т О"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    const auto card = ExtractCardColumns(QByteArray("{") + c.members + "}", {});
    ASSERT_TRUE(card.has_value());
    EXPECT_EQ(card->columns[3], QString::fromUtf8(c.date));
    EXPECT_EQ(card->columns[6], QString::fromUtf8(c.okopf));
  }
}

TEST(CardColumns, CardThatDoesNotParseGivesNothing) {
  for (const char* text : {"", "<html>502</html>", "{\"guid\":", "[]", "5", "\"card\"", "null"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ExtractCardColumns(QByteArray(text), Fixture("additional_full.json").toUtf8()));
  }
}

TEST(CardColumns, AdditionalInformationGuards) {
  struct Case {
    const char* additional;
    QStringList columns19to24;
  } cases[] = {
      {"", {"", "", "", "", "", ""}},
      {"not json", {"", "", "", "", "", ""}},
      {R"({"additionalInfos":[]})", {"", "", "", "", "", ""}},
      {R"({"additionalInfos":{"chiefInfo":{"fio":"X"}}})", {"", "", "", "", "", ""}},
      {R"({"additionalInfos":[{"chiefInfo":null}]})", {"", "", "", "", "", ""}},
      {R"({"additionalInfos":[{"chiefInfo":{}}]})", {"", "", "", "", "", ""}},
      {R"({"additionalInfos":[{"chiefInfo":{"fio":null}}]})", {"null", "", "", "", "", ""}},
      // Present but empty reception list: nothing of it, whatever else is there.
      {R"({"additionalInfos":[{"chiefInfo":{"fio":"Ф"},"citizenReceptionInfoList":[],)"
       R"("citizensReceptionPhones":["1"]}]})",
       {"Ф", "", "", "", "", ""}},
      {R"({"additionalInfos":[{"citizenReceptionInfoList":[{"employeePosition":"Инж.",)"
       R"("citizensReceptionLocation":null,"citizensReceptionPhones":[]}]}]})",
       {"", "", "Инж.", "", "", ""}},
      {R"({"additionalInfos":[{"citizenReceptionInfoList":[{)"
       R"("citizensReceptionPhones":["a\tb", "second"],"citizensReceptionHours":[]}]}]})",
       {"", "", "", "", "a b", ""}},
      {R"({"additionalInfos":[{"organizationOpeningHours":[],"citizenReceptionInfoList":[{)"
       R"("citizensReceptionPhones":[79001234567]}]}]})",
       {"", "", "", "", "79001234567", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.additional);
    const auto card = ExtractCardColumns(QByteArray(R"({"guid":"g"})"), QByteArray(c.additional));
    ASSERT_TRUE(card.has_value());
    ASSERT_EQ(card->columns.size(), kCardColumnCount);
    EXPECT_EQ(card->columns.mid(16), c.columns19to24);
  }
}

TEST(WeekSchedule, DayEntries) {
  const QString open9to18 =
      QStringLiteral(R"("openHours":{"beginDate":"1970-01-01T09:00:00","endDate":"1970-01-01T18:00:00"})");
  const QString break13to14 =
      QStringLiteral(R"("breakHours":{"beginDate":"1970-01-01T13:00:00","endDate":"1970-01-01T14:00:00"})");
  struct Case {
    QString days;  // the array's elements
    QString expected;
  } cases[] = {
      {QString(), Week({}, {}, {}, {}, {}, {}, {})},
      {QStringLiteral(R"({"dayOfWeek":1,%1,%2})").arg(open9to18, break13to14),
       Week(QStringLiteral("понедельник: 09:00-18:00, перерыв 13:00-14:00"), {}, {}, {}, {}, {}, {})},
      {QStringLiteral(R"({"dayOfWeek":0,%1})").arg(open9to18),
       Week({}, {}, {}, {}, {}, {}, QStringLiteral("воскресенье: 09:00-18:00"))},
      // Day off: the break of that day is not shown either.
      {QStringLiteral(R"({"dayOfWeek":6,"openHours":{"beginDate":null},%1})").arg(break13to14),
       Week({}, {}, {}, {}, {}, QStringLiteral("суббота: выходной"), {})},
      {QStringLiteral(R"({"dayOfWeek":3})"), Week({}, {}, QStringLiteral("среда: --"), {}, {}, {}, {})},
      {QStringLiteral(R"({"dayOfWeek":4,%1})").arg(break13to14),
       Week({}, {}, {}, QStringLiteral("четверг: --, перерыв 13:00-14:00"), {}, {}, {})},
      {QStringLiteral(R"({"dayOfWeek":5,"openHours":null})"),
       Week({}, {}, {}, {}, QStringLiteral("пятница: -"), {}, {})},
      {QStringLiteral(R"({"dayOfWeek":2,%1,"breakHours":{"beginDate":null,"endDate":null}})").arg(open9to18),
       Week({}, QStringLiteral("вторник: 09:00-18:00"), {}, {}, {}, {}, {})},
      // Later entry of the same day wins.
      {QStringLiteral(R"({"dayOfWeek":1,%1},{"dayOfWeek":1})").arg(open9to18),
       Week(QStringLiteral("понедельник: --"), {}, {}, {}, {}, {}, {})},
      {QStringLiteral(R"({"dayOfWeek":7,%1},{"dayOfWeek":-1,%1},{"dayOfWeek":"x",%1})").arg(open9to18),
       Week({}, {}, {}, {}, {}, {}, QStringLiteral("воскресенье: 09:00-18:00"))},
      {QStringLiteral(R"({"dayOfWeek":7},{"dayOfWeek":-1})"), Week({}, {}, {}, {}, {}, {}, {})},
      {QStringLiteral(R"({%1})").arg(open9to18),
       Week({}, {}, {}, {}, {}, {}, QStringLiteral("воскресенье: 09:00-18:00"))},
      {QStringLiteral(R"({"dayOfWeek":"1",%1})").arg(open9to18),
       Week(QStringLiteral("понедельник: 09:00-18:00"), {}, {}, {}, {}, {}, {})},
      // Short date-time texts give what is there.
      {QStringLiteral(R"({"dayOfWeek":1,"openHours":{"beginDate":"1970-01-01T9","endDate":"short"}})"),
       Week(QStringLiteral("понедельник: 9-"), {}, {}, {}, {}, {}, {})},
      {QStringLiteral(R"("not an object",null,{"dayOfWeek":null})"),
       Week({}, {}, {}, {}, {}, {}, QStringLiteral("воскресенье: --"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.days.toStdString());
    const JsonAnswer answer(QStringLiteral("[%1]").arg(c.days).toUtf8());
    ASSERT_TRUE(answer.Ok());
    const QString schedule = FormatWeekSchedule(answer.Root());
    EXPECT_EQ(schedule, c.expected);
  }
}

TEST(OrgCardHandler, StoresTheCardAndQueuesTheHouseCount) {
  RunData run;
  run.baseUrl = kBase;
  WorkerOutcome w;
  w.Code = OrgCard;
  w.result = 1;
  w.html = Fixture("card_full.json").toUtf8();
  HandleOrgCard(run, w);
  const QString guid = QStringLiteral("A1B2C3D4-0000-4000-8000-000000000001");
  ASSERT_EQ(run.PendingList.size(), 1);
  EXPECT_EQ(run.PendingList.first(), HouseCountTask(kBase, guid));
  const QString part = run.OrgCards.Lookup(guid.toLower());
  EXPECT_EQ(part.count(u'\t'), 21);  // 22 values, the additional ones empty
  EXPECT_FALSE(part.contains(u'\n'));
  EXPECT_FALSE(part.contains(u'\r'));
  EXPECT_TRUE(part.endsWith(QStringLiteral("Иванович\t\t\t\t\t\t")));

  // The same organisation again (found in a second region): the first card stays the answer.
  w.html = QStringLiteral(R"({"guid":"a1b2c3d4-0000-4000-8000-000000000001","fullName":"Другое"})").toUtf8();
  HandleOrgCard(run, w);
  EXPECT_EQ(run.PendingList.size(), 2);
  EXPECT_EQ(run.OrgCards.Count(), 2);
  EXPECT_EQ(run.OrgCards.Lookup(guid), part);

  // Answers that give no card: nothing stored or queued, the task kept and the reason given.
  w.url = OrgCardTask(kBase, guid);
  const struct {
    const char* html;
    const char* why;
  } unusable[] = {
      {"Service Unavailable", "не JSON-объект"},
      {"", "не JSON-объект"},
      {"[]", "не JSON-объект"},
      {"{}", "guid карточки не из простых символов: \"\""},
      {R"({"guid":null})", "guid карточки не из простых символов: \"null\""},
      {R"({"guid":"a1\r\nhttps://other.host/x"})", R"(guid карточки не из простых символов: "a1\x0d\x0ahttps://other.host/x")"},
  };
  for (const auto& c : unusable) {
    SCOPED_TRACE(c.html);
    w.html = QByteArray(c.html);
    const HandlerResult result = HandleOrgCard(run, w);
    EXPECT_TRUE(result.unusable);
    EXPECT_TRUE(result.logText.contains(QString::fromUtf8(c.why))) << result.logText.toStdString();
    EXPECT_EQ(run.PendingList.size(), 2);
    EXPECT_EQ(run.OrgCards.Count(), 2);
  }
}

TEST(OrgCardHandler, UnreadableAdditionalInformationIsLoggedAndTheCardKept) {
  RunData run;
  run.baseUrl = kBase;
  WorkerOutcome w;
  w.Code = OrgCard;
  w.result = 1;
  w.url = OrgCardTask(kBase, QStringLiteral("g1"));
  w.html = R"({"guid":"g1"})";
  w.html2 = "<html>oops</html>";
  const HandlerResult result = HandleOrgCard(run, w);
  EXPECT_FALSE(result.unusable);
  EXPECT_TRUE(result.logText.startsWith(QStringLiteral("Доп. информация не прочитана"))) << result.logText.toStdString();
  EXPECT_EQ(run.PendingList, QStringList{HouseCountTask(kBase, QStringLiteral("g1"))});
  EXPECT_EQ(run.OrgCards.Lookup(QStringLiteral("g1")).count(u'\t'), 21);
}

}  // namespace
