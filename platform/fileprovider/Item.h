#pragma once

#include "Identifiers.h"
#include "Types.h"
#include "foundation/ContentType.h"
#include "foundation/Date.h"

#include <memory>
#include <optional>
#include <vector>

namespace fileprovider {

// What the system reads of an item. Optional members have the OS's defaults, so an implementation
// overrides only what it has; `contentType` left at none means the item does not implement it.
class Item {
public:
    virtual ~Item() = default;

    virtual ItemIdentifier itemIdentifier() const = 0;
    virtual ItemIdentifier parentItemIdentifier() const = 0;
    virtual std::string filename() const = 0;

    virtual std::optional<foundation::UTType> contentType() const { return std::nullopt; }
    virtual std::optional<std::int64_t> documentSize() const { return std::nullopt; }
    virtual std::optional<foundation::Date> contentModificationDate() const { return std::nullopt; }
    virtual std::optional<foundation::Date> creationDate() const { return std::nullopt; }
    virtual ItemCapabilities capabilities() const {
        return ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting |
               ItemCapabilities::allowsReparenting | ItemCapabilities::allowsRenaming |
               ItemCapabilities::allowsTrashing | ItemCapabilities::allowsDeleting;
    }
    virtual ItemVersion itemVersion() const { return {}; }
    virtual ContentPolicy contentPolicy() const { return ContentPolicy::inherited; }
    virtual bool isMostRecentVersionDownloaded() const { return true; }
    virtual bool isDownloaded() const { return false; }
    virtual bool isUploaded() const { return true; }
    virtual bool isUploading() const { return false; }
    // NSFileProviderItemDecorating; none when the item declares no decorations.
    virtual std::optional<std::vector<ItemDecorationIdentifier>> decorations() const { return std::nullopt; }
};

using ItemRef = std::shared_ptr<const Item>;

} // namespace fileprovider
