#pragma once

// The one enumerator class, for folders, the root, the trash and the working set. Listings and change
// enumerations send one request each; their observers are called on the shared URL session's callback
// queue, and the enumerator and observer stay alive until the finishing call.
#include "DeliveredRevs.h"
#include "SyncAnchor.h"
#include "fileprovider/Enumeration.h"
#include "host/HostConfig.h"

#include <functional>
#include <memory>
#include <vector>

namespace wl {

class WLEnumerator : public fileprovider::Enumerator, public std::enable_shared_from_this<WLEnumerator> {
public:
    WLEnumerator(fileprovider::ItemIdentifier container, HostConfig cfg);

    // Requests already sent run to completion and report to their observers.
    void invalidate() override {}
    // The whole container in one answer and one page, whatever page is asked for.
    void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                        fileprovider::Page page) override;
    // Always an anchor: 0#generation when the host cannot be reached.
    void currentSyncAnchor(std::function<void(std::optional<fileprovider::SyncAnchor>)> completion) override;
    // The host's changes for the whole tree since the anchor, then the pending kept-local changes.
    void enumerateChanges(std::shared_ptr<fileprovider::ChangeObserver> observer,
                          fileprovider::SyncAnchor anchor) override;

    static std::optional<std::int64_t> deliveredRev(const std::string& id) { return DeliveredRevs::rev(id); }

    const fileprovider::ItemIdentifier container;
    const HostConfig cfg;
    const bool isWorkingSet;

private:
    // Fetches and publishes the pending identifiers in up to `roundsLeft` passes, then finishes.
    void publishPendingLocalChanges(std::shared_ptr<fileprovider::ChangeObserver> observer,
                                    std::int64_t fromRev, std::int64_t serverRev,
                                    std::optional<std::string> epoch, int roundsLeft);
    void passOver(std::vector<std::string> ids, std::shared_ptr<fileprovider::ChangeObserver> observer,
                  std::int64_t fromRev, std::int64_t serverRev, std::optional<std::string> epoch,
                  int roundsLeft);
    void finish(const std::shared_ptr<fileprovider::ChangeObserver>& observer, std::int64_t fromRev,
                std::int64_t serverRev, const std::optional<std::string>& epoch, std::int64_t generation,
                bool moreComing);
};

// Fetches the host records of identifiers strictly one after the other, in order. A 404 gives an empty
// record; a failed fetch gives no row. `done` runs once: on the callback queue of the last answer, or
// inside run() when there is nothing to fetch.
class LocalItemFetch : public std::enable_shared_from_this<LocalItemFetch> {
public:
    using Rows = std::vector<std::pair<std::string, JSONObjectRef>>;

    LocalItemFetch(HostConfig cfg, std::vector<std::string> left, std::function<void(Rows)> done);
    static void run(HostConfig cfg, std::vector<std::string> ids, std::function<void(Rows)> done);
    void step();

private:
    HostConfig cfg_;
    std::vector<std::string> left_;
    std::size_t next_ = 0;
    Rows rows_;
    std::function<void(Rows)> done_;
};

} // namespace wl
