#include "ProcessInfo.h"

#include <cstdlib>
#include <tuple>

namespace foundation {

OperatingSystemVersion parseOperatingSystemVersion(const std::string& text) {
    int parts[3] = {0, 0, 0};
    std::size_t position = 0;
    for (int index = 0; index < 3; ++index) {
        std::size_t start = position;
        long value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' && value < 100000)
            value = value * 10 + (text[position++] - '0');
        if (position == start) {
            if (index == 0)
                return {};
            break;
        }
        parts[index] = static_cast<int>(value);
        if (position >= text.size() || text[position] != '.')
            break;
        ++position;
    }
    return {parts[0], parts[1], parts[2]};
}

OperatingSystemVersion operatingSystemVersion() {
    const char* text = std::getenv("FP_SYSTEM_VERSION"); // NOLINT(concurrency-mt-unsafe)
    return text ? parseOperatingSystemVersion(text) : OperatingSystemVersion{};
}

bool isOperatingSystemAtLeast(int majorVersion, int minorVersion, int patchVersion) {
    auto v = operatingSystemVersion();
    return std::tie(v.majorVersion, v.minorVersion, v.patchVersion) >=
           std::tie(majorVersion, minorVersion, patchVersion);
}

} // namespace foundation
