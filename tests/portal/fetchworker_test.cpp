// The fetch worker over real HTTPS against the substitute portal.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "portal/api.h"
#include "portal/httpclient.h"
#include "portal/tlsidentity.h"
#include "portal/scrapingthread.h"
#include "tests/portal/scriptedserver.h"
#include "tests/support/simserver.h"
#include "tools/portal-sim/dataset.h"

// Byte strings in failure messages as text, not as lists of characters.
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
  *out << '"' << bytes.toStdString() << '"';
}

namespace {

const QByteArray kUserAgent =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:101.0) Gecko/20100101 Firefox/101.0";

// Collects log lines from any thread; an optional hook sees each line as it arrives.
class RecordingSink : public LogSink {
 public:
  void AddLogLine(const QString& line) override {
    std::function<void(const QString&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.append(line);
      hook = hook_;
    }
    if (hook) hook(line);
  }
  QStringList Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  void SetHook(std::function<void(const QString&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

 private:
  mutable std::mutex mutex_;
  QStringList lines_;
  std::function<void(const QString&)> hook_;
};

// The dataset the simulator is started with in these tests.
const QStringList kDatasetArgs = {"--regions", "3", "--orgs", "40", "--houses", "3000", "--seed", "7"};

simdata::Dataset TestDataset() {
  simdata::Config config;
  config.regions = 3;
  config.orgs = 40;
  config.houses = 3000;
  config.seed = 7;
  return simdata::Dataset(config);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

class FetchWorker : public ::testing::Test {
 protected:
  // Starts the simulator with the given extra arguments (faults, delays).
  void StartSim(QStringList extra = {}) {
    sim_ = std::make_unique<SimServer>(kDatasetArgs + extra);
    QString error;
    ASSERT_TRUE(sim_->Start(&error)) << error.toStdString();
  }

  FetchSettings Settings() const {
    FetchSettings s;
    if (sim_) s.baseUrl = sim_->BaseUrl();
    s.certFile = SimServer::ClientCert();
    s.keyFile = SimServer::ClientKey();
    s.keyPassphrase = DefaultKeyPassphrase();
    s.identity = SimServer::ClientIdentity();
    s.maxAttempts = 3;
    s.failPauseMs = 10;
    s.additionalWaitMs = 10;
    s.idleAndConnectTimeoutSec = 30;
    return s;
  }

  // A worker set up the way the job sets one up: already in RunningList.
  std::unique_ptr<TScrapingThread> MakeWorker(const QString& task, const FetchSettings& settings,
                                              bool getAdditional = false) {
    auto worker = std::make_unique<TScrapingThread>();
    worker->url = task;
    worker->Code = TaskKind(task);
    worker->GetAdditional = getAdditional;
    worker->LogsMemo = &sink_;
    worker->lists = lists_;
    worker->settings = settings;
    std::lock_guard<std::mutex> lock(lists_->JobLock);
    lists_->RunningList.append(worker.get());
    return worker;
  }

  // Runs a worker to its end and checks that it handed itself over.
  void RunToEnd(TScrapingThread* worker) {
    worker->start();
    ASSERT_TRUE(worker->wait(QDeadlineTimer(60000))) << "worker did not end";
    std::lock_guard<std::mutex> lock(lists_->JobLock);
    EXPECT_FALSE(lists_->RunningList.contains(worker));
    EXPECT_EQ(lists_->FinishedList.count(worker), 1);
  }

  // Waits for a worker's end, then takes JobLock once: its hand-over under the lock is its
  // last act, so everything it wrote is ordered before what the test reads next (a join of
  // a QThread is not something the thread sanitizer can see).
  bool Ended(TScrapingThread* worker, qint64 timeoutMs) {  // -1: no limit
    if (!worker->wait(QDeadlineTimer(timeoutMs))) return false;
    std::lock_guard<std::mutex> lock(lists_->JobLock);
    return true;
  }

  // Starts a card worker against a portal that holds its answer back for delayMs, and
  // returns once the request is with the server.
  std::unique_ptr<TScrapingThread> StartHeldBackCard(int delayMs) {
    StartSim({"--fault", QStringLiteral("kind=card,delay=%1").arg(delayMs)});
    auto worker = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0))), Settings());
    worker->start();
    QDeadlineTimer sent(10000);
    while (sim_->Requests().isEmpty() && !sent.hasExpired()) QThread::msleep(20);
    EXPECT_FALSE(sim_->Requests().isEmpty()) << "the request did not reach the server";
    return worker;
  }

  // Keeps a finished worker for the rest of the test, so that no later worker takes its
  // address and the hand-over checks stay meaningful.
  TScrapingThread* Keep(std::unique_ptr<TScrapingThread> worker) {
    kept_.push_back(std::move(worker));
    return kept_.back().get();
  }

  std::unique_ptr<SimServer> sim_;
  std::vector<std::unique_ptr<TScrapingThread>> kept_;
  std::shared_ptr<TWorkerLists> lists_ = std::make_shared<TWorkerLists>();
  RecordingSink sink_;
};

// The header lines of a request to a server on loopback whose root address is `base`. A
// client with a connection pool (the default) adds its own line asking to keep the connection.
QList<QByteArray> ExpectedHeaders(const QByteArray& base, bool post, qsizetype bodySize,
                                  bool customLines, bool keepAlive = true) {
  const qsizetype hostStart = base.indexOf("://") + 3;
  const QByteArray host = base.mid(hostStart, base.indexOf('/', hostStart) - hostStart);
  QList<QByteArray> lines = {"Host: " + host, kUserAgent, "Referer: " + base,
                             "Accept: text/html, */*"};
  if (post) {
    lines << "Content-Type: application/json;charset=UTF-8";
    lines << "Content-Length: " + QByteArray::number(bodySize);
  }
  if (keepAlive) lines << "Connection: keep-alive";
  if (customLines) lines << "Request-GUID: 0" << "Session-GUID: 0";
  return lines;
}

QString Path(const QString& address) {
  // The request line names the path after the host.
  const qsizetype start = address.indexOf('/', address.indexOf("://") + 3);
  return address.mid(start);
}

