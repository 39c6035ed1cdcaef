// Fetch workers against the substitute portal over loopback HTTPS: every worker is a new
// thread with a new HTTP client, as in a run; with the connection pool ("kept": the worker
// takes the connection the last one left) and without it ("fresh": a new connection and a
// full handshake per request). Beside them, what a thread per request costs: the same
// requests through one client on one thread, and an empty thread started and joined.
// Prints requests per second and the client's CPU time per request (the portal is a separate
// process and is not counted).
//
// bench_fetch [--requests N] [--concurrency C]

#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>

#include "portal/api.h"
#include "portal/curlglobal.h"
#include "portal/httpclient.h"
#include "portal/tlsidentity.h"
#include "portal/scrapingthread.h"
#include "tests/support/simserver.h"
#include "tools/portal-sim/dataset.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  int ok = 0;
  int failed = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  qint64 answerBytes = 0;
};

// Runs `total` workers, at most `concurrency` at a time, the oldest collected first.
Figures RunWorkers(int total, int concurrency, const FetchSettings& settings,
                   const std::function<QString(int)>& task) {
  auto lists = std::make_shared<TWorkerLists>();
  std::deque<std::unique_ptr<TScrapingThread>> running;
  Figures f;
  auto collect = [&] {
    std::unique_ptr<TScrapingThread> w = std::move(running.front());
    running.pop_front();
    w->wait();
    if (w->result == 1) {
      ++f.ok;
      f.answerBytes += w->html.size();
    } else {
      ++f.failed;
      if (f.failed == 1) std::fprintf(stderr, "first failure: %s\n", qPrintable(w->statusText));
    }
    std::lock_guard<std::mutex> lock(lists->JobLock);
    lists->FinishedList.removeOne(w.get());
  };

  QElapsedTimer wall;
  wall.start();
  const double cpu0 = CpuSeconds();
  for (int i = 0; i < total; ++i) {
    if (int(running.size()) >= concurrency) collect();
    auto w = std::make_unique<TScrapingThread>();
    w->url = task(i);
    w->Code = TaskKind(w->url);
    w->lists = lists;
    w->settings = settings;
    {
      std::lock_guard<std::mutex> lock(lists->JobLock);
      lists->RunningList.append(w.get());
    }
    w->start();
    running.push_back(std::move(w));
  }
  while (!running.empty()) collect();
  f.cpuSeconds = CpuSeconds() - cpu0;
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  return f;
}

// The same requests on this thread: no thread, no worker around them. With the pool, through
// one client; without, a new client (new handle, new connection, full handshake) per request.
Figures RunOneClient(int total, const FetchSettings& settings, const std::function<QString(int)>& task) {
  HttpClientOptions options;
  options.accept = QByteArrayLiteral("text/html, */*");
  options.userAgent = QByteArrayLiteral("Mozilla/5.0");
  options.referer = settings.baseUrl.toUtf8();
  options.identity = settings.identity.get();
  options.pool = settings.connections;
  options.poolKey = "bench";
  Figures f;
  QElapsedTimer wall;
  wall.start();
  const double cpu0 = CpuSeconds();
  {
    std::unique_ptr<HttpClient> client;
    for (int i = 0; i < total; ++i) {
      if (!client || !options.pool) client = std::make_unique<HttpClient>(options);
      HttpRequest request;
      request.url = task(i).toUtf8();
      HttpAnswer answer;
      QString error;
      if (client->Perform(request, &answer, &error) == HttpOutcome::Ok) {
        ++f.ok;
        f.answerBytes += answer.body.size();
      } else {
        ++f.failed;
      }
    }
  }
  f.cpuSeconds = CpuSeconds() - cpu0;
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  return f;
}

// CPU of starting and joining one empty thread.
double ThreadCostMs(int rounds) {
  const double cpu0 = CpuSeconds();
  for (int i = 0; i < rounds; ++i) {
    std::unique_ptr<QThread> t(QThread::create([] {}));
    t->start();
    t->wait();
  }
  return 1000.0 * (CpuSeconds() - cpu0) / rounds;
}

void Print(const char* scenario, int concurrency, const Figures& f) {
  const int n = f.ok + f.failed;
  const QByteArray name = QByteArray(scenario) + " c=" + QByteArray::number(concurrency);
  std::printf("BENCH\t%s\trequests\t%d\tcount\n", name.constData(), n);
  std::printf("BENCH\t%s\tfailed\t%d\tcount\n", name.constData(), f.failed);
  std::printf("BENCH\t%s\tthroughput\t%.1f\treq/s\n", name.constData(), n / f.wallSeconds);
  std::printf("BENCH\t%s\tclient CPU\t%.2f\tms/req\n", name.constData(), 1000.0 * f.cpuSeconds / n);
  std::printf("BENCH\t%s\tanswer size\t%.0f\tbytes/req\n", name.constData(),
              f.ok ? double(f.answerBytes) / f.ok : 0.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const CurlGlobal curl;  // before any thread
  QCoreApplication app(argc, argv);
  int total = 300;
  int concurrency = 3;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--requests") total = qMax(1, args[i + 1].toInt());
    else if (args[i] == "--concurrency") concurrency = qMax(1, args[i + 1].toInt());
  }

  const QStringList datasetArgs = {"--regions", "5", "--orgs", "300", "--houses", "120000", "--seed", "3"};
  simdata::Config config;
  config.regions = 5;
  config.orgs = 300;
  config.houses = 120000;
  config.seed = 3;
  const simdata::Dataset data(config);

  SimServer sim(datasetArgs);
  QString error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "bench_fetch: cannot start the substitute portal: %s\n", qPrintable(error));
    return 1;
  }

  FetchSettings settings = sim.ClientSettings();
  settings.maxAttempts = 1;
  settings.failPauseMs = 0;
  // Loaded once and shared, as a run does since "СТАРТ" loads it.
  auto identity = std::make_shared<TlsIdentity>();
  if (!identity->Load(settings.certFile, settings.keyFile, settings.keyPassphrase, &error)) {
    std::fprintf(stderr, "bench_fetch: %s\n", qPrintable(error));
    return 1;
  }
  settings.identity = identity;

  int biggest = 0;
  for (int org = 1; org < data.OrgCount(); ++org)
    if (data.HouseTotal(org) > data.HouseTotal(biggest)) biggest = org;
  const QString base = sim.BaseUrl();
  auto card = [&](int i) {
    return OrgCardTask(base, QString::fromStdString(data.OrgGuid(i % data.OrgCount())));
  };
  auto housePage = [&](int) {
    return HousePageTask(base, 1, QString::fromStdString(data.OrgGuid(biggest)));
  };

  FetchSettings fresh = settings;
  fresh.connections = nullptr;

  RunWorkers(10, 1, settings, card);  // warm-up: libraries loaded, caches filled
  Print("card kept", 1, RunWorkers(total, 1, settings, card));
  Print("card kept", concurrency, RunWorkers(total, concurrency, settings, card));
  Print("card one thread", 1, RunOneClient(total, settings, card));
  Print("card fresh", 1, RunWorkers(total, 1, fresh, card));
  Print("card fresh", concurrency, RunWorkers(total, concurrency, fresh, card));
  Print("card fresh one thread", 1, RunOneClient(total, fresh, card));
  const QByteArray pageName =
      "house page " + QByteArray::number(std::min<qint64>(data.HouseTotal(biggest), kHousePageSize));
  Print((pageName + " kept").constData(), concurrency, RunWorkers(total, concurrency, settings, housePage));
  std::printf("BENCH\tthread\tstart+join\t%.3f\tms\n", ThreadCostMs(2000));
  return 0;
}
