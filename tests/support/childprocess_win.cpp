#include "tests/support/childprocess.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The exit code of a process ended by TerminateProcess, here and in KillThisProcess: the code
// a shell shows for a process killed by SIGKILL, so both systems read alike.
constexpr DWORD kKilledCode = 137;

// One argument as the C runtime's command-line parser reads it back.
QString Quoted(const QString& arg) {
  if (!arg.isEmpty() && !arg.contains(QLatin1Char(' ')) && !arg.contains(QLatin1Char('\t')) &&
      !arg.contains(QLatin1Char('"')))
    return arg;
  QString out = QStringLiteral("\"");
  int backslashes = 0;
  for (QChar c : arg) {
    if (c == QLatin1Char('\\')) {
      ++backslashes;
      continue;
    }
    if (c == QLatin1Char('"')) out += QString(backslashes * 2 + 1, QLatin1Char('\\'));
    else out += QString(backslashes, QLatin1Char('\\'));
    backslashes = 0;
    out += c;
  }
  out += QString(backslashes * 2, QLatin1Char('\\'));
  out += QLatin1Char('"');
  return out;
}

HANDLE Handle(qintptr h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

ChildProcess::~ChildProcess() {
  if (started_ && !Wait(0)) {
    Kill();
    Wait(10000);
  }
  if (out_ != -1) CloseHandle(Handle(out_));
  if (process_) CloseHandle(Handle(process_));
}

bool ChildProcess::Start(const QString& program, const QStringList& args, bool captureOutput, QString* error) {
  const auto fail = [error](const QString& text) {
    if (error) *error = text;
    return false;
  };
  QString command = Quoted(program);
  for (const QString& a : args) command += QLatin1Char(' ') + Quoted(a);
  std::wstring line = command.toStdWString();

  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (captureOutput) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return fail(QStringLiteral("CreatePipe failed"));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = captureOutput ? writeEnd : GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const BOOL made = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  const DWORD code = GetLastError();
  if (writeEnd) CloseHandle(writeEnd);
  if (!made) {
    if (readEnd) CloseHandle(readEnd);
    return fail(program + QStringLiteral(": CreateProcess failed, error %1").arg(code));
  }
  CloseHandle(pi.hThread);
  process_ = reinterpret_cast<qintptr>(pi.hProcess);
  pid_ = pi.dwProcessId;
  out_ = readEnd ? reinterpret_cast<qintptr>(readEnd) : -1;
  started_ = true;
  return true;
}

bool ChildProcess::ReadLine(QByteArray* line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (TakeLine(line)) return true;
    if (out_ == -1) return false;
    // Anonymous pipes cannot be waited on: look what is there, and sleep a little between.
    DWORD available = 0;
    if (!PeekNamedPipe(Handle(out_), nullptr, 0, nullptr, &available, nullptr)) {
      CloseHandle(Handle(out_));
      out_ = -1;
      continue;
    }
    if (available == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    char buffer[4096];
    DWORD n = 0;
    if (!ReadFile(Handle(out_), buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0) {
      CloseHandle(Handle(out_));
      out_ = -1;
      continue;
    }
    pending_.append(buffer, n);
  }
}

void ChildProcess::Kill() {
  if (started_ && !ended_) TerminateProcess(Handle(process_), kKilledCode);
}

void ChildProcess::Signal(int) { Kill(); }

bool ChildProcess::Wait(int timeoutMs) {
  if (ended_) return true;
  if (!started_) return false;
  if (WaitForSingleObject(Handle(process_), DWORD(std::max(timeoutMs, 0))) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(Handle(process_), &code);
  ended_ = true;
  // Windows has no signals: a process ended by TerminateProcess (from here or by itself, as
  // KillThisProcess does) is told by its code.
  killedBy_ = code == kKilledCode ? 9 : 0;
  exited_ = killedBy_ == 0;
  exitCode_ = exited_ ? int(code) : -1;
  return true;
}
