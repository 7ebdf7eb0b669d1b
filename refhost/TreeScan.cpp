// Keeping the index true to the disk: folder scans, inotify watches, tombstones, notices and the tree's
// own thread.
#include "Tree.h"
#include "TreeDetail.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace refhost {

using namespace detail;

namespace {

constexpr std::uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
constexpr std::size_t noticesKept = 10000;

// A folder that cannot be opened is gone only when nothing (or no folder) is there any more; any other
// failure (no descriptors, no memory, no permission) says nothing about what it holds.
bool meansGone(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

void drain(int eventFd) {
    std::uint64_t count;
    while (::read(eventFd, &count, sizeof count) > 0) {
    }
}

} // namespace

std::string detail::printable(const std::string& bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    bool utf8 = composed(bytes).has_value();
    std::string out;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '\\' || (u >= 0x80 && !utf8)) {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

void Tree::takeIdentity(Node& node, const struct stat& info) {
    node.isDir = S_ISDIR(info.st_mode);
    node.size = node.isDir ? 0 : info.st_size;
    node.mtimeNs = nanoseconds(info.st_mtim);
    node.ctimeNs = nanoseconds(info.st_ctim);
    node.inode = info.st_ino;
    node.writable = (info.st_mode & S_IWUSR) != 0;
}

void Tree::wakeLocked() {
    if (!wake_ || wakePending_)
        return;
    wakePending_ = true;
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
}

std::int64_t Tree::nextRevisionLocked() {
    wakeLocked();
    return ++revision_;
}

void Tree::noticeLocked(const std::string& diskPath, const std::string& why) {
    if (!options_.notice || said_.size() >= noticesKept || !said_.insert(diskPath + '\0' + why).second)
        return;
    notices_.push_back(
        printable("not served: " + (diskPath.empty() ? std::string(".") : diskPath) + " (" + why + ")"));
    if (said_.size() == noticesKept)
        notices_.emplace_back("more entries are not served; they are not named");
    wakeLocked();
}

void Tree::forgetWatchLocked(const std::string& key) {
    auto watch = watchOf_.find(key);
    if (watch == watchOf_.end())
        return;
    // A folder moved elsewhere in the tree may have taken this watch over already.
    if (auto owner = watches_.find(watch->second); owner != watches_.end() && owner->second == key) {
        ::inotify_rm_watch(inotify_.get(), watch->second);
        watches_.erase(owner);
    }
    watchOf_.erase(watch);
}

void Tree::watchLocked(const std::string& key, int dirFd) {
    if (!inotify_)
        return;
    int wd = -1;
    if (watchOf_.count(key) || watches_.size() < options_.watchLimit) {
        // Through the open descriptor, so that the watch is on the folder just read, not on whatever the
        // path names by now.
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", dirFd);
        wd = ::inotify_add_watch(inotify_.get(), path, watchMask);
        if (wd < 0 && errno == ENOENT) // no /proc
            wd = ::inotify_add_watch(inotify_.get(), (options_.root / diskPathLocked(key)).c_str(),
                                     watchMask | IN_DONT_FOLLOW);
    }
    if (wd < 0) {
        unwatched_.insert(key);
        if (!saidUnwatched_ && options_.notice) {
            saidUnwatched_ = true;
            notices_.emplace_back("some folders cannot be watched (no inotify watch left, see "
                                  "fs.inotify.max_user_watches): they are read again at every request "
                                  "and every second instead");
            wakeLocked();
        }
        return;
    }
    unwatched_.erase(key);
    if (auto old = watchOf_.find(key); old != watchOf_.end() && old->second != wd) {
        // Another folder stands at this key now: the old one's watch goes (unless it moved and took it).
        if (auto owner = watches_.find(old->second); owner != watches_.end() && owner->second == key) {
            ::inotify_rm_watch(inotify_.get(), old->second);
            watches_.erase(owner);
        }
    }
    if (auto other = watches_.find(wd); other != watches_.end() && other->second != key) {
        // The same folder under a new key (it was moved): its watch follows it.
        if (auto back = watchOf_.find(other->second); back != watchOf_.end() && back->second == wd)
            watchOf_.erase(back);
    }
    watches_[wd] = key;
    watchOf_[key] = wd;
}

void Tree::markDeletedLocked(const std::string& key) {
    auto it = nodes_.find(key);
    if (it == nodes_.end() || it->second.deleted || key.empty())
        return;
    if (it->second.isDir) {
        if (auto kids = children_.find(key); kids != children_.end()) {
            auto names = kids->second;
            for (const auto& name : names)
                markDeletedLocked(join(key, name));
        }
        children_.erase(key);
        forgetWatchLocked(key);
        unwatched_.erase(key);
        retry_.erase(key);
    }
    it->second.deleted = true;
    it->second.changedRev = nextRevisionLocked();
    children_[parentOf(key)].erase(nameOf(key));
}

void Tree::scanDirectoryLocked(const std::string& key, bool recursive) {
    ++scans_;
    const std::string path = diskPathLocked(key);
    auto unreadable = [&](int error) {
        retry_.insert(key);
        noticeLocked(path, std::string("the folder cannot be read: ") + std::strerror(error));
    };
    Fd folder(openBeneath(rootFd_.get(), path, O_RDONLY | O_DIRECTORY, 0, options_.resolution));
    if (!folder) {
        int error = errno;
        if (meansGone(error) && !key.empty())
            markDeletedLocked(key);
        else
            unreadable(error); // what it held stays as it was, and it is read again at the next sync
        return;
    }
    struct stat self {};
    if (::fstat(folder.get(), &self) == 0 && key.empty()) {
        Node& root = nodes_[""];
        root.writable = (self.st_mode & S_IWUSR) != 0;
        root.mtimeNs = nanoseconds(self.st_mtim);
    }
    watchLocked(key, folder.get());

    struct Entry {
        std::string diskName;
        struct stat info;
    };
    std::map<std::string, std::vector<Entry>> found; // by composed name
    int listing = ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        int error = errno;
        if (listing >= 0)
            ::close(listing);
        unreadable(error);
        return;
    }
    int failure = 0;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            failure = errno;
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat info {};
        bool known = ::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        if (!known && errno != ENOENT) {
            failure = errno;
            break;
        }
        if (!known)
            continue; // gone between the listing and the look
        if (name.rfind(uploadPrefix, 0) == 0) {
            // Our uploads in flight; at start, what a crash left of them.
            if (sweeping_ && S_ISREG(info.st_mode))
                ::unlinkat(folder.get(), name.c_str(), 0);
            continue;
        }
        std::string shown = join(path, name);
        if (S_ISLNK(info.st_mode)) {
            noticeLocked(shown, "a symbolic link");
            continue; // nothing may lead outside the root
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            noticeLocked(shown, "not a regular file or folder");
            continue;
        }
        auto composedName = composed(name);
        if (!composedName) {
            noticeLocked(shown, "the name is not UTF-8");
            continue; // no record could carry it
        }
        if (join(key, *composedName).size() > maxIdentifierBytes) {
            noticeLocked(shown, "the path is longer than " + std::to_string(maxIdentifierBytes) + " bytes");
            continue;
        }
        found[*composedName].push_back(Entry{name, info});
    }
    ::closedir(dir);
    if (failure != 0) {
        unreadable(failure); // a partial listing must not read as deletions
        return;
    }
    retry_.erase(key);