// The same tasks, one worker after the other, against a portal that keeps connections and
// resumes sessions, one that only resumes, and one that does neither: the same request lines
// and answers every time; only the connections differ.
TEST_F(FetchWorker, SendsTheExactRequestOfEveryKindWhateverThePortalKeeps) {
  const struct {
    QStringList portal;
    bool oneConnection;  // every request after the first on the first connection
    bool resumed;        // every later connection resumes the first one's session
  } portals[] = {
      {{}, true, false},
      {{"--no-keep-alive"}, false, true},
      {{"--no-keep-alive", "--no-resumption"}, false, false},
  };
  for (const auto& portal : portals) {
    SCOPED_TRACE(portal.portal.join(' ').toStdString());
    sink_.Clear();
    lists_ = std::make_shared<TWorkerLists>();
    StartSim(portal.portal);
    const simdata::Dataset data = TestDataset();
    const simdata::Region& region = data.Regions().at(0);
    const int org = data.RegionOrgs(0).at(0);
    const QString orgGuid = Q(data.OrgGuid(org));
    const QString base = sim_->BaseUrl();
    const FetchSettings settings = Settings();

    struct Case {
      QString task;
      bool additional;
    };
    const QString countTask = QStringLiteral("77$$$") + Q(region.guid);
    const QString searchTask = SearchPageTask(base, 1, Q(region.code), Q(region.guid));
    const QString cardTask = OrgCardTask(base, orgGuid);
    const QString houseCountTask = HouseCountTask(base, orgGuid);
    const QString housePageTask = HousePageTask(base, 1, orgGuid);
    const Case cases[] = {{countTask, false}, {searchTask, false}, {cardTask, true},
                          {houseCountTask, false}, {housePageTask, false}};

    std::vector<std::unique_ptr<TScrapingThread>> workers;
    for (const Case& c : cases) {
      workers.push_back(MakeWorker(c.task, settings, c.additional));
      RunToEnd(workers.back().get());
      EXPECT_EQ(workers.back()->result, 1) << c.task.toStdString() << " "
                                           << workers.back()->statusText.toStdString();
      EXPECT_EQ(workers.back()->statusText, QStringLiteral("успешно"));
    }

    // What the job reads back.
    EXPECT_EQ(workers[0]->regionguid2, "77");
    EXPECT_EQ(workers[0]->regionguid, Q(region.guid));
    EXPECT_EQ(workers[0]->url, countTask);
    EXPECT_EQ(workers[1]->regionguid2, Q(region.code));
    EXPECT_EQ(workers[1]->regionguid, Q(region.guid));
    EXPECT_EQ(workers[1]->html, QByteArray::fromStdString(data.SearchPageJson(0, 1, 100)));
    EXPECT_EQ(workers[2]->url, cardTask);
    EXPECT_EQ(workers[2]->orgguid, orgGuid);
    EXPECT_EQ(workers[2]->html, QByteArray::fromStdString(data.CardJson(org)));  // the bytes as sent, Cyrillic included
    EXPECT_EQ(workers[2]->html2, QByteArray::fromStdString(data.AdditionalInfoJson(org)));
    EXPECT_EQ(workers[3]->url, houseCountTask.left(houseCountTask.indexOf("|||")));
    EXPECT_EQ(workers[3]->orgguid, orgGuid);
    EXPECT_EQ(workers[3]->html, QByteArray::fromStdString(data.HousePageJson(org, 1, 1)));
    EXPECT_EQ(workers[4]->url, housePageTask.left(housePageTask.indexOf("|||")));
    EXPECT_EQ(workers[4]->html, QByteArray::fromStdString(data.HousePageJson(org, 1, 1000)));

    // What went over the wire, byte for byte.
    const QList<SimRequest> requests = sim_->Requests();
    ASSERT_EQ(requests.size(), 6);
    const QByteArray countBody = OrganisationFilter(Q(region.guid), "77");
    const QByteArray searchBody = OrganisationFilter(Q(region.guid), Q(region.code));
    const struct {
      QByteArray requestLine;
      QByteArray body;
      bool post;
      bool custom;
    } expected[] = {
        {"POST " + Path(RegionCountAddress(base)).toUtf8() + " HTTP/1.0", countBody, true, true},
        {"POST " + Path(searchTask.left(searchTask.indexOf("|||"))).toUtf8() + " HTTP/1.0", searchBody,
         true, true},
        {"GET " + Path(cardTask).toUtf8() + " HTTP/1.0", QByteArray(), false, true},
        {"POST " + Path(AdditionalInfoAddress(base)).toUtf8() + " HTTP/1.0", AdditionalInfoBody(orgGuid),
         true, true},
        {"POST " + Path(workers[3]->url).toUtf8() + " HTTP/1.0", HouseFilter(orgGuid), true, false},
        {"POST " + Path(workers[4]->url).toUtf8() + " HTTP/1.0", HouseFilter(orgGuid), true, false},
    };
    for (int i = 0; i < 6; ++i) {
      SCOPED_TRACE(expected[i].requestLine.toStdString());
      EXPECT_EQ(requests[i].requestLine, expected[i].requestLine);
      EXPECT_EQ(requests[i].headerLines,
                ExpectedHeaders(base.toUtf8(), expected[i].post, expected[i].body.size(),
                                expected[i].custom));
      EXPECT_EQ(requests[i].body, expected[i].body);
    }
    // The count body for region code 77, spelled out once more: the GUID in place 2, 77 in 5.
    EXPECT_TRUE(requests[0].body.contains("\"region\":{\"guid\":\"" + QByteArray::fromStdString(region.guid) +
                                          "\",\"code\":\"77\"},\"settlement\""));

    // How the requests travelled.
    for (int i = 1; i < 6; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(requests[i].connection == requests[0].connection, portal.oneConnection);
      EXPECT_EQ(requests[i].reused, portal.oneConnection);
      if (!portal.oneConnection) {
        EXPECT_EQ(requests[i].resumed, portal.resumed);
      }
    }
    // No attempt failed on the way.
    for (const QString& line : sink_.Lines()) EXPECT_FALSE(line.contains("ERROR_")) << line.toStdString();
  }
}

