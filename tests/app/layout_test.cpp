// The window's layout with whatever fonts the system has: no control overlaps another or
// leaves the window, and every caption fits its control, at the design size, the least size
// and a larger one, with the counters at their widest. tests/app/font-layout.sh runs it with
// a chosen set of fonts only and at a chosen scale (QT_SCALE_FACTOR); ORGH_EXPECT_FONT names
// the face the window must get from that set.

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTest>

#include "apptesthelpers.h"

namespace {

// The controls the window shows, by name.
QList<QWidget*> Controls(TMainForm* form) {
  QList<QWidget*> controls;
  for (QWidget* child : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (child->isVisible()) controls.append(child);
  return controls;
}

// "все" lies over the region list's lower right corner by design.
bool MayOverlap(const QWidget* a, const QWidget* b) {
  const auto is = [](const QWidget* w, const char* name) { return w->objectName() == QLatin1String(name); };
  return (is(a, "SelectAllCitiesButton") && is(b, "CitiesListBox")) ||
         (is(b, "SelectAllCitiesButton") && is(a, "CitiesListBox"));
}

// What a control's caption needs, or an empty size for controls without one.
QSize CaptionNeeds(const QWidget* control) {
  if (const auto* label = qobject_cast<const QLabel*>(control)) {
    const QFontMetrics fm = label->fontMetrics();
    return QSize(fm.horizontalAdvance(label->text()), fm.height());
  }
  if (const auto* box = qobject_cast<const QCheckBox*>(control))
    return QSize(box->sizeHint().width(), box->fontMetrics().height());
  if (const auto* button = qobject_cast<const QPushButton*>(control)) {
    const QFontMetrics fm = button->fontMetrics();
    const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    return QSize(fm.horizontalAdvance(button->text()) + margin, fm.height());
  }
  return QSize();
}

}  // namespace

class LayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void fontAndScaleAsAsked();
  void noOverlapAndCaptionsFit_data();
  void noOverlapAndCaptionsFit();
};

void LayoutTest::fontAndScaleAsAsked() {
  // The run is only worth something with the fonts and the scale it was started for.
  ScratchDir dir;
  TestWindow w(dir);
  w.Show();
  const QString expected = qEnvironmentVariable("ORGH_EXPECT_FONT");
  const QString family = QFontInfo(w.form->font()).family();
  qInfo("window face: %s, label face: %s, device pixel ratio %.2f", qPrintable(family),
        qPrintable(QFontInfo(w.form->Label3->font()).family()), w.form->devicePixelRatioF());
  if (!expected.isEmpty()) QCOMPARE(family, expected);
  if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
    QCOMPARE(w.form->devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
}

void LayoutTest::noOverlapAndCaptionsFit_data() {
  QTest::addColumn<QSize>("size");  // empty: the least the window allows
  QTest::addColumn<bool>("wideCounters");

  QTest::newRow("design size") << QSize(984, 424) << false;
  QTest::newRow("design size, counters at their widest") << QSize(984, 424) << true;
  QTest::newRow("least size, counters at their widest") << QSize() << true;
  QTest::newRow("larger") << QSize(1400, 760) << true;
}

void LayoutTest::noOverlapAndCaptionsFit() {
  QFETCH(QSize, size);
  QFETCH(bool, wideCounters);
  ScratchDir dir;
  dir.Write("cities.txt", Utf8WithMark(QStringLiteral("Кабардино-Балкарская Республика=07$$$a\r\n"
                                                      "Ханты-Мансийский автономный округ - Югра=86$$$b\r\n")));
  TestWindow w(dir);
  w.Show();
  TMainForm* form = w.form.get();
  if (wideCounters)
    form->SetCounters(QStringLiteral("Найдено организаций: 1000000"),
                      QStringLiteral("Записано организаций: 12345678"));
  const QSize target = size.isEmpty() ? QSize(1, 1) : size;
  form->resize(target);
  QTRY_VERIFY(form->size() == target.expandedTo(form->minimumSize()));
  form->grab();  // drawn once, as on a screen

  const QRect area = form->rect();
  const QList<QWidget*> controls = Controls(form);
  QVERIFY(controls.size() >= 12);
  for (QWidget* c : controls) {
    QVERIFY2(area.contains(c->geometry()),
             qPrintable(QStringLiteral("%1 leaves the window").arg(c->objectName())));
    const QSize needs = CaptionNeeds(c);
    if (!needs.isEmpty()) {
      QVERIFY2(c->width() >= needs.width() && c->height() >= needs.height(),
               qPrintable(QStringLiteral("%1 (%2 x %3) cuts its caption (needs %4 x %5)")
                              .arg(c->objectName())
                              .arg(c->width())
                              .arg(c->height())
                              .arg(needs.width())
                              .arg(needs.height())));
    }
  }
  for (qsizetype i = 0; i < controls.size(); ++i) {
    for (qsizetype j = i + 1; j < controls.size(); ++j) {
      QWidget* a = controls[i];
      QWidget* b = controls[j];
      if (MayOverlap(a, b)) continue;
      QVERIFY2(!a->geometry().intersects(b->geometry()),
               qPrintable(QStringLiteral("%1 and %2 overlap").arg(a->objectName(), b->objectName())));
    }
  }
  // The list's entries are as tall as their text.
  const QFontMetrics fm = form->CitiesListBox->fontMetrics();
  QVERIFY(form->CitiesListBox->visualItemRect(form->CitiesListBox->item(1)).height() >= fm.height());
}

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"
