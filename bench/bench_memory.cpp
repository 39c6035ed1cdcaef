// Peak memory for huge answers: one fetch worker taking a huge answer, the job's handlers
// turning a huge card field into a row, and a whole run against a portal that plays every
// hostile answer at once. Prints figures only (the peak resident size of this process above
// what it held before; the portal is a separate process and is not counted).
//
// A country's context: the region names of 85 regions and the regions and 22 card columns
// of 30,000 organisations, the way the job holds them through a whole run.
//
// bench_memory [--answer-mib N] [--field-mib N] [--country-only]

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <memory>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "portal/api.h"
#include "portal/curlglobal.h"
#include "portal/httpclient.h"
#include "portal/scrapingthread.h"
#include "tests/harvest/run_support.h"
#include "tools/portal-sim/dataset.h"

namespace {

// Resident size now and its peak since the last reset, in bytes (from /proc/self/status).
qint64 StatusBytes(const char* field) {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n')) {
    if (!line.startsWith(field)) continue;
    return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toLongLong() * 1024;
  }
  return -1;
}

// Starts a new peak: the kernel sets the peak back to the present resident size.
void ResetPeak() {
  QFile f(QStringLiteral("/proc/self/clear_refs"));
  if (f.open(QIODevice::WriteOnly)) f.write("5");
}

struct Peak {
  qint64 before = 0;
  void Start() {
    ResetPeak();
    before = StatusBytes("VmRSS:");
  }
  double AboveMiB() const { return double(StatusBytes("VmHWM:") - before) / (1024.0 * 1024.0); }
};

