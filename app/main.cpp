// The program: one window over the harvest of management organisations.

#include <QApplication>

#include "app/mainform.h"
#include "app/toolkittexts.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("orgharvester"));
  QApplication::setApplicationDisplayName(AppTitle());
  // The window decides when the program ends: closed during a run it first waits, hidden,
  // for the job to save its work; a message box closing meanwhile must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // The toolkit's own texts (dialog buttons) in Russian, like the rest of the window.
  InstallToolkitTranslation();

  TMainForm form;
  form.show();
  return QApplication::exec();
}
