#include "portal/httpclient.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cstring>

#include "portal/api.h"
#include "portal/tlsidentity.h"
#include "text/textfile.h"

namespace {

// "Retry-After": delay seconds, or an HTTP date (seconds from now, none when past). -1 when
// unreadable.
long long RetryAfterSeconds(const QByteArray& value) {
  bool ok = false;
  const long long seconds = value.toLongLong(&ok);
  if (ok) return seconds >= 0 ? seconds : -1;
  // An HTTP date ends in "GMT", which Qt's RFC 2822 reading does not take: as "+0000" it does.
  QString date = QString::fromLatin1(value);
  if (date.endsWith(QLatin1String(" GMT"))) date = date.chopped(3) + QLatin1String("+0000");
  const QDateTime when = QDateTime::fromString(date, Qt::RFC2822Date);
  if (!when.isValid()) return -1;
  return std::max<long long>(0, QDateTime::currentDateTimeUtc().secsTo(when));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

HeaderList::~HeaderList() { curl_slist_free_all(list_); }

bool HeaderList::Append(const QByteArray& line) {
  curl_slist* grown = curl_slist_append(list_, line.constData());
  if (!grown) return false;
  list_ = grown;
  return true;
}

// ---------------------------------------------------------------------------------------------

HttpClient::HttpClient(HttpClientOptions options) : options_(std::move(options)) {
  if (options_.pool) {
    lease_ = options_.pool->Take(options_.poolKey);
  } else {
    lease_.handle.reset(curl_easy_init());
  }
  curl_ = lease_.handle.get();
  if (!curl_) {
    initError_ = QStringLiteral("cannot create the HTTP client");
    return;
  }
  // A handle from the pool comes with another client's options: start from libcurl's
  // defaults (its open connection and TLS sessions stay), so every handle is set up alike and
  // its connections match each other's TLS settings.
  curl_easy_reset(curl_);
  if (lease_.share && lease_.share->get()) curl_easy_setopt(curl_, CURLOPT_SHARE, lease_.share->get());
  const long idle = options_.idleAndConnectTimeoutSec > 0 ? options_.idleAndConnectTimeoutSec : 900;
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &HttpClient::OnBody);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &HttpClient::OnHeader);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &HttpClient::OnProgress);
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, idle);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
  // Nothing is verified, so no CA bundle is worth parsing for every connection.
  curl_easy_setopt(curl_, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  curl_easy_setopt(curl_, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  curl_easy_setopt(curl_, CURLOPT_SSLVERSION,
                   (long)CURL_SSLVERSION_TLSv1_2 | (long)CURL_SSLVERSION_MAX_TLSv1_2);
  curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);  // Perform follows them itself
  curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(curl_, CURLOPT_PROXY, "");  // also ignores the proxy variables
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, options_.userAgent.constData());
  curl_easy_setopt(curl_, CURLOPT_REFERER, options_.referer.constData());
  if (options_.identity) {
    curl_easy_setopt(curl_, CURLOPT_SSL_CTX_FUNCTION, &HttpClient::OnSslContext);
    curl_easy_setopt(curl_, CURLOPT_SSL_CTX_DATA, this);
  }
}

HttpClient::~HttpClient() {
  if (!curl_) return;
  // Nothing of this client may stay reachable from a handle that outlives it.
  curl_easy_reset(curl_);
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  // A transfer dropped half-way leaves its connection closed; such a handle is not passed on.
  if (options_.pool && !aborted_) {
    options_.pool->Return(std::move(lease_));
  } else {
    lease_.handle.reset();
  }
}

