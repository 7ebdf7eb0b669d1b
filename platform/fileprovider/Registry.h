#pragma once

// The default System backend: a registry of domains under the File Provider state directory
// ($FP_STATE_DIR, else $XDG_STATE_HOME/fileprovider, else ~/.local/state/fileprovider).
//
//   domains.json        {"domains": [{"identifier", "displayName", "userEnabled"}], "signals": [...],
//                        "resolved": [...]}, replaced atomically
//   domains.lock        held (flock) for every read-modify-write, so that two processes never interleave
//   domains/<id>/tmp    the domain's temporary directory, on the volume of its storage
//   domains/<id>/root   the folder where the system shows the domain
//   preserved/          what a removal that keeps edits not yet uploaded leaves behind
//
// Signals and error-resolved notices are recorded in the file for whatever process serves the domain.
// Completions run on the caller's thread, before the call returns.
#include "Manager.h"

#include <boost/json/object.hpp>
#include <filesystem>

namespace fileprovider {

class Registry : public System {
public:
    // The registry of the state directory as the environment names it now.
    Registry();
    explicit Registry(std::filesystem::path directory);

    void addDomain(const Domain& domain, ErrorCompletion completion) override;
    void removeDomain(const Domain& domain, RemoveDomainMode mode, URLCompletion completion) override;
    void getDomains(DomainsCompletion completion) override;
    bool hasManager(const Domain& domain) override;
    void signalEnumerator(const Domain& domain, const ItemIdentifier& container,
                          ErrorCompletion completion) override;
    void signalErrorResolved(const Domain& domain, foundation::ErrorRef error,
                             ErrorCompletion completion) override;
    void getUserVisibleURL(const Domain& domain, const ItemIdentifier& item,
                           URLCompletion completion) override;
    std::optional<std::filesystem::path> temporaryDirectory(const Domain& domain,
                                                            foundation::ErrorRef* error) override;
    std::shared_ptr<Enumerator> enumeratorForMaterializedItems(const Domain& domain) override;

    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path domainDirectory(const Domain& domain) const;
    foundation::ErrorRef record(const Domain& domain, const char* key, boost::json::object entry);
    std::filesystem::path directory_;
};

} // namespace fileprovider
