#include "core/FileProviderExtension.h"
#include "item/WLItem.h"
#include "support/ExtensionEnvironment.h"

#include <gtest/gtest.h>
#include <regex>

using namespace wl;
using fileprovider::ItemIdentifier;
using support::HttpResponse;

namespace {

class DownloadTest : public support::SystemTest {
protected:
    struct Outcome {
        std::optional<std::filesystem::path> file;
        fileprovider::ItemRef item;
        foundation::ErrorRef error;
        bool fileExisted = false;
        std::string contents;
        std::size_t signalsAtCompletion = 0;
        std::int64_t progressCompleted = -1;
    };

    Outcome fetch(const ItemIdentifier& id = ItemIdentifier("Docs/a.txt")) {
        Outcome outcome;
        support::Recorder<> done;
        auto finished = done.callback();
        fileprovider::ProgressRef progress;
        progress = extension->fetchContents(id, std::nullopt, {},
                                            [&](std::optional<std::filesystem::path> file,
                                                fileprovider::ItemRef item, foundation::ErrorRef error) {
                                                outcome.file = file;
                                                outcome.item = std::move(item);
                                                outcome.error = std::move(error);
                                                if (file) {
                                                    outcome.fileExisted = std::filesystem::exists(*file);
                                                    outcome.contents =
                                                        foundation::readFile(*file).value_or("");
                                                }
                                                outcome.signalsAtCompletion = system->signals().size();
                                                finished();
                                            });
        EXPECT_EQ(progress->totalUnitCount(), 100);
        EXPECT_TRUE(done.wait());
        settle();
        EXPECT_EQ(done.calls(), 1);
        outcome.progressCompleted = progress->completedUnitCount();
        return outcome;
    }

    void serve(const std::string& body,
               const std::string& record = R"({"identifier": "Docs/a.txt", "size": 1})") {
        host.answer("GET", "/v1/content", HttpResponse(200, body));
        host.answer("GET", "/v1/item", HttpResponse::json(200, record));
    }
};

} // namespace

TEST_F(DownloadTest, EmptyFileGivesAnEmptyDenseCopyAndALocalItem) {
    serve("");
    auto outcome = fetch();
    ASSERT_EQ(outcome.error, nullptr);
    ASSERT_TRUE(outcome.file);
    EXPECT_TRUE(outcome.fileExisted);
    EXPECT_EQ(outcome.contents, "");
    EXPECT_EQ(outcome.file->parent_path(), domainTemporaryDirectory());
    EXPECT_TRUE(std::regex_match(outcome.file->filename().string(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    ASSERT_NE(outcome.item, nullptr);
    EXPECT_EQ(outcome.item->decorations(), std::vector<std::string>{WLItem::localDecoration});
    EXPECT_EQ(outcome.progressCompleted, 100);
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("Docs/a.txt")));
}

TEST_F(DownloadTest, ExactlyOneChunkAndMoreAreCopiedWhole) {
    for (std::size_t size : {std::size_t(1) << 20, (std::size_t(1) << 20) * 2 + 17}) {
        std::string body(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            body[i] = static_cast<char>(i * 31 % 251);
        serve(body);
        auto outcome = fetch();
        ASSERT_EQ(outcome.error, nullptr);
        EXPECT_EQ(outcome.contents, body);
    }
}

TEST_F(DownloadTest, RequestNamesThePathAndTheLookupTheId) {
    serve("x");
    fetch(ItemIdentifier("Docs/a b.txt"));
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/v1/content");
    EXPECT_EQ(requests[0].rawQuery, "path=Docs%2Fa%20b.txt");
    EXPECT_EQ(requests[1].path, "/v1/item");
    EXPECT_EQ(requests[1].rawQuery, "id=Docs%2Fa%20b.txt");
}

TEST_F(DownloadTest, LookupFailingAfterContentStillRemembers) {
    host.answer("GET", "/v1/content", HttpResponse(200, "abc"));
    host.answer("GET", "/v1/item", HttpResponse::json(404, "{}"));
    auto outcome = fetch();
    EXPECT_FALSE(outcome.file);
    EXPECT_EQ(outcome.item, nullptr);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_TRUE(outcome.error->is(foundation::NSFileProviderErrorDomain, -1005));
    EXPECT_TRUE(outcome.error->underlyingError()->is(wlErrorDomain, -3));
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("Docs/a.txt")));
    EXPECT_TRUE(system->signals().empty());
}

