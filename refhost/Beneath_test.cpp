#include "Beneath.h"
#include "support/Waiting.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace refhost;
namespace fs = std::filesystem;

namespace {

// root/ holds d/f.txt, a link to a folder outside (out -> ../outside), a link to a file inside, and a
// link to "." ; outside/ holds secret.txt.
class BeneathTest : public ::testing::TestWithParam<Resolution> {
protected:
    void SetUp() override {
        if (GetParam() == Resolution::kernel && !kernelResolvesBeneath())
            GTEST_SKIP() << "this kernel has no openat2";
        fs::create_directories(dir.path() / "root/d/e");
        fs::create_directories(dir.path() / "outside");
        std::ofstream(dir.path() / "root/d/f.txt") << "inside";
        std::ofstream(dir.path() / "outside/secret.txt") << "outside";
        fs::create_directory_symlink("../outside", dir.path() / "root/out");
        fs::create_directory_symlink(dir.path() / "outside", dir.path() / "root/d/abs");
        fs::create_symlink("f.txt", dir.path() / "root/d/alias.txt");
        fs::create_directory_symlink(".", dir.path() / "root/self");
        root = Fd(::open((dir.path() / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(root);
    }
    std::pair<int, int> open(const std::string& path, int flags = O_RDONLY) {
        errno = 0;
        Fd fd(openBeneath(root.get(), path, flags, 0600, GetParam()));
        return {fd ? 0 : -1, fd ? 0 : errno};
    }

    support::TemporaryDirectory dir;
    Fd root;
};

} // namespace

TEST_P(BeneathTest, OpensWhatIsBelowAndNothingThroughALink) {
    struct Case {
        const char* path;
        int result;              // 0 opened, -1 refused
        std::vector<int> errors; // any of these when refused
    };
    const Case cases[] = {
        {"", 0, {}},
        {".", 0, {}},
        {"d", 0, {}},
        {"d/f.txt", 0, {}},
        {"d/e", 0, {}},
        {"out/secret.txt", -1, {ELOOP, ENOTDIR}},   // a link in the middle
        {"out", -1, {ELOOP, ENOTDIR}},              // a link at the end
        {"d/abs/secret.txt", -1, {ELOOP, ENOTDIR}}, // an absolute link
        {"d/alias.txt", -1, {ELOOP}},               // even a link that stays inside
        {"self/d/f.txt", -1, {ELOOP, ENOTDIR}},
        {"../outside/secret.txt", -1, {EXDEV}},
        {"d/../../outside/secret.txt", -1, {EXDEV}},
        {"/etc/passwd", -1, {EXDEV}},
        {"d/none/f.txt", -1, {ENOENT}},
        {"d/f.txt/x", -1, {ENOTDIR}},
    };
    for (const auto& c : cases) {
        auto [result, error] = open(c.path);
        EXPECT_EQ(result, c.result) << c.path;
        if (c.result != 0) {
            EXPECT_TRUE(std::find(c.errors.begin(), c.errors.end(), error) != c.errors.end())
                << c.path << ": " << std::strerror(error);
        }
    }
}

TEST_P(BeneathTest, CreatesOnlyBelowAndNeverThroughALink) {
    EXPECT_EQ(open("d/new.txt", O_WRONLY | O_CREAT | O_EXCL).first, 0);
    EXPECT_TRUE(fs::exists(dir.path() / "root/d/new.txt"));
    EXPECT_EQ(open("out/planted.txt", O_WRONLY | O_CREAT).first, -1);
    EXPECT_EQ(open("d/alias.txt", O_WRONLY | O_CREAT | O_TRUNC).first, -1);
    EXPECT_FALSE(fs::exists(dir.path() / "outside/planted.txt"));
    std::ifstream file(dir.path() / "root/d/f.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "inside"); // not truncated through alias
}

INSTANTIATE_TEST_SUITE_P(BothWays, BeneathTest, ::testing::Values(Resolution::kernel, Resolution::walk),
                         [](const auto& info) {
                             return info.param == Resolution::kernel ? "openat2" : "walk";
                         });
