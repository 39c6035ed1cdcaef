// The substitute portal itself: its dataset, its answers over HTTPS, its faults and its log.
// Other tests build on it, so a fault here would show up as confusing failures elsewhere.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <set>

#include "tests/support/simserver.h"
#include "tools/portal-sim/answers.h"
#include "tools/portal-sim/dataset.h"

namespace {

const QByteArray kOrgRoot = "ppa/api/rest/services/ppa/public/organizations/";
const QByteArray kHouseRoot = "homemanagement/api/rest/services/houses/public/";

QByteArray OrgFilter(const simdata::Region& r) {
  return "{\"organizationRoleList\":[{\"code\":\"19\",\"guid\":\"708b663b-8cb8-4114-84bc-e6b909c7f714\"}],"
         "\"factualAddress\":{\"area\":null,\"city\":null,\"region\":{\"guid\":\"" +
         QByteArray::fromStdString(r.guid) + "\",\"code\":\"" + QByteArray::fromStdString(r.code) +
         "\"},\"settlement\":null},\"onlyHeadOrganization\":true}";
}

QByteArray HouseFilter(const std::string& guid) {
  return "{\"organizationGuid\":\"" + QByteArray::fromStdString(guid) + "\",\"calcCount\":true}";
}

// One HTTPS request the way the harvester makes them (HTTP/1.0, client certificate).
struct Reply {
  CURLcode rc = CURLE_OK;
  long status = 0;
  QByteArray statusLine;
  QList<QByteArray> headerLines;  // of the last answer, without CR LF
  QByteArray body;
  double seconds = 0;
};

size_t Collect(char* p, size_t size, size_t n, void* user) {
  static_cast<QByteArray*>(user)->append(p, static_cast<qsizetype>(size * n));
  return size * n;
}

size_t CollectStatus(char* p, size_t size, size_t n, void* user) {
  QByteArray line(p, static_cast<qsizetype>(size * n));
  auto* reply = static_cast<Reply*>(user);
  if (line.startsWith("HTTP/")) {
    reply->statusLine = line.trimmed();
    reply->headerLines.clear();
  } else if (!line.trimmed().isEmpty()) {
    reply->headerLines.append(line.trimmed());
  }
  return size * n;
}

Reply Fetch(const SimServer& sim, const QByteArray& path, const QByteArray* body = nullptr,
            bool withCert = true, bool http11 = false, const char* customMethod = nullptr,
            const char* extraHeader = nullptr) {
  Reply r;
  CURL* c = curl_easy_init();
  const QByteArray url = sim.BaseUrl().toUtf8() + path;
  const QByteArray cert = SimServer::ClientCert().toUtf8(), key = SimServer::ClientKey().toUtf8();
  curl_easy_setopt(c, CURLOPT_URL, url.constData());
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, http11 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2 | (long)CURL_SSLVERSION_MAX_TLSv1_2);
  if (withCert) {
    curl_easy_setopt(c, CURLOPT_SSLCERT, cert.constData());
    curl_easy_setopt(c, CURLOPT_SSLKEY, key.constData());
    curl_easy_setopt(c, CURLOPT_KEYPASSWD, "demokeys");
  }
  curl_slist* headers = extraHeader ? curl_slist_append(nullptr, extraHeader) : nullptr;
  headers = curl_slist_append(headers, "Request-GUID: 0");
  headers = curl_slist_append(headers, "Session-GUID: 0");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  if (body) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->constData());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  if (customMethod) curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, customMethod);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, CollectStatus);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  const auto start = std::chrono::steady_clock::now();
  r.rc = curl_easy_perform(c);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return r;
}

QByteArray Q(const std::string& s) { return QByteArray::fromStdString(s); }

bool IsJson(const std::string& text) {
  QJsonParseError e{};
  QJsonDocument::fromJson(Q(text), &e);
  return e.error == QJsonParseError::NoError;
}

// ---------------------------------------------------------------------------------------------
// Dataset

