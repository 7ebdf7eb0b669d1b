#pragma once

#include "Waiting.h"
#include "fileprovider/Enumeration.h"

#include <condition_variable>
#include <mutex>
#include <variant>
#include <vector>

namespace support {

// Records every call of one listing in order; a test waits for the finishing call.
class RecordingEnumerationObserver : public fileprovider::EnumerationObserver {
public:
    struct Items {
        std::vector<fileprovider::ItemRef> items;
    };
    struct FinishedUpToPage {
        std::optional<fileprovider::Page> page;
    };
    struct FinishedWithError {
        foundation::ErrorRef error;
    };
    using Call = std::variant<Items, FinishedUpToPage, FinishedWithError>;

    void didEnumerateItems(std::vector<fileprovider::ItemRef> items) override;
    void finishEnumeratingUpToPage(std::optional<fileprovider::Page> nextPage) override;
    void finishEnumeratingWithError(foundation::ErrorRef error) override;

    std::vector<Call> calls() const;
    int finishCount() const;
    // Items of every didEnumerateItems, in order.
    std::vector<fileprovider::ItemRef> items() const;
    // The error of the finishing call, or null.
    foundation::ErrorRef error() const;
    bool waitUntilFinished(std::chrono::milliseconds timeout = defaultWait);

private:
    void record(Call call, bool finishing);
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int finishes_ = 0;
};

class RecordingChangeObserver : public fileprovider::ChangeObserver {
public:
    struct Updated {
        std::vector<fileprovider::ItemRef> items;
    };
    struct Deleted {
        std::vector<fileprovider::ItemIdentifier> identifiers;
    };
    struct FinishedUpToAnchor {
        fileprovider::SyncAnchor anchor;
        bool moreComing;
    };
    struct FinishedWithError {
        foundation::ErrorRef error;
    };
    using Call = std::variant<Updated, Deleted, FinishedUpToAnchor, FinishedWithError>;

    void didUpdateItems(std::vector<fileprovider::ItemRef> items) override;
    void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> identifiers) override;
    void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor, bool moreComing) override;
    void finishEnumeratingWithError(foundation::ErrorRef error) override;

    std::vector<Call> calls() const;
    int finishCount() const;
    bool waitUntilFinished(std::chrono::milliseconds timeout = defaultWait);

private:
    void record(Call call, bool finishing);
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int finishes_ = 0;
};

} // namespace support
