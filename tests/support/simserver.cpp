#include "tests/support/simserver.h"

#include <cstdio>

#include "portal/tlsidentity.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

QString SimServer::BaseUrl() const { return QStringLiteral("https://127.0.0.1:%1/").arg(port_); }

FetchSettings SimServer::ClientSettings() const {
  FetchSettings s;
  s.baseUrl = BaseUrl();
  s.certFile = ClientCert();
  s.keyFile = ClientKey();
  s.identity = ClientIdentity();
  return s;
}

std::shared_ptr<const TlsIdentity> SimServer::ClientIdentity() {
  static const std::shared_ptr<const TlsIdentity> identity = [] {
    auto loaded = std::make_shared<TlsIdentity>();
    QString error;
    if (!loaded->Load(ClientCert(), ClientKey(), DefaultKeyPassphrase(), &error)) {
      std::fprintf(stderr, "demo client identity: %s\n", qPrintable(error));
      return std::shared_ptr<const TlsIdentity>();
    }
    return std::shared_ptr<const TlsIdentity>(std::move(loaded));
  }();
  return identity;
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
    r.connection = o.value(QStringLiteral("connection")).toInt();
    r.reused = o.value(QStringLiteral("reused")).toBool();
    r.resumed = o.value(QStringLiteral("resumed")).toBool();
    list.append(r);
  }
  return list;
}

QString SimServer::TlsDir() {
  QString dir = HostPath(QStringLiteral(ORGH_TLS_DIR));
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir;
}

QString SimServer::ClientCert() { return TlsDir() + QStringLiteral("01cert.pem"); }

QString SimServer::ClientKey() { return TlsDir() + QStringLiteral("01key.pem"); }
