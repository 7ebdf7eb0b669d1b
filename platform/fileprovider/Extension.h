#pragma once

#include "Domain.h"
#include "Enumeration.h"
#include "Item.h"
#include "foundation/Error.h"
#include "foundation/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace fileprovider {

using ProgressRef = std::shared_ptr<foundation::Progress>;

// The calls the system makes on a replicated extension, one object per domain. The system calls from
// threads of its own choosing, possibly at once; each operation reports exactly once through its
// completion (on a thread the extension chooses) and returns its progress at once. An operation an
// extension does not implement reports NSCocoaErrorDomain 3328 (feature unsupported), as the system would.
class ReplicatedExtension {
public:
    virtual ~ReplicatedExtension() = default;

    using ItemCompletion = std::function<void(ItemRef item, foundation::ErrorRef error)>;
    using FetchCompletion = std::function<void(std::optional<std::filesystem::path> file, ItemRef item,
                                               foundation::ErrorRef error)>;
    using WriteCompletion = std::function<void(ItemRef item, ItemFields stillToUpload,
                                               bool shouldFetchContent, foundation::ErrorRef error)>;
    using DeleteCompletion = std::function<void(foundation::ErrorRef error)>;

    virtual void invalidate() = 0;
    virtual ProgressRef item(const ItemIdentifier& identifier, const Request& request,
                             ItemCompletion completion) = 0;
    // The one entry point that throws: foundation::ThrownError.
    virtual std::shared_ptr<Enumerator> enumerator(const ItemIdentifier& container, const Request& request);
    virtual ProgressRef fetchContents(const ItemIdentifier& identifier,
                                      const std::optional<ItemVersion>& requestedVersion,
                                      const Request& request, FetchCompletion completion);
    virtual ProgressRef createItem(ItemRef itemTemplate, ItemFields fields,
                                   std::optional<std::filesystem::path> contents, CreateItemOptions options,
                                   const Request& request, WriteCompletion completion);
    virtual ProgressRef modifyItem(ItemRef item, const ItemVersion& baseVersion, ItemFields changedFields,
                                   std::optional<std::filesystem::path> contents, ModifyItemOptions options,
                                   const Request& request, WriteCompletion completion);
    virtual ProgressRef deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                   DeleteItemOptions options, const Request& request,
                                   DeleteCompletion completion);
    virtual void materializedItemsDidChange(std::function<void()> completion) { completion(); }
};

struct Range {
    std::int64_t location = 0;
    std::int64_t length = 0;
    bool operator==(const Range&) const = default;
};

class PartialContentFetching {
public:
    virtual ~PartialContentFetching() = default;

    using PartialCompletion =
        std::function<void(std::optional<std::filesystem::path> file, ItemRef item, Range fetchedRange,
                           MaterializationFlags flags, foundation::ErrorRef error)>;

    virtual ProgressRef fetchPartialContents(const ItemIdentifier& identifier,
                                             const std::optional<ItemVersion>& requestedVersion,
                                             const Request& request, Range minimalRange,
                                             std::size_t alignment, FetchContentsOptions options,
                                             PartialCompletion completion);
};

// What an extension module's principal-class function returns: the class the system instantiates once per
// domain. The system checks `interfaceVersion` before it calls anything else.
struct PrincipalClass {
    std::uint32_t interfaceVersion;
    const char* className;
    std::shared_ptr<ReplicatedExtension> (*create)(const Domain& domain);
};

inline constexpr std::uint32_t principalClassInterfaceVersion = 1;
inline constexpr std::int64_t NSFeatureUnsupportedError = 3328;
using PrincipalClassFunction = const PrincipalClass* (*)();

} // namespace fileprovider