    // Two names equal under NFC share one identifier: one of them is served, steadily the same one.
    std::map<std::string, Entry> entries;
    for (auto& [composedName, candidates] : found) {
        const std::string& name = composedName; // a reference the lambda below may capture
        std::size_t pick = 0;
        if (candidates.size() > 1) {
            const Node* known = liveLocked(join(key, name));
            auto rank = [&](const Entry& e) {
                return std::pair(known && e.diskName == known->diskName ? 0
                                 : e.diskName == name                   ? 1
                                                                        : 2,
                                 e.diskName);
            };
            for (std::size_t i = 1; i < candidates.size(); ++i)
                if (rank(candidates[i]) < rank(candidates[pick]))
                    pick = i;
            for (std::size_t i = 0; i < candidates.size(); ++i)
                if (i != pick)
                    noticeLocked(join(path, candidates[i].diskName),
                                 "the same name as \"" + candidates[pick].diskName + "\" under NFC");
        }
        entries.emplace(name, std::move(candidates[pick]));
    }

    // Removals first, so that a file renamed in place keeps its content revision.
    std::map<std::pair<ino_t, std::int64_t>, std::int64_t> vanished; // (inode, size) -> content revision
    auto previous = children_[key];
    for (const auto& name : previous) {
        std::string child = join(key, name);
        auto it = entries.find(name);
        const Node* node = liveLocked(child);
        bool sameKind = it != entries.end() && node && node->isDir == S_ISDIR(it->second.info.st_mode);
        if (!sameKind) {
            if (node && !node->isDir)
                vanished[{node->inode, node->size}] = node->contentRev;
            markDeletedLocked(child);
        }
    }
    auto& kids = children_[key];
    for (const auto& [name, entry] : entries) {
        std::string child = join(key, name);
        const struct stat& info = entry.info;
        bool isDir = S_ISDIR(info.st_mode);
        Node& node = nodes_[child];
        bool isNew = node.deleted || node.changedRev == 0;
        bool otherFolder = false;
        if (isNew) {
            std::int64_t rev = nextRevisionLocked();
            node = Node{};
            node.contentRev = rev;
            if (!isDir)
                if (auto carried = vanished.find({info.st_ino, info.st_size}); carried != vanished.end())
                    node.contentRev = carried->second;
            node.metadataRev = rev;
            node.changedRev = rev;
        } else {
            // The change time cannot be set from user space: it catches an edit that kept size and mtime.
            bool contentChanged =
                !isDir && (node.size != info.st_size || node.mtimeNs != nanoseconds(info.st_mtim) ||
                           node.inode != info.st_ino ||
                           (node.ctimeNs != 0 && node.ctimeNs != nanoseconds(info.st_ctim)));
            if (contentChanged)
                node.contentRev = node.changedRev = nextRevisionLocked();
            if (node.writable != ((info.st_mode & S_IWUSR) != 0))
                node.metadataRev = node.changedRev = nextRevisionLocked();
            otherFolder = isDir && node.inode != info.st_ino; // replaced by another folder: read it whole
        }
        node.diskName = entry.diskName;
        takeIdentity(node, info);
        node.deleted = false;
        kids.insert(name);
        if (isDir && (isNew || recursive || otherFolder))
            scanDirectoryLocked(child, true);
    }
}

