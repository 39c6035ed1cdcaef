// Loaded into the installed program as its style: reports what the window shows to the file
// named by ORGH_PROBE_OUT, then closes the window the way the user would.
//   CWD <path>        the program's current directory
//   REGION <name>     one line per entry of the region list, in order
//   MESSAGE <text>    a message box that was open (it is then closed)
//   CLOSED            the window was closed
//   TIMEOUT           the window did not come up within 15 s
// With ORGH_PROBE_RUN=N it first ticks the first N regions, presses "СТАРТ", waits until the
// run has ended (the button is enabled again) and reports the log view:
//   LOG <line>        one line per line of the log view

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
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
  auto phase = std::make_shared<int>(0);  // 0 window not seen, 1 start pressed, 2 running
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, ticks, phase] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
        Report(QStringLiteral("MESSAGE ") + box->text());
        box->done(QMessageBox::Ok);
        return;
      }
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != QLatin1String("MainForm") || !w->isVisible()) continue;
      auto* list = w->findChild<QListWidget*>(QStringLiteral("CitiesListBox"));
      auto* start = w->findChild<QPushButton*>(QStringLiteral("StartButton"));
      if (list == nullptr || start == nullptr) continue;
      if (*phase == 0) {
        Report(QStringLiteral("CWD ") + QDir::currentPath());
        for (int i = 0; i < list->count(); ++i)
          Report(QStringLiteral("REGION ") + list->item(i)->text());
        const int run = qEnvironmentVariableIntValue("ORGH_PROBE_RUN");
        if (run > 0) {
          for (int i = 0; i < list->count(); ++i) list->item(i)->setSelected(i < run);
          *phase = 1;
          start->click();
          return;
        }
      } else if (*phase == 1) {
        if (!start->isEnabled()) *phase = 2;  // the run has begun
        return;
      } else if (!start->isEnabled()) {
        return;  // still running
      } else {
        const auto* log = w->findChild<QWidget*>(QStringLiteral("LogsMemo"));
        if (log != nullptr)
          for (const QString& line : log->property("plainText").toString().split(u'\n'))
            Report(QStringLiteral("LOG ") + line);
      }
      timer->stop();
      w->close();
      Report(QStringLiteral("CLOSED"));
      return;
    }
    // The window must come up within 15 s; a run gets 10 minutes.
    if (++*ticks > (*phase == 0 ? 150 : 6000)) {
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
