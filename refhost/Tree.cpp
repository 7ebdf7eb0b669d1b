#include "Tree.h"

#include "Json.h"
#include "foundation/Files.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

namespace refhost {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* uploadPrefix = ".wl-upload-";
constexpr const char* stateFileName = "refhost-state.json";
constexpr std::uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

std::string parentOf(const std::string& key) {
    auto slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

std::string nameOf(const std::string& key) {
    auto slash = key.rfind('/');
    return slash == std::string::npos ? key : key.substr(slash + 1);
}

std::string join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

bool atOrBelow(const std::string& key, const std::string& top) {
    if (top.empty())
        return true;
    return key == top ||
           (key.size() > top.size() && key.compare(0, top.size(), top) == 0 && key[top.size()] == '/');
}

} // namespace

// Composed form of a name; none for bytes that are not UTF-8, which no record could carry.
std::optional<std::string> composedName(const std::string& text) {
    utf8proc_uint8_t* composed = nullptr;
    utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
        &composed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0)
        return std::nullopt;
    std::string result(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
    std::free(composed);
    return result;
}

std::optional<std::string> Tree::keyOf(const std::string& identifier) {
    if (identifier == rootIdentifier)
        return std::string();
    if (identifier.empty() || identifier.find('\0') != std::string::npos || identifier.front() == '/' ||
        identifier.back() == '/')
        return std::nullopt;
    std::size_t start = 0;
    for (;;) {
        auto slash = identifier.find('/', start);
        std::string segment =
            identifier.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (segment.empty() || segment == "." || segment == "..")
            return std::nullopt;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return composedName(identifier);
}

Tree::Tree(Options options) : options_(std::move(options)) {
    options_.root = fs::absolute(options_.root);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::lock_guard lock(mutex_);
    loadState();
    Node& root = nodes_[""];
    root.isDir = true;
    root.deleted = false;
    watchLocked("");
    scanDirectoryLocked("", true);
    if (options_.stateDirectory)
        saveStateLocked(false); // until a clean shutdown, a crash must not let old anchors continue
}

Tree::~Tree() {
    if (inotify_ >= 0)
        ::close(inotify_);
}

std::string Tree::versionText(std::int64_t rev) const {
    return std::to_string(rev) + "." + epoch_;
}

fs::path Tree::diskPathLocked(const std::string& key) const {
    fs::path path = options_.root;
    std::string prefix;
    std::size_t start = 0;
    while (start < key.size()) {
        auto slash = key.find('/', start);
        std::string segment =
            key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        prefix = join(prefix, segment);
        auto it = nodes_.find(prefix);
        path /= it != nodes_.end() && !it->second.deleted ? it->second.diskName : segment;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return path;
}

const Tree::Node* Tree::liveLocked(const std::string& key) const {
    auto it = nodes_.find(key);
    return it == nodes_.end() || it->second.deleted ? nullptr : &it->second;
}

std::string Tree::recordLocked(const std::string& key, const Node& node) const {
    JsonWriter out;
    out.beginObject();
    out.key("identifier").string(key.empty() ? rootIdentifier : key);
    out.key("parentIdentifier").string(key.empty() || parentOf(key).empty() ? rootIdentifier : parentOf(key));
    out.key("name").string(key.empty() ? "" : nameOf(key));
    out.key("isDir").boolean(node.isDir);
    if (!node.isDir)
        out.key("size").integer(node.size);
    out.key("mtime").number(static_cast<double>(node.mtimeNs) / 1e9);
    out.key("writable").boolean(node.writable);
    out.key("contentVersion").string(versionText(node.contentRev));
    out.key("metadataVersion").string(versionText(node.metadataRev));
    out.endObject();
    return out.take();
}

void Tree::watchLocked(const std::string& key) {
    if (inotify_ < 0)
        return;
    int wd = ::inotify_add_watch(inotify_, diskPathLocked(key).c_str(), watchMask);
    if (wd < 0)
        return;
    if (auto old = watchOf_.find(key); old != watchOf_.end() && old->second != wd)
        watches_.erase(old->second);
    watches_[wd] = key;
    watchOf_[key] = wd;
}

void Tree::markDeletedLocked(const std::string& key) {
    auto it = nodes_.find(key);
    if (it == nodes_.end() || it->second.deleted || key.empty())
        return;
    if (it->second.isDir) {
        auto kids = children_.find(key);
        if (kids != children_.end()) {
            auto names = kids->second;
            for (const auto& name : names)
                markDeletedLocked(join(key, name));
        }
        children_.erase(key);
        if (auto watch = watchOf_.find(key); watch != watchOf_.end()) {
            watches_.erase(watch->second);
            watchOf_.erase(watch);
        }
    }
    it->second.deleted = true;
    it->second.changedRev = ++revision_;
    children_[parentOf(key)].erase(nameOf(key));
}

void Tree::scanDirectoryLocked(const std::string& key, bool recursive) {
    fs::path path = diskPathLocked(key);
    int dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        markDeletedLocked(key);
        return;
    }
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    struct Entry {
        std::string diskName;
        struct stat info;
    };
    std::map<std::string, Entry> found;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name.rfind(uploadPrefix, 0) == 0)
            continue;
        struct stat info {};
        if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
            continue; // symbolic links and the rest are not served: nothing may lead outside the root
        auto composed = composedName(name);
        if (!composed || found.count(*composed))
            continue;
        found.emplace(*composed, Entry{name, info});
    }
    ::closedir(dir);

