#include "Manager.h"
#include "Registry.h"

#include <mutex>

namespace fileprovider {

namespace {

std::mutex systemMutex;
std::shared_ptr<System>& systemSlot() {
    static auto* slot = new std::shared_ptr<System>(); // lives for the process
    return *slot;
}

} // namespace

void installSystem(std::shared_ptr<System> system) {
    std::lock_guard lock(systemMutex);
    systemSlot() = std::move(system);
}

std::shared_ptr<System> installedSystem() {
    {
        std::lock_guard lock(systemMutex);
        if (systemSlot())
            return systemSlot();
    }
    // The default: the registry of the state directory the environment names now.
    return std::make_shared<Registry>();
}

std::shared_ptr<Manager> Manager::forDomain(const Domain& domain) {
    auto system = installedSystem();
    if (!system->hasManager(domain))
        return nullptr;
    return std::make_shared<Manager>(domain, std::move(system));
}

void Manager::addDomain(const Domain& domain, ErrorCompletion completion) {
    installedSystem()->addDomain(domain, std::move(completion));
}

void Manager::removeDomain(const Domain& domain, ErrorCompletion completion) {
    removeDomain(
        domain, RemoveDomainMode::removeAll,
        [completion = std::move(completion)](std::optional<std::filesystem::path>,
                                             foundation::ErrorRef error) { completion(std::move(error)); });
}

void Manager::removeDomain(const Domain& domain, RemoveDomainMode mode, URLCompletion completion) {
    installedSystem()->removeDomain(domain, mode, std::move(completion));
}

void Manager::getDomains(DomainsCompletion completion) {
    installedSystem()->getDomains(std::move(completion));
}

void Manager::signalEnumerator(const ItemIdentifier& container, ErrorCompletion completion) {
    system_->signalEnumerator(domain_, container, std::move(completion));
}

void Manager::signalErrorResolved(foundation::ErrorRef error, ErrorCompletion completion) {
    system_->signalErrorResolved(domain_, std::move(error), std::move(completion));
}

void Manager::getUserVisibleURL(const ItemIdentifier& item, URLCompletion completion) {
    system_->getUserVisibleURL(domain_, item, std::move(completion));
}

std::optional<std::filesystem::path> Manager::temporaryDirectoryURL(foundation::ErrorRef* error) {
    return system_->temporaryDirectory(domain_, error);
}

std::shared_ptr<Enumerator> Manager::enumeratorForMaterializedItems() {
    return system_->enumeratorForMaterializedItems(domain_);
}

} // namespace fileprovider