TEST_F(FetchWorker, RegionKeyWithoutMarkerIsSentAsAGuidWithEmptyCode) {
  StartSim();
  FetchSettings settings = Settings();
  settings.maxAttempts = 1;
  const QString key = QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  auto worker = MakeWorker(key, settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->regionguid2, QString());
  EXPECT_EQ(worker->regionguid, key);
  const QList<SimRequest> requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1);
  EXPECT_EQ(requests[0].body, OrganisationFilter(key, QString()));
}

TEST_F(FetchWorker, SucceedsAfterTwoFailures) {
  StartSim({"--fault", "kind=count,first=2,status=503,reason=Service Unavailable"});
  const simdata::Region region = TestDataset().Regions().at(1);
  const QString key = Q(region.code) + "$$$" + Q(region.guid);
  FetchSettings settings = Settings();
  settings.failPauseMs = 200;
  auto worker = MakeWorker(key, settings);
  RunToEnd(worker.get());

  EXPECT_EQ(worker->result, 1);
  EXPECT_EQ(worker->statusText, QStringLiteral("успешно"));
  EXPECT_EQ(worker->html, QByteArray::fromStdString(TestDataset().CountText(1)));
  const QStringList lines = sink_.Lines();
  ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].endsWith(QStringLiteral(": Запускаем code:0 url: ") + key));
  for (int i = 1; i < 3; ++i) {
    EXPECT_TRUE(lines[i].endsWith(QStringLiteral(": ERROR_Service Unavailable для ") + key))
        << lines[i].toStdString();
  }
  // Each failed attempt is followed by the pause before the next one is sent.
  const QList<SimRequest> requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 3);
  EXPECT_GE(requests[1].t - requests[0].t, 199);
  EXPECT_GE(requests[2].t - requests[1].t, 199);
}

TEST_F(FetchWorker, JudgesAnswersByStatusAndContent) {
  const simdata::Dataset data = TestDataset();
  const simdata::Region region = data.Regions().at(0);
  const QString key = Q(region.code) + "$$$" + Q(region.guid);
  const QString cardGuid = Q(data.OrgGuid(data.RegionOrgs(0).at(0)));
  struct Case {
    const char* name;
    QStringList simArgs;
    int kind;  // 0 count, 1 search page, 2 card
    int result;
    QString statusText;
    int requests;
    bool emptyAnswer = false;
  };
  const Case cases[] = {
      {"empty count every time", {"--fault", "kind=count,empty"}, 0, -1, "ERROR_Broken", 3},
      {"search page without total", {"--fault", "kind=search,empty"}, 1, -1, "ERROR_Broken", 3},
      {"card answered 404", {"--fault", "kind=card,status=404,reason=Not Found"}, 2, -1,
       "ERROR_Not Found", 3},
      {"status without reason phrase", {"--fault", "kind=card,status=500,reason="}, 2, -1,
       "ERROR_500", 3},
      {"empty card is a success", {"--fault", "kind=card,empty"}, 2, 1, "успешно", 1, true},
      {"401 counts as an answer", {"--fault", "kind=card,status=401,reason=Unauthorized"}, 2, 1,
       "успешно", 1},
      {"407 counts as an answer", {"--fault", "kind=card,status=407,reason=Proxy Authentication Required"},
       2, 1, "успешно", 1},
      {"count of 0", {"--fault", "kind=count,body=0"}, 0, 1, "успешно", 1},
      {"count that is an empty object", {"--fault", "kind=count,body={}"}, 0, 1, "успешно", 1},
      {"search page with total 0 and no list", {"--fault", "kind=search,body={\"total\":0}"}, 1, 1,
       "успешно", 1},
      {"search page that is an empty object", {"--fault", "kind=search,body={}"}, 1, -1,
       "ERROR_Broken", 3},
      {"malformed search page holding total", {"--fault", "kind=search,malformed"}, 1, 1, "успешно", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartSim(c.simArgs);
    sink_.Clear();
    const QString base = sim_->BaseUrl();
    const QString task = c.kind == 0   ? key
                         : c.kind == 1 ? SearchPageTask(base, 1, Q(region.code), Q(region.guid))
                                       : OrgCardTask(base, cardGuid);
    TScrapingThread* worker = Keep(MakeWorker(task, Settings()));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, c.result);
    EXPECT_EQ(worker->statusText, c.statusText);
    EXPECT_EQ(sim_->Requests().size(), c.requests);
    const QStringList lines = sink_.Lines();
    ASSERT_EQ(lines.size(), 1 + (c.result == 1 ? 0 : c.requests));
    for (int i = 1; i < lines.size(); ++i)
      EXPECT_TRUE(lines[i].endsWith(": " + c.statusText + QStringLiteral(" для ") + task))
          << lines[i].toStdString();
    if (c.emptyAnswer) {
      EXPECT_EQ(worker->html, QByteArray());
    }
  }
}

TEST_F(FetchWorker, FailedAdditionalInformationRepeatsTheCard) {
  StartSim({"--fault", "kind=additional,first=1,status=503,reason=Service Unavailable"});
  const simdata::Dataset data = TestDataset();
  const int org = data.RegionOrgs(0).at(1);
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(org)));
  FetchSettings settings = Settings();
  settings.additionalWaitMs = 300;
  auto worker = MakeWorker(task, settings, true);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, 1);
  EXPECT_EQ(worker->html2, QByteArray::fromStdString(data.AdditionalInfoJson(org)));
  const QList<SimRequest> requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 4);
  EXPECT_TRUE(requests[0].requestLine.startsWith("GET "));
  EXPECT_TRUE(requests[1].requestLine.startsWith("POST "));
  EXPECT_EQ(requests[1].status, 503);
  EXPECT_TRUE(requests[2].requestLine.startsWith("GET "));
  EXPECT_TRUE(requests[3].requestLine.startsWith("POST "));
  // The wait lies between a card request and its additional-information request.
  EXPECT_GE(requests[1].t - requests[0].t, 299);
  EXPECT_GE(requests[3].t - requests[2].t, 299);
}

