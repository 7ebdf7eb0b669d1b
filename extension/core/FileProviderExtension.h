#pragma once

// The extension object the system creates once per domain: a thin front that turns each system call into
// exchanges with the host. Completions of host exchanges, and so the system's completion handlers, run
// on the shared URL session's callback queue; a call that fails before contacting the host reports on
// the caller's thread before it returns.
#include "fileprovider/fileprovider.h"
#include "host/HostConfig.h"

#include <atomic>
#include <memory>
#include <optional>

namespace wl {

class FPWriter;
class MaterializedWalk;

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

    // Downloads the whole file, copies it densely into the domain's temporary directory, remembers the
    // item as kept, looks its record up again and hands both over; then refreshes the working set.
    // Progress 100 units, completed at once when the outcome is known.
    fileprovider::ProgressRef fetchContents(const fileprovider::ItemIdentifier& identifier,
                                            const std::optional<fileprovider::ItemVersion>& requestedVersion,
                                            const fileprovider::Request& request,
                                            FetchCompletion completion) override;
    // Every range is answered with the whole file.
    fileprovider::ProgressRef
    fetchPartialContents(const fileprovider::ItemIdentifier& identifier,
                         const std::optional<fileprovider::ItemVersion>& requestedVersion,
                         const fileprovider::Request& request, fileprovider::Range minimalRange,
                         std::size_t alignment, fileprovider::FetchContentsOptions options,
                         PartialCompletion completion) override;
    // Walks the system's materialized items and makes the kept set match them. The completion runs on
    // the thread of the system's enumerator, or of the working-set signal's completion.
    void materializedItemsDidChange(std::function<void()> completion) override;

    // Writes: each call builds its own writer; the system is never asked to upload further fields or to
    // fetch contents. Without a host connection each fails at once with noHost and sends nothing.
    fileprovider::ProgressRef createItem(fileprovider::ItemRef itemTemplate, fileprovider::ItemFields fields,
                                         std::optional<std::filesystem::path> contents,
                                         fileprovider::CreateItemOptions options,
                                         const fileprovider::Request& request,
                                         WriteCompletion completion) override;
    fileprovider::ProgressRef
    modifyItem(fileprovider::ItemRef item, const fileprovider::ItemVersion& baseVersion,
               fileprovider::ItemFields changedFields, std::optional<std::filesystem::path> contents,
               fileprovider::ModifyItemOptions options, const fileprovider::Request& request,
               WriteCompletion completion) override;
    fileprovider::ProgressRef deleteItem(const fileprovider::ItemIdentifier& identifier,
                                         const fileprovider::ItemVersion& baseVersion,
                                         fileprovider::DeleteItemOptions options,
                                         const fileprovider::Request& request,
                                         DeleteCompletion completion) override;

    // NSFileProviderErrorDomain -1000, made once: every write's answer without a host connection.
    static const foundation::ErrorRef& noHost();

    // The shared download of fetchContents and fetchPartialContents; no working-set refresh. The
    // completion runs on the URL session's callback queue (on the caller's thread without a connection).
    fileprovider::ProgressRef fetchWholeFile(const fileprovider::ItemIdentifier& identifier,
                                             const fileprovider::Request& request,
                                             FetchCompletion completion);
    // Signals the working set from the main queue; may be called from any thread.
    void refreshWorkingSet();

    const fileprovider::Domain& domain() const { return domain_; }
    const std::optional<HostConfig>& cfg() const { return cfg_; }

    // "Wyvernloft" -2, made afresh.
    static foundation::ErrorRef noHostConnectionError();

private:
    // A writer wired to this object (held weakly) for one call; none without a host connection.
    std::shared_ptr<FPWriter> writer(const fileprovider::Request& request);
    // GET "/v1/item" with the answer handling of item lookups (code -3); completes `progress`.
    void lookUp(const fileprovider::ItemIdentifier& identifier, const fileprovider::ProgressRef& progress,
                ItemCompletion completion) const;
    std::optional<std::filesystem::path>
    copyDenseOntoProviderVolume(const std::filesystem::path& source) const;

    const fileprovider::Domain domain_;
    const std::optional<HostConfig> cfg_;
    // The walk started by the latest materializedItemsDidChange; the end of any walk clears it.
    std::atomic<std::shared_ptr<MaterializedWalk>> materializedWalk_;
};

} // namespace wl
