// Imports a harvest into a history database and ends itself as a kill would after the K-th
// row, inside the import's transaction: the test then sees what a killed import leaves.
//
//   history_driver DATABASE K STARTED RESULT_FILE...

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "harvest/history.h"
#include "tests/support/testplatform.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 5) {
    std::fprintf(stderr, "usage: history_driver DATABASE K STARTED RESULT_FILE...\n");
    return 2;
  }
  HarvestHistory history(args[1]);
  const qint64 killAt = args[2].toLongLong();
  history.SetRowHook([killAt](qint64 rows) {
    if (rows == killAt) KillThisProcess();
  });
  HarvestRecord record;
  record.started = args[3];
  record.finished = args[3];
  record.resultFiles = args.mid(4);
  const ImportOutcome out = history.Import(record);
  if (!out.outcome.ok) std::fprintf(stderr, "%s\n", out.outcome.reason.toLocal8Bit().constData());
  return out.outcome.ok ? 0 : 1;
}
