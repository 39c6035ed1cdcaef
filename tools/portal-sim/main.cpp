// portal-sim: a substitute for the housing registry portal, for tests, benchmarks and the demo.
//
// An HTTPS server on 127.0.0.1 that demands a client certificate signed by the test CA,
// answers the six portal requests from a seeded dataset, can be told to misbehave (fault
// rules, a delay, a rate limit), and logs every request byte-exactly as JSON lines.
// One thread per connection. A connection carries one request, or several when the client asks
// to keep it alive; a one-way delay on every byte plays a portal at a distance.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/portal-sim/answers.h"
#include "tools/portal-sim/dataset.h"

using simdata::Answer;
using simdata::RequestKind;

namespace {

const char kUsage[] =
    "usage: portal-sim [options]\n"
    "Dataset:\n"
    "  --regions N          regions (0..85, default 5)\n"
    "  --orgs N             organisations (0..30000, default 200)\n"
    "  --houses N           houses in all (0..1000000, default 5000)\n"
    "  --seed S             seed of the dataset (default 1)\n"
    "  --write-cities FILE  write the region list (\"cities.txt\") of the dataset and exit\n"
    "  --mutate-seed K      the same dataset a while later: changed cards, organisations gone\n"
    "                       and new, houses moved to another organisation (K not 0)\n"
    "  --mutate-percent P   share of organisations whose card changes (default 5)\n"
    "  --print-mutations    print what the mutation changed, one line each, and exit\n"
    "Server:\n"
    "  --port N             port on 127.0.0.1 (0 picks a free one; default 0)\n"
    "  --tls-dir DIR        DIR/server.crt, DIR/server.key, DIR/ca.crt\n"
    "  --cert F --key F --ca F   the same files one by one\n"
    "  --log FILE           request log, one JSON object per line\n"
    "  --delay MS           wait before every answer\n"
    "  --latency-ms N       one-way delay of every byte sent and received (a portal N ms away)\n"
    "  --no-keep-alive      close every connection after one answer, whatever the client asks\n"
    "  --keep-alive-ms N    close a kept connection after N ms without a request (default 5000)\n"
    "  --no-resumption      full TLS handshake for every connection (no session cache, no tickets)\n"
    "  --rate-limit N       more than N requests within one second get 429\n"
    "  --retry-after S      that 429 asks to come back after S seconds (Retry-After)\n"
    "  --fault RULE         a fault rule (repeatable); --faults FILE: one RULE per line\n"
    "Fault RULE: comma-separated; match: kind=count|search|card|additional|housecount|\n"
    "  housepage|any, match=TEXT (in the target or body), reused (only a request on a connection\n"
    "  that carried one before), first=K (only the first K matching requests); action: status=CODE [reason=TEXT], empty, malformed, delay=MS, close,\n"
    "  body=TEXT (last item: the rest of the RULE, commas included, is the answer body).\n"
    "  Shaping (with any answer, the dataset's own included): trickle=MS (one body byte every\n"
    "  MS ms), pad=N (N blanks after the body), fill=N (each @@FILL@@ in the body becomes N\n"
    "  Cyrillic letters), retry-after=S (a Retry-After: S header line).\n"
    "  Rules are tried in order; the first that applies answers the request.\n"
    "After listening, prints \"LISTENING <port>\" on stdout.\n";

[[noreturn]] void Die(const std::string& message, int code = 2) {
  std::cerr << "portal-sim: " << message << "\n";
  std::exit(code);
}

// ---------------------------------------------------------------------------------------------
// Fault rules.

struct FaultRule {
  std::string text;
  bool anyKind = true;
  RequestKind kind = RequestKind::Unknown;
  std::string match;
  long long first = -1;  // -1: every matching request
  bool reusedOnly = false;  // only requests on a connection that carried one before
  std::atomic<long long> seen{0};
  // actions
  int status = 0;
  std::optional<std::string> reason;
  std::optional<std::string> body;
  bool empty = false;
  bool malformed = false;
  bool close = false;
  long long delayMs = 0;
  // shaping of whatever answer goes out
  long long trickleMs = 0;
  long long padBytes = 0;
  long long fillChars = 0;
  long long retryAfter = -1;
};

bool ParseNumber(const std::string& text, long long* out) {
  if (text.empty() || text.size() > 12) return false;
  long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

std::unique_ptr<FaultRule> ParseFault(const std::string& text) {
  auto rule = std::make_unique<FaultRule>();
  rule->text = text;
  bool hasAction = false;
  // body= takes the rest of the text, so that a JSON body may hold commas.
  std::string items = text;
  const auto bodyAt = text.rfind("body=", 0) == 0 ? 0 : text.find(",body=");
  if (bodyAt != std::string::npos) {
    rule->body = text.substr(bodyAt + (bodyAt == 0 ? 5 : 6));
    items = text.substr(0, bodyAt);
    hasAction = true;
  }
  std::stringstream ss(items);
  std::string token;
  while (std::getline(ss, token, ',')) {
    while (!token.empty() && (token.back() == ' ' || token.back() == '\r')) token.pop_back();
    while (!token.empty() && token.front() == ' ') token.erase(0, 1);
    if (token.empty()) continue;
    auto eq = token.find('=');
    std::string key = token.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : token.substr(eq + 1);
    long long n = 0;
    if (key == "kind" && eq != std::string::npos) {
      if (!simdata::KindFromName(value, &rule->kind, &rule->anyKind)) Die("unknown kind in fault: " + text);
    } else if (key == "match" && eq != std::string::npos) {
      rule->match = value;
    } else if (key == "first" && ParseNumber(value, &n)) {
      rule->first = n;
    } else if (key == "status" && ParseNumber(value, &n) && n >= 100 && n <= 999) {
      rule->status = static_cast<int>(n);
      hasAction = true;
    } else if (key == "reason" && eq != std::string::npos) {
      rule->reason = value;
    } else if (key == "delay" && ParseNumber(value, &n)) {
      rule->delayMs = n;
      hasAction = true;
    } else if (key == "trickle" && ParseNumber(value, &n)) {
      rule->trickleMs = n;
      hasAction = true;
    } else if (key == "pad" && ParseNumber(value, &n)) {
      rule->padBytes = n;
      hasAction = true;
    } else if (key == "fill" && ParseNumber(value, &n)) {
      rule->fillChars = n;
      hasAction = true;
    } else if (key == "retry-after" && ParseNumber(value, &n)) {
      rule->retryAfter = n;
      hasAction = true;
    } else if (token == "empty") {
      rule->empty = hasAction = true;
    } else if (token == "malformed") {
      rule->malformed = hasAction = true;
    } else if (token == "close") {
      rule->close = hasAction = true;
    } else if (token == "reused") {
      rule->reusedOnly = true;
    } else {
      Die("bad fault item \"" + token + "\" in: " + text);
    }
  }
  if (!hasAction)
    Die("fault without an action (status=, empty, malformed, delay=, close, body=, trickle=, pad=, fill=, "
        "retry-after=): " + text);
  return rule;
}

// ---------------------------------------------------------------------------------------------
// Shared server state.

struct Server {
  std::unique_ptr<simdata::Dataset> data;
  std::vector<std::unique_ptr<FaultRule>> faults;
  long long delayMs = 0;
  long long latencyMs = 0;     // one-way, on every byte in both directions
  bool keepAlive = true;       // when the client asks for it
  long long keepAliveMs = 5000;  // idle time after which a kept connection is closed
  std::atomic<long long> connections{0};  // numbers the connections from 1
  long long rateLimit = 0;  // 0: none
  long long rateRetryAfter = -1;  // the Retry-After of its 429, -1: none
  SSL_CTX* ctx = nullptr;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  std::mutex logMutex;
  FILE* log = nullptr;

  std::mutex rateMutex;
  std::deque<long long> recent;  // arrival times (ms) within the last second

  std::atomic<int> active{0};
  std::atomic<int> idle{0};  // of them, kept connections waiting for a request
};

long long NowMs(const Server& s) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - s.start)
      .count();
}

