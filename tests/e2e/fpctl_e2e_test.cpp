// The system at work end to end: wl-refhost serving a real folder, the extension module loaded by fpctl.
#include "Processes.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
namespace json = boost::json;
using e2e::RefHost;

namespace {

constexpr const char* root = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* workingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder() / "Docs");
        write("Docs/a.txt", "hello");
        write("readme.txt", "top");
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()},
                       {"FP_STATE_DIR", (dir.path() / "state").string()}};
    }
    fs::path folder() const { return dir.path() / "folder"; }
    void write(const std::string& relative, const std::string& bytes) {
        std::ofstream(folder() / relative, std::ios::binary | std::ios::trunc) << bytes;
    }
    // Runs one fpctl script; each line of output is one command's JSON object.
    std::vector<json::object> script(const std::vector<json::object>& commands, int expectedExit = 0) {
        auto result =
            e2e::fpctlScript({"--extension", WL_MODULE_PATH, "--domain", "e2e"}, commands, environment);
        EXPECT_EQ(result.exitCode, expectedExit) << result.err;
        if (expectedExit == 0) {
            EXPECT_EQ(result.outputs.size(), commands.size()) << result.err;
        }
        return result.outputs;
    }
    std::unique_ptr<RefHost> startHost() { return std::make_unique<RefHost>(folder(), environment); }

    static std::vector<std::string> ids(const json::value& items) {
        std::vector<std::string> out;
        for (const auto& item : items.as_array())
            out.emplace_back(item.as_object().at("itemIdentifier").as_string());
        std::sort(out.begin(), out.end());
        return out;
    }
    static json::array calls(const json::object& output) { return output.at("calls").as_array(); }
    static std::string finalAnchor(const json::object& output) {
        auto all = calls(output);
        return std::string(all.back().as_array().at(1).as_string());
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
    using Strings = std::vector<std::string>;
};

} // namespace

TEST_F(EndToEnd, ListLookUpDownloadAndFollowChanges) {
    auto host = startHost();
    auto out = script({{{"op", "info"}},
                       {{"op", "list"}, {"container", root}},
                       {{"op", "list"}, {"container", "Docs"}},
                       {{"op", "item"}, {"id", "Docs/a.txt"}},
                       {{"op", "anchor"}, {"container", workingSet}},
                       {{"op", "fetch"}, {"id", "Docs/a.txt"}}});
    EXPECT_EQ(out[0].at("bundleIdentifier").as_string(), "org.wyvernloft.FileProvider");
    EXPECT_EQ(out[0].at("domain").as_object().at("identifier").as_string(), "e2e");

    auto top = calls(out[1]);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].as_array().at(0).as_string(), "didEnumerateItems");
    EXPECT_EQ(ids(top[0].as_array().at(1)), (Strings{"Docs", "readme.txt"}));
    EXPECT_TRUE(top[1].as_array().at(1).is_null());
    EXPECT_EQ(ids(calls(out[2])[0].as_array().at(1)), Strings{"Docs/a.txt"});

    auto item = out[3].at("item").as_object();
    EXPECT_EQ(item.at("documentSize").as_int64(), 5);
    EXPECT_TRUE(item.at("decorations").is_null());
    EXPECT_EQ(out[3].at("progress").as_object().at("completed").as_int64(), 1);

    std::string anchor(out[4].at("anchor").as_string());
    EXPECT_NE(anchor.find("#0#"), std::string::npos) << anchor; // revision#generation#epoch

    auto fetched = out[5];
    EXPECT_TRUE(fetched.at("error").is_null());
    EXPECT_TRUE(fetched.at("file").is_string());
    auto local = fetched.at("item").as_object();
    EXPECT_EQ(local.at("decorations").as_array().at(0).as_string(), "org.wyvernloft.FileProvider.local");
    EXPECT_TRUE(local.at("itemVersion").as_object().at("metadataVersion").as_string().ends_with("#local"));
    EXPECT_EQ(fetched.at("signals").as_array(), json::array{workingSet});

    // The download is published to the working set; then an edit made with ordinary tools arrives.
    auto published = script({{{"op", "changes"}, {"container", workingSet}, {"anchor", anchor}}})[0];
    auto publishedCalls = calls(published);
    ASSERT_EQ(publishedCalls.size(), 2u) << json::serialize(published);
    auto update = publishedCalls[0].as_array().at(1).as_array().at(0).as_object();
    EXPECT_EQ(update.at("itemIdentifier").as_string(), "Docs/a.txt");
    EXPECT_TRUE(update.at("itemVersion").as_object().at("metadataVersion").as_string().ends_with("#local"));
    std::string next = finalAnchor(published);
    EXPECT_NE(next, anchor);

    write("Docs/a.txt", "hello again, edited in the folder");
    auto edited = script({{{"op", "changes"}, {"container", workingSet}, {"anchor", next}}})[0];
    auto editedCalls = calls(edited);
    ASSERT_EQ(editedCalls.size(), 2u) << json::serialize(edited);
    auto arrived = editedCalls[0].as_array().at(1).as_array().at(0).as_object();
    EXPECT_EQ(arrived.at("itemIdentifier").as_string(), "Docs/a.txt");
    EXPECT_EQ(arrived.at("documentSize").as_int64(), 33);
}

