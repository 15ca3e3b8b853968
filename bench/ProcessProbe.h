// What /proc says about another process: its CPU time so far (all threads, user and system), its thread count
// and its peak resident set. Each read returns nothing once the process is gone.
#pragma once

#include <optional>

namespace vantorix::bench {

std::optional<double> cpuSecondsOf(int pid);   // utime + stime of /proc/PID/stat
std::optional<long> threadsOf(int pid);        // Threads of /proc/PID/status
std::optional<long> peakRssKibOf(int pid);     // VmHWM of /proc/PID/status
std::optional<long> rssKibOf(int pid);         // VmRSS of /proc/PID/status
// The CPU time of this whole process, for the floors measured in it.
double ownCpuSeconds();

}  // namespace vantorix::bench
