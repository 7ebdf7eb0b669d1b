#include "HostConfig.h"

#include "foundation/Files.h"

namespace wl {

namespace fs = std::filesystem;
using foundation::Error;
using foundation::ErrorRef;

std::optional<fs::path> HostConfig::testDirectory;

std::string wlGroup(const std::optional<std::string>& bundleIdentifier) {
    return bundleIdentifier && *bundleIdentifier == wlMasExtensionBundle ? wlMasGroup : wlWebsiteGroup;
}

const std::string& wlAppGroup() {
    static const std::string group = wlGroup(foundation::mainBundleIdentifier());
    return group;
}

std::optional<HostConfig> HostConfig::load() {
    const std::string& group = wlAppGroup();
    std::optional<fs::path> directory = testDirectory;
    if (!directory)
        directory = foundation::appGroupContainer(group);
    if (!directory)
        return std::nullopt;
    JSONObjectRef file = decodeJSON(foundation::readFile(*directory / "fphost.json"));
    if (!file)
        return std::nullopt;
    auto port = jsonIntegral(*file, "port");
    auto token = jsonString(*file, "token");
    if (!port || !token)
        return std::nullopt;
    if (*port < 0 || *port > 65535) // no valid URL has such a port
        return std::nullopt;
    if (token->find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return std::nullopt; // it could never be sent as a header value
    return HostConfig{"http://127.0.0.1:" + std::to_string(*port), std::string(*token)};
}

HostConfig HostConfig::live() const {
    if (auto fresh = load())
        return *fresh;
    return *this;
}

foundation::URLRequest HostConfig::request(const std::string& path,
                                           const std::map<std::string, std::string>& query) const {
    HostConfig current = live();
    std::string url = current.baseURL + path;
    // std::map orders keys by bytes, which for UTF-8 is code point order.
    bool first = true;
    for (const auto& [key, value] : query) {
        url += first ? '?' : '&';
        first = false;
        url += queryEncode(key);
        url += '=';
        url += queryEncode(value);
    }
    foundation::URLRequest request(url);
    request.timeoutInterval = 60;
    request.cachePolicy = foundation::URLRequest::CachePolicy::useProtocolCachePolicy;
    request.setValue(current.token, "X-FP-Token");
    return request;
}

std::string queryEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string hostID(const fileprovider::ItemIdentifier& identifier) {
    return identifier.rawValue();
}

fileprovider::ItemIdentifier itemIdentifier(std::string_view hostIdentifier) {
    return fileprovider::ItemIdentifier(std::string(hostIdentifier));
}

ErrorRef hostDownError(const ErrorRef& error) {
    if (!error || error->domain() != foundation::NSURLErrorDomain ||
        error->code() == foundation::NSURLErrorCancelled)
        return error;
    return Error::make(foundation::NSFileProviderErrorDomain, -1004,
                       {{foundation::NSUnderlyingErrorKey, error}});
}

ErrorRef hostAnswerError(long status, const std::optional<std::string>&, const ErrorRef& err,
                         std::int64_t ours) {
    if (err)
        return hostDownError(err);
    ErrorRef own = Error::make(wlErrorDomain, ours);
    if (status == 404)
        return Error::make(foundation::NSFileProviderErrorDomain, -1005,
                           {{foundation::NSUnderlyingErrorKey, own}});
    if (status >= 500 && status <= 599)
        return Error::make(foundation::NSFileProviderErrorDomain, -1004,
                           {{foundation::NSUnderlyingErrorKey, own}});
    return own;
}

} // namespace wl
