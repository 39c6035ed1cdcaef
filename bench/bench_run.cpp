// A whole run of the real job against the substitute portal, as the user's machine pays for
// it: the whole process's CPU per request (every thread: window, job, workers), peak memory,
// and requests per second against the ceiling that the loop's fixed waits allow.
//
// At a distance (the portal 20 ms away each way, three threads), twice: with the portal
// keeping connections and resuming TLS sessions, and with the portal refusing both (every
// request a new connection and a full handshake, four round trips). On loopback, with a
// recording stand-in for the window and with the real window offscreen. Beside them, in the
// same process, the floors: a bare OpenSSL client with one loaded context that replays the
// very requests of the run, once over one kept connection and once over a fresh connection
// per request; and the project's own HTTP client replaying them on one thread. At a distance,
// the first 150 requests of the refused run replayed against the same refusing portal by the
// bare client ("20ms floor fresh"; the refused run's "x floor 20ms"), by the bare client making
// a new context per connection as libcurl 7.88 does ("20ms floor new context") and by the
// project's client ("20ms curl client").
//
// bench_run [--orgs N] [--distant-orgs N] [--only stand-in|window|distant] [--country]
//   --orgs: organisations of the loopback runs, about 3 requests each (default 600)
//   --distant-orgs: organisations of the runs at a distance (default 300)
//   --only: one kind of run, without the floors (distant: with its own floors)
//   --country: one run with the window over a whole country (85 regions, 30,000
//     organisations, 1,000,000 houses; about an hour at the program's pace), its resident
//     size printed every minute to stderr and its peak at the end

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "app/mainform.h"
#include "bench/benchutil.h"
#include "harvest/jobview.h"
#include "harvest/scraper.h"
#include "portal/api.h"
#include "portal/curlglobal.h"
#include "portal/httpclient.h"
#include "portal/tlsidentity.h"
#include "tests/support/simserver.h"
#include "text/textfile.h"

namespace {

// Stands in for the window: keeps the log lines and answers what the job asks.
class StandInView : public JobView {
 public:
  explicit StandInView(QList<RegionItem> regions) : regions_(std::move(regions)) {}

  QList<RegionItem> SelectedRegions() override { return regions_; }
  int ReadLimit() override { return 3; }
  bool ReadAdditional() override { return false; }
  void ClearLog() override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  QStringList LogLinesFrom(qsizetype first, qsizetype count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.mid(first, count);
  }
  void AddLogLine(const QString& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.append(line);
  }
  void SetProgress(int, int, const QString&) override {}
  void SetCounters(const QString&, const QString&) override {}
  void SetRunControlsEnabled(bool) override {}
  void ShowErrorMessage(const QString&) override {}
  void ArmResumeTimer(int) override {}
  void JobEnded() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    endedCond_.notify_all();
  }
  void WaitEnded() {
    std::unique_lock<std::mutex> lock(mutex_);
    endedCond_.wait(lock, [this] { return ended_; });
  }
  qsizetype LineCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }

 private:
  QList<RegionItem> regions_;
  std::mutex mutex_;
  std::condition_variable endedCond_;
  QStringList lines_;
  bool ended_ = false;
};

// Message boxes that never block: a benchmark has nobody to answer them.
class SilentDialogs : public Dialogs {
 public:
  void Error(const QString& text) override { std::fprintf(stderr, "message: %s\n", qPrintable(text)); }
  void Info(const QString&) override {}
  bool Ask(const QString&) override { return true; }
};

struct RunFigures {
  int requests = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double windowCpuSeconds = -1;
  double peakMb = 0;
  double startMb = 0;
  qsizetype logLines = 0;
  int connections = 0;  // that carried the run's requests
  int handshakes = 0;   // full ones: the other connections resumed a session
};

// How the run's requests travelled: connections used, and the full handshakes among them.
void CountConnections(const QList<SimRequest>& requests, RunFigures* f) {
  QSet<int> seen;
  for (const SimRequest& r : requests) {
    if (seen.contains(r.connection)) continue;
    seen.insert(r.connection);
    if (!r.resumed) ++f->handshakes;
  }
  f->connections = int(seen.size());
}

