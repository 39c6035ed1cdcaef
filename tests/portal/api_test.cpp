// Request builders and the kind of a task string.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.example/");

TEST(PortalApi, OrganisationFilterIsTheNinePiecesByteForByte) {
  const QByteArray guid = "0c5b2444-70a0-4932-980c-b4dc0d3f02b5";
  // The nine pieces, typed out separately from the program's own copy.
  const QByteArray expected =
      QByteArray(R"({"organizationRoleList":[{"code":"19","guid":"708b663b-8cb8-4114-84bc-e6b909c7f714"},{"code":"20","guid":"b9468598-0535-4d76-a462-32082dce86b7"},{"code":"21","guid":"d7625e16-19fd-4dea-a3e3-3999a195e1c9"},{"code":"22","guid":"5c408b08-0a95-4ea2-8d78-55af6e6a5ac5"},{"code":"1","guid":"52f5e0a4-7f4c-4fb1-9423-160e9178ddda"}],"factualAddress":{"area":null,"city":null,"region":{"guid":")") +
      guid + QByteArray(R"(",)") + QByteArray(R"("code":")") + QByteArray("77") +
      QByteArray(R"("},"settlement":null,"street":null,)") +
      QByteArray(R"("planningStructureElement":null,"house":null,"houseNumber":null,"buildingNumber":null,)") +
      QByteArray(R"("structNumber":null},"organizationStatuses":{"coll":["REGISTERED"],"operand":"OR"},)") +
      QByteArray(R"("okopfList":[],"roleStatuses":["APPROVED"],"onlyHeadOrganization":true})");
  const QByteArray body = OrganisationFilter(QString::fromLatin1(guid), QStringLiteral("77"));
  EXPECT_EQ(body, expected);

  // And it is the structure the portal expects.
  const QJsonObject root = QJsonDocument::fromJson(body).object();
  ASSERT_FALSE(root.isEmpty());
  const QJsonObject region = root["factualAddress"].toObject()["region"].toObject();
  EXPECT_EQ(region["guid"].toString(), QString::fromLatin1(guid));
  EXPECT_EQ(region["code"].toString(), QStringLiteral("77"));
  EXPECT_EQ(root["organizationRoleList"].toArray().size(), 5);
  EXPECT_TRUE(root["onlyHeadOrganization"].toBool());
}

TEST(PortalApi, SmallBodiesAreExact) {
  EXPECT_EQ(HouseFilter(QStringLiteral("abc-1")),
            QByteArray(R"({"organizationGuid":"abc-1","calcCount":true})"));
  EXPECT_EQ(AdditionalInfoBody(QStringLiteral("abc-1")),
            QByteArray(R"({"organizationGuids":["abc-1"]})"));
}

TEST(PortalApi, InsertedValuesCannotBreakTheJson) {
  // A hand-edited region list may hold anything; the bodies must stay valid JSON and carry the
  // value unchanged. Non-ASCII goes out as UTF-8, as the content type says.
  const QString odd = QStringLiteral("a\"b\\c\tМосква");
  for (const QByteArray& body : {OrganisationFilter(odd, odd), HouseFilter(odd), AdditionalInfoBody(odd)}) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << body.constData();
  }
  EXPECT_EQ(QJsonDocument::fromJson(HouseFilter(odd)).object()["organizationGuid"].toString(), odd);
  EXPECT_TRUE(OrganisationFilter(QStringLiteral("Ж"), QString()).contains("\xD0\x96"));
}

TEST(PortalApi, AddressesAndTaskStrings) {
  EXPECT_EQ(RegionCountAddress(kBase),
            "https://portal.example/ppa/api/rest/services/ppa/public/organizations/searchByOrg/count");
  EXPECT_EQ(AdditionalInfoAddress(kBase),
            "https://portal.example/ppa/api/rest/services/ppa/public/organizations/additionalinfo");
  EXPECT_EQ(OrganisationLink(kBase, "g1"), "https://portal.example/#!/organizationView/g1");
  EXPECT_EQ(SearchPageTask(kBase, 12, "77", "rg"),
            "https://portal.example/ppa/api/rest/services/ppa/public/organizations/"
            "searchByOrg?pageIndex=12&elementsPerPage=100|||77$$$rg");
  EXPECT_EQ(OrgCardTask(kBase, "g1"),
            "https://portal.example/ppa/api/rest/services/ppa/public/organizations/"
            "orgByGuid?organizationGuid=g1");
  EXPECT_EQ(HouseCountTask(kBase, "g1"),
            "https://portal.example/homemanagement/api/rest/services/houses/public/"
            "searchByOrg?pageIndex=1&elementsPerPage=1|||g1");
  EXPECT_EQ(HousePageTask(kBase, 3, "g1"),
            "https://portal.example/homemanagement/api/rest/services/houses/public/"
            "searchByOrg?pageIndex=3&elementsPerPage=1000|||g1");
}