TEST_F(FetchWorker, CertificateAndKeyProblemsFailTheLoadWithTheirOwnText) {
  StartSim();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString missing = dir.filePath("absent.pem");
  const QString garbage = dir.filePath("garbage.pem");
  {
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a pem file\n");
  }
  const QString otherKey = SimServer::TlsDir() + "server.key";  // a key of another certificate
  struct Case {
    const char* name;
    QString cert, key;
    QByteArray pass;
    QString mustContain;
  };
  const Case cases[] = {
      {"missing certificate", missing, SimServer::ClientKey(), DefaultKeyPassphrase(),
       "cannot read certificate file " + missing},
      {"certificate not PEM", garbage, SimServer::ClientKey(), DefaultKeyPassphrase(),
       "cannot read certificate file " + garbage},
      {"missing key", SimServer::ClientCert(), missing, DefaultKeyPassphrase(),
       "cannot read key file " + missing},
      {"wrong pass phrase", SimServer::ClientCert(), SimServer::ClientKey(), "wrongpass",
       "wrong pass phrase"},
      {"empty pass phrase", SimServer::ClientCert(), SimServer::ClientKey(), "",
       "no pass phrase"},
      {"key of another certificate", SimServer::ClientCert(), otherKey, DefaultKeyPassphrase(),
       "does not belong to certificate file"},
  };
  QSet<QString> texts;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsIdentity identity;
    QString error;
    EXPECT_FALSE(identity.Load(c.cert, c.key, c.pass, &error));
    EXPECT_FALSE(identity.Loaded());
    EXPECT_TRUE(error.contains(c.mustContain)) << error.toStdString();
    texts.insert(error);
  }
  EXPECT_EQ(texts.size(), std::size(cases));

  // A worker is never left to load them itself: without the run's identity every attempt
  // fails, readably, and nothing is sent.
  sink_.Clear();
  FetchSettings settings = Settings();
  settings.identity.reset();
  settings.maxAttempts = 2;
  const QString task = OrgCardTask(sim_->BaseUrl(), "00000000-0000-0000-0000-000000000000");
  TScrapingThread* worker = Keep(MakeWorker(task, settings));
  RunToEnd(worker);
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_no client certificate loaded for the run"));
  const QStringList lines = sink_.Lines();
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[2].endsWith(": " + worker->statusText + QStringLiteral(" для ") + task));
  EXPECT_TRUE(sim_->Requests().isEmpty());
}

// The identity loaded once at the start of a run serves every worker; a file that goes
// during the run still fails the attempts, with the text loading it would give.
TEST_F(FetchWorker, SharedIdentityServesEveryWorkerAndAGoneFileStillFailsTheAttempts) {
  StartSim();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString cert = dir.filePath("01cert.pem");
  const QString key = dir.filePath("01key.pem");
  ASSERT_TRUE(QFile::copy(SimServer::ClientCert(), cert));
  ASSERT_TRUE(QFile::copy(SimServer::ClientKey(), key));
  auto identity = std::make_shared<TlsIdentity>();
  QString error;
  ASSERT_TRUE(identity->Load(cert, key, DefaultKeyPassphrase(), &error)) << error.toStdString();

  FetchSettings shared = Settings();
  shared.certFile = cert;
  shared.keyFile = key;
  shared.identity = identity;
  std::vector<TScrapingThread*> workers;
  for (int i = 0; i < 3; ++i)
    workers.push_back(Keep(MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(i))), shared)));
  for (TScrapingThread* w : workers) w->start();
  for (TScrapingThread* w : workers) {
    ASSERT_TRUE(Ended(w, 60000));
    EXPECT_EQ(w->result, 1) << w->statusText.toStdString();
  }
  EXPECT_EQ(sim_->Requests().size(), 3);
  for (const SimRequest& r : sim_->Requests()) EXPECT_EQ(r.status, 200);

  const struct {
    const char* name;
    QString gone;
    QString mustStartWith;
  } cases[] = {
      {"certificate gone", cert, "ERROR_cannot read certificate file " + cert},
      {"key gone", key, "ERROR_cannot read key file " + key},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(QFile::remove(c.gone));
    FetchSettings sharing = shared;
    sharing.maxAttempts = 2;
    TScrapingThread* withShared = Keep(MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0))), sharing));
    RunToEnd(withShared);
    EXPECT_EQ(withShared->result, -1);
    EXPECT_TRUE(withShared->statusText.startsWith(c.mustStartWith)) << withShared->statusText.toStdString();
    // The text loading it would give.
    TlsIdentity again;
    QString loadError;
    EXPECT_FALSE(again.Load(cert, key, DefaultKeyPassphrase(), &loadError));
    EXPECT_EQ(withShared->statusText, QStringLiteral("ERROR_") + loadError);
    ASSERT_TRUE(QFile::copy(c.gone == cert ? SimServer::ClientCert() : SimServer::ClientKey(), c.gone));
  }
  EXPECT_EQ(sim_->Requests().size(), 3);  // nothing sent without the files
}

