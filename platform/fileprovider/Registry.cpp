#include "Registry.h"

#include "foundation/Date.h"
#include "foundation/Files.h"

#include <boost/json.hpp>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fileprovider {

namespace fs = std::filesystem;
namespace json = boost::json;
using foundation::Error;
using foundation::ErrorRef;

namespace {

constexpr std::size_t signalsKept = 1000;

ErrorRef unknownDomain(const Domain& domain) {
    return Error::make(foundation::NSFileProviderErrorDomain, providerNotFound,
                       {{foundation::NSLocalizedDescriptionKey,
                         "The domain \"" + domain.identifier() + "\" is not registered."}});
}

ErrorRef invalidIdentifier(const Domain& domain) {
    return Error::make(foundation::NSCocoaErrorDomain, 514,
                       {{foundation::NSLocalizedDescriptionKey,
                         "\"" + domain.identifier() + "\" is not a valid domain identifier."}});
}

ErrorRef storageError(const std::string& what) {
    return Error::make(
        foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
        {{foundation::NSLocalizedDescriptionKey, "The domain registry cannot be written: " + what}});
}

bool validIdentifier(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
           id.find('\0') == std::string::npos;
}

json::array& arrayMember(json::object& registry, const char* key) {
    json::value& value = registry[key];
    if (!value.is_array())
        value = json::array();
    return value.get_array();
}

json::object* findDomain(json::object& registry, const std::string& id) {
    for (auto& entry : arrayMember(registry, "domains"))
        if (entry.is_object() && entry.get_object().contains("identifier") &&
            entry.get_object().at("identifier") == json::value(id))
            return &entry.get_object();
    return nullptr;
}

void appendCapped(json::array& list, json::value entry) {
    list.push_back(std::move(entry));
    if (list.size() > signalsKept)
        list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - signalsKept));
}

// Runs `change` on the registry under the lock file; writes the registry back when it returns true.
// The result is the error of reaching or writing the registry, or null.
template <typename Change> ErrorRef withRegistry(const fs::path& directory, Change change) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    int lock = ::open((directory / "domains.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return storageError((directory / "domains.lock").string());
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    json::object registry;
    if (auto bytes = foundation::readFile(directory / "domains.json")) {
        json::error_code parseError;
        json::value parsed = json::parse(*bytes, parseError);
        if (!parseError && parsed.is_object())
            registry = std::move(parsed.get_object());
    }
    ErrorRef error;
    if (change(registry))
        error = foundation::writeAtomically(directory / "domains.json", json::serialize(registry));
    ::flock(lock, LOCK_UN);
    ::close(lock);
    return error;
}

class EmptyEnumerator : public Enumerator {
public:
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page) override {
        observer->didEnumerateItems({});
        observer->finishEnumeratingUpToPage(std::nullopt);
    }
};

} // namespace

Registry::Registry() : Registry(foundation::fileProviderStateDirectory()) {}

Registry::Registry(fs::path directory) : directory_(std::move(directory)) {}

fs::path Registry::domainDirectory(const Domain& domain) const {
    return directory_ / "domains" / domain.identifier();
}

void Registry::addDomain(const Domain& domain, ErrorCompletion completion) {
    if (!validIdentifier(domain.identifier())) {
        completion(invalidIdentifier(domain));
        return;
    }
    ErrorRef error = withRegistry(directory_, [&](json::object& registry) {
        if (json::object* existing = findDomain(registry, domain.identifier())) {
            (*existing)["displayName"] = domain.displayName();
            return true;
        }
        arrayMember(registry, "domains")
            .push_back(json::object{{"identifier", domain.identifier()},
                                    {"displayName", domain.displayName()},
                                    {"userEnabled", true}});
        return true;
    });
    std::error_code ec;
    if (!error) {
        fs::create_directories(domainDirectory(domain) / "tmp", ec);
        fs::create_directories(domainDirectory(domain) / "root", ec);
    }
    completion(error);
}

