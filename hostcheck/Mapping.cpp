#include "Mapping.h"

namespace wl::hostcheck {

namespace {

std::string provider(int code, const char* meaning) {
    return "NSFileProviderErrorDomain " + std::to_string(code) + " (" + meaning + ")";
}

// Writes are mapped by the envelope's kind; only 401 is mapped by its status.
std::string byKind(long status, const std::string& kind) {
    if (status == 401)
        return provider(-1000, "not authenticated: the user is asked to sign in");
    if (kind == "read_only")
        return "NSCocoaErrorDomain 513 (no write permission)";
    if (kind == "paused")
        return provider(-2005, "cannot synchronize: the system retries later");
    if (kind == "quota")
        return provider(-1003, "insufficient quota");
    if (kind == "offline" || kind == "incomplete")
        return provider(-1004, "server unreachable: the system retries when the host is back");
    if (kind == "not_empty")
        return provider(-1007, "directory not empty");
    if (kind == "collision")
        return provider(-1001, "filename collision: the system picks another name");
    return provider(-2005, kind.empty() ? "cannot synchronize: no kind, so the host's reason is lost"
                                        : "cannot synchronize: a kind the extension does not know");
}

} // namespace

std::string consequence(const std::string& method, const std::string& path, long status,
                        const std::string& kind) {
    if (method == "GET") {
        if (path == "/v1/anchor")
            return "the status is not read: the anchor becomes revision 0 unless the body holds \"anchor\"";
        if (status == 404)
            return provider(-1005, "no such item: the system removes it");
        if (status >= 500 && status <= 599)
            return provider(-1004, "server unreachable: the system retries when the host is back");
        if (path == "/v1/item")
            return "Wyvernloft -3 (item lookup failed)";
        if (path == "/v1/content")
            return "Wyvernloft -4 (content download failed)";
        return "Wyvernloft -1 (enumeration failed)";
    }
    if (method == "PUT" && status == 400 && kind == "incomplete")
        return "sent again, at most 3 attempts in all, then " + byKind(status, kind);
    if (path == "/v1/move" && status == 409 && kind == "needs_content")
        return "the contents are uploaded to the new path against the \"base\" given (a failure without one)";
    if (path == "/v1/move" && status == 409 && kind == "gone")
        return "done, when \"item\" is a file record at the destination with the base's content version; "
               "else " +
               provider(-2005, "cannot synchronize");
    if (method == "DELETE" && status == 409 && kind == "changed")
        return provider(-1006, "deletion rejected: the working set is enumerated again");
    return byKind(status, kind);
}

} // namespace wl::hostcheck
