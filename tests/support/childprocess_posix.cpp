#include "tests/support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !Wait(0)) {
    Kill();
    Wait(10000);
  }
  if (out_ >= 0) close(int(out_));
}

bool ChildProcess::Start(const QString& program, const QStringList& args, bool captureOutput, QString* error) {
  const auto fail = [error](const QString& text) {
    if (error) *error = text;
    return false;
  };
  std::vector<QByteArray> bytes{program.toLocal8Bit()};
  for (const QString& a : args) bytes.push_back(a.toLocal8Bit());
  std::vector<char*> argv;
  for (QByteArray& b : bytes) argv.push_back(b.data());
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (captureOutput && pipe2(pipeFds, O_CLOEXEC) != 0) return fail(QString::fromLocal8Bit(strerror(errno)));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (captureOutput) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (captureOutput) close(pipeFds[1]);
  if (rc != 0) {
    if (captureOutput) close(pipeFds[0]);
    return fail(program + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(rc)));
  }
  pid_ = pid;
  started_ = true;
  out_ = captureOutput ? pipeFds[0] : -1;
  return true;
}

bool ChildProcess::ReadLine(QByteArray* line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (TakeLine(line)) return true;
    if (out_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{int(out_), POLLIN, 0};
    const int ready = poll(&p, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(int(out_), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(int(out_));
      out_ = -1;
      continue;
    }
    pending_.append(buffer, n);
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !ended_) kill(pid_t(pid_), signal);
}

void ChildProcess::Kill() { Signal(SIGKILL); }

bool ChildProcess::Wait(int timeoutMs) {
  if (ended_) return true;
  if (pid_ <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_t(pid_), &status, WNOHANG);
    if (r == pid_) {
      ended_ = true;
      exited_ = WIFEXITED(status);
      exitCode_ = exited_ ? WEXITSTATUS(status) : -1;
      killedBy_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