void Registry::removeDomain(const Domain& domain, RemoveDomainMode mode, URLCompletion completion) {
    bool found = false;
    ErrorRef error = withRegistry(directory_, [&](json::object& registry) {
        auto& domains = arrayMember(registry, "domains");
        for (auto it = domains.begin(); it != domains.end(); ++it)
            if (it->is_object() && it->get_object().contains("identifier") &&
                it->get_object().at("identifier") == json::value(domain.identifier())) {
                domains.erase(it);
                found = true;
                return true;
            }
        return false;
    });
    if (error || !found) {
        completion(std::nullopt, error ? error : unknownDomain(domain));
        return;
    }
    std::error_code ec;
    std::optional<fs::path> preserved;
    fs::path root = domainDirectory(domain) / "root";
    if (mode != RemoveDomainMode::removeAll && fs::exists(root, ec) && !fs::is_empty(root, ec)) {
        fs::path target =
            directory_ / "preserved" /
            (domain.identifier() + " " +
             std::to_string(static_cast<long long>(foundation::Date::now().timeIntervalSince1970)));
        fs::create_directories(target.parent_path(), ec);
        fs::rename(root, target, ec);
        if (!ec)
            preserved = target;
    }
    fs::remove_all(domainDirectory(domain), ec);
    completion(preserved, nullptr);
}

void Registry::getDomains(DomainsCompletion completion) {
    std::vector<Domain> domains;
    ErrorRef error = withRegistry(directory_, [&](json::object& registry) {
        for (const auto& entry : arrayMember(registry, "domains")) {
            const json::object* d = entry.if_object();
            if (!d || !d->contains("identifier") || !d->at("identifier").is_string())
                continue;
            const json::value* name = d->if_contains("displayName");
            const json::value* enabled = d->if_contains("userEnabled");
            domains.emplace_back(std::string(d->at("identifier").get_string()),
                                 name && name->is_string() ? std::string(name->get_string()) : std::string(),
                                 !enabled || !enabled->is_bool() || enabled->get_bool());
        }
        return false;
    });
    completion(error ? std::vector<Domain>{} : domains, error);
}

bool Registry::hasManager(const Domain& domain) {
    bool found = false;
    withRegistry(directory_, [&](json::object& registry) {
        found = findDomain(registry, domain.identifier()) != nullptr;
        return false;
    });
    return found;
}

// Appends `entry` to the registry's list `key` when the domain is registered.
ErrorRef Registry::record(const Domain& domain, const char* key, json::object entry) {
    bool found = false;
    ErrorRef error = withRegistry(directory_, [&](json::object& registry) {
        found = findDomain(registry, domain.identifier()) != nullptr;
        if (found) {
            entry["domain"] = domain.identifier();
            entry["at"] = foundation::Date::now().timeIntervalSince1970;
            appendCapped(arrayMember(registry, key), std::move(entry));
        }
        return found;
    });
    return error ? error : found ? nullptr : unknownDomain(domain);
}

void Registry::signalEnumerator(const Domain& domain, const ItemIdentifier& container,
                                ErrorCompletion completion) {
    completion(record(domain, "signals", {{"container", container.rawValue()}}));
}

void Registry::signalErrorResolved(const Domain& domain, ErrorRef resolved, ErrorCompletion completion) {
    completion(record(
        domain, "resolved",
        {{"errorDomain", resolved ? resolved->domain() : ""}, {"code", resolved ? resolved->code() : 0}}));
}

void Registry::getUserVisibleURL(const Domain& domain, const ItemIdentifier& item, URLCompletion completion) {
    if (!hasManager(domain)) {
        completion(std::nullopt, unknownDomain(domain));
        return;
    }
    fs::path root = domainDirectory(domain) / "root";
    std::error_code ec;
    fs::create_directories(root, ec);
    completion(item == ItemIdentifier::rootContainer() ? root : root / item.rawValue(), nullptr);
}

std::optional<fs::path> Registry::temporaryDirectory(const Domain& domain, ErrorRef* error) {
    if (!hasManager(domain)) {
        if (error)
            *error = unknownDomain(domain);
        return std::nullopt;
    }
    return domainDirectory(domain) / "tmp";
}

std::shared_ptr<Enumerator> Registry::enumeratorForMaterializedItems(const Domain&) {
    return std::make_shared<EmptyEnumerator>();
}

} // namespace fileprovider
