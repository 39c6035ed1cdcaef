#pragma once
// Connections to the portal kept open between tasks, and TLS sessions resumed across them.
//
// Every client still has an easy handle of its own for its whole life; what it does not keep
// is the idle connection when it ends. libcurl keeps a live connection inside the handle, so
// a client that ends hands its handle, with that connection, to the pool, and the next client
// takes it from there. A handle is lent to one client at a time, so a connection never
// carries two requests at once. (libcurl 7.88 can share one connection cache between handles,
// but documents that as unsafe between concurrent threads, which is how the workers run.)
// New connections resume the TLS session of an earlier one through a share that holds only
// the session cache, which libcurl does support between threads, under our locks.

#include <curl/curl.h>

#include <QByteArray>
#include <memory>
#include <mutex>
#include <vector>

struct CurlEasyFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
// Owns a CURL easy handle.
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyFree>;

// Owns a CURLSH that shares TLS sessions and resolved names between handles, with one lock
// per kind of data.
class CurlShare {
 public:
  CurlShare();
  ~CurlShare();
  CurlShare(const CurlShare&) = delete;
  CurlShare& operator=(const CurlShare&) = delete;
  // Null when libcurl could not make it: handles then work without it.
  CURLSH* get() const { return share_; }

 private:
  static void Lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
  static void Unlock(CURL* handle, curl_lock_data data, void* self);
  CURLSH* share_ = nullptr;
  std::mutex locks_[CURL_LOCK_DATA_LAST];
};

class ConnectionPool {
 public:
  // At most maxIdle handles wait for a client; more are closed, the oldest first.
  explicit ConnectionPool(int maxIdle = 8);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // A handle and the share to attach it to. The share must outlive the handle: hold it until
  // the handle has been given back or freed.
  struct Lease {
    std::shared_ptr<CurlShare> share;  // declared first: outlives the handle
    CurlEasyPtr handle;                // null when libcurl could not make one
    unsigned generation = 0;
  };

  // The most recently returned handle made for the same client identity (its connection may
  // still be open), or a new one. A connection or session made with another identity is
  // never handed out: a new identity starts the pool afresh.
  Lease Take(const QByteArray& identityKey);
  // Gives a handle back after a transfer that ended normally; handles of an older
  // generation are freed instead.
  void Return(Lease lease);

  // Idle handles waiting (for tests and benchmarks).
  int IdleCount();

 private:
  std::mutex mutex_;
  const int maxIdle_;
  QByteArray key_;
  unsigned generation_ = 0;
  std::shared_ptr<CurlShare> share_;
  std::vector<CurlEasyPtr> idle_;  // oldest first
};
