// Whole runs started from the window against the substitute portal: a run to its end, and a
// window closed in the middle of a run, whose leftovers the next start offers to keep.

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QLabel>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include <signal.h>

#include "app/mainform.h"
#include "app/quitsignals.h"
#include "apptesthelpers.h"
#include "tests/support/childprocess.h"
#include "tests/support/simserver.h"
#include "tests/support/testsettings.h"
#include "text/textfile.h"

namespace {

constexpr int kRunTimeoutMs = 120000;

QStringList Dataset(int regions, int orgs, int houses) {
  return {QStringLiteral("--regions"), QString::number(regions), QStringLiteral("--orgs"),
          QString::number(orgs),       QStringLiteral("--houses"), QString::number(houses)};
}

// The portal's region list, as the installation would bring it.
bool WriteCities(const QStringList& dataset, const QString& path) {
  ChildProcess sim;
  return sim.Start(QStringLiteral(ORGH_PORTAL_SIM_EXE), dataset + QStringList{QStringLiteral("--write-cities"), path},
                   false) &&
         sim.Wait(30000) && sim.Exited() && sim.ExitCode() == 0 && QFile::exists(path);
}

// Starts the substitute portal and puts its region list beside the window.
bool StartPortal(SimServer& sim, const QStringList& dataset, const ScratchDir& dir,
                 QString* error) {
  if (!sim.Start(error)) return false;
  if (WriteCities(dataset, dir.File("cities.txt"))) return true;
  *error = QStringLiteral("cannot write cities.txt");
  return false;
}

HarvestSettings PortalSettings(const SimServer& sim) {
  HarvestSettings settings = TestHarvestSettings(sim.BaseUrl());
  settings.fetch.failPauseMs = 50;
  settings.errorPauseMs = 500;
  return settings;
}

struct Window : TestWindow {
  Window(const ScratchDir& dir, const SimServer& sim)
      : TestWindow(dir, PortalSettings(sim), kRunTimeoutMs) {}
};

QString OnlyFile(const ScratchDir& dir, const QString& pattern) {
  const QStringList files = QDir(dir.Path()).entryList({pattern});
  return files.size() == 1 ? dir.File(files[0]) : QString();
}

// Shows the window and starts a run over every region, with `limit` workers when given;
// returns once the portal has been asked `requests` times. A failure is the calling test's.
void StartEveryRegion(Window& w, const SimServer& sim, qsizetype requests, int limit = 0) {
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  if (limit > 0) w.form->LimitEdit->setValue(limit);
  w.form->StartButtonClick();
  QTRY_VERIFY_WITH_TIMEOUT(sim.Requests().size() >= requests, kRunTimeoutMs);
}

// What a run stopped by the window's end leaves: the selection of `regions` lines, a log that
// says it stopped, and a queue for the next start. A failure is the calling test's.
void ExpectStoppedAndSaved(const ScratchDir& dir, qsizetype regions, QStringList* queue, QStringList* logLines) {
  QCOMPARE(dir.Read("selection.txt").count("\r\n"), regions);
  QVERIFY(ReadTextLines(dir.File("lists.dat"), queue));
  QVERIFY(!queue->isEmpty());
  const QString log = OnlyFile(dir, QStringLiteral("log-*.txt"));
  QVERIFY(!log.isEmpty());
  QVERIFY(ReadTextLines(log, logLines));
  QVERIFY(logLines->join(QLatin1Char('\n')).contains(QStringLiteral(": Останавливаем работу")));
}

}  // namespace

class RunControlTest : public QObject {
  Q_OBJECT

 public:
  // Run by the test main before anything else, as the program's main does it.
  static void initMain() { SetUpProcess(); }

 private slots:
  void runToItsEnd();
  void errorPausesThenEnds();
  void closeDuringRunKeepsTheRest();
  void closeDoesNotWaitForAnswersUnderWay();
  void terminateSignalStopsAndSaves();
  void cancelledLogoutLeavesTheRunGoing();
  void logoutThatGoesThroughSavesAndMakesNoWorkbook();
  void harvestEndedBeforeItsNoteGoesIntoTheHistoryAtTheNextStart();
  void aFloodOfSignalsNeverWaits();
};

