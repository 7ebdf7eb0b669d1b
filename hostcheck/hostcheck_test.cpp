// The parts of wl-hostcheck that decide verdicts without a host: the refusal consequences, the record
// rules, the scratch-folder guard, the connection file, the options, and the protocol document's naming
// of every check.
#include "HostCheck.h"
#include "Mapping.h"

#include "foundation/Files.h"
#include "support/Waiting.h"

#include <fstream>
#include <gtest/gtest.h>

namespace json = boost::json;
using namespace wl::hostcheck;

TEST(Consequence, EachAnswerBecomesTheErrorTheExtensionReports) {
    struct Row {
        const char* method;
        const char* path;
        long status;
        const char* kind;
        const char* becomes;
    };
    for (const Row& row : {
             Row{"GET", "/v1/item", 404, "", "NSFileProviderErrorDomain -1005"},
             Row{"GET", "/v1/item", 503, "offline", "NSFileProviderErrorDomain -1004"},
             Row{"GET", "/v1/item", 409, "collision", "Wyvernloft -3"},
             Row{"GET", "/v1/content", 400, "", "Wyvernloft -4"},
             Row{"GET", "/v1/changes", 410, "expired", "Wyvernloft -1"},
             Row{"GET", "/v1/anchor", 500, "", "status is not read"},
             Row{"PUT", "/v1/content", 401, "read_only", "NSFileProviderErrorDomain -1000"},
             Row{"PUT", "/v1/content", 403, "read_only", "NSCocoaErrorDomain 513"},
             Row{"PUT", "/v1/content", 400, "incomplete", "at most 3 attempts"},
             Row{"PUT", "/v1/content", 507, "quota", "-1003"},
             Row{"PUT", "/v1/content", 503, "paused", "-2005"},
             Row{"POST", "/v1/folder", 409, "collision", "-1001"},
             Row{"POST", "/v1/folder", 500, "offline", "-1004"},
             Row{"POST", "/v1/folder", 409, "Collision", "-2005 (cannot synchronize: a kind"},
             Row{"POST", "/v1/folder", 500, "", "-2005 (cannot synchronize: no kind"},
             Row{"POST", "/v1/move", 409, "needs_content", "uploaded to the new path"},
             Row{"POST", "/v1/move", 409, "gone", "destination"},
             Row{"DELETE", "/v1/item", 409, "changed", "-1006"},
             Row{"DELETE", "/v1/item", 409, "not_empty", "-1007"},
             Row{"PUT", "/v1/content", 409, "changed", "-2005"},
         })
        EXPECT_NE(consequence(row.method, row.path, row.status, row.kind).find(row.becomes),
                  std::string::npos)
            << row.method << " " << row.path << " " << row.status << " " << row.kind << ": "
            << consequence(row.method, row.path, row.status, row.kind);
}

TEST(Records, EachDepartureIsToldWithTheAspectItHarms) {
    const std::string good =
        R"({"identifier":"Docs/a.txt","parentIdentifier":"Docs","name":"a.txt","isDir":false,
        "size":3,"mtime":1.5,"writable":true,"contentVersion":"7","metadataVersion":"7"})";
    struct Row {
        std::string change; // members replacing those of the good record, "" for none
        std::vector<Aspect> aspects;
    };
    auto with = [&](const std::string& change) {
        json::object record = json::parse(good).as_object();
        if (!change.empty()) {
            json::value changes = json::parse(change);
            for (auto& [key, value] : changes.as_object()) {
                if (value.is_null())
                    record.erase(key);
                else
                    record[key] = value;
            }
        }
        return json::value(record);
    };
    for (const Row& row : std::vector<Row>{
             {"", {}},
             {R"({"identifier":null})", {Aspect::identity}},
             {R"({"identifier":""})", {Aspect::identity}},
             {R"({"identifier":7})", {Aspect::identity}},
             {R"({"parentIdentifier":"NSFileProviderRootContainerItemIdentifier"})", {Aspect::identity}},
             {R"({"name":"b.txt"})", {Aspect::identity}},
             {R"({"identifier":"Docs//a.txt"})", {Aspect::identity}},
             {R"({"identifier":"Docs/a\u0301.txt","name":"a\u0301.txt"})", {Aspect::identity}},
             {R"({"identifier":"a.txt","parentIdentifier":"NSFileProviderRootContainerItemIdentifier"})", {}},
             {R"({"isDir":"false"})", {Aspect::kind}},
             {R"({"isDir":2})", {Aspect::kind}},
             {R"({"isDir":0})", {}},
             {R"({"contentVersion":null})", {Aspect::versions}},
             {R"({"contentVersion":""})", {Aspect::versions}},
             {R"({"isDir":true,"contentVersion":null,"size":null})", {}},
             {R"({"size":12.5})", {Aspect::details}},
             {R"({"size":12.0})", {}},
             {R"({"mtime":0})", {Aspect::details}},
             {R"({"writable":1})", {Aspect::details}},
             {R"({"writable":null})", {}},
             {R"({"metadataVersion":3})", {Aspect::details}},
         }) {
        std::vector<Aspect> found;
        for (const auto& problem : recordProblems(with(row.change)))
            found.push_back(problem.aspect);
        EXPECT_EQ(found, row.aspects) << row.change;
    }
    EXPECT_EQ(recordProblems(json::value(json::array{})).front().aspect, Aspect::identity);
    EXPECT_TRUE(
        recordProblems(
            json::parse(
                R"({"identifier":"NSFileProviderRootContainerItemIdentifier","isDir":true,"mtime":2})"))
            .empty());
}

