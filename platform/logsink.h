#pragma once
// Where log lines go. The window implements it by adding the line on its own thread while
// the caller waits; tests implement it with a recorder.

#include <QString>
#include <mutex>

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Adds one complete log line (time stamp included) to the log view.
  virtual void AddLogLine(const QString& line) = 0;
};

// Passes lines on to a sink until closed, then drops them. Workers log through it, so a
// worker that outlives its job can never reach a window that is gone; Close() waits for a
// line being passed on.
class LogGate : public LogSink {
 public:
  void Open(LogSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = sink;
  }
  void Close() { Open(nullptr); }
  void AddLogLine(const QString& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sink_) sink_->AddLogLine(line);
  }

 private:
  std::mutex mutex_;
  LogSink* sink_ = nullptr;
};
