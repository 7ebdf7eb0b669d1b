#include "core/FileProviderExtension.h"
#include "enumeration/EnumerationTest.h"
#include "enumeration/WLEnumerator.h"
#include "support/Observers.h"

#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemIdentifier;
using support::HttpResponse;
using Listing = support::RecordingEnumerationObserver;

namespace {

class ListingTest : public support::EnumerationTest {
protected:
    std::shared_ptr<Listing> list(const ItemIdentifier& container, fileprovider::Page page = {}) {
        auto observer = std::make_shared<Listing>();
        enumerator(container)->enumerateItems(observer, std::move(page));
        EXPECT_TRUE(observer->waitUntilFinished());
        foundation::URLSession::shared().callbackQueue().drain();
        EXPECT_EQ(observer->finishCount(), 1);
        return observer;
    }
};

} // namespace

TEST_F(ListingTest, ChildrenArriveInOneBatchAndTheAnchorIsRecorded) {
    host.answer("GET", "/v1/enumerate",
                HttpResponse::json(200, R"({"items": [{"identifier": "Docs/a", "name": "a"},
                                                      {"identifier": "Docs/b", "name": "b", "isDir": true}],
                                           "anchor": 17})"));
    auto observer = list(ItemIdentifier("Docs"));
    auto calls = observer->calls();
    ASSERT_EQ(calls.size(), 2u);
    auto& batch = std::get<Listing::Items>(calls[0]).items;
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0]->filename(), "a");
    EXPECT_EQ(batch[1]->contentType(), foundation::UTType::folder());
    EXPECT_FALSE(std::get<Listing::FinishedUpToPage>(calls[1]).page);
    EXPECT_EQ(DeliveredRevs::rev("Docs"), 17);
    EXPECT_EQ(host.requests().at(0).rawQuery, "container=Docs");
}

TEST_F(ListingTest, EmptyListingStillReportsAndRecords) {
    host.answer("GET", "/v1/enumerate", HttpResponse::json(200, R"({"items": [], "anchor": 3})"));
    auto observer = list(ItemIdentifier("E"));
    auto calls = observer->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(std::get<Listing::Items>(calls[0]).items.empty());
    EXPECT_EQ(DeliveredRevs::rev("E"), 3);
}

TEST_F(ListingTest, MissingOrNonIntegralAnchorSucceedsWithoutRecording) {
    for (const char* body :
         {R"({"items": []})", R"({"items": [], "anchor": "5"})", R"({"items": [], "anchor": 5.5})"}) {
        host.answer("GET", "/v1/enumerate", HttpResponse::json(200, body));
        auto observer = list(ItemIdentifier("F"));
        EXPECT_EQ(observer->error(), nullptr) << body;
        EXPECT_FALSE(DeliveredRevs::rev("F")) << body;
    }
}

TEST_F(ListingTest, AnyPageGivesTheFullListing) {
    host.answer("GET", "/v1/enumerate",
                HttpResponse::json(200, R"({"items": [{"identifier": "x"}], "anchor": 1})"));
    auto observer = list(ItemIdentifier("G"), fileprovider::Page{"never-issued"});
    EXPECT_EQ(observer->items().size(), 1u);
    EXPECT_EQ(host.requests().at(0).rawQuery, "container=G");
}

TEST_F(ListingTest, RootWorkingSetAndTrashQueries) {
    host.answer("GET", "/v1/enumerate", HttpResponse::json(200, R"({"items": [], "anchor": 2})"));
    host.answer("GET", "/v1/all", HttpResponse::json(200, R"({"items": [], "anchor": 8})"));
    list(ItemIdentifier::rootContainer());
    list(ItemIdentifier::workingSet());
    list(ItemIdentifier::trashContainer());
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].rawQuery, "container=NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(requests[1].path, "/v1/all");
    EXPECT_EQ(requests[1].rawQuery, "");
    EXPECT_EQ(requests[2].rawQuery, "container=NSFileProviderTrashContainerItemIdentifier");
    EXPECT_EQ(DeliveredRevs::rev("anything"), 8); // the working set's revision
    EXPECT_EQ(DeliveredRevs::rev("NSFileProviderRootContainerItemIdentifier"), 8);
}

