#pragma once
// A small synchronous HTTPS client over one libcurl easy handle. A client belongs to one
// worker thread; the client identity it shows (portal/tlsidentity.h) is loaded once per run
// and then only read, so every worker's client may use the same one. libcurl is set up once
// by main, before any thread (portal/curlglobal.h).

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include <curl/curl.h>
#include <openssl/types.h>

#include "portal/connectionpool.h"

class TlsIdentity;

// Owns a curl_slist.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList();
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  // False when libcurl could not take the line (out of memory).
  bool Append(const QByteArray& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

struct HttpRequest {
  QByteArray url;
  bool post = false;
  QByteArray body;                  // POST only
  QByteArray contentType;           // POST only
  QList<QByteArray> customHeaders;  // sent after every other header line
};

struct HttpAnswer {
  long status = 0;    // of the last response (after redirects)
  QString reason;     // its reason phrase, made printable and cut to kMaxReasonLength
  QByteArray body;
  // Seconds that its "Retry-After" header asks to wait (a number or an HTTP date), or -1
  // when it has none that can be read.
  long long retryAfterSec = -1;
};

enum class HttpOutcome {
  Ok,       // an answer with a status below 400, or 401/407
  Failed,   // transport, TLS, time-out, or a status of 400 and more
  Aborted,  // the abort check said so; the transfer was dropped
};

struct HttpClientOptions {
  QByteArray accept;
  QByteArray userAgent;
  QByteArray referer;
  // Seconds without traffic before a transfer fails; also the longest wait for a connection.
  int idleAndConnectTimeoutSec = 900;
  // The whole answer must have arrived within this time, whatever trickles in meanwhile;
  // 0 for no limit.
  int totalTimeoutMs = 0;
  // Every address requested, redirects included, must begin with it (the portal's base
  // address), so the client certificate is never shown elsewhere; empty for any address.
  QByteArray addressPrefix;
  // Loaded identity set on every connection's TLS context, or null for none. It must outlive
  // the client; it is only read.
  const TlsIdentity* identity = nullptr;
  // Polled during a transfer (about once a second when idle); true drops it.
  std::function<bool()> abortRequested;
  // Where the client takes its handle from and gives it back with its open connection, or
  // null for a handle of its own whose connections close after every request. With a pool
  // every request asks the server to keep the connection ("Connection: keep-alive").
  std::shared_ptr<ConnectionPool> pool;
  // Names the client identity the connections are made with (see ConnectionPool::Take).
  QByteArray poolKey;
};

class HttpClient {
 public:
  explicit HttpClient(HttpClientOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends one request and waits for the whole answer, following redirects. Over a connection
  // kept from an earlier request when there is one (with a pool), otherwise a new one. On Failed, *error holds the reason: libcurl's text, or for a status of 400 and
  // more the reason phrase (empty when the server sent none; the caller then uses the code).
  HttpOutcome Perform(const HttpRequest& request, HttpAnswer* answer, QString* error);

  // Largest answer body taken, fifty times the largest real page; a bigger one fails rather
  // than exhausting memory.
  static constexpr qsizetype kMaxBodyBytes = qsizetype(64) * 1024 * 1024;
  // Characters of a reason phrase kept for the log.
  static constexpr qsizetype kMaxReasonLength = 200;
  // Redirects followed in a row before the request counts as failed.
  static constexpr int kMaxRedirects = 20;

 private:
  // One request and its answer, without following a redirect; a status of 400 or more is
  // left to the caller.
  HttpOutcome Transfer(const QByteArray& url, bool post, const HttpRequest& request,
                       HttpAnswer* answer, QString* error);

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t dltotal, curl_off_t dlnow,
                        curl_off_t ultotal, curl_off_t ulnow);
  static int OnSslContext(CURL* curl, void* sslctx, void* self);

  HttpClientOptions options_;
  ConnectionPool::Lease lease_;  // the handle, from the pool or made for this client alone
  CURL* curl_ = nullptr;
  QString initError_;

  // State of the transfer under way.
  HttpAnswer* answer_ = nullptr;
  bool tooLarge_ = false;
  bool timedOut_ = false;
  bool pastDeadline_ = false;
  std::chrono::steady_clock::time_point deadline_;
  bool aborted_ = false;
  curl_off_t lastDl_ = 0;
  curl_off_t lastUl_ = 0;
  std::chrono::steady_clock::time_point lastTraffic_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};