TEST_F(EndToEnd, PartialFetchAndMaterializedItems) {
    auto host = startHost();
    auto out = script(
        {{{"op", "fetchPartial"}, {"id", "Docs/a.txt"}, {"offset", 2}, {"length", 1}, {"alignment", 4096}},
         {{"op", "materializedChanged"}, {"pages", json::array{json::array{"Docs/a.txt"}, json::array{}}}},
         {{"op", "materializedChanged"}, {"pages", json::array{}}},
         {{"op", "materializedChanged"}, {"pages", json::array{json::array{"x"}}}, {"failOnPage", 0}}});
    EXPECT_EQ(out[0].at("range"), (json::array{0, 5}));
    EXPECT_EQ(out[0].at("flags").as_int64(), 1);
    EXPECT_EQ(out[0].at("signals"), json::array{workingSet});
    // The walk finds what the partial fetch kept: the store is unchanged, but the download is still to
    // be published, so the working set is signalled.
    EXPECT_TRUE(out[1].at("completed").as_bool());
    EXPECT_EQ(out[1].at("signals"), json::array{workingSet});
    // An empty walk drops it: the store shrinks and the working set is signalled again.
    EXPECT_EQ(out[2].at("signals"), json::array{workingSet});
    // A failed walk changes nothing and signals nothing.
    EXPECT_TRUE(out[3].at("completed").as_bool());
    EXPECT_TRUE(out[3].at("signals").as_array().empty());
}

TEST_F(EndToEnd, StoppedHostIsServerUnreachable) {
    auto host = startHost();
    host->stop();
    auto out = script({{{"op", "item"}, {"id", "Docs/a.txt"}}, {{"op", "list"}, {"container", root}}});
    auto error = out[0].at("error").as_object();
    EXPECT_EQ(error.at("domain").as_string(), "NSFileProviderErrorDomain");
    EXPECT_EQ(error.at("code").as_int64(), -1004);
    auto underlying = error.at("userInfo").as_object().at("NSUnderlyingError").as_object();
    EXPECT_EQ(underlying.at("domain").as_string(), "NSURLErrorDomain");
    EXPECT_EQ(underlying.at("code").as_int64(), -1004);
    EXPECT_EQ(calls(out[1]).at(0).as_array().at(0).as_string(), "finishEnumeratingWithError");
}

TEST_F(EndToEnd, MissingConnectionFileIsNoHostConnection) {
    auto out = script({{{"op", "item"}, {"id", "x"}}, {{"op", "enumerator"}, {"container", root}}});
    EXPECT_EQ(out[0].at("error").as_object().at("domain").as_string(), "Wyvernloft");
    EXPECT_EQ(out[0].at("error").as_object().at("code").as_int64(), -2);
    EXPECT_EQ(out[0].at("progress").as_object().at("completed").as_int64(), 0);
    EXPECT_EQ(out[1].at("error").as_object().at("code").as_int64(), -2);
}

TEST_F(EndToEnd, UsageErrorsExitWithTwo) {
    EXPECT_EQ(e2e::run(WL_FPCTL_PATH, {"--extension", WL_MODULE_PATH, "nonsense"}, "", environment).exitCode,
              2);
    EXPECT_EQ(e2e::run(WL_FPCTL_PATH, {"--extension", WL_MODULE_PATH, "item"}, "", environment).exitCode, 2);
    auto bad = e2e::run(WL_FPCTL_PATH, {"--extension", WL_MODULE_PATH, "--script"},
                        "{\"op\":\"info\"}\nnot json\n", environment);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("line 2"), std::string::npos);
    EXPECT_EQ(std::count(bad.out.begin(), bad.out.end(), '\n'), 1); // the first command ran
    auto human = e2e::run(WL_FPCTL_PATH, {"--extension", WL_MODULE_PATH, "info"}, "", environment);
    EXPECT_EQ(human.exitCode, 0);
    EXPECT_NE(human.out.find("bundle        org.wyvernloft.FileProvider"), std::string::npos) << human.out;
}
