#pragma once

#include <chrono>
#include <compare>

namespace foundation {

// A point in time as seconds since 1970 (the OS's Date).
struct Date {
    double timeIntervalSince1970 = 0;

    static Date now() {
        using namespace std::chrono;
        return {duration<double>(system_clock::now().time_since_epoch()).count()};
    }
    auto operator<=>(const Date&) const = default; // NOLINT(modernize-use-nullptr): a checker false positive
};

} // namespace foundation
