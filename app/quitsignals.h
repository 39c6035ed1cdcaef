#pragma once
// SIGTERM, SIGINT and SIGHUP (logout, shutdown, `kill`, Ctrl+C) as a Qt signal on the
// window's thread. The handler itself only writes a byte into a socket pair; the real work
// runs when the event loop reads it.

#include <QObject>

class QSocketNotifier;

class QuitSignals : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers; one object at a time. The old handlers come back with its end.
  explicit QuitSignals(QObject* parent = nullptr);
  ~QuitSignals() override;

  bool Installed() const { return notifier_ != nullptr; }

 signals:
  void Received(int signalNumber);

 private:
  void ReadSignal();

  QSocketNotifier* notifier_ = nullptr;
};