void RunControlTest::runToItsEnd() {
  const QStringList dataset = Dataset(4, 12, 60);
  SimServer sim(dataset);
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));

  Window w(dir, sim);
  w.Show();
  QCOMPARE(w.form->CitiesListBox->count(), 4);
  w.form->CitiesListBox->item(1)->setSelected(true);
  w.form->CitiesListBox->item(3)->setSelected(true);
  w.form->LimitEdit->setValue(2);

  w.form->StartButtonClick();
  QVERIFY(w.form->Job() != nullptr);
  QTRY_VERIFY_WITH_TIMEOUT(!w.form->StartButton->isEnabled(), kRunTimeoutMs);
  QVERIFY(!w.form->CitiesListBox->isEnabled());
  QVERIFY(!w.form->AdditionalCheckBox->isEnabled());
  QVERIFY(w.form->LimitEdit->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);

  // The window is handed back, and shows the figures of the run.
  QVERIFY(w.form->StartButton->isEnabled());
  QVERIFY(w.form->CitiesListBox->isEnabled());
  QVERIFY(w.form->AdditionalCheckBox->isEnabled());
  QCOMPARE(w.form->ProgressBar->value(), 0);
  QVERIFY(w.dialogs->errors.isEmpty());
  QVERIFY(!sim.Requests().isEmpty());

  // The rows written are the ones the counter shows.
  const QString tab = OnlyFile(dir, QStringLiteral("data*.tab"));
  QVERIFY(!tab.isEmpty());
  QStringList rows;
  QVERIFY(ReadTextLines(tab, &rows));
  QVERIFY(rows.size() > 1);
  QCOMPARE(w.form->Label3->text(),
           QStringLiteral("Записано организаций: %1").arg(rows.size() - 1));

  // The log file holds exactly the window's log, ending with the closing line.
  const QString log = OnlyFile(dir, QStringLiteral("log-*.txt"));
  QVERIFY(!log.isEmpty());
  QStringList logLines;
  QVERIFY(ReadTextLines(log, &logLines));
  QCOMPARE(logLines, w.LogLines());
  QVERIFY(logLines.last().endsWith(QStringLiteral(": Работа завершена, лог записан в ") + log));

  // Nothing left over: the next start asks nothing.
  QCOMPARE(dir.Read("lists.dat"), QByteArray("\xEF\xBB\xBF"));
  w.form->StartButtonClick();
  QVERIFY(w.dialogs->questions.isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);
  // Its log began afresh with its own start line.
  const QStringList second = w.LogLines();
  QVERIFY2(second.first().endsWith(QStringLiteral(": Начинаем работу по заданным параметрам")),
           qPrintable(second.first()));
  QVERIFY(!second.contains(logLines.last()));
}

void RunControlTest::errorPausesThenEnds() {
  const QStringList dataset = Dataset(1, 5, 10);
  SimServer sim(dataset);
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
  HarvestSettings settings = PortalSettings(sim);
  settings.beforeHandler = [](const WorkerOutcome&) {
    throw std::runtime_error("сбой обработчика");
  };

  TestWindow w(dir, settings, kRunTimeoutMs);
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.form->StartButtonClick();
  // The job holds itself and arms the window's timer, whose firing lets it end.
  QTRY_VERIFY_WITH_TIMEOUT(w.form->ResumeTimer->isActive() || w.form->Job() == nullptr,
                           kRunTimeoutMs);
  QCOMPARE(w.form->ResumeTimer->interval(), 500);
  QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);
  QVERIFY(!w.form->ResumeTimer->isActive());
  QVERIFY(w.form->StartButton->isEnabled());

  QStringList texts;  // the lines without their time stamps
  for (const QString& line : w.LogLines()) texts.append(line.mid(line.indexOf(QStringLiteral(": "))));
  const qsizetype at = texts.indexOf(QStringLiteral(": Ошибка: сбой обработчика"));
  QVERIFY2(at >= 0, qPrintable(texts.join(QLatin1Char('\n'))));
  QCOMPARE(texts.value(at + 1), QStringLiteral(": Включаем паузу на 30 секунд"));
  QCOMPARE(texts.value(at + 2), QStringLiteral(": Отключаем паузу, продолжаем работу"));
  QVERIFY(texts.last().startsWith(QStringLiteral(": Работа завершена, лог записан в ")));
  // What the error interrupted is kept for the next start.
  QStringList queue;
  QVERIFY(ReadTextLines(dir.File("lists.dat"), &queue));
  QVERIFY(!queue.isEmpty());
}

void RunControlTest::closeDuringRunKeepsTheRest() {
  const QStringList dataset = Dataset(6, 60, 300);
  // Slow answers keep the workers busy when the window closes.
  SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("300")});
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));

  {
    Window w(dir, sim);
    StartEveryRegion(w, sim, 3, 2);
    if (QTest::currentTestFailed()) return;

    QVERIFY(!w.form->close());
    QVERIFY(!w.form->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, kRunTimeoutMs);
    QVERIFY(w.form->Job() == nullptr);
  }

  QStringList queue, logLines;
  ExpectStoppedAndSaved(dir, 6, &queue, &logLines);
  if (QTest::currentTestFailed()) return;

  // The next start offers the leftovers; keeping them resumes the run from them.
  Window next(dir, sim);
  next.Show();
  QCOMPARE(next.form->CitiesListBox->selectedItems().size(), 6);
  next.form->LimitEdit->setValue(8);
  next.dialogs->answers = {false};
  next.form->StartButtonClick();
  QCOMPARE(next.dialogs->questions,
           QStringList{QStringLiteral("От прошлого запуска осталось %1 ссылок на списки "
                                      "карточек. Удалить их и начать с начала?")
                           .arg(queue.size())});
  QTRY_VERIFY_WITH_TIMEOUT(next.form->Job() == nullptr, kRunTimeoutMs);
  QCOMPARE(dir.Read("lists.dat"), QByteArray("\xEF\xBB\xBF"));
}

