#include "FPHostErrorMap.h"

#include "host/JSON.h"

namespace wl {

using foundation::Error;
using foundation::ErrorRef;

namespace {

// Kinds compare as whole strings, case included; unlisted kinds cannot synchronize.
std::pair<const char*, std::int64_t> codeFor(long status, const std::string& kind) {
    constexpr const char* fp = foundation::NSFileProviderErrorDomain;
    if (status == 401)
        return {fp, -1000};
    if (kind == "read_only")
        return {foundation::NSCocoaErrorDomain, foundation::NSFileWriteNoPermissionError};
    if (kind == "paused")
        return {fp, -2005};
    if (kind == "quota")
        return {fp, -1003};
    if (kind == "offline" || kind == "incomplete")
        return {fp, -1004};
    if (kind == "not_empty")
        return {fp, -1007};
    if (kind == "collision")
        return {fp, -1001};
    return {fp, -2005};
}

} // namespace

ErrorRef FPHostErrorMap::error(long status, const boost::json::object* body) {
    std::string kind(body ? jsonString(*body, "error").value_or("") : "");
    std::string code(body ? jsonString(*body, "code").value_or("") : "");
    auto [domain, number] = codeFor(status, kind);
    return Error::make(domain, number, {{kindKey, kind}, {codeKey, code}});
}

ErrorRef FPHostErrorMap::local(const std::string& code) {
    return Error::make(foundation::NSFileProviderErrorDomain, -2005,
                       {{kindKey, std::string("bad_request")}, {codeKey, code}});
}

} // namespace wl
