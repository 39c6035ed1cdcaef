// The toolkit's standard buttons read Russian once the program's translation is installed.

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTranslator>

#include "app/toolkittexts.h"

class ToolkitTextsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void standardButtons_data();
  void standardButtons();
  void questionBoxButtons();
};

void ToolkitTextsTest::initTestCase() {
  // Before the translation the toolkit's own English texts; a system locale set to Russian
  // must not be what makes the test pass.
  QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Yes"));
  QVERIFY2(InstallToolkitTranslation() != nullptr,
           "qtbase_ru.qm not found in the toolkit's translations folder "
           "(Debian package qt6-translations-l10n)");
}

void ToolkitTextsTest::standardButtons_data() {
  QTest::addColumn<int>("button");
  QTest::addColumn<QString>("text");
  QTest::newRow("Yes") << int(QDialogButtonBox::Yes) << QStringLiteral("&Да");
  QTest::newRow("No") << int(QDialogButtonBox::No) << QStringLiteral("&Нет");
  QTest::newRow("Cancel") << int(QDialogButtonBox::Cancel) << QStringLiteral("Отмена");
}

void ToolkitTextsTest::standardButtons() {
  QFETCH(int, button);
  QFETCH(QString, text);
  const auto which = QDialogButtonBox::StandardButton(button);
  QDialogButtonBox box(which);
  QVERIFY(box.button(which) != nullptr);
  QCOMPARE(box.button(which)->text(), text);
}

void ToolkitTextsTest::questionBoxButtons() {
  // The buttons of the window's confirmation question (Yes and No, Yes the default).
  QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("?"),
                  QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::Yes);
  QCOMPARE(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Да"));
  QCOMPARE(box.button(QMessageBox::No)->text(), QStringLiteral("&Нет"));
}

QTEST_MAIN(ToolkitTextsTest)
#include "toolkittexts_test.moc"
