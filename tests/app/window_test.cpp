// The window without a job: controls, region list, saved selection, check box, and the
// window's side of the job's calls.

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QScrollBar>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QStringEncoder>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <climits>
#include <memory>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QThread>

#include "app/folderlock.h"
#include "app/mainform.h"
#include "apptesthelpers.h"
#include "portal/api.h"
#include "tests/support/simserver.h"
#include "tests/support/testplatform.h"

namespace {

QByteArray Ansi(const QString& text) {
  QStringEncoder encoder("windows-1251");
  QByteArray bytes = encoder.encode(text);
  Q_ASSERT(!encoder.hasError());
  return bytes;
}

// The region list most cases use: a duplicate name, an empty entry and "Ё".
const QString kCities = QStringLiteral(
    "Москва=77$$$a\r\n"
    "Московская область=50$$$b\r\n"
    "Тверь=69$$$c\r\n"
    "Москва=77$$$dup\r\n"
    "\r\n"
    "Ёлки=01$$$e\r\n");

struct Window : TestWindow {
  explicit Window(const ScratchDir& dir) : TestWindow(dir) {}
  QStringList Names() const {
    QStringList names;
    for (int i = 0; i < form->CitiesListBox->count(); ++i)
      names.append(form->CitiesListBox->item(i)->text());
    return names;
  }
  QStringList Keys() const {
    QStringList keys;
    for (int i = 0; i < form->CitiesListBox->count(); ++i)
      keys.append(form->CitiesListBox->item(i)->data(Qt::UserRole).toString());
    return keys;
  }
  QList<int> Selected() const {
    QList<int> rows;
    for (int i = 0; i < form->CitiesListBox->count(); ++i)
      if (form->CitiesListBox->item(i)->isSelected()) rows.append(i);
    return rows;
  }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 public:
  // Run by the test main before anything else, as the program's main does it.
  static void initMain() { SetUpProcess(); }

 private slots:
  void regionListFromFile_data();
  void regionListFromFile();
  void missingRegionFile();
  void restoresSelection_data();
  void restoresSelection();
  void selectionComparedTheLocaleWay();
  void unreadableSelection();
  void savesSelectionOnClose_data();
  void savesSelectionOnClose();
  void unwritableSelectionKeepsWindowOpen();
  void selectAllSelectsEveryEntry();
  void additionalCheckBox();
  void limitEdit();
  void controlsAsDesigned_data();
  void controlsAsDesigned();
  void tabOrder();
  void jobCallsFromAnotherThread();
  void progressStaysInRange_data();
  void progressStaysInRange();
  void callWhoseWindowIsGoneReturns();
  void oneCopyPerFolder();
  void folderLockSaysWhatStandsInTheWay();
  void logViewKeepsEveryLineAndFollowsTheEnd();
  void logViewCopiesTheSelectedLines();
  void unusableCertificateOrKeyStartsNoJob_data();
  void unusableCertificateOrKeyStartsNoJob();
};

void WindowTest::regionListFromFile_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QStringList>("names");
  QTest::addColumn<QStringList>("keys");

  const QString cyrillic = QStringLiteral("Москва=77$$$0c5b\r\nТверская обл.=69$$$6172\r\n");
  const QStringList cyrillicNames = {QStringLiteral("Москва"), QStringLiteral("Тверская обл.")};
  const QStringList cyrillicKeys = {QStringLiteral("77$$$0c5b"), QStringLiteral("69$$$6172")};
  QTest::newRow("UTF-8 with mark") << Utf8WithMark(cyrillic) << cyrillicNames << cyrillicKeys;
  QTest::newRow("ANSI code page") << Ansi(cyrillic) << cyrillicNames << cyrillicKeys;

  QTest::newRow("only the first = splits")
      << QByteArray("A=1$$$x=y==\r\n") << QStringList{"A"} << QStringList{"1$$$x=y=="};
  QTest::newRow("spaces around = kept")
      << QByteArray(" A b = 1$$$g \r\n") << QStringList{" A b "} << QStringList{" 1$$$g "};
  QTest::newRow("final break adds nothing, blank line inside is an entry")
      << QByteArray("A=1\r\n\r\nB=2\r\n") << QStringList{"A", "", "B"}
      << QStringList{"1", "", "2"};
  QTest::newRow("no final break") << QByteArray("A=1\nB=2") << QStringList{"A", "B"}
                                  << QStringList{"1", "2"};
  QTest::newRow("LF and CR line ends") << QByteArray("A=1\nB=2\rC=3\r\n")
                                       << QStringList{"A", "B", "C"}
                                       << QStringList{"1", "2", "3"};
  QTest::newRow("line without = shown whole with an empty key")
      << Ansi(QStringLiteral("Просто строка\r\nB=2\r\n"))
      << QStringList{QStringLiteral("Просто строка"), "B"} << QStringList{"", "2"};
  QTest::newRow("line starting with =") << QByteArray("=77$$$a\r\n") << QStringList{""}
                                        << QStringList{"77$$$a"};
  QTest::newRow("empty file") << QByteArray() << QStringList{} << QStringList{};
}

