#include "Errors.h"

#include "foundation/Files.h"

#include <map>
#include <utility>

namespace fpctl {

namespace json = boost::json;

namespace {

const std::map<std::pair<std::string, std::int64_t>, const char*>& names() {
    static const std::map<std::pair<std::string, std::int64_t>, const char*> all = {
        {{"NSFileProviderErrorDomain", -1000}, "not authenticated"},
        {{"NSFileProviderErrorDomain", -1001}, "filename collision"},
        {{"NSFileProviderErrorDomain", -1002}, "sync anchor expired"},
        {{"NSFileProviderErrorDomain", -1003}, "insufficient quota"},
        {{"NSFileProviderErrorDomain", -1004}, "server unreachable"},
        {{"NSFileProviderErrorDomain", -1005}, "no such item"},
        {{"NSFileProviderErrorDomain", -1006}, "deletion rejected"},
        {{"NSFileProviderErrorDomain", -1007}, "directory not empty"},
        {{"NSFileProviderErrorDomain", -2001}, "provider not found"},
        {{"NSFileProviderErrorDomain", -2002}, "provider translocated"},
        {{"NSFileProviderErrorDomain", -2003}, "older extension version running"},
        {{"NSFileProviderErrorDomain", -2004}, "newer extension version found"},
        {{"NSFileProviderErrorDomain", -2005}, "cannot synchronize"},
        {{"NSFileProviderErrorDomain", -2006}, "non-evictable children"},
        {{"NSFileProviderErrorDomain", -2007}, "unsynced edits"},
        {{"NSFileProviderErrorDomain", -2008}, "domain disabled"},
        {{"NSCocoaErrorDomain", 256}, "file read failure"},
        {{"NSCocoaErrorDomain", 512}, "file write failure"},
        {{"NSCocoaErrorDomain", 513}, "no write permission"},
        {{"NSCocoaErrorDomain", 514}, "invalid file name"},
        {{"NSURLErrorDomain", -1}, "unknown URL error"},
        {{"NSURLErrorDomain", -999}, "cancelled"},
        {{"NSURLErrorDomain", -1000}, "bad URL"},
        {{"NSURLErrorDomain", -1001}, "timed out"},
        {{"NSURLErrorDomain", -1002}, "unsupported URL"},
        {{"NSURLErrorDomain", -1003}, "cannot find host"},
        {{"NSURLErrorDomain", -1004}, "cannot connect to host"},
        {{"NSURLErrorDomain", -1005}, "network connection lost"},
        {{"NSURLErrorDomain", -1021}, "request body stream exhausted"},
        {{"NSURLErrorDomain", -3000}, "cannot create file"},
        {{"NSURLErrorDomain", -3003}, "cannot write to file"},
        {{"Wyvernloft", -1}, "enumeration failed"},
        {{"Wyvernloft", -2}, "no host connection"},
        {{"Wyvernloft", -3}, "item lookup failed"},
        {{"Wyvernloft", -4}, "content download failed"},
        {{fpctlErrorDomain, unanswered}, "no answer"},
        {{fpctlErrorDomain, outputExists}, "output file exists"},
        {{fpctlErrorDomain, outputFailed}, "output file not written"},
        {{fpctlErrorDomain, lookupFailed}, "current item not found"},
    };
    return all;
}

std::string domainOf(const json::value& error) {
    const auto* domain = error.is_object() ? error.get_object().if_contains("domain") : nullptr;
    return domain && domain->is_string() ? std::string(domain->get_string()) : std::string();
}

std::int64_t codeOf(const json::value& error) {
    const auto* code = error.is_object() ? error.get_object().if_contains("code") : nullptr;
    return code && code->is_int64() ? code->get_int64() : 0;
}

const json::value* info(const json::value& error, const char* key) {
    const auto* user = error.is_object() ? error.get_object().if_contains("userInfo") : nullptr;
    return user && user->is_object() ? user->get_object().if_contains(key) : nullptr;
}

bool is(const json::value& error, const char* domain, std::int64_t code) {
    return domainOf(error) == domain && codeOf(error) == code;
}

// "http://127.0.0.1:PORT" of a failing URL: the address without the request's path.
std::optional<std::string> addressOf(const json::value& error) {
    const auto* url = info(error, "NSErrorFailingURLStringKey");
    if (!url || !url->is_string())
        return std::nullopt;
    std::string text(url->get_string());
    auto scheme = text.find("://");
    auto path = text.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return text.substr(0, path);
}

// The address fphost.json names, for an error that carries none.
std::optional<std::string> publishedAddress(const HintContext& context) {
    for (const auto& file : context.connectionFiles) {
        auto bytes = foundation::readFile(file);
        if (!bytes)
            continue;
        json::error_code ec;
        json::value document = json::parse(*bytes, ec);
        if (!ec && document.is_object())
            if (const auto* port = document.get_object().if_contains("port"); port && port->is_int64())
                return "http://127.0.0.1:" + std::to_string(port->get_int64());
    }
    return std::nullopt;
}

std::string noConnectionHint(const HintContext& context) {
    std::string looked, unusable;
    std::error_code ec;
    for (const auto& file : context.connectionFiles) {
        std::string& list = std::filesystem::exists(file, ec) ? unusable : looked;
        list += (list.empty() ? "" : ", ") + file.string();
    }
    if (!unusable.empty())
        return unusable + " is there but lacks a usable port and token: the host application wrote it "
                          "badly, or is writing it now";
    if (looked.empty())
        return "the extension names no app group: its manifest lists none";
    return "fpctl looked for " + looked +
           " and found none: the host application is not running (start it, for example wl-refhost --root "
           "DIR), or it runs with another app group or $FP_APP_GROUPS_DIR";
}

} // namespace

std::optional<std::string> errorName(std::string_view domain, std::int64_t code) {
    auto it = names().find({std::string(domain), code});
    if (it != names().end())
        return std::string(it->second);
    if (domain == "Wyvernloft" && code >= 100 && code <= 599)
        return "host answered HTTP " + std::to_string(code);
    return std::nullopt;
}

const json::value* reportedError(const json::object& output) {
    if (const auto* error = output.if_contains("error"); error && !error->is_null())
        return error;
    if (const auto* calls = output.if_contains("calls"); calls && calls->is_array())
        for (const auto& call : calls->get_array())
            if (call.is_array() && call.get_array().size() == 2 &&
                call.get_array()[0] == json::value("finishEnumeratingWithError"))
                return &call.get_array()[1];
    return nullptr;
}

std::optional<std::string> hintFor(const json::value& error, const HintContext& context) {
    const json::value* underlying = info(error, "NSUnderlyingError");
    if (is(error, "Wyvernloft", -2))
        return noConnectionHint(context);
    if (is(error, "NSFileProviderErrorDomain", -1004)) {
        if (underlying && domainOf(*underlying) == "Wyvernloft")
            return "the host answered with a server error (HTTP 5xx): it is failing or overloaded; see its "
                   "log, then try again";
        auto address = underlying ? addressOf(*underlying) : std::nullopt;
        if (!address)
            address = publishedAddress(context);
        return "nothing answered at " + address.value_or("the host's address") +
               ": the host application has stopped, or restarted elsewhere without updating fphost.json";
    }
    if (is(error, "NSFileProviderErrorDomain", -1000))
        return "the host refused the token in fphost.json: the host restarted with a new token, or fpctl "
               "reads another host's connection file";
    if (is(error, "NSFileProviderErrorDomain", -1002) && context.op != "watch")
        return "the anchor is from an older history of the host: take a new one (fpctl anchor ID) after "
               "listing the container again";
    if (is(error, "NSFileProviderErrorDomain", -1005))
        return "identifiers are paths below the root (Docs/a.txt) and / is the root; fpctl ls shows the "
               "identifiers a folder holds";
    if (is(error, "NSFileProviderErrorDomain", -2005) && context.op == "delete" && context.recursive)
        return "the extension deletes a folder recursively only against the revision it last listed, and "
               "no listing of this folder was delivered in this process: list it first in the same run "
               "(fpctl --script with {\"op\":\"list\",...} then {\"op\":\"delete\",...})";
    if (is(error, "NSFileProviderErrorDomain", -1001) && context.op == "create")
        return "the folder holds an item of that name already; --may-exist lets the extension take it over";
    if (is(error, fpctlErrorDomain, lookupFailed)) {
        if (underlying)
            if (auto hint = hintFor(*underlying, context))
                return hint;
        return "a base given with --base-content or --base-metadata (and --parent and --name for modify) "
               "is sent without a lookup";
    }
    if (is(error, fpctlErrorDomain, outputExists))
        return "--force replaces it";
    if (is(error, fpctlErrorDomain, unanswered))
        return "the extension made no call back within 120 s; the host may hang on the request";
    return std::nullopt;
}

} // namespace fpctl
