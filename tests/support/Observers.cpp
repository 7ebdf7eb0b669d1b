#include "Observers.h"

namespace support {

void RecordingEnumerationObserver::record(Call call, bool finishing) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    finishes_ += finishing ? 1 : 0;
    changed_.notify_all();
}

void RecordingEnumerationObserver::didEnumerateItems(std::vector<fileprovider::ItemRef> items) {
    record(Items{std::move(items)}, false);
}
void RecordingEnumerationObserver::finishEnumeratingUpToPage(std::optional<fileprovider::Page> nextPage) {
    record(FinishedUpToPage{std::move(nextPage)}, true);
}
void RecordingEnumerationObserver::finishEnumeratingWithError(foundation::ErrorRef error) {
    record(FinishedWithError{std::move(error)}, true);
}

std::vector<RecordingEnumerationObserver::Call> RecordingEnumerationObserver::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int RecordingEnumerationObserver::finishCount() const {
    std::lock_guard lock(mutex_);
    return finishes_;
}

std::vector<fileprovider::ItemRef> RecordingEnumerationObserver::items() const {
    std::vector<fileprovider::ItemRef> all;
    for (const auto& call : calls())
        if (const auto* batch = std::get_if<Items>(&call))
            all.insert(all.end(), batch->items.begin(), batch->items.end());
    return all;
}

foundation::ErrorRef RecordingEnumerationObserver::error() const {
    for (const auto& call : calls())
        if (const auto* failed = std::get_if<FinishedWithError>(&call))
            return failed->error;
    return nullptr;
}

bool RecordingEnumerationObserver::waitUntilFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finishes_ > 0; });
}

void RecordingChangeObserver::record(Call call, bool finishing) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    finishes_ += finishing ? 1 : 0;
    changed_.notify_all();
}

void RecordingChangeObserver::didUpdateItems(std::vector<fileprovider::ItemRef> items) {
    record(Updated{std::move(items)}, false);
}
void RecordingChangeObserver::didDeleteItemsWithIdentifiers(
    std::vector<fileprovider::ItemIdentifier> identifiers) {
    record(Deleted{std::move(identifiers)}, false);
}
void RecordingChangeObserver::finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor,
                                                                     bool moreComing) {
    record(FinishedUpToAnchor{std::move(anchor), moreComing}, true);
}
void RecordingChangeObserver::finishEnumeratingWithError(foundation::ErrorRef error) {
    record(FinishedWithError{std::move(error)}, true);
}

std::vector<RecordingChangeObserver::Call> RecordingChangeObserver::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int RecordingChangeObserver::finishCount() const {
    std::lock_guard lock(mutex_);
    return finishes_;
}

bool RecordingChangeObserver::waitUntilFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finishes_ > 0; });
}

} // namespace support