void RunControlTest::closeDoesNotWaitForAnswersUnderWay() {
  // The portal holds every answer far longer than the test waits, and the workers would wait
  // for it: the close ends the run without them and the regions in their hands are kept.
  const QStringList dataset = Dataset(3, 6, 12);
  SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("600000")});
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
  HarvestSettings settings = PortalSettings(sim);
  settings.fetch.idleAndConnectTimeoutSec = 900;

  {
    TestWindow w(dir, settings, kRunTimeoutMs);
    w.Show();
    w.form->SelectAllCitiesButtonClick();
    w.form->LimitEdit->setValue(2);
    w.form->StartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(sim.Requests().size() == 2, kRunTimeoutMs);

    QVERIFY(!w.form->close());
    QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, 60000);
    QVERIFY(w.form->Job() == nullptr);
  }
  QCOMPARE(sim.Requests().size(), 2);

  // The saved queue is the three regions in list order: the two in flight first.
  QStringList cities;
  QVERIFY(ReadTextLines(dir.File("cities.txt"), &cities));
  QStringList keys;
  for (const QString& line : cities) keys.append(line.mid(line.indexOf(QLatin1Char('=')) + 1));
  QCOMPARE(keys.size(), 3);
  QStringList queue;
  QVERIFY(ReadTextLines(dir.File("lists.dat"), &queue));
  QCOMPARE(queue, keys);
  const QString log = OnlyFile(dir, QStringLiteral("log-*.txt"));
  QVERIFY(!log.isEmpty());
  QStringList logLines;
  QVERIFY(ReadTextLines(log, &logLines));
  QVERIFY(logLines.join(QLatin1Char('\n')).contains(QStringLiteral(": В lists.dat возвращено незавершённых задач: 2")));
  QVERIFY2(logLines.last().contains(QStringLiteral(": Работа завершена, лог записан в ")), qPrintable(logLines.last()));
}

void RunControlTest::terminateSignalStopsAndSaves() {
  // Logout, shutdown or `kill` during a run: the same as closing the window.
  const QStringList dataset = Dataset(4, 40, 200);
  SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("200")});
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
  {
    Window w(dir, sim);
    QuitSignals quitSignals;
    QVERIFY(quitSignals.Installed());
    connect(&quitSignals, &QuitSignals::Received, w.form.get(), &TMainForm::EndSession);
    StartEveryRegion(w, sim, 3);
    if (QTest::currentTestFailed()) return;
    ::raise(SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, kRunTimeoutMs);
    QVERIFY(w.form->Job() == nullptr);
    QVERIFY(w.dialogs->errors.isEmpty());
  }
  QStringList queue, logLines;
  ExpectStoppedAndSaved(dir, 4, &queue, &logLines);
  if (QTest::currentTestFailed()) return;
  QVERIFY(logLines.last().contains(QStringLiteral(": Работа завершена, лог записан в ")));
}

void RunControlTest::cancelledLogoutLeavesTheRunGoing() {
  // The session manager asks for the data, then the user cancels the logout: nothing more
  // comes, and the run must still be going, with its state saved meanwhile.
  const QStringList dataset = Dataset(2, 20, 60);
  SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("100")});
  ScratchDir dir;
  QString error;
  QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
  Window w(dir, sim);
  StartEveryRegion(w, sim, 4);
  if (QTest::currentTestFailed()) return;
  const QByteArray planned = dir.Read("lists.dat");
  w.form->CommitSessionData();
  QCOMPARE(dir.Read("selection.txt").count("\r\n"), 2);
  // Saved at once rather than after the minute of the checkpoint interval.
  QTRY_VERIFY_WITH_TIMEOUT(dir.Read("lists.dat") != planned, 10000);
  QTest::qWait(300);
  QVERIFY(w.form->Job() != nullptr);
  QVERIFY(w.form->isVisible());
  QVERIFY(!w.form->StartButton->isEnabled());
  QCOMPARE(w.quits, 0);
  // It runs to its own end.
  QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);
  QCOMPARE(w.quits, 0);
  QVERIFY(dir.Read("lists.dat") == QByteArray("\xEF\xBB\xBF"));
}

