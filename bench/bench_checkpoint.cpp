// The cost of one saved state of a run: a queue of 100,000 tasks (cards, house counts and
// pages of a country) with the context of 30,000 organisations, saved through RunStore the
// way the job saves it at every checkpoint ("allknown.dat" once, "context.dat" streamed
// entry by entry, then "lists.dat", each synced and renamed), and read back the way a
// resumed run reads it. Prints the time and the peak resident size above what the state
// itself holds.
//
// bench_checkpoint [--tasks N] [--cards N]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/benchutil.h"
#include "harvest/runstore.h"
#include "portal/api.h"

namespace {

QString Guid(int i) { return QStringLiteral("%1-4b1e-4c2d-9f00-%2").arg(i, 8, 16, QLatin1Char('0')).arg(i, 12, 10, QLatin1Char('0')); }

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  int tasks = 100000;
  int orgs = 30000;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QStringLiteral("--tasks")) tasks = qMax(1, args[i + 1].toInt());
    if (args[i] == QStringLiteral("--cards")) orgs = qMax(1, args[i + 1].toInt());
  }
  const QByteArray scenarioName = QStringLiteral("checkpoint-%1k").arg(tasks / 1000).toUtf8();
  const char* scenario = scenarioName.constData();

  const QString base = QStringLiteral("https://portal.example/");
  RunData run;
  for (int r = 0; r < 85; ++r) run.AllKnownList.Add(QStringLiteral("%1$$$%2").arg(r + 1).arg(Guid(1000000 + r)));
  for (int i = 0; i < orgs; ++i) {
    run.OrgRegions.Append(Guid(i), QStringLiteral("Республика Регион %1").arg(i % 85));
    QStringList card;
    for (int c = 0; c < 22; ++c) card << QStringLiteral("поле карточки %1 организации %2").arg(c).arg(i);
    run.OrgCards.Append(Guid(i), card.join(QLatin1Char('\t')));
  }
  run.PendingList.reserve(tasks);
  while (run.PendingList.size() < tasks) {
    const int i = int(run.PendingList.size() % orgs);
    switch ((run.PendingList.size() / orgs) % 3) {
      case 0: run.PendingList << OrgCardTask(base, Guid(i)); break;
      case 1: run.PendingList << HouseCountTask(base, Guid(i)); break;
      default: run.PendingList << HousePageTask(base, 2, Guid(i)); break;
    }
  }
  bench::Print(scenario, "state held", bench::RssMb(), "MB", 1);

  QTemporaryDir dir;
  RunStore store(dir.path() + QLatin1Char('/'), [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
  const int rounds = 5;
  double best = 1e9, total = 0, peak = 0;
  for (int r = 0; r < rounds; ++r) {
    const double before = bench::RssMb();
    bench::ResetPeak();
    QElapsedTimer t;
    t.start();
    if (!store.SaveCheckpoint({run.PendingList, &run, nullptr, {}, false, {}})) return 1;
    const double ms = double(t.nsecsElapsed()) / 1e6;
    peak = std::max(peak, bench::PeakRssMb() - before);
    best = std::min(best, ms);
    total += ms;
  }
  bench::Print(scenario, "save-best", best, "ms", 1);
  bench::Print(scenario, "save-mean", total / rounds, "ms", 1);
  bench::Print(scenario, "save peak growth", peak, "MB", 1);
  bench::Print(scenario, "lists.dat", double(QFileInfo(dir.filePath("lists.dat")).size()) / 1048576.0, "MiB", 1);
  bench::Print(scenario, "context.dat", double(QFileInfo(dir.filePath("context.dat")).size()) / 1048576.0, "MiB", 1);

  const double before = bench::RssMb();
  bench::ResetPeak();
  QElapsedTimer t;
  t.start();
  RunStore reader(dir.path() + QLatin1Char('/'), [](const QString&) {});
  const std::optional<ResumePlan> plan = reader.LoadResumePlan();
  bench::Print(scenario, "load", double(t.nsecsElapsed()) / 1e6, "ms", 1);
  bench::Print(scenario, "load peak growth", bench::PeakRssMb() - before, "MB", 1);
  // What stays: the plan itself (its queue and cards); the rest of the peak was the reading.
  bench::Print(scenario, "loaded plan held", bench::RssMb() - before, "MB", 1);
  return plan && plan->queue.size() == run.PendingList.size() && plan->context.OrgCards.Count() == orgs ? 0 : 1;
}
