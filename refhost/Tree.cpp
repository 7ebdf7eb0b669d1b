#include "Tree.h"

#include "Json.h"
#include "TreeDetail.h"
#include "foundation/Files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace refhost {

namespace fs = std::filesystem;
using namespace detail;

namespace {

// Every entry at or below `top`, in key order. Names such as "Docs 2" or "Docs.txt" sort between "Docs"
// and "Docs/", so the entries below are a range of their own, not the ones that follow "Docs".
template <typename Map, typename Visit> void forSubtree(Map& nodes, const std::string& top, Visit visit) {
    if (top.empty()) {
        for (auto& entry : nodes)
            visit(entry);
        return;
    }
    if (auto self = nodes.find(top); self != nodes.end())
        visit(*self);
    for (auto it = nodes.lower_bound(top + "/"), end = nodes.lower_bound(subtreeEnd(top)); it != end; ++it)
        visit(*it);
}

bool meansGone(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

std::string errorName(int error) {
    const char* name = ::strerrorname_np(error);
    return name ? name : std::to_string(error);
}

// A folder on the way that cannot be opened: gone, or a failure that says nothing about the item.
Outcome folderRefusal(int error) {
    if (meansGone(error))
        return Outcome::refused(404, "not_found", "parent");
    return Outcome::refused(500, "failed", errorName(error));
}

int renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
    return ::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE);
}

} // namespace

Tree::Tree(Options options) : options_(std::move(options)) {
    options_.root = fs::absolute(options_.root);
    rootFd_ = Fd(::open(options_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd_)
        throw std::runtime_error("cannot open " + options_.root.string() + ": " + std::strerror(errno));
    inotify_ = Fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    bool threaded = options_.changed || options_.notice;
    if (threaded)
        wake_ = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    {
        std::lock_guard lock(mutex_);
        loadState();
        Node& root = nodes_[""];
        root.isDir = true;
        root.deleted = false;
        sweeping_ = true;
        scanDirectoryLocked("", true);
        sweeping_ = false;
        // Until a clean stop, a crash must not let old anchors continue or versions repeat: without the
        // mark there is no serving.
        if (auto error = saveStateLocked(false))
            throw std::runtime_error("cannot mark the saved state as in use (" + *error +
                                     "); after a crash, versions would repeat");
    }
    if (threaded)
        thread_ = std::thread([this] { run(); });
}

Tree::~Tree() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (wake_) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
}

std::string Tree::versionText(std::int64_t rev) const {
    return std::to_string(rev) + "." + epoch_;
}

