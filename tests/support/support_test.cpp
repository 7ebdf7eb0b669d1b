#include "foundation/URLSession.h"
#include "support/ScriptedHost.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

using namespace support;

TEST(ScriptedHost, OnceAnswersComeBeforeTheStandingOneAndRequestsAreRecorded) {
    ScriptedHost host;
    host.answer("GET", "/v1/item", HttpResponse(200, "standing"));
    host.answerOnce("GET", "/v1/item", HttpResponse(503, "first"));
    std::vector<std::string> bodies;
    for (int i = 0; i < 2; ++i) {
        Recorder<std::optional<std::string>, foundation::ResponseRef, foundation::ErrorRef> done;
        foundation::URLSession::shared()
            .dataTask(foundation::URLRequest(host.baseURL() + "/v1/item?id=a%20b&x"), done.callback())
            ->resume();
        ASSERT_TRUE(done.wait());
        bodies.push_back(*done.get<0>());
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"first", "standing"}));
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rawQuery, "id=a%20b&x");
    EXPECT_EQ(requests[0].query().at("id"), "a b");
    EXPECT_EQ(requests[0].query().at("x"), "");
}

TEST(ScriptedHost, WritesTheConnectionFile) {
    TemporaryDirectory dir;
    ScriptedHost host("secret");
    host.writeConnectionFile(dir.path() / "group");
    auto parsed = boost::json::parse(*foundation::readFile(dir.path() / "group" / "fphost.json")).as_object();
    EXPECT_EQ(parsed.at("port").as_int64(), host.port());
    EXPECT_EQ(parsed.at("token").as_string(), "secret");
}
