#include "Fpctl.h"

#include "Printing.h"
#include "foundation/Dispatch.h"
#include "foundation/Files.h"
#include "foundation/URLSession.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <stdexcept>

namespace fpctl {

namespace fs = std::filesystem;
namespace json = boost::json;
using fileprovider::ItemIdentifier;
using foundation::ErrorRef;

namespace {

// How long fpctl waits for the extension to call back before it reports the command as unanswered.
constexpr std::chrono::seconds answerLimit{120};

// The first answer of a completion, shared with it: a completion that comes after fpctl stopped
// waiting finds its answer still there, and is ignored.
template <typename T> class Answer {
public:
    static std::shared_ptr<Answer> make() { return std::make_shared<Answer>(); }
    void set(T value) {
        std::lock_guard lock(mutex_);
        if (!value_)
            value_ = std::move(value);
        changed_.notify_all();
    }
    // The answer, or none when the extension did not call back in time.
    std::optional<T> wait() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, answerLimit, [&] { return value_.has_value(); });
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> value_;
};

// Waits for one call without arguments.
class Waiter {
public:
    void done() { answer_->set(true); }
    bool wait() { return answer_->wait().has_value(); }

private:
    std::shared_ptr<Answer<bool>> answer_ = Answer<bool>::make();
};

// Lets what the extension still does after its completion (completing progress, posting to the main
// queue) finish, so that the output shows the state the call left behind.
void settle() {
    foundation::URLSession::shared().callbackQueue().drain();
    foundation::DispatchQueue::main().drain();
}

std::string text(const json::object& command, const char* key) {
    const json::value* value = command.if_contains(key);
    if (!value || !value->is_string())
        throw std::invalid_argument(std::string("\"") + key + "\" must be a string");
    return std::string(value->get_string());
}

std::optional<std::string> optionalText(const json::object& command, const char* key) {
    const json::value* value = command.if_contains(key);
    if (!value || value->is_null())
        return std::nullopt;
    if (!value->is_string())
        throw std::invalid_argument(std::string("\"") + key + "\" must be a string");
    return std::string(value->get_string());
}

std::int64_t integer(const json::object& command, const char* key, std::int64_t fallback) {
    const json::value* value = command.if_contains(key);
    if (!value || value->is_null())
        return fallback;
    if (!value->is_int64())
        throw std::invalid_argument(std::string("\"") + key + "\" must be an integer");
    return value->get_int64();
}

// An item the system proposes: the fields a template or a modified item carries.
class ProposedItem : public fileprovider::Item {
public:
    ProposedItem(ItemIdentifier identifier, ItemIdentifier parent, std::string filename,
                 std::optional<foundation::UTType> type)
        : identifier_(std::move(identifier)), parent_(std::move(parent)), filename_(std::move(filename)),
          type_(std::move(type)) {}
    ItemIdentifier itemIdentifier() const override { return identifier_; }
    ItemIdentifier parentItemIdentifier() const override { return parent_; }
    std::string filename() const override { return filename_; }
    std::optional<foundation::UTType> contentType() const override { return type_; }

private:
    ItemIdentifier identifier_, parent_;
    std::string filename_;
    std::optional<foundation::UTType> type_;
};

// The observer side of a listing or change enumeration, as the calls arrive.
class RecordingObserver : public fileprovider::EnumerationObserver, public fileprovider::ChangeObserver {
public:
    void didEnumerateItems(std::vector<fileprovider::ItemRef> items) override {
        add(json::array{"didEnumerateItems", itemsJSON(items)}, false);
    }
    void finishEnumeratingUpToPage(std::optional<fileprovider::Page> page) override {
        add(json::array{"finishEnumeratingUpToPage", page ? bytesJSON(page->bytes) : json::value(nullptr)},
            true);
    }
    void didUpdateItems(std::vector<fileprovider::ItemRef> items) override {
        add(json::array{"didUpdateItems", itemsJSON(items)}, false);
    }
    void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) override {
        json::array ids;
        for (const auto& id : identifiers)
            ids.push_back(bytesJSON(id.rawValue()));
        add(json::array{"didDeleteItemsWithIdentifiers", std::move(ids)}, false);
    }
    void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor, bool moreComing) override {
        add(json::array{"finishEnumeratingChangesUpToSyncAnchor", anchorJSON(anchor.bytes), moreComing},
            true);
    }
    void finishEnumeratingWithError(ErrorRef error) override {
        add(json::array{"finishEnumeratingWithError", errorJSON(error)}, true);
    }

    json::array calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    Waiter finished;

