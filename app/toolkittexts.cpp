#include "app/toolkittexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QTranslator* InstallToolkitTranslation() {
  auto* translator = new QTranslator(QCoreApplication::instance());
  // Russian whatever the system's locale: every other text of the window is Russian.
  if (!translator->load(QStringLiteral("qtbase_ru"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return nullptr;
  }
  return translator;
}
