// A country's plan in memory and on disk: a queue of 1,000,000 house page tasks and 30,000
// fetched cards (the job's lists as a whole-country run holds them), then "lists.dat" saved
// and loaded again the way the job does it (written as UTF-8 with its mark, read with ReadTextLines).
//
// bench_plan [--tasks N] [--cards N]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/benchutil.h"
#include "harvest/cards.h"
#include "harvest/rundata.h"
#include "portal/api.h"
#include "platform/atomicfile.h"
#include "text/textfile.h"

namespace {

QString Guid(int i) {
  return QStringLiteral("%1-7a2e-4c1b-9d3e-%2")
      .arg(i, 8, 16, QChar(u'0'))
      .arg(qint64(i) * 7919, 12, 16, QChar(u'0'));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int tasks = 1000000;
  int cards = 30000;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QStringLiteral("--tasks")) tasks = qMax(1, args[i + 1].toInt());
    if (args[i] == QStringLiteral("--cards")) cards = qMax(1, args[i + 1].toInt());
  }
  const QString base = QStringLiteral("https://127.0.0.1:8443/");
  const char* scenario = "country plan";

  const double rss0 = bench::RssMb();
  bench::ResetPeak();
  RunData data;
  data.PendingList.reserve(1000000);
  for (int i = 0; i < tasks; ++i) data.PendingList.append(HousePageTask(base, 1 + i % 40, Guid(i % 30000)));
  const double rssQueue = bench::RssMb();
  // A card: 22 columns of typical lengths, Cyrillic, joined by TAB.
  QStringList columns;
  for (int c = 0; c < kCardColumnCount; ++c)
    columns << QStringLiteral("Общество с ограниченной ответственностью «Управляющая компания %1»").arg(c);
  for (int i = 0; i < cards; ++i) {
    data.OrgRegions.Append(Guid(i), QStringLiteral("Московская область"));
    data.OrgCards.Append(Guid(i), QString(columns.join(u'\t')) + QString::number(i));
  }
  const double rssCards = bench::RssMb();
  bench::Print(scenario, "queued tasks", tasks, "count", 0);
  bench::Print(scenario, "queue memory", rssQueue - rss0, "MB", 1);
  bench::Print(scenario, "cards", cards, "count", 0);
  bench::Print(scenario, "cards memory", rssCards - rssQueue, "MB", 1);

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("lists.dat"));
  QElapsedTimer clock;
  clock.start();
  // The bytes the job writes: the UTF-8 mark, every line ended by CR LF.
  QByteArray bytes("\xEF\xBB\xBF");
  for (const QString& line : data.PendingList) bytes += line.toUtf8() + "\r\n";
  if (const FileOutcome written = WriteFileAtomically(path, bytes); !written) {
    std::fprintf(stderr, "bench_plan: %s\n", qPrintable(written.reason));
    return 1;
  }
  bench::Print(scenario, "save lists.dat", double(clock.nsecsElapsed()) / 1e9, "s", 2);
  bench::Print(scenario, "lists.dat size", double(QFileInfo(path).size()) / 1e6, "MB", 1);

  const double rssBeforeLoad = bench::RssMb();
  clock.restart();
  QStringList loaded;
  loaded.reserve(1000000);
  if (const FileOutcome read = ReadTextLines(path, &loaded); !read) {
    std::fprintf(stderr, "bench_plan: %s\n", qPrintable(read.reason));
    return 1;
  }
  bench::Print(scenario, "load lists.dat", double(clock.nsecsElapsed()) / 1e9, "s", 2);
  if (loaded != data.PendingList) std::fprintf(stderr, "bench_plan: the queue read back differs\n");
  bench::Print(scenario, "loaded memory", bench::RssMb() - rssBeforeLoad, "MB", 1);
  bench::Print(scenario, "peak growth", bench::PeakRssMb() - rss0, "MB", 1);
  return 0;
}