TEST_F(DownloadTest, ContentFailuresMapWithMinusFour) {
    struct Row {
        HttpResponse answer;
        const char* domain;
        std::int64_t code;
    };
    HttpResponse broken(200, std::string(500000, 'b'));
    broken.action = HttpResponse::Action::closeMidBody;
    broken.breakAfter = 1000;
    std::vector<Row> rows = {
        {HttpResponse(404, ""), foundation::NSFileProviderErrorDomain, -1005},
        {HttpResponse(503, ""), foundation::NSFileProviderErrorDomain, -1004},
        {HttpResponse(403, "forbidden"), wlErrorDomain, -4},
        {HttpResponse(204, ""), wlErrorDomain, -4},
        {broken, foundation::NSFileProviderErrorDomain, -1004},
    };
    for (const auto& row : rows) {
        host.answer("GET", "/v1/content", row.answer);
        auto outcome = fetch();
        EXPECT_FALSE(outcome.file) << row.answer.status;
        EXPECT_EQ(outcome.item, nullptr);
        ASSERT_NE(outcome.error, nullptr);
        EXPECT_TRUE(outcome.error->is(row.domain, row.code)) << row.answer.status;
        if (row.code == -1005 || (row.code == -1004 && row.answer.action == HttpResponse::Action::respond)) {
            EXPECT_TRUE(outcome.error->underlyingError()->is(wlErrorDomain, -4));
        }
        EXPECT_EQ(outcome.progressCompleted, 100);
    }
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("Docs/a.txt")));
    EXPECT_TRUE(system->signals().empty());
    for (const auto& request : host.requests())
        EXPECT_EQ(request.path, "/v1/content"); // no lookup after a failed transfer
}

TEST_F(DownloadTest, WorkingSetIsSignalledOnlyAfterSuccessAndAfterTheCompletion) {
    serve("data");
    auto outcome = fetch();
    ASSERT_EQ(outcome.error, nullptr);
    EXPECT_EQ(outcome.signalsAtCompletion, 0u);
    ASSERT_TRUE(system->waitForSignals(1));
    EXPECT_EQ(system->signals()[0].container, ItemIdentifier::workingSet().rawValue());
    EXPECT_EQ(system->signals()[0].domain, domain.identifier());
}

TEST_F(DownloadTest, FailedDenseCopyHandsOverAFileThatStillExists) {
    system->setTemporaryDirectoryError(foundation::Error::make(foundation::NSCocoaErrorDomain, 4));
    serve("kept bytes");
    auto outcome = fetch();
    ASSERT_EQ(outcome.error, nullptr);
    ASSERT_TRUE(outcome.file);
    EXPECT_TRUE(outcome.fileExisted);
    EXPECT_EQ(outcome.contents, "kept bytes");
    EXPECT_TRUE(std::filesystem::exists(*outcome.file)); // the system takes it over: still there after
    std::filesystem::remove(*outcome.file);
}

TEST_F(DownloadTest, WithoutAConnectionItFailsBeforeReturning) {
    std::filesystem::remove(hostDirectory() / "fphost.json");
    auto offline = std::make_shared<FileProviderExtension>(domain);
    support::Recorder<std::optional<std::filesystem::path>, fileprovider::ItemRef, foundation::ErrorRef> done;
    auto progress = offline->fetchContents(ItemIdentifier("a"), std::nullopt, {}, done.callback());
    ASSERT_EQ(done.calls(), 1);
    EXPECT_TRUE(done.get<2>()->is(wlErrorDomain, -2));
    EXPECT_EQ(progress->completedUnitCount(), 0);
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(DownloadTest, PartialFetchAnswersWithTheWholeFile) {
    serve(std::string(1000000, 'p'));
    using Partial =
        support::Recorder<std::optional<std::filesystem::path>, fileprovider::ItemRef, fileprovider::Range,
                          fileprovider::MaterializationFlags, foundation::ErrorRef>;
    Partial done;
    auto progress = extension->fetchPartialContents(ItemIdentifier("Docs/a.txt"), std::nullopt, {},
                                                    {4096, 4096}, 4096, {}, done.callback());
    EXPECT_EQ(progress->totalUnitCount(), 100);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<4>(), nullptr);
    EXPECT_EQ(done.get<2>(), (fileprovider::Range{0, 1000000}));
    EXPECT_EQ(done.get<3>().rawValue, 1u);
    ASSERT_TRUE(system->waitForSignals(1));

    serve("");
    Partial beyond;
    extension->fetchPartialContents(ItemIdentifier("Docs/a.txt"), std::nullopt, {}, {5000000, 10}, 1, {},
                                    beyond.callback());
    ASSERT_TRUE(beyond.wait());
    EXPECT_EQ(beyond.get<2>(), (fileprovider::Range{0, 0}));
    EXPECT_EQ(beyond.get<3>().rawValue, 1u);
    EXPECT_EQ(beyond.get<4>(), nullptr);
}

TEST_F(DownloadTest, FailedPartialFetchHasNoRangeNoFlagsAndNoRefresh) {
    host.answer("GET", "/v1/content", HttpResponse(404, ""));
    using Partial =
        support::Recorder<std::optional<std::filesystem::path>, fileprovider::ItemRef, fileprovider::Range,
                          fileprovider::MaterializationFlags, foundation::ErrorRef>;
    Partial done;
    extension->fetchPartialContents(ItemIdentifier("x"), std::nullopt, {}, {0, 10}, 1, {}, done.callback());
    ASSERT_TRUE(done.wait());
    settle();
    EXPECT_TRUE(done.get<4>()->is(foundation::NSFileProviderErrorDomain, -1005));
    EXPECT_EQ(done.get<2>(), (fileprovider::Range{0, 0}));
    EXPECT_EQ(done.get<3>().rawValue, 0u);
    EXPECT_FALSE(done.get<0>());
    EXPECT_TRUE(system->signals().empty());
}
