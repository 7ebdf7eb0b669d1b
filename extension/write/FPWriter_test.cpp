#include "item/WLItem.h"
#include "support/ExtensionEnvironment.h"
#include "write/FPHostErrorMap.h"
#include "write/FPWriter.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemFields;
using fileprovider::ItemIdentifier;
using fileprovider::ItemVersion;
using support::HttpResponse;

namespace {

class Proposed : public fileprovider::Item {
public:
    Proposed(std::string id, std::string parent, std::string name, std::optional<std::string> type)
        : id_(std::move(id)), parent_(std::move(parent)), name_(std::move(name)), type_(std::move(type)) {}
    ItemIdentifier itemIdentifier() const override { return ItemIdentifier(id_); }
    ItemIdentifier parentItemIdentifier() const override { return ItemIdentifier(parent_); }
    std::string filename() const override { return name_; }
    std::optional<foundation::UTType> contentType() const override {
        return type_ ? std::optional(foundation::UTType(*type_)) : std::nullopt;
    }

private:
    std::string id_, parent_, name_;
    std::optional<std::string> type_;
};

constexpr const char* root = "NSFileProviderRootContainerItemIdentifier";

class WriterTest : public support::ExtensionTest {
protected:
    void SetUp() override {
        support::ExtensionTest::SetUp();
        connectHost();
        FPKeptCalls kept{
            [this](const std::string& id) { record("remember " + id); },
            [this](const std::string& from, const std::string& to) { record("moved " + from + " " + to); },
            [this](const std::string& id) { record("forget " + id); }};
        writer = std::make_shared<FPWriter>(
            std::make_shared<FPHostWrites>(*HostConfig::load()), [this] { record("signal"); },
            [this](const std::string& id) -> std::optional<std::int64_t> {
                auto it = delivered.find(id);
                return it == delivered.end() ? std::nullopt : std::optional(it->second);
            },
            kept,
            [this](const std::string& id,
                   std::function<void(std::optional<bool>, foundation::ErrorRef)> answer) {
                record("isFolder " + id);
                answer(folderAnswer, folderError);
            },
            [this](const std::string& id, std::function<void(FPExisting)> answer) {
                record("existing " + id);
                answer(existingAnswer);
            });
    }
    void record(const std::string& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> log() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::filesystem::path contents(const std::string& bytes) {
        auto path = directory.path() / "contents";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }
    using Done = support::Recorder<fileprovider::ItemRef, foundation::ErrorRef>;
    std::pair<fileprovider::ItemRef, foundation::ErrorRef> wait(Done& done) {
        EXPECT_TRUE(done.wait());
        foundation::URLSession::shared().callbackQueue().drain();
        EXPECT_EQ(done.calls(), 1);
        return {done.get<0>(), done.get<1>()};
    }
    std::pair<fileprovider::ItemRef, foundation::ErrorRef>
    create(const Proposed& item, std::optional<std::filesystem::path> file, bool mayExist = false) {
        Done done;
        writer->create(std::make_shared<Proposed>(item), file, mayExist, done.callback());
        return wait(done);
    }
    std::pair<fileprovider::ItemRef, foundation::ErrorRef> modify(const Proposed& item,
                                                                  const std::string& base, ItemFields fields,
                                                                  std::optional<std::filesystem::path> file) {
        Done done;
        writer->modify(std::make_shared<Proposed>(item), ItemVersion{base, "m"}, fields, file,
                       done.callback());
        return wait(done);
    }
    foundation::ErrorRef remove(const std::string& id, const std::string& base, bool recursive) {
        support::Recorder<foundation::ErrorRef> done;
        writer->deleteItem(ItemIdentifier(id), ItemVersion{base, "m"}, recursive, done.callback());
        EXPECT_TRUE(done.wait());
        foundation::URLSession::shared().callbackQueue().drain();
        return done.get<0>();
    }
    std::vector<std::string> paths(const char* method) {
        std::vector<std::string> out;
        for (const auto& r : host.requests())
            if (r.method == method)
                out.push_back(r.path + "?" + r.rawQuery +
                              (r.body.empty() || r.method == "PUT" ? "" : " " + r.body));
        return out;
    }
    static std::string item(const std::string& id, const std::string& extra = "") {
        return R"({"item": {"identifier": ")" + id + R"(")" + extra + "}}";
    }

    std::shared_ptr<FPWriter> writer;
    std::mutex mutex;
    std::vector<std::string> events;
    std::map<std::string, std::int64_t> delivered;
    std::optional<bool> folderAnswer;
    foundation::ErrorRef folderError;
    FPExisting existingAnswer = FPExisting::absent();
    using Strings = std::vector<std::string>;
};

} // namespace

TEST_F(WriterTest, PackagesAreRefusedWithTheirMessageAndNothingSent) {
    Done done;
    auto progress =
        writer->create(std::make_shared<Proposed>("", root, "Report.pages", "com.apple.iwork.pages.sffpages"),
                       contents("x"), false, done.callback());
    ASSERT_EQ(done.calls(), 1);
    EXPECT_EQ(done.get<1>(), FPWriter::packageRefused());
    EXPECT_EQ(progress->totalUnitCount(), 0);
    auto error = done.get<1>();
    EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -2005));
    EXPECT_EQ(
        error->localizedDescription(),
        "Wyvernloft can't sync this file. Finder shows it as one file, but it's a folder of files inside, "
        "and "
        "Wyvernloft doesn't sync those. It's saved on this Mac only. To sync it, save a copy in another "
        "format, such as PDF.");
    EXPECT_EQ(*error->stringValue(FPHostErrorMap::kindKey), "refused");
    EXPECT_EQ(*error->stringValue(FPHostErrorMap::codeKey), "package");
    EXPECT_EQ(host.requestCount(), 0u);
    EXPECT_TRUE(log().empty());
}

