#include "Store.h"

#include "KeptLocal.h"
#include "foundation/Files.h"
#include "host/HostConfig.h"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <sys/stat.h>

namespace wl::kept {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

struct Cache {
    std::optional<FileIdentity> identity; // none: the cached state is "no file"
    bool valid = false;
    StateRef state = std::make_shared<const State>();
};

Cache& cache() {
    static auto* instance = new Cache(); // lives for the process, like the lock
    return *instance;
}

bool migrated = false;
// The store's place does not move while the process runs (tests move it only with resetForTesting).
bool located = false;
std::optional<fs::path> location;

State parse(const std::optional<std::string>& bytes) {
    State state;
    if (!bytes)
        return state;
    json::error_code ec;
    json::value document = json::parse(*bytes, ec);
    if (ec || !document.is_object())
        return state;
    state.json = std::move(document.get_object());
    if (auto ids = jsonArrayOfStrings(state.json, "ids"))
        for (auto& id : *ids)
            state.ids.insert(precomposed(id));
    if (auto pending = jsonArrayOfStrings(state.json, "pending"))
        for (auto& id : *pending) {
            std::string composed = precomposed(id);
            if (std::find(state.pending.begin(), state.pending.end(), composed) == state.pending.end())
                state.pending.push_back(std::move(composed));
        }
    state.gen = jsonIntegral(state.json, "gen").value_or(0);
    return state;
}

void migrateLocked(const fs::path& store) {
    migrated = true; // one attempt per process, whatever happens below
    std::error_code ec;
    if (wlAppGroup() != wlMasGroup || fs::exists(store, ec))
        return;
    auto legacy = foundation::appGroupContainer(wlLegacyAppGroup);
    if (!legacy)
        return;
    if (auto bytes = foundation::readFile(*legacy / "fp-kept.json"))
        foundation::writeAtomically(store, *bytes);
}

} // namespace

std::mutex& lock() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

bool isASCII(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isSystemIdentifier(const std::string& identifier) {
    return fileprovider::ItemIdentifier(identifier).isSystemIdentifier();
}

const std::optional<fs::path>& fileURLLocked() {
    static const std::optional<fs::path> nowhere;
    if (located)
        return location;
    if (KeptLocal::testDirectory) {
        located = true;
        location = *KeptLocal::testDirectory / "fp-kept.json";
        return location;
    }
    auto container = foundation::appGroupContainer(wlAppGroup());
    if (!container)
        return nowhere; // asked again next time: the container may appear
    fs::path store = *container / "fp-kept.json";
    if (!migrated)
        migrateLocked(store);
    located = true;
    location = store;
    return location;
}

StateRef readLocked() {
    Cache& c = cache();
    const auto& path = fileURLLocked();
    if (!path) {
        c = Cache{};
        return c.state;
    }
    auto identity = identityOf(*path);
    if (c.valid && c.identity.has_value() == identity.has_value() && (!identity || *c.identity == *identity))
        return c.state;
    c.identity = identity;
    c.state = std::make_shared<const State>(identity ? parse(foundation::readFile(*path)) : State{});
    c.valid = true;
    return c.state;
}

std::vector<std::string> sortedIDs(const std::unordered_set<std::string>& ids) {
    std::vector<std::string> sorted(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

void writeLocked(const State& state) {
    const auto& path = fileURLLocked();
    if (!path)
        return;
    json::object object = state.json;
    json::array ids;
    for (auto& id : sortedIDs(state.ids))
        ids.emplace_back(id);
    json::array pending(state.pending.begin(), state.pending.end());
    object["ids"] = std::move(ids);
    object["pending"] = std::move(pending);
    object["gen"] = state.gen;
    std::uint64_t inode = 0;
    if (foundation::writeAtomically(*path, json::serialize(object), &inode))
        return; // the old file stays, and so does the cache that describes it
    Cache& c = cache();
    c.identity = identityOf(*path);
    // Another process may have replaced our file already; then only a fresh read tells the truth.
    c.valid = c.identity && c.identity->inode == inode;
    if (c.valid) {
        auto written = std::make_shared<State>(state);
        written->json = std::move(object);
        c.state = std::move(written);
    }
}

void resetLocked() {
    cache() = Cache{};
    migrated = false;
    located = false;
    location.reset();
}

} // namespace wl::kept