void WindowTest::regionListFromFile() {
  QFETCH(QByteArray, bytes);
  QFETCH(QStringList, names);
  QFETCH(QStringList, keys);
  ScratchDir dir;
  dir.Write("cities.txt", bytes);
  Window w(dir);
  w.Show();
  QCOMPARE(w.Names(), names);
  QCOMPARE(w.Keys(), keys);
  QVERIFY(w.Selected().isEmpty());
  QVERIFY(w.dialogs->errors.isEmpty());
}

void WindowTest::missingRegionFile() {
  ScratchDir dir;
  dir.Write("selection.txt", Ansi(QStringLiteral("Москва\r\n")));
  Window w(dir);
  w.Show();
  QCOMPARE(w.form->CitiesListBox->count(), 0);
  QCOMPARE(w.dialogs->errors.size(), 1);
  const QString prefix = QStringLiteral("Cannot open file \"%1\". ").arg(dir.File("cities.txt"));
  QVERIFY2(w.dialogs->errors[0].startsWith(prefix), qPrintable(w.dialogs->errors[0]));
  QVERIFY(w.dialogs->errors[0].size() > prefix.size());  // the system's reason follows

  // The empty list is what gets saved: the earlier selection is replaced by nothing.
  QVERIFY(w.form->close());
  QCOMPARE(dir.Read("selection.txt"), QByteArray());
  QVERIFY(dir.Exists("selection.txt"));
}

void WindowTest::restoresSelection_data() {
  QTest::addColumn<bool>("present");
  QTest::addColumn<QByteArray>("saved");
  QTest::addColumn<QList<int>>("selected");

  QTest::newRow("no file") << false << QByteArray() << QList<int>{};
  QTest::newRow("zero-byte file") << true << QByteArray() << QList<int>{};
  QTest::newRow("exact names, file order ignored")
      << true << Ansi(QStringLiteral("Тверь\r\nМосковская область\r\n")) << QList<int>{1, 2};
  QTest::newRow("letter case differs; both entries of a name")
      << true << Ansi(QStringLiteral("мОСКВА\r\n")) << QList<int>{0, 3};
  QTest::newRow("Ё in the other case") << true << Utf8WithMark(QStringLiteral("ёЛКИ\r\n"))
                                       << QList<int>{5};
  QTest::newRow("unknown names ignored")
      << true << Ansi(QStringLiteral("Казань\r\nТВЕРЬ\r\nМоск\r\n")) << QList<int>{2};
  QTest::newRow("empty line selects the empty entry") << true << QByteArray("\r\n")
                                                      << QList<int>{4};
}

void WindowTest::restoresSelection() {
  QFETCH(bool, present);
  QFETCH(QByteArray, saved);
  QFETCH(QList<int>, selected);
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(kCities));
  if (present) dir.Write("selection.txt", saved);
  Window w(dir);
  w.Show();
  QCOMPARE(w.form->CitiesListBox->count(), 6);
  QCOMPARE(w.Selected(), selected);
  QVERIFY(w.dialogs->errors.isEmpty());
}

void WindowTest::selectionComparedTheLocaleWay() {
  // Under Russian regional settings a name saved with "й" as "и" plus a combining breve, in
  // another letter case, is the same name.
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(QStringLiteral("Тверь=69$$$c\r\nЙошкар-Ола=12$$$d\r\n")));
  dir.Write("selection.txt", Utf8WithMark(QStringLiteral("и\u0306ошкар-ола\r\n")));
  Window w(dir);
  w.Show();
  QCOMPARE(w.Selected(), QList<int>{1});
}

void WindowTest::unreadableSelection() {
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(kCities));
  dir.Block("selection.txt");
  Window w(dir);
  w.Show();
  QCOMPARE(w.form->CitiesListBox->count(), 6);
  QVERIFY(w.Selected().isEmpty());
  QCOMPARE(w.dialogs->errors.size(), 1);
  QVERIFY(w.dialogs->errors[0].startsWith(
      QStringLiteral("Cannot open file \"%1\". ").arg(dir.File("selection.txt"))));
}

