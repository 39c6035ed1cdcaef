#include "app/quitsignals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {

int g_pair[2] = {-1, -1};  // [0] written by the handler, [1] read by the notifier
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction g_old[std::size(kSignals)];

void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  // Only async-signal-safe calls here, and never a wait: the handler may interrupt the very
  // thread that empties the socket. A full socket just loses a repeat of the same request.
  [[maybe_unused]] ssize_t n = ::send(g_pair[0], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
  if (g_pair[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pair) != 0) {
    g_pair[0] = g_pair[1] = -1;
    return;
  }
  notifier_ = new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::ReadSignal);
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(kSignals[i], &action, &g_old[i]);
  }
}

QuitSignals::~QuitSignals() {
  if (!notifier_) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &g_old[i], nullptr);
  delete notifier_;
  notifier_ = nullptr;
  ::close(g_pair[0]);
  ::close(g_pair[1]);
  g_pair[0] = g_pair[1] = -1;
}

void QuitSignals::ReadSignal() {
  unsigned char byte = 0;
  if (::read(g_pair[1], &byte, 1) == 1) emit Received(int(byte));
}