private:
    void add(json::array call, bool finishing) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
        }
        if (finishing)
            finished.done();
    }
    std::mutex mutex_;
    json::array calls_;
};

// Serves pages of identifiers as the system's enumerator of materialized items, one call at a time.
class PageEnumerator : public fileprovider::Enumerator {
public:
    PageEnumerator(std::vector<std::vector<std::string>> pages, std::optional<std::size_t> failOnPage)
        : pages_(std::move(pages)), failOnPage_(failOnPage) {}
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                        fileprovider::Page page) override {
        static auto* queue = new foundation::DispatchQueue("fpctl.materialized"); // lives for the process
        queue->async([pages = pages_, failOnPage = failOnPage_, observer = std::move(observer), page] {
            std::size_t index = page.bytes.rfind("page ", 0) == 0 ? std::stoul(page.bytes.substr(5)) : 0;
            if (failOnPage && *failOnPage == index) {
                observer->finishEnumeratingWithError(foundation::Error::make(
                    foundation::NSFileProviderErrorDomain, fileprovider::pageExpired));
                return;
            }
            std::vector<fileprovider::ItemRef> items;
            if (index < pages.size())
                for (const auto& id : pages[index])
                    items.push_back(std::make_shared<ProposedItem>(
                        ItemIdentifier(id), ItemIdentifier::rootContainer(), id, std::nullopt));
            observer->didEnumerateItems(std::move(items));
            if (index + 1 < pages.size())
                observer->finishEnumeratingUpToPage(fileprovider::Page{"page " + std::to_string(index + 1)});
            else
                observer->finishEnumeratingUpToPage(std::nullopt);
        });
    }

private:
    std::vector<std::vector<std::string>> pages_;
    std::optional<std::size_t> failOnPage_;
};

fileprovider::ItemVersion versionFrom(const json::object& command) {
    fileprovider::ItemVersion version;
    if (const json::value* base = command.if_contains("baseVersion"); base && base->is_object()) {
        version.contentVersion = optionalText(base->get_object(), "contentVersion").value_or("");
        version.metadataVersion = optionalText(base->get_object(), "metadataVersion").value_or("");
    }
    return version;
}

const std::map<std::string, fileprovider::ItemFields>& fieldNames() {
    static const std::map<std::string, fileprovider::ItemFields> names = {
        {"contents", fileprovider::ItemFields::contents},
        {"filename", fileprovider::ItemFields::filename},
        {"parentItemIdentifier", fileprovider::ItemFields::parentItemIdentifier},
        {"lastUsedDate", fileprovider::ItemFields::lastUsedDate},
        {"tagData", fileprovider::ItemFields::tagData},
        {"favoriteRank", fileprovider::ItemFields::favoriteRank},
        {"creationDate", fileprovider::ItemFields::creationDate},
        {"contentModificationDate", fileprovider::ItemFields::contentModificationDate},
        {"fileSystemFlags", fileprovider::ItemFields::fileSystemFlags},
        {"extendedAttributes", fileprovider::ItemFields::extendedAttributes},
        {"typeAndCreator", fileprovider::ItemFields::typeAndCreator},
    };
    return names;
}

fileprovider::ItemFields fieldsFrom(const json::value* value) {
    if (!value)
        return {};
    if (value->is_int64())
        return fileprovider::ItemFields(static_cast<std::uint64_t>(value->get_int64()));
    if (!value->is_array())
        throw std::invalid_argument("\"changedFields\" must be a list of field names or an integer");
    fileprovider::ItemFields fields;
    for (const auto& name : value->get_array()) {
        auto it = name.is_string() ? fieldNames().find(std::string(name.get_string())) : fieldNames().end();
        if (it == fieldNames().end())
            throw std::invalid_argument("unknown field " + json::serialize(name));
        fields = fields | it->second;
    }
    return fields;
}

