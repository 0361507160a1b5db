// The process's threads, open descriptors and resident memory, read from /proc.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace kivbench {

inline size_t CountEntries(const char* dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* entry = readdir(d)) count += entry->d_name[0] != '.';
    closedir(d);
  }
  return count;
}

inline long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return -1;
}

struct ProcessSample {
  size_t threads = 0;
  size_t descriptors = 0;  // the listing's own descriptor included
  long rss_kib = 0;
};

inline ProcessSample SampleProcess() {
  return {CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"), ResidentKib()};
}

inline void PrintSample(const char* when, const ProcessSample& s) {
  std::printf("%-14s threads %3zu  descriptors %3zu  resident %7.1f MiB\n", when, s.threads,
              s.descriptors, s.rss_kib / 1024.0);
}

}  // namespace kivbench
