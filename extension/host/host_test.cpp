#include "host/HostConfig.h"
#include "support/ExtensionEnvironment.h"

#include <gtest/gtest.h>

using namespace wl;
using foundation::Error;

class HostConfigTest : public support::ExtensionTest {};

TEST_F(HostConfigTest, AcceptedConnectionFiles) {
    writeConnectionFile(R"({"port": 49152, "token": "s3cret", "extra": [1, 2]})");
    auto cfg = HostConfig::load();
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->baseURL, "http://127.0.0.1:49152");
    EXPECT_EQ(cfg->token, "s3cret");
    EXPECT_EQ(cfg->request("/v1/item").value("X-FP-Token"), "s3cret");

    writeConnectionFile(R"({"port": 49152.0, "token": ""})");
    cfg = HostConfig::load();
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->baseURL, "http://127.0.0.1:49152");
    EXPECT_EQ(cfg->token, "");
    EXPECT_EQ(cfg->request("/v1/item").value("X-FP-Token"), "");
}

TEST_F(HostConfigTest, RefusedConnectionFiles) {
    for (const char* contents :
         {R"({"port": "49152", "token": "t"})", R"({"port": 49152})", R"({"port": 49152, "token": 7})",
          R"([{"port": 49152, "token": "t"}])", "", R"({"port": 49152.5, "token": "t"})",
          R"({"port": true, "token": "t"})", R"({"port": -1, "token": "t"})",
          R"({"port": 70000, "token": "t"})", R"({"port": 49152, "token": "a\r\nX-Evil: 1"})",
          R"({"port": 49152, "token": "a\u0000"})", "{not json"}) {
        writeConnectionFile(contents);
        EXPECT_FALSE(HostConfig::load()) << contents;
    }
    std::filesystem::remove(hostDirectory() / "fphost.json");
    EXPECT_FALSE(HostConfig::load());
}

TEST_F(HostConfigTest, QueryIsEncodedInSortedKeyOrder) {
    HostConfig cfg{"http://127.0.0.1:1", "t"};
    EXPECT_EQ(cfg.request("/v1/item").url, "http://127.0.0.1:1/v1/item");
    EXPECT_EQ(cfg.request("/v1/item", {{"id", "a&b=c"}}).url, "http://127.0.0.1:1/v1/item?id=a%26b%3Dc");
    EXPECT_EQ(cfg.request("/v1/content", {{"path", "Docs/a b.txt"}}).url,
              "http://127.0.0.1:1/v1/content?path=Docs%2Fa%20b.txt");
    EXPECT_EQ(cfg.request("/v1/item", {{"recursive", "1"}, {"path", "x"}, {"anchor", "7"}}).url,
              "http://127.0.0.1:1/v1/item?anchor=7&path=x&recursive=1");
    auto request = cfg.request("/v1/item");
    EXPECT_EQ(request.httpMethod, "GET");
    EXPECT_EQ(request.timeoutInterval, 60);
    EXPECT_FALSE(request.httpBody);
    EXPECT_EQ(request.headers.size(), 1u);
}