    // Removals first, so that a file renamed in place keeps its content revision.
    std::map<std::pair<ino_t, std::int64_t>, std::int64_t> vanished; // (inode, size) -> content revision
    auto previous = children_[key];
    for (const auto& name : previous) {
        std::string child = join(key, name);
        auto it = found.find(name);
        const Node* node = liveLocked(child);
        bool sameKind = it != found.end() && node && node->isDir == S_ISDIR(it->second.info.st_mode);
        if (!sameKind) {
            if (node && !node->isDir)
                vanished[{node->inode, node->size}] = node->contentRev;
            markDeletedLocked(child);
        }
    }
    auto& kids = children_[key];
    for (const auto& [name, entry] : found) {
        std::string child = join(key, name);
        const struct stat& info = entry.info;
        bool isDir = S_ISDIR(info.st_mode);
        std::int64_t mtime =
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        bool writable = (info.st_mode & S_IWUSR) != 0;
        Node& node = nodes_[child];
        bool isNew = node.deleted || node.changedRev == 0;
        if (isNew) {
            std::int64_t rev = ++revision_;
            node = Node{};
            node.contentRev = rev;
            if (!isDir)
                if (auto carried = vanished.find({info.st_ino, info.st_size}); carried != vanished.end())
                    node.contentRev = carried->second;
            node.metadataRev = rev;
            node.changedRev = rev;
        } else {
            bool contentChanged =
                !isDir && (node.size != info.st_size || node.mtimeNs != mtime || node.inode != info.st_ino);
            if (contentChanged)
                node.contentRev = node.changedRev = ++revision_;
            if (node.writable != writable)
                node.metadataRev = node.changedRev = ++revision_;
        }
        node.diskName = entry.diskName;
        node.isDir = isDir;
        node.size = isDir ? 0 : info.st_size;
        node.mtimeNs = mtime;
        node.inode = info.st_ino;
        node.writable = writable;
        node.deleted = false;
        kids.insert(name);
        if (isDir) {
            if (isNew || watchOf_.count(child) == 0)
                watchLocked(child);
            if (isNew || recursive)
                scanDirectoryLocked(child, recursive || isNew);
        }
    }
    if (Node* self = key.empty() ? &nodes_[""] : nullptr) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            self->writable = (info.st_mode & S_IWUSR) != 0;
            self->mtimeNs =
                static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        }
    }
}