// Length of the valid UTF-8 sequence at v[i], 0 if the byte there starts none.
std::size_t Utf8Length(std::string_view v, std::size_t i) {
  const auto b = static_cast<unsigned char>(v[i]);
  std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
  if (n == 0 || i + n > v.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(v[i + k]) & 0xc0) != 0x80) return 0;
  const auto b1 = n > 1 ? static_cast<unsigned char>(v[i + 1]) : 0;
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8 either.
  if ((n == 2 && b < 0xc2) || (b == 0xe0 && b1 < 0xa0) || (b == 0xed && b1 >= 0xa0) ||
      (b == 0xf0 && b1 < 0x90) || (b == 0xf4 && b1 >= 0x90) || b > 0xf4)
    return 0;
  return n;
}

// A JSON string of raw request bytes. Bytes that are not UTF-8 become \u00XX, so that a log
// line always parses; a reader then sees them as Latin-1 characters.
std::string JsonString(std::string_view v) {
  std::string o = "\"";
  for (std::size_t i = 0; i < v.size();) {
    const char c = v[i];
    const auto u = static_cast<unsigned char>(c);
    const std::size_t n = Utf8Length(v, i);
    if (c == '"') {
      o += "\\\"";
    } else if (c == '\\') {
      o += "\\\\";
    } else if (n == 0 || u < 0x20 || u == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      o += buf;
    } else {
      o.append(v.substr(i, n));
      i += n;
      continue;
    }
    ++i;
  }
  return o + "\"";
}