void WindowTest::savesSelectionOnClose_data() {
  QTest::addColumn<QList<int>>("select");  // in the order the user picks them
  QTest::addColumn<QByteArray>("written");
  QTest::addColumn<QList<int>>("restored");  // at the next start

  QTest::newRow("three, in list order")
      << QList<int>{5, 2, 1} << Ansi(QStringLiteral("Московская область\r\nТверь\r\nЁлки\r\n"))
      << QList<int>{1, 2, 5};
  // Both entries of a name come back, since the file holds names, not entries.
  QTest::newRow("a name listed twice") << QList<int>{3}
                                       << Ansi(QStringLiteral("Москва\r\n"))
                                       << QList<int>{0, 3};
  QTest::newRow("none: zero bytes") << QList<int>{} << QByteArray() << QList<int>{};
  QTest::newRow("the empty entry") << QList<int>{4} << QByteArray("\r\n") << QList<int>{4};
}

void WindowTest::savesSelectionOnClose() {
  QFETCH(QList<int>, select);
  QFETCH(QByteArray, written);
  QFETCH(QList<int>, restored);
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(kCities));
  dir.Write("selection.txt", Ansi(QStringLiteral("Москва\r\nТверь\r\n")));
  Window w(dir);
  w.Show();
  w.form->CitiesListBox->clearSelection();
  for (int row : select) w.form->CitiesListBox->item(row)->setSelected(true);

  QVERIFY(w.form->close());
  QVERIFY(!w.form->isVisible());
  QCOMPARE(w.quits, 1);
  QVERIFY(dir.Exists("selection.txt"));
  QCOMPARE(dir.Read("selection.txt"), written);

  // The next start selects what was saved.
  Window again(dir);
  again.Show();
  QCOMPARE(again.Selected(), restored);
}

void WindowTest::unwritableSelectionKeepsWindowOpen() {
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(kCities));
  Window w(dir);
  w.Show();
  w.form->CitiesListBox->item(1)->setSelected(true);
  dir.Block("selection.txt");

  QVERIFY(!w.form->close());
  QVERIFY(w.form->isVisible());
  QCOMPARE(w.quits, 0);
  QCOMPARE(w.dialogs->errors.size(), 1);
  const QString prefix =
      QStringLiteral("Cannot create file \"%1\". ").arg(dir.File("selection.txt"));
  QVERIFY2(w.dialogs->errors[0].startsWith(prefix), qPrintable(w.dialogs->errors[0]));
  QVERIFY(w.dialogs->errors[0].size() > prefix.size());
}

void WindowTest::selectAllSelectsEveryEntry() {
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(kCities));
  Window w(dir);
  w.Show();
  QTest::mouseClick(w.form->SelectAllCitiesButton, Qt::LeftButton);
  QCOMPARE(w.Selected(), (QList<int>{0, 1, 2, 3, 4, 5}));
  // What the job reads: every entry, the empty one included, in list order.
  const QList<RegionItem> regions = w.form->SelectedRegions();
  QCOMPARE(regions.size(), 6);
  QCOMPARE(regions[3].key, QStringLiteral("77$$$dup"));
  QCOMPARE(regions[4].name, QString());
  QCOMPARE(regions[4].key, QString());

  // While a run has the list disabled, "все" leaves its selection alone.
  w.form->CitiesListBox->clearSelection();
  w.form->CitiesListBox->item(2)->setSelected(true);
  w.form->SetRunControlsEnabled(false);
  QTest::mouseClick(w.form->SelectAllCitiesButton, Qt::LeftButton);
  QCOMPARE(w.Selected(), QList<int>{2});
}

void WindowTest::additionalCheckBox() {
  ScratchDir dir;
  dir.Write("cities.txt", QByteArray());
  Window w(dir);
  w.Show();
  w.form->LimitEdit->setValue(5);
  int limitWhileShown = -1;
  w.dialogs->onInfo = [&] { limitWhileShown = w.form->LimitEdit->value(); };

  QTest::mouseClick(w.form->AdditionalCheckBox, Qt::LeftButton);
  QVERIFY(w.form->AdditionalCheckBox->isChecked());
  QVERIFY(w.form->ReadAdditional());
  QCOMPARE(w.dialogs->infos,
           QStringList{QStringLiteral(
               "В этом режиме сбор будет идти медленно (сайт медленно отдаёт доп. данные), и не "
               "более чем в один поток (при превышении интенсивности будут временные "
               "блокировки)!")});
  QCOMPARE(limitWhileShown, 5);  // the value changes only after the message was closed
  QCOMPARE(w.form->LimitEdit->value(), 1);

  QTest::mouseClick(w.form->AdditionalCheckBox, Qt::LeftButton);
  QVERIFY(!w.form->AdditionalCheckBox->isChecked());
  QCOMPARE(w.dialogs->infos.size(), 1);
  QCOMPARE(w.form->LimitEdit->value(), 1);
}

