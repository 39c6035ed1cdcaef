#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "tests/support/simserver.h"
#include "tests/support/testplatform.h"

// Under wine a Windows program can start a Linux one but reads neither its output nor its
// exit code. So a launcher on the Linux side (tests/windows/sim-launcher.py, its port in
// ORGH_SIM_LAUNCHER) starts portal-sim for each connection: it reads the arguments as one
// JSON line, answers "LISTENING <port> <request log path>" and stops the server when the
// connection closes.

struct SimServer::Running {
  TestSocket launcher = -1;
};

SimServer::SimServer(QStringList extraArgs) : args_(std::move(extraArgs)) {}

SimServer::~SimServer() { Stop(); }

QString SimServer::HostPath(const QString& path) {
  return path.startsWith(QLatin1Char('/')) ? QStringLiteral("Z:") + path : path;
}

bool SimServer::Start(QString* error) {
  auto fail = [&](const QString& text) {
    if (error) *error = text;
    Stop();
    return false;
  };
  Stop();
  const int launcherPort = qEnvironmentVariableIntValue("ORGH_SIM_LAUNCHER");
  if (launcherPort <= 0) return fail(QStringLiteral("ORGH_SIM_LAUNCHER names no launcher port"));
  running_ = std::make_unique<Running>();
  const TestSocket launcher = running_->launcher = ConnectToLoopback(launcherPort);
  if (launcher < 0) return fail(QStringLiteral("cannot reach the launcher on port %1").arg(launcherPort));

  QByteArray request = QJsonDocument(QJsonArray::fromStringList(args_)).toJson(QJsonDocument::Compact);
  request += '\n';
  if (SendBytes(launcher, request.constData(), request.size()) != request.size())
    return fail(QStringLiteral("cannot send to the launcher"));
  QByteArray line;
  char c = 0;
  while (ReceiveBytes(launcher, &c, 1) == 1 && c != '\n') line += c;
  if (!line.startsWith("LISTENING "))
    return fail(QStringLiteral("the launcher said: ") + QString::fromUtf8(line));
  const QList<QByteArray> parts = line.split(' ');
  bool ok = false;
  port_ = parts.value(1).toInt(&ok);
  if (!ok || port_ <= 0 || parts.size() < 3) return fail(QStringLiteral("the launcher said: ") + QString::fromUtf8(line));
  logPath_ = HostPath(QString::fromUtf8(line.mid(parts[0].size() + parts[1].size() + 2)));
  return true;
}

void SimServer::Stop() {
  if (running_ && running_->launcher >= 0) {
    // The launcher stops the server and answers with a closed connection once it is gone.
    ShutDownSending(running_->launcher);
    char c = 0;
    while (ReceiveBytes(running_->launcher, &c, 1) > 0) {
    }
    CloseSocket(running_->launcher);
  }
  running_.reset();
  port_ = 0;
}