bool flag(const json::object& command, const char* key) {
    const json::value* value = command.if_contains(key);
    return value && value->is_bool() && value->get_bool();
}

std::optional<fs::path> contentsFrom(const json::object& command) {
    if (auto path = optionalText(command, "contents"))
        return fs::absolute(*path);
    return std::nullopt;
}

json::object writeResult(fileprovider::ItemRef item, fileprovider::ItemFields remaining, bool fetch,
                         ErrorRef error) {
    return {{"item", item ? json::value(itemJSON(*item)) : json::value(nullptr)},
            {"error", errorJSON(error)},
            {"remainingFields", remaining.rawValue},
            {"shouldFetchContent", fetch}};
}

} // namespace

PlayedSystem::PlayedSystem(fileprovider::Domain domain) : domain_(std::move(domain)) {}

fs::path PlayedSystem::domainDirectory() const {
    return foundation::fileProviderStateDirectory() / "domains" / domain_.identifier();
}

std::vector<std::string> PlayedSystem::takeSignals() {
    std::lock_guard lock(mutex_);
    return std::exchange(signals_, {});
}

void PlayedSystem::setMaterializedPages(std::vector<std::vector<std::string>> pages,
                                        std::optional<std::size_t> failOnPage) {
    std::lock_guard lock(mutex_);
    pages_ = std::move(pages);
    failOnPage_ = failOnPage;
}

namespace {
ErrorRef notServed() {
    return foundation::Error::make(
        foundation::NSFileProviderErrorDomain, fileprovider::providerNotFound,
        {{foundation::NSLocalizedDescriptionKey, "fpctl serves one domain and registers none"}});
}
} // namespace

void PlayedSystem::addDomain(const fileprovider::Domain&, fileprovider::ErrorCompletion completion) {
    completion(notServed());
}
void PlayedSystem::removeDomain(const fileprovider::Domain&, fileprovider::RemoveDomainMode,
                                fileprovider::URLCompletion completion) {
    completion(std::nullopt, notServed());
}
void PlayedSystem::getDomains(fileprovider::DomainsCompletion completion) {
    completion({domain_}, nullptr);
}

bool PlayedSystem::hasManager(const fileprovider::Domain& domain) {
    return domain.identifier() == domain_.identifier();
}

void PlayedSystem::signalEnumerator(const fileprovider::Domain&, const ItemIdentifier& container,
                                    fileprovider::ErrorCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        signals_.push_back(container.rawValue());
    }
    completion(nullptr);
}

void PlayedSystem::signalErrorResolved(const fileprovider::Domain&, ErrorRef,
                                       fileprovider::ErrorCompletion completion) {
    completion(nullptr);
}

void PlayedSystem::getUserVisibleURL(const fileprovider::Domain&, const ItemIdentifier&,
                                     fileprovider::URLCompletion completion) {
    completion(domainDirectory() / "root", nullptr);
}

std::optional<fs::path> PlayedSystem::temporaryDirectory(const fileprovider::Domain&, ErrorRef*) {
    return domainDirectory() / "tmp";
}

std::shared_ptr<fileprovider::Enumerator>
PlayedSystem::enumeratorForMaterializedItems(const fileprovider::Domain&) {
    std::lock_guard lock(mutex_);
    return std::make_shared<PageEnumerator>(pages_, failOnPage_);
}

Session::Session(std::unique_ptr<fpsystem::LoadedExtension> loaded, fileprovider::Domain domain)
    : loaded_(std::move(loaded)), domain_(std::move(domain)),
      system_(std::make_shared<PlayedSystem>(domain_)) {
    fileprovider::installSystem(system_);
    extension_ = loaded_->create(domain_);
}

Session::~Session() {
    // Let what the extension still has in flight finish before its module's objects go.
    foundation::URLSession::shared().callbackQueue().drain();
    foundation::DispatchQueue::main().drain();
    extension_.reset();
    std::error_code ec;
    for (const auto& file : fetched_)
        fs::remove(file, ec);
}

