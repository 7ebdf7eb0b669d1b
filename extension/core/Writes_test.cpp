#include "core/FileProviderExtension.h"
#include "enumeration/DeliveredRevs.h"
#include "support/ExtensionEnvironment.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemIdentifier;
using support::HttpResponse;

namespace {

class Template : public fileprovider::Item {
public:
    Template(std::string parent, std::string name, std::string type)
        : parent_(std::move(parent)), name_(std::move(name)), type_(std::move(type)) {}
    ItemIdentifier itemIdentifier() const override { return ItemIdentifier(name_); }
    ItemIdentifier parentItemIdentifier() const override { return ItemIdentifier(parent_); }
    std::string filename() const override { return name_; }
    std::optional<foundation::UTType> contentType() const override { return foundation::UTType(type_); }

private:
    std::string parent_, name_, type_;
};

using WriteDone =
    support::Recorder<fileprovider::ItemRef, fileprovider::ItemFields, bool, foundation::ErrorRef>;

class WritesTest : public support::SystemTest {
protected:
    void TearDown() override {
        DeliveredRevs::resetForTesting();
        support::SystemTest::TearDown();
    }
    WriteDone::Values create(const std::string& name, bool mayExist,
                             std::optional<std::filesystem::path> contents = {}) {
        WriteDone done;
        extension->createItem(
            std::make_shared<Template>("NSFileProviderRootContainerItemIdentifier", name, "public.data"), {},
            contents,
            mayExist ? fileprovider::CreateItemOptions::mayAlreadyExist : fileprovider::CreateItemOptions{},
            {}, done.callback());
        EXPECT_TRUE(done.wait());
        settle();
        EXPECT_EQ(done.calls(), 1);
        return done.values();
    }
    std::filesystem::path contents() {
        auto path = directory.path() / "body";
        std::ofstream(path) << "body";
        return path;
    }
};

} // namespace

TEST_F(WritesTest, WithoutAConnectionEveryWriteFailsAtOnceWithNotAuthenticated) {
    std::filesystem::remove(hostDirectory() / "fphost.json");
    auto offline = std::make_shared<FileProviderExtension>(domain);
    WriteDone created, modified;
    support::Recorder<foundation::ErrorRef> deleted;
    auto template_ =
        std::make_shared<Template>("NSFileProviderRootContainerItemIdentifier", "a", "public.data");
    auto p1 = offline->createItem(template_, {}, contents(), {}, {}, created.callback());
    auto p2 = offline->modifyItem(template_, {"c", "m"}, fileprovider::ItemFields::contents, contents(), {},
                                  {}, modified.callback());
    auto p3 = offline->deleteItem(ItemIdentifier("a"), {"c", "m"}, {}, {}, deleted.callback());
    ASSERT_EQ(created.calls(), 1);
    ASSERT_EQ(modified.calls(), 1);
    ASSERT_EQ(deleted.calls(), 1);
    EXPECT_EQ(created.get<3>(), FileProviderExtension::noHost());
    EXPECT_TRUE(FileProviderExtension::noHost()->is(foundation::NSFileProviderErrorDomain, -1000));
    EXPECT_EQ(modified.get<3>(), FileProviderExtension::noHost());
    EXPECT_EQ(deleted.get<0>(), FileProviderExtension::noHost());
    for (const auto& p : {p1, p2, p3})
        EXPECT_EQ(p->totalUnitCount(), 0);
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(WritesTest, TheSystemIsNeverAskedForMoreFieldsOrContents) {
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"item": {"identifier": "a"}})"));
    auto [item, remaining, fetch, error] = create("a", false, contents());
    EXPECT_NE(item, nullptr);
    EXPECT_TRUE(remaining.isEmpty());
    EXPECT_FALSE(fetch);
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("a"))); // the store follows uploads
}

TEST_F(WritesTest, ExistenceLookupBeforeAMayAlreadyExistCreation) {
    host.answerOnce("GET", "/v1/item", HttpResponse::json(404, "{}"));
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"item": {"identifier": "new"}})"));
    auto created = create("new", true, contents());
    EXPECT_EQ(std::get<0>(created)->itemIdentifier().rawValue(), "new");
    EXPECT_EQ(host.requests().at(0).rawQuery, "id=new");

    host.answerOnce("GET", "/v1/item", HttpResponse::json(200, R"({"identifier": "there", "size": 3})"));
    auto found = create("there", true, contents());
    EXPECT_EQ(std::get<0>(found)->documentSize(), 3);
    EXPECT_EQ(host.requests().back().method, "GET");

    host.answerOnce("GET", "/v1/item", HttpResponse::json(502, "{}"));
    auto error = std::get<3>(create("odd", true, contents()));
    EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_TRUE(error->underlyingError()->is("Wyvernloft", 502));
}

TEST_F(WritesTest, DeletesPassRecursionThroughAndUseTheLookupOnlyWithoutABase) {
    host.answer("DELETE", "/v1/item", HttpResponse::json(200, R"({"deleted": true})"));
    DeliveredRevs::recordContainer("D", 7);
    support::Recorder<foundation::ErrorRef> recursive, plain;
    extension->deleteItem(ItemIdentifier("D"), {}, fileprovider::DeleteItemOptions::recursive, {},
                          recursive.callback());
    ASSERT_TRUE(recursive.wait());
    extension->deleteItem(ItemIdentifier("f.txt"), {"c1", "m"}, {}, {}, plain.callback());
    ASSERT_TRUE(plain.wait());
    settle();
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rawQuery, "anchor=7&dir=1&path=D&recursive=1");
    EXPECT_EQ(requests[1].rawQuery, "base=c1&path=f.txt");

    host.answer("GET", "/v1/item", HttpResponse::json(200, R"({"identifier": "g.txt"})"));
    support::Recorder<foundation::ErrorRef> unknownBase;
    extension->deleteItem(ItemIdentifier("g.txt"), {}, {}, {}, unknownBase.callback());
    ASSERT_TRUE(unknownBase.wait());
    settle();
    EXPECT_TRUE(unknownBase.get<0>()->is(foundation::NSFileProviderErrorDomain, -1006));
    EXPECT_EQ(host.requests().back().path, "/v1/item");
    EXPECT_EQ(host.requests().back().method, "GET");
    ASSERT_TRUE(system->waitForSignals(1)); // the system should learn the file's base
}