void Tree::syncLocked() {
    // Folders without a watch, and folders that could not be read, are read again every time.
    std::set<std::string> dirty(retry_.begin(), retry_.end());
    dirty.insert(unwatched_.begin(), unwatched_.end());
    bool full = !inotify_;
    alignas(inotify_event) char buffer[65536];
    while (inotify_) {
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                full = true;
                continue;
            }
            auto watch = watches_.find(event->wd);
            if (watch == watches_.end())
                continue;
            std::string key = watch->second;
            if (event->mask & IN_IGNORED) {
                // The kernel dropped the watch: the folder went, or its file system did; reading it
                // again tells which, and watches it anew if it is still there.
                if (auto back = watchOf_.find(key); back != watchOf_.end() && back->second == event->wd)
                    watchOf_.erase(back);
                watches_.erase(watch);
                dirty.insert(key);
                continue;
            }
            if (event->len > 0 && std::strncmp(event->name, uploadPrefix, std::strlen(uploadPrefix)) == 0)
                continue; // our own uploads in flight
            dirty.insert(key);
            // A folder that went or moved: its parent's listing says where (a move within the tree also
            // shows in the parent it went to).
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                if (key.empty())
                    full = true;
                else
                    dirty.insert(parentOf(key));
            }
        }
    }
    if (full) {
        scanDirectoryLocked("", true);
    } else {
        for (const auto& key : dirty)
            if (key.empty() || liveLocked(key))
                scanDirectoryLocked(key, false);
    }
    pruneLocked();
}

void Tree::pruneLocked() {
    std::size_t limit = std::max<std::size_t>(options_.tombstoneLimit, 2);
    auto every = static_cast<std::int64_t>(std::clamp<std::size_t>(limit / 4, 1, 1024));
    if (revision_ - prunedAt_ < every)
        return;
    prunedAt_ = revision_;
    std::vector<std::int64_t> revisions;
    for (const auto& [key, node] : nodes_)
        if (node.deleted)
            revisions.push_back(node.changedRev);
    if (revisions.size() <= limit)
        return;
    // Forget the older half at once, so that pruning is rare; anchors before the newest forgotten
    // deletion can no longer be continued.
    std::size_t forget = revisions.size() - limit / 2;
    std::nth_element(revisions.begin(), revisions.begin() + static_cast<std::ptrdiff_t>(forget - 1),
                     revisions.end());
    std::int64_t cutoff = revisions[forget - 1];
    for (auto it = nodes_.begin(); it != nodes_.end();)
        it = it->second.deleted && it->second.changedRev <= cutoff ? nodes_.erase(it) : std::next(it);
    floor_ = std::max(floor_, cutoff);
}

std::uint64_t Tree::foldersScanned() {
    std::lock_guard lock(mutex_);
    return scans_;
}

void Tree::run() {
    std::int64_t delivered = -1;
    for (;;) {
        drain(wake_.get());
        std::vector<std::string> notices;
        std::int64_t revision;
        bool periodic;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            wakePending_ = true; // what this sync finds is delivered below: no wake for it
            syncLocked();
            wakePending_ = false;
            revision = revision_;
            notices.swap(notices_);
            periodic = !retry_.empty() || !unwatched_.empty();
        }
        // The callbacks are the embedder's: no lock is held, and a failure of theirs stops nothing here.
        for (const auto& line : notices)
            try {
                options_.notice(line);
            } catch (...) {
            }
        if (revision != delivered && options_.changed) {
            delivered = revision;
            try {
                options_.changed(revision);
            } catch (...) {
            }
        }

        // Wait for an event, a change made through the tree, or (while folders go unwatched) a second;
        // then let the burst gather for `coalesce`, so that it gives one pass and one call.
        pollfd waits[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        if (::poll(waits, inotify_ ? 2 : 1, periodic ? 1000 : -1) < 0 && errno != EINTR)
            return;
        auto deadline = std::chrono::steady_clock::now() + options_.coalesce;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd wake{wake_.get(), POLLIN, 0};
            ::poll(&wake, 1, static_cast<int>(left.count()));
            drain(wake_.get());
        }
    }
}

} // namespace refhost