std::string Tree::diskPathLocked(const std::string& key) const {
    std::string path, prefix;
    std::size_t start = 0;
    while (start < key.size()) {
        auto slash = key.find('/', start);
        std::string segment =
            key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        prefix = join(prefix, segment);
        auto it = nodes_.find(prefix);
        path = join(path, it != nodes_.end() && !it->second.deleted ? it->second.diskName : segment);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return path;
}

Fd Tree::openFolderLocked(const std::string& key) const {
    return Fd(
        openBeneath(rootFd_.get(), diskPathLocked(key), O_RDONLY | O_DIRECTORY, 0, options_.resolution));
}

bool Tree::isIndexedLocked(int folder, const Node& node, struct stat* found) const {
    struct stat info {};
    if (::fstatat(folder, node.diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (found)
        *found = info;
    return info.st_ino == node.inode && (node.isDir ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
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
    if (since > revision_ || since < floor_)
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
    // Non-blocking, so that a FIFO put in the file's place cannot hold the lock.
    Fd file(openBeneath(rootFd_.get(), diskPathLocked(key), O_RDONLY | O_NONBLOCK, 0, options_.resolution));
    if (!file) {
        int error = errno;
        if (meansGone(error))
            return {Refusal{404, "not_found", "", std::nullopt}};
        if (error == EACCES || error == EPERM)
            return {Refusal{403, "unreadable", "permission", std::nullopt}};
        return {Refusal{500, "failed", errorName(error), std::nullopt}};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {Refusal{404, "not_found", "", std::nullopt}};
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return {std::nullopt, file.release(), static_cast<std::uint64_t>(info.st_size)};
}

std::uint64_t Tree::usedBytesLocked() const {
    std::uint64_t used = 0;
    for (const auto& [key, node] : nodes_)
        if (!node.deleted && !node.isDir)
            used += static_cast<std::uint64_t>(node.size);
    return used;
}

std::optional<std::string> Tree::conflictNameLocked(int folder, const std::string& parent,
                                                    const std::string& name) const {
    auto dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 1; n <= 10000; ++n) {
        std::string candidate = stem;
        candidate.append(" (conflict ").append(std::to_string(n)).append(")").append(extension);
        struct stat info {};
        if (!liveLocked(join(parent, candidate)) &&
            ::fstatat(folder, candidate.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            return candidate;
    }
    return std::nullopt;
}

void Tree::refreshNodeLocked(const std::string& key, int folder, const std::string& diskName,
                             bool contentChanged) {
    struct stat info {};
    if (::fstatat(folder, diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    Node& node = nodes_[key];
    bool isNew = node.deleted || node.changedRev == 0;
    std::int64_t rev = nextRevisionLocked();
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
    takeIdentity(node, info);
    node.deleted = false;
    children_[parentOf(key)].insert(nameOf(key));
}

Outcome Tree::putContent(const std::string& key, const std::string& base, std::uint64_t length,
                         const Receiver& receive) {
    // The temporary is made in the target's folder and known by that folder's descriptor, so that a
    // move of the folder meanwhile cannot strand it.
    Fd staging, file;
    std::string temporary = uploadPrefix + foundation::uuidString();
    {
        std::lock_guard lock(mutex_);
        syncLocked();
        if (key.empty())
            return Outcome::refused(400, "bad_request", "root");
        const Node* parent = liveLocked(parentOf(key));
        if (!parent || !parent->isDir)
            return Outcome::refused(404, "not_found", "parent");
        const Node* existing = liveLocked(key);
        // A creation never takes a name in use; the system then picks another.
        if (existing && (existing->isDir || base.empty()))
            return Outcome::refused(409, "collision", "", recordLocked(key, *existing));
        if (!parent->writable || (existing && !existing->writable))
            return Outcome::refused(403, "read_only");
        if (options_.quota) {
            std::uint64_t used =
                usedBytesLocked() - (existing ? static_cast<std::uint64_t>(existing->size) : 0);
            if (used + length > *options_.quota)
                return Outcome::refused(507, "quota");
        }
        staging = openFolderLocked(parentOf(key));
        if (!staging)
            return folderRefusal(errno);
        file = Fd(::openat(staging.get(), temporary.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file)
            return Outcome::refused(500, "failed", "temporary");
    }
    auto discard = [&] { ::unlinkat(staging.get(), temporary.c_str(), 0); };
    // The body arrives without the lock held: other requests go on meanwhile.
    std::optional<Refusal> refused = receive(file.get());
    if (!refused && ::fsync(file.get()) != 0)
        refused = Refusal{500, "failed", "write", std::nullopt};
    if (refused) {
        discard();
        return {refused, {}, {}};
    }

    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* parent = liveLocked(parentOf(key));
    if (!parent || !parent->isDir) {
        discard();
        return Outcome::refused(404, "not_found", "parent");
    }
    Fd target = openFolderLocked(parentOf(key));
    if (!target) {
        discard();
        return folderRefusal(errno);
    }
    const Node* current = liveLocked(key);
    if (current && (current->isDir || base.empty())) {
        discard();
        return Outcome::refused(409, "collision", "", recordLocked(key, *current));
    }
    Outcome outcome;
    mode_t mode = 0644;
    std::string diskName = nameOf(key);
    bool replacing = false;
    std::optional<std::string> copyKey;
    if (current) {
        struct stat there {};
        if (!isIndexedLocked(target.get(), *current, &there)) {
            discard(); // something else stands there since the last look: it is not ours to replace
            return Outcome::refused(409, "changed", "replaced", recordLocked(key, *current));
        }
        diskName = current->diskName;
        // The new contents take the file's place as it was: an executable stays executable.
        mode = there.st_mode & 07777;
        [[maybe_unused]] int owned = ::fchown(file.get(), there.st_uid, there.st_gid);
        if (versionText(current->contentRev) == base) {
            replacing = true;
        } else {
            // Made against another version: the upload takes the name, the other is kept beside it.
            auto copyName = conflictNameLocked(target.get(), parentOf(key), nameOf(key));
            if (!copyName || renameNoReplace(target.get(), diskName, target.get(), *copyName) != 0) {
                discard();
                return Outcome::refused(500, "failed", "conflict_copy");
            }
            copyKey = join(parentOf(key), *copyName);
            Node copy = *current;
            copy.diskName = *copyName;
            copy.metadataRev = copy.changedRev = nextRevisionLocked();
            struct stat moved {};
            if (::fstatat(target.get(), copyName->c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0)
                takeIdentity(copy, moved); // a rename changes the change time: not an edit
            nodes_[*copyKey] = copy;
            children_[parentOf(key)].insert(*copyName);
            outcome.conflictCopy = recordLocked(*copyKey, nodes_[*copyKey]);
        }
    }
    ::fchmod(file.get(), mode);
    int placed = replacing ? ::renameat(staging.get(), temporary.c_str(), target.get(), diskName.c_str())
                           : renameNoReplace(staging.get(), temporary, target.get(), diskName);
    if (placed != 0) {
        int error = errno;
        discard();
        if (copyKey) { // put the other version back where it was
            if (renameNoReplace(target.get(), nodes_[*copyKey].diskName, target.get(), diskName) == 0) {
                children_[parentOf(key)].erase(nameOf(*copyKey));
                nodes_.erase(*copyKey);
            }
        }
        // Something the listing does not show (a link, a FIFO, a file made since) holds the name.
        return error == EEXIST ? Outcome::refused(409, "collision")
                               : Outcome::refused(500, "failed", errorName(error));
    }
    ::fsync(target.get());
    refreshNodeLocked(key, target.get(), diskName, true);
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
    Fd folder = openFolderLocked(parentOf(key));
    if (!folder)
        return folderRefusal(errno);
    std::string name = nameOf(key);
    if (::mkdirat(folder.get(), name.c_str(), 0755) != 0)
        return errno == EEXIST ? Outcome::refused(409, "collision")
                               : Outcome::refused(500, "failed", errorName(errno));
    ::fsync(folder.get());
    refreshNodeLocked(key, folder.get(), name, false);
    Fd made(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made)
        watchLocked(key, made.get());
    else
        retry_.insert(key);
    return {std::nullopt, recordLocked(key, nodes_[key]), std::nullopt};
}

Outcome Tree::move(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    syncLocked();
    const Node* source = liveLocked(from);
    if (from.empty() || to.empty())
        return Outcome::refused(400, "bad_request", "root");
    auto gone = [&] {
        const Node* there = liveLocked(to);
        return Outcome::refused(409, "gone", "",
                                there ? std::optional(recordLocked(to, *there)) : std::nullopt);
    };
    if (!source)
        return gone();
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
    Fd fromFolder = openFolderLocked(parentOf(from));
    Fd toFolder = openFolderLocked(parentOf(to));
    if (!fromFolder || !toFolder)
        return folderRefusal(errno);
    if (!isIndexedLocked(fromFolder.get(), *source))
        return gone(); // what stands at the source now is not the item the client knows
    if (renameNoReplace(fromFolder.get(), source->diskName, toFolder.get(), nameOf(to)) != 0)
        return errno == EEXIST || errno == ENOTEMPTY ? Outcome::refused(409, "collision")
                                                     : Outcome::refused(500, "failed", errorName(errno));
    ::fsync(toFolder.get());
    ::fsync(fromFolder.get());

    // The item and everything below it take new identifiers; contents keep their revisions.
    std::vector<std::pair<std::string, Node>> movedNodes;
    forSubtree(nodes_, from, [&](const auto& entry) {
        if (!entry.second.deleted)
            movedNodes.emplace_back(entry.first, entry.second);
    });
    std::map<std::string, std::set<std::string>> movedChildren;
    for (const auto& [key, node] : movedNodes)
        if (node.isDir)
            movedChildren[to + key.substr(from.size())] = children_[key];
    for (const auto& [key, node] : movedNodes) {
        Node& old = nodes_[key];
        old.deleted = true;
        old.changedRev = nextRevisionLocked();
        children_.erase(key);
    }
    children_[parentOf(from)].erase(nameOf(from));
    for (auto [key, node] : movedNodes) {
        std::string renamed = to + key.substr(from.size());
        node.metadataRev = node.changedRev = nextRevisionLocked();
        if (key == from) {
            node.diskName = nameOf(to);
            struct stat moved {};
            if (::fstatat(toFolder.get(), node.diskName.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0)
                takeIdentity(node, moved); // a rename changes the change time: not an edit
        }
        nodes_[renamed] = node;
        if (node.isDir) {
            children_[renamed] = movedChildren[renamed];
            if (auto watch = watchOf_.find(key); watch != watchOf_.end()) {
                int wd = watch->second;
                watchOf_.erase(watch);
                watches_[wd] = renamed;
                watchOf_[renamed] = wd;
            }
            if (unwatched_.erase(key))
                unwatched_.insert(renamed);
            if (retry_.erase(key))
                retry_.insert(renamed);
        }
    }
    children_[parentOf(to)].insert(nameOf(to));
    return {std::nullopt, recordLocked(to, nodes_[to]), std::nullopt};
}

bool Tree::changedAfterLocked(const std::string& key, std::int64_t anchor) const {
    bool changed = false;
    forSubtree(nodes_, key, [&](const auto& entry) {
        changed = changed || (!entry.second.deleted && entry.second.changedRev > anchor);
    });
    return changed;
}

bool Tree::servesAllLocked(int folder, const std::string& key) {
    std::map<std::string, std::string> served; // disk name -> key
    if (auto kids = children_.find(key); kids != children_.end())
        for (const auto& name : kids->second)
            if (const Node* node = liveLocked(join(key, name)))
                served[node->diskName] = join(key, name);
    int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return false;
    }
    bool all = true;
    while (all) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            all = errno == 0;
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        auto it = served.find(name);
        const Node* node = it == served.end() ? nullptr : liveLocked(it->second);
        if (!node || !isIndexedLocked(folder, *node)) {
            all = false; // a link, a name that is not UTF-8, an NFC twin, an upload in flight...
            break;
        }
        if (node->isDir) {
            Fd inner(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            all = inner && servesAllLocked(inner.get(), it->second);
        }
    }
    ::closedir(dir);
    return all;
}

bool Tree::removeServedLocked(int folder, const std::string& key) {
    auto kids = children_.find(key);
    if (kids == children_.end())
        return true;
    std::vector<std::string> names(kids->second.begin(), kids->second.end());
    for (const auto& name : names) {
        std::string child = join(key, name);
        const Node* node = liveLocked(child);
        if (!node)
            continue;
        const std::string diskName = node->diskName;
        if (node->isDir) {
            Fd inner(::openat(folder, diskName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat info {};
            if (!inner && errno != ENOENT)
                return false;
            if (inner) {
                if (::fstat(inner.get(), &info) != 0 || info.st_ino != node->inode) {
                    errno = ENOTEMPTY; // another folder stands there now
                    return false;
                }
                if (!removeServedLocked(inner.get(), child))
                    return false;
                if (::unlinkat(folder, diskName.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
                    return false;
            }
        } else if (isIndexedLocked(folder, *node)) {
            if (::unlinkat(folder, diskName.c_str(), 0) != 0 && errno != ENOENT)
                return false;
        } else {
            struct stat info {};
            if (::fstatat(folder, diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
                errno = ENOTEMPTY; // not the file the listing showed
                return false;
            }
        }
        markDeletedLocked(child);
    }
    return true;
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
    if (!isDir && (!base || base->empty()))
        return Outcome::refused(400, "bad_request", "base_required");
    if (!isDir && *base != versionText(node->contentRev))
        return Outcome::refused(409, "changed", "base", current);
    if (isDir && !recursive && children_.count(key) && !children_[key].empty())
        return Outcome::refused(409, "not_empty");
    if (isDir && recursive && !anchor)
        return Outcome::refused(400, "bad_request", "anchor_required");
    if (isDir && recursive && changedAfterLocked(key, *anchor))
        return Outcome::refused(409, "changed", "anchor", current);

    Fd folder = openFolderLocked(parentOf(key));
    if (!folder)
        return folderRefusal(errno);
    if (!isIndexedLocked(folder.get(), *node)) {
        struct stat info {};
        if (::fstatat(folder.get(), node->diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT) {
            markDeletedLocked(key);
            return {};
        }
        return Outcome::refused(409, "changed", "replaced", current); // not what the listing showed
    }
    if (!isDir) {
        if (::unlinkat(folder.get(), node->diskName.c_str(), 0) != 0 && errno != ENOENT)
            return Outcome::refused(500, "failed", errorName(errno));
    } else {
        std::string diskName = node->diskName;
        if (recursive) {
            // Only what the host serves is removed; anything else in there (a link, a name that is not
            // UTF-8, an NFC twin, an upload in flight) was never shown, so the folder has changed.
            Fd self(
                ::openat(folder.get(), diskName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!self)
                return Outcome::refused(500, "failed", errorName(errno));
            if (!servesAllLocked(self.get(), key))
                return Outcome::refused(409, "changed", "unserved", current);
            if (!removeServedLocked(self.get(), key)) {
                if (errno == ENOTEMPTY || errno == EEXIST)
                    return Outcome::refused(409, "changed", "unserved", current);
                return Outcome::refused(500, "failed", errorName(errno));
            }
        }
        if (::unlinkat(folder.get(), diskName.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            if (errno == ENOTEMPTY || errno == EEXIST)
                return recursive ? Outcome::refused(409, "changed", "unserved", current)
                                 : Outcome::refused(409, "not_empty");
            return Outcome::refused(500, "failed", errorName(errno));
        }
    }
    ::fsync(folder.get());
    markDeletedLocked(key);
    return {};
}

} // namespace refhost