TEST_F(FetchWorker, UnreadableCertificateOrKeyFailsTheLoadWithATextNamingTheFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString folder = dir.filePath("folder.pem");
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString garbageKey = dir.filePath("garbage-key.pem");
  const QString emptyKey = dir.filePath("empty-key.pem");
  for (const auto& [path, bytes] : {std::pair<QString, QByteArray>{garbageKey, "-----BEGIN nothing\n"},
                                    std::pair<QString, QByteArray>{emptyKey, QByteArray()}}) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  const struct {
    const char* name;
    QString cert, key;
    QString mustContain;
  } cases[] = {
      {"certificate is a folder", folder, SimServer::ClientKey(), "cannot read certificate file " + folder},
      {"key is a folder", SimServer::ClientCert(), folder, "cannot read key file " + folder},
      {"key not PEM", SimServer::ClientCert(), garbageKey, "cannot read key file " + garbageKey},
      {"key file empty", SimServer::ClientCert(), emptyKey, "cannot read key file " + emptyKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsIdentity identity;
    QString error;
    EXPECT_FALSE(identity.Load(c.cert, c.key, DefaultKeyPassphrase(), &error));
    EXPECT_TRUE(error.startsWith(c.mustContain)) << error.toStdString();
  }
}

TEST_F(FetchWorker, StoppedBeforeTheFirstAttemptSendsNothingAndIsHandedOver) {
  StartSim();
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));

  // Told to stop while it writes its first log line, before any attempt.
  auto stopped = MakeWorker(task, Settings());
  TScrapingThread* raw = stopped.get();
  sink_.SetHook([raw](const QString&) { raw->requestInterruption(); });
  RunToEnd(stopped.get());
  sink_.SetHook(nullptr);

  // Aborted before it was even started.
  auto aborted = MakeWorker(task, Settings());
  aborted->Abort();
  RunToEnd(aborted.get());

  for (TScrapingThread* w : {stopped.get(), aborted.get()}) {
    EXPECT_EQ(w->result, 0);
    EXPECT_EQ(w->statusText, QString());
    EXPECT_EQ(w->html, QByteArray());
  }
  EXPECT_TRUE(sim_->Requests().isEmpty());
  EXPECT_EQ(lists_->FinishedList, (QList<TScrapingThread*>{stopped.get(), aborted.get()}));
}

TEST_F(FetchWorker, StopDuringARequestDropsTheAnswer) {
  auto worker = StartHeldBackCard(1500);
  worker->requestInterruption();
  ASSERT_TRUE(Ended(worker.get(), 30000));
  EXPECT_EQ(worker->result, 0);
  EXPECT_EQ(worker->html, QByteArray());
  const QList<SimRequest> requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1);
  EXPECT_EQ(requests[0].status, 200);  // it ran to its end
  EXPECT_EQ(lists_->FinishedList.count(worker.get()), 1);
}

TEST_F(FetchWorker, AbortEndsAWorkerWaitingForAnAnswer) {
  auto worker = StartHeldBackCard(60000);
  worker->Abort();
  EXPECT_TRUE(Ended(worker.get(), 5000)) << "abort did not end the transfer";
  Ended(worker.get(), -1);
  EXPECT_EQ(worker->result, 0);
  // Only the start line: an aborted transfer is not an error of the portal.
  EXPECT_EQ(sink_.Lines().size(), 1);
  EXPECT_EQ(lists_->FinishedList.count(worker.get()), 1);
}

// A kept connection that the portal closes before the next task uses it, whether it closed
// long before or just as the request went out, is replaced by a new one without a failed
// attempt: one attempt is all the second worker has.
TEST_F(FetchWorker, KeptConnectionClosedByThePortalCostsNoFailedAttempt) {
  const struct {
    const char* what;
    QStringList portal;
    int idleMs;  // between the two tasks
    int requests;
    // The new connection resumes the first one's TLS session. Not after a connection that
    // ended without TLS's own close: OpenSSL then no longer offers its session.
    bool resumed;
  } cases[] = {
      {"closed while idle", {"--keep-alive-ms", "150"}, 600, 2, true},
      {"closed as the request arrives", {"--fault", "reused,close"}, 0, 3, false},
  };
  const simdata::Dataset data = TestDataset();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink_.Clear();
    lists_ = std::make_shared<TWorkerLists>();
    StartSim(c.portal);
    FetchSettings settings = Settings();
    settings.maxAttempts = 1;
    settings.failPauseMs = 5000;  // a failed attempt would also show as a long wait
    auto first = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(1))), settings);
    RunToEnd(first.get());
    ASSERT_EQ(first->result, 1) << first->statusText.toStdString();
    ASSERT_EQ(settings.connections->IdleCount(), 1);
    QThread::msleep(c.idleMs);

    QElapsedTimer took;
    took.start();
    auto second = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(2))), settings);
    RunToEnd(second.get());
    EXPECT_EQ(second->result, 1) << second->statusText.toStdString();
    EXPECT_EQ(second->html, QByteArray::fromStdString(data.CardJson(2)));
    EXPECT_LT(took.elapsed(), 4000);
    for (const QString& line : sink_.Lines()) EXPECT_FALSE(line.contains("ERROR_")) << line.toStdString();

    const QList<SimRequest> requests = sim_->Requests();
    ASSERT_EQ(requests.size(), c.requests);
    // The answer came over a new connection.
    EXPECT_EQ(requests.last().status, 200);
    EXPECT_FALSE(requests.last().reused);
    EXPECT_NE(requests.last().connection, requests.first().connection);
    EXPECT_EQ(requests.last().resumed, c.resumed);
    if (c.requests == 3) {
      EXPECT_TRUE(requests[1].reused);
      EXPECT_EQ(requests[1].status, 0);  // dropped without an answer
    }
  }
}

// Workers running at the same time each have a connection of their own; the next ones take
// those connections over once they are free.
TEST_F(FetchWorker, ConnectionsAreNeverSharedByRequestsUnderWay) {
  StartSim({"--fault", "kind=card,delay=300"});
  const simdata::Dataset data = TestDataset();
  const FetchSettings settings = Settings();
  QSet<int> firstWave;
  for (int wave = 0; wave < 2; ++wave) {
    SCOPED_TRACE(wave);
    std::vector<std::unique_ptr<TScrapingThread>> workers;
    for (int i = 0; i < 4; ++i) {
      workers.push_back(MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(wave * 4 + i))), settings));
      workers.back()->start();
    }
    for (auto& worker : workers) {
      ASSERT_TRUE(Ended(worker.get(), 30000));
      EXPECT_EQ(worker->result, 1) << worker->statusText.toStdString();
      Keep(std::move(worker));
    }
    const QList<SimRequest> requests = sim_->Requests().mid(wave * 4);
    ASSERT_EQ(requests.size(), 4);
    QSet<int> connections;
    for (const SimRequest& r : requests) connections.insert(r.connection);
    EXPECT_EQ(connections.size(), 4) << "two requests under way on one connection";
    if (wave == 0) {
      firstWave = connections;
    } else {
      EXPECT_EQ(connections, firstWave);  // every one of them kept and taken again
      for (const SimRequest& r : requests) EXPECT_TRUE(r.reused);
    }
  }
}