Output Session::run(const json::object& command) {
    std::string op = text(command, "op");
    system_->takeSignals();
    using Command = json::object (Session::*)(const json::object&);
    static const std::map<std::string, Command> commands = {
        {"info", &Session::info},
        {"item", &Session::item},
        {"enumerator", &Session::enumerator},
        {"list", &Session::list},
        {"anchor", &Session::anchor},
        {"changes", &Session::changes},
        {"fetch", &Session::fetch},
        {"fetchPartial", &Session::fetchPartial},
        {"create", &Session::create},
        {"modify", &Session::modify},
        {"delete", &Session::remove},
        {"materializedChanged", &Session::materializedChanged},
    };
    auto found = commands.find(op);
    if (found == commands.end())
        throw std::invalid_argument("unknown op \"" + op + "\"");
    json::object result = (this->*found->second)(command);
    settle(); // signals the extension sent from the main queue belong to this command
    json::object output{{"op", op}};
    for (auto& [key, value] : result)
        output[key] = value;
    json::array signals;
    for (auto& signal : system_->takeSignals())
        signals.push_back(bytesJSON(signal));
    output["signals"] = std::move(signals);
    return {output, describe(output)};
}

json::object Session::info(const json::object&) {
    const auto& manifest = loaded_->manifest();
    json::array groups;
    json::object containers;
    for (const auto& group : manifest.applicationGroups) {
        groups.emplace_back(group);
        auto container = foundation::appGroupContainer(group);
        containers[group] = container ? json::value(container->string()) : json::value(nullptr);
    }
    return {{"extension", fs::absolute(loaded_->module()).string()},
            {"bundleIdentifier", manifest.bundleIdentifier},
            {"applicationGroups", std::move(groups)},
            {"containers", std::move(containers)},
            {"domain", {{"identifier", domain_.identifier()}, {"displayName", domain_.displayName()}}}};
}

json::object Session::item(const json::object& command) {
    using Result = std::pair<fileprovider::ItemRef, ErrorRef>;
    auto answer = Answer<Result>::make();
    auto progress = extension_->item(ItemIdentifier(text(command, "id")), {},
                                     [answer](fileprovider::ItemRef item, ErrorRef error) {
                                         answer->set({std::move(item), std::move(error)});
                                     });
    auto result = answer->wait();
    settle();
    fileprovider::ItemRef found = result ? result->first : nullptr;
    return {{"item", found ? json::value(itemJSON(*found)) : json::value(nullptr)},
            {"error", result ? errorJSON(result->second) : unansweredJSON()},
            {"progress", progressJSON(*progress)}};
}

std::shared_ptr<fileprovider::Enumerator> Session::enumeratorFor(const std::string& container,
                                                                 ErrorRef& error) {
    try {
        return extension_->enumerator(ItemIdentifier(container), {});
    } catch (const foundation::ThrownError& thrown) {
        error = thrown.error();
        return nullptr;
    }
}

json::object Session::enumerator(const json::object& command) {
    ErrorRef error;
    enumeratorFor(text(command, "container"), error);
    return {{"error", errorJSON(error)}};
}

json::object Session::list(const json::object& command) {
    ErrorRef error;
    auto enumerator = enumeratorFor(text(command, "container"), error);
    if (!enumerator)
        return {{"calls", json::array{}}, {"error", errorJSON(error)}};
    auto observer = std::make_shared<RecordingObserver>();
    fileprovider::Page page = fileprovider::Page::initialPageSortedByName();
    if (auto given = optionalText(command, "page"))
        page = fileprovider::Page{*given};
    enumerator->enumerateItems(observer, page);
    bool answered = observer->finished.wait();
    json::object out{{"calls", observer->calls()}};
    if (!answered)
        out["error"] = unansweredJSON();
    return out;
}

