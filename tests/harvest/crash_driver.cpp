// A whole run of the job without a window, for the kill-and-resume checks: it selects every
// region of a cities.txt, continues whatever queue the folder holds (as "No" to the
// leftovers question does), and can kill itself at once (SIGKILL, TerminateProcess) at the K-th time the job
// reaches a named moment. Killed from outside, it simply dies where it stands.
//
//   crash_driver --dir D --base URL --cert F --key F --cities FILE
//                [--limit N] [--pass-wait MS] [--checkpoint-ms MS] [--kill-at MOMENT:K]
// Exit code 0 once the run has ended.
//
//   crash_driver --compare REFERENCE_DIR DIR
// prints the rows of REFERENCE_DIR's result files that DIR's lack (lost) and the ones DIR
// has in excess (doubled); exit code 0 when both are 0 and every row is whole.


#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstring>

#include "portal/curlglobal.h"
#include "portal/tlsidentity.h"
#include "tests/harvest/run_support.h"
#include "tests/support/testplatform.h"

int main(int argc, char* argv[]) {
  const CurlGlobal curl;  // before any thread
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  auto value = [&](const char* name, const QString& fallback = QString()) {
    const qsizetype i = args.indexOf(QString::fromLatin1(name));
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
  };

  const qsizetype compare = args.indexOf(QStringLiteral("--compare"));
  if (compare >= 0 && compare + 2 < args.size()) {
    QStringList problems;
    QStringList reference = ResultRowsOf(args[compare + 1], &problems);
    QStringList got = ResultRowsOf(args[compare + 2], &problems);
    IgnoreRaceOfSharedOrganisations(reference, got);
    QStringList examples;
    const auto [lost, doubled] = LostAndDoubled(reference, got, &examples);
    for (const QString& line : problems + examples) std::printf("%s\n", line.toUtf8().constData());
    std::printf("reference rows %lld, rows %lld, lost %d, doubled %d\n", static_cast<long long>(reference.size()),
                static_cast<long long>(got.size()), lost, doubled);
    return lost == 0 && doubled == 0 && problems.isEmpty() ? 0 : 1;
  }

  HarvestSettings s = TestHarvestSettings(value("--base"));
  s.dir = value("--dir");
  if (!s.dir.endsWith(QLatin1Char('/'))) s.dir += QLatin1Char('/');
  s.fetch.certFile = value("--cert");
  s.fetch.keyFile = value("--key");
  {
    auto identity = std::make_shared<TlsIdentity>();
    QString error;
    if (!identity->Load(s.fetch.certFile, s.fetch.keyFile, s.fetch.keyPassphrase, &error)) {
      std::fprintf(stderr, "crash_driver: %s\n", qPrintable(error));
      return 2;
    }
    s.fetch.identity = std::move(identity);
  }
  s.fetch.maxAttempts = 5;
  s.fetch.failPauseMs = 20;
  s.passWaitMs = value("--pass-wait", QStringLiteral("1")).toInt();
  s.checkpointIntervalMs = value("--checkpoint-ms", QStringLiteral("60000")).toInt();
  s.errorPauseMs = 100;
  s.deleteWhenDone = false;

  // MOMENT:K, or ARM>MOMENT:K to count only once the moment ARM has passed.
  QString killAt = value("--kill-at");
  if (!killAt.isEmpty()) {
    QByteArray arm;
    if (killAt.contains(QLatin1Char('>'))) {
      arm = killAt.section(QLatin1Char('>'), 0, 0).toUtf8();
      killAt = killAt.section(QLatin1Char('>'), 1);
    }
    const qsizetype colon = killAt.lastIndexOf(QLatin1Char(':'));
    const QByteArray moment = killAt.left(colon).toUtf8();
    const int count = killAt.mid(colon + 1).toInt();
    auto armed = std::make_shared<bool>(arm.isEmpty());
    auto seen = std::make_shared<int>(0);
    s.moment = [arm, moment, count, armed, seen](const char* name) {
      if (*armed && moment == name && ++*seen == count) KillThisProcess();
      if (arm == name) *armed = true;
    };
  }

  RecordingView view;
  view.limit = value("--limit", QStringLiteral("3")).toInt();
  QStringList cities;
  if (!ReadTextLines(value("--cities"), &cities)) {
    std::fprintf(stderr, "crash_driver: cannot read the cities file\n");
    return 2;
  }
  for (const QString& line : cities) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq > 0) view.regions.append(RegionItem{line.left(eq), line.mid(eq + 1)});
  }

  TScraper job(&view, s);
  view.job = &job;
  job.start();
  const bool ended = view.WaitEnded(std::chrono::minutes(30));
  view.JoinTimers();
  job.wait();
  if (value("--print-log") == QLatin1String("1"))
    for (const QString& line : view.LogLines()) std::printf("%s\n", line.toUtf8().constData());
  return ended ? 0 : 3;
}