TEST(PortalApi, TaskKind) {
  const struct {
    QString task;
    Code kind;
  } cases[] = {
      {QStringLiteral("77$$$0c5b2444-70a0-4932-980c-b4dc0d3f02b5"), RegionCount},
      {SearchPageTask(kBase, 1, "77", "rg"), SearchPage},
      {OrgCardTask(kBase, "g1"), OrgCard},
      {HouseCountTask(kBase, "g1"), HouseCount},
      {HousePageTask(kBase, 1, "g1"), HousePage},
      {HousePageTask(kBase, 2, "g1"), HousePage},
      // Only "elementsPerPage=1|||" makes a house count; 10 or 1000 per page is a page.
      {kBase + "homemanagement/api/rest/services/houses/public/searchByOrg?pageIndex=1&elementsPerPage=10|||g",
       HousePage},
      {kBase + "homemanagement/api/rest/services/houses/public/searchByOrg?pageIndex=1&elementsPerPage=1000|||g",
       HousePage},
      // An address that matches nothing, and the markers without "://".
      {QStringLiteral("https://portal.example/something/else"), RegionCount},
      {QStringLiteral("x/orgByGuid?organizationGuid=g1"), RegionCount},
      {QString(), RegionCount},
      // Later tests override earlier ones.
      {QStringLiteral("https://h/public/organizations/searchByOrg?/orgByGuid?"), OrgCard},
      // Case matters.
      {QStringLiteral("https://h/ORGBYGUID?organizationGuid=g"), RegionCount},
  };
  for (const auto& c : cases) EXPECT_EQ(TaskKind(c.task), c.kind) << c.task.toStdString();
}

TEST(PortalApi, TaskPartsOfEveryKind) {
  const QString search = SearchPageTask(kBase, 2, "77", "rg");
  const QString card = OrgCardTask(kBase, "g1");
  const QString count = HouseCountTask(kBase, "g2");
  const QString page = HousePageTask(kBase, 3, "g3");
  const QString noMarker = kBase + "homemanagement/api/rest/services/houses/public/searchByOrg?pageIndex=1";
  const struct {
    QString task;
    Code kind;
    bool hasValue;
    QString address, value, regionCode, regionGuid, orgGuid;
  } cases[] = {
      {"77$$$rg", RegionCount, false, "77$$$rg", "77$$$rg", "77", "rg", ""},
      {"rg-only", RegionCount, false, "rg-only", "rg-only", "", "rg-only", ""},  // no "$$$": all GUID
      {search, SearchPage, true, search.section("|||", 0, 0), "77$$$rg", "77", "rg", ""},
      {card, OrgCard, false, card, "", "", "", "g1"},
      {count, HouseCount, true, count.section("|||", 0, 0), "g2", "", "", "g2"},
      {page, HousePage, true, page.section("|||", 0, 0), "g3", "", "", "g3"},
      {noMarker, HousePage, false, noMarker, "", "", "", ""},  // nothing to send: fails in the worker
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.task.toStdString());
    const TaskParts p = ParseTask(c.task);
    EXPECT_EQ(p.text, c.task);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.hasValue, c.hasValue);
    EXPECT_EQ(p.address, c.address);
    EXPECT_EQ(p.value, c.value);
    EXPECT_EQ(p.regionCode, c.regionCode);
    EXPECT_EQ(p.regionGuid, c.regionGuid);
    EXPECT_EQ(p.orgGuid, c.orgGuid);
  }
}

}  // namespace

