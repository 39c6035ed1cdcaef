// The program: one window over the harvest of management organisations.

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>

#include "app/folderlock.h"
#include "app/mainform.h"
#include "app/quitsignals.h"
#include "app/toolkittexts.h"
#include "portal/curlglobal.h"
#include "platform/platform.h"
#include "text/textfile.h"

namespace {
int Run(int argc, char* argv[]) {
  // Before any thread, the toolkit's own included.
  const CurlGlobal curl;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("orgharvester"));
  QApplication::setApplicationDisplayName(AppTitle());
  // The window decides when the program ends: closed during a run it first waits, hidden,
  // for the job to save its work; a message box closing meanwhile must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // The toolkit's own texts (dialog buttons) in Russian, like the rest of the window.
  InstallToolkitTranslation();

  // One copy per folder, taken before any file of the folder is read or written.
  FolderLock lock(ExecutableDir());
  if (const FileOutcome taken = lock.Take(); !taken) {
    QMessageBox::critical(nullptr, AppTitle(), taken.reason);
    return 1;
  }

  TMainForm form;
  // Logout, shutdown and `kill` end the program as closing the window does: a run is
  // stopped and saves its queue and its log first.
  QuitSignals quitSignals;
  QObject::connect(&quitSignals, &QuitSignals::Received, &form, &TMainForm::EndSession);
  // A logout asks for the data first and may then be cancelled: the run saves its state and
  // goes on. When the logout goes through, the program is told to quit (aboutToQuit) or gets
  // a signal.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                   [&form](QSessionManager&) { form.CommitSessionData(); });
  // The system ends the process soon after aboutToQuit returns at logoff or shutdown: a run
  // still saving gets a few seconds first.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &form, [&form] { form.WaitForJobEnd(4000); });
  form.show();
  return QApplication::exec();
}
}  // namespace

// Everything is saved and closed when Run returns.
int main(int argc, char* argv[]) { EndProcess(Run(argc, argv)); }
