#include "support/ExtensionEnvironment.h"
#include "write/FPHostErrorMap.h"
#include "write/FPHostWrites.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>

using namespace wl;
using support::HttpResponse;

namespace {

class HostWritesTest : public support::ExtensionTest {
protected:
    void SetUp() override {
        support::ExtensionTest::SetUp();
        connectHost();
        writes = std::make_shared<FPHostWrites>(*HostConfig::load());
    }
    std::filesystem::path file(const std::string& bytes) {
        auto path = directory.path() / ("upload-" + std::to_string(files++));
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    FPWriteResult wait(support::Recorder<FPWriteResult>& done) {
        EXPECT_TRUE(done.wait());
        foundation::URLSession::shared().callbackQueue().drain();
        EXPECT_EQ(done.calls(), 1);
        return done.get<0>();
    }
    static foundation::ErrorRef failure(const FPWriteResult& result) {
        auto* failed = result.as<FPWriteResult::Failure>();
        return failed ? failed->error : nullptr;
    }
    static std::string kind(const FPWriteResult& result) {
        auto error = failure(result);
        return error ? *error->stringValue(FPHostErrorMap::kindKey) : "(no failure)";
    }

    std::shared_ptr<FPHostWrites> writes;
    int files = 0;
};

} // namespace

TEST_F(HostWritesTest, UploadSendsDigestLengthAndAnEmptyBase) {
    host.answer("PUT", "/v1/content",
                HttpResponse::json(200, R"({"item": {"identifier": "a.txt"}, "localOnly": true})"));
    support::Recorder<FPWriteResult> done;
    auto progress = writes->putContent("Docs/a b.txt", "", file("hello"), done.callback());
    auto result = wait(done);
    auto* item = result.as<FPWriteResult::Item>();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*jsonString(*item->record, "identifier"), "a.txt");
    EXPECT_EQ(item->conflictCopy, nullptr);
    EXPECT_TRUE(item->localOnly);
    EXPECT_EQ(progress->completedUnitCount(), 1);
    auto request = host.requests().at(0);
    EXPECT_EQ(request.rawQuery, "base=&path=Docs%2Fa%20b.txt");
    EXPECT_EQ(request.header("X-FP-SHA256"),
              "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
    EXPECT_EQ(request.header("Content-Length"), "5");
    EXPECT_EQ(request.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(request.body, "hello");
}

TEST_F(HostWritesTest, EmptyFileIsHashedAndSentWithLengthZero) {
    auto digest = FPHostWrites::sha256(file(""));
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->first, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest->second, 0);
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"item": {"identifier": "e"}})"));
    support::Recorder<FPWriteResult> done;
    writes->putContent("e", "", file(""), done.callback());
    wait(done);
    EXPECT_EQ(host.requests().at(0).header("Content-Length"), "0");
    EXPECT_EQ(host.requests().at(0).body, "");
}

TEST_F(HostWritesTest, ThreeIncompleteAnswersFailAfterExactlyThreeRequests) {
    host.answer("PUT", "/v1/content", HttpResponse::json(400, R"({"error": "incomplete"})"));
    support::Recorder<FPWriteResult> done;
    auto progress = writes->putContent("a", "c1", file("data"), done.callback());
    auto result = wait(done);
    EXPECT_EQ(host.requestCount(), 3u);
    EXPECT_TRUE(failure(result)->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_EQ(kind(result), "incomplete");
    EXPECT_EQ(progress->completedUnitCount(), 1);
}

TEST_F(HostWritesTest, AnIncompleteAnswerIsRetriedWithTheFileAsItIsNow) {
    auto path = file("first");
    host.answerOnce("PUT", "/v1/content", HttpResponse::json(400, R"({"error": "incomplete"})"));
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"item": {"identifier": "a"}})"));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "changed before the retry";
    support::Recorder<FPWriteResult> done;
    writes->putContent("a", "c1", path, done.callback());
    ASSERT_NE(wait(done).as<FPWriteResult::Item>(), nullptr);
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].body, "changed before the retry");
    EXPECT_EQ(requests[1].header("Content-Length"), "24");
}