void Tree::syncLocked() {
    if (inotify_ < 0) {
        scanDirectoryLocked("", true);
        return;
    }
    std::set<std::string> dirty;
    bool full = false;
    alignas(inotify_event) char buffer[65536];
    for (;;) {
        ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->mask & (IN_Q_OVERFLOW | IN_MOVE_SELF)) {
                full = true;
                continue;
            }
            auto watch = watches_.find(event->wd);
            if (watch == watches_.end())
                continue;
            if (event->mask & IN_IGNORED) {
                watchOf_.erase(watch->second);
                watches_.erase(watch);
                continue;
            }
            if (event->len > 0 && std::strncmp(event->name, uploadPrefix, std::strlen(uploadPrefix)) == 0)
                continue; // our own uploads in flight
            dirty.insert(watch->second);
            if (event->mask & IN_DELETE_SELF)
                dirty.insert(parentOf(watch->second));
        }
    }
    if (full) {
        scanDirectoryLocked("", true);
        return;
    }
    for (const auto& key : dirty)
        if (key.empty() || liveLocked(key))
            scanDirectoryLocked(key, false);
}

std::optional<std::string> Tree::record(const std::string& key) {
    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* node = liveLocked(key);
    if (!node)
        return std::nullopt;
    return recordLocked(key, *node);
}

std::optional<Tree::Listing> Tree::children(const std::string& key) {
    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* node = liveLocked(key);
    if (!node || !node->isDir)
        return std::nullopt;
    std::string out = "[";
    bool first = true;
    for (const auto& name : children_[key]) {
        std::string child = join(key, name);
        if (const Node* kid = liveLocked(child)) {
            if (!first)
                out += ',';
            first = false;
            out += recordLocked(child, *kid);
        }
    }
    out += ']';
    return Listing{std::move(out), revision_};
}

Tree::Listing Tree::all() {
    std::lock_guard lock(mutex_);
    syncLocked();
    std::string out = "[";
    bool first = true;
    for (const auto& [key, node] : nodes_) {
        if (key.empty() || node.deleted)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += recordLocked(key, node);
    }
    out += ']';
    return Listing{std::move(out), revision_};
}

std::int64_t Tree::revision() {
    std::lock_guard lock(mutex_);
    syncLocked();
    return revision_;
}

std::optional<Tree::Changes> Tree::changesSince(std::int64_t since) {
    std::lock_guard lock(mutex_);
    syncLocked();
    if (since > revision_)
        return std::nullopt;
    std::string updates = "[", deletions = "[";
    for (const auto& [key, node] : nodes_) {
        if (key.empty() || node.changedRev <= since)
            continue;
        if (node.deleted) {
            deletions += deletions.size() > 1 ? "," : "";
            deletions += JsonWriter::quoted(key);
        } else {
            updates += updates.size() > 1 ? "," : "";
            updates += recordLocked(key, node);
        }
    }
    return Changes{updates + "]", deletions + "]", revision_};
}

Tree::Reading Tree::openForReading(const std::string& key) {
    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* node = liveLocked(key);
    if (!node)
        return {Refusal{404, "not_found", "", std::nullopt}};
    if (node->isDir)
        return {Refusal{400, "bad_request", "is_folder", std::nullopt}};
    int fd = ::open(diskPathLocked(key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        return {Refusal{404, "not_found", "", std::nullopt}};
    }
    return {std::nullopt, fd, static_cast<std::uint64_t>(info.st_size)};
}

std::uint64_t Tree::usedBytesLocked() const {
    std::uint64_t used = 0;
    for (const auto& [key, node] : nodes_)
        if (!node.deleted && !node.isDir)
            used += static_cast<std::uint64_t>(node.size);
    return used;
}

std::string Tree::conflictNameLocked(const std::string& parent, const std::string& name) const {
    auto dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 1;; ++n) {
        std::string candidate = stem;
        candidate += " (conflict " + std::to_string(n) + ")";
        candidate += extension;
        std::error_code ec;
        if (!liveLocked(join(parent, candidate)) && !fs::exists(diskPathLocked(parent) / candidate, ec))
            return candidate;
    }
}

void Tree::refreshNodeLocked(const std::string& key, const std::string& diskName, bool contentChanged) {
    struct stat info {};
    if (::lstat((diskPathLocked(parentOf(key)) / diskName).c_str(), &info) != 0)
        return;
    Node& node = nodes_[key];
    bool isNew = node.deleted || node.changedRev == 0;
    std::int64_t rev = ++revision_;
    if (isNew) {
        node = Node{};
        node.contentRev = node.metadataRev = rev;
    } else if (contentChanged) {
        node.contentRev = rev;
    } else {
        node.metadataRev = rev;
    }
    node.changedRev = rev;
    node.diskName = diskName;
    node.isDir = S_ISDIR(info.st_mode);
    node.size = node.isDir ? 0 : info.st_size;
    node.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    node.inode = info.st_ino;
    node.writable = (info.st_mode & S_IWUSR) != 0;
    node.deleted = false;
    children_[parentOf(key)].insert(nameOf(key));
}

