#pragma once

#include <compare>
#include <functional>
#include <string>

namespace fileprovider {

// An item's identifier; three are the system's own.
class ItemIdentifier {
public:
    ItemIdentifier() = default;
    explicit ItemIdentifier(std::string rawValue) : rawValue_(std::move(rawValue)) {}

    static ItemIdentifier rootContainer() {
        return ItemIdentifier("NSFileProviderRootContainerItemIdentifier");
    }
    static ItemIdentifier workingSet() {
        return ItemIdentifier("NSFileProviderWorkingSetContainerItemIdentifier");
    }
    static ItemIdentifier trashContainer() {
        return ItemIdentifier("NSFileProviderTrashContainerItemIdentifier");
    }

    const std::string& rawValue() const { return rawValue_; }
    bool isSystemIdentifier() const {
        return *this == rootContainer() || *this == workingSet() || *this == trashContainer();
    }
    auto operator<=>(const ItemIdentifier&) const = default;

private:
    std::string rawValue_;
};

using DomainIdentifier = std::string;
using ItemDecorationIdentifier = std::string;

// Two opaque byte strings: one changes with the contents, one with the metadata.
struct ItemVersion {
    std::string contentVersion;
    std::string metadataVersion;
    bool operator==(const ItemVersion&) const = default;
};

// Opaque byte strings the system stores and hands back.
struct SyncAnchor {
    std::string bytes;
    bool operator==(const SyncAnchor&) const = default;
};

struct Page {
    std::string bytes;
    bool operator==(const Page&) const = default;

    // The system's two initial pages (eight bytes each, as the OS has them).
    static Page initialPageSortedByDate() { return Page{std::string(8, '\0')}; }
    static Page initialPageSortedByName() { return Page{std::string(8, '\xff')}; }
};

} // namespace fileprovider

template <> struct std::hash<fileprovider::ItemIdentifier> {
    std::size_t operator()(const fileprovider::ItemIdentifier& id) const noexcept {
        return std::hash<std::string>{}(id.rawValue());
    }
};
