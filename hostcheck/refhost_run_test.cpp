// wl-hostcheck against wl-refhost, on a root that holds files of its own: every check passes, and the root
// is left exactly as it was.
#include "HostCheckTest.h"

#include <fstream>
#include <iostream>

using namespace hostcheck_test;
namespace json = boost::json;

namespace {

// Every entry below `top`: kind, permissions, modification time and bytes, links not followed.
std::map<std::string, std::string> tree(const fs::path& top) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode))
            state += " " + foundation::readFile(entry.path()).value_or("<unreadable>");
        else if (S_ISLNK(info.st_mode))
            state += " -> " + fs::read_symlink(entry.path()).string();
        out[fs::relative(entry.path(), top).string()] = state;
    }
    return out;
}

class AgainstRefHost : public HostCheckTest {};

} // namespace

TEST_F(AgainstRefHost, PassesEveryCheckAndLeavesTheRootAsItWas) {
    fs::create_directories(root() / "Docs" / "sub");
    fs::create_directories(root() / "empty folder");
    std::ofstream(root() / "user.txt") << "the user's own file";
    std::ofstream(root() / ".hidden") << "hidden";
    std::ofstream(root() / "Docs" / "report.bin", std::ios::binary) << std::string(100000, '\x7f') << '\0';
    std::ofstream(root() / "Docs" / "sub" / "deep.txt") << "deep";
    fs::permissions(root() / "Docs" / "sub" / "deep.txt", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("user.txt", root() / "link to user.txt");
    startHost();
    auto before = tree(root());

    Outcome run = hostcheck({"--root", root().string()});
    for (const auto& entry : run.report.at("checks").as_array()) {
        std::string name(entry.at("name").as_string()), status(entry.at("status").as_string());
        std::cout << "  " << status << "\t" << entry.at("level").as_string() << "\t" << name << "\n";
        EXPECT_TRUE(status == "pass" || status == "info") << json::serialize(entry);
    }
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.report.at("cleanup").as_string(), "removed");
    EXPECT_EQ(tree(root()), before);
}

TEST_F(AgainstRefHost, KeepsTheScratchFolderWhenAskedAndRefusesOneThatExists) {
    startHost();
    Outcome kept = hostcheck({"--scratch", "kept scratch", "--keep", "--only", "item.*,list.folder"});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_EQ(kept.report.at("cleanup").as_string(), "kept");
    EXPECT_TRUE(fs::is_regular_file(root() / "kept scratch" / "list-folder" / "c" / "d.txt"));
    auto before = tree(root());
    e2e::Run again =
        e2e::run(WL_HOSTCHECK_PATH, {"--scratch", "kept scratch", "--only", "item.*"}, "", environment);
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(tree(root()), before);
}

TEST_F(AgainstRefHost, TellsAConnectionFileItCannotUseFromAHostThatDoesNotAnswer) {
    startHost();
    std::string port = std::to_string(hostPort());
    struct Row {
        std::string contents;
        unsigned mode;
        std::map<std::string, std::string> statuses;
        int exitCode;
    };
    for (const Row& row : std::vector<Row>{
             {"{\"port\":" + port + ",\"token\":\"" + token + "\"}",
              0600,
              {{"connection.file", "pass"}, {"connection.private", "pass"}, {"connection.reachable", "pass"}},
              0},
             {"{\"port\":" + port + ",\"token\":\"" + token + "\"}",
              0644,
              {{"connection.private", "fail"}},
              0},
             {"{\"port\":\"" + port + "\",\"token\":\"t\"}",
              0600,
              {{"connection.file", "fail"}, {"connection.reachable", "blocked"}},
              1},
             {"{\"port\":1,\"token\":\"t\"}",
              0600,
              {{"connection.file", "pass"}, {"connection.reachable", "fail"}},
              1},
         }) {
        fs::path file = dir.path() / "connection.json";
        fs::remove(file);
        std::ofstream(file) << row.contents;
        ::chmod(file.c_str(), row.mode);
        Outcome run = hostcheck({"--connection", file.string(), "--only", "connection.*"});
        for (const auto& [check, status] : row.statuses)
            EXPECT_EQ(run.status(check), status) << row.contents << " " << check;
        EXPECT_EQ(run.exitCode, row.exitCode) << row.contents;
    }
}