// A stop ends a request under way on a kept connection at once; that connection is not
// passed on, and the next task goes over a new one.
TEST_F(FetchWorker, AbortOnAKeptConnectionLeavesItToNoOne) {
  const simdata::Dataset data = TestDataset();
  StartSim({"--fault", "kind=card,match=" + Q(data.OrgGuid(2)) + ",delay=60000"});
  const FetchSettings settings = Settings();
  auto first = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(1))), settings);
  RunToEnd(first.get());
  ASSERT_EQ(first->result, 1);

  auto held = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(2))), settings);
  held->start();
  QDeadlineTimer sent(10000);
  while (sim_->Requests().size() < 2 && !sent.hasExpired()) QThread::msleep(20);
  ASSERT_EQ(sim_->Requests().size(), 2);
  EXPECT_TRUE(sim_->Requests().at(1).reused);
  QElapsedTimer took;
  took.start();
  held->Abort();
  ASSERT_TRUE(Ended(held.get(), 5000)) << "abort did not end the transfer";
  EXPECT_LT(took.elapsed(), 3000);
  EXPECT_EQ(held->result, 0);
  EXPECT_EQ(settings.connections->IdleCount(), 0);

  auto next = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(data.OrgGuid(3))), settings);
  RunToEnd(next.get());
  EXPECT_EQ(next->result, 1) << next->statusText.toStdString();
  const QList<SimRequest> requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 3);
  EXPECT_FALSE(requests[2].reused);
  EXPECT_NE(requests[2].connection, requests[1].connection);
}

TEST_F(FetchWorker, AbortCutsTheFailurePauseShort) {
  StartSim({"--fault", "kind=card,status=503,reason=Service Unavailable"});
  FetchSettings settings = Settings();
  settings.failPauseMs = 60000;
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
  auto worker = MakeWorker(task, settings);
  worker->start();
  QDeadlineTimer failed(10000);
  while (sink_.Lines().size() < 2 && !failed.hasExpired()) QThread::msleep(20);
  ASSERT_EQ(sink_.Lines().size(), 2);
  worker->Abort();
  EXPECT_TRUE(Ended(worker.get(), 5000));
  Ended(worker.get(), -1);
  EXPECT_EQ(worker->result, -1);  // the failed attempt stands
  EXPECT_EQ(sim_->Requests().size(), 1);
}

TEST_F(FetchWorker, IdleConnectionTimesOut) {
  StartSim({"--fault", "kind=card,delay=8000"});
  FetchSettings settings = Settings();
  settings.idleAndConnectTimeoutSec = 1;
  settings.maxAttempts = 1;
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
  auto worker = MakeWorker(task, settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  EXPECT_TRUE(worker->statusText.startsWith("ERROR_Operation timed out")) << worker->statusText.toStdString();
}

TEST_F(FetchWorker, TricklingAnswerMissesTheTotalDeadline) {
  // Traffic every 300 ms keeps the idle time-out away; only the total deadline ends it.
  StartSim({"--fault", "kind=card,trickle=300,pad=1000"});
  FetchSettings settings = Settings();
  settings.idleAndConnectTimeoutSec = 5;
  settings.totalTimeoutMs = 1500;
  settings.maxAttempts = 2;
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
  auto worker = MakeWorker(task, settings);
  const auto start = std::chrono::steady_clock::now();
  RunToEnd(worker.get());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText,
            QStringLiteral("ERROR_Operation timed out: the whole answer did not arrive within 1.5 seconds"));
  EXPECT_EQ(sim_->Requests().size(), 2);
  EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(FetchWorker, AbortEndsATricklingAnswerAtOnce) {
  StartSim({"--fault", "kind=card,trickle=200,pad=1000"});
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
  auto worker = MakeWorker(task, Settings());
  worker->start();
  QDeadlineTimer sent(10000);
  while (sim_->Requests().isEmpty() && !sent.hasExpired()) QThread::msleep(20);
  QThread::msleep(500);
  worker->Abort();
  EXPECT_TRUE(Ended(worker.get(), 5000)) << "abort did not end the transfer";
  Ended(worker.get(), -1);
  EXPECT_EQ(worker->result, 0);
}

TEST_F(FetchWorker, AnswerOverTheCapFailsBeforeItArrives) {
  // The length is announced: refused at the header, the body is never taken in.
  StartSim({"--fault", QStringLiteral("kind=card,pad=%1").arg(64 * 1024 * 1024)});
  FetchSettings settings = Settings();
  settings.maxAttempts = 1;
  auto worker = MakeWorker(OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0))), settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_answer larger than 67108864 bytes"));
  EXPECT_TRUE(worker->html.isEmpty());

  // No length given: the count stops it all the same.
  ScriptedServer server([](int, const ScriptedRequest&) -> QByteArray {
    return "HTTP/1.0 200 OK\r\n\r\n" + QByteArray(64 * 1024 * 1024 + 10, '7');
  });
  ASSERT_TRUE(server.Listening());
  settings.baseUrl = QString::fromLatin1(server.BaseUrl());
  TScrapingThread* unsized = Keep(MakeWorker(QStringLiteral("01$$$g"), settings));
  RunToEnd(unsized);
  EXPECT_EQ(unsized->result, -1);
  EXPECT_EQ(unsized->statusText, QStringLiteral("ERROR_answer larger than 67108864 bytes"));
}

