// The installed wl-fpdomain, black-box, against the platform's domain registry.
#include "../tests/e2e/Processes.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

namespace {

class InstalledTool : public ::testing::Test {
protected:
    e2e::Run tool(std::vector<std::string> words, const std::string& version = "15.0") {
        return e2e::run(WL_INSTALLED_TOOL, words, "",
                        {{"FP_STATE_DIR", state.path().string()}, {"FP_SYSTEM_VERSION", version}});
    }
    support::TemporaryDirectory state;
};

} // namespace

TEST_F(InstalledTool, DomainLifeCycle) {
    auto usage = tool({});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(
        usage.err,
        "usage: wl-fpdomain add|remove|wipe|signal|refresh|status|visible [identifier] [displayName]\n");

    EXPECT_EQ(tool({"status", "org.example.e2e"}).out, "{\"registered\": false, \"userEnabled\": null}\n");
    EXPECT_EQ(tool({"signal", "org.example.e2e"}).exitCode, 2); // no manager before it is added
    auto added = tool({"add", "org.example.e2e", "E2E"});
    EXPECT_EQ(added.exitCode, 0) << added.err;
    EXPECT_EQ(tool({"status", "org.example.e2e"}).out, "{\"registered\": true, \"userEnabled\": true}\n");
    EXPECT_EQ(tool({"status", "org.example.e2e"}, "14.0").out,
              "{\"registered\": true, \"userEnabled\": null}\n");

    auto visible = tool({"visible", "org.example.e2e"});
    EXPECT_EQ(visible.exitCode, 0);
    EXPECT_EQ(visible.out, (state.path() / "domains" / "org.example.e2e" / "root").string() + "\n");
    EXPECT_EQ(tool({"signal", "org.example.e2e"}).exitCode, 0);
    EXPECT_EQ(tool({"refresh", "org.example.e2e"}).exitCode, 0);

    auto old = tool({"remove", "org.example.e2e"}, "11.0");
    EXPECT_EQ(old.exitCode, 3);
    EXPECT_EQ(tool({"status", "org.example.e2e"}).out, "{\"registered\": true, \"userEnabled\": true}\n");
    auto removed = tool({"remove", "org.example.e2e"});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(tool({"status", "org.example.e2e"}).out, "{\"registered\": false, \"userEnabled\": null}\n");
    auto again = tool({"remove", "org.example.e2e"});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_NE(again.err.find("wl-fpdomain: remove failed: "), std::string::npos);

    EXPECT_EQ(tool({"add"}).exitCode, 0);
    EXPECT_EQ(tool({"status"}).out, "{\"registered\": true, \"userEnabled\": true}\n");
    EXPECT_EQ(tool({"wipe"}).exitCode, 0);
    EXPECT_EQ(tool({"status"}).out, "{\"registered\": false, \"userEnabled\": null}\n");
}