json::object Session::anchor(const json::object& command) {
    ErrorRef error;
    auto enumerator = enumeratorFor(text(command, "container"), error);
    if (!enumerator)
        return {{"anchor", nullptr}, {"error", errorJSON(error)}};
    auto answer = Answer<std::optional<fileprovider::SyncAnchor>>::make();
    enumerator->currentSyncAnchor(
        [answer](std::optional<fileprovider::SyncAnchor> given) { answer->set(std::move(given)); });
    auto anchor = answer->wait().value_or(std::nullopt);
    json::object out;
    if (anchor && !isText(anchor->bytes))
        out["anchorBase64"] = base64(anchor->bytes);
    else
        out["anchor"] = anchor ? json::value(anchor->bytes) : json::value(nullptr);
    return out;
}

json::object Session::changes(const json::object& command) {
    ErrorRef error;
    auto enumerator = enumeratorFor(text(command, "container"), error);
    if (!enumerator)
        return {{"calls", json::array{}}, {"error", errorJSON(error)}};
    std::string anchor;
    if (auto encoded = optionalText(command, "anchorBase64")) {
        auto decoded = unbase64(*encoded);
        if (!decoded)
            throw std::invalid_argument("\"anchorBase64\" is not base64");
        anchor = *decoded;
    } else {
        anchor = text(command, "anchor");
    }
    auto observer = std::make_shared<RecordingObserver>();
    enumerator->enumerateChanges(observer, fileprovider::SyncAnchor{anchor});
    bool answered = observer->finished.wait();
    json::object out{{"calls", observer->calls()}};
    if (!answered)
        out["error"] = unansweredJSON();
    return out;
}

json::object Session::fetch(const json::object& command) {
    using Result = std::tuple<std::optional<fs::path>, fileprovider::ItemRef, ErrorRef>;
    auto answer = Answer<Result>::make();
    auto progress = extension_->fetchContents(
        ItemIdentifier(text(command, "id")), std::nullopt, {},
        [answer](std::optional<fs::path> f, fileprovider::ItemRef item, ErrorRef e) {
            answer->set({std::move(f), std::move(item), std::move(e)});
        });
    auto result = answer->wait();
    settle();
    bool answered = result.has_value();
    auto [file, found, error] = result.value_or(Result{});
    if (file) {
        fetched_.push_back(*file);
        if (auto out = optionalText(command, "out")) {
            std::error_code ec;
            fs::copy_file(*file, *out, fs::copy_options::overwrite_existing, ec);
            if (ec)
                throw std::runtime_error("cannot copy to " + *out + ": " + ec.message());
        }
    }
    return {{"file", file ? json::value(file->string()) : json::value(nullptr)},
            {"item", found ? json::value(itemJSON(*found)) : json::value(nullptr)},
            {"error", answered ? errorJSON(error) : unansweredJSON()},
            {"progress", progressJSON(*progress)}};
}

json::object Session::fetchPartial(const json::object& command) {
    auto* partial = dynamic_cast<fileprovider::PartialContentFetching*>(extension_.get());
    if (!partial)
        throw std::invalid_argument("the extension does not fetch partial contents");
    using Result = std::tuple<std::optional<fs::path>, fileprovider::ItemRef, fileprovider::Range,
                              fileprovider::MaterializationFlags, ErrorRef>;
    auto answer = Answer<Result>::make();
    fileprovider::Range wanted{integer(command, "offset", 0), integer(command, "length", 0)};
    auto progress = partial->fetchPartialContents(
        ItemIdentifier(text(command, "id")), std::nullopt, {}, wanted,
        static_cast<std::size_t>(integer(command, "alignment", 1)), {},
        [answer](std::optional<fs::path> f, fileprovider::ItemRef item, fileprovider::Range r,
                 fileprovider::MaterializationFlags m, ErrorRef e) {
            answer->set({std::move(f), std::move(item), r, m, std::move(e)});
        });
    auto result = answer->wait();
    settle();
    bool answered = result.has_value();
    auto [file, found, range, flags, error] = result.value_or(Result{});
    if (file)
        fetched_.push_back(*file);
    return {{"file", file ? json::value(file->string()) : json::value(nullptr)},
            {"item", found ? json::value(itemJSON(*found)) : json::value(nullptr)},
            {"range", json::array{range.location, range.length}},
            {"flags", flags.rawValue},
            {"error", answered ? errorJSON(error) : unansweredJSON()},
            {"progress", progressJSON(*progress)}};
}

