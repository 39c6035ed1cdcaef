#pragma once
// Whole runs of the job for tests: a thread-safe recording view that plays the window, and a
// fixture that gives every test its own folder and the settings that point at the
// substitute portal.

#include <QDir>
#include <QHash>
#include <QSet>
#include <gtest/gtest.h>
#include <algorithm>
#include <QFile>
#include <QList>
#include <QString>
#include <QThread>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "harvest/handlers.h"
#include "tests/harvest/expectedrows.h"
#include "harvest/jobview.h"
#include "tests/support/testsettings.h"
#include "harvest/resultfile.h"
#include "harvest/scraper.h"
#include "portal/api.h"
#include "tests/support/files.h"
#include "tests/support/simserver.h"
#include "text/textfile.h"
#include "tools/portal-sim/dataset.h"

// Plays the window: records what the job shows and answers what it asks. Calls arrive from
// the job thread and from worker threads.
class RecordingView : public JobView {
 public:
  ~RecordingView() override { JoinTimers(); }

  // Inputs.
  QList<RegionItem> regions;
  std::atomic<int> limit{3};
  std::atomic<bool> additional{false};
  std::atomic<TScraper*> job{nullptr};  // for the resume timer

  QList<RegionItem> SelectedRegions() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++selectionReads_;
    return regions;
  }
  int ReadLimit() override { return limit.load(); }
  bool ReadAdditional() override { return additional.load(); }

  void AddLogLine(const QString& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.append(line);
  }
  void ClearLog() override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
  }
  QStringList LogLinesFrom(qsizetype first, qsizetype count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return Unshared(log_.mid(first, count));
  }
  QStringList LogLines() { return LogLinesFrom(0, std::numeric_limits<qsizetype>::max()); }
  void SetProgress(int maximum, int position, const QString& hint) override {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({maximum, position, hint});
  }
  void SetCounters(const QString& foundText, const QString& writtenText) override {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.append(foundText + QLatin1Char('|') + writtenText);
  }
  void SetRunControlsEnabled(bool enabled) override {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_.push_back(enabled);
  }
  void ShowErrorMessage(const QString& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.append(text);
  }
  // The window's resume timer: fires once after the interval and releases a held job.
  void ArmResumeTimer(int intervalMs) override {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_.push_back(intervalMs);
    timers_.emplace_back([this, intervalMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
      // The window logs while the job still waits for it, so the line comes before
      // anything the released job logs.
      TScraper* j = job.load();
      if (j && !j->IsEnded() && j->IsHeld()) {
        AddLogLine(LogTimeStamp() + QStringLiteral(": Отключаем паузу, продолжаем работу"));
        j->Release();
      }
    });
  }
  void JobEnded() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++endedCalls_;
  }

  // Waiting.
  // Polled rather than a timed condition wait: the timed wait of libstdc++ uses a call that
  // the thread sanitizer of this compiler does not follow, which shows as false races.
  bool WaitEnded(std::chrono::milliseconds timeout) {
    return Poll(timeout, [this] { return endedCalls_ > 0; });
  }
  bool WaitForLog(const QString& part, std::chrono::milliseconds timeout) {
    return Poll(timeout, [&] {
      for (const QString& line : log_)
        if (line.contains(part)) return true;
      return false;
    });
  }
  void JoinTimers() {
    std::vector<std::thread> timers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timers.swap(timers_);
    }
    for (std::thread& t : timers) t.join();
  }

  // What was recorded.
  struct Progress {
    int maximum;
    int position;
    QString hint;
  };
  int EndedCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return endedCalls_;
  }
  int SelectionReads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return selectionReads_;
  }
  QStringList Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<bool> Controls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return controls_;
  }
  std::vector<int> Armed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return armed_;
  }
  std::vector<Progress> ProgressCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
  }
  QStringList Counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Unshared(counters_);
  }

 private:
  // A list that shares no block with the recorder's own: the recorder's list may grow on
  // another thread while the copy is used, and Qt decides in place on a relaxed read of the
  // share count, which the thread sanitizer cannot follow.
  static QStringList Unshared(const QStringList& list) {
    QStringList copy;
    copy.reserve(list.size());
    for (const QString& s : list) copy.append(s);
    return copy;
  }

  template <typename Pred>
  bool Poll(std::chrono::milliseconds timeout, Pred done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::mutex mutex_;
  QStringList log_;
  QStringList counters_;
  std::vector<Progress> progress_;
  std::vector<bool> controls_;
  QStringList messages_;
  std::vector<int> armed_;
  std::vector<std::thread> timers_;
  int endedCalls_ = 0;
  int selectionReads_ = 0;
};

// The text of a log line after its time stamp and ": " (the stamp itself has no ": ").
inline QString LogText(const QString& line) {
  qsizetype p = line.indexOf(QStringLiteral(": "));
  return p < 0 ? line : line.mid(p + 2);
}

inline QStringList LogTexts(const QStringList& lines) {
  QStringList out;
  for (const QString& line : lines) out.append(LogText(line));
  return out;
}

// Runs a test's body on a fresh thread. Starting a child process (the substitute portal)
// leaves the thread sanitizer blind to the starting thread's later locks, which shows as
// false races; a thread created afterwards is seen normally. A QThread rather than a plain
// one: Windows Qt tidies a foreign thread that used Qt from a watcher thread of its own after
// it ended, and a process that exits meanwhile kills that watcher holding Qt's locks.
template <typename Body>
void InFreshThread(Body body) {
  std::unique_ptr<QThread> t(QThread::create(std::move(body)));
  t->start();
  t->wait();
}