// The loop's pace: every request costs three fixed 10 ms waits (the pass, the start, the
// collection); a requested 10 ms sleep takes a little longer.
double CeilingRequestsPerSecond() {
  QElapsedTimer t;
  t.start();
  const int n = 60;
  for (int i = 0; i < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double sleepMs = double(t.nsecsElapsed()) / 1e6 / n;
  return 1000.0 / (3 * sleepMs);
}

HarvestSettings RunSettings(const SimServer& sim, const QString& dir) {
  HarvestSettings s;
  s.dir = dir;
  s.fetch = sim.ClientSettings();
  s.openWorkbook = false;
  return s;  // the program's waits: 10 ms per pass, 1000 ms after a failed attempt
}

RunFigures RunWithStandIn(const SimServer& sim, const QList<RegionItem>& regions) {
  QTemporaryDir dir;
  HarvestSettings settings = RunSettings(sim, dir.path() + QLatin1Char('/'));
  settings.deleteWhenDone = false;
  RunFigures f;
  bench::ResetPeak();
  f.startMb = bench::RssMb();
  const int before = int(sim.Requests().size());
  const double cpu0 = bench::ProcessCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  {
    // Loaded once for the run, as the window does at "СТАРТ".
    auto identity = std::make_shared<TlsIdentity>();
    QString error;
    if (!identity->Load(settings.fetch.certFile, settings.fetch.keyFile, settings.fetch.keyPassphrase, &error))
      std::fprintf(stderr, "identity: %s\n", qPrintable(error));
    else
      settings.fetch.identity = identity;
    StandInView view(regions);
    TScraper job(&view, settings);
    job.start();
    view.WaitEnded();
    job.wait();
    f.logLines = view.LineCount();
  }
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  f.cpuSeconds = bench::ProcessCpuSeconds() - cpu0;
  f.peakMb = bench::PeakRssMb();
  const QList<SimRequest> requests = sim.Requests().mid(before);
  f.requests = int(requests.size());
  CountConnections(requests, &f);
  return f;
}

RunFigures RunWithWindow(const SimServer& sim, const QStringList& datasetArgs) {
  QTemporaryDir dir;
  const QString folder = dir.path() + QLatin1Char('/');
  QProcess cities;
  cities.start(QStringLiteral(ORGH_PORTAL_SIM_EXE),
               datasetArgs + QStringList{QStringLiteral("--write-cities"), folder + QStringLiteral("cities.txt")});
  cities.waitForFinished(30000);

  RunFigures f;
  bench::ResetPeak();
  f.startMb = bench::RssMb();
  const int before = int(sim.Requests().size());
  const double cpu0 = bench::ProcessCpuSeconds();
  const double windowCpu0 = bench::ThreadCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  {
    TMainForm form(folder, RunSettings(sim, folder), std::make_shared<SilentDialogs>());
    form.show();
    QApplication::processEvents();
    form.CitiesListBox->selectAll();
    QEventLoop loop;
    QObject::connect(&form, &TMainForm::JobFinished, &loop, &QEventLoop::quit);
    // The resident size as the run goes, to see where it grows. The lines are counted, not
    // copied: a copy of a country's log would be a peak of the benchmark's own.
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
      std::fprintf(stderr, "%6.0f s  RSS %7.1f MB  peak %7.1f MB  heap in use %7.1f MB  log lines %lld\n",
                   double(wall.elapsed()) / 1000.0, bench::RssMb(), bench::PeakRssMb(), bench::HeapInUseMb(),
                   static_cast<long long>(form.LogsMemo->LineCount()));
    });
    sample.start(60000);
    form.StartButtonClick();
    if (form.Job()) loop.exec();
    f.logLines = form.LogsMemo->LineCount();
    // The job object goes with its thread's end: let it.
    QApplication::processEvents();
  }
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  f.cpuSeconds = bench::ProcessCpuSeconds() - cpu0;
  f.windowCpuSeconds = bench::ThreadCpuSeconds() - windowCpu0;
  f.peakMb = bench::PeakRssMb();
  f.requests = int(sim.Requests().size()) - before;
  return f;
}

