// The cost of one saved state of a run: a queue of 100,000 tasks (cards, house counts and
// pages of a country) with the context of 30,000 organisations, written the way the job
// writes it at every checkpoint (queue bytes and their digest, the context entries, both
// files synced and renamed), and read back the way a resumed run reads it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

#include "harvest/job_context.h"
#include "portal/api.h"
#include "text/atomicfile.h"
#include "text/textfile.h"

namespace {

void Print(const char* scenario, const char* metric, double value, const char* unit) {
  std::printf("BENCH\t%s\t%s\t%.1f\t%s\n", scenario, metric, value, unit);
}

QString Guid(int i) { return QStringLiteral("%1-4b1e-4c2d-9f00-%2").arg(i, 8, 16, QLatin1Char('0')).arg(i, 12, 10, QLatin1Char('0')); }

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  const QString base = QStringLiteral("https://portal.example/");
  RunData run;
  QStringList queue;
  const int orgs = 30000;
  for (int i = 0; i < orgs; ++i) {
    run.OrgRegions.Append(Guid(i), QStringLiteral("Республика Регион %1").arg(i % 85));
    QStringList card;
    for (int c = 0; c < 22; ++c) card << QStringLiteral("поле карточки %1 организации %2").arg(c).arg(i);
    run.OrgCards.Append(Guid(i), card.join(QLatin1Char('\t')));
  }
  while (queue.size() < 100000) {
    const int i = int(queue.size() % orgs);
    switch ((queue.size() / orgs) % 3) {
      case 0: queue << OrgCardTask(base, Guid(i)); break;
      case 1: queue << HouseCountTask(base, Guid(i)); break;
      default: queue << HousePageTask(base, 2, Guid(i)); break;
    }
  }

  QTemporaryDir dir;
  const QString lists = dir.path() + QStringLiteral("/lists.dat");
  const QString context = dir.path() + QStringLiteral("/context.dat");
  const int rounds = 5;
  double best = 1e9, total = 0;
  qint64 listsBytes = 0, contextBytes = 0;
  for (int r = 0; r < rounds; ++r) {
    QElapsedTimer t;
    t.start();
    const QByteArray bytes = Utf8FileBytes(queue);
    ContextFile file;
    file.current = QueueRecord{QueueHash(bytes), QStringLiteral("data1.tab"), 123456};
    file.entries = JobContextEntries(run, queue);
    const QStringList contextLines = ContextFileLines(file);
    if (!WriteLinesUtf8(context, contextLines) || !WriteFileAtomically(lists, bytes)) return 1;
    const double ms = t.nsecsElapsed() / 1e6;
    best = std::min(best, ms);
    total += ms;
    listsBytes = bytes.size();
    contextBytes = QFileInfo(context).size();
  }
  Print("checkpoint-100k", "save-best", best, "ms");
  Print("checkpoint-100k", "save-mean", total / rounds, "ms");
  Print("checkpoint-100k", "lists.dat", listsBytes / 1048576.0, "MiB");
  Print("checkpoint-100k", "context.dat", contextBytes / 1048576.0, "MiB");

  QElapsedTimer t;
  t.start();
  QByteArray bytes;
  QStringList back, contextBack;
  ReadFileBytes(lists, &bytes);
  back = SplitTextLines(DecodeTextBytes(bytes));
  const QString hash = QueueHash(bytes);
  ReadTextLines(context, &contextBack);
  RunData loaded;
  LoadJobContextEntries(ParseContextFile(contextBack).entries, loaded);
  Print("checkpoint-100k", "load", t.nsecsElapsed() / 1e6, "ms");
  return back.size() == queue.size() && !hash.isEmpty() ? 0 : 1;
}
