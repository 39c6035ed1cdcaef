#pragma once
// The toolkit's own texts (standard dialog buttons such as Yes and No) in Russian, to match
// the rest of the window.

class QTranslator;

// Loads Qt's Russian catalogue ("qtbase_ru") from the toolkit's translations folder and
// installs it on the running application, which keeps it. Returns the installed translator,
// or nullptr when the catalogue is not there (the buttons then stay English).
QTranslator* InstallToolkitTranslation();
