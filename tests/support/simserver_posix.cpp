#include <signal.h>

#include <QDeadlineTimer>
#include <QTemporaryDir>

#include "tests/support/childprocess.h"
#include "tests/support/simserver.h"

// portal-sim runs as a child process on the same system.

struct SimServer::Running {
  ChildProcess process;
};

SimServer::SimServer(QStringList extraArgs) : args_(std::move(extraArgs)) {}

SimServer::~SimServer() { Stop(); }

QString SimServer::HostPath(const QString& path) { return path; }

bool SimServer::Start(QString* error) {
  auto fail = [&](const QString& text) {
    if (error) *error = text;
    Stop();
    return false;
  };
  Stop();
  tmpDir_ = std::make_unique<QTemporaryDir>();
  if (!tmpDir_->isValid()) return fail(QStringLiteral("cannot make a temporary folder for the request log"));
  logPath_ = tmpDir_->filePath(QStringLiteral("requests.jsonl"));

  running_ = std::make_unique<Running>();
  ChildProcess& process = running_->process;
  // Its complaints (bad arguments, unreadable TLS files) go to the test's output.
  QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-dir"), TlsDir(),
                   QStringLiteral("--log"), logPath_};
  args += args_;
  QString reason;
  if (!process.Start(QStringLiteral(ORGH_PORTAL_SIM_EXE), args, true, &reason))
    return fail(QStringLiteral("portal-sim did not start: ") + reason);

  // Wait for "LISTENING <port>"; a large dataset takes a moment to index.
  QDeadlineTimer deadline(10000);
  QByteArray out;
  QByteArray line;
  while (!deadline.hasExpired()) {
    if (!process.ReadLine(&line, int(qMax<qint64>(1, deadline.remainingTime())))) {
      if (process.Wait(0))
        return fail(QStringLiteral("portal-sim ended before listening (exit code %1)").arg(process.ExitCode()));
      continue;
    }
    line = line.trimmed();
    out += line + '\n';
    if (line.startsWith("LISTENING ")) {
      bool ok = false;
      port_ = line.mid(10).toInt(&ok);
      if (ok && port_ > 0) return true;
      return fail(QStringLiteral("portal-sim printed a bad port: ") + QString::fromLatin1(line));
    }
  }
  return fail(QStringLiteral("portal-sim did not report its port within 10 s; output: ") + QString::fromUtf8(out));
}

void SimServer::Stop() {
  if (running_) {
    ChildProcess& process = running_->process;
    process.Signal(SIGTERM);
    if (!process.Wait(5000)) {
      process.Signal(SIGKILL);
      process.Wait(5000);
    }
    running_.reset();
  }
  port_ = 0;
  // The log stays readable after a stop; it goes with the next Start or the object.
}

