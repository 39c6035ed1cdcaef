#include "portal/scrapingthread.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "portal/httpclient.h"
#include "portal/tlsidentity.h"
#include "text/textfile.h"

namespace {

const QByteArray kJsonContentType = QByteArrayLiteral("application/json;charset=UTF-8");

}  // namespace

TScrapingThread::TScrapingThread() = default;

TScrapingThread::~TScrapingThread() { wait(); }

void TScrapingThread::Abort() {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    aborted_.store(true);
  }
  requestInterruption();
  pauseWake_.notify_all();
}

void TScrapingThread::run() {
  try {
    Work();
  } catch (...) {
    // Work() turns every error into the outcome fields; nothing may leave the thread.
  }
  try {
    HandOver();
  } catch (...) {
    // Out of memory while appending: nothing sensible is left to do on this thread.
  }
}

void TScrapingThread::HandOver() {
  if (!lists) return;
  std::lock_guard<std::mutex> lock(lists->JobLock);
  lists->RunningList.removeOne(this);
  lists->FinishedList.append(this);
}

void TScrapingThread::ShowLogMessage(const QString& text) {
  if (LogsMemo) LogsMemo->AddLogLine(LogLine(text));
}

void TScrapingThread::Pause(int ms, bool endOnStop) {
  if (ms <= 0) return;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> lock(pauseMutex_);
  while (!aborted_.load()) {
    if (endOnStop && isInterruptionRequested()) return;
    const auto now = Clock::now();
    if (now >= deadline) return;
    // A stop request has no wake-up of its own: look at it every 20 ms.
    const auto slice = endOnStop ? std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(20))
                                 : deadline - now;
    pauseWake_.wait_for(lock, slice);
  }
}

void TScrapingThread::Work() {
  try {
    // The run's shared identity, kept alive by this worker's copy of the settings.
    HttpClientOptions options;
    options.accept = QByteArrayLiteral("text/html, */*");
    options.userAgent = QByteArrayLiteral(
        "Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:101.0) Gecko/20100101 Firefox/101.0");
    options.referer = settings.baseUrl.toUtf8();
    options.idleAndConnectTimeoutSec = settings.idleAndConnectTimeoutSec;
    options.totalTimeoutMs = settings.totalTimeoutMs;
    options.addressPrefix = settings.baseUrl.toUtf8();
    options.identity = settings.identity.get();
    options.abortRequested = [this] { return Aborted(); };
    options.pool = settings.connections;
    // Connections made with the run's identity serve only that identity.
    options.poolKey = "identity:" + QByteArray::number(settings.identity ? settings.identity->Serial() : 0);
    HttpClient client(options);

    CustomHeaders = {QByteArrayLiteral("Request-GUID: 0"), QByteArrayLiteral("Session-GUID: 0")};

    result = 0;
    if (!Parts) Parts = ParseTask(url, static_cast<::Code>(Code));
    const QString keptUrl = url;
    ShowLogMessage(QStringLiteral("Запускаем code:") + QString::number(Code) +
                   QStringLiteral(" url: ") + PrintableValue(url, 1000));
    html.clear();
    html2.clear();

    // A task that can never be sent fails once, readably, instead of a hundred times.
    const QString refusal = TaskRefusal(*Parts, settings.baseUrl);
    if (!refusal.isEmpty()) {
      if (StopRequested()) return;
      refused = true;
      result = -1;
      statusText = QStringLiteral("ERROR_") + refusal;
      ShowLogMessage(statusText + QStringLiteral(" для ") + PrintableValue(url, 1000));
      return;
    }

    for (int attempt = 0; attempt < settings.maxAttempts; ++attempt) {
      url = keptUrl;  // an attempt of a house request cuts it to the address
      if (StopRequested()) return;
      QString error;
      int waitMs = settings.failPauseMs;
      const AttemptEnd end = Attempt(client, &error, &waitMs);
      if (end == AttemptEnd::Stopped) return;
      if (end == AttemptEnd::Succeeded) {
        result = 1;
        statusText = QStringLiteral("успешно");
        return;
      }
      result = -1;
      statusText = QStringLiteral("ERROR_") + error;
      ShowLogMessage(statusText + QStringLiteral(" для ") + url);
      Pause(waitMs, false);
    }
    // Every attempt failed.
    if (result == -1) Pause(settings.failPauseMs, true);
  } catch (...) {
    result = -1;
    statusText = QStringLiteral("ERROR_") + CurrentExceptionText(QStringLiteral("unknown error"));
    Pause(settings.failPauseMs, true);
  }
}