void WindowTest::limitEdit() {
  ScratchDir dir;
  Window w(dir);
  QSpinBox* edit = w.form->LimitEdit;
  QCOMPARE(edit->value(), 3);
  QCOMPARE(edit->singleStep(), 1);
  QCOMPARE(edit->toolTip(), QStringLiteral("Число потоков выгрузки"));
  // No fewer than one download thread; no upper bound of its own.
  QCOMPARE(edit->minimum(), 1);
  QCOMPARE(edit->maximum(), INT_MAX);
  edit->setValue(0);
  QCOMPARE(edit->value(), 1);
  edit->setValue(-5);
  QCOMPARE(w.form->ReadLimit(), 1);
  edit->setValue(250);
  QCOMPARE(w.form->ReadLimit(), 250);
}

void WindowTest::controlsAsDesigned_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QRect>("design");   // at 984 x 424
  QTest::addColumn<QRect>("resized");  // at 1184 x 524
  QTest::addColumn<bool>("wholeRect");  // false: position only (sized by the text)

  auto row = [](const char* name, const QString& text, QRect design, QRect resized,
                bool whole = true) {
    QTest::newRow(name) << QString::fromLatin1(name) << text << design << resized << whole;
  };
  row("Label1", QStringLiteral("Регионы"), QRect(8, 8, 0, 0), QRect(8, 8, 0, 0), false);
  row("CitiesListBox", QString(), QRect(8, 27, 257, 374), QRect(8, 27, 257, 474));
  row("SelectAllCitiesButton", QStringLiteral("все"), QRect(210, 376, 41, 25),
      QRect(210, 476, 41, 25));
  row("StartButton", QStringLiteral("СТАРТ"), QRect(291, 8, 446, 37), QRect(491, 8, 446, 37));
  row("LimitEdit", QString(), QRect(743, 19, 42, 21), QRect(943, 19, 42, 21));
  row("PauseButton", QStringLiteral("пауза"), QRect(820, 8, 75, 25), QRect(1020, 8, 75, 25));
  row("StopButton", QStringLiteral("стоп"), QRect(901, 8, 75, 25), QRect(1101, 8, 75, 25));
  row("Label4", QStringLiteral("Найдено организаций: 0"), QRect(792, 37, 0, 0),
      QRect(992, 37, 0, 0), false);
  row("Label3", QStringLiteral("Записано организаций: 0"), QRect(792, 51, 0, 0),
      QRect(992, 51, 0, 0), false);
  row("AdditionalCheckBox",
      QStringLiteral("Загружать данные из вкладки \"Дополнительная информация\""),
      QRect(404, 47, 0, 0), QRect(404, 47, 0, 0), false);
  row("Label2", QStringLiteral("Логи"), QRect(271, 51, 0, 0), QRect(271, 51, 0, 0), false);
  row("LogsMemo", QString(), QRect(271, 70, 705, 331), QRect(271, 70, 905, 431));
  row("ProgressBar", QString(), QRect(0, 407, 984, 17), QRect(0, 507, 1184, 17));
}

void WindowTest::controlsAsDesigned() {
  QFETCH(QString, name);
  QFETCH(QString, text);
  QFETCH(QRect, design);
  QFETCH(QRect, resized);
  QFETCH(bool, wholeRect);
  ScratchDir dir;
  Window w(dir);
  w.Show();
  QCOMPARE(w.form->size(), QSize(984, 424));
  QCOMPARE(w.form->windowTitle(), AppTitle());

  auto* control = w.form->findChild<QWidget*>(name);
  QVERIFY(control != nullptr);
  if (!text.isEmpty()) {
    QString shown;
    if (auto* label = qobject_cast<QLabel*>(control)) shown = label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(control)) shown = button->text();
    QCOMPARE(shown, text);
  }
  auto check = [&](const QRect& expected) {
    if (wholeRect) {
      QCOMPARE(control->geometry(), expected);
    } else {
      QCOMPARE(control->pos(), expected.topLeft());
      // Nothing cut off: the control is at least as large as its text needs.
      QVERIFY(control->width() >= control->sizeHint().width());
    }
  };
  check(design);
  w.form->resize(1184, 524);
  QTRY_COMPARE(w.form->size(), QSize(1184, 524));
  check(resized);
  w.form->resize(984, 424);
  QTRY_COMPARE(w.form->size(), QSize(984, 424));
  check(design);
}

