// The start, pause, resume and stop controls and the close of the window, with a real job.
// The job is pointed at an address where nothing answers and its workers retry slowly, so it
// stays in its request loop until it is stopped.

#include <QCheckBox>
#include <QImage>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

#include "app/mainform.h"
#include "apptesthelpers.h"
#include "harvest/scraper.h"
#include "tests/support/simserver.h"
#include "tests/support/testplatform.h"
#include "tests/support/testsettings.h"
#include "text/textfile.h"

namespace {

const QString kPauseOn = QStringLiteral(": Включаем паузу");
const QString kPauseOff = QStringLiteral(": Отключаем паузу, продолжаем работу");
const QString kStopping = QStringLiteral(": Останавливаем работу");

constexpr int kJobTimeoutMs = 60000;

HarvestSettings NeverAnsweringPortal() {
  // With a usable certificate and key: without them "СТАРТ" starts no job.
  HarvestSettings settings = TestHarvestSettings(QStringLiteral("https://127.0.0.1:9/"));
  settings.fetch.maxAttempts = 100;
  settings.fetch.failPauseMs = 200;
  settings.fetch.idleAndConnectTimeoutSec = 5;
  settings.errorPauseMs = 300;
  return settings;
}

struct Window : TestWindow {
  explicit Window(const ScratchDir& dir) : TestWindow(dir, NeverAnsweringPortal(), kJobTimeoutMs) {}
  // Starts a job and waits until it has taken over the window (its start notification).
  void StartRunning() {
    form->StartButtonClick();
    QVERIFY(form->Job() != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(!form->StartButton->isEnabled(), kJobTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(LogLines().size() >= 2, kJobTimeoutMs);
  }
  void WaitForEnd() {
    QTRY_VERIFY_WITH_TIMEOUT(form->Job() == nullptr, kJobTimeoutMs);
    QVERIFY(form->StartButton->isEnabled());
  }
  // The window's own lines (pause, resume, stop), in order, without their time stamps.
  QStringList ControlLines() const {
    QStringList found;
    for (const QString& line : LogLines())
      for (const QString& text : {kPauseOn, kPauseOff, kStopping})
        if (line.endsWith(text) && line.size() > text.size()) found.append(text);
    return found;
  }
};

QString ListsQuestion(int n) {
  return QStringLiteral(
             "От прошлого запуска осталось %1 ссылок на списки карточек. Удалить их и начать с "
             "начала?")
      .arg(n);
}

QString CardsQuestion(int n) {
  return QStringLiteral(
             "От прошлого запуска осталось %1 ссылок на карточки. Удалить их и начать с начала?")
      .arg(n);
}

const QByteArray kCities = QByteArray("A=11$$$aaaa\r\nB=22$$$bbbb\r\nC=33$$$cccc\r\n");

// The window over the three regions, all of them selected, with its job running.
struct RunningWindow {
  RunningWindow() : w(dir) {
    dir.Write("cities.txt", kCities);
    w.Show();
    w.form->SelectAllCitiesButtonClick();
    w.StartRunning();
    if (!QTest::currentTestFailed()) job = w.form->Job();
  }
  ScratchDir dir;
  Window w;
  TScraper* job = nullptr;  // empty when the start failed
};

}  // namespace

class ControlTest : public QObject {
  Q_OBJECT

 public:
  // Run by the test main before anything else, as the program's main does it.
  static void initMain() { SetUpProcess(); }

