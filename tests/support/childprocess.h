#pragma once
// A child process for tests, started with posix_spawn on Linux (childprocess_posix.cpp) and
// CreateProcess on Windows (childprocess_win.cpp). QProcess starts its children through a
// vfork-like clone whose child runs intercepted calls on the starting thread's sanitizer
// state: the thread sanitizer then no longer sees that thread's locks and reports races that
// are not there. posix_spawn's child runs none.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // a child still running is killed and reaped
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Standard error always goes where the test's goes; standard output too, unless captured.
  bool Start(const QString& program, const QStringList& args, bool captureOutput, QString* error = nullptr);
  // One line of the captured output, without its line end; false at its end or after timeoutMs.
  bool ReadLine(QByteArray* line, int timeoutMs);
  // Ends it at once, as a crash or the task manager would (SIGKILL, TerminateProcess).
  void Kill();
  // A signal on Linux (SIGTERM for a clean end); Windows has none to send.
  void Signal(int signal);
  // True once it has ended, waiting up to timeoutMs (0: only look).
  bool Wait(int timeoutMs);
  bool Running() { return started_ && !Wait(0); }

  // How it ended (after Wait returned true).
  bool Exited() const { return exited_; }      // by exit(), with ExitCode()
  int ExitCode() const { return exitCode_; }
  bool Killed() const { return killedBy_ != 0; }  // by Kill() or its own crash

 private:
  // Takes one whole line (without its line end) from what was read so far.
  bool TakeLine(QByteArray* line) {
    const qsizetype end = pending_.indexOf('\n');
    if (end < 0) return false;
    *line = pending_.left(end);
    if (line->endsWith('\r')) line->chop(1);
    pending_.remove(0, end + 1);
    return true;
  }

  bool started_ = false;
  qint64 pid_ = -1;
  qintptr process_ = 0;  // Windows: the process handle
  qintptr out_ = -1;     // read end of its standard output (a descriptor, or a pipe handle)
  QByteArray pending_;
  bool ended_ = false;
  bool exited_ = false;
  int exitCode_ = -1;
  int killedBy_ = 0;
};
