#pragma once

// For the black-box tests: wl-refhost on a temporary folder, and wl-hostcheck run as a user runs it
// against that host or against a broken one in front of it.
#include "Processes.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace hostcheck_test {

namespace fs = std::filesystem;

inline constexpr const char* group = "WLH3V8N4PC.org.wyvernloft.shared";
inline constexpr const char* token = "hostcheck-test-token";

class HostCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root());
        fs::create_directories(dir.path() / "tmp");
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()},
                       {"FP_STATE_DIR", (dir.path() / "state").string()},
                       {"TMPDIR", (dir.path() / "tmp").string()}};
    }
    void startHost() {
        host =
            std::make_unique<e2e::RefHost>(root(), environment, std::vector<std::string>{"--token", token});
    }
    fs::path root() const { return dir.path() / "root"; }
    fs::path hostConnection() const { return dir.path() / "groups" / group / "fphost.json"; }
    int hostPort() const {
        return static_cast<int>(
            boost::json::parse(foundation::readFile(hostConnection()).value()).at("port").as_int64());
    }
    // A connection file for another host (a broken one in front of the real host), mode 0600.
    fs::path connectionFor(int port) {
        fs::path file = dir.path() / "broken-host.json";
        boost::json::object connection{{"port", port}, {"token", token}};
        foundation::writeAtomically(file, boost::json::serialize(connection));
        ::chmod(file.c_str(), 0600);
        return file;
    }

    struct Outcome {
        int exitCode = -1;
        boost::json::object report;
        std::string err;
        std::string status(const std::string& check) const {
            if (!report.contains("checks"))
                return "no report";
            for (const auto& entry : report.at("checks").as_array())
                if (entry.at("name").as_string() == check)
                    return std::string(entry.at("status").as_string());
            return "absent";
        }
    };
    Outcome hostcheck(std::vector<std::string> arguments) {
        arguments.emplace_back("--json");
        e2e::Run run = e2e::run(WL_HOSTCHECK_PATH, arguments, "", environment);
        Outcome outcome{run.exitCode, {}, run.err};
        boost::json::error_code ec;
        auto parsed = boost::json::parse(run.out, ec);
        if (!ec && parsed.is_object())
            outcome.report = parsed.get_object();
        else
            ADD_FAILURE() << "not a JSON report: " << run.out << run.err;
        return outcome;
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
    std::unique_ptr<e2e::RefHost> host;
};

} // namespace hostcheck_test