// ---------------------------------------------------------------------------------------------
// The floor: one SSL_CTX with the certificate and key loaded once; a fresh TCP connection and
// full handshake per request; the request's exact bytes; the whole answer read.

struct CtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};
class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A client context with the identity set on it, as libcurl's context function sets it.
std::unique_ptr<SSL_CTX, CtxFree> FloorContext(const TlsIdentity& identity) {
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  if (SSL_CTX_use_certificate(ctx.get(), identity.Certificate()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx.get(), identity.Key()) != 1)
    return nullptr;
  return ctx;
}

// One request over a fresh connection; the bytes of the answer, or -1.
qint64 FloorRequest(SSL_CTX* ctx, int port, const QByteArray& request) {
  Socket sock;
  if (sock.fd() < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx));
  if (!ssl || SSL_set_fd(ssl.get(), sock.fd()) != 1 || SSL_connect(ssl.get()) != 1) return -1;
  if (SSL_write(ssl.get(), request.constData(), int(request.size())) != int(request.size())) return -1;
  qint64 total = 0;
  char buffer[65536];
  for (;;) {
    const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    total += n;
  }
  SSL_shutdown(ssl.get());
  ERR_clear_error();
  return total;
}

// The same requests over one connection kept as long as the server keeps it; a new one,
// resuming the last TLS session, once it has closed it.
class KeptFloorClient {
 public:
  KeptFloorClient(SSL_CTX* ctx, int port) : ctx_(ctx), port_(port) {}
  ~KeptFloorClient() {
    Close();
    if (session_) SSL_SESSION_free(session_);
  }

  bool Request(const QByteArray& request) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!ssl_ && !Connect()) return false;
      if (SSL_write(ssl_.get(), request.constData(), int(request.size())) == int(request.size()) && ReadAnswer())
        return true;
      Close();  // closed by the server meanwhile: once more on a new connection
    }
    return false;
  }

 private:
  bool Connect() {
    sock_ = std::make_unique<Socket>();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock_->fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    ssl_.reset(SSL_new(ctx_));
    if (!ssl_ || SSL_set_fd(ssl_.get(), sock_->fd()) != 1) return false;
    if (session_) SSL_set_session(ssl_.get(), session_);
    if (SSL_connect(ssl_.get()) != 1) return false;
    if (session_) SSL_SESSION_free(session_);
    session_ = SSL_get1_session(ssl_.get());
    return true;
  }

  void Close() {
    if (ssl_) SSL_shutdown(ssl_.get());
    ssl_.reset();
    sock_.reset();
    buffer_.clear();
    ERR_clear_error();
  }

  // The header to its blank line, then Content-Length bytes; the connection stays open when
  // the server said keep-alive.
  bool ReadAnswer() {
    qsizetype end = -1;
    while ((end = buffer_.indexOf("\r\n\r\n")) < 0)
      if (!Fill()) return false;
    const QByteArray head = buffer_.left(end).toLower();
    const qsizetype at = head.indexOf("content-length:");
    if (at < 0) return false;
    const qsizetype lineEnd = head.indexOf("\r\n", at);
    const qint64 length = head.mid(at + 15, lineEnd < 0 ? -1 : lineEnd - at - 15).trimmed().toLongLong();
    const bool keep = head.contains("connection: keep-alive");
    while (buffer_.size() < end + 4 + length)
      if (!Fill()) return false;
    buffer_.remove(0, end + 4 + length);
    if (!keep) Close();
    return true;
  }

  bool Fill() {
    char chunk[65536];
    const int n = SSL_read(ssl_.get(), chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, n);
    return true;
  }

  SSL_CTX* ctx_;
  int port_;
  std::unique_ptr<Socket> sock_;
  std::unique_ptr<SSL, SslFree> ssl_;
  SSL_SESSION* session_ = nullptr;
  QByteArray buffer_;
};

QByteArray WireBytes(const SimRequest& r) {
  QByteArray bytes = r.requestLine + "\r\n";
  for (const QByteArray& line : r.headerLines) bytes += line + "\r\n";
  return bytes + "\r\n" + r.body;
}