namespace {

TEST(PortalApi, OnlyPlainValuesGoIntoTasks) {
  const struct {
    QString value;
    bool plain;
  } cases[] = {
      {QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5"), true},
      {QStringLiteral("A1B2-c3"), true},
      {QStringLiteral("77"), true},
      {QString(64, u'a'), true},
      {QString(65, u'a'), false},
      {QString(), false},
      {QStringLiteral("g\r\nhttps://other.host/"), false},
      {QStringLiteral("g|||h"), false},
      {QStringLiteral("a b"), false},
      {QStringLiteral("дом"), false},
      {QStringLiteral("g\u0000"), false},
      {QStringLiteral("g_1"), false},
      {QStringLiteral("g.1"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.toStdString());
    EXPECT_EQ(IsPlainToken(c.value), c.plain);
    // The builders take nothing else: an empty text instead of a task.
    EXPECT_EQ(OrgCardTask(kBase, c.value).isEmpty(), !c.plain);
    EXPECT_EQ(HouseCountTask(kBase, c.value).isEmpty(), !c.plain);
    EXPECT_EQ(HousePageTask(kBase, 3, c.value).isEmpty(), !c.plain);
    EXPECT_EQ(SearchPageTask(kBase, 1, QStringLiteral("77"), c.value).isEmpty(), !c.plain);
    EXPECT_EQ(IsPlainRegionKey(QStringLiteral("77$$$") + c.value), c.plain);
  }
  // A region key may lack its code, not its GUID.
  EXPECT_TRUE(IsPlainRegionKey(QStringLiteral("$$$g1")));
  EXPECT_TRUE(IsPlainRegionKey(QStringLiteral("g1")));
  EXPECT_FALSE(IsPlainRegionKey(QStringLiteral("77$$$")));
  EXPECT_FALSE(IsPlainRegionKey(QStringLiteral("7 7$$$g1")));
  EXPECT_FALSE(SearchPageTask(kBase, 1, QStringLiteral("7\n7"), QStringLiteral("g1")).contains(u'\n'));
}

TEST(PortalApi, TaskRefusalLetsOnlyPlainValuesUnderTheBaseAddressGo) {
  const QString other = QStringLiteral("https://other.host/");
  const QString outside =
      QStringLiteral("task refused: its address does not begin with the portal's base address ") + kBase;
  const QString notPlainOrg = QStringLiteral(
      "task refused: the organisation GUID is not a plain value (ASCII letters, digits and \"-\", at most 64)");
  const QString notPlainRegion = QStringLiteral(
      "task refused: the region code or GUID is not a plain value (ASCII letters, digits and \"-\", at most 64)");
  const QString unsafe = QStringLiteral("task refused: it is empty or holds a control character");
  const QString houses = kBase + QStringLiteral("homemanagement/api/rest/services/houses/public/searchByOrg?");
  const struct {
    QString task;
    QString refusal;  // empty: the task may be sent
  } cases[] = {
      // What the builders make goes.
      {QStringLiteral("01$$$aaaa"), {}},
      {QStringLiteral("g1"), {}},
      {SearchPageTask(kBase, 1, QStringLiteral("02"), QStringLiteral("bbbb")), {}},
      {OrgCardTask(kBase, QStringLiteral("org-1")), {}},
      {HouseCountTask(kBase, QStringLiteral("org-2")), {}},
      {HousePageTask(kBase, 3, QStringLiteral("org-2")), {}},
      // Without "|||" there is nothing to check: such a task fails in its attempts.
      {houses + QStringLiteral("pageIndex=1"), {}},
      // Empty, blank or holding a control character.
      {QString(), unsafe},
      {QStringLiteral("77$$$g\r\nhttps://other.host/"), unsafe},
      {HouseCountTask(kBase, QStringLiteral("org-2")) + QChar(0x1B), unsafe},
      {QStringLiteral("   "), notPlainRegion},
      // Addressed elsewhere.
      {OrgCardTask(other, QStringLiteral("g1")), outside},
      {HouseCountTask(other, QStringLiteral("g1")), outside},
      {HousePageTask(other, 2, QStringLiteral("g1")), outside},
      {SearchPageTask(other, 1, QStringLiteral("77"), QStringLiteral("g")), outside},
      // Values that are not plain tokens.
      {kBase + QStringLiteral("ppa/api/rest/services/ppa/public/organizations/orgByGuid?organizationGuid=a b"),
       notPlainOrg},
      {houses + QStringLiteral("pageIndex=1&elementsPerPage=1|||дом"), notPlainOrg},
      {HousePageTask(kBase, 1, QStringLiteral("org-2")).replace(QStringLiteral("org-2"), QStringLiteral("x/../y")),
       notPlainOrg},
      {QStringLiteral("77$$$регион"), notPlainRegion},
      {QStringLiteral("7/7$$$g"), notPlainRegion},
      {QStringLiteral("01$$$not plain"), notPlainRegion},
      {SearchPageTask(kBase, 1, QStringLiteral("02"), QStringLiteral("bbbb")).replace(QStringLiteral("bbbb"),
                                                                                      QStringLiteral("b b")),
       notPlainRegion},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.task.toStdString());
    EXPECT_EQ(TaskRefusal(ParseTask(c.task), kBase), c.refusal);
  }
}

TEST(PortalApi, SafeTaskLinesAndPrintableValues) {
  EXPECT_TRUE(IsSafeTaskLine(OrgCardTask(kBase, QStringLiteral("g1"))));
  EXPECT_TRUE(IsSafeTaskLine(QStringLiteral("77$$$регион")));  // refused later, but one line
  EXPECT_FALSE(IsSafeTaskLine(QString()));
  for (char16_t c : {u'\0', u'\t', u'\n', u'\r', u'\v', u'\x1f', u'\x7f'})
    EXPECT_FALSE(IsSafeTaskLine(QStringLiteral("a") + QChar(c) + QStringLiteral("b"))) << int(c);

  EXPECT_EQ(PrintableValue(QStringLiteral("a\r\nb\u007f")), QStringLiteral("a\\x0d\\x0ab\\x7f"));
  EXPECT_EQ(PrintableValue(QStringLiteral("abcdef"), 3), QStringLiteral("abc..."));
  EXPECT_EQ(PrintableValue(QStringLiteral("abc"), 3), QStringLiteral("abc"));
}

}  // namespace