TEST_F(HostWritesTest, CancellationStopsRetrying) {
    host.hold("PUT", "/v1/content");
    support::Recorder<FPWriteResult> done;
    auto progress = writes->putContent("a", "", file("data"), done.callback());
    ASSERT_TRUE(host.waitForRequests(1));
    progress->cancel();
    auto result = wait(done);
    EXPECT_EQ(kind(result), "offline");
    host.release();
    EXPECT_EQ(host.requestCount(), 1u);
}

TEST_F(HostWritesTest, UnreadableFileFailsBeforeReturning) {
    support::Recorder<FPWriteResult> done;
    auto missing = directory.path() / "missing";
    auto progress = writes->putContent("a", "", missing, done.callback());
    ASSERT_EQ(done.calls(), 1);
    auto error = failure(done.get<0>());
    EXPECT_TRUE(error->is(foundation::NSCocoaErrorDomain, 256));
    EXPECT_EQ(std::get<foundation::FileURL>(error->userInfo().at(foundation::NSURLErrorKey)).path, missing);
    EXPECT_EQ(progress->completedUnitCount(), 1);
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(HostWritesTest, FileShorterThanItsHashWhenSentIsOffline) {
    // The body stream ends before the length of the hashing pass: the request fails, nothing partial lands.
    auto path = file(std::string(3 << 20, 'x'));
    host.handle("PUT", "/v1/content", [](const support::HttpRequest&) {
        return HttpResponse::json(200, R"({"item": {"identifier": "a"}})");
    });
    support::Recorder<FPWriteResult> done;
    std::thread shrink([&] { std::filesystem::resize_file(path, 10); });
    writes->putContent("a", "", path, done.callback());
    shrink.join();
    auto result = wait(done);
    // Before the hash, after the send, or in between (a failed request): never a body that does not
    // match the digest and length it was sent with.
    if (result.as<FPWriteResult::Item>()) {
        auto sent = host.requests().back();
        EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));
        EXPECT_EQ(sent.header("X-FP-SHA256"), FPHostWrites::sha256(file(sent.body))->first);
    } else {
        EXPECT_EQ(kind(result), "offline");
    }
}

TEST_F(HostWritesTest, FolderAndMoveBodiesAndReductions) {
    host.answer("POST", "/v1/folder", HttpResponse::json(200, "not json"));
    support::Recorder<FPWriteResult> folder;
    writes->makeFolder("Docs/New", folder.callback());
    EXPECT_EQ(kind(wait(folder)), "failed");
    auto request = host.requests().at(0);
    EXPECT_EQ(boost::json::parse(request.body), boost::json::parse(R"({"path": "Docs/New"})"));
    EXPECT_EQ(request.header("Content-Type"), "application/json");

    struct Row {
        std::string body;
        int status;
        std::function<bool(const FPWriteResult&)> check;
    };
    std::vector<Row> rows = {
        {R"({"error": "needs_content", "base": "b7"})", 409,
         [](const FPWriteResult& r) {
             return r.as<FPWriteResult::NeedsContent>() && r.as<FPWriteResult::NeedsContent>()->base == "b7";
         }},
        {R"({"error": "needs_content"})", 409,
         [](const FPWriteResult& r) { return r.as<FPWriteResult::Failure>() != nullptr; }},
        {R"({"error": "gone"})", 409,
         [](const FPWriteResult& r) {
             return r.as<FPWriteResult::Gone>() && !r.as<FPWriteResult::Gone>()->dst;
         }},
        {R"({"error": "gone", "item": {"identifier": "d"}})", 409,
         [](const FPWriteResult& r) {
             return r.as<FPWriteResult::Gone>() && r.as<FPWriteResult::Gone>()->dst;
         }},
        {R"({"error": "collision"})", 409,
         [](const FPWriteResult& r) {
             return r.as<FPWriteResult::Failure>() && r.as<FPWriteResult::Failure>()->error->code() == -1001;
         }},
        {R"({"item": {"identifier": "d"}, "conflictCopy": {"identifier": "c"}})", 200,
         [](const FPWriteResult& r) {
             return r.as<FPWriteResult::Item>() && r.as<FPWriteResult::Item>()->conflictCopy;
         }},
    };
    for (const auto& row : rows) {
        host.answer("POST", "/v1/move", HttpResponse::json(row.status, row.body));
        support::Recorder<FPWriteResult> moved;
        writes->move("a", "b", moved.callback());
        EXPECT_TRUE(row.check(wait(moved))) << row.body;
    }
    EXPECT_EQ(boost::json::parse(host.requests().back().body),
              boost::json::parse(R"({"from": "a", "to": "b"})"));
}

