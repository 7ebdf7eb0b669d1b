#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fileprovider {

// A set of option bits with the OS's raw values.
template <typename Tag> struct OptionSet {
    std::uint64_t rawValue = 0;

    constexpr OptionSet() = default;
    constexpr explicit OptionSet(std::uint64_t raw) : rawValue(raw) {}
    constexpr bool contains(OptionSet other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr OptionSet operator|(OptionSet other) const { return OptionSet(rawValue | other.rawValue); }
    constexpr OptionSet operator&(OptionSet other) const { return OptionSet(rawValue & other.rawValue); }
    constexpr bool operator==(const OptionSet&) const = default;
};

struct ItemCapabilities : OptionSet<ItemCapabilities> {
    using OptionSet::OptionSet;
    constexpr ItemCapabilities(OptionSet other) : OptionSet(other.rawValue) {}
    static const ItemCapabilities allowsReading; // for folders also allowsContentEnumerating
    static const ItemCapabilities allowsWriting; // for folders also allowsAddingSubItems
    static const ItemCapabilities allowsReparenting;
    static const ItemCapabilities allowsRenaming;
    static const ItemCapabilities allowsTrashing;
    static const ItemCapabilities allowsDeleting;
    static const ItemCapabilities allowsEvicting;
    static const ItemCapabilities allowsExcludingFromSync;
};
inline constexpr ItemCapabilities ItemCapabilities::allowsReading{1 << 0};
inline constexpr ItemCapabilities ItemCapabilities::allowsWriting{1 << 1};
inline constexpr ItemCapabilities ItemCapabilities::allowsReparenting{1 << 2};
inline constexpr ItemCapabilities ItemCapabilities::allowsRenaming{1 << 3};
inline constexpr ItemCapabilities ItemCapabilities::allowsTrashing{1 << 4};
inline constexpr ItemCapabilities ItemCapabilities::allowsDeleting{1 << 5};
inline constexpr ItemCapabilities ItemCapabilities::allowsEvicting{1 << 6};
inline constexpr ItemCapabilities ItemCapabilities::allowsExcludingFromSync{1 << 7};

struct ItemFields : OptionSet<ItemFields> {
    using OptionSet::OptionSet;
    constexpr ItemFields(OptionSet other) : OptionSet(other.rawValue) {}
    static const ItemFields contents;
    static const ItemFields filename;
    static const ItemFields parentItemIdentifier;
    static const ItemFields lastUsedDate;
    static const ItemFields tagData;
    static const ItemFields favoriteRank;
    static const ItemFields creationDate;
    static const ItemFields contentModificationDate;
    static const ItemFields fileSystemFlags;
    static const ItemFields extendedAttributes;
    static const ItemFields typeAndCreator;
};
inline constexpr ItemFields ItemFields::contents{1 << 0};
inline constexpr ItemFields ItemFields::filename{1 << 1};
inline constexpr ItemFields ItemFields::parentItemIdentifier{1 << 2};
inline constexpr ItemFields ItemFields::lastUsedDate{1 << 3};
inline constexpr ItemFields ItemFields::tagData{1 << 4};
inline constexpr ItemFields ItemFields::favoriteRank{1 << 5};
inline constexpr ItemFields ItemFields::creationDate{1 << 6};
inline constexpr ItemFields ItemFields::contentModificationDate{1 << 7};
inline constexpr ItemFields ItemFields::fileSystemFlags{1 << 8};
inline constexpr ItemFields ItemFields::extendedAttributes{1 << 9};
inline constexpr ItemFields ItemFields::typeAndCreator{1 << 10};

struct CreateItemOptions : OptionSet<CreateItemOptions> {
    using OptionSet::OptionSet;
    static const CreateItemOptions mayAlreadyExist;
    static const CreateItemOptions deletionConflicted;
};
inline constexpr CreateItemOptions CreateItemOptions::mayAlreadyExist{1 << 0};
inline constexpr CreateItemOptions CreateItemOptions::deletionConflicted{1 << 1};

struct ModifyItemOptions : OptionSet<ModifyItemOptions> {
    using OptionSet::OptionSet;
    static const ModifyItemOptions mayAlreadyExist;
};
inline constexpr ModifyItemOptions ModifyItemOptions::mayAlreadyExist{1 << 0};

struct DeleteItemOptions : OptionSet<DeleteItemOptions> {
    using OptionSet::OptionSet;
    static const DeleteItemOptions recursive;
};
inline constexpr DeleteItemOptions DeleteItemOptions::recursive{1 << 0};

struct FetchContentsOptions : OptionSet<FetchContentsOptions> {
    using OptionSet::OptionSet;
    static const FetchContentsOptions strictVersioning;
};
inline constexpr FetchContentsOptions FetchContentsOptions::strictVersioning{1 << 0};

struct MaterializationFlags : OptionSet<MaterializationFlags> {
    using OptionSet::OptionSet;
    static const MaterializationFlags knownSparseRanges;
};
inline constexpr MaterializationFlags MaterializationFlags::knownSparseRanges{1 << 0};

enum class ContentPolicy : std::int64_t {
    inherited = 0,
    downloadLazily = 1,
    downloadLazilyAndEvictOnRemoteUpdate = 2,
    downloadEagerlyAndKeepDownloaded = 3,
};

enum class RemoveDomainMode : std::int64_t {
    removeAll = 0,
    preserveDirtyUserData = 1, // keeps edits not yet uploaded
    preserveDownloadedUserData = 2,
};

// Codes of NSFileProviderErrorDomain.
enum ErrorCode : std::int64_t {
    notAuthenticated = -1000,
    filenameCollision = -1001,
    syncAnchorExpired = -1002,
    pageExpired = -1002,
    insufficientQuota = -1003,
    serverUnreachable = -1004,
    noSuchItem = -1005,
    deletionRejected = -1006,
    directoryNotEmpty = -1007,
    providerNotFound = -2001,
    providerTranslocated = -2002,
    olderExtensionVersionRunning = -2003,
    newerExtensionVersionFound = -2004,
    cannotSynchronize = -2005,
    nonEvictableChildren = -2006,
    unsyncedEdits = -2007,
    domainDisabled = -2008,
};

} // namespace fileprovider