 private slots:
  void leftoverQuestions_data();
  void leftoverQuestions();
  void leftoverQuestionCountsOnlyTasksThatCanRun();
  void yesThatCannotRemoveTheSavedQueueStartsNothing();
  void unreadableLeftoverStartsNothing_data();
  void unreadableLeftoverStartsNothing();
  void secondStartStartsNothing();
  void startWithoutRegions_data();
  void startWithoutRegions();
  void pauseTwice();
  void stopWhileHeld();
  void controlsWithoutJobDoNothing();
  void resumeTimer();
  void pauseDuringAutomaticPause();
  void userPauseOutlastsArmedTimer();
  void afterTheEndForm();
  void closeDuringRun();
  void windowDestroyedDuringRun_data();
  void windowDestroyedDuringRun();
  void closeWithoutRun();
  void jobThreadThatCannotStart();
  void pauseDuringTheEndSteps();
  void pauseControlShowsTheHold();
};

void ControlTest::leftoverQuestions_data() {
  QTest::addColumn<int>("listsLines");  // -1: no file
  QTest::addColumn<bool>("companions");  // "allknown.dat" and "context.dat" present
  QTest::addColumn<int>("cardsLines");
  QTest::addColumn<QList<bool>>("answers");
  QTest::addColumn<QStringList>("questions");
  QTest::addColumn<bool>("listsKept");
  QTest::addColumn<bool>("companionsKept");
  QTest::addColumn<bool>("cardsKept");

  QTest::newRow("nothing left") << -1 << false << -1 << QList<bool>{} << QStringList{} << false
                                << false << false;
  QTest::newRow("zero-byte files deleted without asking")
      << 0 << true << 0 << QList<bool>{} << QStringList{} << false << false << false;
  QTest::newRow("No, No: everything stays")
      << 12 << true << 3 << QList<bool>{false, false}
      << QStringList{ListsQuestion(12), CardsQuestion(3)} << true << true << true;
  QTest::newRow("Yes, No") << 12 << true << 3 << QList<bool>{true, false}
                           << QStringList{ListsQuestion(12), CardsQuestion(3)} << false << false
                           << true;
  QTest::newRow("No, Yes") << 5 << true << 2 << QList<bool>{false, true}
                           << QStringList{ListsQuestion(5), CardsQuestion(2)} << true << true
                           << false;
  QTest::newRow("lists only, Yes") << 1 << true << -1 << QList<bool>{true}
                                   << QStringList{ListsQuestion(1)} << false << false << false;
  QTest::newRow("empty lists, cards asked") << 0 << true << 4 << QList<bool>{false}
                                            << QStringList{CardsQuestion(4)} << false << false
                                            << true;
  QTest::newRow("companions without lists.dat are not touched")
      << -1 << true << -1 << QList<bool>{} << QStringList{} << false << true << false;
}

void ControlTest::leftoverQuestions() {
  QFETCH(int, listsLines);
  QFETCH(bool, companions);
  QFETCH(int, cardsLines);
  QFETCH(QList<bool>, answers);
  QFETCH(QStringList, questions);
  QFETCH(bool, listsKept);
  QFETCH(bool, companionsKept);
  QFETCH(bool, cardsKept);

  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  if (listsLines >= 0) dir.Write("lists.dat", Utf8WithMark(QString()) + Lines(listsLines));
  if (companions) {
    dir.Write("allknown.dat", Utf8WithMark(QStringLiteral("11$$$aaaa\r\n")));
    dir.Write("context.dat", Utf8WithMark(QStringLiteral("context\r\n")));
  }
  if (cardsLines >= 0) dir.Write("cards.dat", Lines(cardsLines, "https://card/"));
  Window w(dir);
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.dialogs->answers = answers;

  w.form->StartButtonClick();
  // The job waits for its first call on the window's thread, which the test is not running
  // yet: the files are as the start control left them.
  QVERIFY(w.form->Job() != nullptr);
  QCOMPARE(w.dialogs->questions, questions);
  QVERIFY(w.dialogs->errors.isEmpty());
  QCOMPARE(dir.Exists("lists.dat"), listsKept);
  QCOMPARE(dir.Exists("allknown.dat"), companionsKept);
  QCOMPARE(dir.Exists("context.dat"), companionsKept);
  QCOMPARE(dir.Exists("cards.dat"), cardsKept);

  w.form->StopButtonClick();
  w.WaitForEnd();
}

void ControlTest::yesThatCannotRemoveTheSavedQueueStartsNothing() {
  // The queue cannot be removed (held by another program): the old queue must not be resumed
  // in place of the ticked regions, and the user is told which file and what to do.
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  dir.Write("lists.dat", Utf8WithMark(QString()) + Lines(3));
  dir.Write("context.dat", Utf8WithMark(QStringLiteral("context\r\n")));
  HeldFile held(dir.File("lists.dat"));
  if (!held.Held()) QSKIP("no file can be held here (not root)");
  Window w(dir);
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.dialogs->answers = {true};
  w.form->StartButtonClick();
  QCOMPARE(w.dialogs->questions, QStringList{ListsQuestion(3)});
  QVERIFY(w.form->Job() == nullptr);
  QCOMPARE(w.dialogs->errors.size(), 1);
  QVERIFY2(w.dialogs->errors[0].contains(QDir::toNativeSeparators(dir.File("lists.dat"))), qPrintable(w.dialogs->errors[0]));
  QVERIFY2(w.dialogs->errors[0].contains(QStringLiteral("Работа не начата")), qPrintable(w.dialogs->errors[0]));
  QVERIFY(dir.Exists("lists.dat"));
  QVERIFY(dir.Exists("context.dat"));
}

void ControlTest::leftoverQuestionCountsOnlyTasksThatCanRun() {
  // Blank lines and tasks for another portal are never sent: the question leaves them out,
  // and a queue of nothing else goes without a question, its companions with it.
  const QByteArray never = "   \r\nhttps://other.host/ppa/api/rest/services/ppa/public/organizations/orgByGuid?organizationGuid=g1\r\n";
  for (const bool withRunnable : {true, false}) {
    ScratchDir dir;
    dir.Write("cities.txt", kCities);
    dir.Write("lists.dat", Utf8WithMark(QString()) + never + (withRunnable ? Lines(2) : QByteArray()));
    dir.Write("allknown.dat", Utf8WithMark(QStringLiteral("11$$$aaaa\r\n")));
    dir.Write("context.dat", Utf8WithMark(QStringLiteral("context\r\n")));
    Window w(dir);
    w.Show();
    w.form->SelectAllCitiesButtonClick();
    w.dialogs->answers = {false};
    w.form->StartButtonClick();
    QVERIFY(w.form->Job() != nullptr);
    QCOMPARE(w.dialogs->questions, withRunnable ? QStringList{ListsQuestion(2)} : QStringList{});
    QCOMPARE(dir.Exists("lists.dat"), withRunnable);
    QCOMPARE(dir.Exists("context.dat"), withRunnable);
    w.form->StopButtonClick();
    w.WaitForEnd();
  }
}

void ControlTest::unreadableLeftoverStartsNothing_data() {
  QTest::addColumn<QString>("blocked");
  QTest::newRow("lists.dat") << QStringLiteral("lists.dat");
  QTest::newRow("cards.dat") << QStringLiteral("cards.dat");
}

void ControlTest::unreadableLeftoverStartsNothing() {
  QFETCH(QString, blocked);
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  if (blocked != QLatin1String("lists.dat")) dir.Write("lists.dat", Lines(2));
  if (blocked != QLatin1String("cards.dat")) dir.Write("cards.dat", Lines(2));
  dir.Block(blocked);
  Window w(dir);
  w.Show();
  w.dialogs->answers = {false, false};

  w.form->StartButtonClick();
  QVERIFY(w.form->Job() == nullptr);
  QCOMPARE(w.dialogs->errors.size(), 1);
  QVERIFY2(w.dialogs->errors[0].startsWith(
               QStringLiteral("Cannot open file \"%1\". ").arg(dir.File(blocked))),
           qPrintable(w.dialogs->errors[0]));
  // Nothing after the failing file is asked.
  QCOMPARE(w.dialogs->questions.size(), blocked == QLatin1String("lists.dat") ? 0 : 1);
  QVERIFY(w.form->StartButton->isEnabled());
  QVERIFY(w.LogLines().join(QString()).isEmpty());
}

void ControlTest::secondStartStartsNothing() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  dir.Write("lists.dat", Lines(4));
  Window w(dir);
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.dialogs->answers = {false};

