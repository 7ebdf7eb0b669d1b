#include "DeliveredRevs.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace wl {

namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<std::string, std::int64_t> containers;
    std::optional<std::int64_t> workingSet;
};

Registry& registry() {
    static auto* instance = new Registry(); // lives for the process
    return *instance;
}

constexpr const char* rootLiteral = "NSFileProviderRootContainerItemIdentifier";

bool liesAtOrBelow(const std::string& key, const std::string& id) {
    return key == id ||
           (key.size() > id.size() && key.compare(0, id.size(), id) == 0 && key[id.size()] == '/');
}

} // namespace

void DeliveredRevs::recordContainer(const std::string& id, std::int64_t rev) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.containers[id] = rev;
}

void DeliveredRevs::recordWorkingSet(std::int64_t rev) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.workingSet = rev;
}

void DeliveredRevs::recordWorkingSetChanges(std::int64_t from, std::int64_t to) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    if (r.workingSet && *r.workingSet >= from)
        r.workingSet = to;
}

std::optional<std::int64_t> DeliveredRevs::rev(const std::string& id) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    std::optional<std::int64_t> folder;
    if (r.containers.count(id) != 0) {
        bool everything = id == rootLiteral;
        for (const auto& [key, value] : r.containers)
            if (everything || liesAtOrBelow(key, id))
                folder = folder ? std::min(*folder, value) : value;
    }
    if (!r.workingSet)
        return folder;
    return folder ? std::max(*folder, *r.workingSet) : *r.workingSet;
}

void DeliveredRevs::resetForTesting() {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.containers.clear();
    r.workingSet.reset();
}

} // namespace wl