TEST(ScratchGuard, WritesNameOnlyTheScratchFolderOrCleanPathsBelowIt) {
    Client client({1, "t"}, ".scratch");
    for (const char* inside : {".scratch", ".scratch/a", ".scratch/a b/c.txt", ".scratch/..a"})
        EXPECT_NO_THROW(client.guard(inside)) << inside;
    for (const char* outside :
         {"", ".scratch2", ".scratc", "a/.scratch", ".scratch/", ".scratch//a", ".scratch/../x",
          ".scratch/./a", ".scratch/a/..", "NSFileProviderRootContainerItemIdentifier"})
        EXPECT_THROW(client.guard(outside), std::logic_error) << outside;
    // Refused before anything is sent: no host listens on port 1.
    EXPECT_THROW(client.put("user.txt", "", "x"), std::logic_error);
    EXPECT_THROW(client.move(".scratch/a", "elsewhere"), std::logic_error);
    EXPECT_THROW(client.remove({{"path", "user.txt"}, {"base", "1"}}), std::logic_error);
    EXPECT_THROW(client.remove({{"base", "1"}}), std::logic_error);
    EXPECT_THROW(client.folder("../up"), std::logic_error);
}

TEST(ConnectionFile, ReadAsTheExtensionReadsIt) {
    support::TemporaryDirectory dir;
    struct Row {
        std::string contents;
        std::optional<int> port;
    };
    for (const Row& row : std::vector<Row>{
             {R"({"port":49152,"token":"abc"})", 49152},
             {R"({"port":49152.0,"token":"","extra":1})", 49152},
             {R"({"port":"49152","token":"abc"})", std::nullopt},
             {R"({"port":65536,"token":"abc"})", std::nullopt},
             {R"({"port":-1,"token":"abc"})", std::nullopt},
             {R"({"port":80.5,"token":"abc"})", std::nullopt},
             {R"({"port":80,"token":7})", std::nullopt},
             {R"({"port":80})", std::nullopt},
             {R"({"port":80,"token":"a\nb"})", std::nullopt},
             {R"([80,"abc"])", std::nullopt},
             {"", std::nullopt},
         }) {
        std::ofstream(dir.path() / "fphost.json", std::ios::trunc) << row.contents;
        std::string why;
        auto connection = readConnection(dir.path() / "fphost.json", why);
        EXPECT_EQ(connection ? std::optional(connection->port) : std::nullopt, row.port) << row.contents;
        EXPECT_EQ(why.empty(), row.port.has_value()) << row.contents;
    }
    std::string why;
    EXPECT_FALSE(readConnection(dir.path() / "absent.json", why));
}

TEST(Options, ParsedAndSelected) {
    auto options =
        parseOptions({"--connection", "f.json", "--only", "token.*,move.rename,,", "--json", "--keep"});
    EXPECT_EQ(options.connection, std::filesystem::path("f.json"));
    EXPECT_EQ(options.only, (std::vector<std::string>{"token.*", "move.rename"}));
    EXPECT_TRUE(options.json && options.keep);
    EXPECT_TRUE(selected("token.wrong", options.only));
    EXPECT_TRUE(selected("move.rename", options.only));
    EXPECT_FALSE(selected("move.renamed", options.only));
    EXPECT_TRUE(selected("anything", {}));
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--group", "g", "--connection", "f"},
                                                                 {"--scratch", "a/b"},
                                                                 {"--scratch", ".."},
                                                                 {"--scratch", ""},
                                                                 {"--only"},
                                                                 {"--bogus"}})
        EXPECT_THROW(parseOptions(bad), UsageError) << bad.front();
}

TEST(Checks, NamesAreUniqueAndTheProtocolDocumentNamesEachOne) {
    auto document = foundation::readFile(WL_PROTOCOL_DOCUMENT);
    ASSERT_TRUE(document) << WL_PROTOCOL_DOCUMENT;
    std::set<std::string> names;
    for (const auto& check : allChecks()) {
        EXPECT_TRUE(names.insert(check.name).second) << check.name;
        EXPECT_NE(document->find("`" + check.name + "`"), std::string::npos)
            << check.name << " is not named in docs/host-protocol.md";
    }
}
