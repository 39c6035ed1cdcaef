// A whole country's harvest kept in the history: 85 regions, 30,000 organisations, 1,000,000
// houses, written as result files (rows of the usual shapes, addresses of about 100 bytes,
// made here without the network), imported into a fresh "history.sqlite"; then the same
// country a while later (5 % of the cards changed, 1 % of the organisations gone and as many
// new, 10,000 houses moved to another organisation) imported, and its change report made.
// Prints the seconds of each step, the megabytes each harvest added to the database, and the
// peak resident size of the import and the report (the files' making excluded).
//
// bench_history [--orgs N] [--houses N] [--keep DIR]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/benchutil.h"
#include "harvest/changereport.h"
#include "harvest/history.h"
#include "harvest/resultfile.h"
#include "tools/portal-sim/dataset.h"

namespace {

quint64 Mix(quint64 x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

QString Guid(int i) { return QStringLiteral("%1-4b1e-4c2d-9f00-%2").arg(Mix(i) & 0xffffffff, 8, 16, QLatin1Char('0')).arg(i, 12, 10, QLatin1Char('0')); }

const char* const kCities[] = {"Заречный", "Октябрьский", "Первомайский", "Северск", "Новоград", "Солнечногорск", "Лесной", "Приозёрск"};
const char* const kStreets[] = {"ул. Ленина", "ул. Мира", "ул. Советская", "ул. Садовая", "ул. Молодёжная", "пр-кт Гагарина", "наб. Речная", "б-р Победы"};

// House h of the country: its address (about 100 bytes of UTF-8).
QString HouseAddress(const QString& region, qint64 h) {
  const quint64 m = Mix(quint64(h) + 77);
  return QStringLiteral("%1, %2, г. %3, %4, д. %5, корп. %6")
      .arg(100000 + m % 600000)
      .arg(region, QString::fromUtf8(kCities[(m >> 20) % 8]), QString::fromUtf8(kStreets[(m >> 23) % 8]))
      .arg((m >> 26) % 180 + 1)
      .arg(h % 7 + 1);
}

struct Country {
  int orgs = 30000;
  qint64 houses = 1000000;
  bool mutated = false;
  std::vector<std::string> regions;

  int RegionOf(int org) const { return int(Mix(quint64(org)) % regions.size()); }
  // Houses 0..houses-1 are spread over the organisations of the first harvest in runs;
  // a few organisations hold more than 1000 (several rows).
  qint64 FirstHouse(int org) const { return qint64(double(houses) * org / orgs); }
  bool Gone(int org) const { return mutated && Mix(quint64(org) * 3 + 1) % 100 == 0; }
  bool Changed(int org) const { return mutated && Mix(quint64(org) * 5 + 2) % 100 < 5; }
  // A moved house goes to the next organisation of the same region (WriteHarvest).
  bool Moved(qint64 h) const { return mutated && Mix(quint64(h) * 7 + 3) % 100 == 0; }
};

QStringList CardOf(const Country& c, int org) {
  QStringList card;
  const QString guid = Guid(org);
  const QString region = QString::fromStdString(c.regions[size_t(c.RegionOf(org))]);
  card << QStringLiteral("ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ 'УПРАВЛЯЮЩАЯ КОМПАНИЯ 'ДОМ-%1''").arg(org)
       << QStringLiteral("ООО 'УК 'ДОМ-%1''").arg(org) << QStringLiteral("1%1").arg(org, 12, 10, QLatin1Char('0'))
       << QStringLiteral("12.03.2010") << QStringLiteral("%1").arg(org, 10, 10, QLatin1Char('0'))
       << QStringLiteral("770101001") << QStringLiteral("12300-Общества с ограниченной ответственностью")
       << QStringLiteral("123456, %1, г. Заречный, ул. Ленина, д. %2").arg(region).arg(org % 180)
       << QStringLiteral("123456, %1, г. Заречный, ул. Мира, д. %2").arg(region).arg(org % 170)
       << QStringLiteral("123456, %1, г. Заречный, ул. Мира, д. %2").arg(region).arg(org % 170)
       << (c.Changed(org) ? QStringLiteral("+7 (900) 000-%1").arg(org) : QStringLiteral("+7 (495) 123-%1").arg(org))
       << QStringLiteral("uk%1@mail.ru").arg(org) << QStringLiteral("www.uk%1.ru").arg(org)
       << (c.Changed(org) ? QStringLiteral("Петров") : QStringLiteral("Иванов")) << QStringLiteral("Сергей")
       << QStringLiteral("Александрович");
  for (int i = 0; i < 6; ++i) card << QString();
  return card;
}

// Writes the harvest's rows into one result file, a row at a time.
qint64 WriteHarvest(const Country& c, const QString& path) {
  ResultFile file;
  if (!file.Open(path).ok) return -1;
  qint64 rows = 0;
  // Houses by organisation: its own run of houses minus the moved ones, plus the moved ones
  // of the organisation before it in its region (found by walking back).
  std::vector<int> previousInRegion(size_t(c.orgs), -1);
  std::vector<int> last(c.regions.size(), -1);
  for (int org = 0; org < c.orgs; ++org) {
    previousInRegion[size_t(org)] = last[size_t(c.RegionOf(org))];
    last[size_t(c.RegionOf(org))] = org;
  }
  const auto writeRow = [&](int org, const QStringList& card, const QStringList& addresses) {
    const QString region = QString::fromStdString(c.regions[size_t(c.RegionOf(org))]);
    QStringList row;
    row << region << Guid(org) << card;
    if (addresses.isEmpty()) {
      for (int i = 0; i < 5; ++i) row << QStringLiteral("Нет домов");
    } else {
      row << QString::number(addresses.size()) << QStringLiteral("1975,1976") << QStringLiteral("1975")
          << addresses.join(u'|') << QString::number(addresses.size() * 60);
    }
    row << QStringLiteral("https://portal.example/ppa/org/") + Guid(org);
    if (file.WriteRow(row).ok) ++rows;
  };
  const int count = c.mutated ? c.orgs + c.orgs / 100 : c.orgs;
  for (int org = 0; org < count; ++org) {
    if (org >= c.orgs) {  // new organisations: a few new houses each
      QStringList addresses;
      for (int k = 0; k < 10; ++k) addresses << HouseAddress(QString::fromStdString(c.regions[size_t(c.RegionOf(org))]), c.houses + qint64(org) * 10 + k);
      writeRow(org, CardOf(c, org), addresses);
      continue;
    }
    if (c.Gone(org)) continue;
    const QString region = QString::fromStdString(c.regions[size_t(c.RegionOf(org))]);
    QStringList addresses;
    for (qint64 h = c.FirstHouse(org); h < c.FirstHouse(org + 1); ++h)
      if (!c.Moved(h)) addresses << HouseAddress(region, h);
    // Houses moved here from the previous organisation of the region.
    const int from = previousInRegion[size_t(org)];
    if (from >= 0)
      for (qint64 h = c.FirstHouse(from); h < c.FirstHouse(from + 1); ++h)
        if (c.Moved(h)) addresses << HouseAddress(region, h);
    const QStringList card = CardOf(c, org);
    if (addresses.isEmpty()) writeRow(org, card, addresses);
    for (qsizetype page = 0; page < addresses.size(); page += 1000) writeRow(org, card, addresses.mid(page, 1000));
  }
  if (!file.Close().ok) return -1;
  return rows;
}

double FileMb(const QString& path) { return double(QFileInfo(path).size()) / 1048576.0; }

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  Country c;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QStringLiteral("--orgs")) c.orgs = qMax(1, args[i + 1].toInt());
    if (args[i] == QStringLiteral("--houses")) c.houses = qMax(1LL, args[i + 1].toLongLong());
  }
  simdata::Config regions;
  regions.regions = 85;
  regions.orgs = 0;
  regions.houses = 0;
  const simdata::Dataset names(regions);
  for (const simdata::Region& r : names.Regions()) c.regions.push_back(r.name);
  const char* scenario = "country";

  QTemporaryDir dir;
  // --keep DIR: the files stay there for a look afterwards.
  const qsizetype keep = args.indexOf(QStringLiteral("--keep"));
  const QString folder = keep > 0 && keep + 1 < args.size() ? args[keep + 1] + QLatin1Char('/') : dir.path() + QLatin1Char('/');
  const QString first = folder + QStringLiteral("data1.tab");
  const QString second = folder + QStringLiteral("data2.tab");
  bench::Print(scenario, "rows, first", double(WriteHarvest(c, first)), "rows", 0);
  c.mutated = true;
  bench::Print(scenario, "rows, second", double(WriteHarvest(c, second)), "rows", 0);
  bench::Print(scenario, "result files", FileMb(first) + FileMb(second), "MB", 1);

  const QString db = folder + HarvestHistory::FileName();
  HarvestRecord record;
  for (const std::string& name : c.regions)
    record.regions.append({QStringLiteral("%1$$$key").arg(QString::fromStdString(name)), QString::fromStdString(name)});
  record.resultFiles = {first};
  record.started = QStringLiteral("2026-01-01T00:00:00+03:00");
  record.finished = record.started;

  bench::ResetPeak();
  const double rssBefore = bench::RssMb();
  HarvestHistory history(db);
  QElapsedTimer timer;
  timer.start();
  ImportOutcome one = history.Import(record);
  if (!one.outcome.ok) {
    std::fprintf(stderr, "%s\n", qPrintable(one.outcome.reason));
    return 1;
  }
  bench::Print(scenario, "import 1", timer.elapsed() / 1000.0, "s");
  const double afterOne = FileMb(db);
  bench::Print(scenario, "db after 1", afterOne, "MB", 1);
  bench::Print(scenario, "houses 1", double(one.houses), "houses", 0);

  record.resultFiles = {second};
  record.started = QStringLiteral("2026-04-01T00:00:00+03:00");
  timer.restart();
  ImportOutcome two = history.Import(record);
  if (!two.outcome.ok) {
    std::fprintf(stderr, "%s\n", qPrintable(two.outcome.reason));
    return 1;
  }
  bench::Print(scenario, "import 2", timer.elapsed() / 1000.0, "s");
  bench::Print(scenario, "db added by 2", FileMb(db) - afterOne, "MB", 1);

  timer.restart();
  const ReportOutcome report =
      WriteChangeReport(history, two.harvestId, folder + QStringLiteral("changes2.xlsx"), folder + QStringLiteral("changes2.tab"));
  if (!report.outcome.ok) {
    std::fprintf(stderr, "%s\n", qPrintable(report.outcome.reason));
    return 1;
  }
  bench::Print(scenario, "report", timer.elapsed() / 1000.0, "s");
  bench::Print(scenario, "report lines", double(report.lines), "lines", 0);
  qint64 moved = 0, changed = 0, gone = 0, added = 0;
  for (const RegionSummary& s : report.summary) {
    moved += s.housesMoved;
    changed += s.changedOrgs;
    gone += s.gone;
    added += s.added;
  }
  bench::Print(scenario, "houses moved", double(moved), "houses", 0);
  bench::Print(scenario, "orgs changed", double(changed), "orgs", 0);
  bench::Print(scenario, "orgs gone/added", double(gone * 100000 + added), "gone*1e5+added", 0);
  bench::Print(scenario, "RSS before", rssBefore, "MB", 1);
  bench::Print(scenario, "peak RSS", bench::PeakRssMb(), "MB", 1);
  return 0;
}