json::object Session::create(const json::object& command) {
    std::string type = optionalText(command, "contentType").value_or("public.data");
    auto proposed = std::make_shared<ProposedItem>(ItemIdentifier(), ItemIdentifier(text(command, "parent")),
                                                   text(command, "filename"), foundation::UTType(type));
    fileprovider::CreateItemOptions options;
    if (flag(command, "mayAlreadyExist"))
        options = fileprovider::CreateItemOptions::mayAlreadyExist;
    return reportWrite([&](fileprovider::ReplicatedExtension::WriteCompletion completion) {
        return extension_->createItem(proposed, fileprovider::ItemFields(0x7ff), contentsFrom(command),
                                      options, {}, std::move(completion));
    });
}

json::object Session::reportWrite(
    const std::function<fileprovider::ProgressRef(fileprovider::ReplicatedExtension::WriteCompletion)>&
        call) {
    auto answer = Answer<json::object>::make();
    auto progress = call(
        [answer](fileprovider::ItemRef item, fileprovider::ItemFields remaining, bool fetch, ErrorRef error) {
            answer->set(writeResult(std::move(item), remaining, fetch, std::move(error)));
        });
    json::object out = answer->wait().value_or(json::object{{"item", nullptr}, {"error", unansweredJSON()}});
    settle();
    out["progress"] = progressJSON(*progress);
    return out;
}

json::object Session::modify(const json::object& command) {
    const json::value* given = command.if_contains("item");
    if (!given || !given->is_object())
        throw std::invalid_argument("\"item\" must be an object");
    const json::object& fields = given->get_object();
    std::optional<foundation::UTType> type;
    if (auto name = optionalText(fields, "contentType"))
        type = foundation::UTType(*name);
    auto proposed = std::make_shared<ProposedItem>(ItemIdentifier(text(fields, "itemIdentifier")),
                                                   ItemIdentifier(text(fields, "parentItemIdentifier")),
                                                   text(fields, "filename"), type);
    return reportWrite([&](fileprovider::ReplicatedExtension::WriteCompletion completion) {
        return extension_->modifyItem(proposed, versionFrom(command),
                                      fieldsFrom(command.if_contains("changedFields")), contentsFrom(command),
                                      {}, {}, std::move(completion));
    });
}

json::object Session::remove(const json::object& command) {
    fileprovider::DeleteItemOptions options;
    if (flag(command, "recursive"))
        options = fileprovider::DeleteItemOptions::recursive;
    auto answer = Answer<ErrorRef>::make();
    auto progress = extension_->deleteItem(ItemIdentifier(text(command, "id")), versionFrom(command), options,
                                           {}, [answer](ErrorRef error) { answer->set(std::move(error)); });
    auto error = answer->wait();
    settle();
    return {{"error", error ? errorJSON(*error) : unansweredJSON()}, {"progress", progressJSON(*progress)}};
}

json::object Session::materializedChanged(const json::object& command) {
    std::vector<std::vector<std::string>> pages;
    if (const json::value* given = command.if_contains("pages"); given && given->is_array()) {
        for (const auto& page : given->get_array()) {
            if (!page.is_array())
                throw std::invalid_argument("\"pages\" must be a list of lists of identifiers");
            std::vector<std::string> ids;
            for (const auto& id : page.get_array()) {
                if (!id.is_string())
                    throw std::invalid_argument("\"pages\" must be a list of lists of identifiers");
                ids.emplace_back(id.get_string());
            }
            pages.push_back(std::move(ids));
        }
    }
    std::optional<std::size_t> failOn;
    if (command.contains("failOnPage"))
        failOn = static_cast<std::size_t>(integer(command, "failOnPage", 0));
    system_->setMaterializedPages(std::move(pages), failOn);
    auto answer = Answer<bool>::make();
    extension_->materializedItemsDidChange([answer] { answer->set(true); });
    return {{"completed", answer->wait().has_value()}};
}

} // namespace fpctl
