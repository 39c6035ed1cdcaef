#include "tests/support/foldersync.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> failing{false};
std::atomic<int> refused{0};

}  // namespace

FolderSyncFails::FolderSyncFails() {
  refused = 0;
  failing = true;
}
FolderSyncFails::~FolderSyncFails() { failing = false; }
int FolderSyncFails::Refused() { return refused.load(); }

// Defined in the test program, so the program's own calls come here before the C library's.
extern "C" int fsync(int fd) {
  struct stat st {};
  if (failing.load() && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ++refused;
    errno = EINVAL;
    return -1;
  }
  using Fsync = int (*)(int);
  static const Fsync next = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
  return next(fd);
}
