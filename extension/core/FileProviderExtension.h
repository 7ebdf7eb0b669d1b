#pragma once

// The extension object the system creates once per domain: a thin front that turns each system call into
// exchanges with the host. Completions of host exchanges, and so the system's completion handlers, run
// on the shared URL session's callback queue; a call that fails before contacting the host reports on
// the caller's thread before it returns.
#include "fileprovider/fileprovider.h"
#include "host/HostConfig.h"

#include <memory>
#include <optional>

namespace wl {

class FileProviderExtension : public fileprovider::ReplicatedExtension,
                              public fileprovider::PartialContentFetching,
                              public std::enable_shared_from_this<FileProviderExtension> {
public:
    // Loads the host connection once; without one, the object has none for its whole life.
    explicit FileProviderExtension(fileprovider::Domain domain);

    // Exchanges already started run to their end and call their completions.
    void invalidate() override {}

    // GET "/v1/item"; progress 1 unit.
    fileprovider::ProgressRef item(const fileprovider::ItemIdentifier& identifier,
                                   const fileprovider::Request& request, ItemCompletion completion) override;

    // A WLEnumerator for any container; throws the no-host-connection error when there is no connection.
    std::shared_ptr<fileprovider::Enumerator> enumerator(const fileprovider::ItemIdentifier& container,
                                                         const fileprovider::Request& request) override;

    const fileprovider::Domain& domain() const { return domain_; }
    const std::optional<HostConfig>& cfg() const { return cfg_; }

    // "Wyvernloft" -2, made afresh.
    static foundation::ErrorRef noHostConnectionError();

private:
    const fileprovider::Domain domain_;
    const std::optional<HostConfig> cfg_;
};

} // namespace wl
