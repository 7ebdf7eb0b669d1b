#include "Enumeration.h"

namespace fileprovider {

void Enumerator::enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor) {
    observer->finishEnumeratingWithError(
        foundation::Error::make(foundation::NSFileProviderErrorDomain, syncAnchorExpired));
}

void Enumerator::currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) {
    completion(std::nullopt);
}

} // namespace fileprovider
