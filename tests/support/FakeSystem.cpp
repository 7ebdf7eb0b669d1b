#include "FakeSystem.h"

#include <algorithm>

namespace support {

using fileprovider::Domain;
using fileprovider::ItemIdentifier;

ItemIdentifier IdentifiedItem::parentItemIdentifier() const {
    const std::string& raw = identifier_.rawValue();
    auto slash = raw.rfind('/');
    return slash == std::string::npos ? ItemIdentifier::rootContainer()
                                      : ItemIdentifier(raw.substr(0, slash));
}

std::string IdentifiedItem::filename() const {
    const std::string& raw = identifier_.rawValue();
    auto slash = raw.rfind('/');
    return slash == std::string::npos ? raw : raw.substr(slash + 1);
}

namespace {

// Serves scripted pages on a queue of its own; it holds its observer until the observer's finishing call.
class MaterializedEnumerator : public fileprovider::Enumerator {
public:
    MaterializedEnumerator(std::vector<std::vector<std::string>> pages, std::optional<std::size_t> failOnPage)
        : pages_(std::move(pages)), failOnPage_(failOnPage) {}

    void invalidate() override {}

    void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                        fileprovider::Page page) override {
        static auto* queue =
            new foundation::DispatchQueue("FakeSystem.materialized"); // lives for the process
        queue->async([pages_ = pages_, failOnPage_ = failOnPage_, observer = std::move(observer),
                      page = std::move(page)] {
            std::size_t index = 0;
            if (page.bytes.rfind("page-", 0) == 0)
                index = std::stoul(page.bytes.substr(5));
            if (failOnPage_ && *failOnPage_ == index) {
                observer->finishEnumeratingWithError(foundation::Error::make(
                    foundation::NSFileProviderErrorDomain, fileprovider::pageExpired));
                return;
            }
            std::vector<fileprovider::ItemRef> items;
            if (index < pages_.size())
                for (const auto& id : pages_[index])
                    items.push_back(std::make_shared<IdentifiedItem>(id));
            observer->didEnumerateItems(std::move(items));
            if (index + 1 < pages_.size())
                observer->finishEnumeratingUpToPage(fileprovider::Page{"page-" + std::to_string(index + 1)});
            else
                observer->finishEnumeratingUpToPage(std::nullopt);
        });
    }

private:
    std::vector<std::vector<std::string>> pages_;
    std::optional<std::size_t> failOnPage_;
};

} // namespace

FakeSystem::FakeSystem(std::filesystem::path temporaryRoot) : temporaryRoot_(std::move(temporaryRoot)) {}

FakeSystem::~FakeSystem() {
    queue_.drain();
}

void FakeSystem::setHasManager(bool hasManager) {
    std::lock_guard lock(mutex_);
    hasManager_ = hasManager;
}

void FakeSystem::setError(Operation operation, foundation::ErrorRef error) {
    std::lock_guard lock(mutex_);
    errors_[operation] = std::move(error);
}

void FakeSystem::setUserVisibleURL(std::optional<std::filesystem::path> url) {
    std::lock_guard lock(mutex_);
    visibleURL_ = std::move(url);
}

void FakeSystem::setPreservedURL(std::optional<std::filesystem::path> url) {
    std::lock_guard lock(mutex_);
    preservedURL_ = std::move(url);
}

void FakeSystem::setTemporaryDirectoryError(foundation::ErrorRef error) {
    std::lock_guard lock(mutex_);
    temporaryDirectoryError_ = std::move(error);
}

void FakeSystem::setMaterializedPages(std::vector<std::vector<std::string>> pages,
                                      std::optional<std::size_t> failOnPage) {
    std::lock_guard lock(mutex_);
    pages_ = std::move(pages);
    failOnPage_ = failOnPage;
}

void FakeSystem::holdCompletions(bool hold) {
    std::lock_guard lock(mutex_);
    holding_ = hold;
}

void FakeSystem::releaseHeld() {
    std::vector<std::function<void()>> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
    }
    for (auto& completion : held)
        queue_.async(std::move(completion));
}

void FakeSystem::complete(std::function<void()> completion) {
    {
        std::lock_guard lock(mutex_);
        if (holding_) {
            held_.push_back(std::move(completion));
            return;
        }
    }
    queue_.async(std::move(completion));
}