  w.form->StartButtonClick();
  TScraper* job = w.form->Job();
  QVERIFY(job != nullptr);
  // Quick presses before the job has disabled the button.
  w.form->StartButtonClick();
  QTest::mouseClick(w.form->StartButton, Qt::LeftButton);
  QCOMPARE(w.form->Job(), job);
  QCOMPARE(w.dialogs->questions.size(), 1);

  QTRY_VERIFY_WITH_TIMEOUT(!w.form->StartButton->isEnabled(), kJobTimeoutMs);
  w.form->StopButtonClick();
  w.WaitForEnd();
  // Once the job has ended, "СТАРТ" works again.
  w.form->StartButtonClick();
  QVERIFY(w.form->Job() != nullptr);
}

void ControlTest::startWithoutRegions_data() {
  QTest::addColumn<QByteArray>("cities");
  QTest::addColumn<QList<int>>("selected");  // rows of the list
  QTest::addColumn<int>("listsLines");         // -1: no "lists.dat"
  QTest::addColumn<QList<bool>>("answers");
  QTest::addColumn<bool>("started");

  const QByteArray withBlank = kCities + "\r\nno key here\r\n";
  QTest::newRow("nothing ticked, no queue") << kCities << QList<int>{} << -1 << QList<bool>{} << false;
  QTest::newRow("only entries without a key")
      << withBlank << QList<int>{3, 4} << -1 << QList<bool>{} << false;
  QTest::newRow("nothing ticked, saved queue kept")
      << kCities << QList<int>{} << 4 << QList<bool>{false} << true;
  QTest::newRow("nothing ticked, saved queue discarded")
      << kCities << QList<int>{} << 4 << QList<bool>{true} << false;
  QTest::newRow("nothing ticked, empty queue file") << kCities << QList<int>{} << 0 << QList<bool>{}
                                                     << false;
  QTest::newRow("one region ticked") << withBlank << QList<int>{1} << -1 << QList<bool>{} << true;
}

void ControlTest::startWithoutRegions() {
  QFETCH(QByteArray, cities);
  QFETCH(QList<int>, selected);
  QFETCH(int, listsLines);
  QFETCH(QList<bool>, answers);
  QFETCH(bool, started);

  ScratchDir dir;
  dir.Write("cities.txt", cities);
  if (listsLines >= 0) dir.Write("lists.dat", Lines(listsLines));
  Window w(dir);
  w.Show();
  for (int row : selected) w.form->CitiesListBox->item(row)->setSelected(true);
  w.dialogs->answers = answers;

  w.form->StartButtonClick();
  QCOMPARE(w.form->Job() != nullptr, started);
  QCOMPARE(w.dialogs->questions.size(), listsLines > 0 ? 1 : 0);
  QVERIFY(w.dialogs->errors.isEmpty());
  if (started) {
    QVERIFY(w.dialogs->infos.isEmpty());
    w.form->StopButtonClick();
    w.WaitForEnd();
    return;
  }
  QCOMPARE(w.dialogs->infos, QStringList{QStringLiteral("Не выбран ни один регион")});
  // Nothing ran: no log, no result file, the controls stay as they were.
  QVERIFY(w.LogLines().join(QString()).isEmpty());
  QVERIFY(w.form->StartButton->isEnabled());
  QVERIFY(QDir(dir.Path()).entryList({QStringLiteral("data*")}, QDir::Files).isEmpty());
  QTest::qWait(50);
  QVERIFY(w.form->Job() == nullptr);
  // Ticking a region afterwards starts the run.
  w.form->CitiesListBox->item(0)->setSelected(true);
  w.form->StartButtonClick();
  QVERIFY(w.form->Job() != nullptr);
  w.form->StopButtonClick();
  w.WaitForEnd();
}

void ControlTest::pauseTwice() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  TScraper* job = r.job;

