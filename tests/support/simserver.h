#pragma once
// The substitute portal as a child process for tests: started on a free loopback port,
// stopped with the object; its request log read back as values. On Linux it is started
// without QProcess, which would leave the thread sanitizer blind to the starting thread
// (childprocess.h); on Windows under wine through a launcher (simserver_win.cpp).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

#include "portal/scrapingthread.h"

struct SimRequest {
  QByteArray requestLine;         // e.g. "POST /ppa/... HTTP/1.0"
  QList<QByteArray> headerLines;  // in the order they came, exact bytes, no CR LF
  QByteArray body;                // exact bytes
  int status = 0;                 // the status it was answered with (0: closed without answer)
  QString kind;                   // "count", "search", "card", "additional", "housecount",
                                  // "housepage" or "unknown"
  qint64 t = 0;                   // arrival, in ms since the server started
  int connection = 0;             // which connection carried it, numbered from 1
  bool reused = false;            // not the first request on its connection
  bool resumed = false;           // its connection resumed an earlier TLS session
};

class QTemporaryDir;

class SimServer {
 public:
  // extraArgs: further portal-sim arguments (dataset size, faults, delay, rate limit).
  explicit SimServer(QStringList extraArgs = {});
  ~SimServer();

  bool Start(QString* error = nullptr);  // returns once the server listens
  void Stop();

  QString BaseUrl() const;  // "https://127.0.0.1:<port>/"
  // The program's fetch settings pointed at this server, with the demo client certificate
  // and key; callers shorten the waits they need short.
  FetchSettings ClientSettings() const;
  int Port() const { return port_; }
  QList<SimRequest> Requests() const;  // the request log so far
  QString LogPath() const { return logPath_; }

  // Demo TLS material made by the build.
  static QString TlsDir();      // ending in '/'
  static QString ClientCert();  // 01cert.pem
  static QString ClientKey();   // 01key.pem
  // The demo certificate and key loaded once for the process, as the window loads them for a
  // run; null (with a test failure to say why) when they cannot be loaded.
  static std::shared_ptr<const TlsIdentity> ClientIdentity();
  // A path of the build machine as this test program sees it (on Windows under wine, the
  // Linux file system is the drive Z:).
  static QString HostPath(const QString& path);

 private:
  QStringList args_;
  struct Running;  // what the system needs to keep a started server (one file per system)
  std::unique_ptr<Running> running_;
  std::unique_ptr<QTemporaryDir> tmpDir_;  // holds the request log
  QString logPath_;
  int port_ = 0;
};