// One job run in a folder of its own, against one substitute portal.
class JobRun {
 public:
  JobRun() { dir = tmp_.path() + QLatin1Char('/'); }

  QString dir;
  RecordingView view;

  HarvestSettings Settings(const SimServer& sim) const {
    HarvestSettings s = TestHarvestSettings(sim.BaseUrl());
    s.fetch.identity = SimServer::ClientIdentity();  // loaded by the window for a run
    s.dir = dir;
    s.fetch.maxAttempts = 3;
    s.fetch.failPauseMs = 5;
    s.errorPauseMs = 200;
    s.deleteWhenDone = false;
    return s;
  }

  // Creates the job (not yet started).
  TScraper* Create(HarvestSettings settings) {
    job_ = std::make_unique<TScraper>(&view, std::move(settings));
    view.job = job_.get();
    return job_.get();
  }
  TScraper* Job() { return job_.get(); }

  // Starts the job and waits for its end call; false on time-out.
  bool RunToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    job_->start();
    return Finish(timeout);
  }
  bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    if (!view.WaitEnded(timeout)) return false;
    view.JoinTimers();
    return job_->wait(QDeadlineTimer(30000));
  }

  // The result file named by the log line of the start-up.
  QString ResultPath() {
    const QString marker = QStringLiteral("Данные будут записываться в файл ");
    for (const QString& line : view.LogLines()) {
      qsizetype p = line.indexOf(marker);
      if (p >= 0) return line.mid(p + marker.size());
    }
    return {};
  }
  // The rows of the result file (header dropped).
  QStringList Rows() {
    const QString path = ResultPath();
    if (path.isEmpty()) return {};
    QStringList lines = FileLines(path);
    if (!lines.isEmpty()) lines.removeFirst();
    return lines;
  }

  void WriteFile(const char* name, const QByteArray& bytes) { WriteFileBytes(dir + QString::fromUtf8(name), bytes); }

  ~JobRun() {
    if (job_) {
      job_->RequestStop();
      job_->wait();
      view.JoinTimers();
    }
  }

 private:
  QTemporaryDir tmp_;
  std::unique_ptr<TScraper> job_;
};

// Every row of every result file in dir (headers dropped), sorted. A file that ends inside a
// row, or a row without its 30 fields, is named in *problems.
inline QStringList ResultRowsOf(const QString& dir, QStringList* problems) {
  QStringList rows;
  for (const QString& name : QDir(dir).entryList({QStringLiteral("data*.tab")})) {
    QByteArray bytes;
    if (!ReadFileBytes(dir + QLatin1Char('/') + name, &bytes)) problems->append(name + QStringLiteral(" unreadable"));
    if (!bytes.endsWith("\r\n")) problems->append(name + QStringLiteral(" ends inside a row"));
    QStringList lines = SplitTextLines(DecodeTextBytes(bytes));
    if (!lines.isEmpty()) lines.removeFirst();
    for (const QString& line : lines)
      if (line.count(QLatin1Char('\t')) != 29) problems->append(name + QStringLiteral(": broken row ") + line.left(200));
    rows += lines;
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Lost rows (in the reference, not in the union) and doubled ones (the other way round),
// counted as a multiset; the first few of each go to *examples.
inline std::pair<int, int> LostAndDoubled(const QStringList& reference, const QStringList& got,
                                          QStringList* examples = nullptr) {
  int lost = 0, doubled = 0;
  qsizetype i = 0, j = 0;
  while (i < reference.size() || j < got.size()) {
    if (j == got.size() || (i < reference.size() && reference[i] < got[j])) {
      if (examples && lost < 3) examples->append(QStringLiteral("missing: ") + reference[i].left(300));
      ++lost;
      ++i;
    } else if (i == reference.size() || got[j] < reference[i]) {
      if (examples && doubled < 3) examples->append(QStringLiteral("extra: ") + got[j].left(300));
      ++doubled;
      ++j;
    } else {
      ++i;
      ++j;
    }
  }
  return {lost, doubled};
}

// An organisation listed in two regions gets the name of the region whose search page was
// handled first, which depends on the workers' timing even without a kill: where its rows
// show different names, none of them empty, the name is not compared.
inline void IgnoreRaceOfSharedOrganisations(QStringList& reference, QStringList& got) {
  QHash<QString, QSet<QString>> names;
  for (const QStringList* rows : {&reference, &got})
    for (const QString& row : *rows) names[row.section(QLatin1Char('\t'), 1, 1)].insert(row.section(QLatin1Char('\t'), 0, 0));
  for (QStringList* rows : {&reference, &got}) {
    for (QString& row : *rows) {
      const QSet<QString>& seen = names[row.section(QLatin1Char('\t'), 1, 1)];
      if (seen.size() > 1 && !seen.contains(QString()))
        row = QStringLiteral("*") + row.mid(row.indexOf(QLatin1Char('\t')));
    }
    std::sort(rows->begin(), rows->end());
  }
}

// For tests: the rows of dir, every problem a failure.
inline QStringList AllResultRows(const QString& dir) {
  QStringList problems;
  QStringList rows = ResultRowsOf(dir, &problems);
  for (const QString& p : problems) ADD_FAILURE() << p.toStdString();
  return rows;
}

// For tests: the union of result files holds the reference's rows exactly once.
inline void ExpectExactlyOnce(QStringList reference, QStringList got) {
  IgnoreRaceOfSharedOrganisations(reference, got);
  QStringList examples;
  const auto [lost, doubled] = LostAndDoubled(reference, got, &examples);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(doubled, 0);
  for (const QString& e : examples) ADD_FAILURE() << e.toStdString();
}