void Print(const char* scenario, const char* metric, double value, const char* unit) {
  std::printf("BENCH\t%s\t%s\t%.1f\t%s\n", scenario, metric, value, unit);
  std::fflush(stdout);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// 22 card columns of the kinds a card has: names and addresses in Cyrillic, identifiers,
// dates, phones and addresses in Latin letters and digits.
QString CardColumns(int i) {
  const QString n = QString::number(i);
  QStringList c;
  c << QStringLiteral("Общество с ограниченной ответственностью «Управляющая компания № %1»").arg(n)
    << QStringLiteral("ООО «УК № %1»").arg(n) << QStringLiteral("%1").arg(7700000000LL + i)
    << QStringLiteral("%1").arg(770001001 + i % 1000) << QStringLiteral("%1").arg(1027700000000LL + i)
    << QStringLiteral("Управление многоквартирными домами")
    << QStringLiteral("123%1, г. Москва, ул. Садовая-Кудринская, д. %2, стр. 1, пом. %3")
           .arg(i % 1000, 3, 10, QLatin1Char('0')).arg(i % 90 + 1).arg(i % 300 + 1)
    << QStringLiteral("123%1, г. Москва, ул. Большая Никитская, д. %2").arg(i % 1000, 3, 10, QLatin1Char('0')).arg(i % 60 + 1)
    << QStringLiteral("+7 (495) %1-%2-%3").arg(100 + i % 900).arg(10 + i % 90).arg(10 + (i / 90) % 90)
    << QStringLiteral("+7 (495) %1-00-00").arg(100 + i % 900) << QStringLiteral("info@uk%1.ru").arg(n)
    << QStringLiteral("https://uk%1.ru").arg(n) << QStringLiteral("Иванов Иван Иванович")
    << QStringLiteral("Генеральный директор") << QStringLiteral("%1.03.2011").arg(10 + i % 18)
    << QStringLiteral("%1.06.2015").arg(10 + i % 18) << QStringLiteral("077-%1").arg(i, 6, 10, QLatin1Char('0'))
    << QStringLiteral("Действующая") << QStringLiteral("пн-пт 9:00-18:00, обед 13:00-14:00")
    << QStringLiteral("%1").arg(i % 300 + 1) << QStringLiteral("%1.5").arg(10000 + i % 90000)
    << QStringLiteral("Государственная жилищная инспекция");
  return c.join(QLatin1Char('\t'));
}

QString CountryGuid(int i) {
  return QStringLiteral("%1-7a2e-4c1b-9d3e-%2").arg(i, 8, 16, QLatin1Char('0')).arg(qint64(i) * 7919, 12, 16, QLatin1Char('0'));
}

// The context of a country run: what it costs to hold, and the peak while every card is read
// back the way a house count's row reads it.
void CountryContext() {
  const int regions = 85, orgs = 30000;
  Peak peak;
  peak.Start();
  RunData run;
  for (int r = 0; r < regions; ++r)
    run.RegionNames.Append(QStringLiteral("%1$$$%2").arg(r + 1).arg(CountryGuid(1000000 + r)),
                           QStringLiteral("Республика Регион %1").arg(r + 1));
  qint64 utf16 = 0, utf8 = 0;
  for (int i = 0; i < orgs; ++i) {
    const QString card = CardColumns(i);
    utf16 += card.size() * 2;
    utf8 += card.toUtf8().size();
    run.OrgRegions.Append(CountryGuid(i), QStringLiteral("Республика Регион %1").arg(i % regions + 1));
    run.OrgCards.Append(CountryGuid(i), card);
  }
  const double held = double(StatusBytes("VmRSS:") - peak.before) / (1024.0 * 1024.0);
  qint64 columns = 0;
  for (int i = 0; i < orgs; ++i) columns += run.OrgCards.Lookup(CountryGuid(i)).split(u'\t').size();
  const char* name = "country context";
  Print(name, "cards", orgs, "count");
  Print(name, "card text UTF-16", double(utf16) / orgs, "bytes/card");
  Print(name, "card text UTF-8", double(utf8) / orgs, "bytes/card");
  Print(name, "held", held, "MiB");
  Print(name, "held per card", held * 1024.0 * 1024.0 / orgs, "bytes");
  Print(name, "peak above start", peak.AboveMiB(), "MiB");
  if (columns != qint64(orgs) * kCardColumnCount) std::fprintf(stderr, "bench_memory: cards read back wrong\n");
}

// One worker, run the way the job runs it; its answer stays in *html.
int RunWorker(const QString& task, const FetchSettings& settings, QByteArray* html, QString* status) {
  auto lists = std::make_shared<TWorkerLists>();
  TScrapingThread w;
  w.url = task;
  w.Code = TaskKind(task);
  w.lists = lists;
  w.settings = settings;
  {
    std::lock_guard<std::mutex> lock(lists->JobLock);
    lists->RunningList.append(&w);
  }
  w.start();
  w.wait();
  *html = std::move(w.html);
  *status = w.statusText;
  return w.result;
}

// A finished house page request as the job hands it to its handler.
WorkerOutcome HousePageOutcome(const QString& guid, const QString& base, QByteArray answer) {
  WorkerOutcome w;
  w.Code = HousePage;
  w.result = 1;
  w.orgguid = guid;
  w.url = base;
  w.html = std::move(answer);
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const CurlGlobal curl;  // before any thread
  QCoreApplication app(argc, argv);
  int answerMiB = 60;
  int fieldMiB = 30;
  const QStringList args = app.arguments();
  bool countryOnly = false;
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--country-only") countryOnly = true;
    else if (i + 1 < args.size() && args[i] == "--answer-mib") answerMiB = qBound(1, args[++i].toInt(), 63);
    else if (i + 1 < args.size() && args[i] == "--field-mib") fieldMiB = qBound(1, args[++i].toInt(), 30);
  }
  CountryContext();
  if (countryOnly) return 0;
  const simdata::Config config{3, 60, 600, 5};
  const simdata::Dataset data(config);
  const QString g0 = Q(data.OrgGuid(data.RegionOrgs(0).at(0)));
  const QString g1 = Q(data.OrgGuid(data.RegionOrgs(0).at(1)));
  const qint64 answerBytes = qint64(answerMiB) * 1024 * 1024;
  // A field of Cyrillic letters: two bytes each in the answer, one UTF-16 unit in memory.
  const qint64 fieldChars = qint64(fieldMiB) * 1024 * 1024 / 2;

  QStringList simArgs = {"--regions", "3", "--orgs", "60", "--houses", "600", "--seed", "5",
                         "--fault", QStringLiteral("kind=housepage,match=%1,pad=%2").arg(g0).arg(answerBytes),
                         "--fault", QStringLiteral("kind=card,match=%1,fill=%2,body={\"guid\":\"%1\",\"fullName\":\"@@FILL@@\"}")
                                        .arg(g1)
                                        .arg(fieldChars)};
  SimServer sim(simArgs);
  QString error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "bench_memory: cannot start the substitute portal: %s\n", qPrintable(error));
    return 1;
  }
  FetchSettings settings = sim.ClientSettings();
  settings.maxAttempts = 1;
  settings.failPauseMs = 0;
  const QString base = sim.BaseUrl();

  {
    // Warm-up: libraries loaded, TLS set up once, so the peak is the answer's.
    QByteArray html;
    QString status;
    RunWorker(OrgCardTask(base, Q(data.OrgGuid(5))), settings, &html, &status);
  }

  // 1. One worker with a huge answer (the house page padded with blanks, length given).
  {
    Peak peak;
    peak.Start();
    QByteArray html;
    QString status;
    const int result = RunWorker(HousePageTask(base, 1, g0), settings, &html, &status);
    const double mib = peak.AboveMiB();
    const double answerMibTaken = double(html.size()) / (1024.0 * 1024.0);
    if (result != 1) std::fprintf(stderr, "huge answer failed: %s\n", qPrintable(status));
    const QByteArray name = "worker, " + QByteArray::number(answerMiB) + " MiB answer";
    Print(name.constData(), "answer", answerMibTaken, "MiB");
    Print(name.constData(), "peak above start", mib, "MiB");
    Print(name.constData(), "peak / answer", mib / answerMibTaken, "x");

    // The job's handler of that page: the answer text handed over, the row made.
    RunData run;
    run.baseUrl = base;
    WorkerOutcome w = HousePageOutcome(g0, base, std::move(html));
    peak.Start();
    std::optional<QStringList> row;
    HandleHousePage(run, w, &row);
    const QByteArray hname = "handler, " + QByteArray::number(answerMiB) + " MiB house page";
    Print(hname.constData(), "peak above start", peak.AboveMiB(), "MiB");
  }

  // The parser's worst case: an answer of the most elements a body of that size can hold.
  {
    QByteArray dense = "{\"items\":[";
    dense.reserve(answerBytes + 16);
    while (dense.size() < answerBytes) dense += "1,";
    dense += "1]}";
    RunData run;
    run.baseUrl = base;
    WorkerOutcome w = HousePageOutcome(g0, base, std::move(dense));
    Peak peak;
    peak.Start();
    std::optional<QStringList> row;
    HandleHousePage(run, w, &row);
    const QByteArray hname = "handler, " + QByteArray::number(answerMiB) + " MiB of [1,1,...]";
    Print(hname.constData(), "peak above start", peak.AboveMiB(), "MiB");
  }

  // 2. A huge field: the worker, then the card handler and the row of its house page.
  {
    Peak peak;
    peak.Start();
    QByteArray html;
    QString status;
    const int result = RunWorker(OrgCardTask(base, g1), settings, &html, &status);
    const QByteArray name = "worker, " + QByteArray::number(fieldMiB) + " MiB field";
    if (result != 1) std::fprintf(stderr, "huge field failed: %s\n", qPrintable(status));
    Print(name.constData(), "peak above start", peak.AboveMiB(), "MiB");

    RunData run;
    run.baseUrl = base;
    WorkerOutcome card;
    card.Code = OrgCard;
    card.result = 1;
    card.url = OrgCardTask(base, g1);
    card.html = std::move(html);
    peak.Start();
    HandleOrgCard(run, card);
    card.html.clear();
    WorkerOutcome page =
        HousePageOutcome(g1, base, QByteArray::fromStdString(data.HousePageJson(data.RegionOrgs(0).at(1), 1, kHousePageSize)));
    std::optional<QStringList> row;
    HandleHousePage(run, page, &row);
    const QByteArray hname = "handlers, " + QByteArray::number(fieldMiB) + " MiB field";
    Print(hname.constData(), "peak above start", peak.AboveMiB(), "MiB");
  }

  // 3. A whole run against a portal playing every hostile answer at once.
  {
    const QString g2 = Q(data.OrgGuid(data.RegionOrgs(0).at(2)));
    const QString g3 = Q(data.OrgGuid(data.RegionOrgs(0).at(3)));
    const QString g4 = Q(data.OrgGuid(data.RegionOrgs(0).at(4)));
    const QString g5 = Q(data.OrgGuid(data.RegionOrgs(0).at(5)));
    const QString g6 = Q(data.OrgGuid(data.RegionOrgs(0).at(6)));
    const QString g7 = Q(data.OrgGuid(data.RegionOrgs(0).at(7)));
    QStringList hostile = {"--regions", "3", "--orgs", "60", "--houses", "600", "--seed", "5",
                           "--rate-limit", "3", "--retry-after", "1"};
    const QStringList faults = {
        QStringLiteral("kind=count,match=\"%1\",body=1000000000000").arg(Q(data.Regions()[1].code)),
        QStringLiteral("kind=count,match=\"%1\",body=2147483647").arg(Q(data.Regions()[2].code)),
        QStringLiteral("kind=search,first=1,body={\"total\":9,\"organizationSummaryWithNsiList\":[{\"guid\":\"X\\r\\nhttps://other.host/|||y\"},"
                       "{\"guid\":\"дом\"},{\"guid\":\"%1\"},{\"guid\":\"%2\"},{\"guid\":\"%3\"},{\"guid\":\"%4\"},{\"guid\":\"%5\"},{\"guid\":\"%6\"},"
                       "{\"guid\":\"%7\"},{\"guid\":\"%8\"}]}")
            .arg(g0, g1, g2, g3, g4, g5, g6, g7),
        QStringLiteral("kind=housepage,match=%1,pad=%2").arg(g0).arg(answerBytes),
        QStringLiteral("kind=card,match=%1,fill=%2,body={\"guid\":\"%1\",\"fullName\":\"@@FILL@@\\u0000\\u000b\"}").arg(g1).arg(fieldChars),
        QStringLiteral("kind=card,match=%1,trickle=200").arg(g2),
        QStringLiteral("kind=housecount,match=%1,body={\"total\":1000000000000}").arg(g3),
        QStringLiteral("kind=housecount,match=%1,body={\"total\":-7}").arg(g4),
        QStringLiteral("kind=housepage,match=%1,malformed").arg(g5),
        QStringLiteral("kind=housepage,match=%1,pad=70000000").arg(g6),
    };
    for (const QString& f : faults) hostile << QStringLiteral("--fault") << f;
    SimServer portal(hostile);
    if (!portal.Start(&error)) {
      std::fprintf(stderr, "bench_memory: cannot start the hostile portal: %s\n", qPrintable(error));
      return 1;
    }
    JobRun run;
    for (int r = 0; r < 3; ++r)
      run.view.regions.append({Q(data.Regions()[size_t(r)].name),
                               Q(data.Regions()[size_t(r)].code) + QStringLiteral("$$$") + Q(data.Regions()[size_t(r)].guid)});
    HarvestSettings s = run.Settings(portal);
    s.fetch.totalTimeoutMs = 5000;
    s.fetch.maxAttempts = 10;  // room for the rate limiter's waits
    Peak peak;
    peak.Start();
    run.Create(s);
    if (!run.RunToEnd(std::chrono::minutes(10))) std::fprintf(stderr, "the hostile run did not end\n");
    const double mib = peak.AboveMiB();
    const QStringList texts = LogTexts(run.view.LogLines());
    int kept = 0, refused = 0, failed = 0, waited = 0;
    for (const QString& t : texts) {
      waited += t.contains(QStringLiteral("(Retry-After: "));
      kept += t.contains(QStringLiteral("задача сохранена для следующего запуска"));
      refused += t.startsWith(QStringLiteral("Пропущено организаций"));
      failed += t.contains(QStringLiteral(": ERROR_")) && !t.contains(QStringLiteral(" для "));
    }
    const char* name = "hostile run";
    Print(name, "rows written", run.Rows().size(), "rows");
    Print(name, "answers kept", kept, "tasks");
    Print(name, "failed requests", failed, "tasks");
    Print(name, "skip lines", refused, "lines");
    Print(name, "429 waits", waited, "attempts");
    Print(name, "saved in lists.dat", FileLines(run.dir + QStringLiteral("lists.dat")).size(), "tasks");
    Print(name, "peak above start", mib, "MiB");
    Print(name, "peak resident", double(StatusBytes("VmHWM:")) / (1024.0 * 1024.0), "MiB");
    if (qEnvironmentVariableIsSet("BENCH_MEMORY_LOG")) {
      for (const QString& t : texts) std::fprintf(stderr, "%s\n", qPrintable(t.left(300)));
    }
  }
  return 0;
}
