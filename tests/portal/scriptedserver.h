#pragma once
// A plain-HTTP server on loopback that answers from a script, for what the substitute portal
// cannot do (redirects with a Location line). One request per connection; each request is
// kept with its exact bytes.

#include <QByteArray>
#include <QList>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

struct ScriptedRequest {
  QByteArray requestLine;
  QList<QByteArray> headerLines;  // in wire order, no CR LF
  QByteArray body;
  bool bodyComplete = true;  // false: Content-Length promised more than came within 2 s
  qint64 t = 0;              // when it had arrived, in ms since the server started
};

class ScriptedServer {
 public:
  // answer(i, request) gives the raw bytes of the answer to the i-th request (0-based).
  using Script = std::function<QByteArray(int, const ScriptedRequest&)>;

  explicit ScriptedServer(Script script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool Listening() const { return listenFd_ >= 0; }
  QByteArray BaseUrl() const;  // "http://127.0.0.1:<port>/"
  QList<ScriptedRequest> Requests() const;

 private:
  void Serve();

  Script script_;
  intptr_t listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread thread_;
  mutable std::mutex mutex_;
  QList<ScriptedRequest> requests_;
};
