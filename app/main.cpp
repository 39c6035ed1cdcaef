// The program: one window over the harvest of management organisations.

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/mainform.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("orgharvester"));
  QApplication::setApplicationDisplayName(AppTitle());
  // The window decides when the program ends: closed during a run it first waits, hidden,
  // for the job to save its work; a message box closing meanwhile must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // The toolkit's own texts (dialog buttons) in the user's language where installed.
  QTranslator translator;
  if (translator.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&translator);

  TMainForm form;
  form.show();
  return QApplication::exec();
}