  w.form->PauseButtonClick();
  QVERIFY(job->IsHeld());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOn}));
  w.form->PauseButtonClick();
  QVERIFY(!job->IsHeld());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOn, kPauseOff}));
  // Each line starts with the time stamp of its moment.
  const QStringList lines = w.LogLines();
  const QString last = lines.last();
  QVERIFY2(last.endsWith(kPauseOff), qPrintable(last));
  QVERIFY(!last.startsWith(QLatin1Char(':')));

  w.form->StopButtonClick();
  w.WaitForEnd();
}

void ControlTest::stopWhileHeld() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  const ScratchDir& dir = r.dir;
  w.form->SetProgress(10, 5, QStringLiteral("5 из 10, осталось 5"));

  w.form->PauseButtonClick();
  QVERIFY(w.form->Job()->IsHeld());
  w.form->StopButtonClick();
  QVERIFY(!w.form->Job()->IsHeld());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOn, kStopping}));
  QCOMPARE(w.form->ProgressBar->value(), 0);

  // The job sees the request, ends through its normal end and hands the window back.
  w.WaitForEnd();
  QVERIFY(w.form->CitiesListBox->isEnabled());
  QVERIFY(w.form->AdditionalCheckBox->isEnabled());
  QVERIFY(QDir(dir.Path()).entryList({QStringLiteral("log-*.txt")}).size() == 1);
  QVERIFY(dir.Exists("lists.dat"));
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOn, kStopping}));
}

