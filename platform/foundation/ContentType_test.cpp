#include "foundation/ContentType.h"

#include <gtest/gtest.h>

using foundation::UTType;

TEST(UTType, ConformanceFollowsTheTree) {
    EXPECT_TRUE(UTType::folder().conformsTo(UTType::directory()));
    EXPECT_TRUE(UTType::folder().conformsTo(UTType::item()));
    EXPECT_FALSE(UTType::folder().conformsTo(UTType::package()));
    EXPECT_FALSE(UTType::package().conformsTo(UTType::folder()));
    EXPECT_TRUE(UTType::package().conformsTo(UTType::directory()));
    EXPECT_FALSE(UTType::data().conformsTo(UTType::folder()));
    EXPECT_TRUE(UTType("public.jpeg").conformsTo(UTType::data()));
    EXPECT_TRUE(UTType("com.example.unknown").conformsTo(UTType("com.example.unknown")));
    EXPECT_FALSE(UTType("com.example.unknown").conformsTo(UTType::item()));
}

TEST(UTType, PackagesByFilenameExtension) {
    for (const char* extension : {"app", "rtfd", "pages", "KEY", "numbers"}) {
        auto type = UTType::forFilenameExtension(extension);
        ASSERT_TRUE(type) << extension;
        EXPECT_TRUE(type->conformsTo(UTType::package())) << extension;
    }
    EXPECT_FALSE(UTType::forFilenameExtension("txt")->conformsTo(UTType::package()));
    EXPECT_FALSE(UTType::forFilenameExtension("nosuch"));
}