std::string Base64(std::string_view in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string o;
  o.reserve((in.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    o += t[v >> 18];
    o += t[(v >> 12) & 63];
    o += t[(v >> 6) & 63];
    o += t[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    o += t[v >> 18];
    o += t[(v >> 12) & 63];
    o += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    o += t[v >> 18];
    o += t[(v >> 12) & 63];
    o += t[(v >> 6) & 63];
    o += '=';
  }
  return o;
}

struct Request {
  std::string requestLine;
  std::vector<std::string> headers;
  std::string body;
  std::string method, target, version;
  long long connection = 0;  // which connection carried it
  bool reused = false;       // not the first request of its connection
  bool resumed = false;      // its connection resumed an earlier TLS session
};

void LogRequest(Server& s, const Request& r, RequestKind kind, int status, long long t) {
  if (!s.log) return;
  std::string line = "{\"t\":" + std::to_string(t) + ",\"requestLine\":" + JsonString(r.requestLine) +
                     ",\"headers\":[";
  for (std::size_t i = 0; i < r.headers.size(); ++i) {
    if (i) line += ',';
    line += JsonString(r.headers[i]);
  }
  line += "],\"bodyBase64\":\"" + Base64(r.body) + "\",\"kind\":\"" + simdata::KindName(kind) +
          "\",\"status\":" + std::to_string(status) + ",\"connection\":" + std::to_string(r.connection) +
          ",\"reused\":" + (r.reused ? "true" : "false") + ",\"resumed\":" + (r.resumed ? "true" : "false") +
          "}\n";
  std::lock_guard<std::mutex> lock(s.logMutex);
  std::fwrite(line.data(), 1, line.size(), s.log);
  std::fflush(s.log);
}

bool TooManyRequests(Server& s, long long now) {
  if (s.rateLimit <= 0) return false;
  std::lock_guard<std::mutex> lock(s.rateMutex);
  while (!s.recent.empty() && s.recent.front() <= now - 1000) s.recent.pop_front();
  s.recent.push_back(now);
  return static_cast<long long>(s.recent.size()) > s.rateLimit;
}

// ---------------------------------------------------------------------------------------------
// One connection.

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class Connection {
 public:
  Connection(Server& s, int fd) : s_(s), fd_(fd), id_(++s.connections) {}
  ~Connection() {
    ssl_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  void Run() {
    timeval tv{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ssl_.reset(SSL_new(s_.ctx));
    if (!ssl_) return;
    SSL_set_fd(ssl_.get(), fd_);
    if (SSL_accept(ssl_.get()) <= 0) {
      ERR_clear_error();
      return;  // no certificate, a certificate of another CA, or no TLS at all
    }
    const bool resumed = SSL_session_reused(ssl_.get()) == 1;
    for (int served = 0;; ++served) {
      // A kept connection waits for its next request as long as the portal allows, then the
      // portal closes it, as real servers do with idle connections.
      if (served > 0 && !NextRequestComes()) {
        SSL_shutdown(ssl_.get());
        return;
      }
      Request req;
      req.connection = id_;
      req.reused = served > 0;
      req.resumed = resumed;
      if (!Serve(req)) return;
    }
  }

 private:
  // One request and its answer; true when the connection stays open for another.
  bool Serve(Request& req) {
    const int parsed = ReadRequest(&req);
    if (parsed < 0) return false;  // the client went away before a whole request arrived
    const long long t = NowMs(s_);
    if (parsed > 0) {
      const Answer a = simdata::PlainAnswer(parsed);
      LogRequest(s_, req, RequestKind::Unknown, a.status, t);
      Send(req.version == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1", a, false);
      return false;
    }

    const RequestKind kind = simdata::ClassifyRequest(req.method, req.target);
    long long delay = s_.delayMs;
    std::optional<Answer> answer;
    bool closeOnly = false;
    FaultRule* rule = nullptr;

    if (TooManyRequests(s_, t)) {
      answer = simdata::PlainAnswer(429);
      if (s_.rateRetryAfter >= 0) answer->extraHeaders = "Retry-After: " + std::to_string(s_.rateRetryAfter) + "\r\n";
    } else if ((rule = MatchFault(req, kind))) {
      delay += rule->delayMs;
      if (rule->close) {
        closeOnly = true;
      } else if (rule->status || rule->empty || rule->malformed || rule->body) {
        Answer a;
        if (rule->status) {
          a = simdata::PlainAnswer(rule->status, rule->reason);
        } else if (kind == RequestKind::Count) {
          a.contentType = "text/plain;charset=UTF-8";
        }
        if (rule->body) {
          a.body = *rule->body;
          a.contentType = kind == RequestKind::Count ? "text/plain;charset=UTF-8" : "application/json;charset=UTF-8";
        }
        if (rule->malformed) a.body = "{\"total\":";
        if (rule->empty) a.body.clear();
        answer = a;
      }
    }
    if (!closeOnly && !answer) answer = simdata::AnswerRequest(*s_.data, req.method, req.target, req.body);
    if (answer && rule) Shape(*rule, &*answer);

    // Logged before the wait, so a test sees the request even while it is held or dropped.
    LogRequest(s_, req, kind, closeOnly ? 0 : answer->status, t);
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (closeOnly) return false;  // hang up without a word (no TLS close either)
    const bool keep = s_.keepAlive && WantsKeepAlive(req);
    return Send(req.version, *answer, keep, rule ? rule->trickleMs : 0) && keep;
  }

  // HTTP/1.0 keeps a connection only when asked to; HTTP/1.1 unless asked not to.
  static bool WantsKeepAlive(const Request& req) {
    bool keepAsked = false, closeAsked = false;
    for (const auto& h : req.headers) {
      const auto colon = h.find(':');
      if (colon == std::string::npos || simdata::AsciiLower(h.substr(0, colon)) != "connection") continue;
      const std::string value = simdata::AsciiLower(h.substr(colon + 1));
      keepAsked = keepAsked || value.find("keep-alive") != std::string::npos;
      closeAsked = closeAsked || value.find("close") != std::string::npos;
    }
    if (closeAsked) return false;
    return req.version == "HTTP/1.1" || keepAsked;
  }

  // Whether another request begins on this connection before the portal's idle limit.
  bool NextRequestComes() {
    if (!pending_.empty() || SSL_pending(ssl_.get()) > 0) return true;
    struct Idle {
      explicit Idle(std::atomic<int>& n) : count(n) { ++count; }
      ~Idle() { --count; }
      std::atomic<int>& count;
    } idle(s_.idle);
    pollfd p{fd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_.keepAliveMs);
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n > 0) return true;  // a request, or the client's close (the read then ends it)
      if (n < 0 && errno != EINTR) return false;
    }
  }

  static void Shape(const FaultRule& rule, Answer* a) {
    if (rule.fillChars > 0) {
      static const std::string kMarker = "@@FILL@@";
      std::string fill;
      fill.reserve(static_cast<std::size_t>(rule.fillChars) * 2);
      for (long long i = 0; i < rule.fillChars; ++i) fill += "Ж";
      std::string out;
      std::size_t from = 0;
      for (std::size_t at; (at = a->body.find(kMarker, from)) != std::string::npos; from = at + kMarker.size()) {
        out.append(a->body, from, at - from);
        out += fill;
      }
      out.append(a->body, from, std::string::npos);
      a->body = std::move(out);
    }
    if (rule.padBytes > 0) a->body.append(static_cast<std::size_t>(rule.padBytes), ' ');
    if (rule.retryAfter >= 0) a->extraHeaders += "Retry-After: " + std::to_string(rule.retryAfter) + "\r\n";
  }

  // 0: a request was read; >0: the status to answer a bad request with; <0: give up silently.
  int ReadRequest(Request* req) {
    std::string buf = std::move(pending_);
    pending_.clear();
    std::size_t headerEnd = std::string::npos, sepLen = 0;
    char chunk[16384];
    while (true) {
      auto crlf = buf.find("\r\n\r\n");
      auto lf = buf.find("\n\n");
      if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        headerEnd = crlf;
        sepLen = 4;
      } else if (lf != std::string::npos) {
        headerEnd = lf;
        sepLen = 2;
      }
      if (headerEnd != std::string::npos) break;
      if (buf.size() > 65536) return 400;
      int n = SSL_read(ssl_.get(), chunk, sizeof chunk);
      if (n <= 0) return -1;
      buf.append(chunk, static_cast<std::size_t>(n));
    }
    std::string head = buf.substr(0, headerEnd);
    std::string rest = buf.substr(headerEnd + sepLen);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos <= head.size()) {
      auto nl = head.find('\n', pos);
      std::string line = head.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      if (nl == std::string::npos) break;
      pos = nl + 1;
    }
    req->requestLine = lines.empty() ? std::string() : lines[0];
    req->headers.assign(lines.size() > 1 ? lines.begin() + 1 : lines.end(), lines.end());

    std::istringstream rl(req->requestLine);
    std::string extra;
    rl >> req->method >> req->target >> req->version;
    if (req->method.empty() || req->target.empty() || req->version.empty() || (rl >> extra)) return 400;
    if (req->version != "HTTP/1.0" && req->version != "HTTP/1.1") return 505;

    long long length = 0;
    bool expectContinue = false;
    for (const auto& h : req->headers) {
      auto colon = h.find(':');
      if (colon == std::string::npos) return 400;
      std::string name = simdata::AsciiLower(h.substr(0, colon));
      std::string value = h.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      if (name == "content-length") {
        if (!ParseNumber(value, &length)) return 400;
      } else if (name == "transfer-encoding") {
        return 400;  // the portal's clients always send a length
      } else if (name == "expect" && simdata::AsciiLower(value) == "100-continue") {
        expectContinue = true;
      }
    }
    if (length > 64LL * 1024 * 1024) return 413;
    if (expectContinue && req->version == "HTTP/1.1" && static_cast<long long>(rest.size()) < length) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      if (SSL_write(ssl_.get(), kContinue, sizeof kContinue - 1) <= 0) return -1;
    }
    while (static_cast<long long>(rest.size()) < length) {
      int n = SSL_read(ssl_.get(), chunk, sizeof chunk);
      if (n <= 0) return -1;
      rest.append(chunk, static_cast<std::size_t>(n));
    }
    // Bytes past the body begin the next request of a kept connection.
    pending_ = rest.substr(static_cast<std::size_t>(length));
    rest.resize(static_cast<std::size_t>(length));
    req->body = std::move(rest);
    return 0;
  }

  FaultRule* MatchFault(const Request& req, RequestKind kind) {
    FaultRule* chosen = nullptr;
    for (auto& rule : s_.faults) {
      if (!rule->anyKind && rule->kind != kind) continue;
      if (rule->reusedOnly && !req.reused) continue;
      if (!rule->match.empty() && req.target.find(rule->match) == std::string::npos &&
          req.body.find(rule->match) == std::string::npos)
        continue;
      // Every matching request counts for first=K, also when an earlier rule answers it.
      const long long n = ++rule->seen;
      if (!chosen && (rule->first < 0 || n <= rule->first)) chosen = rule.get();
    }
    return chosen;
  }

  // trickleMs > 0: the header at once, then the body one byte at a time. A connection that is
  // not kept is closed after the answer. False when the client has gone.
  bool Send(const std::string& version, const Answer& a, bool keep, long long trickleMs = 0) {
    std::string out = version + " " + std::to_string(a.status) + " " + a.reason + "\r\n" +
                      "Content-Type: " + a.contentType + "\r\n" +
                      "Content-Length: " + std::to_string(a.body.size()) + "\r\n" + a.extraHeaders +
                      (keep ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
    if (trickleMs > 0) {
      if (SSL_write(ssl_.get(), out.data(), static_cast<int>(out.size())) <= 0) return false;
      for (char c : a.body) {
        std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs));
        if (SSL_write(ssl_.get(), &c, 1) <= 0) return false;  // the client gave up
      }
    } else {
      out += a.body;
      std::size_t done = 0;
      while (done < out.size()) {
        int n = SSL_write(ssl_.get(), out.data() + done, static_cast<int>(std::min<std::size_t>(out.size() - done, 1 << 20)));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
    }
    if (!keep) SSL_shutdown(ssl_.get());
    return true;
  }

  Server& s_;
  int fd_;
  long long id_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
  std::string pending_;  // read past the last request: the start of the next one
};

