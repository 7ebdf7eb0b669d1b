#pragma once

// The reference host's model of the folder it serves: an index of every item below the root, keyed by
// its identifier (the path below the root in NFC, names joined with "/"), with content and metadata
// revisions and a change log numbered by one growing revision. Changes made by other programs reach
// the index through inotify before every operation. Thread-safe: one lock guards the index; file
// transfers run outside it.
#include "server/Parsing.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
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
    };

    explicit Tree(Options options);
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // A host identifier as an index key: "" for the root, the path otherwise; none for identifiers the
    // host refuses (empty, "." or ".." segments, a leading or trailing "/", NUL).
    static std::optional<std::string> keyOf(const std::string& identifier);

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
    // together; none when the revision is ahead of this history.
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

    // Uploads: `receive` writes the body into the temporary file it is given and returns false when the
    // body was incomplete or did not match; the upload then takes the path, keeping the other version as
    // a conflict copy when `base` is not the current content revision.
    using Receiver = std::function<std::optional<Refusal>(int fd)>;
    Outcome putContent(const std::string& key, const std::string& base, std::uint64_t length,
                       const Receiver& receive);
    Outcome makeFolder(const std::string& key);
    Outcome move(const std::string& from, const std::string& to);
    // isDir: the caller's view; base for files; anchor for recursive folder deletes.
    Outcome remove(const std::string& key, bool isDir, bool recursive, const std::optional<std::string>& base,
                   const std::optional<std::int64_t>& anchor);

    // Writes the state for the next start (marked clean: anchors stay valid).
    void saveClean();

private:
    struct Node {
        std::string diskName;
        bool isDir = false;
        std::int64_t size = 0;
        std::int64_t mtimeNs = 0;
        ino_t inode = 0;
        bool writable = true;
        std::int64_t contentRev = 0;
        std::int64_t metadataRev = 0;
        std::int64_t changedRev = 0;
        bool deleted = false;
    };

    void syncLocked();
    void scanDirectoryLocked(const std::string& key, bool recursive);
    void markDeletedLocked(const std::string& key);
    void watchLocked(const std::string& key);
    std::filesystem::path diskPathLocked(const std::string& key) const;
    const Node* liveLocked(const std::string& key) const;
    std::string recordLocked(const std::string& key, const Node& node) const;
    bool changedAfterLocked(const std::string& key, std::int64_t anchor) const;
    void refreshNodeLocked(const std::string& key, const std::string& diskName, bool contentChanged);
    std::string conflictNameLocked(const std::string& parent, const std::string& name) const;
    std::uint64_t usedBytesLocked() const;
    void loadState();
    void saveStateLocked(bool clean);
    std::string versionText(std::int64_t rev) const;

    Options options_;
    std::string epoch_;
    std::mutex mutex_;
    std::int64_t revision_ = 0;
    std::map<std::string, Node> nodes_;                               // tombstones included
    std::unordered_map<std::string, std::set<std::string>> children_; // live children names by parent key
    int inotify_ = -1;
    std::unordered_map<int, std::string> watches_; // watch descriptor -> directory key
    std::unordered_map<std::string, int> watchOf_;
};

} // namespace refhost
