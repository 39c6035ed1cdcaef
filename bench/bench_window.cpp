// The window's share of a run: log lines added to the real window (offscreen, shown) from
// worker threads that wait for each line, as the job and its workers do.
//  - "paced" phases: lines at the rate of a run (about 33 a second from three threads) for a
//    few seconds, once with an empty log and once with 200,000 lines in it: the window
//    thread's CPU per line (repaints included) and the event loop's lateness (how late a
//    25 ms timer fires);
//  - the fill: 200,000 lines as fast as four threads get them in: CPU per line for the first
//    and the last 20,000, lateness, memory;
//  - the end of a run: the lines read back and written to the log file.
//
// bench_window [--lines N] [--paced-seconds S]

#include <limits>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/mainform.h"
#include "bench/benchutil.h"
#include "harvest/logfile.h"
#include "harvest/scraper.h"
#include "portal/api.h"
#include "text/textfile.h"

namespace {

class SilentDialogs : public Dialogs {
 public:
  void Error(const QString&) override {}
  void Info(const QString&) override {}
  bool Ask(const QString&) override { return true; }
};

// Watches the event loop: a 25 ms timer that notes how late it fires (its own cost is in the
// window's figures, about what a timer of the window costs).
class LatenessProbe {
 public:
  LatenessProbe() {
    timer_.setInterval(kIntervalMs);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.nsecsElapsed();
      if (last_ > 0) worst_ = std::max(worst_, double(now - last_) / 1e6 - kIntervalMs);
      last_ = now;
    });
    clock_.start();
    timer_.start();
  }
  void Reset() {
    worst_ = 0;
    last_ = 0;
  }
  double WorstMs() const { return worst_; }

 private:
  static constexpr int kIntervalMs = 25;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  double worst_ = 0;
};

// A log line as a run writes them: the worker's start line of a house page request.
QString RunLine(int i) {
  return LogLine(QStringLiteral("Запускаем code:4 url: ") +
                 HousePageTask(QStringLiteral("https://127.0.0.1:8443/"), 1 + i % 3,
                               QStringLiteral("5f0c%1-7a2e-4c1b-9d3e-0000%1").arg(i, 8, 10, QChar(u'0'))));
}

// Runs `threads` threads that add `perThread` lines each, waiting `gapMs` between lines,
// while the window's event loop runs; returns the window thread's CPU seconds.
double AddLines(TMainForm& form, int threads, int perThread, int gapMs, std::atomic<int>& counter) {
  std::atomic<int> running{threads};
  std::vector<std::thread> workers;
  QEventLoop loop;
  const double cpu0 = bench::ThreadCpuSeconds();
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        form.AddLogLine(RunLine(counter++));
        if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
      }
      if (--running == 0) QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
  loop.exec();
  for (std::thread& w : workers) w.join();
  QApplication::processEvents();
  return bench::ThreadCpuSeconds() - cpu0;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int total = 200000;
  int pacedSeconds = 6;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QStringLiteral("--lines")) total = std::max(40000, args[i + 1].toInt());
    if (args[i] == QStringLiteral("--paced-seconds")) pacedSeconds = std::max(1, args[i + 1].toInt());
  }

  QTemporaryDir dir;
  TMainForm form(dir.path() + QLatin1Char('/'), HarvestSettings(), std::make_shared<SilentDialogs>());
  form.show();
  QApplication::processEvents();
  LatenessProbe probe;
  std::atomic<int> counter{0};

  // A run's rate: three workers, one line every 90 ms each.
  const int pacedPerThread = pacedSeconds * 1000 / 90;
  auto paced = [&](const char* scenario) {
    probe.Reset();
    const int before = counter.load();
    const double cpu = AddLines(form, 3, pacedPerThread, 90, counter);
    const int lines = counter.load() - before;
    bench::Print(scenario, "window CPU", 1000.0 * cpu / lines, "ms/line", 3);
    bench::Print(scenario, "lateness max", probe.WorstMs(), "ms", 1);
  };
  paced("window paced @0");

  // The fill, in steps, so that the cost at the start and at the end can be told apart.
  const double rss0 = bench::RssMb();
  bench::ResetPeak();
  const int step = 20000;
  const int steps = total / step;
  double firstCpu = 0;
  double lastCpu = 0;
  double worstLateness = 0;
  QElapsedTimer fillClock;
  fillClock.start();
  for (int s = 0; s < steps; ++s) {
    probe.Reset();
    const double cpu = AddLines(form, 4, step / 4, 0, counter);
    worstLateness = std::max(worstLateness, probe.WorstMs());
    if (s == 0) firstCpu = cpu;
    if (s == steps - 1) lastCpu = cpu;
  }
  const double fillSeconds = double(fillClock.nsecsElapsed()) / 1e9;
  const double rss1 = bench::RssMb();
  const qsizetype lines = form.LogsMemo->LineCount();
  bench::Print("window fill", "lines", double(lines), "count", 0);
  bench::Print("window fill", "rate", double(steps * step) / fillSeconds, "lines/s", 0);
  bench::Print("window fill", "CPU first 20k", 1000.0 * firstCpu / step, "ms/line", 3);
  bench::Print("window fill", "CPU last 20k", 1000.0 * lastCpu / step, "ms/line", 3);
  bench::Print("window fill", "lateness max", worstLateness, "ms", 1);
  bench::Print("window fill", "memory growth", rss1 - rss0, "MB", 1);
  bench::Print("window fill", "per line", (rss1 - rss0) * 1048576.0 / double(steps * step), "bytes", 0);

  // What a copy of the whole log as a list of strings costs (the job no longer makes one;
  // reading the whole log at once does).
  {
    const double before = bench::RssMb();
    bench::ResetPeak();
    const QStringList copy = form.LogLinesFrom(0, std::numeric_limits<qsizetype>::max());
    bench::Print("window fill", "whole-log copy", (bench::PeakRssMb() - before) * 1048576.0 / double(copy.size()),
                 "bytes/line", 0);
  }

  paced("window paced @full");

  // The end of a run: the lines read back and written to the log file, as the job does.
  const double peakBeforeEnd = bench::PeakRssMb();
  const double rssBeforeWrite = bench::RssMb();
  bench::ResetPeak();
  QElapsedTimer write;
  write.start();
  const QString path = dir.filePath(QStringLiteral("log-1.txt"));
  if (const FileOutcome written = WriteLogFile(form, path, LogLine(QStringLiteral("Работа завершена"))); !written)
    std::fprintf(stderr, "log file: %s\n", qPrintable(written.reason));
  bench::Print("window end", "log file write", double(write.nsecsElapsed()) / 1e6, "ms", 0);
  bench::Print("window end", "log file size", double(QFileInfo(path).size()) / 1e6, "MB", 1);
  bench::Print("window end", "write peak growth", bench::PeakRssMb() - rssBeforeWrite, "MB", 1);
  bench::Print("window end", "peak RSS", std::max(peakBeforeEnd, bench::PeakRssMb()), "MB", 1);
  return 0;
}
