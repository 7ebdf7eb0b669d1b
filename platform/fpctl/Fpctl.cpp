#include "Fpctl.h"

#include "Arguments.h"
#include "Errors.h"
#include "Printing.h"
#include "foundation/Dispatch.h"
#include "foundation/Files.h"
#include "foundation/URLSession.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fpctl {

namespace fs = std::filesystem;
namespace json = boost::json;
using fileprovider::ItemIdentifier;
using foundation::ErrorRef;

namespace {

using Clock = std::chrono::steady_clock;

// How long fpctl waits for the extension to call back before it reports the command as unanswered.
constexpr std::chrono::seconds answerLimit{120};
// How often a wait with a tick calls it.
constexpr std::chrono::milliseconds tickInterval{100};

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
    // The answer, or none when the extension did not call back in time or `tick` said to stop waiting.
    // `tick` runs at once and then every tickInterval, without the lock.
    std::optional<T> wait(const std::function<bool()>& tick = {}) {
        auto deadline = Clock::now() + answerLimit;
        std::unique_lock lock(mutex_);
        while (!value_) {
            if (tick) {
                lock.unlock();
                bool goOn = tick();
                lock.lock();
                if (!goOn)
                    break;
            }
            auto now = Clock::now();
            if (now >= deadline)
                break;
            changed_.wait_until(lock, tick ? std::min(deadline, now + tickInterval) : deadline,
                                [&] { return value_.has_value(); });
        }
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
    bool wait(const std::function<bool()>& tick = {}) { return answer_->wait(tick).has_value(); }

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

fileprovider::ItemVersion versionFrom(const json::object& base) {
    return {optionalText(base, "contentVersion").value_or(""),
            optionalText(base, "metadataVersion").value_or("")};
}

json::object versionJSON(const fileprovider::ItemVersion& version) {
    return {{"contentVersion", bytesJSON(version.contentVersion)},
            {"metadataVersion", bytesJSON(version.metadataVersion)}};
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
        auto it =
            name.is_string() ? itemFieldNames().find(std::string(name.get_string())) : itemFieldNames().end();
        if (it == itemFieldNames().end())
            throw std::invalid_argument("unknown field " + json::serialize(name) +
                                        "; the fields are: " + itemFieldList());
        fields = fields | fileprovider::ItemFields(it->second);
    }
    return fields;
}

ErrorRef fpctlError(std::int64_t code, const std::string& description, ErrorRef underlying = nullptr) {
    foundation::UserInfo info{{foundation::NSLocalizedDescriptionKey, description}};
    if (underlying)
        info.emplace(foundation::NSUnderlyingErrorKey, std::move(underlying));
    return foundation::Error::make(fpctlErrorDomain, code, std::move(info));
}

mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    mode_t mask = ::umask(022); // no /proc: the only other way to read it is to set it
    ::umask(mask);
    return mask;
}

// Renames within one file system, never over an existing file unless `force`; 0 or the errno.
int renameInPlace(const fs::path& from, const fs::path& to, bool force) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), force ? 0 : RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL || force)
        return errno;
    // A file system without RENAME_NOREPLACE: a hard link never replaces anything either.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// A copy of `from` beside `to`, with `mode`; none and the errno when it cannot be made whole.
std::optional<fs::path> copyBeside(const fs::path& from, const fs::path& to, mode_t mode, int& why) {
    fs::path directory = to.has_parent_path() ? to.parent_path() : fs::path(".");
    auto temporary = foundation::createTemporaryFile(directory, ".fpctl-");
    if (!temporary) {
        why = errno ? errno : EIO;
        return std::nullopt;
    }
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(1 << 20);
    bool whole = in >= 0;
    while (whole) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            whole = n == 0;
            break;
        }
        whole =
            foundation::writeAll(temporary->fd, std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    why = errno ? errno : EIO;
    if (in >= 0)
        ::close(in);
    whole = whole && ::fchmod(temporary->fd, mode) == 0;
    whole = ::close(temporary->fd) == 0 && whole;
    if (!whole) {
        ::unlink(temporary->path.c_str());
        return std::nullopt;
    }
    return temporary->path;
}