TEST_F(FetchWorker, TooManyRequestsWaitsAsRetryAfterAsks) {
  struct Case {
    const char* retryAfter;
    int capSec;
    QString logText;
    int minGapMs;
  } cases[] = {
      {"1", 60, "ERROR_Too Many Requests (Retry-After: 1 s, next attempt in 1 s) для ", 900},
      {"600", 1, "ERROR_Too Many Requests (Retry-After: 600 s, next attempt in 1 s) для ", 900},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retryAfter);
    sink_.Clear();
    StartSim({"--fault", QStringLiteral("kind=card,first=1,status=429,retry-after=%1").arg(c.retryAfter)});
    FetchSettings settings = Settings();
    settings.maxRetryAfterSec = c.capSec;
    const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
    TScrapingThread* worker = Keep(MakeWorker(task, settings));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, 1) << worker->statusText.toStdString();
    const QList<SimRequest> requests = sim_->Requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_GE(requests[1].t - requests[0].t, c.minGapMs);
    const QStringList lines = sink_.Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].endsWith(c.logText + task)) << lines[1].toStdString();
  }
  // Without Retry-After a 429 is an ordinary failure with the ordinary pause.
  sink_.Clear();
  StartSim({"--fault", "kind=card,first=1,status=429"});
  const QString task = OrgCardTask(sim_->BaseUrl(), Q(TestDataset().OrgGuid(0)));
  TScrapingThread* worker = Keep(MakeWorker(task, Settings()));
  RunToEnd(worker);
  EXPECT_EQ(worker->result, 1);
  EXPECT_TRUE(sink_.Lines().value(1).endsWith(QStringLiteral("ERROR_Too Many Requests для ") + task));
}

TEST_F(FetchWorker, RetryAfterNeverShortensTheUsualPauseAndHttpDatesAreRead) {
  // "0", or a date already past, asks for no wait at all: a hundred attempts would go out
  // back to back at a rate limiter. A date ahead is waited for.
  const QByteArray kAhead = "ahead";  // made when the answer is sent: a busy machine may start the server late
  const struct {
    QByteArray retryAfter;
    qint64 minGapMs;
    QString logged;  // the log line of the 429 holds this
  } cases[] = {
      {kAhead, 1500, QStringLiteral(" s, next attempt in ")},  // at least 2 s ahead once cut to whole seconds
      {"0", 399, QStringLiteral("(Retry-After: 0 s, next attempt in 0.4 s)")},
      {"Wed, 21 Oct 2015 07:28:00 GMT", 399, QStringLiteral("(Retry-After: 0 s, next attempt in 0.4 s)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retryAfter.toStdString());
    sink_.Clear();
    ScriptedServer server([&c, &kAhead](int i, const ScriptedRequest&) -> QByteArray {
      if (i == 0) {
        const QByteArray retryAfter =
            c.retryAfter != kAhead ? c.retryAfter
                                   : QDateTime::currentDateTimeUtc()
                                         .addSecs(3)
                                         .toString(QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
                                         .toLatin1();
        return "HTTP/1.0 429 Too Many Requests\r\nRetry-After: " + retryAfter + "\r\nContent-Length: 0\r\n\r\n";
      }
      return "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}";
    });
    ASSERT_TRUE(server.Listening());
    FetchSettings settings = Settings();
    settings.baseUrl = QString::fromLatin1(server.BaseUrl());
    settings.failPauseMs = 400;
    const QString task = OrgCardTask(settings.baseUrl, QStringLiteral("g1"));
    TScrapingThread* worker = Keep(MakeWorker(task, settings));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, 1) << worker->statusText.toStdString();
    const QList<ScriptedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_GE(requests[1].t - requests[0].t, c.minGapMs);
    const QString line = sink_.Lines().value(1);
    EXPECT_TRUE(line.contains(QStringLiteral(": ERROR_Too Many Requests (Retry-After: ")) && line.contains(c.logged) &&
                line.endsWith(QStringLiteral(" для ") + task))
        << line.toStdString();
  }
}

TEST_F(FetchWorker, ReasonPhraseReachesTheLogPrintableAndCut) {
  // Control characters, a bare CR and an escape sequence, then far more than a line needs.
  const QByteArray reason = "Bad\x01Gateway\rX-Injected: yes\x1b[31m" + QByteArray(5000, 'z');
  ScriptedServer server([&reason](int, const ScriptedRequest&) -> QByteArray {
    return "HTTP/1.0 502 " + reason + "\r\nContent-Length: 0\r\n\r\n";
  });
  ASSERT_TRUE(server.Listening());
  FetchSettings settings = Settings();
  settings.baseUrl = QString::fromLatin1(server.BaseUrl());
  settings.maxAttempts = 1;
  const QString task = OrgCardTask(settings.baseUrl, QStringLiteral("g1"));
  auto worker = MakeWorker(task, settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  // 200 characters of the phrase, the 32 before the z's included, each control character
  // shown as \xNN.
  const QString shown = QStringLiteral("Bad\\x01Gateway\\x0dX-Injected: yes\\x1b[31m") + QString(200 - 32, u'z') +
                        QStringLiteral("...");
  EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_") + shown);
  const QStringList lines = sink_.Lines();
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral(": ERROR_") + shown + QStringLiteral(" для ") + task))
      << lines[1].toStdString();
  for (const QChar c : lines[1]) EXPECT_FALSE(c.unicode() < 0x20 || c.unicode() == 0x7F) << int(c.unicode());
}

TEST_F(FetchWorker, TasksThatMustNotBeSentFailOnceAndSendNothing) {
  StartSim();
  const QString base = sim_->BaseUrl();
  const QString other = QStringLiteral("https://other.host/");
  const QString outside = QStringLiteral("ERROR_task refused: its address does not begin with the portal's base address ") + base;
  const QString notPlainOrg = QStringLiteral("ERROR_task refused: the organisation GUID is not a plain value (ASCII letters, digits and \"-\", at most 64)");
  const QString notPlainRegion = QStringLiteral("ERROR_task refused: the region code or GUID is not a plain value (ASCII letters, digits and \"-\", at most 64)");
  const struct {
    QString task;
    QString statusText;
  } cases[] = {
      // One task of each refusal; the rule itself is TaskRefusal's, checked case by case.
      {SearchPageTask(other, 1, QStringLiteral("77"), QStringLiteral("g")), outside},
      {base + QStringLiteral("homemanagement/api/rest/services/houses/public/searchByOrg?pageIndex=1&elementsPerPage=1|||дом"), notPlainOrg},
      {QStringLiteral("7/7$$$g"), notPlainRegion},
      {QStringLiteral("77$$$g\r\nhttps://other.host/"), QStringLiteral("ERROR_task refused: it is empty or holds a control character")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.task.toStdString());
    sink_.Clear();
    TScrapingThread* worker = Keep(MakeWorker(c.task, Settings()));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, -1);
    EXPECT_EQ(worker->statusText, c.statusText);
    const QStringList lines = sink_.Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].contains(c.statusText + QStringLiteral(" для "))) << lines[1].toStdString();
    EXPECT_FALSE(lines[1].contains(u'\n'));
  }
  EXPECT_TRUE(sim_->Requests().isEmpty());
}

