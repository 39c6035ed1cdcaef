// Whole runs started from the window against the substitute portal: a run to its end, and a
// window closed in the middle of a run, whose leftovers the next start offers to keep.

#include <QCheckBox>
#include <QDir>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QLabel>
#include <QSpinBox>
#include <QTest>
#include <memory>

#include "app/mainform.h"
#include "apptesthelpers.h"
#include "tests/support/simserver.h"
#include "text/textfile.h"

namespace {

constexpr int kRunTimeoutMs = 120000;

QStringList Dataset(int regions, int orgs, int houses) {
  return {QStringLiteral("--regions"), QString::number(regions), QStringLiteral("--orgs"),
          QString::number(orgs),       QStringLiteral("--houses"), QString::number(houses)};
}

// The portal's region list, as the installation would bring it.
bool WriteCities(const QStringList& dataset, const QString& path) {
  QProcess sim;
  sim.start(QStringLiteral(ORGH_PORTAL_SIM_EXE),
            dataset + QStringList{QStringLiteral("--write-cities"), path});
  return sim.waitForFinished(30000) && sim.exitStatus() == QProcess::NormalExit &&
         sim.exitCode() == 0 && QFile::exists(path);
}

HarvestSettings PortalSettings(const SimServer& sim) {
  HarvestSettings settings;
  settings.fetch.baseUrl = sim.BaseUrl();
  settings.fetch.certFile = SimServer::ClientCert();
  settings.fetch.keyFile = SimServer::ClientKey();
  settings.fetch.failPauseMs = 50;
  settings.fetch.additionalWaitMs = 10;
  settings.fetch.idleTimeoutSec = 30;
  settings.passWaitMs = 1;
  settings.errorPauseMs = 500;
  settings.openWorkbook = false;
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

}  // namespace

class RunControlTest : public QObject {
  Q_OBJECT

 private slots:
  void runToItsEnd();
  void closeDuringRunKeepsTheRest();
};

void RunControlTest::runToItsEnd() {
  const QStringList dataset = Dataset(4, 12, 60);
  SimServer sim(dataset);
  QString error;
  QVERIFY2(sim.Start(&error), qPrintable(error));
  ScratchDir dir;
  QVERIFY(WriteCities(dataset, dir.File("cities.txt")));

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
}

void RunControlTest::closeDuringRunKeepsTheRest() {
  const QStringList dataset = Dataset(6, 60, 300);
  // Slow answers keep the workers busy when the window closes.
  SimServer sim(dataset + QStringList{QStringLiteral("--delay"), QStringLiteral("300")});
  QString error;
  QVERIFY2(sim.Start(&error), qPrintable(error));
  ScratchDir dir;
  QVERIFY(WriteCities(dataset, dir.File("cities.txt")));

  {
    Window w(dir, sim);
    w.Show();
    w.form->SelectAllCitiesButtonClick();
    w.form->LimitEdit->setValue(2);
    w.form->StartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(sim.Requests().size() >= 3, kRunTimeoutMs);

    QVERIFY(!w.form->close());
    QVERIFY(!w.form->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(w.quits, 1, kRunTimeoutMs);
    QVERIFY(w.form->Job() == nullptr);
  }

  QCOMPARE(dir.Read("selection.txt").count("\r\n"), 6);
  const QString log = OnlyFile(dir, QStringLiteral("log-*.txt"));
  QVERIFY(!log.isEmpty());
  QStringList logLines;
  QVERIFY(ReadTextLines(log, &logLines));
  QVERIFY(logLines.join(QLatin1Char('\n')).contains(QStringLiteral(": Останавливаем работу")));
  QStringList queue;
  QVERIFY(ReadTextLines(dir.File("lists.dat"), &queue));
  QVERIFY(!queue.isEmpty());

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

QTEST_MAIN(RunControlTest)
#include "runcontrol_test.moc"
