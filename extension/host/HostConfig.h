#pragma once

// The host connection: finding the host through fphost.json, building authenticated requests, naming
// items on the wire, decoding answers and mapping failed exchanges to File Provider errors.
#include "JSON.h"
#include "Unicode.h"
#include "fileprovider/Identifiers.h"
#include "foundation/Error.h"
#include "foundation/URLSession.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace wl {

// Deployment identifiers of the product's two editions.
inline constexpr const char* wlMasGroup = "WLT7Q2M9XK.org.wyvernloft.shared";
inline constexpr const char* wlWebsiteGroup = "WLH3V8N4PC.org.wyvernloft.shared";
inline constexpr const char* wlMasExtensionBundle = "org.wyvernloft.appstore.FileProvider";
inline constexpr const char* wlLegacyAppGroup = "group.org.wyvernloft.shared";
// The bundle identifier of the directly downloaded edition's extension, and its decoration prefix.
inline constexpr const char* wlExtensionBundle = "org.wyvernloft.FileProvider";

// The product's own error domain and its codes.
inline constexpr const char* wlErrorDomain = "Wyvernloft";
enum WLErrorCode : std::int64_t {
    enumerationFailed = -1,
    noHostConnection = -2,
    itemLookupFailed = -3,
    contentDownloadFailed = -4,
};

std::string wlGroup(const std::optional<std::string>& bundleIdentifier);
// wlGroup of the running bundle's identifier, computed once per process on first use.
const std::string& wlAppGroup();

struct HostConfig {
    std::string baseURL; // "http://127.0.0.1:" and the port, no trailing slash
    std::string token;

    // When set, fphost.json is read from here instead of the app-group container. Set before use.
    static std::optional<std::filesystem::path> testDirectory;

    // Reads fphost.json afresh; none when anything is missing or malformed, or when the token could not
    // travel in a header (CR, LF or NUL).
    static std::optional<HostConfig> load();
    // A fresh load(), or this value when that fails: a restarted host is followed, a momentarily
    // unreadable file breaks nothing.
    HostConfig live() const;
    // A GET of `path` with the query encoded in sorted key order, the "X-FP-Token" header, a 60-second
    // time-out and the default cache policy. Builds, does not send.
    foundation::URLRequest request(const std::string& path,
                                   const std::map<std::string, std::string>& query = {}) const;
};

// Percent-encodes every UTF-8 byte but the unreserved characters, with upper-case hex digits.
std::string queryEncode(std::string_view text);
// The host's name for an item: the root container travels as its raw value, like every identifier.
std::string hostID(const fileprovider::ItemIdentifier& identifier);
// A host identifier as an item identifier (the root literal is the root container's raw value).
fileprovider::ItemIdentifier itemIdentifier(std::string_view hostIdentifier);

// A transport failure as the system should see it: URL-loading errors other than cancellation become
// server unreachable (-1004) over the original; everything else passes unchanged.
foundation::ErrorRef hostDownError(const foundation::ErrorRef& error);
// The error of an exchange that did not give the wanted answer, by transport error, then status.
foundation::ErrorRef hostAnswerError(long status, const std::optional<std::string>& data,
                                     const foundation::ErrorRef& err, std::int64_t ours);
// The status of an exchange: the HTTP status, 0 without a response.
inline long statusOf(const foundation::ResponseRef& response) {
    return response ? response->statusCode : 0;
}

} // namespace wl
