#include "tests/portal/scriptedserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Reads until the blank line, then the body that Content-Length announces; a peer that
// promises more than it sends is given up after the receive time-out.
ScriptedRequest ReadRequest(int fd) {
  ScriptedRequest request;
  QByteArray data;
  char buffer[4096];
  qsizetype headerEnd = -1;
  while ((headerEnd = data.indexOf("\r\n\r\n")) < 0) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
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
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.body.append(buffer, n);
  }
  request.bodyComplete = request.body.size() >= contentLength;
  return request;
}

}  // namespace

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);  // wakes the accept
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
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
    const int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ScriptedRequest request = ReadRequest(fd);
    request.t = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.append(request);
    }
    const QByteArray answer = script_(index, request);
    for (qsizetype sent = 0; sent < answer.size();) {
      const ssize_t n = send(fd, answer.constData() + sent, size_t(answer.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += n;
    }
    close(fd);
  }
}
