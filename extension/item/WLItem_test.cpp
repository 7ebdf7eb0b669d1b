#include "item/WLItem.h"
#include "support/ExtensionEnvironment.h"

#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ContentPolicy;
using fileprovider::ItemIdentifier;

namespace {

class WLItemTest : public support::ExtensionTest {
protected:
    static std::shared_ptr<const WLItem> item(const std::string& json) {
        auto record = decodeJSON(json);
        EXPECT_NE(record, nullptr) << json;
        return WLItem::make(record);
    }
};

} // namespace

TEST_F(WLItemTest, RootRecordIsTheRootContainer) {
    auto root = item(R"({"identifier": "NSFileProviderRootContainerItemIdentifier", "isDir": true})");
    EXPECT_EQ(root->itemIdentifier(), ItemIdentifier::rootContainer());
    EXPECT_EQ(root->capabilities().rawValue, 3u);
    EXPECT_EQ(
        item(
            R"({"identifier": "NSFileProviderRootContainerItemIdentifier", "isDir": true, "writable": false})")
            ->capabilities()
            .rawValue,
        1u);
}

TEST_F(WLItemTest, EmptyRecordIsAWritableNonLocalFile) {
    auto empty = item("{}");
    EXPECT_EQ(empty->itemIdentifier().rawValue(), "");
    EXPECT_EQ(empty->parentItemIdentifier().rawValue(), "");
    EXPECT_EQ(empty->filename(), "");
    EXPECT_EQ(empty->documentSize(), 0);
    EXPECT_FALSE(empty->contentModificationDate());
    EXPECT_FALSE(empty->creationDate());
    EXPECT_EQ(empty->capabilities().rawValue, 111u);
    EXPECT_EQ(empty->itemVersion().contentVersion, "");
    EXPECT_EQ(empty->itemVersion().metadataVersion, "0");
    EXPECT_EQ(empty->contentType(), foundation::UTType::data());
    EXPECT_EQ(empty->contentPolicy(), ContentPolicy::downloadLazily);
    EXPECT_FALSE(empty->decorations());
    EXPECT_FALSE(empty->isMostRecentVersionDownloaded());
    EXPECT_TRUE(empty->isUploaded());
    EXPECT_FALSE(empty->isUploading());
    EXPECT_EQ(WLItem::make(nullptr)->capabilities().rawValue, 111u);
}

TEST_F(WLItemTest, FolderShapes) {
    for (const char* folder : {R"({"isDir": true})", R"({"isDir": 1})"}) {
        auto it = item(folder);
        EXPECT_EQ(it->contentType(), foundation::UTType::folder()) << folder;
        EXPECT_EQ(it->capabilities().rawValue, 47u) << folder;
        EXPECT_EQ(it->contentPolicy(), ContentPolicy::inherited);
        EXPECT_TRUE(it->isMostRecentVersionDownloaded());
    }
    for (const char* file :
         {R"({"isDir": "true"})", R"({"isDir": 0})", R"({"isDir": false})", R"({"isDir": 2})"})
        EXPECT_EQ(item(file)->contentType(), foundation::UTType::data()) << file;
    EXPECT_FALSE(item(R"({"isDir": true, "size": 12})")->documentSize());
}

TEST_F(WLItemTest, OnlyJSONTrueOrNoKeyGrantsWriting) {
    for (const char* denied : {R"({"writable": 1})", R"({"writable": "true"})", R"({"writable": false})",
                               R"({"writable": null})"}) {
        EXPECT_EQ(item(denied)->capabilities().rawValue, 65u) << denied;
        auto folder = std::string(denied);
        folder.insert(1, R"("isDir": true, )");
        EXPECT_EQ(item(folder)->capabilities().rawValue, 1u) << folder;
    }
    EXPECT_EQ(item(R"({"writable": true})")->capabilities().rawValue, 111u);
    EXPECT_TRUE(WLItem::isJSONTrue(&decodeJSON(std::string(R"({"v": true})"))->at("v")));
    EXPECT_FALSE(WLItem::isJSONTrue(&decodeJSON(std::string(R"({"v": 1})"))->at("v")));
    EXPECT_FALSE(WLItem::isJSONTrue(nullptr));
}

TEST_F(WLItemTest, DatesAndSizes) {
    EXPECT_FALSE(item(R"({"mtime": 0})")->contentModificationDate());
    EXPECT_FALSE(item(R"({"mtime": -5})")->contentModificationDate());
    EXPECT_FALSE(item(R"({"mtime": "5"})")->contentModificationDate());
    EXPECT_DOUBLE_EQ(item(R"({"mtime": 1.5})")->contentModificationDate()->timeIntervalSince1970, 1.5);
    EXPECT_EQ(item(R"({"size": 12.5})")->documentSize(), 0);
    EXPECT_EQ(item(R"({"size": 12.0})")->documentSize(), 12);
    EXPECT_EQ(item(R"({"size": 9007199254740993})")->documentSize(), 9007199254740993);
    EXPECT_EQ(item(R"({"size": true})")->documentSize(), 0);
}

TEST_F(WLItemTest, LocalFilesAreDecoratedAndVersionedApart) {
    KeptLocal::remember(ItemIdentifier("Docs/a.txt"));
    KeptLocal::remember(ItemIdentifier("Docs"));
    auto local = item(R"({"identifier": "Docs/a.txt", "metadataVersion": "m7", "contentVersion": "c3"})");
    EXPECT_TRUE(local->localOnThisMac());
    EXPECT_EQ(local->itemVersion().metadataVersion, "m7#local");
    EXPECT_EQ(local->itemVersion().contentVersion, "c3");
    EXPECT_EQ(local->decorations(), std::vector<std::string>{WLItem::localDecoration});
    EXPECT_TRUE(local->isMostRecentVersionDownloaded());
    EXPECT_EQ(item(R"({"identifier": "Docs/a.txt"})")->itemVersion().metadataVersion, "0#local");
    auto folder = item(R"({"identifier": "Docs", "isDir": true})");
    EXPECT_FALSE(folder->localOnThisMac());
    EXPECT_FALSE(folder->decorations());
    EXPECT_EQ(WLItem::localDecoration, "org.wyvernloft.FileProvider.local");
}

TEST_F(WLItemTest, LocalFlagIsFixedAtConstruction) {
    auto before = item(R"({"identifier": "x"})");
    KeptLocal::remember(ItemIdentifier("x"));
    EXPECT_FALSE(before->localOnThisMac());
    EXPECT_TRUE(item(R"({"identifier": "x"})")->localOnThisMac());
}
