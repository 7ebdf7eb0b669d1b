#pragma once

#include <string>

namespace foundation {

struct OperatingSystemVersion {
    int majorVersion = 15;
    int minorVersion = 0;
    int patchVersion = 0;
};

// The running system's version, from $FP_SYSTEM_VERSION ("major[.minor[.patch]]", default "15.0"), read on
// every call so that version-dependent behaviour can be tested. Text that does not start with a number
// reads as the default.
OperatingSystemVersion operatingSystemVersion();
OperatingSystemVersion parseOperatingSystemVersion(const std::string& text);
bool isOperatingSystemAtLeast(int majorVersion, int minorVersion = 0, int patchVersion = 0);

} // namespace foundation
