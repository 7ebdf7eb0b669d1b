#pragma once

#include "Domain.h"
#include "Enumeration.h"
#include "Types.h"
#include "foundation/Error.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace fileprovider {

using ErrorCompletion = std::function<void(foundation::ErrorRef error)>;
using URLCompletion =
    std::function<void(std::optional<std::filesystem::path> url, foundation::ErrorRef error)>;
using DomainsCompletion = std::function<void(std::vector<Domain> domains, foundation::ErrorRef error)>;

// The system side of the domain manager: one per process, installed by the hosting process. Completions
// run on threads of the backend's choosing, possibly before the call returns.
class System {
public:
    virtual ~System() = default;

    virtual void addDomain(const Domain& domain, ErrorCompletion completion) = 0;
    virtual void removeDomain(const Domain& domain, RemoveDomainMode mode, URLCompletion completion) = 0;
    virtual void getDomains(DomainsCompletion completion) = 0;
    // Whether the system would hand out a manager for the domain.
    virtual bool hasManager(const Domain& domain) = 0;
    virtual void signalEnumerator(const Domain& domain, const ItemIdentifier& container,
                                  ErrorCompletion completion) = 0;
    virtual void signalErrorResolved(const Domain& domain, foundation::ErrorRef error,
                                     ErrorCompletion completion) = 0;
    virtual void getUserVisibleURL(const Domain& domain, const ItemIdentifier& item,
                                   URLCompletion completion) = 0;
    // A directory on the volume of the domain's storage, or an error.
    virtual std::optional<std::filesystem::path> temporaryDirectory(const Domain& domain,
                                                                    foundation::ErrorRef* error) = 0;
    virtual std::shared_ptr<Enumerator> enumeratorForMaterializedItems(const Domain& domain) = 0;
};

// Installs the process-wide backend (null restores the default, the Registry).
void installSystem(std::shared_ptr<System> system);
std::shared_ptr<System> installedSystem();

// NSFileProviderManager: every call forwards to the installed System backend.
class Manager {
public:
    explicit Manager(Domain domain, std::shared_ptr<System> system)
        : domain_(std::move(domain)), system_(std::move(system)) {}

    // None when the system has no manager for that domain.
    static std::shared_ptr<Manager> forDomain(const Domain& domain);

    static void addDomain(const Domain& domain, ErrorCompletion completion);
    // Without a mode: removes everything (removeAll).
    static void removeDomain(const Domain& domain, ErrorCompletion completion);
    static void removeDomain(const Domain& domain, RemoveDomainMode mode, URLCompletion completion);
    static void getDomains(DomainsCompletion completion);

    void signalEnumerator(const ItemIdentifier& container, ErrorCompletion completion);
    void signalErrorResolved(foundation::ErrorRef error, ErrorCompletion completion);
    void getUserVisibleURL(const ItemIdentifier& item, URLCompletion completion);
    std::optional<std::filesystem::path> temporaryDirectoryURL(foundation::ErrorRef* error);
    std::shared_ptr<Enumerator> enumeratorForMaterializedItems();

    const Domain& domain() const { return domain_; }

private:
    Domain domain_;
    std::shared_ptr<System> system_;
};

} // namespace fileprovider
