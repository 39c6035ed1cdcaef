// Figures for the answer handlers and the workbook export: one 1000-house page (parse and
// row) and a 30,000-row workbook (time and peak memory), beside the floor: libxlsxwriter
// alone writing the same cells, read from the same file, with nothing else done.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>

#include <xlsxwriter.h>

#include <QFile>

#include "bench/benchutil.h"
#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "harvest/resultfile.h"
#include "harvest/workbook.h"

namespace {

// The floor of the export: the same rows split at TAB and written as strings (the links as
// formulas) in the same streaming mode, without the export's checks, widths, numbers or
// header format.
bool BareWorkbook(const QString& tabPath, const QString& xlsxPath) {
  QFile tab(tabPath);
  if (!tab.open(QIODevice::ReadOnly)) return false;
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  lxw_workbook* wb = workbook_new_opt(QFile::encodeName(xlsxPath).constData(), &options);
  if (!wb) return false;
  lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
  lxw_row_t row = 0;
  while (!tab.atEnd()) {
    QByteArray line = tab.readLine();
    if (row == 0 && line.startsWith("\xEF\xBB\xBF")) line.remove(0, 3);
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    lxw_col_t col = 0;
    for (const QByteArray& field : line.split('\t')) {
      // Links as the export writes them, but without checks or escaping.
      if (!field.isEmpty() && row > 0 && col == 29)
        worksheet_write_formula_str(ws, row, col, ("=HYPERLINK(\"" + field + "\")").constData(), nullptr,
                                    field.constData());
      else if (!field.isEmpty())
        worksheet_write_string(ws, row, col, field.constData(), nullptr);
      ++col;
    }
    ++row;
  }
  return workbook_close(wb) == LXW_NO_ERROR;
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
    if (const FileOutcome opened = file.Open(tab); !opened) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(opened.reason));
      return 1;
    }
    QStringList addresses;
    for (int h = 0; h < 20; ++h) addresses << QStringLiteral("г. Москва, ул. Профсоюзная, д. %1").arg(h);
    for (int r = 0; r < 30000; ++r) {
      QStringList row;
      row << QStringLiteral("Москва") << QStringLiteral("guid-%1").arg(r) << card
          << QStringLiteral("20") << QStringLiteral("1990,1985") << QStringLiteral("1980")
          << addresses.join(u'|') << QString::number(r % 5000)
          << QStringLiteral("https://portal.test/#!/organizationView/5f0c%1-7a2e-4c1b-9d3e-000000000000").arg(r, 4, 16, QChar(u'0'));
      if (const FileOutcome written = file.WriteRow(row); !written) {
        std::fprintf(stderr, "bench_handlers: %s\n", qPrintable(written.reason));
        return 1;
      }
    }
  }
  bench::ResetPeak();
  double rssBefore = bench::RssMb();
  QElapsedTimer timer;
  timer.start();
  if (!BareWorkbook(tab, dir.filePath(QStringLiteral("bare.xlsx")))) {
    std::fprintf(stderr, "the bare workbook failed\n");
    return 1;
  }
  const double bareSeconds = double(timer.nsecsElapsed()) / 1e9;
  const double barePeak = bench::PeakRssMb() - rssBefore;

  bench::ResetPeak();
  rssBefore = bench::RssMb();
  timer.restart();
  const WorkbookOutcome out = ExportWorkbook(tab, xlsx);
  const double exportSeconds = double(timer.nsecsElapsed()) / 1e9;
  const double exportPeak = bench::PeakRssMb() - rssBefore;
  if (!out.ok) {
    std::fprintf(stderr, "export failed: %s\n", qPrintable(out.reason));
    return 1;
  }
  bench::Print("workbook 30000", "rows", out.rows, "count", 0);
  bench::Print("workbook 30000", "result file", double(QFileInfo(tab).size()) / 1e6, "MB", 1);
  bench::Print("workbook 30000", "export", exportSeconds, "s");
  bench::Print("workbook 30000", "floor", bareSeconds, "s");
  bench::Print("workbook 30000", "x floor", exportSeconds / bareSeconds, "x");
  bench::Print("workbook 30000", "peak growth", exportPeak, "MB", 1);
  bench::Print("workbook 30000", "floor peak", barePeak, "MB", 1);
  // One 1000-house page: the handler's whole work for it.
  WorkerOutcome worker;
  worker.orgguid = QStringLiteral("org");
  worker.html = HousePage(1000).toUtf8();
  const int rounds = 50;
  timer.restart();
  qsizetype sink = 0;
  for (int r = 0; r < rounds; ++r) sink += HousePageRow(run, worker)->join(u'\t').size();
  const double msPerPage = double(timer.nsecsElapsed()) / 1e6 / rounds;
  std::printf("BENCH\thouse page 1000\tanswer size\t%lld\tbytes\n", (long long)worker.html.size());
  std::printf("BENCH\thouse page 1000\tparse+row\t%.2f\tms/page\n", msPerPage);
  std::printf("BENCH\thouse page 1000\trow size\t%lld\tchars\n", (long long)(sink / rounds));

  return 0;
}