TEST_F(ListingTest, FailuresMapWithCodeMinusOne) {
    struct Row {
        HttpResponse answer;
        const char* domain;
        std::int64_t code;
    };
    std::vector<Row> rows = {
        {HttpResponse::json(200, R"({"items": [{}, 1]})"), wlErrorDomain, -1},
        {HttpResponse::json(200, R"({"items": {}})"), wlErrorDomain, -1},
        {HttpResponse::json(200, R"([])"), wlErrorDomain, -1},
        {HttpResponse::json(200, "junk"), wlErrorDomain, -1},
        {HttpResponse::json(404, R"({"items": []})"), foundation::NSFileProviderErrorDomain, -1005},
        {HttpResponse::json(500, "{}"), foundation::NSFileProviderErrorDomain, -1004},
        {HttpResponse::json(403, "{}"), wlErrorDomain, -1},
    };
    for (const auto& row : rows) {
        host.answer("GET", "/v1/enumerate", row.answer);
        auto observer = list(ItemIdentifier("H"));
        ASSERT_NE(observer->error(), nullptr) << row.answer.body;
        EXPECT_TRUE(observer->error()->is(row.domain, row.code)) << row.answer.body;
        EXPECT_TRUE(observer->items().empty());
        EXPECT_EQ(observer->calls().size(), 1u);
    }
    EXPECT_FALSE(DeliveredRevs::rev("H"));
}

TEST_F(ListingTest, LocalItemFetchKeepsOrderTurns404IntoEmptyAndSkipsFailures) {
    host.handle("GET", "/v1/item", [](const support::HttpRequest& request) {
        auto id = request.query().at("id");
        if (id == "b") {
            HttpResponse closed;
            closed.action = HttpResponse::Action::close;
            return closed;
        }
        if (id == "c")
            return HttpResponse::json(404, "{}");
        if (id == "d")
            return HttpResponse::json(200, R"({"name": "no identifier"})");
        return HttpResponse::json(200, R"({"identifier": ")" + id + R"("})");
    });
    support::Recorder<LocalItemFetch::Rows> done;
    LocalItemFetch::run(*HostConfig::load(), {"a", "b", "c", "d", "e"}, done.callback());
    ASSERT_TRUE(done.wait());
    auto rows = done.get<0>();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].first, "a");
    EXPECT_EQ(*jsonString(*rows[0].second, "identifier"), "a");
    EXPECT_EQ(rows[1].first, "c");
    EXPECT_TRUE(rows[1].second->empty());
    EXPECT_EQ(rows[2].first, "e");
    // One at a time, in order. A GET whose kept-alive connection closed without an answer may be sent
    // once more on a fresh connection by the transport, as idempotent requests are.
    std::vector<std::string> asked;
    for (auto& request : host.requests())
        if (asked.empty() || asked.back() != request.query().at("id"))
            asked.push_back(request.query().at("id"));
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST_F(ListingTest, LocalItemFetchWithNothingToFetchIsDoneAtOnce) {
    support::Recorder<LocalItemFetch::Rows> done;
    LocalItemFetch::run(*HostConfig::load(), {}, done.callback());
    EXPECT_EQ(done.calls(), 1);
    EXPECT_TRUE(done.get<0>().empty());
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(ListingTest, ExtensionHandsOutEnumeratorsOrThrowsWithoutAConnection) {
    FileProviderExtension extension(fileprovider::Domain("d", "D"));
    auto enumerator =
        std::dynamic_pointer_cast<WLEnumerator>(extension.enumerator(ItemIdentifier::workingSet(), {}));
    ASSERT_NE(enumerator, nullptr);
    EXPECT_TRUE(enumerator->isWorkingSet);
    EXPECT_FALSE(
        std::dynamic_pointer_cast<WLEnumerator>(extension.enumerator(ItemIdentifier("x"), {}))->isWorkingSet);
    std::filesystem::remove(hostDirectory() / "fphost.json");
    FileProviderExtension offline(fileprovider::Domain("d", "D"));
    try {
        offline.enumerator(ItemIdentifier::workingSet(), {});
        FAIL() << "no error thrown";
    } catch (const foundation::ThrownError& thrown) {
        EXPECT_TRUE(thrown.error()->is(wlErrorDomain, -2));
    }
}