TEST(QueryEncode, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(queryEncode("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(queryEncode("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(queryEncode("a b/+?%"), "a%20b%2F%2B%3F%25");
    EXPECT_EQ(queryEncode(std::string("\0", 1)), "%00");
    EXPECT_EQ(hostID(fileprovider::ItemIdentifier::rootContainer()),
              "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(hostID(fileprovider::ItemIdentifier("Docs/a.txt")), "Docs/a.txt");
}

TEST(GroupChoice, OnlyTheStoreEditionBundleGetsItsGroup) {
    EXPECT_EQ(wlGroup(std::string(wlMasExtensionBundle)), wlMasGroup);
    EXPECT_EQ(wlGroup(std::string("ORG.wyvernloft.appstore.FileProvider")), wlWebsiteGroup);
    EXPECT_EQ(wlGroup(std::string(wlMasExtensionBundle) + "x"), wlWebsiteGroup);
    EXPECT_EQ(wlGroup(std::nullopt), wlWebsiteGroup);
}

TEST(HostErrors, TransportFailuresBecomeServerUnreachableExceptCancellation) {
    auto timeout = Error::make(foundation::NSURLErrorDomain, -1001);
    auto mapped = hostDownError(timeout);
    EXPECT_TRUE(mapped->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_EQ(mapped->underlyingError(), timeout);
    auto cancelled = Error::make(foundation::NSURLErrorDomain, -999);
    EXPECT_EQ(hostDownError(cancelled), cancelled);
    auto own = Error::make(foundation::NSFileProviderErrorDomain, -1005);
    EXPECT_EQ(hostDownError(own), own);
    auto cocoa = Error::make(foundation::NSCocoaErrorDomain, 256);
    EXPECT_EQ(hostDownError(cocoa), cocoa);
}

TEST(HostErrors, AnswersMapByTransportErrorThenStatus) {
    auto notFound = hostAnswerError(404, std::nullopt, nullptr, -3);
    EXPECT_TRUE(notFound->is(foundation::NSFileProviderErrorDomain, -1005));
    EXPECT_TRUE(notFound->underlyingError()->is(wlErrorDomain, -3));
    EXPECT_TRUE(notFound->underlyingError()->userInfo().empty());
    for (long status : {500L, 503L, 599L}) {
        auto down = hostAnswerError(status, std::nullopt, nullptr, -4);
        EXPECT_TRUE(down->is(foundation::NSFileProviderErrorDomain, -1004)) << status;
        EXPECT_TRUE(down->underlyingError()->is(wlErrorDomain, -4));
    }
    for (long status : {0L, 200L, 100L, 302L, 400L, 409L, 499L, 600L})
        EXPECT_TRUE(hostAnswerError(status, std::string("{}"), nullptr, -3)->is(wlErrorDomain, -3)) << status;
    auto lost = Error::make(foundation::NSURLErrorDomain, -1005);
    EXPECT_TRUE(
        hostAnswerError(404, std::nullopt, lost, -3)->is(foundation::NSFileProviderErrorDomain, -1004));
}

TEST(DecodeJSON, OnlyObjectsDecode) {
    EXPECT_EQ(decodeJSON(std::nullopt), nullptr);
    EXPECT_EQ(decodeJSON(std::string("")), nullptr);
    EXPECT_EQ(decodeJSON(std::string("[1]")), nullptr);
    EXPECT_EQ(decodeJSON(std::string("\"x\"")), nullptr);
    EXPECT_EQ(decodeJSON(std::string("{\"a\":1} trailing")), nullptr);
    auto object = decodeJSON(std::string(R"({"a": {"b": 2}})"));
    ASSERT_NE(object, nullptr);
    auto inner = shareObject(object, *jsonObject(*object, "a"));
    object.reset(); // the member keeps the document alive
    EXPECT_EQ(jsonIntegral(*inner, "b"), 2);
}

TEST(LenientReaders, TakeOnlyTheirOwnKind) {
    auto o = decodeJSON(std::string(
        R"({"i": 5, "w": 5.0, "f": 5.5, "b": true, "s": "x", "big": 1e19, "neg": -9223372036854775808,
            "u": 18446744073709551615, "objs": [{}, {}], "mixed": [{}, 1], "strs": ["a", "b"], "nstr": ["a", 1]})"));
    EXPECT_EQ(jsonIntegral(*o, "i"), 5);
    EXPECT_EQ(jsonIntegral(*o, "w"), 5);
    EXPECT_FALSE(jsonIntegral(*o, "f"));
    EXPECT_FALSE(jsonIntegral(*o, "b")); // a boolean is never a number
    EXPECT_FALSE(jsonIntegral(*o, "big"));
    EXPECT_FALSE(jsonIntegral(*o, "u"));
    EXPECT_EQ(jsonIntegral(*o, "neg"), INT64_MIN);
    EXPECT_FALSE(jsonIntegral(*o, "missing"));
    EXPECT_FALSE(jsonBool(*o, "i"));
    EXPECT_EQ(jsonBool(*o, "b"), true);
    EXPECT_FALSE(jsonString(*o, "i"));
    EXPECT_EQ(jsonArrayOfObjects(*o, "objs")->size(), 2u);
    EXPECT_FALSE(jsonArrayOfObjects(*o, "mixed"));
    EXPECT_EQ(jsonArrayOfStrings(*o, "strs"), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(jsonArrayOfStrings(*o, "nstr"));
}

TEST(Unicode, CompositionAndGraphemes) {
    EXPECT_EQ(precomposed("e\xCC\x81"), "\xC3\xA9");
    EXPECT_EQ(precomposed("plain"), "plain");
    EXPECT_EQ(precomposed("\xFF\xFE"), "\xFF\xFE"); // not UTF-8: unchanged
    EXPECT_EQ(graphemeCount("e\xCC\x81x"), 2u);
    EXPECT_EQ(graphemeOffset("e\xCC\x81x", 1), 3u);
    EXPECT_EQ(graphemeOffset("ab", 5), 2u);
}

TEST_F(HostConfigTest, RequestsFollowAHostThatMovesToAnotherPort) {
    connectHost();
    host.answer("GET", "/v1/anchor", support::HttpResponse(200, "first"));
    auto cfg = HostConfig::load();
    ASSERT_TRUE(cfg);
    support::ScriptedHost moved("new-token");
    moved.answer("GET", "/v1/anchor", support::HttpResponse(200, "second"));
    host.writeConnectionFile(hostDirectory());
    auto first = cfg->request("/v1/anchor");
    moved.writeConnectionFile(hostDirectory());
    auto second = cfg->request("/v1/anchor"); // the same value, no new load by the caller
    EXPECT_EQ(first.url, host.baseURL() + "/v1/anchor");
    EXPECT_EQ(second.url, moved.baseURL() + "/v1/anchor");
    EXPECT_EQ(second.value("X-FP-Token"), "new-token");
    support::Recorder<std::optional<std::string>, foundation::ResponseRef, foundation::ErrorRef> done;
    foundation::URLSession::shared().dataTask(second, done.callback())->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<0>(), "second");
    std::filesystem::remove(hostDirectory() / "fphost.json");
    EXPECT_EQ(cfg->request("/v1/anchor").url, cfg->baseURL + "/v1/anchor"); // falls back to itself
}
