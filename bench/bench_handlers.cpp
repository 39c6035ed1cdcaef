// Figures for the answer handlers and the workbook export: one 1000-house page (parse and
// row) and a 30,000-row workbook (time and peak memory).

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "harvest/resultfile.h"
#include "harvest/workbook.h"

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

QString HousePage(int houses) {
  QStringList items;
  for (int i = 0; i < houses; ++i) {
    QString item = QStringLiteral(
                       R"({"guid":"5f0c%1-7a2e-4c1b-9d3e-00000000%1","operationYear":%2,"buildingYear":"%3",)"
                       R"("address":{"formattedAddress":"г. Москва, ул. Профсоюзная, д. %1, корп. 2",)"
                       R"("region":{"guid":"0c5b2444","name":"Москва"},"fiasHouseGuid":"a%1"},)"
                       R"("residentialPremiseCount":%4,"totalSquare":%5.25)")
                       .arg(i, 4, 10, QChar(u'0'))
                       .arg(1950 + i % 70)
                       .arg(1940 + i % 80)
                       .arg(10 + i % 300)
                       .arg(1000 + i);
    for (int m = 0; m < 20; ++m) item += QStringLiteral(R"(,"member%1":"значение %1 дома")").arg(m);
    items << item + u'}';
  }
  return QStringLiteral(R"({"total":%1,"items":[%2]})").arg(houses).arg(items.join(u','));
}

}  // namespace

int main() {
  RunData run;
  run.baseUrl = QStringLiteral("https://portal.test/");
  QStringList card;
  for (int i = 0; i < kCardColumnCount; ++i) card << QStringLiteral("значение \"%1\"").arg(i);
  run.OrgRegions.Append(QStringLiteral("org"), QStringLiteral("Москва"));
  run.OrgCards.Append(QStringLiteral("org"), card.join(u'\t'));
  // Workbook first, so that its memory figure is not hidden by the page's.
  // A 30,000-row result file turned into a workbook.
  QTemporaryDir dir;
  const QString tab = dir.filePath(QStringLiteral("data1.tab"));
  const QString xlsx = dir.filePath(QStringLiteral("data1.xlsx"));
  {
    ResultFile file;
    QString error;
    if (!file.Open(tab, &error)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(error));
      return 1;
    }
    QStringList addresses;
    for (int h = 0; h < 20; ++h) addresses << QStringLiteral("г. Москва, ул. Профсоюзная, д. %1").arg(h);
    for (int r = 0; r < 30000; ++r) {
      QStringList row;
      row << QStringLiteral("Москва") << QStringLiteral("guid-%1").arg(r) << card
          << QStringLiteral("20") << QStringLiteral("1990,1985") << QStringLiteral("1980")
          << addresses.join(u'|') << QString::number(r % 5000) << QStringLiteral("https://portal.test/#!/x");
      file.WriteRow(row);
    }
  }
  const long rssBefore = PeakRssKb();
  QElapsedTimer timer;
  timer.start();
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  const double exportSeconds = double(timer.nsecsElapsed()) / 1e9;
  if (!out.ok) {
    std::fprintf(stderr, "export failed: %s\n", qPrintable(out.error));
    return 1;
  }
  std::printf("BENCH\tworkbook 30000\trows\t%d\tcount\n", out.rows);
  std::printf("BENCH\tworkbook 30000\tresult file\t%.1f\tMB\n", double(QFileInfo(tab).size()) / 1e6);
  std::printf("BENCH\tworkbook 30000\texport\t%.2f\ts\n", exportSeconds);
  std::printf("BENCH\tworkbook 30000\tpeak RSS\t%.1f\tMB\n", double(PeakRssKb()) / 1024);
  std::printf("BENCH\tworkbook 30000\tRSS growth\t%.1f\tMB\n", double(PeakRssKb() - rssBefore) / 1024);
  // One 1000-house page: the handler's whole work for it.
  WorkerOutcome worker;
  worker.orgguid = QStringLiteral("org");
  worker.html = HousePage(1000);
  const int rounds = 50;
  timer.restart();
  qsizetype sink = 0;
  for (int r = 0; r < rounds; ++r) sink += HousePageRow(run, worker)->join(u'\t').size();
  const double msPerPage = double(timer.nsecsElapsed()) / 1e6 / rounds;
  std::printf("BENCH\thouse page 1000\tanswer size\t%lld\tbytes\n", (long long)worker.html.toUtf8().size());
  std::printf("BENCH\thouse page 1000\tparse+row\t%.2f\tms/page\n", msPerPage);
  std::printf("BENCH\thouse page 1000\trow size\t%lld\tchars\n", (long long)(sink / rounds));

  return 0;
}
