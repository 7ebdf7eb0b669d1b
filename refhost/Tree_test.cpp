// The tree against the disk as unlucky users and other programs leave it.
#include "Tree.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace refhost;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(root()); }

    fs::path root() const { return dir.path() / "root"; }
    fs::path outside() const { return dir.path() / "outside"; }
    void start(Tree::Options options = {}) {
        options.root = root();
        if (!options.stateDirectory)
            options.stateDirectory = dir.path() / "state";
        tree.reset();
        tree = std::make_unique<Tree>(std::move(options));
    }

    void write(const fs::path& relative, const std::string& bytes) {
        fs::create_directories((root() / relative).parent_path());
        std::ofstream(root() / relative, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string onDisk(const fs::path& relative) {
        return foundation::readFile(root() / relative).value_or("<none>");
    }
    Outcome upload(const std::string& key, const std::string& base, const std::string& bytes,
                   const std::function<void()>& meanwhile = {}) {
        return tree->putContent(key, base, bytes.size(), [&](int fd) -> std::optional<Refusal> {
            if (meanwhile)
                meanwhile();
            foundation::writeAll(fd, bytes);
            return std::nullopt;
        });
    }
    json::object record(const std::string& key) {
        auto text = tree->record(key);
        return text ? json::parse(*text).as_object() : json::object{};
    }
    std::string version(const std::string& key) {
        auto r = record(key);
        return r.contains("contentVersion") ? std::string(r.at("contentVersion").as_string()) : "<none>";
    }
    std::vector<std::string> ids(const std::string& array) {
        std::vector<std::string> out;
        json::value parsed = json::parse(array);
        for (const auto& v : parsed.as_array())
            out.emplace_back(v.is_string() ? v.as_string() : v.as_object().at("identifier").as_string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> all() { return ids(tree->all().items); }
    std::int64_t listed(const std::string& key) { return tree->children(key)->revision; }
    Outcome removeFolder(const std::string& key, std::int64_t anchor) {
        return tree->remove(key, true, true, std::nullopt, anchor);
    }
    static std::string kind(const Outcome& outcome) { return outcome.refusal ? outcome.refusal->kind : "ok"; }
    std::vector<std::string> leftovers(const fs::path& relative) {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root() / relative))
            if (entry.path().filename().string().rfind(".wl-upload-", 0) == 0)
                out.push_back(entry.path().string());
        return out;
    }

    support::TemporaryDirectory dir;
    std::unique_ptr<Tree> tree;
    using Strings = std::vector<std::string>;
};

// Lowers the descriptor limit to what is open now, for a scope: nothing more can be opened.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~NoDescriptorsLeft() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

// Names that sort between "Docs" and "Docs/": every character below "/" after the common stem.
const char* const siblings[] = {"Docs.txt", "Docs 2", "Docs (old)", "Docs-x",
                                "Docs,1",   "Docs+",  "Docs&co",    "Docs!"};

} // namespace

TEST_F(TreeTest, SiblingsSortingBeforeTheSlashNeverHideAFoldersContents) {
    for (const char* sibling : siblings) {
        SCOPED_TRACE(sibling);
        fs::remove_all(root());
        write("Docs/seen.txt", "seen");
        write("Docs/Inner/deep.txt", "deep");
        write(sibling, "sibling");
        start();
        auto anchor = listed("Docs");
        write("Docs/Inner/new.txt", "added after the listing");
        EXPECT_EQ(kind(removeFolder("Docs", anchor)), "changed");
        EXPECT_EQ(onDisk("Docs/Inner/new.txt"), "added after the listing");

        auto seen = version("Docs/seen.txt");
        ASSERT_FALSE(tree->move("Docs", "Archive").refusal);
        EXPECT_EQ(all(), (Strings{"Archive", "Archive/Inner", "Archive/Inner/deep.txt",
                                  "Archive/Inner/new.txt", "Archive/seen.txt", sibling}));
        EXPECT_EQ(version("Archive/seen.txt"), seen); // the contents moved: no new download
        tree->saveClean();
        start(); // the saved state holds no ghost either
        EXPECT_EQ(all().size(), 6u);
        EXPECT_EQ(version("Archive/seen.txt"), seen);
    }
}

