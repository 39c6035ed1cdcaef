#include "tests/portal/scriptedserver.h"

#include "tests/support/testplatform.h"

namespace {

// Reads until the blank line, then the body that Content-Length announces; a peer that
// promises more than it sends is given up after the receive time-out.
ScriptedRequest ReadRequest(TestSocket fd) {
  ScriptedRequest request;
  QByteArray data;
  char buffer[4096];
  qsizetype headerEnd = -1;
  while ((headerEnd = data.indexOf("\r\n\r\n")) < 0) {
    const qint64 n = ReceiveBytes(fd, buffer, sizeof buffer);
    if (n <= 0) return request;
    data.append(buffer, n);
  }
  const QList<QByteArray> lines = data.left(headerEnd).split('\n');
  qsizetype contentLength = 0;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QByteArray line = lines[i];
    if (line.endsWith('\r')) line.chop(1);
    if (i == 0) {
      request.requestLine = line;
      continue;
    }
    request.headerLines.append(line);
    if (line.toLower().startsWith("content-length:")) contentLength = line.mid(15).trimmed().toLongLong();
  }
  request.body = data.mid(headerEnd + 4);
  while (request.body.size() < contentLength) {
    const qint64 n = ReceiveBytes(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    request.body.append(buffer, n);
  }
  request.bodyComplete = request.body.size() >= contentLength;
  return request;
}

}  // namespace

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listenFd_ = ListenOnLoopback(&port_);
  if (listenFd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  if (thread_.joinable()) {
    // A connection of its own wakes the accept, on every system.
    stopping_ = true;
    const TestSocket wake = ConnectToLoopback(port_);
    thread_.join();
    if (wake >= 0) CloseSocket(wake);
  }
  if (listenFd_ >= 0) CloseSocket(listenFd_);
}

QByteArray ScriptedServer::BaseUrl() const {
  return "http://127.0.0.1:" + QByteArray::number(port_) + "/";
}

QList<ScriptedRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::Serve() {
  for (int index = 0;; ++index) {
    const TestSocket fd = AcceptConnection(listenFd_);
    if (fd < 0) return;
    if (stopping_) {
      CloseSocket(fd);
      return;
    }
    SetReceiveTimeout(fd, 2000);
    ScriptedRequest request = ReadRequest(fd);
    request.t = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.append(request);
    }
    const QByteArray answer = script_(index, request);
    for (qsizetype sent = 0; sent < answer.size();) {
      const qint64 n = SendBytes(fd, answer.constData() + sent, answer.size() - sent);
      if (n <= 0) break;
      sent += n;
    }
    CloseSocket(fd);
  }
}
