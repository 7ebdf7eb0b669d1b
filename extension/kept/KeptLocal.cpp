#include "KeptLocal.h"

#include "Store.h"
#include "host/Unicode.h"

#include <algorithm>
#include <unordered_map>

namespace wl {

using kept::State;

std::optional<std::filesystem::path> KeptLocal::testDirectory;

namespace {

// When this process noted an identifier (remembered it, or moved an entry to it). Under the store's lock.
std::unordered_map<std::string, foundation::Date>& notedTimes() {
    static auto* times = new std::unordered_map<std::string, foundation::Date>();
    return *times;
}

bool isBelowOrEqual(const std::string& entry, const std::string& top) {
    return entry == top ||
           (entry.size() > top.size() && entry.compare(0, top.size(), top) == 0 && entry[top.size()] == '/');
}

// Appends `changed` to the pending list (each once) and raises the generation by exactly 1.
void noteChangeLocked(State& state, const std::vector<std::string>& changed) {
    for (const auto& id : changed)
        if (std::find(state.pending.begin(), state.pending.end(), id) == state.pending.end())
            state.pending.push_back(id);
    state.gen += 1;
}

} // namespace

namespace {

bool setContains(const std::unordered_set<std::string>& ids, const fileprovider::ItemIdentifier& identifier) {
    if (identifier.isSystemIdentifier())
        return false;
    const std::string& raw = identifier.rawValue();
    // An ASCII identifier is its own composed form: no copy on the path every listed file takes.
    if (kept::isASCII(raw))
        return ids.count(raw) != 0;
    return ids.count(precomposed(raw)) != 0;
}

} // namespace

bool KeptLocal::contains(const fileprovider::ItemIdentifier& identifier) {
    if (identifier.isSystemIdentifier())
        return false;
    kept::StateRef state;
    {
        std::lock_guard guard(kept::lock());
        state = kept::readLocked();
    }
    return setContains(state->ids, identifier);
}

KeptLocal::Snapshot KeptLocal::snapshot() {
    std::lock_guard guard(kept::lock());
    return Snapshot(kept::readLocked());
}

bool KeptLocal::Snapshot::contains(const fileprovider::ItemIdentifier& identifier) const {
    return setContains(state_->ids, identifier);
}

std::int64_t KeptLocal::generation() {
    std::lock_guard guard(kept::lock());
    return kept::readLocked()->gen;
}

std::optional<std::filesystem::path> KeptLocal::storeURL() {
    std::lock_guard guard(kept::lock());
    return kept::fileURLLocked();
}

void KeptLocal::remember(const fileprovider::ItemIdentifier& identifier) {
    if (identifier.isSystemIdentifier())
        return;
    std::string id = precomposed(identifier.rawValue());
    std::lock_guard guard(kept::lock());
    kept::StateRef currentRef = kept::readLocked();
    const State& current = *currentRef;
    notedTimes()[id] = foundation::Date::now();
    if (current.ids.count(id) != 0)
        return;
    State next = current;
    next.ids.insert(id);
    noteChangeLocked(next, {id});
    kept::writeLocked(next);
}

void KeptLocal::moved(const std::string& fromRaw, const std::string& toRaw) {
    if (toRaw.empty() || kept::isSystemIdentifier(toRaw))
        return;
    std::string from = precomposed(fromRaw);
    std::string to = precomposed(toRaw);
    std::lock_guard guard(kept::lock());
    kept::StateRef currentRef = kept::readLocked();
    const State& current = *currentRef;
    auto now = foundation::Date::now();
    // With composed strings the cut after `from`'s characters always falls at "/" or at the end, so
    // dropping its bytes is the same as dropping its user-perceived characters.
    std::vector<std::string> changed;
    State next = current;
    for (const auto& entry : kept::sortedIDs(current.ids)) {
        if (!isBelowOrEqual(entry, from))
            continue;
        std::string renamed = to + entry.substr(from.size());
        next.ids.erase(entry);
        next.ids.insert(renamed);
        notedTimes().erase(entry);
        notedTimes()[renamed] = now;
        changed.push_back(entry);
        changed.push_back(renamed);
    }
    if (changed.empty())
        return;
    noteChangeLocked(next, changed);
    kept::writeLocked(next);
}

void KeptLocal::forget(const std::string& identifierRaw) {
    std::string identifier = precomposed(identifierRaw);
    std::lock_guard guard(kept::lock());
    kept::StateRef currentRef = kept::readLocked();
    const State& current = *currentRef;
    std::vector<std::string> gone;
    for (const auto& entry : current.ids)
        if (isBelowOrEqual(entry, identifier))
            gone.push_back(entry);
    if (gone.empty())
        return;
    std::sort(gone.begin(), gone.end());
    State next = current;
    for (const auto& entry : gone) {
        notedTimes().erase(entry);
        next.ids.erase(entry);
    }
    noteChangeLocked(next, gone);
    kept::writeLocked(next);
}

bool KeptLocal::replace(const std::set<std::string>& given, foundation::Date keepingNotedAfter) {
    std::unordered_set<std::string> wanted;
    for (const auto& id : given)
        if (!kept::isSystemIdentifier(id))
            wanted.insert(precomposed(id));
    std::lock_guard guard(kept::lock());
    kept::StateRef currentRef = kept::readLocked();
    const State& current = *currentRef;
    for (const auto& [id, time] : notedTimes())
        if (time > keepingNotedAfter)
            wanted.insert(id);
    if (wanted == current.ids)
        return false;
    std::vector<std::string> difference;
    bool removed = false;
    for (const auto& id : current.ids)
        if (wanted.count(id) == 0) {
            difference.push_back(id);
            removed = true;
        }
    for (const auto& id : wanted)
        if (current.ids.count(id) == 0)
            difference.push_back(id);
    std::sort(difference.begin(), difference.end());
    State next = current;
    next.ids = std::move(wanted);
    noteChangeLocked(next, difference);
    kept::writeLocked(next);
    return removed;
}

KeptLocal::Pending KeptLocal::peekPending() {
    std::lock_guard guard(kept::lock());
    kept::StateRef currentRef = kept::readLocked();
    const State& current = *currentRef;
    return {current.gen, current.pending};
}

void KeptLocal::clearPending(const std::map<std::string, bool>& matching) {
    std::map<std::string, bool> published;
    for (const auto& [id, local] : matching)
        published[precomposed(id)] = local;
    std::lock_guard guard(kept::lock());
    State next = *kept::readLocked();
    std::vector<std::string> remaining;
    for (const auto& id : next.pending) {
        auto it = published.find(id);
        if (it == published.end() || it->second != (next.ids.count(id) != 0))
            remaining.push_back(id);
    }
    next.pending = std::move(remaining);
    kept::writeLocked(next);
}

std::optional<foundation::Date> KeptLocal::notedAt(const std::string& identifier) {
    std::lock_guard guard(kept::lock());
    auto it = notedTimes().find(precomposed(identifier));
    if (it == notedTimes().end())
        return std::nullopt;
    return it->second;
}

void KeptLocal::resetForTesting() {
    std::lock_guard guard(kept::lock());
    kept::resetLocked();
    notedTimes().clear();
}

} // namespace wl
