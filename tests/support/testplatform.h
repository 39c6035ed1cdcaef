#pragma once
// What tests need from the system where Linux and Windows differ (testplatform_posix.cpp,
// testplatform_win.cpp).
//
// A small file system of its own (tmpfs) for tests of a full disk: mounted over a fresh
// folder when the tests run as root on Linux, unmounted with the object. Where mounting is
// not allowed (another user, Windows), Available() is false and the test says it was
// skipped.

#include <QtGlobal>
#include <cstdint>
#include <functional>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

class SmallDisk {
 public:
  explicit SmallDisk(int kib);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Available() const { return mounted_; }
  QString Path() const { return tmp_.path() + QLatin1Char('/'); }

  // Takes all the room that is left (a file of zeros), so that the next write fails.
  void Fill() const {
    QFile filler(Path() + QStringLiteral("filler") + QString::number(fills_++));
    if (!filler.open(QIODevice::WriteOnly)) return;
    const QByteArray block(4096, '\0');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    // The last partial block too.
    while (filler.write(block.left(1)) == 1 && filler.flush()) {
    }
  }
  // Gives the room back.
  void Free() const {
    for (const QString& name : QDir(Path()).entryList({QStringLiteral("filler*")}))
      QFile::remove(Path() + name);
  }

 private:
  QTemporaryDir tmp_;
  bool mounted_ = false;
  mutable int fills_ = 0;
};

// A file that stays readable but cannot be removed while the object lives, as a file open in
// another program on Windows: bound over itself (a mount point) when the tests run as root
// on Linux. Where that is not allowed, Held() is false and the test says it was skipped.
class HeldFile {
 public:
  explicit HeldFile(const QString& path);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool Held() const { return held_; }

 private:
  QString path_;
  bool held_ = false;
  void* handle_ = nullptr;  // Windows: the open file
};

// Runs `body` as an ordinary user when the tests run as root on Linux, who could write
// anywhere; returns what `body` returned. Elsewhere it simply runs `body`.
bool AsOrdinaryUser(const std::function<bool()>& body);

// Ends this process at once, as a kill or a power cut would: no destructor, no flush.
[[noreturn]] void KillThisProcess();

// Loopback TCP for test servers and clients, over the system's sockets. A handle is -1 when
// there is none; the calls return what recv/send return (-1 on failure).
using TestSocket = intptr_t;
TestSocket ListenOnLoopback(int* port);  // a free port
TestSocket ConnectToLoopback(int port);
TestSocket AcceptConnection(TestSocket listener);
void SetReceiveTimeout(TestSocket socket, int ms);
qint64 ReceiveBytes(TestSocket socket, char* buffer, qint64 size);
qint64 SendBytes(TestSocket socket, const char* data, qint64 size);
void ShutDownSending(TestSocket socket);
void CloseSocket(TestSocket socket);

// Whether the desktop's opener is xdg-open found on PATH, so that a script can stand in for
// it (Linux); Windows hands files to the shell.
bool DesktopOpenerIsXdgOpen();