TEST_F(TreeTest, AFolderThatCannotBeReadKeepsWhatItHolds) {
    write("Docs/a.txt", "a");
    write("Docs/Sub/b.txt", "b");
    start();
    auto since = tree->revision();
    write("Docs/c.txt", "c"); // Docs must be read again
    {
        NoDescriptorsLeft squeeze;
        auto changes = tree->changesSince(since);
        ASSERT_TRUE(changes);
        EXPECT_EQ(ids(changes->deletions), Strings{});
        EXPECT_TRUE(tree->record("Docs/Sub/b.txt"));
    }
    // Once it can be read, it is, without another event.
    auto changes = tree->changesSince(since);
    EXPECT_EQ(ids(changes->updates), Strings{"Docs/c.txt"});
    EXPECT_EQ(ids(changes->deletions), Strings{});
    if (::geteuid() != 0) { // the same for a folder the user may not read (root may read anything)
        ::chmod((root() / "Docs").c_str(), 0);
        write("x.txt", "x");
        EXPECT_EQ(ids(tree->changesSince(since)->deletions), Strings{});
        ::chmod((root() / "Docs").c_str(), 0755);
    }
}

TEST_F(TreeTest, EditsThatKeepSizeAndModificationTimeAreSeen) {
    enum class Edit { inPlace, replaced };
    for (Edit edit : {Edit::inPlace, Edit::replaced}) {
        SCOPED_TRACE(edit == Edit::inPlace ? "in place" : "replaced");
        fs::remove_all(root());
        write("a.txt", "original");
        start();
        auto base = version("a.txt");
        struct stat before {};
        ::stat((root() / "a.txt").c_str(), &before);
        // cp -p, rsync -t, tar: the same size, and the modification time put back.
        if (edit == Edit::inPlace) {
            write("a.txt", "replaced");
        } else {
            write("new.tmp", "replaced");
            fs::rename(root() / "new.tmp", root() / "a.txt");
        }
        timespec times[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, (root() / "a.txt").c_str(), times, 0);
        EXPECT_NE(version("a.txt"), base);
        // So an upload made against the old version keeps the edit as a conflict copy.
        auto outcome = upload("a.txt", base, "mine");
        ASSERT_TRUE(outcome.conflictCopy);
        EXPECT_EQ(onDisk("a (conflict 1).txt"), "replaced");
        EXPECT_EQ(onDisk("a.txt"), "mine");
    }
}

TEST_F(TreeTest, ARecursiveDeleteRemovesOnlyWhatWasServed) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& folder)> make;
        const char* stays; // below the folder
    };
    fs::create_directories(outside());
    std::ofstream(outside() / "precious.txt") << "precious";
    const Case cases[] = {
        {"a name that is not UTF-8", [](const fs::path& d) { std::ofstream(d / "bad\xff.txt") << "x"; },
         "bad\xff.txt"},
        {"a symbolic link",
         [&](const fs::path& d) { fs::create_symlink(outside() / "precious.txt", d / "link"); }, "link"},
        {"a link to a folder", [&](const fs::path& d) { fs::create_directory_symlink(outside(), d / "out"); },
         "out"},
        {"an NFC twin", [](const fs::path& d) { std::ofstream(d / "Inner/e\xCC\x81.txt") << "twin"; },
         "Inner/e\xCC\x81.txt"},
        {"an upload in flight", [](const fs::path& d) { std::ofstream(d / ".wl-upload-live") << "x"; },
         ".wl-upload-live"},
        {"a FIFO", [](const fs::path& d) { ::mkfifo((d / "fifo").c_str(), 0644); }, "fifo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root());
        write("D/seen.txt", "seen");
        write("D/Inner/\xC3\xA9.txt", "nfc");
        start();
        c.make(root() / "D");
        auto anchor = listed("D");
        auto outcome = removeFolder("D", anchor);
        EXPECT_EQ(kind(outcome), "changed");
        EXPECT_TRUE(fs::exists(fs::symlink_status(root() / "D" / c.stays)));
        EXPECT_EQ(onDisk("D/seen.txt"), "seen"); // nothing at all is removed
        EXPECT_EQ(onDisk("D/Inner/\xC3\xA9.txt"), "nfc");
        EXPECT_EQ(foundation::readFile(outside() / "precious.txt"), "precious");
    }
    fs::remove_all(root());
    write("D/seen.txt", "seen");
    write("D/Inner/x.txt", "x");
    start();
    EXPECT_EQ(kind(removeFolder("D", listed("D"))), "ok");
    EXPECT_FALSE(fs::exists(root() / "D"));
}