TEST(SimDataset, SameConfigGivesSameTextsAndSeedChangesThem) {
  simdata::Dataset a({5, 200, 5000, 7}), b({5, 200, 5000, 7}), c({5, 200, 5000, 8});
  for (int org : {0, 1, 57, 199}) {
    EXPECT_EQ(a.OrgGuid(org), b.OrgGuid(org));
    EXPECT_EQ(a.CardJson(org), b.CardJson(org));
    EXPECT_EQ(a.AdditionalInfoJson(org), b.AdditionalInfoJson(org));
    EXPECT_EQ(a.HousePageJson(org, 1, 1000), b.HousePageJson(org, 1, 1000));
    EXPECT_NE(a.OrgGuid(org), c.OrgGuid(org));
  }
  // Region keys do not depend on the seed, so a saved "cities.txt" stays usable.
  EXPECT_EQ(a.CitiesFile(), c.CitiesFile());
}

TEST(SimDataset, EveryTextIsValidJsonAndTheVarietyIsThere) {
  simdata::Dataset d({10, 1500, 40000, 3});
  std::set<std::string> seen;
  auto note = [&](bool cond, const char* what) {
    if (cond) seen.insert(what);
  };
  for (int org = 0; org < d.OrgCount(); ++org) {
    const std::string card = d.CardJson(org), add = d.AdditionalInfoJson(org);
    ASSERT_TRUE(IsJson(card)) << card;
    ASSERT_TRUE(IsJson(add)) << add;
    const QJsonObject o = QJsonDocument::fromJson(Q(card)).object();
    EXPECT_EQ(o.value("guid").toString().toStdString(), d.OrgGuid(org));
    note(o.value("stateRegistrationDate").isNull(), "date null");
    note(!o.contains("stateRegistrationDate"), "date missing");
    note(!o.contains("okopf"), "okopf missing");
    note(o.value("okopf").isNull(), "okopf null");
    note(o.value("orgAddress").isNull(), "orgAddress null");
    note(o.value("inn").toString().startsWith('0'), "inn leading zero");
    note(o.value("fullName").toString().count('"') >= 4, "nested quotes");
    note(o.value("chiefLastName").toString().contains("&nbsp;"), "entity");
    note(o.value("chiefMiddleName").toString().contains("<br>"), "tag");
    note(o.value("chiefLastName").toString().contains(';'), "semicolon");
    note(card.find("\\t") != std::string::npos, "tab");
    note(card.find("\\r\\n") != std::string::npos, "crlf");
    note(add.find("\"beginDate\":null") != std::string::npos, "day off");
    note(add == "{\"additionalInfos\":[]}", "no infos");
    note(add.find("\"citizenReceptionInfoList\":[]") != std::string::npos, "reception empty");
    note(d.HouseTotal(org) == 0, "no houses");
    note(d.HouseTotal(org) > 1000, "several pages");
    note(d.HouseTotal(org) == 1000, "one full page");
  }
  for (const char* what : {"date null", "date missing", "okopf missing", "okopf null", "orgAddress null",
                           "inn leading zero", "nested quotes", "entity", "tag", "semicolon", "tab", "crlf",
                           "day off", "no infos", "reception empty", "no houses", "several pages", "one full page"})
    EXPECT_TRUE(seen.count(what)) << "no organisation shows: " << what;

  // House pages: valid, sliced, with the odd year and address forms.
  std::string pages;
  for (int org = 0; org < 200; ++org) pages += d.HousePageJson(org, 1, 1000);
  for (const char* form : {"\"operationYear\":null", "\"operationYear\":\"\"", "\"buildingYear\":\" 19",
                           "\"operationYear\":\"19", "\"residentialPremiseCount\":null", "\"address\":null"})
    EXPECT_NE(pages.find(form), std::string::npos) << form;
}