HttpOutcome HttpClient::Perform(const HttpRequest& request, HttpAnswer* answer, QString* error) {
  *answer = HttpAnswer();
  error->clear();
  if (!curl_) {
    *error = initError_;
    return HttpOutcome::Failed;
  }

  // Redirects are followed here rather than by libcurl: when libcurl turns a POST into a GET
  // it keeps our own Content-Length line, and the server then waits for a body that never
  // comes. A 301, 302 or 303 after a POST continues as a GET without body, as browsers do;
  // a 307 or 308 repeats the POST.
  QByteArray url = request.url;
  bool post = request.post;
  const auto outside = [this](const QByteArray& address) {
    return !options_.addressPrefix.isEmpty() && !address.startsWith(options_.addressPrefix);
  };
  if (outside(url)) {
    *error = QStringLiteral("address does not begin with the portal's base address %1: %2")
                 .arg(QString::fromUtf8(options_.addressPrefix), QString::fromUtf8(url.left(200)));
    return HttpOutcome::Failed;
  }
  // The deadline covers the whole request, redirects included.
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.totalTimeoutMs);
  for (int redirects = 0;; ++redirects) {
    *answer = HttpAnswer();
    const HttpOutcome outcome = Transfer(url, post, request, answer, error);
    if (outcome != HttpOutcome::Ok) return outcome;

    const long code = answer->status;
    const bool redirect = code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
    const char* next = nullptr;
    if (redirect && curl_easy_getinfo(curl_, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next &&
        *next) {
      if (redirects >= kMaxRedirects) {
        *error = QStringLiteral("more than %1 redirects in a row").arg(kMaxRedirects);
        return HttpOutcome::Failed;
      }
      url = QByteArray(next);
      if (outside(url)) {
        *error = QStringLiteral("redirect to an address outside the portal's base address %1: %2")
                     .arg(QString::fromUtf8(options_.addressPrefix), QString::fromUtf8(url.left(200)));
        return HttpOutcome::Failed;
      }
      if (code != 307 && code != 308) post = false;
      continue;
    }

    if (code >= 400 && code != 401 && code != 407) {
      *error = answer->reason;  // may be empty: the caller then names the code
      return HttpOutcome::Failed;
    }
    return HttpOutcome::Ok;
  }
}

HttpOutcome HttpClient::Transfer(const QByteArray& url, bool post, const HttpRequest& request,
                                 HttpAnswer* answer, QString* error) {
  // curl puts Host, User-Agent and Referer first, then this list in order. Content-Length is
  // in the list so that the custom lines really come last.
  HeaderList headers;
  bool listed = headers.Append("Accept: " + options_.accept);
  if (post) {
    listed = listed && headers.Append("Content-Type: " + request.contentType);
    listed = listed && headers.Append("Content-Length: " + QByteArray::number(request.body.size()));
  }
  if (options_.pool) listed = listed && headers.Append("Connection: keep-alive");
  for (const QByteArray& line : request.customHeaders) listed = listed && headers.Append(line);
  if (!listed) {
    *error = QStringLiteral("out of memory");
    return HttpOutcome::Failed;
  }

  curl_easy_setopt(curl_, CURLOPT_URL, url.constData());
  if (post) {
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)request.body.size());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, request.body.constData());
  } else {
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
  }
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers.get());
  // libcurl's own total time-out backs up the check in OnProgress, also during the handshake.
  long remainingMs = 0;
  if (options_.totalTimeoutMs > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    remainingMs = std::max<long>(1, long(left.count()));
  }
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, remainingMs);

  answer_ = answer;
  tooLarge_ = false;
  timedOut_ = false;
  pastDeadline_ = false;
  aborted_ = false;
  lastDl_ = 0;
  lastUl_ = 0;
  lastTraffic_ = std::chrono::steady_clock::now();
  errorBuffer_[0] = '\0';

  const CURLcode rc = curl_easy_perform(curl_);

  // Nothing may point at the request's buffers once it is gone.
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  if (post) curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
  answer_ = nullptr;

  if (aborted_) return HttpOutcome::Aborted;
  if (rc != CURLE_OK) {
    // libcurl's own time-out may fire a millisecond before ours would have.
    const bool atDeadline = options_.totalTimeoutMs > 0 &&
                            std::chrono::steady_clock::now() + std::chrono::milliseconds(100) >= deadline_;
    if (pastDeadline_ || (rc == CURLE_OPERATION_TIMEDOUT && atDeadline)) {
      *error = QStringLiteral("Operation timed out: the whole answer did not arrive within %1 seconds")
                   .arg(options_.totalTimeoutMs / 1000.0);
    } else if (timedOut_) {
      *error = QStringLiteral("Operation timed out: no traffic for %1 seconds")
                   .arg(options_.idleAndConnectTimeoutSec);
    } else if (tooLarge_) {
      *error = QStringLiteral("answer larger than %1 bytes").arg(kMaxBodyBytes);
    } else if (errorBuffer_[0] != '\0') {
      *error = QString::fromUtf8(errorBuffer_).trimmed();
    } else {
      *error = QString::fromUtf8(curl_easy_strerror(rc));
    }
    return HttpOutcome::Failed;
  }

  long code = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
  answer->status = code;
  // A body that grew without a length given may hold up to twice its size: give it back
  // before the caller makes its text out of it.
  if (answer->body.capacity() > answer->body.size() + answer->body.size() / 8) answer->body.squeeze();
  return HttpOutcome::Ok;
}

