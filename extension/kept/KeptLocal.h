#pragma once

// The kept-local store: the persistent set of items whose contents are on this machine (fp-kept.json in
// the app-group container), with its journal of changes not yet published and its generation.
//
// Every operation sees the file as it is now, other processes' writes included, yet does not parse it
// each time: the last parsed state is kept together with the file's identity (device, inode, size,
// modification and change times) and reused while stat() shows the same identity. Every write is an
// atomic replace, so each write, ours or another process's, gives a new inode and so a new identity.
//
// Where one operation builds many items at once (a listing, a batch of changes), it takes a Snapshot:
// the kept set as the file holds it at that moment, checked with one stat for the whole batch.
#include "fileprovider/Identifiers.h"
#include "foundation/Date.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace wl {

namespace kept {
struct State;
}

class KeptLocal {
public:
    KeptLocal() = delete;

    // When set, the store is this directory's fp-kept.json: no container, no migration. Set before use.
    static std::optional<std::filesystem::path> testDirectory;

    // Membership of the kept set; false for the system identifiers, without touching the store.
    static bool contains(const fileprovider::ItemIdentifier& identifier);

    class Snapshot {
    public:
        explicit Snapshot(std::shared_ptr<const kept::State> state) : state_(std::move(state)) {}
        bool contains(const fileprovider::ItemIdentifier& identifier) const;

    private:
        std::shared_ptr<const kept::State> state_;
    };
    // The kept set as the file holds it now, immutable, for checking a batch of items.
    static Snapshot snapshot();
    static std::int64_t generation();
    // The store's location (performing the one-time legacy migration if it has not happened yet).
    static std::optional<std::filesystem::path> storeURL();

    // Changes of the kept set. Each change that alters the set appends the identifiers concerned to the
    // pending list (once each) and raises the generation by exactly 1.
    //
    // Adds to the kept set and notes the time (also when already kept, which writes nothing).
    static void remember(const fileprovider::ItemIdentifier& identifier);
    // Renames `from` and every entry below it ("from/...") to lie under `to`.
    static void moved(const std::string& from, const std::string& to);
    // Removes `identifier` and every entry below it.
    static void forget(const std::string& identifier);
    // Makes the kept set `given` plus the identifiers noted strictly after `cutoff`; true when an
    // identifier left the set.
    static bool replace(const std::set<std::string>& given, foundation::Date keepingNotedAfter);

    struct Pending {
        std::int64_t gen = 0;
        std::vector<std::string> ids;
    };
    // The generation and the pending list, unchanged.
    static Pending peekPending();
    // Drops each pending identifier whose published state (true: published as local) equals its
    // membership of the kept set now; always rewrites the store.
    static void clearPending(const std::map<std::string, bool>& matching);

    // When this process last noted the identifier, if it did.
    static std::optional<foundation::Date> notedAt(const std::string& identifier);

    // Forgets the process-wide state (cache, noted times, migration flag).
    static void resetForTesting();
};

} // namespace wl
