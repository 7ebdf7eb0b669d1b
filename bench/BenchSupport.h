#pragma once

// What the benchmarks share: wall-clock seconds, this process's peak memory, large files to move.
#include "foundation/Files.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

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

// A file of `bytes` bytes of a fixed pattern that does not compress to nothing.
inline void makeFile(const std::filesystem::path& path, std::uint64_t bytes) {
    std::vector<char> chunk(1 << 20);
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 131 % 251);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (std::uint64_t done = 0; done < bytes; done += chunk.size())
        if (!foundation::writeAll(
                fd, std::string_view(chunk.data(), std::min<std::uint64_t>(chunk.size(), bytes - done))))
            break;
    ::close(fd);
}

} // namespace bench