void ControlTest::controlsWithoutJobDoNothing() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  Window w(dir);
  w.Show();

  // Before any job.
  w.form->PauseButtonClick();
  w.form->StopButtonClick();
  QVERIFY(w.LogLines().join(QString()).isEmpty());

  // After a job has ended.
  w.form->SelectAllCitiesButtonClick();
  w.StartRunning();
  w.form->StopButtonClick();
  w.WaitForEnd();
  w.form->SetProgress(8, 3, QStringLiteral("3 из 8, осталось 5"));
  const QString log = w.form->LogsMemo->toPlainText();
  w.form->StopButtonClick();
  w.form->PauseButtonClick();
  w.form->ArmResumeTimer(10);
  QTRY_VERIFY(!w.form->ResumeTimer->isActive());
  QCOMPARE(w.form->LogsMemo->toPlainText(), log);
  QCOMPARE(w.form->ProgressBar->value(), 3);
  QVERIFY(w.form->Job() == nullptr);
}

void ControlTest::resumeTimer() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  TScraper* job = r.job;

  // Firing while the job runs: it only disarms itself.
  w.form->ArmResumeTimer(20);
  QTRY_VERIFY(!w.form->ResumeTimer->isActive());
  QVERIFY(!job->IsHeld());
  QVERIFY(w.ControlLines().isEmpty());

  // The job's own hold after an error, with the timer armed: the timer releases it.
  job->Hold();
  w.form->ArmResumeTimer(50);
  QTRY_VERIFY(!job->IsHeld());
  QVERIFY(!w.form->ResumeTimer->isActive());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOff}));
}

void ControlTest::pauseDuringAutomaticPause() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  TScraper* job = r.job;

  job->Hold();
  w.form->ArmResumeTimer(300);
  w.form->PauseButtonClick();  // releases at once; the timer stays armed
  QVERIFY(!job->IsHeld());
  QVERIFY(w.form->ResumeTimer->isActive());
  QTRY_VERIFY(!w.form->ResumeTimer->isActive());
  QVERIFY(!job->IsHeld());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOff}));
}

void ControlTest::userPauseOutlastsArmedTimer() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  TScraper* job = r.job;

  w.form->ArmResumeTimer(100);
  w.form->PauseButtonClick();
  QVERIFY(!w.form->ResumeTimer->isActive());
  QTest::qWait(300);
  QVERIFY(job->IsHeld());
  QCOMPARE(w.ControlLines(), (QStringList{kPauseOn}));
}

