#include "foundation/Files.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace foundation;
using support::ScopedEnvironment;
using support::TemporaryDirectory;

TEST(Files, AppGroupContainerIsMadeUnderTheGroupsDirectory) {
    TemporaryDirectory dir;
    ScopedEnvironment groups("FP_APP_GROUPS_DIR", (dir.path() / "groups").string());
    auto container = appGroupContainer("group.example");
    ASSERT_TRUE(container);
    EXPECT_EQ(*container, dir.path() / "groups" / "group.example");
    EXPECT_TRUE(std::filesystem::is_directory(*container));
    EXPECT_FALSE(appGroupContainer("../escape"));
    EXPECT_FALSE(appGroupContainer(""));
    EXPECT_FALSE(appGroupContainer(".."));
}

TEST(Files, AppGroupsDefaultUnderXdgDataHome) {
    TemporaryDirectory dir;
    ScopedEnvironment groups("FP_APP_GROUPS_DIR", std::nullopt);
    ScopedEnvironment data("XDG_DATA_HOME", dir.path().string());
    EXPECT_EQ(appGroupContainer("g"), dir.path() / "fileprovider" / "app-groups" / "g");
}

TEST(Files, AtomicWriteReplacesWholeAndLeavesNoTemporaryFiles) {
    TemporaryDirectory dir;
    auto target = dir.path() / "store.json";
    ASSERT_EQ(writeAtomically(target, "old"), nullptr);
    ASSERT_EQ(writeAtomically(target, "new contents"), nullptr);
    EXPECT_EQ(readFile(target), "new contents");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    auto error = writeAtomically(dir.path() / "missing" / "x", "y");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
    EXPECT_FALSE(readFile(dir.path() / "missing" / "x"));
}

TEST(Files, TemporaryFilesAreExclusiveAndPrivate) {
    TemporaryDirectory dir;
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        auto file = createTemporaryFile(dir.path(), "t-");
        ASSERT_TRUE(file);
        struct stat info {};
        ASSERT_EQ(::fstat(file->fd, &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ::close(file->fd);
        names.insert(file->path.string());
    }
    EXPECT_EQ(names.size(), 20u);
}

TEST(Files, UUIDStringsAreUpperCaseCanonical) {
    std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    auto a = uuidString();
    EXPECT_TRUE(std::regex_match(a, form)) << a;
    EXPECT_NE(a, uuidString());
}

TEST(Files, InputStreamReadsToTheEndAndReportsErrors) {
    TemporaryDirectory dir;
    ASSERT_EQ(writeAtomically(dir.path() / "f", "abcdef"), nullptr);
    InputStream stream(dir.path() / "f");
    stream.open();
    char buffer[4];
    EXPECT_EQ(stream.read(buffer, 4), 4);
    EXPECT_EQ(stream.read(buffer, 4), 2);
    EXPECT_EQ(stream.read(buffer, 4), 0);
    EXPECT_EQ(stream.streamStatus(), InputStream::Status::atEnd);
    InputStream missing(dir.path() / "nope");
    missing.open();
    EXPECT_EQ(missing.streamStatus(), InputStream::Status::error);
    EXPECT_LT(missing.read(buffer, 4), 0);
}