TEST(SimDataset, TotalsAddUpAndEveryOrganisationIsListed) {
  for (simdata::Config cfg : {simdata::Config{5, 200, 5000, 1}, simdata::Config{3, 10, 7, 2},
                              simdata::Config{1, 1, 3000, 3}, simdata::Config{0, 0, 0, 4}}) {
    simdata::Dataset d(cfg);
    std::int64_t houses = 0;
    std::size_t listed = 0, twice = 0;
    for (int org = 0; org < d.OrgCount(); ++org) houses += d.HouseTotal(org);
    EXPECT_EQ(houses, d.OrgCount() ? cfg.houses : 0);
    for (int r = 0; r < static_cast<int>(d.Regions().size()); ++r) listed += d.RegionOrgs(r).size();
    for (int org = 0; org < d.OrgCount(); ++org) twice += d.OrgSecondRegion(org) >= 0;
    EXPECT_EQ(listed, static_cast<std::size_t>(d.OrgCount()) + twice);
    if (cfg.regions > 1 && cfg.orgs > 1) {
      EXPECT_GT(twice, 0u);
    }
  }
}

TEST(SimDataset, PagesSliceTheListsAndEndEmpty) {
  simdata::Dataset d({3, 300, 9000, 5});
  const auto guids = d.RegionOrgGuids(0);
  ASSERT_GT(guids.size(), 2u);
  QStringList fromPages;
  for (int page = 1;; ++page) {
    const QJsonObject o = QJsonDocument::fromJson(Q(d.SearchPageJson(0, page, 2))).object();
    EXPECT_EQ(o.value("total").toInteger(), static_cast<qint64>(guids.size()));
    const QJsonArray list = o.value("organizationSummaryWithNsiList").toArray();
    if (list.isEmpty()) break;
    for (const auto& v : list) fromPages << v.toObject().value("guid").toString();
  }
  ASSERT_EQ(fromPages.size(), static_cast<qsizetype>(guids.size()));
  for (std::size_t i = 0; i < guids.size(); ++i) EXPECT_EQ(fromPages[static_cast<qsizetype>(i)].toStdString(), guids[i]);

  int big = -1;
  for (int org = 0; org < d.OrgCount() && big < 0; ++org)
    if (d.HouseTotal(org) > 1000) big = org;
  ASSERT_GE(big, 0);
  const auto total = d.HouseTotal(big);
  const QJsonObject p1 = QJsonDocument::fromJson(Q(d.HousePageJson(big, 1, 1000))).object();
  const QJsonObject p2 = QJsonDocument::fromJson(Q(d.HousePageJson(big, 2, 1000))).object();
  EXPECT_EQ(p1.value("total").toInteger(), total);
  EXPECT_EQ(p1.value("items").toArray().size(), 1000);
  EXPECT_EQ(p2.value("items").toArray().size(), std::min<std::int64_t>(total - 1000, 1000));
  EXPECT_EQ(d.HousePageJson(big, 1, 1).substr(0, 40), d.HousePageJson(big, 1, 1000).substr(0, 40));
  EXPECT_NE(d.HousePageJson(big, 99, 1000).find("\"items\":[]"), std::string::npos);
}

TEST(SimDataset, CountryScaleBuildsAndClampsItsSizes) {
  simdata::Dataset d({85, 30000, 1000000, 1});
  EXPECT_EQ(d.Regions().size(), 85u);
  std::int64_t houses = 0;
  for (int org = 0; org < d.OrgCount(); ++org) houses += d.HouseTotal(org);
  EXPECT_EQ(houses, 1000000);
  EXPECT_EQ(d.FindOrg(d.OrgGuid(29999)), 29999);
  EXPECT_EQ(d.Regions()[76].code, "77");

  simdata::Dataset over({500, 99999, 5000000, 1});
  EXPECT_EQ(over.Regions().size(), 85u);
  EXPECT_EQ(over.OrgCount(), 30000);
}

