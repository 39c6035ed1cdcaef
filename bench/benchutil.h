#pragma once
// What the benchmarks measure with: process and thread CPU time, resident memory and its peak
// (which can be reset, so one process measures several phases), and the output line format.

#include <malloc.h>
#include <sys/resource.h>

#include <QByteArray>
#include <QFile>
#include <cstdio>
#include <ctime>

namespace bench {

// CPU time (user + system) of the whole process, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of the calling thread, in seconds.
inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A field of /proc/self/status in MB ("VmRSS", "VmHWM"), or -1.
inline double StatusMb(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (!line.startsWith(prefix)) continue;
    const QByteArray kb = line.mid(prefix.size()).trimmed().split(' ').value(0);
    return kb.toDouble() / 1024.0;
  }
  return -1;
}

inline double RssMb() { return StatusMb("VmRSS"); }

// The heap in use (every arena, and the blocks mapped on their own), in MB: beside the
// resident size it tells live data from room the allocator keeps.
inline double HeapInUseMb() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd) / 1048576.0;
}
inline double PeakRssMb() { return StatusMb("VmHWM"); }

// Starts a new peak from the present resident size (Linux: writing 5 to clear_refs).
inline void ResetPeak() {
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

// One figure: "BENCH<TAB>scenario<TAB>metric<TAB>value<TAB>unit", gathered by run-benchmarks.sh.
inline void Print(const char* scenario, const char* metric, double value, const char* unit,
                  int decimals = 2) {
  std::printf("BENCH\t%s\t%s\t%.*f\t%s\n", scenario, metric, decimals, value, unit);
  std::fflush(stdout);
}

}  // namespace bench