foundation::ErrorRef FakeSystem::errorFor(Operation operation) {
    std::lock_guard lock(mutex_);
    operations_.push_back(operation);
    auto it = errors_.find(operation);
    return it == errors_.end() ? nullptr : it->second;
}

std::vector<FakeSystem::Signal> FakeSystem::signals() const {
    std::lock_guard lock(mutex_);
    return signals_;
}

std::vector<FakeSystem::Operation> FakeSystem::operations() const {
    std::lock_guard lock(mutex_);
    return operations_;
}

std::vector<foundation::ErrorRef> FakeSystem::resolvedErrors() const {
    std::lock_guard lock(mutex_);
    return resolved_;
}

std::vector<Domain> FakeSystem::registeredDomains() const {
    std::lock_guard lock(mutex_);
    return domains_;
}

bool FakeSystem::waitForSignals(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return signals_.size() >= count; });
}

void FakeSystem::addDomain(const Domain& domain, fileprovider::ErrorCompletion completion) {
    auto error = errorFor(Operation::add);
    if (!error) {
        std::lock_guard lock(mutex_);
        std::erase_if(domains_, [&](const Domain& d) { return d.identifier() == domain.identifier(); });
        domains_.push_back(domain);
    }
    complete([completion = std::move(completion), error] { completion(error); });
}

void FakeSystem::removeDomain(const Domain& domain, fileprovider::RemoveDomainMode mode,
                              fileprovider::URLCompletion completion) {
    auto error = errorFor(Operation::remove);
    std::optional<std::filesystem::path> preserved;
    if (!error) {
        std::lock_guard lock(mutex_);
        std::erase_if(domains_, [&](const Domain& d) { return d.identifier() == domain.identifier(); });
        if (mode != fileprovider::RemoveDomainMode::removeAll)
            preserved = preservedURL_;
    }
    complete([completion = std::move(completion), preserved, error] { completion(preserved, error); });
}

void FakeSystem::getDomains(fileprovider::DomainsCompletion completion) {
    auto error = errorFor(Operation::getDomains);
    auto domains = registeredDomains();
    complete([completion = std::move(completion), domains, error] { completion(domains, error); });
}

bool FakeSystem::hasManager(const Domain&) {
    std::lock_guard lock(mutex_);
    return hasManager_;
}

void FakeSystem::signalEnumerator(const Domain& domain, const ItemIdentifier& container,
                                  fileprovider::ErrorCompletion completion) {
    auto error = errorFor(Operation::signal);
    {
        std::lock_guard lock(mutex_);
        signals_.push_back({domain.identifier(), container.rawValue()});
    }
    changed_.notify_all();
    complete([completion = std::move(completion), error] { completion(error); });
}

void FakeSystem::signalErrorResolved(const Domain&, foundation::ErrorRef resolved,
                                     fileprovider::ErrorCompletion completion) {
    auto error = errorFor(Operation::errorResolved);
    {
        std::lock_guard lock(mutex_);
        resolved_.push_back(std::move(resolved));
    }
    complete([completion = std::move(completion), error] { completion(error); });
}

void FakeSystem::getUserVisibleURL(const Domain&, const ItemIdentifier&,
                                   fileprovider::URLCompletion completion) {
    auto error = errorFor(Operation::visibleURL);
    std::optional<std::filesystem::path> url;
    {
        std::lock_guard lock(mutex_);
        url = visibleURL_;
    }
    complete([completion = std::move(completion), url, error] { completion(url, error); });
}

std::optional<std::filesystem::path> FakeSystem::temporaryDirectory(const Domain& domain,
                                                                    foundation::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    if (temporaryDirectoryError_) {
        if (error)
            *error = temporaryDirectoryError_;
        return std::nullopt;
    }
    return temporaryRoot_ / domain.identifier() / "tmp";
}

void FakeSystem::setMaterializedEnumerator(std::shared_ptr<fileprovider::Enumerator> enumerator) {
    std::lock_guard lock(mutex_);
    materializedEnumerator_ = std::move(enumerator);
}

std::shared_ptr<fileprovider::Enumerator> FakeSystem::enumeratorForMaterializedItems(const Domain&) {
    std::lock_guard lock(mutex_);
    if (materializedEnumerator_)
        return materializedEnumerator_;
    return std::make_shared<MaterializedEnumerator>(pages_, failOnPage_);
}

} // namespace support