size_t HttpClient::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* client = static_cast<HttpClient*>(self);
  const size_t bytes = size * count;
  if (!client->answer_) return bytes;
  if (client->answer_->body.size() + qsizetype(bytes) > kMaxBodyBytes) {
    client->tooLarge_ = true;
    return 0;  // makes curl fail the transfer
  }
  client->answer_->body.append(data, qsizetype(bytes));
  return bytes;
}

size_t HttpClient::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* client = static_cast<HttpClient*>(self);
  const size_t bytes = size * count;
  if (!client->answer_) return bytes;
  // Only the status line and two header lines matter: the others cost no copy.
  const auto named = [data, bytes](const char* name, size_t length) {
    return bytes > length && qstrnicmp(data, name, length) == 0;
  };
  const bool status = bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0;
  const bool contentLength = !status && named("content-length:", 15);
  const bool retryAfter = !status && !contentLength && named("retry-after:", 12);
  if (!status && !contentLength && !retryAfter) return bytes;
  QByteArray line(data, qsizetype(bytes));
  if (!status) {
    const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
    if (contentLength) {
      bool ok = false;
      const qlonglong length = value.toLongLong(&ok);
      if (ok && length > kMaxBodyBytes) {
        client->tooLarge_ = true;
        return 0;  // refused before a byte of it arrives
      }
      // Room for the whole body at once: no doubling copies while it arrives.
      if (ok && length > 0) client->answer_->body.reserve(qsizetype(length));
    } else {
      client->answer_->retryAfterSec = RetryAfterSeconds(value);
    }
    return bytes;
  }
  // A new status line starts a new response (redirects, interim answers).
  while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
  const qsizetype first = line.indexOf(' ');
  const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
  client->answer_->status =
      first < 0 ? 0 : line.mid(first + 1, second < 0 ? -1 : second - first - 1).toLong();
  // The phrase goes into log lines: shown like any printed value (a control character, a bare
  // CR included, as \xNN) and cut, since a status line may run to the 100 KB libcurl allows.
  client->answer_->reason =
      second < 0 ? QString() : PrintableValue(QString::fromUtf8(line.mid(second + 1)).trimmed(), kMaxReasonLength);
  client->answer_->body.clear();
  client->answer_->retryAfterSec = -1;
  return bytes;
}

int HttpClient::OnProgress(void* self, curl_off_t /*dltotal*/, curl_off_t dlnow,
                           curl_off_t /*ultotal*/, curl_off_t ulnow) {
  auto* client = static_cast<HttpClient*>(self);
  if (client->options_.abortRequested && client->options_.abortRequested()) {
    client->aborted_ = true;
    return 1;
  }
  const auto now = std::chrono::steady_clock::now();
  if (client->options_.totalTimeoutMs > 0 && now > client->deadline_) {
    client->pastDeadline_ = true;
    return 1;
  }
  if (dlnow != client->lastDl_ || ulnow != client->lastUl_) {
    client->lastDl_ = dlnow;
    client->lastUl_ = ulnow;
    client->lastTraffic_ = now;
  } else if (client->options_.idleAndConnectTimeoutSec > 0 &&
             now - client->lastTraffic_ > std::chrono::seconds(client->options_.idleAndConnectTimeoutSec)) {
    client->timedOut_ = true;
    return 1;
  }
  return 0;
}

int HttpClient::OnSslContext(CURL* /*curl*/, void* sslctx, void* self) {
  auto* client = static_cast<HttpClient*>(self);
  const TlsIdentity* identity = client->options_.identity;
  if (!identity || !identity->Loaded()) return CURLE_OK;
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  // Both calls take references of their own: the identity is shared, never copied or changed.
  if (SSL_CTX_use_certificate(ctx, identity->Certificate()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, identity->Key()) != 1) {
    ERR_clear_error();
    return CURLE_SSL_CERTPROBLEM;
  }
  return CURLE_OK;
}