TEST_F(FetchWorker, RedirectOutsideTheBaseAddressIsNotFollowed) {
  ScriptedServer server([](int, const ScriptedRequest&) -> QByteArray {
    return "HTTP/1.0 302 Found\r\nLocation: http://localhost:9/steal\r\nContent-Length: 0\r\n\r\n";
  });
  ASSERT_TRUE(server.Listening());
  FetchSettings settings = Settings();
  settings.baseUrl = QString::fromLatin1(server.BaseUrl());
  settings.maxAttempts = 2;
  auto worker = MakeWorker(OrgCardTask(settings.baseUrl, "g1"), settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText,
            QStringLiteral("ERROR_redirect to an address outside the portal's base address %1: http://localhost:9/steal")
                .arg(settings.baseUrl));
  EXPECT_EQ(server.Requests().size(), 2);
}

TEST_F(FetchWorker, TransportFailuresAreReportedReadably) {
  const struct {
    const char* name;
    QStringList simArgs;
    bool stopSim;  // nobody listens on the port of a simulator that has been stopped
    QString startsWith;
  } cases[] = {
      {"connection refused", {}, true, "ERROR_Failed to connect"},
      {"closed without an answer", {"--fault", "kind=count,close"}, false, "ERROR_"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sink_.Clear();
    StartSim(c.simArgs);
    FetchSettings settings = Settings();
    if (c.stopSim) sim_->Stop();
    settings.maxAttempts = 2;
    TScrapingThread* worker = Keep(MakeWorker(QStringLiteral("01$$$g"), settings));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, -1);
    EXPECT_TRUE(worker->statusText.startsWith(c.startsWith)) << worker->statusText.toStdString();
    // A text of its own, not a bare status code.
    EXPECT_GT(worker->statusText.size(), 12) << worker->statusText.toStdString();
    EXPECT_FALSE(worker->statusText.mid(6).toInt()) << worker->statusText.toStdString();
    EXPECT_EQ(sink_.Lines().size(), 3);
  }
}

TEST_F(FetchWorker, EmptyCountEveryTimeGivesUpAfterTheHundredthAttempt) {
  // The program's own attempt count; only the pause is shortened.
  StartSim({"--fault", "kind=count,empty"});
  FetchSettings settings = Settings();
  settings.maxAttempts = FetchSettings().maxAttempts;
  settings.failPauseMs = 1;
  const QString key = QStringLiteral("77$$$0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  auto worker = MakeWorker(key, settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_Broken"));
  EXPECT_EQ(sim_->Requests().size(), 100);
  const QStringList lines = sink_.Lines();
  ASSERT_EQ(lines.size(), 101);
  for (int i = 1; i < lines.size(); ++i)
    ASSERT_TRUE(lines[i].endsWith(QStringLiteral(": ERROR_Broken для ") + key)) << lines[i].toStdString();
}

TEST_F(FetchWorker, FollowsRedirectsWithTheRightMethodAndHeaders) {
  // After a 301, 302 or 303 a POST goes on as a GET with neither body nor body header lines
  // (a stale Content-Length would leave the server waiting for the body); after a 307 or 308
  // it is sent again as it was. The custom lines stay last on every hop.
  const QString key = QStringLiteral("77$$$0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  const QByteArray body = OrganisationFilter("0c5b2444-70a0-4932-980c-b4dc0d3f02b5", "77");
  for (const int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    ScriptedServer server([status](int i, const ScriptedRequest&) -> QByteArray {
      if (i == 0)
        return "HTTP/1.0 " + QByteArray::number(status) +
               " Moved\r\nLocation: /moved?x=1\r\nContent-Length: 0\r\n\r\n";
      return "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n42";
    });
    ASSERT_TRUE(server.Listening());
    FetchSettings settings = Settings();
    settings.baseUrl = QString::fromLatin1(server.BaseUrl());
    settings.maxAttempts = 1;
    TScrapingThread* worker = Keep(MakeWorker(key, settings));
    RunToEnd(worker);
    EXPECT_EQ(worker->result, 1) << worker->statusText.toStdString();
    EXPECT_EQ(worker->html, QByteArray("42"));

    const QList<ScriptedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].requestLine,
              "POST /ppa/api/rest/services/ppa/public/organizations/searchByOrg/count HTTP/1.0");
    const bool keepsPost = status == 307 || status == 308;
    EXPECT_EQ(requests[1].requestLine,
              QByteArray(keepsPost ? "POST" : "GET") + " /moved?x=1 HTTP/1.0");
    EXPECT_EQ(requests[1].headerLines,
              ExpectedHeaders(server.BaseUrl(), keepsPost, body.size(), true));
    EXPECT_EQ(requests[1].body, keepsPost ? body : QByteArray());
    EXPECT_TRUE(requests[1].bodyComplete);
  }
}

TEST_F(FetchWorker, EndlessRedirectsFailTheAttempt) {
  ScriptedServer server([](int, const ScriptedRequest&) -> QByteArray {
    return "HTTP/1.0 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n";
  });
  ASSERT_TRUE(server.Listening());
  FetchSettings settings = Settings();
  settings.baseUrl = QString::fromLatin1(server.BaseUrl());
  settings.maxAttempts = 1;
  auto worker = MakeWorker(OrgCardTask(settings.baseUrl, "g1"), settings);
  RunToEnd(worker.get());
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_more than 20 redirects in a row"));
  EXPECT_EQ(server.Requests().size(), 21);
}

}  // namespace