void WindowTest::tabOrder() {
  ScratchDir dir;
  Window w(dir);
  TMainForm* f = w.form.get();
  f->show();
  QVERIFY(QTest::qWaitForWindowActive(f));
  const QList<QWidget*> order = {f->CitiesListBox, f->StartButton,           f->PauseButton,
                                 f->StopButton,    f->LogsMemo,              f->SelectAllCitiesButton,
                                 f->LimitEdit,     f->AdditionalCheckBox,    f->CitiesListBox};
  f->CitiesListBox->setFocus(Qt::TabFocusReason);
  for (int i = 0; i + 1 < order.size(); ++i) {
    QWidget* focused = QApplication::focusWidget();
    // A spin box keeps the focus in its own line edit.
    QVERIFY(focused == order[i] || order[i]->isAncestorOf(focused));
    QTest::keyClick(focused, Qt::Key_Tab);
    QWidget* next = QApplication::focusWidget();
    QVERIFY2(next == order[i + 1] || order[i + 1]->isAncestorOf(next),
             qPrintable(order[i]->objectName() + QStringLiteral(" -> ") +
                        (next ? next->objectName() : QStringLiteral("nothing"))));
  }
  for (QWidget* c : {static_cast<QWidget*>(f->Label1), static_cast<QWidget*>(f->Label2),
                     static_cast<QWidget*>(f->Label3), static_cast<QWidget*>(f->Label4),
                     static_cast<QWidget*>(f->ProgressBar)})
    QCOMPARE(c->focusPolicy(), Qt::NoFocus);
  QCOMPARE(f->CitiesListBox->selectionMode(), QAbstractItemView::ExtendedSelection);
  QCOMPARE(f->LogsMemo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QCOMPARE(f->LogsMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QVERIFY(!f->ProgressBar->isTextVisible());
  QVERIFY(f->ResumeTimer->isSingleShot());
  QVERIFY(!f->ResumeTimer->isActive());
  QCOMPARE(f->StartButton->font().pixelSize(), 19);
  QCOMPARE(f->font().pixelSize(), 11);
}

void WindowTest::jobCallsFromAnotherThread() {
  ScratchDir dir;
  dir.Write("cities.txt", QByteArray("A=1$$$a\r\nB=2$$$b\r\nC=3$$$c\r\n"));
  Window w(dir);
  w.Show();
  w.form->CitiesListBox->item(2)->setSelected(true);
  w.form->CitiesListBox->item(0)->setSelected(true);
  w.form->LimitEdit->setValue(7);

  // What a job thread sees, each call run on the window's thread while it waits.
  std::atomic<bool> done{false};
  QList<RegionItem> regions;
  int limit = 0;
  bool additional = true;
  QStringList lines;
  std::thread job([&] {
    regions = w.form->SelectedRegions();
    limit = w.form->ReadLimit();
    additional = w.form->ReadAdditional();
    w.form->ClearLog();
    for (int i = 0; i < 100; ++i) w.form->AddLogLine(QStringLiteral("line %1").arg(i));
    w.form->SetCounters(QStringLiteral("Найдено организаций: 12"),
                        QStringLiteral("Записано организаций: 3"));
    w.form->SetProgress(40, 10, QStringLiteral("10 из 40, осталось 30"));
    w.form->SetRunControlsEnabled(false);
    w.form->ArmResumeTimer(60000);
    lines = w.form->LogLines();
    done = true;
  });
  QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
  job.join();

  QCOMPARE(regions.size(), 2);
  QCOMPARE(regions[0].name, QStringLiteral("A"));
  QCOMPARE(regions[0].key, QStringLiteral("1$$$a"));
  QCOMPARE(regions[1].key, QStringLiteral("3$$$c"));
  QCOMPARE(limit, 7);
  QVERIFY(!additional);
  QCOMPARE(lines.size(), 100);
  QCOMPARE(lines.first(), QStringLiteral("line 0"));
  QCOMPARE(lines.last(), QStringLiteral("line 99"));
  QCOMPARE(w.form->Label4->text(), QStringLiteral("Найдено организаций: 12"));
  QCOMPARE(w.form->Label3->text(), QStringLiteral("Записано организаций: 3"));
  QCOMPARE(w.form->ProgressBar->value(), 10);
  QCOMPARE(w.form->ProgressBar->maximum(), 40);
  QCOMPARE(w.form->ProgressBar->toolTip(), QStringLiteral("10 из 40, осталось 30"));
  QVERIFY(!w.form->CitiesListBox->isEnabled());
  QVERIFY(!w.form->StartButton->isEnabled());
  QVERIFY(!w.form->AdditionalCheckBox->isEnabled());
  QVERIFY(w.form->LimitEdit->isEnabled());
  QVERIFY(w.form->ResumeTimer->isActive());
  QCOMPARE(w.form->ResumeTimer->interval(), 60000);

  // The same calls on the window's own thread run at once.
  w.form->SetRunControlsEnabled(true);
  QVERIFY(w.form->StartButton->isEnabled());
  w.form->ClearLog();
  QVERIFY(w.form->LogLines().isEmpty());
}

void WindowTest::progressStaysInRange_data() {
  QTest::addColumn<int>("maximum");
  QTest::addColumn<int>("position");
  QTest::addColumn<int>("shown");

  QTest::newRow("inside") << 100 << 40 << 40;
  QTest::newRow("past the maximum") << 10 << 15 << 10;
  QTest::newRow("negative") << 10 << -3 << 0;
  QTest::newRow("empty queue") << 0 << 0 << 0;
}

void WindowTest::progressStaysInRange() {
  QFETCH(int, maximum);
  QFETCH(int, position);
  QFETCH(int, shown);
  ScratchDir dir;
  Window w(dir);
  w.form->SetProgress(maximum, position, QStringLiteral("hint"));
  QCOMPARE(w.form->ProgressBar->value(), shown);
  // Never the busy indicator that a range of 0..0 would draw.
  QVERIFY(w.form->ProgressBar->maximum() > w.form->ProgressBar->minimum());
  QCOMPARE(w.form->ProgressBar->toolTip(), QStringLiteral("hint"));
}

void WindowTest::callWhoseWindowIsGoneReturns() {
  ScratchDir dir;
  auto form = std::make_unique<TMainForm>(dir.Path(), HarvestSettings(), std::make_shared<FakeDialogs>());
  TMainForm* window = form.get();
  std::atomic<bool> returned{false};
  int limit = -1;
  std::thread caller([&] {
    limit = window->ReadLimit();
    returned = true;
  });
  // The call waits in the window's queue; the window goes before serving it.
  QTest::qSleep(200);
  form.reset();
  const QDeadlineTimer deadline(10000);
  while (!returned && !deadline.hasExpired()) QThread::msleep(10);
  if (!returned) {
    caller.detach();
    QFAIL("the caller still waits for a window that is gone");
  }
  caller.join();
  QCOMPARE(limit, 0);
}

void WindowTest::oneCopyPerFolder() {
  ScratchDir dir;
  FolderLock first(dir.Path());
  QVERIFY(first.Take());
  FolderLock second(dir.Path());
  const FileOutcome refused = second.Take();
  QVERIFY(!refused);
  const QString& message = refused.reason;
  QVERIFY2(message.contains(QStringLiteral("уже работает другая копия программы")), qPrintable(message));
  // A copy on this computer is named as such, never as another computer's.
  QVERIFY2(!message.contains(QStringLiteral("удалите файл")), qPrintable(message));
  QVERIFY(!LockHostName().isEmpty());
  QVERIFY(message.contains(QString::number(QCoreApplication::applicationPid())));

  // A copy that died holding the folder (its lock file left behind) does not block it.
  ScratchDir other;
  const pid_t child = ::fork();
  if (child == 0) {
    FolderLock lock(other.Path());
    ::_exit(lock.Take() ? 0 : 1);  // no destructor: the file stays, as after a crash
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  QVERIFY(other.Exists(FolderLock::FileName()));
  FolderLock taker(other.Path());
  const FileOutcome taken = taker.Take();
  QVERIFY2(taken, qPrintable(taken.reason));

  // A crashed copy's lock that names this copy's own process id (the system reuses ids after
  // a restart): no live copy can hold it, so it is taken over, not refused for ever.
  ScratchDir reused;
  // Written as this very program writes it: the toolkit takes a lock whose process is gone,
  // or runs another program, for stale by itself.
  const QByteArray ownId = QByteArray::number(QCoreApplication::applicationPid());
  const QByteArray ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8();
  reused.Write(FolderLock::FileName(), ownId + "\n" + ownName + "\n" + LockHostName().toUtf8() + "\n");
  {
    FolderLock afterRestart(reused.Path());
    const FileOutcome resumed = afterRestart.Take();
    QVERIFY2(resumed, qPrintable(resumed.reason));
    // ...while the lock this copy now holds still turns a second taker away.
    FolderLock again(reused.Path());
    QVERIFY(!again.Take());
  }
  // The same id written by another computer is that computer's copy: refused, as before.
  reused.Write(FolderLock::FileName(), ownId + "\n" + ownName + "\nbuh-pc-07\n");
  FolderLock elsewhere(reused.Path());
  const FileOutcome refusedElsewhere = elsewhere.Take();
  QVERIFY2(!refusedElsewhere && refusedElsewhere.reason.contains(QStringLiteral("buh-pc-07")),
           qPrintable(refusedElsewhere.reason));
}

void WindowTest::folderLockSaysWhatStandsInTheWay() {
  // A copy that ends gives the folder back.
  ScratchDir dir;
  {
    FolderLock first(dir.Path());
    QVERIFY(first.Take());
  }
  QVERIFY(!dir.Exists(FolderLock::FileName()));
  {
    FolderLock again(dir.Path());
    const FileOutcome taken = again.Take();
    QVERIFY2(taken, qPrintable(taken.reason));
  }

  // A lock written by another computer over a shared folder: named, with the way to take it.
  dir.Write(FolderLock::FileName(), "4242\norgharvester\nbuh-pc-07\n");
  FolderLock shared(dir.Path());
  const FileOutcome sharedTaken = shared.Take();
  QVERIFY(!sharedTaken);
  for (const QString& part : {QStringLiteral("buh-pc-07"), QStringLiteral("4242"),
                              QStringLiteral("удалите файл ") + QDir::toNativeSeparators(dir.File(FolderLock::FileName()))})
    QVERIFY2(sharedTaken.reason.contains(part), qPrintable(sharedTaken.reason));

  // A folder that cannot be written, and a full disk, each say what they are.
  ScratchDir readOnly;
  QFile::setPermissions(readOnly.Path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                             QFileDevice::ExeOther);
  QVERIFY(AsOrdinaryUser([&] {
    FolderLock lock(readOnly.Path());
    const FileOutcome taken = lock.Take();
    return !taken && taken.reason.contains(QStringLiteral("нет доступа к папке на запись"));
  }));
  SmallDisk disk(64);
  if (!disk.Available()) QSKIP("no small file system can be mounted here (not root)");
  disk.Fill();
  FolderLock full(disk.Path());
  const FileOutcome fullTaken = full.Take();
  QVERIFY(!fullTaken);
  QVERIFY2(!fullTaken.reason.contains(QStringLiteral("нет доступа")), qPrintable(fullTaken.reason));
  QVERIFY2(fullTaken.reason.contains(QStringLiteral("No space left on device")), qPrintable(fullTaken.reason));
}

void WindowTest::logViewKeepsEveryLineAndFollowsTheEnd() {
  ScratchDir dir;
  Window w(dir);
  w.Show();
  TLogView* view = w.form->LogsMemo;
  const int rowsInSight = view->viewport()->height() / view->RowHeight();
  QVERIFY(rowsInSight > 3);

  for (int i = 0; i < 5000; ++i) w.form->AddLogLine(QStringLiteral("line %1").arg(i));
  // Stored at once, shown with the next batch, which follows the end.
  QCOMPARE(w.form->LogLines().size(), 5000);
  QCOMPARE(w.form->LogLines().last(), QStringLiteral("line 4999"));
  QTRY_COMPARE(view->ShownLines(), 5000);
  QCOMPARE(view->LastVisibleRow(), 4999);
  const int narrow = view->horizontalScrollBar()->maximum();

  // A much longer line later on widens the view's sideways range.
  w.form->AddLogLine(QStringLiteral("long ") + QString(400, QLatin1Char('x')));
  QTRY_COMPARE(view->ShownLines(), 5001);
  QVERIFY(view->horizontalScrollBar()->maximum() > narrow + 1000);
  QCOMPARE(view->LastVisibleRow(), 5000);

  // A line with a line break is two lines, as the text view took it.
  w.form->AddLogLine(QStringLiteral("first half\nsecond half"));
  QCOMPARE(w.form->LogLines().mid(5001), (QStringList{"first half", "second half"}));

  // Someone reading older lines keeps their place while lines come in.
  view->verticalScrollBar()->setValue(0);
  for (int i = 0; i < 100; ++i) w.form->AddLogLine(QStringLiteral("more %1").arg(i));
  QTRY_COMPARE(view->ShownLines(), 5103);
  QCOMPARE(view->FirstVisibleRow(), 0);

  // Cleared: nothing stored, nothing shown, and new lines follow the end again.
  w.form->ClearLog();
  QVERIFY(w.form->LogLines().isEmpty());
  QCOMPARE(view->ShownLines(), 0);
  QCOMPARE(view->FirstVisibleRow(), -1);
  for (int i = 0; i < 3 * rowsInSight; ++i) w.form->AddLogLine(QStringLiteral("again %1").arg(i));
  QTRY_COMPARE(view->ShownLines(), 3 * rowsInSight);
  QCOMPARE(view->LastVisibleRow(), 3 * rowsInSight - 1);

  // What is in sight is painted: the last line's text reaches the picture.
  const QImage picture = view->viewport()->grab().toImage();
  bool inked = false;
  const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
  for (int y = picture.height() - view->RowHeight(); y < picture.height() && !inked; ++y)
    for (int x = 0; x < 60 && !inked; ++x) inked = picture.pixel(x, y) != background;
  QVERIFY(inked);
}

void WindowTest::logViewCopiesTheSelectedLines() {
  ScratchDir dir;
  Window w(dir);
  w.Show();
  for (const char* line : {"первая", "вторая", "третья", "четвёртая"})
    w.form->AddLogLine(QString::fromUtf8(line));
  TLogView* view = w.form->LogsMemo;
  view->Flush();
  QCOMPARE(view->ShownLines(), 4);

  // A click on the second row, Shift and a click on the third.
  const int h = view->RowHeight();
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, h + h / 2));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(10, 2 * h + h / 2));
  QApplication::clipboard()->clear();
  QTest::keySequence(view, QKeySequence::Copy);
  QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("вторая\nтретья"));

  // Ctrl+A takes them all; a click below the last row selects nothing.
  QTest::keySequence(view, QKeySequence::SelectAll);
  QCOMPARE(view->SelectedLines().size(), 4);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10 * h));
  QVERIFY(view->SelectedLines().isEmpty());
  // Typing changes nothing: the log is read only.
  QTest::keyClicks(view, QStringLiteral("abc"));
  QCOMPARE(w.form->LogLines().size(), 4);
}