Outcome Tree::putContent(const std::string& key, const std::string& base, std::uint64_t length,
                         const Receiver& receive) {
    fs::path temporary;
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        syncLocked();
        if (key.empty())
            return Outcome::refused(400, "bad_request", "root");
        const Node* parent = liveLocked(parentOf(key));
        if (!parent || !parent->isDir)
            return Outcome::refused(404, "not_found", "parent");
        const Node* existing = liveLocked(key);
        if (existing && existing->isDir)
            return Outcome::refused(409, "collision", "", recordLocked(key, *existing));
        if (!parent->writable || (existing && !existing->writable))
            return Outcome::refused(403, "read_only");
        if (options_.quota) {
            std::uint64_t used =
                usedBytesLocked() - (existing ? static_cast<std::uint64_t>(existing->size) : 0);
            if (used + length > *options_.quota)
                return Outcome::refused(507, "quota");
        }
        auto file = foundation::createTemporaryFile(diskPathLocked(parentOf(key)), uploadPrefix);
        if (!file)
            return Outcome::refused(500, "failed", "temporary");
        temporary = file->path;
        fd = file->fd;
    }
    // The body arrives without the lock held: other requests go on meanwhile.
    std::optional<Refusal> refused = receive(fd);
    if (!refused && ::fsync(fd) != 0)
        refused = Refusal{500, "failed", "write", std::nullopt};
    ::fchmod(fd, 0644);
    ::close(fd);
    std::error_code ec;
    if (refused) {
        fs::remove(temporary, ec);
        return {refused, {}, {}};
    }

    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* parent = liveLocked(parentOf(key));
    if (!parent || !parent->isDir) {
        fs::remove(temporary, ec);
        return Outcome::refused(404, "not_found", "parent");
    }
    Outcome outcome;
    const Node* current = liveLocked(key);
    if (current && current->isDir) {
        fs::remove(temporary, ec);
        return Outcome::refused(409, "collision", "", recordLocked(key, *current));
    }
    if (current && versionText(current->contentRev) != base) {
        // The upload was made against another version: it takes the path, the other is kept beside it.
        std::string copyName = conflictNameLocked(parentOf(key), nameOf(key));
        std::string copyKey = join(parentOf(key), copyName);
        Node moved = *current;
        if (::rename(diskPathLocked(key).c_str(), (diskPathLocked(parentOf(key)) / copyName).c_str()) != 0) {
            fs::remove(temporary, ec);
            return Outcome::refused(500, "failed", "conflict_copy");
        }
        moved.diskName = copyName;
        moved.metadataRev = moved.changedRev = ++revision_;
        nodes_[copyKey] = moved;
        children_[parentOf(key)].insert(copyName);
        outcome.conflictCopy = recordLocked(copyKey, nodes_[copyKey]);
    }
    // Replacing in place keeps the name as it is on disk; a new file gets the composed name.
    std::string diskName = current && !outcome.conflictCopy ? current->diskName : nameOf(key);
    fs::path target = diskPathLocked(parentOf(key)) / diskName;
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        fs::remove(temporary, ec);
        return Outcome::refused(500, "failed", "rename");
    }
    refreshNodeLocked(key, diskName, true);
    outcome.record = recordLocked(key, nodes_[key]);
    return outcome;
}

Outcome Tree::makeFolder(const std::string& key) {
    std::lock_guard lock(mutex_);
    syncLocked();
    if (key.empty())
        return Outcome::refused(409, "collision");
    const Node* parent = liveLocked(parentOf(key));
    if (!parent || !parent->isDir)
        return Outcome::refused(404, "not_found", "parent");
    if (const Node* existing = liveLocked(key))
        return Outcome::refused(409, "collision", "", recordLocked(key, *existing));
    if (!parent->writable)
        return Outcome::refused(403, "read_only");
    if (::mkdir((diskPathLocked(parentOf(key)) / nameOf(key)).c_str(), 0755) != 0)
        return Outcome::refused(errno == EEXIST ? 409 : 500, errno == EEXIST ? "collision" : "failed");
    refreshNodeLocked(key, nameOf(key), false);
    watchLocked(key);
    return {std::nullopt, recordLocked(key, nodes_[key]), std::nullopt};
}