// ---------------------------------------------------------------------------------------------
// Distance: every byte from the client reaches the TLS server latencyMs after it arrived, and
// every byte of the server leaves for the client latencyMs after it was written, in order and
// without limiting the bandwidth (a link of that length, not a slow one). An end of stream
// travels the same way. The kernel has completed the TCP handshake at once, so the client's
// first bytes are held one round trip more, as if its connect had taken one. The relay ends
// once the server's side has closed and that has reached the client.

void Relay(int outside, int inside, long long latencyMs) {
  using Clock = std::chrono::steady_clock;
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the end of the stream
  };
  struct Direction {
    Direction(int f, int t) : from(f), to(t) {}
    int from, to;
    bool reading = true;
    bool ended = false;  // the end has been passed on
    std::deque<Chunk> queue;
  };
  Direction dirs[2] = {Direction(outside, inside), Direction(inside, outside)};
  const auto delay = std::chrono::milliseconds(latencyMs);
  const auto connected = Clock::now() + 2 * delay;  // when a distant client's connect would end
  char buffer[65536];
  bool broken = false;
  while (!broken && !dirs[1].ended) {
    const auto now = Clock::now();
    int timeout = -1;
    for (const Direction& d : dirs)
      if (!d.queue.empty()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(d.queue.front().due - now).count() + 1;
        timeout = timeout < 0 ? static_cast<int>(std::max<long long>(0, wait)) : std::min(timeout, static_cast<int>(std::max<long long>(0, wait)));
      }
    pollfd fds[2];
    nfds_t n = 0;
    Direction* polled[2];
    for (Direction& d : dirs)
      if (d.reading) {
        fds[n] = {d.from, POLLIN, 0};
        polled[n++] = &d;
      }
    if (n == 0 && timeout < 0) break;
    if (::poll(fds, n, timeout) < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      Direction& d = *polled[i];
      const ssize_t got = ::read(d.from, buffer, sizeof buffer);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      const auto due = &d == &dirs[0] ? std::max(Clock::now(), connected) + delay : Clock::now() + delay;
      if (got <= 0) {
        d.reading = false;
        d.queue.push_back({due, std::string()});
      } else {
        d.queue.push_back({due, std::string(buffer, static_cast<std::size_t>(got))});
      }
    }
    for (Direction& d : dirs) {
      while (!broken && !d.queue.empty() && d.queue.front().due <= Clock::now()) {
        const std::string bytes = std::move(d.queue.front().bytes);
        d.queue.pop_front();
        if (bytes.empty()) {
          ::shutdown(d.to, SHUT_WR);
          d.ended = true;
          continue;
        }
        for (std::size_t done = 0; done < bytes.size();) {
          const ssize_t put = ::send(d.to, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
          if (put < 0 && errno == EINTR) continue;
          if (put <= 0) {
            broken = true;
            break;
          }
          done += static_cast<std::size_t>(put);
        }
      }
    }
  }
  ::close(outside);
  ::close(inside);
}

