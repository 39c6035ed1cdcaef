#include "app/quitsignals.h"

// Windows has no such signals: logoff and shutdown reach the window as the session's end
// (commitDataRequest and aboutToQuit, see main.cpp); a GUI program has no console to press
// Ctrl+C in.

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {}

QuitSignals::~QuitSignals() = default;

void QuitSignals::ReadSignal() {}
