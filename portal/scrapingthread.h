#pragma once
// The fetch worker: one portal request of one kind, tried up to 100 times, on its own thread.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "portal/api.h"
#include "portal/connectionpool.h"
#include "platform/logsink.h"

class TScrapingThread;
class HttpClient;
class TlsIdentity;
struct HttpRequest;
struct HttpAnswer;
enum class HttpOutcome;

// The job's two worker lists and `JobLock`, the one lock that guards them. Shared by the job
// and every worker it started, so a worker that finishes after the job's loop has ended
// still hands itself over to valid lists.
struct TWorkerLists {
  std::mutex JobLock;
  QList<TScrapingThread*> RunningList;
  QList<TScrapingThread*> FinishedList;
  LogGate Log;  // the workers' way to the log view, closed when the job ends
};

// What a worker needs besides its task. The program uses the defaults; tests shorten the
// waits and point the worker at the substitute portal.
struct FetchSettings {
  QString baseUrl = DefaultBaseUrl();
  QByteArray keyPassphrase = DefaultKeyPassphrase();
  QString certFile = QStringLiteral("01cert.pem");  // relative to the current directory
  QString keyFile = QStringLiteral("01key.pem");
  int maxAttempts = 100;
  int failPauseMs = 1000;       // after every failed attempt
  int additionalWaitMs = 2000;  // between a card and its additional information
  // Without traffic on the connection, and for making the connection in the first place.
  int idleAndConnectTimeoutSec = 900;
  // The certificate and key loaded once for the whole run (from certFile and keyFile) and
  // shared by every worker. A worker without one fails its attempts: it never loads them
  // itself.
  std::shared_ptr<const TlsIdentity> identity;
  int totalTimeoutMs = 15 * 60 * 1000;  // for the whole answer of one request
  int maxRetryAfterSec = 60;    // the longest wait a 429's "Retry-After" may ask for
  // Idle connections and TLS sessions that a worker leaves for the next; copies of the
  // settings share it. Null: every request on a new connection with a full handshake.
  std::shared_ptr<ConnectionPool> connections = std::make_shared<ConnectionPool>();
};

class TScrapingThread : public QThread {
 public:
  TScrapingThread();
  ~TScrapingThread() override;  // waits until the thread has ended

  // Inputs, set by the job before start().
  QString url;  // the task string; cut to the address for HouseCount/HousePage
  int Code = RegionCount;
  // The task taken apart by the job; without it the worker parses `url` as a task of `Code`.
  // Handed back with the outputs.
  std::optional<TaskParts> Parts;
  bool GetAdditional = false;
  LogSink* LogsMemo = nullptr;
  std::shared_ptr<TWorkerLists> lists;  // RunningList, FinishedList and JobLock
  FetchSettings settings;

  // Outputs, read by the job after the hand-over (found in FinishedList under JobLock).
  int result = 0;  // 1 success, -1 failure, 0 stopped before any attempt ended
  // The answers as the portal sent them (UTF-8 bytes): the handler parses them as they are.
  QByteArray html;
  QByteArray html2;
  QString statusText;
  // The task was refused without being sent (not plain, or outside the base address): every
  // later run would refuse it too.
  bool refused = false;
  QString regionguid;
  QString regionguid2;
  QString orgguid;

  // The job is gone or the program is closing: stop at the next check and abort a transfer
  // under way (within about a second). Also sets the terminate request.
  void Abort();
  bool Aborted() const { return aborted_.load(); }

 protected:
  void run() override;

 private:
  enum class AttemptEnd { Succeeded, Failed, Stopped };

  void Work();
  // One attempt: builds the request, sends it and judges the answers. *waitMs: how long to
  // wait before the next attempt after a failure.
  AttemptEnd Attempt(HttpClient& client, QString* error, int* waitMs);
  // The request of this task's kind; also fills the fields the job reads back (region code
  // and GUID, organisation GUID, `url` cut to a house request's address). False, with
  // *error, for a task that cannot be sent.
  bool BuildRequest(HttpRequest* request, QString* error);
  // The additional information of a card, for `orgguid`.
  HttpRequest AdditionalRequest() const;
  // The run's client certificate and key are there to be shown; *error says why not.
  bool IdentityReady(QString* error) const;
  // What the client's outcome means for the attempt. For a failure, *error names it and
  // *waitMs is the pause before the next attempt (what a 429's Retry-After asks, never less
  // than the usual pause).
  AttemptEnd Judge(HttpOutcome outcome, const HttpAnswer& answer, QString* error, int* waitMs) const;
  // Whether the answers of a successful exchange can be handed on ("Broken" otherwise).
  bool Usable(QString* error) const;
  void HandOver();
  bool StopRequested() const { return isInterruptionRequested() || Aborted(); }
  // Waits ms milliseconds; an abort ends the wait at once, a stop request only when watched.
  void Pause(int ms, bool endOnStop);
  void ShowLogMessage(const QString& text);

  std::atomic<bool> aborted_{false};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
  QList<QByteArray> CustomHeaders;  // sent after every other header line
};
