#include "Registry.h"

#include "foundation/Date.h"
#include "foundation/Files.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

ErrorRef unreadableRegistry(const fs::path& file, const std::string& why) {
    return Error::make(foundation::NSCocoaErrorDomain, 259, // NSFileReadCorruptFileError
                       {{foundation::NSLocalizedDescriptionKey, "The domain registry " + file.string() +
                                                                    " is left as it is: " + why +
                                                                    ". Repair it or move it away."}});
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
    // Only an absent (or empty) file is an empty registry: one that cannot be read or parsed is left
    // as it is, never replaced by what a change would make of nothing.
    json::object registry;
    fs::path file = directory / "domains.json";
    ErrorRef error;
    if (fs::exists(fs::symlink_status(file, ec))) {
        auto bytes = foundation::readFile(file);
        json::error_code parseError;
        json::value parsed;
        if (bytes && !bytes->empty())
            parsed = json::parse(*bytes, parseError);
        if (!bytes)
            error = unreadableRegistry(file, "it cannot be read");
        else if (!bytes->empty() && (parseError || !parsed.is_object()))
            error = unreadableRegistry(file, "it is not a JSON object");
        else if (!bytes->empty())
            registry = std::move(parsed.get_object());
    }
    if (error) {
        ::flock(lock, LOCK_UN);
        ::close(lock);
        return error;
    }
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
    std::optional<fs::path> preserved;
    ErrorRef preservation;
    fs::path root = domainDirectory(domain) / "root";
    // Moves the domain's folder under preserved/, named after the domain and the time, with a number
    // when that name is taken: each name is claimed with mkdir, which no other remover can claim too.
    auto preserve = [&]() -> std::optional<fs::path> {
        std::error_code ec;
        fs::create_directories(directory_ / "preserved", ec);
        std::string stem =
            domain.identifier() + " " +
            std::to_string(static_cast<long long>(foundation::Date::now().timeIntervalSince1970));
        int failure = 0;
        for (int n = 1; n <= 1000 && failure == 0; ++n) {
            fs::path target = directory_ / "preserved" / (n == 1 ? stem : stem + " " + std::to_string(n));
            if (::mkdir(target.c_str(), 0700) != 0) {
                failure = errno == EEXIST ? 0 : errno;
                continue;
            }
            if (::rename(root.c_str(), target.c_str()) == 0) // onto the empty folder just claimed
                return target;
            failure = errno;
            ::rmdir(target.c_str());
        }
        preservation = storageError("the folder of \"" + domain.identifier() + "\" cannot be preserved (" +
                                    std::strerror(failure ? failure : EEXIST) + "); nothing was removed");
        return std::nullopt;
    };
    // Under the registry's lock: the domain leaves the registry only once what must be kept is kept.
    ErrorRef error = withRegistry(directory_, [&](json::object& registry) {
        auto& domains = arrayMember(registry, "domains");
        auto it = std::find_if(domains.begin(), domains.end(), [&](const json::value& entry) {
            return entry.is_object() && entry.get_object().contains("identifier") &&
                   entry.get_object().at("identifier") == json::value(domain.identifier());
        });
        if (it == domains.end())
            return false;
        found = true;
        std::error_code ec;
        if (mode != RemoveDomainMode::removeAll && fs::exists(root, ec) && !fs::is_empty(root, ec)) {
            preserved = preserve();
            if (!preserved)
                return false; // nothing is removed, and the domain stays
        }
        domains.erase(it);
        return true;
    });
    if (!error && preservation)
        error = preservation;
    if (error || !found) {
        completion(preserved, error ? error : unknownDomain(domain)); // where the data went, if it moved
        return;
    }
    std::error_code ec;
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
