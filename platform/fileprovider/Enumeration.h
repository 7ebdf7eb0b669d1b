#pragma once

#include "Item.h"
#include "foundation/Error.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace fileprovider {

// Receives one listing: any number of didEnumerateItems, then exactly one finishing call. Calls may come
// on any thread, one at a time.
class EnumerationObserver {
public:
    virtual ~EnumerationObserver() = default;
    virtual void didEnumerateItems(std::vector<ItemRef> items) = 0;
    // None: the listing is complete; a page: ask for it next.
    virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
    virtual void finishEnumeratingWithError(foundation::ErrorRef error) = 0;
};

// Receives one change enumeration: updates and deletions in any order, then exactly one finishing call.
class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    virtual void didUpdateItems(std::vector<ItemRef> items) = 0;
    virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
    virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
    virtual void finishEnumeratingWithError(foundation::ErrorRef error) = 0;
};

// The system holds an enumerator for as long as it watches the container and keeps each observer alive
// until its finishing call.
class Enumerator {
public:
    virtual ~Enumerator() = default;
    virtual void invalidate() = 0;
    virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page page) = 0;
    // Enumerators that track no changes keep these defaults: no anchor, and changes always expired.
    virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor anchor);
    virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion);
};

} // namespace fileprovider