void ControlTest::closeDuringRun() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  Window w(dir);
  w.Show();
  w.form->CitiesListBox->item(0)->setSelected(true);
  w.form->CitiesListBox->item(2)->setSelected(true);
  w.StartRunning();
  w.form->PauseButtonClick();  // a held job must end too
  QSignalSpy ended(w.form.get(), &TMainForm::JobFinished);

  QVERIFY(!w.form->close());  // the close waits for the job
  QVERIFY(!w.form->isVisible());
  QVERIFY(w.form->IsClosing());
  QCOMPARE(w.quits, 0);
  QVERIFY(!w.form->close());  // a second close changes nothing
  QCOMPARE(dir.Read("selection.txt"), QByteArray("A\r\nC\r\n"));

  QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, kJobTimeoutMs);
  QCOMPARE(ended.size(), 1);
  QVERIFY(w.form->Job() == nullptr);

  // The run ended as a stop does: the log saved, ending with its closing line, and the
  // queue kept for the next run, the regions that were in the workers' hands included.
  const QStringList logs = QDir(dir.Path()).entryList({QStringLiteral("log-*.txt")});
  QCOMPARE(logs.size(), 1);
  QStringList logLines;
  QVERIFY(ReadTextLines(dir.File(logs[0]), &logLines));
  QVERIFY(logLines.join(QLatin1Char('\n')).contains(kStopping));
  QVERIFY2(logLines.last().contains(QStringLiteral(": Работа завершена, лог записан в ")),
           qPrintable(logLines.last()));
  QStringList queue;
  QVERIFY(ReadTextLines(dir.File("lists.dat"), &queue));
  QVERIFY2(queue.contains(QStringLiteral("11$$$aaaa")), qPrintable(queue.join(QLatin1Char('|'))));
  QVERIFY2(queue.contains(QStringLiteral("33$$$cccc")), qPrintable(queue.join(QLatin1Char('|'))));
}

void ControlTest::afterTheEndForm() {
  // The job's end form hands the controls back while its thread still finishes (aborted
  // workers running down); the job itself is told to stop behind the window's back here.
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  const QPointer<TScraper> first = r.job;
  QSignalSpy ended(w.form.get(), &TMainForm::JobFinished);
  w.form->SetRunControlsEnabled(true);

  // Nothing is left to pause or stop.
  w.form->PauseButtonClick();
  w.form->StopButtonClick();
  QVERIFY(!first->IsHeld());
  QVERIFY(w.ControlLines().isEmpty());

  // "СТАРТ" on the enabled button is not lost: it starts the next job once this one is gone.
  w.form->StartButtonClick();
  w.form->StartButtonClick();
  QCOMPARE(w.form->Job(), first.data());
  first->RequestStop();
  QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, kJobTimeoutMs);
  QTRY_VERIFY_WITH_TIMEOUT(w.form->Job() != nullptr, kJobTimeoutMs);
  QCOMPARE(w.dialogs->questions.size(), 1);  // the first job's leftovers
  QTRY_VERIFY_WITH_TIMEOUT(!w.form->StartButton->isEnabled(), kJobTimeoutMs);

  // Exactly one new job for the two presses.
  w.form->StopButtonClick();
  w.WaitForEnd();
  QTest::qWait(100);
  QVERIFY(w.form->Job() == nullptr);
  QCOMPARE(ended.size(), 2);
}

void ControlTest::windowDestroyedDuringRun_data() {
  QTest::addColumn<bool>("quitFirst");
  QTest::newRow("while the program runs") << false;
  QTest::newRow("after the application was told to quit") << true;
}

void ControlTest::windowDestroyedDuringRun() {
  // A window destroyed with its job still running (not the program's own close, which
  // waits first): the job is stopped and ends normally before the controls go.
  QFETCH(bool, quitFirst);
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  r.w.form->PauseButtonClick();
  if (quitFirst) {
    QCoreApplication::exit(0);  // every event loop now returns at once
    const auto resume = qScopeGuard([] {
      // The application's own loop clears the quit for the tests that follow.
      QTimer::singleShot(0, qApp, &QCoreApplication::quit);
      QCoreApplication::exec();
    });
    r.w.form.reset();
  } else {
    r.w.form.reset();
  }

  const QStringList logs = QDir(r.dir.Path()).entryList({QStringLiteral("log-*.txt")});
  QCOMPARE(logs.size(), 1);
  QStringList queue;
  QVERIFY(ReadTextLines(r.dir.File("lists.dat"), &queue));
  QCOMPARE(queue.size(), 3);
}

