#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace wl {

// The host revisions delivered to the system in this process: per listed folder, and for the working
// set. Process-wide, never persisted. Every operation takes the registry's one lock for dictionary work
// only and calls nothing while holding it.
class DeliveredRevs {
public:
    DeliveredRevs() = delete;

    static void recordContainer(const std::string& id, std::int64_t rev);
    static void recordWorkingSet(std::int64_t rev);
    // Moves the working set's revision to `to` when it was delivered up to at least `from`.
    static void recordWorkingSetChanges(std::int64_t from, std::int64_t to);
    // The revision up to which the folder `id` and everything below it were delivered, or none when the
    // folder itself was never listed (and the working set was never delivered).
    static std::optional<std::int64_t> rev(const std::string& id);

    static void resetForTesting();
};

} // namespace wl