TEST_F(WriterTest, PathsAreComposedUnderTheRootAndUnderAFolder) {
    host.answer("PUT", "/v1/content", HttpResponse::json(200, item("x")));
    create(Proposed("", root, "caf\x65\xCC\x81.txt", "public.data"), contents("1"));
    create(Proposed("", "Docs/Sub", "b.txt", std::nullopt), contents("2"));
    EXPECT_EQ(FPWriter::childPath(ItemIdentifier(root), "e\xCC\x81"), "\xC3\xA9");
    auto sent = host.requests();
    EXPECT_EQ(sent.at(0).query().at("path"), "caf\xC3\xA9.txt");
    EXPECT_EQ(sent.at(1).query().at("path"), "Docs/Sub/b.txt");
    EXPECT_EQ(sent.at(1).rawQuery.substr(0, 5), "base=");
}

TEST_F(WriterTest, NewFilesWithoutContentsUploadATemporaryEmptyFileThatIsRemoved) {
    for (int status : {200, 500}) {
        std::optional<std::string> seen;
        host.handle("PUT", "/v1/content", [&, status](const support::HttpRequest& request) {
            seen = request.body;
            return HttpResponse::json(status, item("Docs/new.txt"));
        });
        auto [result, error] = create(Proposed("", "Docs", "new.txt", "public.data"), std::nullopt);
        EXPECT_EQ(seen, "");
        EXPECT_EQ(status == 200, result != nullptr);
        for (const auto& entry : std::filesystem::directory_iterator(foundation::temporaryDirectory()))
            EXPECT_EQ(entry.path().filename().string().rfind("wl-empty-", 0), std::string::npos)
                << entry.path();
    }
    EXPECT_EQ(log(), Strings{"remember Docs/new.txt"}); // the failed upload records nothing
}