TEST_F(TreeTest, UploadTemporariesAreNeverStranded) {
    write("F/keep.txt", "k");
    start();
    // The folder moves while the body arrives: the upload fails, and leaves nothing behind.
    auto outcome = upload("F/x.txt", "", "late", [&] { ASSERT_FALSE(tree->move("F", "G").refusal); });
    EXPECT_EQ(kind(outcome), "not_found");
    EXPECT_EQ(leftovers("G"), Strings{});
    ASSERT_FALSE(tree->remove("G/keep.txt", false, false, version("G/keep.txt"), std::nullopt).refusal);
    EXPECT_EQ(kind(tree->remove("G", true, false, std::nullopt, std::nullopt)), "ok"); // empty: deletable
    // What a crash left is removed at the next start.
    write("H/.wl-upload-1234", "partial");
    start();
    EXPECT_EQ(leftovers("H"), Strings{});
    EXPECT_EQ(kind(tree->remove("H", true, false, std::nullopt, std::nullopt)), "ok");
}

TEST_F(TreeTest, NothingTheListingHidesIsReplaced) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& at)> make;
    };
    fs::create_directories(outside());
    const Case cases[] = {
        {"a file", [](const fs::path& at) { std::ofstream(at) << "user's"; }},
        {"a symbolic link", [&](const fs::path& at) { fs::create_symlink(outside() / "target", at); }},
        {"a FIFO", [](const fs::path& at) { ::mkfifo(at.c_str(), 0644); }},
        {"a name that is an NFC twin",
         [](const fs::path& at) { std::ofstream(at.parent_path() / "e\xCC\x81") << "nfd"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root());
        write("other.txt", "other");
        start();
        fs::path at = root() / "\xC3\xA9";
        c.make(at);
        auto snapshot = [&] {
            std::string out;
            for (const auto& entry : fs::directory_iterator(root()))
                out +=
                    entry.path().filename().string() + ":" +
                    std::to_string(static_cast<int>(entry.symlink_status().type())) + ":" +
                    (entry.is_regular_file() && !entry.is_symlink() ? onDisk(entry.path().filename()) : "") +
                    ";";
            return out;
        };
        auto before = snapshot();
        EXPECT_EQ(kind(upload("\xC3\xA9", "", "creation")), "collision");
        EXPECT_EQ(kind(tree->makeFolder("\xC3\xA9")), "collision");
        EXPECT_EQ(kind(tree->move("other.txt", "\xC3\xA9")), "collision");
        EXPECT_EQ(snapshot(), before); // the user's file is neither moved nor replaced
    }
}

