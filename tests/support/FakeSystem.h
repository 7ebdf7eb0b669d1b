#pragma once

#include "fileprovider/Manager.h"
#include "foundation/Dispatch.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace support {

// An item that has only an identifier, as the system's own lists give them.
class IdentifiedItem : public fileprovider::Item {
public:
    explicit IdentifiedItem(std::string identifier) : identifier_(std::move(identifier)) {}
    fileprovider::ItemIdentifier itemIdentifier() const override { return identifier_; }
    fileprovider::ItemIdentifier parentItemIdentifier() const override;
    std::string filename() const override;

private:
    fileprovider::ItemIdentifier identifier_;
};

// A System backend for tests: an in-memory domain list, a record of every signal, scripted errors and
// answers, a scripted enumerator of materialized items, and completions that can be held back. Every
// completion runs on the queue labelled "FakeSystem", never on the caller's thread.
class FakeSystem : public fileprovider::System {
public:
    enum class Operation { add, remove, getDomains, signal, errorResolved, visibleURL };
    struct Signal {
        std::string domain;
        std::string container;
    };

    explicit FakeSystem(std::filesystem::path temporaryRoot);
    ~FakeSystem() override;

    // Scripting.
    void setHasManager(bool hasManager);
    void setError(Operation operation, foundation::ErrorRef error);
    void setUserVisibleURL(std::optional<std::filesystem::path> url);
    void setPreservedURL(std::optional<std::filesystem::path> url);
    void setTemporaryDirectoryError(foundation::ErrorRef error);
    // The pages the materialized-items enumerator serves, and the page (from 0) on which it fails instead.
    void setMaterializedPages(std::vector<std::vector<std::string>> pages,
                              std::optional<std::size_t> failOnPage = {});
    // Hands out this enumerator of materialized items instead (a test that drives the walk itself).
    void setMaterializedEnumerator(std::shared_ptr<fileprovider::Enumerator> enumerator);
    // While held, completions are kept instead of run; releaseHeld() runs them.
    void holdCompletions(bool hold);
    void releaseHeld();

    // Records.
    std::vector<Signal> signals() const;
    std::vector<Operation> operations() const;
    std::vector<foundation::ErrorRef> resolvedErrors() const;
    std::vector<fileprovider::Domain> registeredDomains() const;
    bool waitForSignals(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until every completion submitted so far has run.
    void drain() { queue_.drain(); }

    // fileprovider::System
    void addDomain(const fileprovider::Domain& domain, fileprovider::ErrorCompletion completion) override;
    void removeDomain(const fileprovider::Domain& domain, fileprovider::RemoveDomainMode mode,
                      fileprovider::URLCompletion completion) override;
    void getDomains(fileprovider::DomainsCompletion completion) override;
    bool hasManager(const fileprovider::Domain& domain) override;
    void signalEnumerator(const fileprovider::Domain& domain, const fileprovider::ItemIdentifier& container,
                          fileprovider::ErrorCompletion completion) override;
    void signalErrorResolved(const fileprovider::Domain& domain, foundation::ErrorRef error,
                             fileprovider::ErrorCompletion completion) override;
    void getUserVisibleURL(const fileprovider::Domain& domain, const fileprovider::ItemIdentifier& item,
                           fileprovider::URLCompletion completion) override;
    std::optional<std::filesystem::path> temporaryDirectory(const fileprovider::Domain& domain,
                                                            foundation::ErrorRef* error) override;
    std::shared_ptr<fileprovider::Enumerator>
    enumeratorForMaterializedItems(const fileprovider::Domain& domain) override;

private:
    void complete(std::function<void()> completion);
    foundation::ErrorRef errorFor(Operation operation);

    std::filesystem::path temporaryRoot_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool hasManager_ = true;
    std::map<Operation, foundation::ErrorRef> errors_;
    std::optional<std::filesystem::path> visibleURL_;
    std::optional<std::filesystem::path> preservedURL_;
    foundation::ErrorRef temporaryDirectoryError_;
    std::vector<std::vector<std::string>> pages_;
    std::optional<std::size_t> failOnPage_;
    std::shared_ptr<fileprovider::Enumerator> materializedEnumerator_;
    bool holding_ = false;
    std::vector<std::function<void()>> held_;
    std::vector<Signal> signals_;
    std::vector<Operation> operations_;
    std::vector<foundation::ErrorRef> resolved_;
    std::vector<fileprovider::Domain> domains_;
    foundation::DispatchQueue queue_{"FakeSystem"};
};

} // namespace support