TEST_F(WriterTest, FoldersAreCreatedButNeverRemembered) {
    host.answer("POST", "/v1/folder", HttpResponse::json(200, item("Docs/New", R"(, "isDir": true)")));
    auto [folder, error] = create(Proposed("", "Docs", "New", "public.folder"), contents("ignored"));
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(paths("POST"), Strings{R"(/v1/folder? {"path":"Docs/New"})"});
    EXPECT_TRUE(log().empty());
}

TEST_F(WriterTest, ConflictCopiesSignalTheWorkingSetBeforeCompleting) {
    host.answer(
        "PUT", "/v1/content",
        HttpResponse::json(200, item("a.txt", R"(}, "conflictCopy": {"identifier": "a (conflict 1).txt")")));
    Done done;
    writer->create(std::make_shared<Proposed>("", root, "a.txt", "public.data"), contents("x"), false,
                   [&](fileprovider::ItemRef i, foundation::ErrorRef e) {
                       record("completed");
                       done.callback()(i, e);
                   });
    wait(done);
    EXPECT_EQ(log(), (Strings{"remember a.txt", "signal", "completed"}));
}

TEST_F(WriterTest, NonItemAnswersCannotSync) {
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"deleted": true})"));
    auto [result, error] = create(Proposed("", root, "a.txt", "public.data"), contents("x"));
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -2005));
}

TEST_F(WriterTest, MayAlreadyExistLooksFirst) {
    existingAnswer =
        FPExisting::found(WLItem::make(decodeJSON(std::string(R"({"identifier": "Docs/a.txt"})"))));
    auto [found, none] = create(Proposed("", "Docs", "a.txt", "public.data"), contents("x"), true);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->itemIdentifier().rawValue(), "Docs/a.txt");
    EXPECT_EQ(host.requestCount(), 0u); // nothing uploaded, although contents were given
    EXPECT_EQ(log(), Strings{"existing Docs/a.txt"});

    auto lookupFailure = foundation::Error::make(wlErrorDomain, 500);
    existingAnswer = FPExisting::unknown(lookupFailure);
    auto [nothing, unknown] = create(Proposed("", "Docs", "a.txt", "public.data"), contents("x"), true);
    EXPECT_TRUE(unknown->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_EQ(unknown->underlyingError(), lookupFailure);

    existingAnswer = FPExisting::absent();
    auto [absentFile, noSuchItem] = create(Proposed("", "Docs", "a.txt", "public.data"), std::nullopt, true);
    EXPECT_TRUE(noSuchItem->is(foundation::NSFileProviderErrorDomain, -1005));
    EXPECT_TRUE(noSuchItem->userInfo().empty());
    host.answer("POST", "/v1/folder", HttpResponse::json(200, item("Docs/F")));
    auto [folder, created] = create(Proposed("", "Docs", "F", "public.folder"), std::nullopt, true);
    EXPECT_NE(folder, nullptr);
}

TEST_F(WriterTest, ExistenceAnswersAreRead) {
    EXPECT_EQ(FPWriter::existing(404, std::nullopt, nullptr).kind, FPExisting::Kind::absent);
    EXPECT_EQ(FPWriter::existing(200, std::string(R"({"identifier": null})"), nullptr).kind,
              FPExisting::Kind::found);
    auto odd = FPWriter::existing(200, std::string("[]"), nullptr);
    EXPECT_TRUE(odd.error->is(wlErrorDomain, 200));
    EXPECT_TRUE(FPWriter::existing(503, std::nullopt, nullptr).error->is(wlErrorDomain, 503));
    auto transport = foundation::Error::make(foundation::NSURLErrorDomain, -1004);
    EXPECT_EQ(FPWriter::existing(404, std::nullopt, transport).error, transport);
}