// ---------------------------------------------------------------------------------------------

int stopPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 's';
  [[maybe_unused]] auto n = ::write(stopPipe[1], &c, 1);
}

SSL_CTX* MakeContext(const std::string& cert, const std::string& key, const std::string& ca, bool resumption) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) Die("cannot create the TLS context", 1);
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  auto fail = [](const std::string& what) {
    unsigned long e = ERR_get_error();
    char buf[256] = "";
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    Die(what + ": " + buf, 1);
  };
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) fail("cannot load " + cert);
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) fail("cannot load " + key);
  if (SSL_CTX_check_private_key(ctx) != 1) fail("key does not match " + cert);
  if (SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr) != 1) fail("cannot load " + ca);
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca.c_str());
  if (names) SSL_CTX_set_client_CA_list(ctx, names);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  static const unsigned char kSessionContext[] = "portal-sim";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  if (!resumption) {
    // Neither a session cache nor tickets: every handshake is a full one.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  }
  return ctx;
}

}  // namespace

int main(int argc, char** argv) {
  simdata::Config config;
  long long port = 0;
  std::string tlsDir, cert, key, ca, logPath, citiesPath;
  bool printMutations = false;
  Server server;
  std::vector<std::string> faultRules;
  bool resumption = true;

  auto number = [](const std::string& opt, const std::string& v) {
    long long n = 0;
    if (!ParseNumber(v, &n)) Die("option " + opt + " wants a number, not \"" + v + "\"");
    return n;
  };
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    std::string value;
    auto eq = opt.find('=');
    const bool inlineValue = opt.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inlineValue) {
      value = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
    }
    if (opt == "--help" || opt == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (opt == "--print-mutations") {
      if (inlineValue) Die("option " + opt + " takes no value");
      printMutations = true;
      continue;
    }
    if (opt == "--no-keep-alive" || opt == "--no-resumption") {
      if (inlineValue) Die("option " + opt + " takes no value");
      if (opt == "--no-keep-alive") server.keepAlive = false;
      else resumption = false;
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) Die("option " + opt + " wants a value\n" + kUsage);
      value = argv[++i];
    }
    if (opt == "--regions") config.regions = static_cast<int>(std::min(number(opt, value), 1000LL));
    else if (opt == "--orgs") config.orgs = static_cast<int>(std::min(number(opt, value), 1000000LL));
    else if (opt == "--houses") config.houses = number(opt, value);
    else if (opt == "--seed") config.seed = static_cast<std::uint64_t>(number(opt, value));
    else if (opt == "--mutate-seed") config.mutateSeed = static_cast<std::uint64_t>(number(opt, value));
    else if (opt == "--mutate-percent") config.mutatePercent = static_cast<int>(std::min(number(opt, value), 100LL));
    else if (opt == "--port") port = number(opt, value);
    else if (opt == "--tls-dir") tlsDir = value;
    else if (opt == "--cert") cert = value;
    else if (opt == "--key") key = value;
    else if (opt == "--ca") ca = value;
    else if (opt == "--log") logPath = value;
    else if (opt == "--delay") server.delayMs = number(opt, value);
    else if (opt == "--latency-ms") server.latencyMs = number(opt, value);
    else if (opt == "--keep-alive-ms") server.keepAliveMs = number(opt, value);
    else if (opt == "--rate-limit") server.rateLimit = number(opt, value);
    else if (opt == "--retry-after") server.rateRetryAfter = number(opt, value);
    else if (opt == "--write-cities") citiesPath = value;
    else if (opt == "--fault") faultRules.push_back(value);
    else if (opt == "--faults") {
      std::ifstream in(value);
      if (!in) Die("cannot read " + value);
      std::string line;
      while (std::getline(in, line)) {
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line.back() == '\r') line.pop_back();
        faultRules.push_back(line);
      }
    } else {
      Die("unknown option " + opt + "\n" + kUsage);
    }
  }
  if (port > 65535) Die("port out of range");
  for (const auto& text : faultRules) server.faults.push_back(ParseFault(text));

  server.data = std::make_unique<simdata::Dataset>(config);

  if (printMutations) {
    const simdata::Dataset& d = *server.data;
    const simdata::Mutations& m = d.Mutation();
    for (int org : m.changed) std::cout << "changed\t" << d.OrgGuid(org) << "\n";
    for (int org : m.vanished) std::cout << "vanished\t" << d.OrgGuid(org) << "\n";
    for (int org : m.appeared) std::cout << "appeared\t" << d.OrgGuid(org) << "\n";
    for (const auto& move : m.moves)
      std::cout << "moved\t" << d.OrgGuid(move.from) << "\t" << move.house << "\t" << d.OrgGuid(move.to) << "\n";
    return 0;
  }

  if (!citiesPath.empty()) {
    const std::string text = server.data->CitiesFile();
    FILE* f = std::fopen(citiesPath.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
      Die("cannot write " + citiesPath + ": " + std::strerror(errno), 1);
    return 0;
  }

  if (!tlsDir.empty()) {
    if (tlsDir.back() != '/') tlsDir += '/';
    if (cert.empty()) cert = tlsDir + "server.crt";
    if (key.empty()) key = tlsDir + "server.key";
    if (ca.empty()) ca = tlsDir + "ca.crt";
  }
  if (cert.empty() || key.empty() || ca.empty()) Die("TLS files missing: give --tls-dir or --cert, --key and --ca");
  server.ctx = MakeContext(cert, key, ca, resumption);

  if (!logPath.empty()) {
    server.log = std::fopen(logPath.c_str(), "wb");
    if (!server.log) Die("cannot write " + logPath + ": " + std::strerror(errno), 1);
  }

  signal(SIGPIPE, SIG_IGN);
  if (pipe(stopPipe) != 0) Die("pipe failed", 1);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) Die(std::string("socket: ") + std::strerror(errno), 1);
  int yes = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 512) != 0)
    Die("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno), 3);
  socklen_t len = sizeof addr;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::cout << "LISTENING " << ntohs(addr.sin_port) << std::endl;

  while (true) {
    pollfd fds[2] = {{lfd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (server.latencyMs > 0) {
      // The TLS server talks to one end of a socket pair; the relay carries the bytes between
      // the other end and the client, late.
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        ::close(fd);
        continue;
      }
      try {
        std::thread(Relay, fd, pair[0], server.latencyMs).detach();
      } catch (const std::exception&) {
        ::close(fd);
        ::close(pair[0]);
        ::close(pair[1]);
        continue;
      }
      fd = pair[1];
    }
    ++server.active;
    try {
      std::thread([&server, fd] {
        {
          Connection c(server, fd);
          c.Run();
        }
        ERR_clear_error();
        --server.active;
      }).detach();
    } catch (const std::exception&) {  // no more threads: turn the client away
      ::close(fd);
      --server.active;
    }
  }

  // Stop: no new connections; give the requests under way a moment, then leave (kept
  // connections waiting for a request are not waited for).
  ::close(lfd);
  for (int i = 0; i < 200 && server.active.load() - server.idle.load() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard<std::mutex> lock(server.logMutex);
    if (server.log) std::fflush(server.log);
  }
  std::_Exit(0);
}
