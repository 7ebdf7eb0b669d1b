#pragma once

// The kept-local store's file and lock, for the store's own operations.
#include <boost/json/object.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace wl::kept {

// The store as read: identifiers held in their composed (NFC) form, so that canonically equivalent
// identifiers are one; the other members of the file ride along in `json`.
struct State {
    boost::json::object json;
    std::unordered_set<std::string> ids;
    std::vector<std::string> pending;
    std::int64_t gen = 0;
};

// The store's one process-wide lock (non-recursive). Held for a whole operation, file access included;
// nothing calls out while holding it.
std::mutex& lock();

// The store's location, or none (no container). Caller holds the lock.
const std::optional<std::filesystem::path>& fileURLLocked();
using StateRef = std::shared_ptr<const State>;
// The store as it is in the file now, with the tolerant reading rules. Caller holds the lock. The state
// is immutable and may be kept after the lock is released (snapshots do).
StateRef readLocked();
// Writes `state` atomically; a failed write is ignored and leaves the old file. Caller holds the lock.
void writeLocked(const State& state);

// `ids` sorted by the UTF-8 bytes of their composed form.
std::vector<std::string> sortedIDs(const std::unordered_set<std::string>& ids);
bool isSystemIdentifier(const std::string& identifier);
bool isASCII(const std::string& text);

void resetLocked();

} // namespace wl::kept
