#pragma once

// The reference host's model of the folder it serves: an index of every item below the root, keyed by
// its identifier (the path below the root in NFC, names joined with "/"), with content and metadata
// revisions and a change log numbered by one growing revision. Changes made by other programs reach
// the index through inotify before every operation (and, with a `changed` or `notice` callback, as they
// happen, on the tree's own thread). Thread-safe: one lock guards the index; file transfers run outside
// it. Every path is resolved below a descriptor of the root without following symbolic links.
#include "Beneath.h"
#include "server/Parsing.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unordered_map>
#include <vector>

namespace refhost {

// What an operation ran into; `kind` and `code` are the error envelope's words.
struct Refusal {
    int status;
    std::string kind;
    std::string code;
    std::optional<std::string> record; // JSON of an item that explains the refusal
};

// The JSON record of an item, or a refusal.
struct Outcome {
    std::optional<Refusal> refusal;
    std::string record;
    std::optional<std::string> conflictCopy;
    static Outcome refused(int status, std::string kind, std::string code = {},
                           std::optional<std::string> record = {}) {
        return {Refusal{status, std::move(kind), std::move(code), std::move(record)}, {}, {}};
    }
};

class Tree {
public:
    struct Options {
        std::filesystem::path root;
        std::optional<std::filesystem::path> stateDirectory;
        std::optional<std::uint64_t> quota;
        // Called on the tree's own thread, never under its lock, once the tree has changed (by another
        // program or through this class), with the revision reached; changes within `coalesce` of each
        // other give one call. Also called once at start.
        std::function<void(std::int64_t revision)> changed = {};
        // Called on the same thread: one line for each entry that is not served and why, once per entry.
        std::function<void(const std::string& line)> notice = {};
        std::chrono::milliseconds coalesce{25};
        // At most this many folders are watched (the kernel's limit applies as well); the others are
        // rescanned at every operation and, with a callback, every second.
        std::size_t watchLimit = std::numeric_limits<std::size_t>::max();
        // Deletions remembered at most; an anchor older than the oldest one forgotten has expired.
        std::size_t tombstoneLimit = 100000;
        Resolution resolution = Resolution::automatic;
    };

    // Throws when the root cannot be opened or the state cannot be marked as in use.
    explicit Tree(Options options);
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // A host identifier as an index key (parseIdentifier).
    static std::optional<std::string> keyOf(const std::string& identifier) {
        return parseIdentifier(identifier);
    }

    std::optional<std::string> record(const std::string& key);
    // A JSON array of records and the revision it shows.
    struct Listing {
        std::string items;
        std::int64_t revision = 0;
    };
    // The children of a folder, or none when `key` is not a folder.
    std::optional<Listing> children(const std::string& key);
    // Every item but the root.
    Listing all();
    std::int64_t revision();
    const std::string& epoch() const { return epoch_; }
    // The JSON arrays of "updates" and "deletions" since `revision` and the revision they lead to, taken
    // together; none when this history cannot continue from `revision`: it is ahead of it, or older than
    // deletions the tree no longer remembers.
    struct Changes {
        std::string updates;
        std::string deletions;
        std::int64_t revision = 0;
    };
    std::optional<Changes> changesSince(std::int64_t revision);

    // An open file for reading and its size, or a refusal.
    struct Reading {
        std::optional<Refusal> refusal;
        int fd = -1;
        std::uint64_t size = 0;
    };
    Reading openForReading(const std::string& key);

    // Uploads: `receive` writes the body into the temporary file it is given and returns a refusal when
    // the body was incomplete or did not match. With an empty `base` the upload creates the item and
    // refuses any name already taken; otherwise it replaces the item, keeping the other version as a
    // conflict copy when `base` is not the current content revision.
    using Receiver = std::function<std::optional<Refusal>(int fd)>;
    Outcome putContent(const std::string& key, const std::string& base, std::uint64_t length,
                       const Receiver& receive);
    Outcome makeFolder(const std::string& key);
    Outcome move(const std::string& from, const std::string& to);
    // isDir: the caller's view; base for files; anchor for recursive folder deletes.
    Outcome remove(const std::string& key, bool isDir, bool recursive, const std::optional<std::string>& base,
                   const std::optional<std::int64_t>& anchor);

    // Writes the state for the next start (marked clean: anchors stay valid); the error, if any.
    std::optional<std::string> saveClean();

    // Folders read so far, for tests and diagnostics.
    std::uint64_t foldersScanned();

private:
    struct Node {
        std::string diskName;
        bool isDir = false;
        std::int64_t size = 0;
        std::int64_t mtimeNs = 0;
        std::int64_t ctimeNs = 0; // 0: not known (a state written before it was kept)
        ino_t inode = 0;
        bool writable = true;
        std::int64_t contentRev = 0;
        std::int64_t metadataRev = 0;
        std::int64_t changedRev = 0;
        bool deleted = false;
    };
    // Scanning and watching (TreeScan.cpp).
    void syncLocked();
    void scanDirectoryLocked(const std::string& key, bool recursive);
    void watchLocked(const std::string& key, int dirFd);
    void forgetWatchLocked(const std::string& key);
    void markDeletedLocked(const std::string& key);
    void noticeLocked(const std::string& diskPath, const std::string& why);
    void pruneLocked();
    std::int64_t nextRevisionLocked();
    void wakeLocked();
    void run();

    // Resolution below the root.
    std::string diskPathLocked(const std::string& key) const;
    Fd openFolderLocked(const std::string& key) const;
    bool isIndexedLocked(int folder, const Node& node, struct stat* found = nullptr) const;
    bool servesAllLocked(int folder, const std::string& key);
    bool removeServedLocked(int folder, const std::string& key);

    const Node* liveLocked(const std::string& key) const;
    std::string recordLocked(const std::string& key, const Node& node) const;
    bool changedAfterLocked(const std::string& key, std::int64_t anchor) const;
    void refreshNodeLocked(const std::string& key, int folder, const std::string& diskName,
                           bool contentChanged);
    static void takeIdentity(Node& node, const struct stat& info);
    std::optional<std::string> conflictNameLocked(int folder, const std::string& parent,
                                                  const std::string& name) const;
    std::uint64_t usedBytesLocked() const;
    void loadState();
    std::optional<std::string> saveStateLocked(bool clean);
    std::string versionText(std::int64_t rev) const;

    Options options_;
    Fd rootFd_;
    std::string epoch_;
    std::mutex mutex_;
    std::int64_t revision_ = 0;
    std::int64_t floor_ = 0; // deletions up to this revision are forgotten
    std::int64_t prunedAt_ = 0;
    std::map<std::string, Node> nodes_;                               // tombstones included
    std::unordered_map<std::string, std::set<std::string>> children_; // live children names by parent key
    Fd inotify_;
    std::unordered_map<int, std::string> watches_; // watch descriptor -> directory key
    std::unordered_map<std::string, int> watchOf_;
    std::set<std::string> unwatched_; // no watch to be had: rescanned at every sync
    std::set<std::string> retry_;     // could not be read: kept as they were, read again at every sync
    bool sweeping_ = false;           // the first scan removes upload temporaries left by a crash
    bool saidUnwatched_ = false;
    std::set<std::string> said_; // notices given, bounded
    std::uint64_t scans_ = 0;

    // The tree's own thread, when a callback wants it.
    std::thread thread_;
    Fd wake_; // eventfd: a change or a notice is waiting, or the tree stops
    bool wakePending_ = false;
    bool stopping_ = false;
    std::vector<std::string> notices_;
};

} // namespace refhost
