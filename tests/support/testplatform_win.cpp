#include <winsock2.h>
#include <windows.h>

#include "tests/support/testplatform.h"

// Windows has no tmpfs to mount: the full-disk tests skip there.
SmallDisk::SmallDisk(int) {}

SmallDisk::~SmallDisk() = default;

// Open without leave to delete, as a spreadsheet program keeps a workbook.
HeldFile::HeldFile(const QString& path) : path_(path) {
  handle_ = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  held_ = handle_ != INVALID_HANDLE_VALUE;
}

HeldFile::~HeldFile() {
  if (held_) ::CloseHandle(handle_);
}

bool AsOrdinaryUser(const std::function<bool()>& body) { return body(); }

void KillThisProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  ExitProcess(137);
}

namespace {

SOCKET Sock(TestSocket s) { return static_cast<SOCKET>(s); }

bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(u_short(port));
  return address;
}

}  // namespace

TestSocket ListenOnLoopback(int* port) {
  if (!WinsockReady()) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in address = Loopback(0);
  int length = sizeof address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::closesocket(s);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return TestSocket(s);
}

TestSocket ConnectToLoopback(int port) {
  if (!WinsockReady()) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in address = Loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::closesocket(s);
    return -1;
  }
  return TestSocket(s);
}

TestSocket AcceptConnection(TestSocket listener) {
  const SOCKET s = ::accept(Sock(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : TestSocket(s);
}

void SetReceiveTimeout(TestSocket socket, int ms) {
  const DWORD timeout = DWORD(ms);
  ::setsockopt(Sock(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

qint64 ReceiveBytes(TestSocket socket, char* buffer, qint64 size) {
  return ::recv(Sock(socket), buffer, int(size), 0);
}

qint64 SendBytes(TestSocket socket, const char* data, qint64 size) {
  return ::send(Sock(socket), data, int(size), 0);
}

void ShutDownSending(TestSocket socket) { ::shutdown(Sock(socket), SD_SEND); }

void CloseSocket(TestSocket socket) { ::closesocket(Sock(socket)); }

bool DesktopOpenerIsXdgOpen() { return false; }