void WindowTest::unusableCertificateOrKeyStartsNoJob_data() {
  QTest::addColumn<QString>("cert");
  QTest::addColumn<QString>("key");
  QTest::addColumn<QByteArray>("passphrase");
  QTest::addColumn<QString>("namedFile");  // the full path the message names
  QTest::addColumn<QString>("reason");

  const QString cert = SimServer::ClientCert();
  const QString key = SimServer::ClientKey();
  const QString missingCert = QStringLiteral("no-such-01cert.pem");  // relative: the message
  const QString missingKey = QStringLiteral("no-such-01key.pem");    // gives the full path
  QTest::newRow("certificate missing")
      << missingCert << key << DefaultKeyPassphrase() << QFileInfo(missingCert).absoluteFilePath()
      << QStringLiteral("файл сертификата отсутствует или не читается");
  QTest::newRow("key missing")
      << cert << missingKey << DefaultKeyPassphrase() << QFileInfo(missingKey).absoluteFilePath()
      << QStringLiteral("файл ключа отсутствует или не читается");
  QTest::newRow("wrong pass phrase")
      << cert << key << QByteArray("wrongpas") << key
      << QStringLiteral("ключ не открывается паролем программы");
  // The server's key belongs to another certificate.
  QTest::newRow("key not matching the certificate")
      << cert << SimServer::TlsDir() + QStringLiteral("server.key") << DefaultKeyPassphrase()
      << SimServer::TlsDir() + QStringLiteral("server.key")
      << QStringLiteral("ключ не соответствует сертификату ") + cert;
}