Outcome Tree::move(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* source = liveLocked(from);
    if (from.empty() || to.empty())
        return Outcome::refused(400, "bad_request", "root");
    if (!source) {
        const Node* there = liveLocked(to);
        return Outcome::refused(409, "gone", "",
                                there ? std::optional(recordLocked(to, *there)) : std::nullopt);
    }
    if (from == to)
        return {std::nullopt, recordLocked(from, *source), std::nullopt};
    if (atOrBelow(to, from))
        return Outcome::refused(400, "bad_request", "into_itself");
    if (const Node* there = liveLocked(to))
        return Outcome::refused(409, "collision", "", recordLocked(to, *there));
    const Node* parent = liveLocked(parentOf(to));
    if (!parent || !parent->isDir)
        return Outcome::refused(404, "not_found", "parent");
    const Node* sourceParent = liveLocked(parentOf(from));
    if (!source->writable || !parent->writable || (sourceParent && !sourceParent->writable))
        return Outcome::refused(403, "read_only");
    if (::rename(diskPathLocked(from).c_str(), (diskPathLocked(parentOf(to)) / nameOf(to)).c_str()) != 0)
        return Outcome::refused(500, "failed", std::strerror(errno));

    // The item and everything below it take new identifiers; contents keep their revisions.
    std::vector<std::pair<std::string, Node>> movedNodes;
    for (auto it = nodes_.lower_bound(from); it != nodes_.end() && atOrBelow(it->first, from); ++it)
        if (!it->second.deleted)
            movedNodes.emplace_back(it->first, it->second);
    std::map<std::string, std::set<std::string>> movedChildren;
    for (const auto& [key, node] : movedNodes)
        if (node.isDir)
            movedChildren[to + key.substr(from.size())] = children_[key];
    for (const auto& [key, node] : movedNodes) {
        Node& old = nodes_[key];
        old.deleted = true;
        old.changedRev = ++revision_;
        children_.erase(key);
    }
    children_[parentOf(from)].erase(nameOf(from));
    for (auto [key, node] : movedNodes) {
        std::string renamed = to + key.substr(from.size());
        node.metadataRev = node.changedRev = ++revision_;
        if (key == from)
            node.diskName = nameOf(to);
        nodes_[renamed] = node;
        if (node.isDir) {
            children_[renamed] = movedChildren[renamed];
            if (auto watch = watchOf_.find(key); watch != watchOf_.end()) {
                int wd = watch->second;
                watchOf_.erase(watch);
                watches_[wd] = renamed;
                watchOf_[renamed] = wd;
            }
        }
    }
    children_[parentOf(to)].insert(nameOf(to));
    return {std::nullopt, recordLocked(to, nodes_[to]), std::nullopt};
}

bool Tree::changedAfterLocked(const std::string& key, std::int64_t anchor) const {
    for (auto it = nodes_.lower_bound(key); it != nodes_.end() && atOrBelow(it->first, key); ++it)
        if (!it->second.deleted && it->second.changedRev > anchor)
            return true;
    return false;
}