void RunControlTest::logoutThatGoesThroughSavesAndMakesNoWorkbook() {
  // The session manager asks for the data, then the toolkit closes the window: the program
  // ends as after a kill plus a save, with no workbook made (the next start makes it), also
  // when the run was paused.
  for (const bool paused : {false, true}) {
    const QStringList dataset = Dataset(2, 20, 60);
    SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("200")});
    ScratchDir dir;
    QString error;
    QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
    {
      Window w(dir, sim);
      StartEveryRegion(w, sim, 4);
      if (QTest::currentTestFailed()) return;
      if (paused) {
        w.form->PauseButtonClick();
        QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() != nullptr && w.form->Job()->IsHeld(), kRunTimeoutMs);
      }
      w.form->CommitSessionData();
      w.form->close();
      QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, kRunTimeoutMs);
      QVERIFY(w.form->Job() == nullptr);
      QVERIFY(!w.form->isVisible());
      QVERIFY(w.dialogs->errors.isEmpty());
    }
    QVERIFY2(QDir(dir.Path()).entryList({QStringLiteral("data*.xlsx")}).isEmpty(), paused ? "paused" : "running");
    QStringList queue, logLines;
    ExpectStoppedAndSaved(dir, 2, &queue, &logLines);
    if (QTest::currentTestFailed()) return;
    QVERIFY(logLines.last().contains(QStringLiteral(": Работа завершена, лог записан в ")));
  }
}

void RunControlTest::harvestEndedBeforeItsNoteGoesIntoTheHistoryAtTheNextStart() {
  // A harvest ran to its end, but the program was ended before the harvest was noted for the
  // history: the next "СТАРТ" finds it in the saved state it discards and puts it in first.
  // Where even the note cannot be written, the reason stays in the new run's log.
  for (const bool noteBlocked : {false, true}) {
    const QStringList dataset = Dataset(2, 6, 20);
    SimServer sim(dataset);
    ScratchDir dir;
    QString error;
    QVERIFY2(StartPortal(sim, dataset, dir, &error), qPrintable(error));
    Window w(dir, sim);
    w.Show();
    w.form->SelectAllCitiesButtonClick();
    w.form->StartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);
    QVERIFY(QFile::remove(dir.File("history.sqlite")));
    if (noteBlocked) QVERIFY(QDir().mkpath(dir.File("history-pending.dat") + QStringLiteral("/x")));
    for (const QString& log : QDir(dir.Path()).entryList({QStringLiteral("log-*.txt")})) QVERIFY(QFile::remove(dir.File(log)));

    w.form->StartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() == nullptr, kRunTimeoutMs);
    QVERIFY(w.dialogs->errors.isEmpty());
    const QString log = OnlyFile(dir, QStringLiteral("log-*.txt"));
    QStringList logLines;
    QVERIFY(ReadTextLines(log, &logLines));
    QCOMPARE(logLines, w.LogLines());
    const QString all = logLines.join(QLatin1Char('\n'));
    if (noteBlocked) {
      // Said by the start, before the run's own first line.
      qsizetype begun = 0;
      while (begun < logLines.size() && !logLines[begun].endsWith(QStringLiteral(": Начинаем работу по заданным параметрам")))
        ++begun;
      QVERIFY2(logLines.mid(0, begun).join(QLatin1Char('\n')).contains(
                   QStringLiteral("Ошибка: сбор не записан в список ждущих внесения в историю")),
               qPrintable(all));
      QVERIFY2(all.contains(QStringLiteral(": сбор № 1,")), qPrintable(all));  // only the new one
      QVERIFY(!all.contains(QStringLiteral(": сбор № 2,")));
    } else {
      QVERIFY2(all.contains(QStringLiteral(": сбор № 1,")) && all.contains(QStringLiteral(": сбор № 2,")), qPrintable(all));
    }
  }
}

void RunControlTest::aFloodOfSignalsNeverWaits() {
  QuitSignals quitSignals;
  QVERIFY(quitSignals.Installed());
  int received = 0;
  connect(&quitSignals, &QuitSignals::Received, this, [&received](int number) {
    if (number == SIGHUP) ++received;
  });
  // Far more than the socket holds while nobody reads it: a handler that waited for room
  // would hang the thread it interrupted.
  std::atomic<bool> done{false};
  std::thread flood([&done] {
    for (int i = 0; i < 20000; ++i) ::raise(SIGHUP);
    done = true;
  });
  const QDeadlineTimer deadline(30000);
  while (!done && !deadline.hasExpired()) QThread::msleep(10);
  if (!done) {
    flood.detach();
    QFAIL("the signal handler waits for room in its socket");
  }
  flood.join();
  QTRY_VERIFY(received > 0);
}

QTEST_MAIN(RunControlTest)
#include "runcontrol_test.moc"
