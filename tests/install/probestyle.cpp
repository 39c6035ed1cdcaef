// Loaded into the installed program as its style: reports what the window shows to the file
// named by ORGH_PROBE_OUT, then closes the window the way the user would.
//   REGION <name>     one line per entry of the region list, in order
//   MESSAGE <text>    a message box that was open (it is then closed)
//   CLOSED            the window was closed
//   TIMEOUT           the window did not come up within 15 s

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStylePlugin>
#include <QTimer>
#include <memory>

namespace {

void Report(const QString& line) {
  QFile out(qEnvironmentVariable("ORGH_PROBE_OUT"));
  if (out.open(QIODevice::WriteOnly | QIODevice::Append)) out.write((line + u'\n').toUtf8());
}

void StartProbe() {
  auto* timer = new QTimer(qApp);
  auto ticks = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, ticks] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
        Report(QStringLiteral("MESSAGE ") + box->text());
        box->done(QMessageBox::Ok);
        return;
      }
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != QLatin1String("MainForm") || !w->isVisible()) continue;
      const auto* list = w->findChild<QListWidget*>(QStringLiteral("CitiesListBox"));
      if (list == nullptr) continue;
      for (int i = 0; i < list->count(); ++i) Report(QStringLiteral("REGION ") + list->item(i)->text());
      timer->stop();
      w->close();
      Report(QStringLiteral("CLOSED"));
      return;
    }
    if (++*ticks > 150) {
      timer->stop();
      Report(QStringLiteral("TIMEOUT"));
      QCoreApplication::exit(3);
    }
  });
  timer->start(100);
}

}  // namespace

class ProbeStylePlugin : public QStylePlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "probestyle.json")

 public:
  QStyle* create(const QString& key) override {
    if (key.compare(QLatin1String("orghprobe"), Qt::CaseInsensitive) != 0) return nullptr;
    StartProbe();
    return new QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  }
};

#include "probestyle.moc"