void ControlTest::closeWithoutRun() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  Window w(dir);
  w.Show();
  QVERIFY(w.form->close());
  QCOMPARE(w.quits, 1);
  QVERIFY(!w.form->IsClosing());
}

void ControlTest::jobThreadThatCannotStart() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  HarvestSettings settings = NeverAnsweringPortal();
  // A stack size the system refuses: the thread is never created.
  settings.beforeJobStart = [](QThread& job) { job.setStackSize(1); };
  TestWindow w(dir, settings, kJobTimeoutMs);
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.form->StartButtonClick();
  QVERIFY(w.form->Job() == nullptr);
  QCOMPARE(w.dialogs->errors.size(), 1);
  QVERIFY(w.dialogs->errors[0].contains(QStringLiteral("Не удалось запустить задание")));
  QVERIFY(w.form->StartButton->isEnabled());
  // The window is still usable: controls without a job do nothing, and a close quits at once.
  w.form->PauseButtonClick();
  w.form->StopButtonClick();
  QVERIFY(w.form->close());
  QCOMPARE(w.quits, 1);
}

void ControlTest::pauseDuringTheEndSteps() {
  ScratchDir dir;
  dir.Write("cities.txt", kCities);
  HarvestSettings settings = NeverAnsweringPortal();
  auto reached = std::make_shared<std::atomic<bool>>(false);
  auto go = std::make_shared<std::atomic<bool>>(false);
  settings.moment = [reached, go](const char* name) {
    if (std::string(name) != "end:closed") return;
    *reached = true;
    while (!*go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  Window w(dir);
  w.form.reset();
  w.form = std::make_unique<TMainForm>(dir.Path(), settings, w.dialogs);
  w.form->SetQuitAction([&w] { ++w.quits; });
  w.Show();
  w.form->SelectAllCitiesButtonClick();
  w.StartRunning();
  w.form->StopButtonClick();
  QTRY_VERIFY_WITH_TIMEOUT(reached->load(), kJobTimeoutMs);
  // The job is past its loop: nothing can hold it, so nothing may say it is paused.
  w.form->PauseButtonClick();
  QVERIFY(!w.form->Job()->IsHeld());
  *go = true;
  w.WaitForEnd();
  QCOMPARE(w.ControlLines(), (QStringList{kStopping}));
}

void ControlTest::pauseControlShowsTheHold() {
  RunningWindow r;
  QVERIFY(r.job != nullptr);
  Window& w = r.w;
  TScraper* job = r.job;
  QPushButton* pause = w.form->PauseButton;
  const auto shown = [&] { return pause->grab().toImage(); };
  const QImage running = shown();
  QVERIFY(!pause->isChecked());

  // Held by the user: pressed in, and it looks different; the caption stays.
  QTest::mouseClick(pause, Qt::LeftButton);
  QVERIFY(job->IsHeld());
  QVERIFY(pause->isChecked());
  QCOMPARE(pause->text(), QStringLiteral("пауза"));
  QVERIFY(shown() != running);
  QTest::mouseClick(pause, Qt::LeftButton);
  QVERIFY(!job->IsHeld());
  QVERIFY(!pause->isChecked());
  QCOMPARE(shown(), running);

  // Held by the job after an error (it holds itself, then arms the timer), released by the
  // timer.
  job->Hold();
  w.form->ArmResumeTimer(50);
  QVERIFY(pause->isChecked());
  QTRY_VERIFY(!job->IsHeld());
  QVERIFY(!pause->isChecked());

  // Stopped while held: released at once, and the run's end leaves it out.
  QTest::mouseClick(pause, Qt::LeftButton);
  QVERIFY(pause->isChecked());
  w.form->StopButtonClick();
  QVERIFY(!pause->isChecked());
  w.WaitForEnd();
  // Without a job a click does not press it in.
  QTest::mouseClick(pause, Qt::LeftButton);
  QVERIFY(!pause->isChecked());
  QCOMPARE(pause->text(), QStringLiteral("пауза"));
}

QTEST_MAIN(ControlTest)
#include "control_test.moc"
