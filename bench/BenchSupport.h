#pragma once

// What the benchmarks share: wall-clock seconds and this process's peak memory.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The peak resident set size so far (VmHWM), in KiB.
inline long peakRSSKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Starts a new peak from the current resident set.
inline void resetPeakRSS() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace bench