void WindowTest::unusableCertificateOrKeyStartsNoJob() {
  QFETCH(QString, cert);
  QFETCH(QString, key);
  QFETCH(QByteArray, passphrase);
  QFETCH(QString, namedFile);
  QFETCH(QString, reason);
  ScratchDir dir;
  dir.Write("cities.txt", QByteArray("A=1$$$a\r\n"));
  HarvestSettings settings;
  settings.fetch.baseUrl = QStringLiteral("https://127.0.0.1:9/");
  settings.fetch.certFile = cert;
  settings.fetch.keyFile = key;
  settings.fetch.keyPassphrase = passphrase;
  settings.openWorkbook = false;
  TestWindow w(dir, settings);
  w.Show();
  w.form->CitiesListBox->item(0)->setSelected(true);

  w.form->StartButtonClick();
  QVERIFY(w.form->Job() == nullptr);
  QCOMPARE(w.dialogs->errors.size(), 1);
  const QString message = w.dialogs->errors[0];
  QVERIFY2(message.contains(QStringLiteral("Файл: ") + namedFile + QLatin1Char('\n')), qPrintable(message));
  QVERIFY2(message.contains(QStringLiteral("Причина: ") + reason), qPrintable(message));
  QVERIFY2(message.contains(QStringLiteral("работа не начата")), qPrintable(message));
  // The last paragraph says what to do.
  QVERIFY(!message.section(QStringLiteral("\n\n"), 2).trimmed().isEmpty());
  // Nothing of a run: no log, no files, the controls as they were.
  QVERIFY(w.form->LogLines().isEmpty());
  QVERIFY(w.form->StartButton->isEnabled());
  QVERIFY(!dir.Exists("lists.dat"));
  QVERIFY(QDir(dir.Path()).entryList({QStringLiteral("data*.tab")}).isEmpty());
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