TEST_F(WriterTest, ModificationRuleTable) {
    Proposed file("Docs/a.txt", "Docs", "a.txt", "public.data");
    // Only other fields: no host call, the item comes back.
    auto [same, none] =
        modify(file, "c1", ItemFields::contentModificationDate | ItemFields::tagData, std::nullopt);
    EXPECT_EQ(same->itemIdentifier().rawValue(), "Docs/a.txt");
    EXPECT_EQ(host.requestCount(), 0u);
    // Contents only: one upload against the base.
    host.answer("PUT", "/v1/content", HttpResponse::json(200, item("Docs/a.txt")));
    modify(file, "c1", ItemFields::contents, contents("new"));
    EXPECT_EQ(paths("PUT"), Strings{"/v1/content?base=c1&path=Docs%2Fa.txt"});
    auto [noFile, cannot] = modify(file, "c1", ItemFields::contents, std::nullopt);
    EXPECT_EQ(cannot, FPWriter::cannotSync());
    // Rename: one move to the composed new path, recorded in the kept-local store.
    host.answer("POST", "/v1/move", HttpResponse::json(200, item("Docs/b\xC3\xA9.txt")));
    modify(Proposed("Docs/a.txt", "Docs", "be\xCC\x81.txt", "public.data"), "c1", ItemFields::filename,
           std::nullopt);
    auto moves = paths("POST");
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(boost::json::parse(moves[0].substr(moves[0].find(' ') + 1)),
              boost::json::parse("{\"from\":\"Docs/a.txt\",\"to\":\"Docs/b\xC3\xA9.txt\"}"));
    EXPECT_EQ(log().back(), "moved Docs/a.txt Docs/b\xC3\xA9.txt");
}

TEST_F(WriterTest, RenameAndEditMoveFirstThenUploadWithTheOldBase) {
    host.answer("POST", "/v1/move", HttpResponse::json(200, item("Docs/b.txt")));
    host.answer("PUT", "/v1/content", HttpResponse::json(200, R"({"error": "failed"})"));
    host.answer("PUT", "/v1/content", HttpResponse::json(500, R"({"error": "failed"})"));
    Done done;
    auto progress = writer->modify(std::make_shared<Proposed>("Docs/a.txt", "Docs", "b.txt", "public.data"),
                                   ItemVersion{"c1", "m"}, ItemFields::filename | ItemFields::contents,
                                   contents("edited"), done.callback());
    EXPECT_EQ(progress->totalUnitCount(), 2);
    auto [result, error] = wait(done);
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/v1/move");
    EXPECT_EQ(requests[1].rawQuery, "base=c1&path=Docs%2Fb.txt");
    EXPECT_TRUE(
        error->is(foundation::NSFileProviderErrorDomain, -1004)); // "failed" after a move: retry later
    EXPECT_EQ(*error->stringValue(FPHostErrorMap::kindKey), "failed");
    auto collision = FPHostErrorMap::error(409, decodeJSON(std::string(R"({"error": "collision"})")).get());
    EXPECT_EQ(FPWriter::retryableAfterMove(collision), collision);
}

TEST_F(WriterTest, PackagesRefuseEditsButMayBeRenamed) {
    Proposed package("Docs/Deck.key", "Docs", "Deck2.key", "com.apple.iwork.keynote.sffkey");
    auto [edited, refused] =
        modify(package, "c1", ItemFields::contents | ItemFields::parentItemIdentifier, contents("x"));
    EXPECT_EQ(refused, FPWriter::packageRefused());
    EXPECT_EQ(host.requestCount(), 0u);
    host.answer("POST", "/v1/move", HttpResponse::json(200, item("Docs/Deck2.key", R"(, "isDir": true)")));
    auto [renamed, ok] = modify(package, "c1", ItemFields::filename, std::nullopt);
    EXPECT_NE(renamed, nullptr);
}

