#pragma once
// A child process for tests, started with posix_spawn. QProcess starts its children through
// a vfork-like clone whose child runs intercepted calls on the starting thread's sanitizer
// state: the thread sanitizer then no longer sees that thread's locks and reports races that
// are not there. posix_spawn's child runs none.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/types.h>

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
  void Signal(int signal);
  // True once it has ended, waiting up to timeoutMs (0: only look).
  bool Wait(int timeoutMs);
  bool Running() { return pid_ > 0 && !Wait(0); }

  // How it ended (after Wait returned true).
  bool Exited() const { return exited_; }      // by exit(), with ExitCode()
  int ExitCode() const { return exitCode_; }
  bool Killed() const { return killedBy_ != 0; }  // by a signal

 private:
  pid_t pid_ = -1;
  int out_ = -1;  // read end of its standard output
  QByteArray pending_;
  bool ended_ = false;
  bool exited_ = false;
  int exitCode_ = -1;
  int killedBy_ = 0;
};