TEST_F(TreeTest, ReplacementsKeepTheFilesModeAndOwner) {
    write("run.sh", "#!/bin/sh\n");
    ::chmod((root() / "run.sh").c_str(), 0750);
    start();
    ASSERT_FALSE(upload("run.sh", version("run.sh"), "#!/bin/sh\necho 1\n").refusal);
    struct stat info {};
    ::stat((root() / "run.sh").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    write("run.sh", "#!/bin/sh\necho edited\n");
    auto conflict = upload("run.sh", "0.old", "#!/bin/sh\necho mine\n");
    ASSERT_TRUE(conflict.conflictCopy);
    ::stat((root() / "run.sh").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    ASSERT_FALSE(upload("new.txt", "", "n").refusal);
    ::stat((root() / "new.txt").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(TreeTest, AFileThatCannotBeOpenedIsNotReportedGone) {
    write("a.txt", "a");
    start();
    {
        NoDescriptorsLeft squeeze;
        auto reading = tree->openForReading("a.txt");
        ASSERT_TRUE(reading.refusal);
        EXPECT_NE(reading.refusal->status, 404);
        EXPECT_EQ(reading.refusal->code, "EMFILE");
    }
    if (::geteuid() != 0) {
        ::chmod((root() / "a.txt").c_str(), 0);
        auto reading = tree->openForReading("a.txt");
        ASSERT_TRUE(reading.refusal);
        EXPECT_EQ(reading.refusal->status, 403);
        EXPECT_EQ(reading.refusal->kind, "unreadable");
    }
}

TEST_F(TreeTest, FoldersWithoutAWatchAreReadAtEverySync) {
    write("Docs/a.txt", "a");
    std::mutex mutex;
    std::vector<std::string> notices;
    Tree::Options options;
    options.watchLimit = 1; // the root only, as when fs.inotify.max_user_watches is reached
    options.notice = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        notices.push_back(line);
    };
    start(options);
    auto since = tree->revision();
    write("Docs/b.txt", "b");
    EXPECT_EQ(ids(tree->changesSince(since)->updates), Strings{"Docs/b.txt"});
    write("Docs/c.txt", "c");
    EXPECT_EQ(ids(tree->changesSince(since)->updates), (Strings{"Docs/b.txt", "Docs/c.txt"}));
    for (int i = 0; i < 500 &&
                    [&] {
                        std::lock_guard lock(mutex);
                        return notices.empty();
                    }();
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tree->revision();
    std::lock_guard lock(mutex);
    ASSERT_EQ(notices.size(), 1u); // said once, however often the folder is read
    EXPECT_NE(notices[0].find("cannot be watched"), std::string::npos);
}

TEST_F(TreeTest, FoldersMovedByOtherProgramsStayWatched) {
    struct Case {
        const char* from;
        const char* to;
    };
    // Both orders of the two parents' keys: the new place read before the old one, and after.
    for (const auto& [from, to] :
         {Case{"X/A", "B/A"}, Case{"B/A", "X/A"}, Case{"X/A", "X/Y/A"}, Case{"A", "Z/A"}}) {
        SCOPED_TRACE(std::string(from) + " -> " + to);
        fs::remove_all(root());
        write(std::string(from) + "/Sub/old.txt", "old");
        fs::create_directories(root() / fs::path(to).parent_path());
        fs::create_directories(root() / "B");
        fs::create_directories(root() / "X");
        start();
        auto since = tree->revision();
        fs::rename(root() / from, root() / to);
        tree->revision(); // the move is seen
        write(std::string(to) + "/Sub/new.txt", "new");
        write(std::string(to) + "/top.txt", "top");
        auto changes = tree->changesSince(since);
        auto updates = ids(changes->updates);
        for (const auto& expected : {std::string(to) + "/Sub/new.txt", std::string(to) + "/top.txt"})
            EXPECT_NE(std::find(updates.begin(), updates.end(), expected), updates.end()) << expected;
        EXPECT_FALSE(tree->record(std::string(from) + "/Sub/old.txt"));
    }
}

TEST_F(TreeTest, MovesMadeThroughTheHostReadOnlyTheFoldersConcerned) {
    for (int i = 0; i < 100; ++i)
        write("F" + std::to_string(i) + "/f.txt", "f");
    start();
    auto before = tree->foldersScanned();
    ASSERT_FALSE(tree->move("F1", "F0/F1").refusal);
    tree->revision();
    EXPECT_LT(tree->foldersScanned() - before, 10u);
}

TEST_F(TreeTest, DeletionsAreRememberedUpToALimitAndOlderAnchorsExpire) {
    Tree::Options options;
    options.tombstoneLimit = 8;
    start(options);
    auto first = tree->revision();
    std::int64_t late = 0;
    for (int i = 0; i < 40; ++i) {
        auto made = upload("f" + std::to_string(i), "", "x");
        ASSERT_FALSE(made.refusal);
        if (i == 36)
            late = tree->revision();
        ASSERT_FALSE(tree->remove("f" + std::to_string(i), false, false, version("f" + std::to_string(i)),
                                  std::nullopt)
                         .refusal);
    }
    tree->revision();
    EXPECT_FALSE(tree->changesSince(first)); // its deletions were forgotten: it cannot be continued
    auto recent = tree->changesSince(late);
    ASSERT_TRUE(recent);
    EXPECT_EQ(ids(recent->deletions), (Strings{"f36", "f37", "f38", "f39"}));
    tree->saveClean();
    start(options);
    EXPECT_FALSE(tree->changesSince(first));
    EXPECT_TRUE(tree->changesSince(late));
}

TEST_F(TreeTest, AStateThatCannotBeMarkedInUseRefusesToStart) {
    std::ofstream(dir.path() / "a-file") << "not a folder";
    Tree::Options options;
    options.stateDirectory = dir.path() / "a-file" / "state";
    EXPECT_THROW(start(options), std::runtime_error);
}

TEST_F(TreeTest, ChangesAreDeliveredOnTheTreesThreadCoalesced) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> calls;
    std::thread::id caller;
    Tree::Options options;
    options.coalesce = std::chrono::milliseconds(100);
    options.changed = [&](std::int64_t revision) {
        std::lock_guard lock(mutex);
        calls.push_back(revision);
        caller = std::this_thread::get_id();
        changed.notify_all();
    };
    start(options);
    auto waitCalls = [&](std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls.size() >= n; });
    };
    ASSERT_TRUE(waitCalls(1));  // once at start
    for (int i = 0; i < 5; ++i) // a burst from another program
        write("burst" + std::to_string(i), "b");
    ASSERT_TRUE(waitCalls(2));
    ASSERT_FALSE(upload("mine.txt", "", "m").refusal); // and a change through the host
    ASSERT_TRUE(waitCalls(3));
    auto revision = tree->revision();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls.back(), revision);
    EXPECT_LE(calls.size(), 4u); // five files in one burst give one call, maybe two
    EXPECT_NE(caller, std::this_thread::get_id());
}