TEST_F(WriterTest, NeedsContentUploadsToTheNewPathWithTheHostsBase) {
    host.answer("POST", "/v1/move", HttpResponse::json(409, R"({"error": "needs_content", "base": "h9"})"));
    host.answer("PUT", "/v1/content", HttpResponse::json(200, item("New/a.txt")));
    auto [result, error] = modify(Proposed("a.txt", "New", "a.txt", "public.data"), "c1",
                                  ItemFields::parentItemIdentifier, contents("body"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(paths("PUT"), Strings{"/v1/content?base=h9&path=New%2Fa.txt"});
    EXPECT_EQ(log(), Strings{"remember New/a.txt"}); // no move recorded
    auto [none, cannot] = modify(Proposed("a.txt", "New", "a.txt", "public.data"), "c1",
                                 ItemFields::parentItemIdentifier, std::nullopt);
    EXPECT_EQ(cannot, FPWriter::cannotSync());
}

TEST_F(WriterTest, GoneIsAcceptedOnlyForTheSameFileAtTheDestination) {
    Proposed moved("a.txt", "Docs", "a.txt", "public.data");
    host.answer(
        "POST", "/v1/move",
        HttpResponse::json(
            409, R"({"error": "gone", "item": {"identifier": "Docs/a.txt", "contentVersion": "c1"}})"));
    auto [accepted, ok] = modify(moved, "c1", ItemFields::parentItemIdentifier, std::nullopt);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(log(), Strings{"moved a.txt Docs/a.txt"});
    for (const char* body :
         {R"({"error": "gone", "item": {"identifier": "Docs/a.txt", "contentVersion": "c2"}})",
          R"({"error": "gone", "item": {"identifier": "Docs/a.txt", "contentVersion": "c1", "isDir": true}})",
          R"({"error": "gone"})"}) {
        host.answer("POST", "/v1/move", HttpResponse::json(409, body));
        auto [refused, cannot] = modify(moved, "c1", ItemFields::parentItemIdentifier, std::nullopt);
        EXPECT_EQ(cannot, FPWriter::cannotSync()) << body;
    }
    EXPECT_EQ(log().size(), 1u);
}

TEST_F(WriterTest, RecursiveDeletesNeedADeliveredRevision) {
    EXPECT_EQ(remove("D", "", true), FPWriter::cannotSync());
    EXPECT_EQ(host.requestCount(), 0u);
    delivered["D"] = 41;
    host.answer("DELETE", "/v1/item", HttpResponse::json(200, R"({"deleted": true})"));
    EXPECT_EQ(remove("D", "c1", true), nullptr);
    EXPECT_EQ(paths("DELETE"), Strings{"/v1/item?anchor=41&dir=1&path=D&recursive=1"});
    EXPECT_EQ(log(), Strings{"forget D"});
}

TEST_F(WriterTest, DeletesWithoutABaseAskWhetherTheItemIsAFolder) {
    host.answer("DELETE", "/v1/item", HttpResponse::json(200, R"({"deleted": true})"));
    folderAnswer = true;
    EXPECT_EQ(remove("D", "", false), nullptr);
    EXPECT_EQ(paths("DELETE"), Strings{"/v1/item?dir=1&path=D"});
    folderAnswer = false;
    EXPECT_EQ(remove("f.txt", "", false), FPWriter::rejected());
    EXPECT_EQ(paths("DELETE").size(), 1u);
    folderAnswer.reset();
    folderError = foundation::Error::make("X", 1);
    EXPECT_EQ(remove("f.txt", "", false), folderError);
    folderError = nullptr;
    EXPECT_EQ(remove("f.txt", "", false), FPWriter::cannotSync());
    EXPECT_EQ(log(), (Strings{"isFolder D", "forget D", "isFolder f.txt", "signal", "isFolder f.txt",
                              "isFolder f.txt"}));
}

TEST_F(WriterTest, ChangedOnTheHostRejectsTheDeletionAfterASignal) {
    host.answer("DELETE", "/v1/item",
                HttpResponse::json(409, R"({"error": "changed", "item": {"identifier": "f"}})"));
    EXPECT_EQ(remove("f", "c1", false), FPWriter::rejected());
    EXPECT_EQ(paths("DELETE"), Strings{"/v1/item?base=c1&path=f"});
    EXPECT_EQ(log(), Strings{"signal"});
    EXPECT_EQ(FPWriter::base(ItemVersion{"\xff", ""}), "");
}
