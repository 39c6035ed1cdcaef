#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/testplatform.h"

SmallDisk::SmallDisk(int kib) {
  if (::geteuid() != 0 || !tmp_.isValid()) return;
  const QByteArray options = "size=" + QByteArray::number(kib) + "k";
  mounted_ = ::mount("tmpfs", QFile::encodeName(tmp_.path()).constData(), "tmpfs", 0,
                     options.constData()) == 0;
}

SmallDisk::~SmallDisk() {
  if (mounted_) ::umount2(QFile::encodeName(tmp_.path()).constData(), MNT_DETACH);
}

HeldFile::HeldFile(const QString& path) : path_(path) {
  if (::geteuid() != 0) return;
  const QByteArray name = QFile::encodeName(path);
  held_ = ::mount(name.constData(), name.constData(), nullptr, MS_BIND, nullptr) == 0;
}

HeldFile::~HeldFile() {
  if (held_) ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
}

bool AsOrdinaryUser(const std::function<bool()>& body) {
  if (geteuid() != 0) return body();
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(body() ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

void KillThisProcess() {
  ::raise(SIGKILL);
  ::_exit(137);
}

TestSocket ListenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

TestSocket ConnectToLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(uint16_t(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TestSocket AcceptConnection(TestSocket listener) {
  return ::accept4(int(listener), nullptr, nullptr, SOCK_CLOEXEC);
}

void SetReceiveTimeout(TestSocket socket, int ms) {
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(int(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

qint64 ReceiveBytes(TestSocket socket, char* buffer, qint64 size) {
  return ::recv(int(socket), buffer, size_t(size), 0);
}

qint64 SendBytes(TestSocket socket, const char* data, qint64 size) {
  return ::send(int(socket), data, size_t(size), MSG_NOSIGNAL);
}

void ShutDownSending(TestSocket socket) { ::shutdown(int(socket), SHUT_WR); }

void CloseSocket(TestSocket socket) { ::close(int(socket)); }

bool DesktopOpenerIsXdgOpen() { return true; }
