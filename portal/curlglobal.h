#pragma once
// libcurl's process-wide set-up. curl_global_init is not thread-safe, and a client made
// before it would run it lazily on whatever thread came first: every program's main holds
// one of these, made before any thread starts, for as long as it runs.

class CurlGlobal {
 public:
  CurlGlobal();
  ~CurlGlobal();
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;

  // False when libcurl could not be set up; every request then fails with libcurl's text.
  bool Ok() const { return ok_; }

 private:
  bool ok_ = false;
};
