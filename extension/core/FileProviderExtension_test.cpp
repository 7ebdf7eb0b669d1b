#include "core/FileProviderExtension.h"
#include "support/ExtensionEnvironment.h"

#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemIdentifier;
using support::HttpResponse;

namespace {

using ItemRecorder = support::Recorder<fileprovider::ItemRef, foundation::ErrorRef>;

class ItemLookupTest : public support::ExtensionTest {
protected:
    std::shared_ptr<FileProviderExtension> makeExtension() {
        return std::make_shared<FileProviderExtension>(fileprovider::Domain("org.wyvernloft.test", "Test"));
    }
    // Looks up `id` against an /v1/item answer; returns the recorder after the completion ran.
    std::pair<fileprovider::ItemRef, foundation::ErrorRef>
    lookUp(const HttpResponse& answer, const ItemIdentifier& id = ItemIdentifier("a")) {
        host.answer("GET", "/v1/item", answer);
        ItemRecorder done;
        auto progress = extension->item(id, {}, done.callback());
        EXPECT_EQ(progress->totalUnitCount(), 1);
        EXPECT_TRUE(done.wait());
        foundation::URLSession::shared().callbackQueue().drain();
        EXPECT_EQ(done.calls(), 1);
        EXPECT_EQ(progress->completedUnitCount(), 1);
        return {done.get<0>(), done.get<1>()};
    }

    void SetUp() override {
        support::ExtensionTest::SetUp();
        connectHost();
        extension = makeExtension();
    }
    std::shared_ptr<FileProviderExtension> extension;
};

} // namespace

TEST_F(ItemLookupTest, ARecordBecomesAnItem) {
    auto [item, error] = lookUp(HttpResponse::json(200, R"({"identifier": "a", "name": "a", "size": 3})"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(item->documentSize(), 3);
    auto request = host.requests().at(0);
    EXPECT_EQ(request.rawQuery, "id=a");
    EXPECT_EQ(request.header("X-FP-Token"), host.token());
}

TEST_F(ItemLookupTest, IdentifiersTravelEncodedAndTheRootAsItsLiteral) {
    lookUp(HttpResponse::json(200, R"({"identifier": "x"})"), ItemIdentifier("Docs/a b.txt"));
    lookUp(HttpResponse::json(200, R"({"identifier": "x"})"), ItemIdentifier::rootContainer());
    auto requests = host.requests();
    EXPECT_EQ(requests.at(0).rawQuery, "id=Docs%2Fa%20b.txt");
    EXPECT_EQ(requests.at(1).rawQuery, "id=NSFileProviderRootContainerItemIdentifier");
}

TEST_F(ItemLookupTest, NullIdentifierStillCountsAsPresent) {
    auto [item, error] = lookUp(HttpResponse::json(200, R"({"identifier": null})"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->itemIdentifier().rawValue(), "");
}

TEST_F(ItemLookupTest, FailureTable) {
    struct Row {
        HttpResponse answer;
        const char* domain;
        std::int64_t code;
        std::int64_t underlying; // 0: none
    };
    std::vector<Row> rows = {
        {HttpResponse::json(404, "{}"), foundation::NSFileProviderErrorDomain, -1005, -3},
        {HttpResponse::json(503, "{}"), foundation::NSFileProviderErrorDomain, -1004, -3},
        {HttpResponse::json(409, R"({"identifier": "a"})"), wlErrorDomain, -3, 0},
        {HttpResponse::json(200, R"([{"identifier": "a"}])"), wlErrorDomain, -3, 0},
        {HttpResponse::json(200, R"({"name": "a"})"), wlErrorDomain, -3, 0},
        {HttpResponse::json(200, "not json"), wlErrorDomain, -3, 0},
    };
    for (const auto& row : rows) {
        auto [item, error] = lookUp(row.answer);
        EXPECT_EQ(item, nullptr) << row.answer.status << " " << row.answer.body;
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(error->is(row.domain, row.code)) << row.answer.body;
        if (row.underlying)
            EXPECT_TRUE(error->underlyingError()->is(wlErrorDomain, row.underlying));
        else
            EXPECT_TRUE(error->userInfo().empty());
    }
}

TEST_F(ItemLookupTest, TransportFailureIsServerUnreachableOverIt) {
    HttpResponse closed;
    closed.action = HttpResponse::Action::close;
    auto [item, error] = lookUp(closed);
    EXPECT_EQ(item, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_EQ(error->underlyingError()->domain(), foundation::NSURLErrorDomain);
}

TEST_F(ItemLookupTest, WithoutAConnectionItCompletesBeforeReturning) {
    std::filesystem::remove(hostDirectory() / "fphost.json");
    auto offline = makeExtension();
    connectHost(); // too late: the object keeps having no connection
    ItemRecorder done;
    auto progress = offline->item(ItemIdentifier("a"), {}, done.callback());
    ASSERT_EQ(done.calls(), 1);
    EXPECT_EQ(done.get<0>(), nullptr);
    EXPECT_TRUE(done.get<1>()->is(wlErrorDomain, -2));
    EXPECT_TRUE(done.get<1>()->userInfo().empty());
    EXPECT_EQ(progress->completedUnitCount(), 0);
    EXPECT_EQ(progress->totalUnitCount(), 1);
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(ItemLookupTest, CompletionRunsOnTheSessionsCallbackQueue) {
    host.answer("GET", "/v1/item", HttpResponse::json(200, R"({"identifier": "a"})"));
    ItemRecorder done;
    extension->item(ItemIdentifier("a"), {}, done.callback());
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.queueLabel(), foundation::URLSession::shared().callbackQueue().label());
}