bool TScrapingThread::BuildRequest(HttpRequest* request, QString* error) {
  const TaskParts& task = *Parts;
  const QString noValue = QStringLiteral("no \"|||\" in the task");
  request->customHeaders = CustomHeaders;
  switch (Code) {
    case RegionCount:
      regionguid2 = task.regionCode;
      regionguid = task.regionGuid;
      request->url = RegionCountAddress(settings.baseUrl).toUtf8();
      request->post = true;
      request->body = OrganisationFilter(regionguid, regionguid2);
      break;
    case SearchPage:
      if (!task.hasValue) {
        *error = noValue;
        return false;
      }
      request->url = task.address.toUtf8();
      regionguid2 = task.regionCode;
      regionguid = task.regionGuid;
      request->post = true;
      request->body = OrganisationFilter(regionguid, regionguid2);
      break;
    case OrgCard:
      request->url = url.toUtf8();
      break;
    case HouseCount:
    case HousePage:
      CustomHeaders.clear();
      request->customHeaders.clear();
      if (!task.hasValue) {
        *error = noValue;
        return false;
      }
      orgguid = task.orgGuid;
      url = task.address;
      request->url = url.toUtf8();
      request->post = true;
      request->body = HouseFilter(orgguid);
      break;
    default:
      *error = QStringLiteral("unknown request kind %1").arg(Code);
      return false;
  }
  if (request->post) request->contentType = kJsonContentType;
  return true;
}

HttpRequest TScrapingThread::AdditionalRequest() const {
  HttpRequest request;
  request.url = AdditionalInfoAddress(settings.baseUrl).toUtf8();
  request.post = true;
  request.contentType = kJsonContentType;
  request.body = AdditionalInfoBody(orgguid);
  request.customHeaders = CustomHeaders;
  return request;
}

bool TScrapingThread::IdentityReady(QString* error) const {
  if (!settings.identity || !settings.identity->Loaded()) {
    *error = QStringLiteral("no client certificate loaded for the run");
    return false;
  }
  // Loaded at the start of the run; files that have gone since still fail the attempt.
  return TlsIdentity::FilesReadable(settings.certFile, settings.keyFile, error);
}

TScrapingThread::AttemptEnd TScrapingThread::Judge(HttpOutcome outcome, const HttpAnswer& answer,
                                                   QString* error, int* waitMs) const {
  if (outcome == HttpOutcome::Ok) return AttemptEnd::Succeeded;
  if (outcome == HttpOutcome::Aborted) return AttemptEnd::Stopped;
  // A failed request without a reason phrase is named by its status code.
  if (error->isEmpty()) *error = QString::number(answer.status);
  // The rate limiter says when to come back: trying again every second would keep us over
  // its limit. It never shortens the usual pause: "0", or a date already past, would send up
  // to a hundred attempts back to back.
  if (answer.status == 429 && answer.retryAfterSec >= 0) {
    const long long asked = std::min<long long>(answer.retryAfterSec, settings.maxRetryAfterSec);
    *waitMs = std::max(settings.failPauseMs, int(asked * 1000));
    *error += QStringLiteral(" (Retry-After: %1 s, next attempt in %2 s)")
                  .arg(answer.retryAfterSec)
                  .arg(*waitMs / 1000.0);
  }
  return AttemptEnd::Failed;
}

bool TScrapingThread::Usable(QString* error) const {
  if ((Code == RegionCount && html.isEmpty()) || (Code == SearchPage && !html.contains("\"total\""))) {
    *error = QStringLiteral("Broken");
    return false;
  }
  return true;
}

TScrapingThread::AttemptEnd TScrapingThread::Attempt(HttpClient& client, QString* error, int* waitMs) {
  try {
    HttpRequest request;
    if (!BuildRequest(&request, error) || !IdentityReady(error)) return AttemptEnd::Failed;
    HttpAnswer answer;
    AttemptEnd end = Judge(client.Perform(request, &answer, error), answer, error, waitMs);
    if (end != AttemptEnd::Succeeded) return end;
    if (StopRequested()) return AttemptEnd::Stopped;
    // The bytes are handed on as they are: no text is made of them until a handler reads them.
    html = std::move(answer.body);

    if (Code == OrgCard && GetAdditional) {
      Pause(settings.additionalWaitMs, false);
      if (Aborted()) return AttemptEnd::Stopped;
      orgguid = Parts->orgGuid;
      HttpAnswer more;
      end = Judge(client.Perform(AdditionalRequest(), &more, error), more, error, waitMs);
      if (end != AttemptEnd::Succeeded) return end;
      html2 = std::move(more.body);
    }

    if (!Usable(error)) return AttemptEnd::Failed;
    if (StopRequested()) return AttemptEnd::Stopped;
    return AttemptEnd::Succeeded;
  } catch (const std::exception& e) {
    *error = QString::fromUtf8(e.what());
    return AttemptEnd::Failed;
  }
}