// Requests replayed by the floors at a distance: a full handshake there takes about 170 ms.
constexpr int kDistantFloorRequests = 150;

enum class FloorKind {
  Kept,             // one context, one connection kept as long as the server keeps it
  Fresh,            // one context, a new connection per request
  FreshNewContext,  // a new context for every new connection, as libcurl 7.88 makes one
};

RunFigures RunFloor(const SimServer& sim, const QList<QByteArray>& requests, FloorKind kind) {
  RunFigures f;
  const FetchSettings fetch = sim.ClientSettings();
  TlsIdentity identity;
  QString error;
  if (!identity.Load(fetch.certFile, fetch.keyFile, fetch.keyPassphrase, &error)) {
    std::fprintf(stderr, "floor: %s\n", qPrintable(error));
    return f;
  }
  auto ctx = FloorContext(identity);
  if (!ctx) return f;
  bench::ResetPeak();
  f.startMb = bench::RssMb();
  const double cpu0 = bench::ProcessCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  int failed = 0;
  if (kind == FloorKind::Kept) {
    KeptFloorClient client(ctx.get(), sim.Port());
    for (const QByteArray& request : requests)
      if (!client.Request(request)) ++failed;
  } else {
    for (const QByteArray& request : requests) {
      const bool newContext = kind == FloorKind::FreshNewContext;
      const auto own = newContext ? FloorContext(identity) : nullptr;
      SSL_CTX* context = newContext ? own.get() : ctx.get();
      if (!context || FloorRequest(context, sim.Port(), request) <= 0) ++failed;
    }
  }
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  f.cpuSeconds = bench::ProcessCpuSeconds() - cpu0;
  f.peakMb = bench::PeakRssMb();
  f.requests = int(requests.size());
  if (failed) std::fprintf(stderr, "floor: %d requests failed\n", failed);
  return f;
}

// Between the floor and the worker: the project's HTTP client (one libcurl handle per
// request, the shared identity set on its context) replaying the same requests on one thread,
// without the worker's thread, retries and log lines.
RunFigures RunCurlFloor(const SimServer& sim, const QList<SimRequest>& requests) {
  RunFigures f;
  FetchSettings fetch = sim.ClientSettings();
  auto pool = std::make_shared<ConnectionPool>();
  auto identity = std::make_shared<TlsIdentity>();
  QString error;
  if (!identity->Load(fetch.certFile, fetch.keyFile, fetch.keyPassphrase, &error)) return f;
  bench::ResetPeak();
  f.startMb = bench::RssMb();
  const double cpu0 = bench::ProcessCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  int failed = 0;
  const QByteArray base = sim.BaseUrl().toUtf8();
  for (const SimRequest& r : requests) {
    const QList<QByteArray> words = r.requestLine.split(' ');
    HttpRequest request;
    request.post = words.value(0) == "POST";
    request.url = base + words.value(1).mid(1);
    request.body = r.body;
    for (const QByteArray& line : r.headerLines) {
      if (line.startsWith("Content-Type: ")) request.contentType = line.mid(14);
      if (line.startsWith("Request-GUID") || line.startsWith("Session-GUID")) request.customHeaders.append(line);
    }
    HttpClientOptions options;
    options.accept = QByteArrayLiteral("text/html, */*");
    options.userAgent = QByteArrayLiteral("Mozilla/5.0");
    options.referer = base;
    options.identity = identity.get();
    options.pool = pool;
    options.poolKey = "bench";
    HttpClient client(options);
    HttpAnswer answer;
    if (client.Perform(request, &answer, &error) != HttpOutcome::Ok) ++failed;
  }
  f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  f.cpuSeconds = bench::ProcessCpuSeconds() - cpu0;
  f.peakMb = bench::PeakRssMb();
  f.requests = int(requests.size());
  if (failed) std::fprintf(stderr, "curl floor: %d requests failed\n", failed);
  return f;
}

