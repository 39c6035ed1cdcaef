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
// With ORGH_PROBE_STOP_MS=T as well, it presses "стоп" T ms into the run, waits for its end,
// presses "СТАРТ" again and answers the leftovers question with "Нет", so the interrupted run
// continues to its end:
//   STOPPED / RESUMED
// ORGH_PROBE_SHOT=<file.png> keeps a picture of the window as it first shows.

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

// From the event loop, not inside this timer's call: a question the press opens runs an event
// loop of its own, in which this timer must fire again to answer it.
void Press(QPushButton* button) {
  QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

void StartProbe() {
  auto* timer = new QTimer(qApp);
  auto ticks = std::make_shared<int>(0);
  auto phase = std::make_shared<int>(0);  // 0 window not seen, 1 start pressed, 2 running
  auto runTicks = std::make_shared<int>(0);
  auto stopped = std::make_shared<bool>(false);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, ticks, phase, runTicks, stopped] {
    const int stopAfterTicks = qEnvironmentVariableIntValue("ORGH_PROBE_STOP_MS") / 100;
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
        if (const QString shot = qEnvironmentVariable("ORGH_PROBE_SHOT"); !shot.isEmpty())
          w->grab().save(shot, "PNG");
        Report(QStringLiteral("CWD ") + QDir::currentPath());
        for (int i = 0; i < list->count(); ++i)
          Report(QStringLiteral("REGION ") + list->item(i)->text());
        const int run = qEnvironmentVariableIntValue("ORGH_PROBE_RUN");
        if (run > 0) {
          for (int i = 0; i < list->count(); ++i) list->item(i)->setSelected(i < run);
          *phase = 1;
          Press(start);
          return;
        }
      } else if (*phase == 1) {
        if (!start->isEnabled()) *phase = 2;  // the run has begun
        return;
      } else if (!start->isEnabled()) {
        if (stopAfterTicks > 0 && !*stopped && ++*runTicks >= stopAfterTicks) {
          *stopped = true;
          if (auto* stop = w->findChild<QPushButton*>(QStringLiteral("StopButton"))) stop->click();
          Report(QStringLiteral("STOPPED"));
        }
        return;  // still running
      } else if (*stopped && *runTicks >= 0) {
        // Stopped and ended: continue the interrupted run (the leftovers question gets "Нет").
        *runTicks = -1;
        *phase = 1;
        Report(QStringLiteral("RESUMED"));
        Press(start);
        return;
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
    // The system's own look where there is one (Windows), so pictures show what users see.
    QStyle* base = QStyleFactory::create(QStringLiteral("windowsvista"));
    if (base == nullptr) base = QStyleFactory::create(QStringLiteral("Fusion"));
    return new QProxyStyle(base);
  }
};

#include "probestyle.moc"