Outcome Tree::remove(const std::string& key, bool isDir, bool recursive,
                     const std::optional<std::string>& base, const std::optional<std::int64_t>& anchor) {
    std::lock_guard lock(mutex_);
    syncLocked();
    if (key.empty())
        return Outcome::refused(400, "bad_request", "root");
    const Node* node = liveLocked(key);
    if (!node)
        return {}; // already gone: a repeated delete is not an error
    std::string current = recordLocked(key, *node);
    if (node->isDir != isDir)
        return Outcome::refused(409, "changed", "kind", current);
    const Node* parent = liveLocked(parentOf(key));
    if (!node->writable || (parent && !parent->writable))
        return Outcome::refused(403, "read_only");
    std::error_code ec;
    if (!isDir) {
        if (!base || base->empty())
            return Outcome::refused(400, "bad_request", "base_required");
        if (*base != versionText(node->contentRev))
            return Outcome::refused(409, "changed", "base", current);
        if (::unlink(diskPathLocked(key).c_str()) != 0 && errno != ENOENT)
            return Outcome::refused(500, "failed", std::strerror(errno));
    } else if (!recursive) {
        auto kids = children_.find(key);
        if (kids != children_.end() && !kids->second.empty())
            return Outcome::refused(409, "not_empty");
        if (::rmdir(diskPathLocked(key).c_str()) != 0 && errno != ENOENT)
            return Outcome::refused(errno == ENOTEMPTY ? 409 : 500,
                                    errno == ENOTEMPTY ? "not_empty" : "failed");
    } else {
        if (!anchor)
            return Outcome::refused(400, "bad_request", "anchor_required");
        if (changedAfterLocked(key, *anchor))
            return Outcome::refused(409, "changed", "anchor", current);
        fs::remove_all(diskPathLocked(key), ec);
        if (ec)
            return Outcome::refused(500, "failed", ec.message());
    }
    markDeletedLocked(key);
    return {};
}

void Tree::loadState() {
    epoch_ = foundation::uuidString().substr(0, 8);
    std::transform(epoch_.begin(), epoch_.end(), epoch_.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (!options_.stateDirectory)
        return;
    auto bytes = foundation::readFile(*options_.stateDirectory / stateFileName);
    if (!bytes)
        return;
    json::error_code ec;
    json::value document = json::parse(*bytes, ec);
    if (ec || !document.is_object())
        return;
    const json::object& state = document.get_object();
    // The revision keeps growing across every start, so that versions never repeat.
    if (auto* rev = state.if_contains("revision"); rev && rev->is_int64())
        revision_ = rev->get_int64();
    auto* clean = state.if_contains("clean");
    auto* epoch = state.if_contains("epoch");
    auto* root = state.if_contains("root");
    auto* nodes = state.if_contains("nodes");
    if (!clean || !clean->is_bool() || !clean->get_bool() || !epoch || !epoch->is_string() || !root ||
        !root->is_string() || root->get_string() != options_.root.string() || !nodes || !nodes->is_array())
        return; // a new history: anchors of the old one must fail
    epoch_ = std::string(epoch->get_string());
    for (const auto& entry : nodes->get_array()) {
        const json::array* row = entry.if_array();
        if (!row || row->size() != 11)
            continue;
        try {
            Node node;
            std::string key(row->at(0).as_string());
            node.diskName = std::string(row->at(1).as_string());
            node.isDir = row->at(2).as_bool();
            node.size = row->at(3).as_int64();
            node.mtimeNs = row->at(4).as_int64();
            node.inode = static_cast<ino_t>(row->at(5).as_int64());
            node.writable = row->at(6).as_bool();
            node.contentRev = row->at(7).as_int64();
            node.metadataRev = row->at(8).as_int64();
            node.changedRev = row->at(9).as_int64();
            node.deleted = row->at(10).as_bool();
            nodes_[key] = node;
            if (!node.deleted && !key.empty())
                children_[parentOf(key)].insert(nameOf(key));
        } catch (const std::exception&) {
            continue; // a damaged row: that item is found again by the scan
        }
    }
}

void Tree::saveStateLocked(bool clean) {
    if (!options_.stateDirectory)
        return;
    json::array nodes;
    nodes.reserve(nodes_.size());
    for (const auto& [key, node] : nodes_)
        nodes.push_back(json::array{key, node.diskName, node.isDir, node.size, node.mtimeNs,
                                    static_cast<std::int64_t>(node.inode), node.writable, node.contentRev,
                                    node.metadataRev, node.changedRev, node.deleted});
    json::object state{{"epoch", epoch_},
                       {"revision", revision_},
                       {"clean", clean},
                       {"root", options_.root.string()},
                       {"nodes", std::move(nodes)}};
    std::error_code ec;
    fs::create_directories(*options_.stateDirectory, ec);
    foundation::writeAtomically(*options_.stateDirectory / stateFileName, json::serialize(state));
}

void Tree::saveClean() {
    std::lock_guard lock(mutex_);
    syncLocked();
    saveStateLocked(true);
}

} // namespace refhost
