#pragma once
// What every fuzz target shares: the input as the worker would hand it over, and a check
// that aborts (so libFuzzer keeps the input) when a property does not hold.

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "harvest/handlers.h"
#include "portal/api.h"

inline const QString kFuzzBase = QStringLiteral("https://portal.test/");

#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

// The answer as the worker hands it over: the bytes as they came.
inline QByteArray AnswerBytes(const uint8_t* data, size_t size) {
  return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// A text made of the bytes (UTF-8, malformed bytes replaced).
inline QString AnswerText(const uint8_t* data, size_t size) {
  return QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
}

inline RunData FuzzRun() {
  RunData run;
  run.baseUrl = kFuzzBase;
  return run;
}

// Whatever a handler queued can be saved as one line and is sent only to the base address.
inline void CheckQueue(const RunData& run, const HandlerResult& result) {
  FUZZ_CHECK(run.PendingList.size() <= kMaxPendingTasks);
  for (const QString& task : run.PendingList) {
    FUZZ_CHECK(IsSafeTaskLine(task));
    FUZZ_CHECK(task.startsWith(kFuzzBase));
  }
  FUZZ_CHECK(!result.logText.contains(u'\n') && !result.logText.contains(u'\r'));
  if (result.keep) FUZZ_CHECK(!result.logText.isEmpty());
}