// Puts the file the extension handed over at `to`, with the mode a new file of the system's has (0644
// under the umask): moved when both are on one file system, else copied beside `to` and renamed.
ErrorRef placeFetched(const fs::path& from, const fs::path& to, bool force) {
    mode_t mode = 0644 & ~currentUmask();
    auto failed = [&](int why) {
        if (why == EEXIST)
            return fpctlError(outputExists, to.string() + " exists");
        return fpctlError(outputFailed, "cannot write " + to.string() + ": " + std::strerror(why));
    };
    if (::chmod(from.c_str(), mode) != 0)
        return failed(errno);
    int why = renameInPlace(from, to, force);
    if (why != EXDEV)
        return why ? failed(why) : nullptr;
    auto copy = copyBeside(from, to, mode, why);
    if (!copy)
        return failed(why);
    why = renameInPlace(*copy, to, force);
    if (why)
        ::unlink(copy->c_str());
    return why ? failed(why) : nullptr;
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

std::uint64_t PlayedSystem::signalCount() {
    std::lock_guard lock(mutex_);
    return signalCount_;
}

bool PlayedSystem::waitForSignal(std::uint64_t seen, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return signalled_.wait_for(lock, limit, [&] { return signalCount_ > seen; });
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
        ++signalCount_;
    }
    signalled_.notify_all();
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

json::object Session::run(const json::object& command) {
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
    return finished(std::move(output), flag(command, "recursive"));
}

// The output with the signals the command sent, and a hint for the error it reports.
json::object Session::finished(json::object output, bool recursive) {
    if (const json::value* error = reportedError(output); error && !output.contains("hint")) {
        HintContext context{std::string(output.at("op").as_string()), recursive, {}};
        for (const auto& group : loaded_->manifest().applicationGroups)
            if (auto container = foundation::appGroupContainer(group))
                context.connectionFiles.push_back(*container / "fphost.json");
        if (auto hint = hintFor(*error, context))
            output["hint"] = *hint;
    }
    json::array signals;
    for (auto& signal : system_->takeSignals())
        signals.push_back(bytesJSON(signal));
    output["signals"] = std::move(signals);
    return output;
}

std::function<bool()> Session::progressTick(const std::string& label,
                                            const fileprovider::ProgressRef& progress) {
    if (!display_)
        return {};
    return [display = display_, label, progress, start = Clock::now()] {
        display->update(label, progress->fractionCompleted(), Clock::now() - start);
        return true;
    };
}

void Session::finishProgress() {
    if (display_)
        display_->finish();
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

std::pair<fileprovider::ItemRef, ErrorRef> Session::lookUp(const ItemIdentifier& id) {
    using Result = std::pair<fileprovider::ItemRef, ErrorRef>;
    auto answer = Answer<Result>::make();
    extension_->item(id, {}, [answer](fileprovider::ItemRef item, ErrorRef error) {
        answer->set({std::move(item), std::move(error)});
    });
    auto result = answer->wait();
    settle();
    if (!result)
        return {nullptr, fpctlError(unanswered, "the extension did not call back in time")};
    if (!result->first && !result->second)
        return {nullptr,
                foundation::Error::make(foundation::NSFileProviderErrorDomain, fileprovider::noSuchItem)};
    return *result;
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

std::optional<fileprovider::SyncAnchor> Session::currentAnchor(fileprovider::Enumerator& enumerator,
                                                               const std::function<bool()>& tick) {
    auto answer = Answer<std::optional<fileprovider::SyncAnchor>>::make();
    enumerator.currentSyncAnchor(
        [answer](std::optional<fileprovider::SyncAnchor> given) { answer->set(std::move(given)); });
    return answer->wait(tick).value_or(std::nullopt);
}

json::object Session::anchor(const json::object& command) {
    ErrorRef error;
    auto enumerator = enumeratorFor(text(command, "container"), error);
    if (!enumerator)
        return {{"anchor", nullptr}, {"error", errorJSON(error)}};
    auto anchor = currentAnchor(*enumerator);
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
    std::string id = text(command, "id");
    auto out = optionalText(command, "out");
    bool force = flag(command, "force");
    std::error_code ec;
    if (out && !force && fs::symlink_status(*out, ec).type() != fs::file_type::not_found)
        return {{"file", nullptr},
                {"item", nullptr},
                {"error", errorJSON(fpctlError(outputExists, *out + " exists"))}};
    using Result = std::tuple<std::optional<fs::path>, fileprovider::ItemRef, ErrorRef>;
    auto answer = Answer<Result>::make();
    auto progress = extension_->fetchContents(
        ItemIdentifier(id), std::nullopt, {},
        [answer](std::optional<fs::path> f, fileprovider::ItemRef item, ErrorRef e) {
            answer->set({std::move(f), std::move(item), std::move(e)});
        });
    auto result = answer->wait(progressTick("fetch " + id, progress));
    finishProgress();
    settle();
    bool answered = result.has_value();
    auto [file, found, error] = result.value_or(Result{});
    json::value shown = nullptr;
    if (file && out) {
        error = placeFetched(*file, *out, force);
        if (error)
            fetched_.push_back(*file);
        else
            shown = *out;
    } else if (file) {
        fetched_.push_back(*file);
        shown = file->string();
    }
    return {{"file", std::move(shown)},
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
    auto result = answer->wait(progressTick("fetch " + text(command, "id"), progress));
    finishProgress();
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
    auto contents = contentsFrom(command);
    return reportWrite(
        [&](fileprovider::ReplicatedExtension::WriteCompletion completion) {
            return extension_->createItem(proposed, fileprovider::ItemFields(0x7ff), contents, options, {},
                                          std::move(completion));
        },
        contents ? std::optional("upload " + proposed->filename()) : std::nullopt);
}

json::object Session::reportWrite(
    const std::function<fileprovider::ProgressRef(fileprovider::ReplicatedExtension::WriteCompletion)>& call,
    const std::optional<std::string>& label) {
    auto answer = Answer<json::object>::make();
    auto progress = call(
        [answer](fileprovider::ItemRef item, fileprovider::ItemFields remaining, bool fetch, ErrorRef error) {
            answer->set(writeResult(std::move(item), remaining, fetch, std::move(error)));
        });
    json::object out = answer->wait(label ? progressTick(*label, progress) : std::function<bool()>())
                           .value_or(json::object{{"item", nullptr}, {"error", unansweredJSON()}});
    finishProgress();
    settle();
    out["progress"] = progressJSON(*progress);
    return out;
}

json::object Session::modify(const json::object& command) {
    const json::value* given = command.if_contains("item");
    if (!given || !given->is_object())
        throw std::invalid_argument("\"item\" must be an object");
    const json::object& fields = given->get_object();
    ItemIdentifier id(text(fields, "itemIdentifier"));
    auto parent = optionalText(fields, "parentItemIdentifier");
    auto filename = optionalText(fields, "filename");
    auto typeName = optionalText(fields, "contentType");
    const json::value* base = command.if_contains("baseVersion");
    if (base && !base->is_object())
        throw std::invalid_argument("\"baseVersion\" must be an object");
    auto changed = fieldsFrom(command.if_contains("changedFields"));
    // The system always sends a whole item and its base: what is not given is the item's as it is now.
    fileprovider::ItemRef current;
    if (!base || !parent || !filename) {
        auto [item, error] = lookUp(id);
        if (!item)
            return {{"item", nullptr},
                    {"error", errorJSON(fpctlError(lookupFailed, "cannot look up " + id.rawValue(), error))}};
        current = item;
    }
    fileprovider::ItemVersion version = base ? versionFrom(base->get_object()) : current->itemVersion();
    std::optional<foundation::UTType> type;
    if (typeName)
        type = foundation::UTType(*typeName);
    else if (current)
        type = current->contentType();
    auto proposed =
        std::make_shared<ProposedItem>(id, parent ? ItemIdentifier(*parent) : current->parentItemIdentifier(),
                                       filename ? *filename : current->filename(), type);
    auto contents = contentsFrom(command);
    json::object out = reportWrite(
        [&](fileprovider::ReplicatedExtension::WriteCompletion completion) {
            return extension_->modifyItem(proposed, version, changed, contents, {}, {},
                                          std::move(completion));
        },
        contents ? std::optional("upload " + id.rawValue()) : std::nullopt);
    out["baseVersion"] = versionJSON(version);
    return out;
}

json::object Session::remove(const json::object& command) {
    ItemIdentifier id(text(command, "id"));
    fileprovider::DeleteItemOptions options;
    if (flag(command, "recursive"))
        options = fileprovider::DeleteItemOptions::recursive;
    fileprovider::ItemVersion version;
    if (const json::value* base = command.if_contains("baseVersion")) {
        if (!base->is_object())
            throw std::invalid_argument("\"baseVersion\" must be an object");
        version = versionFrom(base->get_object());
    } else {
        auto [item, error] = lookUp(id);
        if (!item)
            return {{"error", errorJSON(fpctlError(lookupFailed, "cannot look up " + id.rawValue(), error))}};
        version = item->itemVersion();
    }
    auto answer = Answer<ErrorRef>::make();
    auto progress = extension_->deleteItem(id, version, options, {},
                                           [answer](ErrorRef error) { answer->set(std::move(error)); });
    auto error = answer->wait();
    settle();
    return {{"error", error ? errorJSON(*error) : unansweredJSON()},
            {"baseVersion", versionJSON(version)},
            {"progress", progressJSON(*progress)}};
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

bool Session::watch(const json::object& command, const std::function<void(const json::object&)>& emit,
                    const std::atomic<bool>& stop) {
    std::string container = text(command, "container");
    const json::value* given = command.if_contains("interval");
    auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(given && given->is_number() ? given->to_number<double>() : 2.0));
    auto report = [&](const json::object& fields) {
        json::object output{{"op", "watch"}, {"container", bytesJSON(container)}};
        for (const auto& [key, value] : fields)
            output[key] = value;
        emit(finished(std::move(output)));
    };
    ErrorRef error;
    auto enumerator = enumeratorFor(container, error);
    if (!enumerator) {
        report({{"error", errorJSON(error)}});
        return false;
    }
    auto goOn = [&] { return !stop.load(); };
    // Until the next signal, the interval's end or the stop, whichever comes first.
    auto pause = [&](std::uint64_t seen) {
        for (auto end = Clock::now() + interval; goOn() && Clock::now() < end;)
            if (system_->waitForSignal(
                    seen, std::min(tickInterval, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     end - Clock::now()))))
                break;
    };
    std::optional<fileprovider::SyncAnchor> anchor;
    std::string lastProblem; // said once until it changes
    while (goOn()) {
        if (!anchor) {
            anchor = currentAnchor(*enumerator, goOn);
            settle();
            if (!goOn())
                break;
            if (anchor)
                report({{"anchor", anchorJSON(anchor->bytes)}});
            else if (lastProblem != "no anchor")
                report({{"anchor", nullptr}});
            lastProblem = anchor ? "" : "no anchor";
        }
        for (bool more = anchor.has_value(); more && goOn();) {
            auto observer = std::make_shared<RecordingObserver>();
            enumerator->enumerateChanges(observer, *anchor);
            bool answered = observer->finished.wait(goOn);
            settle();
            if (!answered) {
                if (goOn())
                    report({{"anchor", anchorJSON(anchor->bytes)}, {"error", unansweredJSON()}});
                break;
            }
            json::array calls = observer->calls();
            const json::array& last = calls.back().as_array();
            if (last.at(0) == json::value("finishEnumeratingWithError")) {
                // The same failure again (the host still down) is said once; its wording may vary.
                const json::object* failure = last.at(1).if_object();
                std::string problem =
                    failure ? json::serialize(failure->at("domain")) + json::serialize(failure->at("code"))
                            : "error";
                if (problem != lastProblem)
                    report({{"anchor", anchorJSON(anchor->bytes)}, {"calls", calls}});
                lastProblem = problem;
                if (failure && failure->at("code") ==
                                   json::value(static_cast<std::int64_t>(fileprovider::syncAnchorExpired)))
                    anchor.reset(); // as the system does: start again from the current anchor
                break;
            }
            lastProblem.clear();
            fileprovider::SyncAnchor next{anchor->bytes};
            if (const auto* text = last.at(1).if_string())
                next.bytes = std::string(*text);
            else if (auto decoded =
                         unbase64(std::string(last.at(1).as_object().at("anchorBase64").as_string())))
                next.bytes = *decoded;
            more = last.at(2).as_bool();
            if (calls.size() > 1 || next != *anchor)
                report({{"anchor", anchorJSON(anchor->bytes)}, {"calls", std::move(calls)}});
            anchor = next;
        }
        pause(system_->signalCount());
    }
    return true;
}

} // namespace fpctl
