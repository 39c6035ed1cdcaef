#include "tests/support/simserver.h"

#include <signal.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "tests/support/childprocess.h"

SimServer::SimServer(QStringList extraArgs) : args_(std::move(extraArgs)) {}

SimServer::~SimServer() { Stop(); }

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

  process_ = std::make_unique<ChildProcess>();
  // Its complaints (bad arguments, unreadable TLS files) go to the test's output.
  QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-dir"), TlsDir(),
                   QStringLiteral("--log"), logPath_};
  args += args_;
  QString reason;
  if (!process_->Start(QStringLiteral(ORGH_PORTAL_SIM_EXE), args, true, &reason))
    return fail(QStringLiteral("portal-sim did not start: ") + reason);

  // Wait for "LISTENING <port>"; a large dataset takes a moment to index.
  QDeadlineTimer deadline(10000);
  QByteArray out;
  QByteArray line;
  while (!deadline.hasExpired()) {
    if (!process_->ReadLine(&line, int(qMax<qint64>(1, deadline.remainingTime())))) {
      if (process_->Wait(0))
        return fail(QStringLiteral("portal-sim ended before listening (exit code %1)").arg(process_->ExitCode()));
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
  if (process_) {
    process_->Signal(SIGTERM);
    if (!process_->Wait(5000)) {
      process_->Signal(SIGKILL);
      process_->Wait(5000);
    }
    process_.reset();
  }
  port_ = 0;
  // The log stays readable after a stop; it goes with the next Start or the object.
}

QString SimServer::BaseUrl() const { return QStringLiteral("https://127.0.0.1:%1/").arg(port_); }

FetchSettings SimServer::ClientSettings() const {
  FetchSettings s;
  s.baseUrl = BaseUrl();
  s.certFile = ClientCert();
  s.keyFile = ClientKey();
  return s;
}

QList<SimRequest> SimServer::Requests() const {
  QList<SimRequest> list;
  QFile f(logPath_);
  if (logPath_.isEmpty() || !f.open(QIODevice::ReadOnly)) return list;
  const QByteArray all = f.readAll();
  for (const QByteArray& line : all.split('\n')) {
    if (line.trimmed().isEmpty()) continue;
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (!doc.isObject()) continue;  // a line still being written
    const QJsonObject o = doc.object();
    SimRequest r;
    r.requestLine = o.value(QStringLiteral("requestLine")).toString().toUtf8();
    for (const QJsonValue& h : o.value(QStringLiteral("headers")).toArray()) r.headerLines.append(h.toString().toUtf8());
    r.body = QByteArray::fromBase64(o.value(QStringLiteral("bodyBase64")).toString().toLatin1());
    r.kind = o.value(QStringLiteral("kind")).toString();
    r.t = o.value(QStringLiteral("t")).toInteger();
    r.status = o.value(QStringLiteral("status")).toInt();
    list.append(r);
  }
  return list;
}

QString SimServer::TlsDir() {
  QString dir = QStringLiteral(ORGH_TLS_DIR);
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir;
}

QString SimServer::ClientCert() { return TlsDir() + QStringLiteral("01cert.pem"); }

QString SimServer::ClientKey() { return TlsDir() + QStringLiteral("01key.pem"); }
