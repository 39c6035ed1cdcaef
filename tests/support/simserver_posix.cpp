#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/support/simserver.h"

// portal-sim runs as a child process on the same system.

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

  process_ = std::make_unique<QProcess>();
  // Its complaints (bad arguments, unreadable TLS files) belong in the test's output.
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-dir"), TlsDir(),
                   QStringLiteral("--log"), logPath_};
  args += args_;
  process_->start(QStringLiteral(ORGH_PORTAL_SIM_EXE), args);
  if (!process_->waitForStarted(10000))
    return fail(QStringLiteral("portal-sim did not start: ") + process_->errorString());

  // Wait for "LISTENING <port>"; a large dataset takes a moment to index.
  QDeadlineTimer deadline(10000);
  QByteArray out;
  while (!deadline.hasExpired()) {
    if (process_->canReadLine() || process_->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())))) {
      while (process_->canReadLine()) {
        const QByteArray line = process_->readLine().trimmed();
        out += line + '\n';
        if (line.startsWith("LISTENING ")) {
          bool ok = false;
          port_ = line.mid(10).toInt(&ok);
          if (ok && port_ > 0) return true;
          return fail(QStringLiteral("portal-sim printed a bad port: ") + QString::fromLatin1(line));
        }
      }
    } else if (process_->state() != QProcess::Running) {
      return fail(QStringLiteral("portal-sim ended before listening (exit code %1)").arg(process_->exitCode()));
    }
  }
  return fail(QStringLiteral("portal-sim did not report its port within 10 s; output: ") + QString::fromUtf8(out));
}

void SimServer::Stop() {
  if (process_) {
    if (process_->state() != QProcess::NotRunning) {
      process_->terminate();
      if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
      }
    }
    process_.reset();
  }
  port_ = 0;
  // The log stays readable after a stop; it goes with the next Start or the object.
}

