#pragma once

#include "fileprovider/Identifiers.h"

#include <cstdint>
#include <optional>
#include <string>

namespace wl {

// The UTF-8 text "revision#generation", and "#epoch" when the host sent one.
fileprovider::SyncAnchor syncAnchor(std::int64_t revision, std::int64_t generation,
                                    const std::optional<std::string>& epoch);

struct AnchorFields {
    std::string revisionText;         // field 1, verbatim
    std::optional<std::string> epoch; // field 3, when there are at least three fields
};
// Bytes that are not UTF-8 read as the text "0". Fields are split at every "#", keeping empty ones.
AnchorFields readSyncAnchor(const fileprovider::SyncAnchor& anchor);

// An optional sign and then only digits, within signed 64 bits; any other text gives 0.
std::int64_t parseRevision(const std::string& text);

} // namespace wl