TEST(SimAnswers, BadAndUnknownRequests) {
  simdata::Dataset d({3, 50, 500, 1});
  const std::string org = d.OrgGuid(3);
  const std::string cardPath = ("/" + kOrgRoot + "orgByGuid?organizationGuid=").toStdString();
  struct Case {
    const char* method;
    std::string target;
    std::string body;
    int status;
  } cases[] = {
      {"GET", cardPath + org, "", 200},
      {"GET", cardPath + "00000000-0000-0000-0000-000000000000", "", 404},
      {"POST", cardPath + org, "", 404},  // wrong method
      {"GET", "/", "", 404},
      {"POST", ("/" + kOrgRoot + "searchByOrg/count").toStdString(), "{}", 400},
      {"POST", ("/" + kOrgRoot + "searchByOrg?pageIndex=0&elementsPerPage=100").toStdString(),
       OrgFilter(d.Regions()[0]).toStdString(), 400},
      {"POST", ("/" + kOrgRoot + "searchByOrg?pageIndex=x&elementsPerPage=100").toStdString(),
       OrgFilter(d.Regions()[0]).toStdString(), 400},
      {"POST", ("/" + kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1").toStdString(), "{\"calcCount\":true}", 400},
      {"POST", ("/" + kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1").toStdString(),
       HouseFilter("unknown").toStdString(), 200},
      {"POST", ("/" + kOrgRoot + "additionalinfo").toStdString(), ("{\"organizationGuids\":[\"" + Q(org) + "\"]}").toStdString(), 200},
  };
  for (const auto& c : cases)
    EXPECT_EQ(simdata::AnswerRequest(d, c.method, c.target, c.body).status, c.status) << c.method << " " << c.target;
  // An unknown region counts 0 organisations.
  simdata::Region nowhere{"x", "99", "11111111-2222-4333-8444-555555555555"};
  EXPECT_EQ(simdata::AnswerRequest(d, "POST", ("/" + kOrgRoot + "searchByOrg/count").toStdString(),
                                   OrgFilter(nowhere).toStdString()).body, "0");
}

// ---------------------------------------------------------------------------------------------
// The server, over HTTPS

// libcurl is set up by the suite's main (tests/support/testmain.cpp).
class SimServerTest : public ::testing::Test {};

TEST_F(SimServerTest, AnswersTheSixRequestsWithTheDatasetTextsAndLogsThemExactly) {
  const simdata::Config cfg{4, 120, 3000, 11};
  SimServer sim({"--regions", "4", "--orgs", "120", "--houses", "3000", "--seed", "11"});
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  simdata::Dataset d(cfg);
  const simdata::Region& region = d.Regions()[1];
  const QByteArray filter = OrgFilter(region);
  const std::string org = d.RegionOrgGuids(1).at(0);
  const int orgIndex = d.FindOrg(org);
  const QByteArray houseBody = HouseFilter(org);
  const QByteArray addBody = "{\"organizationGuids\":[\"" + Q(org) + "\"]}";

  Reply count = Fetch(sim, kOrgRoot + "searchByOrg/count", &filter);
  Reply search = Fetch(sim, kOrgRoot + "searchByOrg?pageIndex=1&elementsPerPage=100", &filter);
  Reply card = Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=" + Q(org));
  Reply add = Fetch(sim, kOrgRoot + "additionalinfo", &addBody);
  Reply houseCount = Fetch(sim, kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1", &houseBody);
  Reply housePage = Fetch(sim, kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1000", &houseBody);
  Reply missing = Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=0badc0de");

  for (const Reply* r : {&count, &search, &card, &add, &houseCount, &housePage})
    ASSERT_EQ(r->rc, CURLE_OK) << curl_easy_strerror(r->rc);
  EXPECT_EQ(count.statusLine, "HTTP/1.0 200 OK");
  EXPECT_EQ(count.body, Q(d.CountText(1)));
  EXPECT_EQ(search.body, Q(d.SearchPageJson(1, 1, 100)));
  EXPECT_EQ(card.body, Q(d.CardJson(orgIndex)));
  EXPECT_EQ(add.body, Q(d.AdditionalInfoJson(orgIndex)));
  EXPECT_EQ(houseCount.body, Q(d.HousePageJson(orgIndex, 1, 1)));
  EXPECT_EQ(housePage.body, Q(d.HousePageJson(orgIndex, 1, 1000)));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.statusLine, "HTTP/1.0 404 Not Found");

  const QList<SimRequest> log = sim.Requests();
  ASSERT_EQ(log.size(), 7);
  const QStringList kinds = {"count", "search", "card", "additional", "housecount", "housepage", "card"};
  for (int i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].kind, kinds[i]);
  EXPECT_EQ(log[0].requestLine, "POST /" + kOrgRoot + "searchByOrg/count HTTP/1.0");
  EXPECT_EQ(log[0].body, filter);
  EXPECT_EQ(log[2].body, QByteArray());
  EXPECT_EQ(log[6].status, 404);
  // Header lines exactly as curl put them on the wire, in its order.
  const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(sim.Port());
  EXPECT_EQ(log[2].headerLines, (QList<QByteArray>{host, "Accept: */*", "Request-GUID: 0", "Session-GUID: 0"}));
  EXPECT_EQ(log[0].headerLines,
            (QList<QByteArray>{host, "Accept: */*", "Request-GUID: 0", "Session-GUID: 0",
                               "Content-Length: " + QByteArray::number(filter.size()),
                               "Content-Type: application/x-www-form-urlencoded"}));
}

TEST_F(SimServerTest, RefusesClientsWithoutCertificateAndSurvivesBadRequests) {
  SimServer sim({"--regions", "2", "--orgs", "10", "--houses", "50"});
  ASSERT_TRUE(sim.Start());
  Reply noCert = Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=x", nullptr, false);
  EXPECT_NE(noCert.rc, CURLE_OK);
  EXPECT_EQ(noCert.status, 0);

  Reply badLine = Fetch(sim, "x", nullptr, true, false, "BAD METHOD");
  EXPECT_EQ(badLine.status, 400);
  const QByteArray garbage = "{\"region\":";
  EXPECT_EQ(Fetch(sim, kOrgRoot + "searchByOrg/count", &garbage).status, 400);
  Reply v11 = Fetch(sim, "nothing-here", nullptr, true, true);
  EXPECT_EQ(v11.statusLine, "HTTP/1.1 404 Not Found");

  // Still serving after all that, also to a request whose header bytes are not UTF-8.
  simdata::Dataset d({2, 10, 50, 1});
  EXPECT_EQ(Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=" + Q(d.OrgGuid(0)), nullptr, true, false,
                  nullptr, "X-Raw: \xff\xc3\xa9\xed\xa0\x80\"\\")
                .status,
            200);
  // The refused client never got as far as a request; every other one is logged.
  const QList<SimRequest> log = sim.Requests();
  ASSERT_EQ(log.size(), 4);
  EXPECT_EQ(log[3].headerLines.at(2), QString::fromUtf8("X-Raw: \u00ff\u00e9\u00ed\u00a0\u0080\"\\").toUtf8());
}

TEST_F(SimServerTest, FaultRulesShapeTheAnswers) {
  simdata::Dataset d({2, 20, 100, 1});
  const std::string a = d.OrgGuid(3), b = d.OrgGuid(4), c = d.OrgGuid(5), e = d.OrgGuid(6);
  QTemporaryDir dir;
  QFile faults(dir.filePath("faults.txt"));
  ASSERT_TRUE(faults.open(QIODevice::WriteOnly));
  faults.write("# from a file\r\n\r\nkind=card,match=" + Q(e) + ",malformed\r\nkind=count,body={}\r\n");
  faults.close();
  SimServer sim({"--regions", "2", "--orgs", "20", "--houses", "100",
                 "--fault", "kind=card,match=" + QString::fromStdString(a) + ",first=2,status=503",
                 "--fault", "kind=card,match=" + QString::fromStdString(b) + ",status=500,reason=",
                 "--fault", "kind=card,match=" + QString::fromStdString(c) + ",first=1,close",
                 "--fault", "kind=housecount,empty",
                 "--fault", "kind=search,first=1,body={\"total\":0,\"other\":[1,2]}",
                 "--faults", faults.fileName()});
  ASSERT_TRUE(sim.Start());
  auto card = [&](const std::string& g) { return Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=" + Q(g)); };

  // first=2: two failures, then the real card.
  Reply a1 = card(a), a2 = card(a), a3 = card(a);
  EXPECT_EQ(a1.statusLine, "HTTP/1.0 503 Service Unavailable");
  EXPECT_EQ(a2.status, 503);
  EXPECT_EQ(a3.status, 200);
  EXPECT_EQ(a3.body, Q(d.CardJson(3)));
  // An empty reason phrase stays empty.
  EXPECT_EQ(card(b).statusLine, "HTTP/1.0 500");
  // close: no answer at all, then normal service.
  Reply c1 = card(c);
  EXPECT_NE(c1.rc, CURLE_OK);
  EXPECT_EQ(card(c).status, 200);
  Reply m = card(e);
  EXPECT_EQ(m.status, 200);
  EXPECT_EQ(m.body, "{\"total\":");
  const QByteArray hb = HouseFilter(a);
  Reply empty = Fetch(sim, kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1", &hb);
  EXPECT_EQ(empty.status, 200);
  EXPECT_TRUE(empty.body.isEmpty());
  // The house page is not a house count: untouched.
  EXPECT_EQ(Fetch(sim, kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1000", &hb).body,
            Q(d.HousePageJson(3, 1, 1000)));

  // A body of one's own, commas and all; the count answer stays plain text.
  const QByteArray filter = OrgFilter(d.Regions()[0]);
  EXPECT_EQ(Fetch(sim, kOrgRoot + "searchByOrg?pageIndex=1&elementsPerPage=100", &filter).body,
            "{\"total\":0,\"other\":[1,2]}");
  EXPECT_EQ(Fetch(sim, kOrgRoot + "searchByOrg?pageIndex=1&elementsPerPage=100", &filter).body,
            Q(d.SearchPageJson(0, 1, 100)));
  EXPECT_EQ(Fetch(sim, kOrgRoot + "searchByOrg/count", &filter).body, "{}");

  QList<int> statuses;
  for (const auto& r : sim.Requests()) statuses << r.status;
  EXPECT_EQ(statuses, (QList<int>{503, 503, 200, 500, 0, 200, 200, 200, 200, 200, 200, 200}));
}

TEST_F(SimServerTest, ShapingItemsPlayHostileAnswers) {
  simdata::Dataset d({2, 20, 100, 1});
  const std::string a = d.OrgGuid(3), b = d.OrgGuid(4), c = d.OrgGuid(5), e = d.OrgGuid(6);
  SimServer sim({"--regions", "2", "--orgs", "20", "--houses", "100",
                 "--fault", "kind=card,match=" + QString::fromStdString(a) + ",trickle=100,body={\"total\":12}",
                 "--fault", "kind=card,match=" + QString::fromStdString(b) + ",pad=100000",
                 "--fault", "kind=card,match=" + QString::fromStdString(c) +
                                ",fill=3,body={\"guid\":\"@@FILL@@\",\"fullName\":\"x@@FILL@@\"}",
                 "--fault", "kind=card,match=" + QString::fromStdString(e) + ",first=1,status=429,retry-after=7",
                 "--rate-limit", "1000", "--retry-after", "3"});
  ASSERT_TRUE(sim.Start());
  auto card = [&](const std::string& g) { return Fetch(sim, kOrgRoot + "orgByGuid?organizationGuid=" + Q(g)); };

  // trickle: a byte every 100 ms.
  Reply slow = card(a);
  EXPECT_EQ(slow.body, "{\"total\":12}");
  EXPECT_GE(slow.seconds, 1.0);

  Reply padded = card(b);
  EXPECT_EQ(padded.body, Q(d.CardJson(4)) + QByteArray(100000, ' '));
  EXPECT_TRUE(IsJson(padded.body.toStdString()));

  EXPECT_EQ(card(c).body, "{\"guid\":\"ЖЖЖ\",\"fullName\":\"xЖЖЖ\"}");

  Reply limited = card(e);
  EXPECT_EQ(limited.status, 429);
  EXPECT_TRUE(limited.headerLines.contains("Retry-After: 7"));
  EXPECT_EQ(card(e).status, 200);
}

TEST_F(SimServerTest, DelayIsLoggedBeforeTheAnswerAndRateLimitGives429) {
  simdata::Dataset d({2, 10, 50, 1});
  SimServer sim({"--regions", "2", "--orgs", "10", "--houses", "50", "--rate-limit", "1",
                 "--retry-after", "2", "--fault", "kind=card,first=1,delay=1500"});
  ASSERT_TRUE(sim.Start());
  const QByteArray path = kOrgRoot + "orgByGuid?organizationGuid=" + Q(d.OrgGuid(1));
  Reply slow;
  std::thread t([&] { slow = Fetch(sim, path); });
  // The held request shows in the log while it waits.
  for (int i = 0; i < 500 && sim.Requests().isEmpty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(sim.Requests().size(), 1);
  t.join();
  EXPECT_EQ(slow.status, 200);
  EXPECT_GE(slow.seconds, 1.4);

  // Requests in quick succession: over one per second, the portal says 429.
  int limited = 0;
  for (int i = 0; i < 6; ++i) {
    Reply r = Fetch(sim, path);
    if (r.status == 429) {
      ++limited;
      EXPECT_EQ(r.statusLine, "HTTP/1.0 429 Too Many Requests");
      EXPECT_TRUE(r.headerLines.contains("Retry-After: 2"));
    }
  }
  EXPECT_GT(limited, 0);
}

TEST_F(SimServerTest, ManyConcurrentClients) {
  simdata::Dataset d({3, 60, 2000, 1});
  SimServer sim({"--regions", "3", "--orgs", "60", "--houses", "2000"});
  ASSERT_TRUE(sim.Start());
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 4; ++k) {
        const int org = (i * 4 + k) % 60;
        const QByteArray hb = HouseFilter(d.OrgGuid(org));
        Reply r = Fetch(sim, kHouseRoot + "searchByOrg?pageIndex=1&elementsPerPage=1000", &hb);
        if (r.rc == CURLE_OK && r.body == Q(d.HousePageJson(org, 1, 1000))) ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 64);
  EXPECT_EQ(sim.Requests().size(), 64);
}

// Several requests through one libcurl handle, which keeps a connection and its TLS session
// when the server lets it. Returns the seconds each took.
std::vector<double> FetchInOneHandle(const SimServer& sim, const QByteArray& path, int count, bool askKeepAlive,
                                     QList<QByteArray>* connectionLines) {
  std::vector<double> seconds;
  CURL* c = curl_easy_init();
  const QByteArray url = sim.BaseUrl().toUtf8() + path;
  const QByteArray cert = SimServer::ClientCert().toUtf8(), key = SimServer::ClientKey().toUtf8();
  curl_slist* headers = askKeepAlive ? curl_slist_append(nullptr, "Connection: keep-alive") : nullptr;
  curl_easy_setopt(c, CURLOPT_URL, url.constData());
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2 | (long)CURL_SSLVERSION_MAX_TLSv1_2);
  curl_easy_setopt(c, CURLOPT_SSLCERT, cert.constData());
  curl_easy_setopt(c, CURLOPT_SSLKEY, key.constData());
  curl_easy_setopt(c, CURLOPT_KEYPASSWD, "demokeys");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  Reply r;
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, CollectStatus);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const CURLcode rc = curl_easy_perform(c);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc);
    for (const QByteArray& line : r.headerLines)
      if (line.startsWith("Connection:")) connectionLines->append(line);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return seconds;
}

TEST_F(SimServerTest, KeepsConnectionsAndResumesSessionsUnlessToldNotTo) {
  simdata::Dataset d({2, 10, 50, 1});
  const QByteArray path = kOrgRoot + "orgByGuid?organizationGuid=" + Q(d.OrgGuid(1));
  const struct {
    QStringList args;
    bool askKeepAlive;
    bool kept;
    bool resumed;  // the later connections, when not kept
  } cases[] = {
      {{}, true, true, false},
      {{}, false, false, true},  // HTTP/1.0 without asking: closed after every answer
      {{"--no-keep-alive"}, true, false, true},
      {{"--no-keep-alive", "--no-resumption"}, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString() + (c.askKeepAlive ? " asking" : " not asking"));
    SimServer sim(QStringList{"--regions", "2", "--orgs", "10", "--houses", "50"} + c.args);
    ASSERT_TRUE(sim.Start());
    QList<QByteArray> connectionLines;
    FetchInOneHandle(sim, path, 3, c.askKeepAlive, &connectionLines);
    EXPECT_EQ(connectionLines, QList<QByteArray>(3, c.kept ? "Connection: keep-alive" : "Connection: close"));
    const QList<SimRequest> log = sim.Requests();
    ASSERT_EQ(log.size(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(log[i].status, 200);
      EXPECT_EQ(log[i].connection, c.kept ? 1 : i + 1);
      EXPECT_EQ(log[i].reused, c.kept && i > 0);
      EXPECT_EQ(log[i].resumed, !c.kept && c.resumed && i > 0);
    }
  }
}

TEST_F(SimServerTest, LatencyDelaysEveryRoundTripAndKeptConnectionsCloseWhenIdle) {
  simdata::Dataset d({2, 10, 50, 1});
  const QByteArray path = kOrgRoot + "orgByGuid?organizationGuid=" + Q(d.OrgGuid(1));
  SimServer sim({"--regions", "2", "--orgs", "10", "--houses", "50", "--latency-ms", "60", "--keep-alive-ms", "300"});
  ASSERT_TRUE(sim.Start());
  QList<QByteArray> connectionLines;
  const std::vector<double> seconds = FetchInOneHandle(sim, path, 2, true, &connectionLines);
  // A new connection: TCP, two round trips of TLS, the request: four round trips of 120 ms.
  EXPECT_GE(seconds[0], 0.48);
  // The kept one: the request's own round trip.
  EXPECT_GE(seconds[1], 0.12);
  // Idle past the portal's limit: the connection is closed, and the next request, over a
  // new one, still arrives whole.
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  Reply late = Fetch(sim, path);
  EXPECT_EQ(late.status, 200);
  EXPECT_EQ(late.body, Q(d.CardJson(1)));
  const QList<SimRequest> log = sim.Requests();
  ASSERT_EQ(log.size(), 3);
  EXPECT_EQ(log[1].connection, log[0].connection);
  EXPECT_NE(log[2].connection, log[0].connection);
  // The log is in the order the requests arrived.
  EXPECT_LE(log[0].t, log[1].t);
  EXPECT_LE(log[1].t, log[2].t);
}

TEST(SimProcess, WritesCitiesAndEndsCleanlyOnTerm) {
  QTemporaryDir dir;
  const QString cities = dir.filePath("cities.txt");
  QProcess p;
  p.start(ORGH_PORTAL_SIM_EXE, {"--regions", "3", "--write-cities", cities});
  ASSERT_TRUE(p.waitForFinished(30000));
  EXPECT_EQ(p.exitCode(), 0);
  QFile f(cities);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray text = f.readAll();
  simdata::Dataset d({3, 0, 0, 1});
  EXPECT_EQ(text, Q(d.CitiesFile()));
  EXPECT_TRUE(text.startsWith("\xEF\xBB\xBF" "Республика Адыгея=01$$$"));
  EXPECT_EQ(text.count("\r\n"), 3);
  EXPECT_EQ(text.count('\n'), 3);

  QProcess server;
  server.start(ORGH_PORTAL_SIM_EXE, {"--port", "0", "--tls-dir", SimServer::TlsDir()});
  ASSERT_TRUE(server.waitForReadyRead(10000));
  EXPECT_TRUE(server.readLine().startsWith("LISTENING "));
  server.terminate();
  ASSERT_TRUE(server.waitForFinished(10000));
  EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(server.exitCode(), 0);

  // Bad arguments are refused with a message, not ignored.
  QProcess bad;
  bad.start(ORGH_PORTAL_SIM_EXE, {"--fault", "kind=nothing,close"});
  ASSERT_TRUE(bad.waitForFinished(10000));
  EXPECT_NE(bad.exitCode(), 0);
  EXPECT_TRUE(bad.readAllStandardError().contains("kind"));
}

}  // namespace