TEST_F(HostWritesTest, DeleteQueriesAndLocalRefusals) {
    host.answer("DELETE", "/v1/item", HttpResponse::json(200, R"({"deleted": true})"));
    auto remove = [&](bool isDir, std::optional<std::string> base, bool recursive,
                      std::optional<std::string> anchor) {
        support::Recorder<FPWriteResult> done;
        writes->deleteItem("D/x", isDir, base, recursive, anchor, done.callback());
        EXPECT_TRUE(done.wait());
        foundation::URLSession::shared().callbackQueue().drain();
        return done.get<0>();
    };
    EXPECT_NE(remove(false, "c3", true, "9").as<FPWriteResult::Deleted>(), nullptr);
    EXPECT_EQ(host.requests().back().rawQuery, "base=c3&path=D%2Fx");
    remove(true, "c3", false, std::nullopt);
    EXPECT_EQ(host.requests().back().rawQuery, "dir=1&path=D%2Fx");
    remove(true, std::nullopt, true, "12");
    EXPECT_EQ(host.requests().back().rawQuery, "anchor=12&dir=1&path=D%2Fx&recursive=1");
    auto before = host.requestCount();
    for (auto [isDir, base, recursive, anchor, code] : std::vector<
             std::tuple<bool, std::optional<std::string>, bool, std::optional<std::string>, const char*>>{
             {false, std::nullopt, false, std::nullopt, "base_required"},
             {false, std::string(""), false, std::nullopt, "base_required"},
             {true, std::nullopt, true, std::nullopt, "anchor_required"},
             {true, std::nullopt, true, std::string(""), "anchor_required"}}) {
        support::Recorder<FPWriteResult> done;
        auto progress = writes->deleteItem("D/x", isDir, base, recursive, anchor, done.callback());
        ASSERT_EQ(done.calls(), 1); // before returning
        EXPECT_EQ(*failure(done.get<0>())->stringValue(FPHostErrorMap::codeKey), code);
        EXPECT_EQ(progress->totalUnitCount(), 1);
        EXPECT_EQ(progress->completedUnitCount(), 0);
    }
    EXPECT_EQ(host.requestCount(), before);
}

TEST_F(HostWritesTest, DeleteReductions) {
    auto answer = [&](int status, const char* body) {
        host.answer("DELETE", "/v1/item", HttpResponse::json(status, body));
        support::Recorder<FPWriteResult> done;
        writes->deleteItem("f", false, std::string("c1"), false, std::nullopt, done.callback());
        return wait(done);
    };
    EXPECT_NE(
        answer(409, R"({"error": "changed", "item": {"identifier": "f"}})").as<FPWriteResult::Changed>(),
        nullptr);
    EXPECT_EQ(kind(answer(409, R"({"error": "not_empty"})")), "not_empty");
    EXPECT_EQ(kind(answer(409, "")), "");
    EXPECT_EQ(kind(answer(200, R"({"deleted": false})")), "failed");
    EXPECT_EQ(kind(answer(403, R"({"error": "read_only"})")), "read_only");
    host.drop("DELETE", "/v1/item");
    support::Recorder<FPWriteResult> dropped;
    writes->deleteItem("f", false, std::string("c1"), false, std::nullopt, dropped.callback());
    EXPECT_EQ(kind(wait(dropped)), "offline");
}