void Report(const char* scenario, const RunFigures& f, double ceiling, double floorMsPerRequest) {
  if (f.requests <= 0) {
    std::fprintf(stderr, "%s: no requests\n", scenario);
    return;
  }
  const double msPerRequest = 1000.0 * f.cpuSeconds / f.requests;
  bench::Print(scenario, "requests", f.requests, "count", 0);
  bench::Print(scenario, "CPU/request", msPerRequest, "ms");
  if (f.windowCpuSeconds >= 0)
    bench::Print(scenario, "window CPU/req", 1000.0 * f.windowCpuSeconds / f.requests, "ms");
  if (floorMsPerRequest > 0) bench::Print(scenario, "x floor", msPerRequest / floorMsPerRequest, "x");
  bench::Print(scenario, "throughput", f.requests / f.wallSeconds, "req/s", 1);
  if (ceiling > 0) {
    bench::Print(scenario, "ceiling", ceiling, "req/s", 1);
    bench::Print(scenario, "of ceiling", f.requests / f.wallSeconds / ceiling, "", 3);
  }
  bench::Print(scenario, "peak RSS", f.peakMb, "MB", 1);
  bench::Print(scenario, "peak growth", f.peakMb - f.startMb, "MB", 1);
  if (f.logLines > 0) bench::Print(scenario, "log lines", double(f.logLines), "count", 0);
  if (f.connections > 0) {
    bench::Print(scenario, "connections", f.connections, "count", 0);
    bench::Print(scenario, "full handshakes", f.handshakes, "count", 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const CurlGlobal curl;  // before any thread
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int orgs = 600;
  int distantOrgs = 300;
  QString only;
  const QStringList args = app.arguments();
  if (args.contains(QStringLiteral("--country"))) {
    const QStringList country{"--regions", "85", "--orgs", "30000", "--houses", "1000000", "--seed", "11"};
    SimServer sim(country);
    QString error;
    if (!sim.Start(&error)) {
      std::fprintf(stderr, "bench_run: cannot start the substitute portal: %s\n", qPrintable(error));
      return 1;
    }
    Report("country + window", RunWithWindow(sim, country), CeilingRequestsPerSecond(), 0);
    return 0;
  }
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QStringLiteral("--orgs")) orgs = qBound(10, args[i + 1].toInt(), 30000);
    if (args[i] == QStringLiteral("--distant-orgs")) distantOrgs = qBound(10, args[i + 1].toInt(), 30000);
    if (args[i] == QStringLiteral("--only")) only = args[i + 1];
  }

  // The country's proportions: about 33 houses per organisation.
  const auto datasetArgs = [](int n) {
    return QStringList{"--regions", "5", "--orgs", QString::number(n), "--houses", QString::number(n * 33),
                       "--seed", "11"};
  };
  SimServer sim(datasetArgs(orgs));
  QString error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "bench_run: cannot start the substitute portal: %s\n", qPrintable(error));
    return 1;
  }

  // The regions of the dataset, as the window's list would hand them to the job (the same for
  // every size: they depend on the number of regions only).
  QTemporaryDir citiesDir;
  const QString citiesPath = citiesDir.filePath(QStringLiteral("cities.txt"));
  QProcess cities;
  cities.start(QStringLiteral(ORGH_PORTAL_SIM_EXE), datasetArgs(orgs) + QStringList{"--write-cities", citiesPath});
  cities.waitForFinished(30000);
  QList<RegionItem> regions;
  QStringList lines;
  if (const FileOutcome read = ReadTextLines(citiesPath, &lines); !read) {
    std::fprintf(stderr, "cities.txt: %s\n", qPrintable(read.reason));
    return 1;
  }
  for (const QString& line : lines) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq > 0) regions.append(RegionItem{line.left(eq), line.mid(eq + 1)});
  }

  // Measured more than once, the fastest kept: a busy minute slows the sleeps and would lower
  // the ceiling the runs are held against.
  double ceiling = CeilingRequestsPerSecond();
  if (only == QStringLiteral("window")) {
    Report("job + window", RunWithWindow(sim, datasetArgs(orgs)), ceiling, 0);
    return 0;
  }

  // At a distance: a portal that keeps connections and resumes sessions, and one that does
  // neither. Against the refusing one, the first requests of the run replayed on one thread by
  // the bare client and by the project's client: the same handshake costs more CPU time when
  // its steps are spread over four round trips than back to back on loopback, so the loopback
  // floor alone would hide how much of the run's figure is the handshake itself.
  RunFigures farKept, farRefused, farFloor, farFloorNewContext, farCurl;
  const auto distant = [&](const QStringList& refusals, RunFigures* f, bool withFloors) {
    SimServer far(datasetArgs(distantOrgs) + QStringList{"--latency-ms", "20"} + refusals);
    if (!far.Start(&error)) {
      std::fprintf(stderr, "bench_run: cannot start the distant portal: %s\n", qPrintable(error));
      return;
    }
    const int before = int(far.Requests().size());
    *f = RunWithStandIn(far, regions);
    if (!withFloors) return;
    const QList<SimRequest> replayed = far.Requests().mid(before, kDistantFloorRequests);
    QList<QByteArray> bytes;
    for (const SimRequest& r : replayed) bytes.append(WireBytes(r));
    farFloor = RunFloor(far, bytes, FloorKind::Fresh);
    farFloorNewContext = RunFloor(far, bytes, FloorKind::FreshNewContext);
    farCurl = RunCurlFloor(far, replayed);
  };
  distant({}, &farKept, false);
  distant({"--no-keep-alive", "--no-resumption"}, &farRefused, true);
  const double farFloorMs =
      farFloor.requests > 0 ? 1000.0 * farFloor.cpuSeconds / farFloor.requests : 0;
  ceiling = std::max(ceiling, CeilingRequestsPerSecond());
  // The refused run against the floor at its own distance, beside the loopback floor's
  // "x floor" of the whole table.
  const auto reportDistantFloors = [&] {
    if (farRefused.requests > 0 && farFloorMs > 0)
      bench::Print("20ms refused", "x floor 20ms",
                   1000.0 * farRefused.cpuSeconds / farRefused.requests / farFloorMs, "x");
    Report("20ms curl client", farCurl, 0, farFloorMs);
    Report("20ms floor new context", farFloorNewContext, 0, farFloorMs);
    Report("20ms floor fresh", farFloor, 0, 0);
  };
  if (only == QStringLiteral("distant")) {
    Report("20ms kept", farKept, ceiling, 0);
    Report("20ms refused", farRefused, ceiling, 0);
    reportDistantFloors();
    return 0;
  }

  const int logStart = int(sim.Requests().size());
  const RunFigures standIn = RunWithStandIn(sim, regions);
  if (only == QStringLiteral("stand-in")) {
    Report("job + stand-in", standIn, ceiling, 0);
    return 0;
  }
  QList<QByteArray> replay;
  const QList<SimRequest> logged = sim.Requests().mid(logStart);
  for (const SimRequest& r : logged) replay.append(WireBytes(r));
  const RunFigures floorKept = RunFloor(sim, replay, FloorKind::Kept);
  // The same requests to a portal that closes every connection and resumes nothing.
  SimServer refusing(datasetArgs(orgs) + QStringList{"--no-keep-alive", "--no-resumption"});
  RunFigures floorFresh;
  if (refusing.Start(&error)) floorFresh = RunFloor(refusing, replay, FloorKind::Fresh);
  const RunFigures curlFloor = RunCurlFloor(sim, logged);
  const double floorKeptMs = floorKept.requests > 0 ? 1000.0 * floorKept.cpuSeconds / floorKept.requests : 0;
  const double floorFreshMs = floorFresh.requests > 0 ? 1000.0 * floorFresh.cpuSeconds / floorFresh.requests : 0;
  const RunFigures window = RunWithWindow(sim, datasetArgs(orgs));
  ceiling = std::max(ceiling, CeilingRequestsPerSecond());

  Report("20ms kept", farKept, ceiling, floorKeptMs);
  Report("20ms refused", farRefused, ceiling, floorFreshMs);
  Report("job + stand-in", standIn, ceiling, floorKeptMs);
  Report("job + window", window, ceiling, floorKeptMs);
  Report("curl client", curlFloor, 0, floorKeptMs);
  Report("floor kept", floorKept, 0, 0);
  Report("floor fresh", floorFresh, 0, 0);
  reportDistantFloors();
  return 0;
}
